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
require compare_load.sh valgrind /usr/bin/time
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
  printf "\ncallgrind, cat10: before %.0f (%.1f per byte), after %.0f (%.1f per byte), after/before %.3f\n", a, a / n, b, b / n, b / a }'

# Wall seconds and CPU seconds (user and system, both threads) of one load.
timed_load() {
  /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >/dev/null
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time.txt"
}

# The 100 MB catalog into folder $1: the floor and both loads by turns;
# prints the medians of the floor's time, of each load's wall and CPU time
# and of each load's ratio to the round's floor, then the best ratios.
paired() {
  local out=$1 f=() o=() n=() oc=() nc=() ro=() rn=() fs os ns c
  for ((i = 0; i < rounds; i++)); do
    fs=$(once "$floor" "$work/cat100.xml")
    read -r os c < <(timed_load "$old" "$work/cat100.xml" "$out/old.db")
    oc+=("$c")
    read -r ns c < <(timed_load "$new" "$work/cat100.xml" "$out/new.db")
    nc+=("$c")
    f+=("$fs") o+=("$os") n+=("$ns")
    ro+=("$(awk -v a="$os" -v b="$fs" 'BEGIN { printf "%.3f", a / b }')")
    rn+=("$(awk -v a="$ns" -v b="$fs" 'BEGIN { printf "%.3f", a / b }')")
  done
  m() { printf '%s\n' "$@" | median; }
  printf '%s %s %s %s %s %s %s %s %s\n' "$(m "${f[@]}")" "$(m "${o[@]}")" "$(m "${n[@]}")" \
    "$(m "${oc[@]}")" "$(m "${nc[@]}")" "$(m "${ro[@]}")" "$(m "${rn[@]}")" \
    "$(printf '%s\n' "${ro[@]}" | best)" "$(printf '%s\n' "${rn[@]}" | best)"
}

echo
echo "| cat100 onto | floor s | before s | after s | before CPU s | after CPU s | before/floor | after/floor | best before | best after |"
echo "|---|---|---|---|---|---|---|---|---|---|"
read -r fs os ns oc nc ro rn bo bn < <(paired "$work")
echo "| tmpfs | $fs | $os | $ns | $oc | $nc | $ro | $rn | $bo | $bn |"
read -r fs os ns oc nc ro rn bo bn < <(paired "$disk")
echo "| disk (${TMPDIR:-/tmp}) | $fs | $os | $ns | $oc | $nc | $ro | $rn | $bo | $bn |"
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
