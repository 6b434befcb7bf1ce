# Timing helpers of the bench scripts, sourced by them.

# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall seconds of one run of a command. The clock is bash's own, so that no
# extra process is timed with it (starting one costs milliseconds here).
once() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  awk -v a="$start" -v b="$EPOCHREALTIME" -v digits="${TIMING_DIGITS:-3}" 'BEGIN { printf "%.*f\n", digits, b - a }'
}

# Smallest of the numbers on standard input.
best() { sort -g | head -n 1; }
