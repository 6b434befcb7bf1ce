#!/usr/bin/env bash
# Reading documents back: xmldump and xmlquery beside xmllint on the same
# documents, as whole commands.
#
#   bench/read_back.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR (default build/release, configured and built here as a Release
# build when missing) must hold the tools and gen_xml; it may be the build of
# an older tree, to measure the code before a change the same way. Documents
# and databases live in a tmpfs folder (/dev/shm); output goes to /dev/null.
# Each round runs our command and xmllint's by turns, so that both meet the
# same spells of a busy machine; times are medians over ROUNDS (default 5)
# and the ratio is the median of the rounds' ratios. xmllint parses and
# serialises the XML; our side has no parsing left to do. Write calls and
# bytes per call come from strace; their share of the time is the calls times
# what one write of that size to /dev/null costs here (bench/write_cost),
# against the command's median, since tracing slows every call many times
# over. Instructions come from callgrind (FULL=1 adds the 100 MB catalog),
# which counts the same on a busy machine.
# Needs bash 5, a C++ compiler, xmllint (libxml2-utils), strace, /usr/bin/time
# and valgrind.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
rounds=${2:-5}
source "$src/bench/timing.sh"
require read_back.sh xmllint strace /usr/bin/time valgrind
release_build "$src" "$build" xmlload xmldump xmlquery gen_xml
xmlload=$build/tools/xmlload/xmlload
xmldump=$build/tools/xmldump/xmldump
xmlquery=$build/tools/xmlquery/xmlquery
gen=$build/bench/gen_xml

work=$(mktemp -d "${SHM:-/dev/shm}/tarn_read.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Built from this tree whatever BUILD_DIR holds, so that an older build
# (the code before a change) is measured the same way.
cost=$work/write_cost
"${CXX:-c++}" -O2 -o "$cost" "$src/bench/write_cost.cpp"

TIMING_DIGITS=4

# Our command and xmllint's by turns; prints "ours_s xmllint_s ratio".
paired() {
  local -n _ours=$1 _theirs=$2
  local o=() t=() r=() os ts
  for ((i = 0; i < rounds; i++)); do
    os=$(once "${_ours[@]}")
    ts=$(once "${_theirs[@]}")
    o+=("$os") t+=("$ts")
    r+=("$(awk -v a="$os" -v b="$ts" 'BEGIN { printf "%.3f", (b > 0) ? a / b : 0 }')")
  done
  printf '%s %s %s\n' "$(printf '%s\n' "${o[@]}" | median)" "$(printf '%s\n' "${t[@]}" | median)" \
    "$(printf '%s\n' "${r[@]}" | median)"
}

# "calls bytes_per_call" of the write calls of one run.
writes() {
  strace -f -c -e trace=write -o "$work/strace.txt" "$@" >/dev/null
  local calls bytes
  calls=$(awk '$NF == "write" { print $4 }' "$work/strace.txt")
  bytes=$("$@" | wc -c)
  awk -v c="${calls:-0}" -v b="$bytes" 'BEGIN { printf "%d %.0f\n", c, (c > 0) ? b / c : 0 }'
}

# Peak resident memory of one run, in MiB.
peak() {
  /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null
  awk '{ printf "%.1f", $1 / 1024 }' "$work/time.txt"
}

instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $4 }'
}

mib() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1048576 }'; }

printf 'Generating and loading documents in %s ...\n' "$work" >&2
"$gen" catalog 10 "$work/cat10.xml"
"$gen" catalog 100 "$work/cat100.xml"
"$gen" flat 1000000 "$work/flat.xml"
"$gen" deep 100000 "$work/deep.body"
{ printf '<top>'; cat "$work/deep.body"; printf '</top>\n'; } >"$work/deep.xml"
rm "$work/deep.body"
for doc in cat10 cat100 flat deep; do "$xmlload" "$work/$doc.xml" "$work/$doc.db"; done

# Splits "ours... -- theirs..." into the caller's arrays ours and theirs.
commands() {
  ours=() theirs=()
  while [[ $1 != -- ]]; do ours+=("$1"); shift; done
  shift
  theirs=("$@")
}

# One table row: "label db ours... -- theirs...".
row() {
  local label=$1 db=$2 ours theirs
  shift 2
  commands "$@"
  read -r os ts ratio < <(paired ours theirs)
  read -r calls per < <(writes "${ours[@]}")
  local mem share
  mem=$(peak "${ours[@]}")
  share=$(awk -v c="$calls" -v w="$("$cost" "$per")" -v t="$os" \
    'BEGIN { printf "%.3f", (t > 0) ? 100 * c * w / t : 0 }')
  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$os" "$ts" "$ratio" \
    "$calls" "$per" "$share" "$mem" "$(mib "$db")" \
    "$(awk -v m="$mem" -v d="$(mib "$db")" 'BEGIN { printf "%.1f", m - d }')"
}

echo "| work | ours s | xmllint s | ratio | write calls | bytes/write | % time in write | peak RSS MiB | db MiB | RSS - db MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for doc in cat10 cat100 flat; do
  row "xmldump $doc / xmllint $doc.xml" "$work/$doc.db" \
    "$xmldump" "$work/$doc.db" -- xmllint "$work/$doc.xml"
done
row "xmldump deep / xmllint --huge deep.xml" "$work/deep.db" \
  "$xmldump" "$work/deep.db" -- xmllint --huge "$work/deep.xml"
row "xmlquery deep top d9 bottom / xmllint --huge --xpath /top" "$work/deep.db" \
  "$xmlquery" "$work/deep.db" top d9 bottom -- xmllint --huge --xpath /top "$work/deep.xml"
# The whole catalog through a query: the climb from one title to the root.
title=$(grep -m 1000 '<title>' "$work/cat10.xml" | grep -v '&' | tail -n 1 | sed 's/.*<title>\(.*\)<\/title>.*/\1/')
row "xmlquery cat10 catalog title \"$title\" / xmllint --xpath /catalog" "$work/cat10.db" \
  "$xmlquery" "$work/cat10.db" catalog title "$title" -- xmllint --xpath /catalog "$work/cat10.xml"

echo
echo "| callgrind | ours | xmllint | ratio | ours per output byte |"
echo "|---|---|---|---|---|"
# One row of instruction counts: "label ours... -- theirs...".
counted() {
  local label=$1 ours theirs n t out
  shift
  commands "$@"
  n=$(instructions "${ours[@]}")
  t=$(instructions "${theirs[@]}")
  out=$("${ours[@]}" | wc -c)
  awk -v d="$label" -v n="$n" -v t="$t" -v b="$out" \
    'BEGIN { printf "| %s | %.0f | %.0f | %.2f | %.1f |\n", d, n, t, n / t, n / b }'
}
docs=(cat10)
[[ ${FULL:-0} == 1 ]] && docs+=(cat100)
for doc in "${docs[@]}"; do
  counted "xmldump $doc / xmllint $doc.xml" "$xmldump" "$work/$doc.db" -- xmllint "$work/$doc.xml"
done
counted "xmlquery deep (whole document) / xmllint --huge --xpath /top" \
  "$xmlquery" "$work/deep.db" top d9 bottom -- xmllint --huge --xpath /top "$work/deep.xml"
