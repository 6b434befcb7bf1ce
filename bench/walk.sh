#!/usr/bin/env bash
# Every element of a stored catalog read through the element view
# (bench/walk_elements: tag, attributes, texts and children of each) beside
# xmldump writing the same document out, as whole commands.
#
#   bench/walk.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR (default build/release, configured and built here as a Release
# build when missing) must hold xmlload, xmldump, walk_elements and gen_xml.
# The catalogs of 10 and 100 MB are generated and loaded in a tmpfs folder
# (/dev/shm); output goes to /dev/null. Each round runs the two by turns, so
# that both meet the same spells of a busy machine; times are medians over
# ROUNDS (default 5) and the ratio is the median of the rounds' ratios.
# Instructions come from callgrind (FULL=1 adds the 100 MB catalog), which
# counts the same on a busy machine. Needs bash 5 and valgrind.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
rounds=${2:-5}
source "$src/bench/timing.sh"
require walk.sh valgrind
release_build "$src" "$build" xmlload xmldump walk_elements gen_xml
xmlload=$build/tools/xmlload/xmlload
xmldump=$build/tools/xmldump/xmldump
walk=$build/bench/walk_elements
gen=$build/bench/gen_xml

work=$(mktemp -d "${SHM:-/dev/shm}/tarn_walk.XXXXXX")
trap 'rm -rf "$work"' EXIT
TIMING_DIGITS=4

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $4 }'
}

printf 'Generating and loading the catalogs in %s ...\n' "$work" >&2
for mb in 10 100; do
  "$gen" catalog $mb "$work/cat$mb.xml"
  "$xmlload" "$work/cat$mb.xml" "$work/cat$mb.db"
done

echo "| catalog | elements | walk s | xmldump s | ratio |"
echo "|---|---|---|---|---|"
for mb in 10 100; do
  db=$work/cat$mb.db
  w=() d=() r=()
  for ((i = 0; i < rounds; i++)); do
    ws=$(once "$walk" "$db")
    ds=$(once "$xmldump" "$db")
    w+=("$ws") d+=("$ds")
    r+=("$(awk -v a="$ws" -v b="$ds" 'BEGIN { printf "%.3f", (b > 0) ? a / b : 0 }')")
  done
  printf '| %s MB | %s | %s | %s | %s |\n' "$mb" "$("$walk" "$db" | cut -d' ' -f1)" \
    "$(printf '%s\n' "${w[@]}" | median)" "$(printf '%s\n' "${d[@]}" | median)" \
    "$(printf '%s\n' "${r[@]}" | median)"
done

echo
echo "| callgrind | walk | xmldump | ratio | walk per element |"
echo "|---|---|---|---|---|"
sizes=(10)
[[ ${FULL:-0} == 1 ]] && sizes+=(100)
for mb in "${sizes[@]}"; do
  db=$work/cat$mb.db
  n=$(instructions "$walk" "$db")
  t=$(instructions "$xmldump" "$db")
  e=$("$walk" "$db" | cut -d' ' -f1)
  awk -v d="cat$mb" -v n="$n" -v t="$t" -v e="$e" \
    'BEGIN { printf "| %s | %.0f | %.0f | %.2f | %.0f |\n", d, n, t, n / t, n / e }'
done
