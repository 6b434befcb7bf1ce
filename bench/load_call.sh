#!/usr/bin/env bash
# A user's program over the loading call (bench/load_call.cpp) against
# xmlload, which is a thin main over the same call: both on the same
# documents in a tmpfs folder, by turns, ROUNDS rounds; the ratio is the
# median of each round's ratio. Callgrind counts both on the 10 MB catalog.
#
#   bench/load_call.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
rounds=${2:-5}
source "$src/bench/timing.sh"
require load_call.sh valgrind
release_build "$src" "$build" xmlload load_call gen_xml
xmlload=$build/tools/xmlload/xmlload
call=$build/bench/load_call
work=$(mktemp -d "${SHM:-/dev/shm}/tarn_load_call.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$build/bench/gen_xml" catalog 10 "$work/cat10.xml"
"$build/bench/gen_xml" catalog 100 "$work/cat100.xml"

printf '| document | xmlload s | load_call s | ratio | load_call from memory s |\n|---|---|---|---|---|\n'
for doc in cat10 cat100; do
  t=() c=() m=() r=()
  for ((i = 0; i < rounds; i++)); do
    a=$(once "$xmlload" "$work/$doc.xml" "$work/a.db")
    b=$(once "$call" "$work/$doc.xml" "$work/b.db")
    m+=("$(once "$call" "$work/$doc.xml" "$work/c.db" memory)")
    t+=("$a") c+=("$b")
    r+=("$(awk -v a="$b" -v b="$a" 'BEGIN { printf "%.3f", a / b }')")
  done
  cmp "$work/a.db" "$work/b.db" && cmp "$work/a.db" "$work/c.db"
  printf '| %s | %s | %s | %s | %s |\n' "$doc" "$(printf '%s\n' "${t[@]}" | median)" \
    "$(printf '%s\n' "${c[@]}" | median)" "$(printf '%s\n' "${r[@]}" | median)" \
    "$(printf '%s\n' "${m[@]}" | median)"
done

count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected/ { print $4 }'
}
a=$(count "$xmlload" "$work/cat10.xml" "$work/a.db")
b=$(count "$call" "$work/cat10.xml" "$work/b.db")
printf '\ncallgrind, cat10: xmlload %s, load_call %s instructions (%s)\n' "$a" "$b" \
  "$(awk -v a="$b" -v b="$a" 'BEGIN { printf "%.4f", a / b }')"
