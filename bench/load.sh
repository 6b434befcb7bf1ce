#!/usr/bin/env bash
# Loads generated documents with xmlload and reports, for each: load time,
# database size and peak resident memory.
#
#   bench/load.sh [BUILD_DIR]
#
# BUILD_DIR (default: build) must hold tools/xmlload/xmlload and
# bench/gen_xml; XMLLOAD and GEN_XML override either path. The documents go
# to a temporary folder that is removed afterwards (KEEP=1 keeps it).
set -euo pipefail

build=${1:-build}
xmlload=${XMLLOAD:-$build/tools/xmlload/xmlload}
gen_xml=${GEN_XML:-$build/bench/gen_xml}
for program in "$xmlload" "$gen_xml"; do
  [[ -x $program ]] || { echo "load.sh: $program not found or not executable" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn_load.XXXXXX")
cleanup() { [[ ${KEEP:-0} == 1 ]] && echo "kept $work" || rm -rf "$work"; }
trap cleanup EXIT

# Runs xmlload on $1 into $2; prints "seconds peak_kib".
measure() {
  local xml=$1 db=$2 report=$work/time.txt
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -f '%e %M' -o "$report" "$xmlload" "$xml" "$db"
    cat "$report"
  else
    # Without GNU time: wall clock from bash's clock, peak memory sampled
    # from the child's high-water mark in /proc while it runs.
    local start peak=0 pid rss
    start=$EPOCHREALTIME
    "$xmlload" "$xml" "$db" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
      rss=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
      if [[ -n $rss && $rss -gt $peak ]]; then peak=$rss; fi
      sleep 0.02
    done
    wait "$pid"
    awk -v a="$start" -v b="$EPOCHREALTIME" -v p="$peak" 'BEGIN { printf "%.2f %d\n", b - a, p }'
  fi
}

run() {
  local name=$1 shape=$2 size=$3
  local xml=$work/$name.xml db=$work/$name.db
  "$gen_xml" "$shape" "$size" "$xml"
  local xml_bytes; xml_bytes=$(stat -c %s "$xml")
  local result; result=$(measure "$xml" "$db")
  local seconds=${result% *} peak=${result#* }
  local db_bytes; db_bytes=$(stat -c %s "$db")
  awk -v n="$name" -v x="$xml_bytes" -v s="$seconds" -v d="$db_bytes" -v p="$peak" 'BEGIN {
    mb = 1048576
    printf "%-14s xml %8.1f MB  load %7.2f s  %6.1f MB/s  db %8.1f MB  peak %7.1f MB\n",
           n, x / mb, s, x / mb / (s + 0.001), d / mb, p / 1024 }'
  rm -f "$xml" "$db"
}

run catalog-10MB catalog 10
run catalog-100MB catalog 100
run flat-1M flat 1000000
