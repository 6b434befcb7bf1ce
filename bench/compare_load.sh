#!/usr/bin/env bash
# Two builds of xmlload against each other and against the expat floor: the
# databases of every generated document compared byte for byte, callgrind
# counts of both on the 10 MB catalog, and the 100 MB catalog loaded by turns
# (floor, before, after in each round) onto tmpfs and onto the disk, where
# the load ends with its commit and sync. Ratios are medians of each round's
# ratio to the floor of the same round.
#
#   bench/compare_load.sh BEFORE_BUILD [AFTER_BUILD] [ROUNDS]
#
# BEFORE_BUILD is the Release build of an older tree, made for instance with
#   git worktree add /tmp/before <commit>
#   cmake -S /tmp/before -B /tmp/before/build -DCMAKE_BUILD_TYPE=Release -DTARN_TESTS=OFF
#   cmake --build /tmp/before/build --target xmlload
# AFTER_BUILD defaults to build/release, configured and built here.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
before=${1:?usage: compare_load.sh BEFORE_BUILD [AFTER_BUILD] [ROUNDS]}
after=${2:-$src/build/release}
rounds=${3:-7}
source "$src/bench/timing.sh"
require compare_load.sh valgrind
release_build "$src" "$after" xmlload gen_xml expat_floor
old=$before/tools/xmlload/xmlload new=$after/tools/xmlload/xmlload
floor=$after/bench/expat_floor gen=$after/bench/gen_xml
work=$(mktemp -d "${SHM:-/dev/shm}/tarn_compare.XXXXXX")
disk=$(mktemp -d "${TMPDIR:-/tmp}/tarn_compare_disk.XXXXXX")
trap 'rm -rf "$work" "$disk"' EXIT

"$gen" catalog 10 "$work/cat10.xml"
"$gen" catalog 100 "$work/cat100.xml"
"$gen" flat 1000000 "$work/flat.xml"
"$gen" text 50 "$work/text.xml"
"$gen" deep 100000 "$work/deep.body"
{ printf '<top>'; cat "$work/deep.body"; printf '</top>\n'; } >"$work/deep.xml"
rm "$work/deep.body"

for doc in cat10 cat100 flat text deep; do
  "$old" "$work/$doc.xml" "$work/old.db"
  "$new" "$work/$doc.xml" "$work/new.db"
  if cmp -s "$work/old.db" "$work/new.db"; then echo "$doc: databases identical"; else echo "$doc: databases DIFFER"; fi
done
rm -f "$work/old.db" "$work/new.db"

count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null | awk '/Collected :/ { print $4 }'
}
bytes=$(stat -c %s "$work/cat10.xml")
a=$(count "$old" "$work/cat10.xml" "$work/c.db")
b=$(count "$new" "$work/cat10.xml" "$work/c.db")
awk -v a="$a" -v b="$b" -v n="$bytes" 'BEGIN {
  printf "\ncallgrind, cat10: before %d (%.1f per byte), after %d (%.1f per byte), after/before %.3f\n", a, a / n, b, b / n, b / a }'

# One document, the floor and both loads by turns; prints the medians of
# the floor's time, each load's and each load's ratio to the round's floor.
paired() {
  local out=$1 f=() o=() n=() ro=() rn=() fs os ns
  for ((i = 0; i < rounds; i++)); do
    fs=$(once "$floor" "$work/cat100.xml")
    os=$(once "$old" "$work/cat100.xml" "$out/old.db")
    ns=$(once "$new" "$work/cat100.xml" "$out/new.db")
    f+=("$fs") o+=("$os") n+=("$ns")
    ro+=("$(awk -v a="$os" -v b="$fs" 'BEGIN { printf "%.3f", a / b }')")
    rn+=("$(awk -v a="$ns" -v b="$fs" 'BEGIN { printf "%.3f", a / b }')")
  done
  printf '%s %s %s %s %s %s %s\n' "$(printf '%s\n' "${f[@]}" | median)" "$(printf '%s\n' "${o[@]}" | median)" \
    "$(printf '%s\n' "${n[@]}" | median)" "$(printf '%s\n' "${ro[@]}" | median)" \
    "$(printf '%s\n' "${rn[@]}" | median)" "$(printf '%s\n' "${ro[@]}" | best)" "$(printf '%s\n' "${rn[@]}" | best)"
}

echo
echo "| cat100 onto | floor s | before s | after s | before/floor | after/floor | best before | best after |"
echo "|---|---|---|---|---|---|---|---|"
read -r fs os ns ro rn bo bn < <(paired "$work")
echo "| tmpfs | $fs | $os | $ns | $ro | $rn | $bo | $bn |"
read -r fs os ns ro rn bo bn < <(paired "$disk")
echo "| disk (${TMPDIR:-/tmp}) | $fs | $os | $ns | $ro | $rn | $bo | $bn |"
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
