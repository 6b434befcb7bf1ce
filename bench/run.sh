#!/usr/bin/env bash
# Side-by-side cost of loading and querying against the expat floor.
#
#   bench/run.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR (default build/release, configured and built here as a Release
# build when missing) must hold the tools and bench programs. Documents and
# databases live in a tmpfs folder (/dev/shm) so that the CPU is measured, not
# the disk; one load of the 100 MB catalog onto the disk is reported beside.
# Times are medians of ROUNDS runs (default 3) of whole commands, process
# start included; the floor and xmlload run by turns, and the ratio is the
# median of the ratios of each round. Instructions per input byte come from
# callgrind, which counts the same on a busy machine. FULL=1 adds callgrind
# on the 100 MB catalog.
# Needs bash 5, /usr/bin/time (package time) and valgrind: `make bench-deps`
# installs them with the other benchmarks' needs (`make bench` runs this).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
rounds=${2:-3}
source "$src/bench/timing.sh"
require run.sh /usr/bin/time valgrind
release_build "$src" "$build" xmlload xmlquery gen_xml expat_floor
xmlload=$build/tools/xmlload/xmlload
xmlquery=$build/tools/xmlquery/xmlquery
gen=$build/bench/gen_xml
floor=$build/bench/expat_floor

shm=${SHM:-/dev/shm}
work=$(mktemp -d "$shm/tarn_bench.XXXXXX")
disk=$(mktemp -d "${TMPDIR:-/tmp}/tarn_bench_disk.XXXXXX")
trap 'rm -rf "$work" "$disk"' EXIT


# Peak resident memory in KiB and CPU seconds (user and system, every
# thread) of one more run of a command.
peak() {
  /usr/bin/time -f '%M %U %S' -o "$work/time.txt" "$@" >/dev/null
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time.txt"
}

# Runs a command ROUNDS times; prints "median_seconds peak_kib".
timed() {
  local s=()
  for ((i = 0; i < rounds; i++)); do s+=("$(once "$@")"); done
  printf '%s %s\n' "$(printf '%s\n' "${s[@]}" | median)" "$(peak "$@" | cut -d' ' -f1)"
}

# The floor and xmlload on one document, run by turns so that both see the
# same spells of a busy machine; prints "floor_s load_s ratio best_ratio
# load_peak_kib load_cpu_s", each a median over the rounds (the ratio taken
# round by round) but best_ratio, the lowest round's.
paired() {
  local xml=$1 db=$2 f=() l=() r=() fs ls
  for ((i = 0; i < rounds; i++)); do
    fs=$(once "$floor" "$xml")
    ls=$(once "$xmlload" "$xml" "$db")
    f+=("$fs") l+=("$ls")
    r+=("$(awk -v a="$ls" -v b="$fs" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }')")
  done
  printf '%s %s %s %s %s\n' "$(printf '%s\n' "${f[@]}" | median)" "$(printf '%s\n' "${l[@]}" | median)" \
    "$(printf '%s\n' "${r[@]}" | median)" "$(printf '%s\n' "${r[@]}" | sort -g | head -n 1)" \
    "$(peak "$xmlload" "$xml" "$db")"
}

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $4 }'
}

mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

printf 'Generating documents in %s ...\n' "$work" >&2
"$gen" catalog 10 "$work/cat10.xml"
"$gen" catalog 100 "$work/cat100.xml"
"$gen" flat 1000000 "$work/flat.xml"
"$gen" text 50 "$work/text.xml"
# The generator opens its file itself (truncating it), so the nested body
# is written apart and then wrapped.
"$gen" deep 100000 "$work/deep.body"
{ printf '<top>'; cat "$work/deep.body"; printf '</top>\n'; } >"$work/deep.xml"
rm "$work/deep.body"

# The floor runs on one CPU, xmlload on two. A virtual machine whose CPUs
# differ in speed, or slow each other down when both are busy, slows xmlload
# beside the floor; this line shows whether the run met such a machine.
if command -v taskset >/dev/null && (($(nproc) >= 2)); then
  solo0=$(once taskset -c 0 "$floor" "$work/cat10.xml")
  solo1=$(once taskset -c 1 "$floor" "$work/cat10.xml")
  both=$( (once taskset -c 0 "$floor" "$work/cat10.xml" & once taskset -c 1 "$floor" "$work/cat10.xml"; wait) | sort -g | tr '\n' ' ')
  echo "Machine: the floor on cat10 took ${solo0} s on CPU 0 and ${solo1} s on CPU 1 alone, ${both% } s on both at once."
  echo
fi

# xmlload parses on a second thread while it stores: its CPU time is given
# beside the wall time.
echo "| document | input MiB | floor s | xmlload s | ratio | best round | xmlload CPU s | db MiB | xmlload peak RSS MiB |"
echo "|---|---|---|---|---|---|---|---|---|"
declare -A ratios
for doc in cat10 cat100 flat text deep; do
  xml=$work/$doc.xml db=$work/$doc.db
  read -r fs ls ratio best lk lc < <(paired "$xml" "$db")
  ratios[$doc]=$ratio
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$doc" "$(mib "$(stat -c %s "$xml")")" \
    "$fs" "$ls" "$ratio" "$best" "$lc" "$(mib "$(stat -c %s "$db")")" "$(awk -v k="$lk" 'BEGIN { printf "%.1f", k / 1024 }')"
done
# xmlload's time from 10 to 100 MB against the floor's own: the same as the
# quotient of the two ratios, whose rounds pair each load with a floor run
# in the same spell of the machine.
echo
awk -v a="${ratios[cat100]}" -v b="${ratios[cat10]}" \
  'BEGIN { printf "Linearity: xmlload 100 MB / 10 MB against the floor'"'"'s own: %.2f\n", (b > 0) ? a / b : 0 }'
read -r ds _ < <(rounds=1 timed "$xmlload" "$work/cat100.xml" "$disk/cat100.db")
echo
echo "On disk (${TMPDIR:-/tmp}): xmlload of cat100 took ${ds} s, final commit included."

# A title that occurs early in every catalog, since the generator is seeded.
title=$(grep -m 1000 '<title>' "$work/cat10.xml" | grep -v '&' | tail -n 1 | sed 's/.*<title>\(.*\)<\/title>.*/\1/')
echo
echo "| query | database | xmlquery s | peak RSS MiB | output bytes |"
echo "|---|---|---|---|---|"
for doc in cat10 cat100; do
  read -r qs qk < <(timed "$xmlquery" "$work/$doc.db" book title "$title")
  bytes=$("$xmlquery" "$work/$doc.db" book title "$title" | wc -c)
  printf '| book/title="%s" | %s | %s | %s | %s |\n' "$title" "$doc" "$qs" \
    "$(awk -v k="$qk" 'BEGIN { printf "%.1f", k / 1024 }')" "$bytes"
done
read -r qs qk < <(timed "$xmlquery" "$work/deep.db" top d9 bottom)
bytes=$("$xmlquery" "$work/deep.db" top d9 bottom | wc -c)
printf '| top/d9="bottom" (whole 100000-deep document) | deep | %s | %s | %s |\n' "$qs" \
  "$(awk -v k="$qk" 'BEGIN { printf "%.1f", k / 1024 }')" "$bytes"

echo
echo "| callgrind | input bytes | floor instr/byte | xmlload instr/byte | ratio |"
echo "|---|---|---|---|---|"
docs=(cat10)
[[ ${FULL:-0} == 1 ]] && docs+=(cat100)
for doc in "${docs[@]}"; do
  xml=$work/$doc.xml bytes=$(stat -c %s "$work/$doc.xml")
  fi=$(instructions "$floor" "$xml")
  li=$(instructions "$xmlload" "$xml" "$work/cg.db")
  awk -v d="$doc" -v b="$bytes" -v f="$fi" -v l="$li" \
    'BEGIN { printf "| %s | %d | %.1f | %.1f | %.2f |\n", d, b, f / b, l / b, l / f }'
done
