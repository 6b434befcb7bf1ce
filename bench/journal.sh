#!/usr/bin/env bash
# What changes of an existing database cost, what sharing it gains, and the
# new-database load beside another build's.
#
#   bench/journal.sh [BUILD_DIR] [ROUNDS]
#
# BUILD_DIR (default build/release, configured and built here as a Release
# build when missing) must hold the tools and bench programs.
#  1. A small change: about 10 KB of indexed text appended to the database
#     of the 500 MB catalog (gen_xml catalog 170) and committed, ROUNDS
#     times (default 5) one after another, on the disk (TMPDIR), syncs
#     included; the median time of each step. One more run under strace
#     tells the bytes written to the journal and to the database and the
#     bytes read by read(2) and pread(2); /usr/bin/time its peak RSS and
#     major faults. None of it comes near the size of the database.
#  2. Sharing: 16 xmlfind --count on that database started at once, beside
#     the same 16 one after another, by turns, ROUNDS times (medians); any
#     run that fails is counted.
#  3. With BASE=<another build folder> (the same targets built from the
#     tree to compare with): the two-argument xmlload of the 100 MB catalog
#     into /dev/shm by both builds by turns, ROUNDS times (medians and the
#     median of the per-round ratios), whether both databases are the same
#     bytes, and callgrind's instruction counts of both on the 10 MB catalog.
# Needs bash 5, /usr/bin/time, strace and valgrind: `make bench-deps`.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build/release}
rounds=${2:-5}
source "$src/bench/timing.sh"
require journal.sh /usr/bin/time strace valgrind
release_build "$src" "$build" xmlload xmlfind gen_xml change_bench
xmlload=$build/tools/xmlload/xmlload
xmlfind=$build/tools/xmlfind/xmlfind
gen=$build/bench/gen_xml
change=$build/bench/change_bench

disk=$(mktemp -d "${TMPDIR:-/tmp}/tarn_journal.XXXXXX")
shm=$(mktemp -d "${SHM:-/dev/shm}/tarn_journal.XXXXXX")
trap 'rm -rf "$disk" "$shm"' EXIT

"$gen" catalog 170 "$shm/catalog.xml"
db=$disk/catalog.db
"$xmlload" "$shm/catalog.xml" "$db"
rm -f "$shm/catalog.xml"
printf 'database: %d bytes\n\n' "$(stat -c %s "$db")"

# ---- 1. a small change ------------------------------------------------------
echo "small change: ~10 KB of indexed text appended and committed"
for ((i = 0; i < rounds; i++)); do "$change" "$db" 10240; done >"$disk/steps.txt"
for step in open change commit close; do
  printf '  %-7s %s s (median of %d)\n' "$step" \
    "$(awk -v s="$step" '{ for (i = 1; i < NF; i += 2) if ($i == s) print $(i + 1) }' "$disk/steps.txt" | median)" "$rounds"
done
strace -f -y -e trace=pwrite64,write,pread64,read -o "$disk/trace.txt" "$change" "$db" 10240 >/dev/null
awk -v db="$db" '
  # pwrite64(5</path>, ..., 4112, 8192) = 4112
  /^[0-9]+ +(pwrite64|write|pread64|read)\(/ {
    call = $2; sub(/\(.*/, "", call)
    path = $0; sub(/^[^<]*</, "", path); sub(/>.*/, "", path)
    n = $NF + 0
    if (n <= 0) next
    if (call ~ /write/) { if (path == db "-journal") journal += n; else if (path == db) file += n }
    else read += n
  }
  END {
    printf "  journal written  %d bytes\n  database written %d bytes\n  read(2)/pread(2) %d bytes\n", journal, file, read
  }' "$disk/trace.txt"
/usr/bin/time -f '  peak RSS %M KiB, major faults %F, minor faults %R' "$change" "$db" 10240 >/dev/null
echo

# ---- 2. sharing -------------------------------------------------------------
echo "16 xmlfind --count at once, and one after another"
query=("$xmlfind" --count --prefix "$db" title "river s")
"${query[@]}" >/dev/null
together() {
  local pids=() failed=0 pid
  for ((k = 0; k < 16; k++)); do "${query[@]}" >/dev/null & pids+=($!); done
  for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
  echo "$failed" >>"$disk/failed.txt"
}
apart() { for ((k = 0; k < 16; k++)); do "${query[@]}" >/dev/null; done; }
: >"$disk/failed.txt"
t=() a=()
for ((i = 0; i < rounds; i++)); do t+=("$(once together)"); a+=("$(once apart)"); done
tm=$(printf '%s\n' "${t[@]}" | median)
am=$(printf '%s\n' "${a[@]}" | median)
printf '  at once %s s, one after another %s s (ratio %.2f), failed runs %d\n' "$tm" "$am" \
  "$(awk -v a="$tm" -v b="$am" 'BEGIN { print a / b }')" "$(awk '{ s += $1 } END { print s + 0 }' "$disk/failed.txt")"
echo

# ---- 3. the new-database load beside BASE -----------------------------------
[[ -n ${BASE:-} ]] || exit 0
base=$BASE/tools/xmlload/xmlload
echo "two-argument xmlload, this build beside $BASE"
"$gen" catalog 100 "$shm/c100.xml"
"$gen" catalog 10 "$shm/c10.xml"
n=() b=() r=()
for ((i = 0; i < rounds; i++)); do
  bs=$(once "$base" "$shm/c100.xml" "$shm/base.db")
  ns=$(once "$xmlload" "$shm/c100.xml" "$shm/new.db")
  b+=("$bs") n+=("$ns") r+=("$(awk -v a="$ns" -v b="$bs" 'BEGIN { printf "%.4f", a / b }')")
done
printf '  100 MB: base %s s, this %s s, ratio %s (median of %d rounds)\n' \
  "$(printf '%s\n' "${b[@]}" | median)" "$(printf '%s\n' "${n[@]}" | median)" \
  "$(printf '%s\n' "${r[@]}" | median)" "$rounds"
cmp -s "$shm/base.db" "$shm/new.db" && echo "  databases: the same bytes" || echo "  databases: DIFFER"
for which in base this; do
  prog=$xmlload
  [[ $which == base ]] && prog=$base
  valgrind --tool=callgrind --callgrind-out-file="$shm/cg.$which" "$prog" "$shm/c10.xml" "$shm/cg.db" \
    >/dev/null 2>"$shm/cg.$which.txt"
  printf '  10 MB under callgrind, %s: %s instructions\n' "$which" \
    "$(grep -o 'refs: *[0-9,]*' "$shm/cg.$which.txt" | tr -dc 0-9)"
done
