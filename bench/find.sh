#!/usr/bin/env bash
# xmlfind beside xmlstarlet and xmllint making the same selection on the XML.
#
#   bench/find.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR (default build/release, configured and built here as a Release
# build when missing) must hold the tools and gen_xml. The catalogs of 10 and
# 100 MB are generated and loaded in a tmpfs folder (/dev/shm). The selection
# is the titles that begin with "river s", about 0.6 % of them (the
# generator is seeded, so every run finds the same ones): counted, printed,
# and printed as the books around them. Each round runs every command once,
# by turns, so that all of them meet the same spells of a busy machine;
# times are medians over the rounds (default 5) of whole commands, process
# start included. Peak RSS comes from one more run under /usr/bin/time;
# xmlfind's RSS is mostly pages of the database it touched, which the kernel
# maps 64 KiB at a time and which stay in the page cache, so its heap peak
# (valgrind massif, heap and allocator overhead) is given beside it.
# Needs bash 5, /usr/bin/time (package time), valgrind, xmlstarlet and
# xmllint (package libxml2-utils).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
rounds=${2:-5}
source "$src/bench/timing.sh"
require find.sh /usr/bin/time valgrind xmlstarlet xmllint
release_build "$src" "$build" xmlload xmlfind gen_xml
xmlload=$build/tools/xmlload/xmlload
xmlfind=$build/tools/xmlfind/xmlfind
gen=$build/bench/gen_xml

work=$(mktemp -d "${SHM:-/dev/shm}/tarn_find.XXXXXX")
trap 'rm -rf "$work"' EXIT

TIMING_DIGITS=4

peak_mib() {
  /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null
  awk '{ printf "%.1f", $1 / 1024 }' "$work/time.txt"
}

heap_kib() {
  valgrind --tool=massif --massif-out-file="$work/massif.out" "$@" >/dev/null 2>&1
  awk -F= '/mem_heap_B/ { h = $2 } /mem_heap_extra_B/ { if (h + $2 > m) m = h + $2 } END { printf "%.0f", m / 1024 }' \
    "$work/massif.out"
}

prefix="river s"
xpath_titles="//title[starts-with(., '$prefix')]"
xpath_books="//book[title[starts-with(., '$prefix')]]"

printf 'Generating and loading the catalogs in %s ...\n' "$work" >&2
for mb in 10 100; do
  "$gen" catalog $mb "$work/cat$mb.xml"
  "$xmlload" "$work/cat$mb.xml" "$work/cat$mb.db"
done

# Sets cmd to the command of tool $1 making selection $2 on catalog $3.
command_of() {
  local db=$work/cat$3.db xml=$work/cat$3.xml
  case $1:$2 in
  xmlfind:count) cmd=("$xmlfind" --count --prefix "$db" title "$prefix") ;;
  xmlfind:titles) cmd=("$xmlfind" --prefix "$db" title "$prefix") ;;
  xmlfind:books) cmd=("$xmlfind" --within book --prefix "$db" title "$prefix") ;;
  xmlstarlet:count) cmd=(xmlstarlet sel -t -v "count($xpath_titles)" -n "$xml") ;;
  xmlstarlet:titles) cmd=(xmlstarlet sel -t -m "$xpath_titles" -c . -n "$xml") ;;
  xmlstarlet:books) cmd=(xmlstarlet sel -t -m "$xpath_books" -c . -n "$xml") ;;
  xmllint:count) cmd=(xmllint --xpath "count($xpath_titles)" "$xml") ;;
  xmllint:titles) cmd=(xmllint --xpath "$xpath_titles" "$xml") ;;
  xmllint:books) cmd=(xmllint --xpath "$xpath_books" "$xml") ;;
  esac
}

tools=(xmlfind xmlstarlet xmllint)
echo "| selection | catalog | answer | xmlfind s (best) | xmlstarlet s | xmllint s | xmlfind peak RSS MiB | xmlfind heap KiB | xmlstarlet peak MiB | xmllint peak MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for selection in count titles books; do
  for mb in 10 100; do
    declare -A times=() med=() mem=()
    for ((i = 0; i < rounds; i++)); do
      for tool in "${tools[@]}"; do
        command_of "$tool" $selection $mb
        times[$tool]+="$(once "${cmd[@]}") "
      done
    done
    for tool in "${tools[@]}"; do
      command_of "$tool" $selection $mb
      med[$tool]=$(printf '%s\n' ${times[$tool]} | median)
      mem[$tool]=$(peak_mib "${cmd[@]}")
    done
    command_of xmlfind $selection $mb
    if [[ $selection == count ]]; then
      answer="$("${cmd[@]}") titles"
    else
      answer="$("${cmd[@]}" | wc -c) bytes"
    fi
    printf '| %s | %s MB | %s | %s (%s) | %s | %s | %s | %s | %s | %s |\n' "$selection" "$mb" "$answer" \
      "${med[xmlfind]}" "$(printf '%s\n' ${times[xmlfind]} | best)" "${med[xmlstarlet]}" "${med[xmllint]}" "${mem[xmlfind]}" "$(heap_kib "${cmd[@]}")" \
      "${mem[xmlstarlet]}" "${mem[xmllint]}"
    unset times med mem
  done
done

# The size of the document against the size of the answer: xmlfind alone,
# counting titles by prefixes that select from a few to 4 % of them. Beside
# the times, what a busy machine does not change: instructions (callgrind)
# and page faults, nearly all of them on pages of the database file.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null | awk '/Collected :/ { print $4 }'
}
faults() {
  /usr/bin/time -f '%R' -o "$work/time.txt" "$@" >/dev/null
  cat "$work/time.txt"
}
echo
echo "| tag, prefix | catalog | elements | xmlfind s (best) | instructions | page faults |"
echo "|---|---|---|---|---|---|"
# A tag the document lacks shows what opening the database costs.
for query in "nothing|x" "title|river stone l" "title|river stone" "title|river s" "title|river"; do
  tag=${query%%|*} p=${query#*|}
  declare -A times=()
  for ((i = 0; i < rounds; i++)); do
    for mb in 10 100; do
      times[$mb]+="$(once "$xmlfind" --count --prefix "$work/cat$mb.db" "$tag" "$p") "
    done
  done
  for mb in 10 100; do
    cmd=("$xmlfind" --count --prefix "$work/cat$mb.db" "$tag" "$p")
    printf '| %s "%s" | %s MB | %s | %s (%s) | %s | %s |\n' "$tag" "$p" "$mb" "$("${cmd[@]}")" \
      "$(printf '%s\n' ${times[$mb]} | median)" "$(printf '%s\n' ${times[$mb]} | best)" \
      "$(instructions "${cmd[@]}")" "$(faults "${cmd[@]}")"
  done
  unset times
done
