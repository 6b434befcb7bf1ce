# Helpers of the bench scripts, sourced by them.

# Stops the script (named $1) unless every program after it is there.
require() {
  local script=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$script: $tool is needed: run make bench-deps" >&2; exit 2; }
  done
}

# Builds the targets after the source and build folders, configuring a
# Release tree without tests first when the build folder has none.
release_build() {
  local source=$1 tree=$2
  shift 2
  [[ -f $tree/CMakeCache.txt ]] || cmake -S "$source" -B "$tree" -DCMAKE_BUILD_TYPE=Release -DTARN_TESTS=OFF >/dev/null
  cmake --build "$tree" -j "$(nproc)" --target "$@" >/dev/null
}

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
