#!/usr/bin/env bash
# Times xmlquery on generated catalog databases and reports, for each query:
# the best wall time of a few runs, the size of what it printed and its peak
# resident memory.
#
#   bench/query.sh [BUILD_DIR]
#
# BUILD_DIR (default: build) must hold tools/xmlload/xmlload,
# tools/xmlquery/xmlquery and bench/gen_xml; XMLLOAD, XMLQUERY and GEN_XML
# override the paths; RUNS (default 3) sets the runs per query. The files go
# to a temporary folder that is removed afterwards (KEEP=1 keeps it).
set -euo pipefail

build=${1:-build}
xmlload=${XMLLOAD:-$build/tools/xmlload/xmlload}
xmlquery=${XMLQUERY:-$build/tools/xmlquery/xmlquery}
gen_xml=${GEN_XML:-$build/bench/gen_xml}
runs=${RUNS:-3}
for program in "$xmlload" "$xmlquery" "$gen_xml"; do
  [[ -x $program ]] || { echo "query.sh: $program not found or not executable" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn_query.XXXXXX")
cleanup() { [[ ${KEEP:-0} == 1 ]] && echo "kept $work" || rm -rf "$work"; }
trap cleanup EXIT

# Runs one query with its output in $work/out.xml; prints "seconds peak_kib".
measure() {
  local report=$work/time.txt
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -f '%e %M' -o "$report" "$xmlquery" "$@" >"$work/out.xml"
    cat "$report"
  else
    # Without GNU time: bash's clock, and the child's high-water mark read
    # from /proc while it runs.
    local start peak=0 pid rss
    start=$EPOCHREALTIME
    "$xmlquery" "$@" >"$work/out.xml" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
      rss=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
      if [[ -n $rss && $rss -gt $peak ]]; then peak=$rss; fi
      sleep 0.005
    done
    wait "$pid"
    awk -v a="$start" -v b="$EPOCHREALTIME" -v p="$peak" 'BEGIN { printf "%.3f %d\n", b - a, p }'
  fi
}

# Best time and highest peak over $runs runs of one query.
report() {
  local label=$1; shift
  local best="" peak=0 result seconds kib
  for ((i = 0; i < runs; i++)); do
    result=$(measure "$@")
    seconds=${result% *} kib=${result#* }
    if [[ -z $best ]] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
    fi
    (( kib > peak )) && peak=$kib
  done
  local out_bytes; out_bytes=$(stat -c %s "$work/out.xml")
  printf '  %-28s %8.3f s  out %11d B  peak %7.1f MB\n' "$label" "$best" "$out_bytes" \
    "$(awk -v p="$peak" 'BEGIN { print p / 1024 }')"
}

# Turns the entity references the generator writes back into characters.
unescape() { sed -e 's/&lt;/</g' -e 's/&gt;/>/g' -e 's/&amp;/\&/g'; }

# The title of book $2 in the XML file $1.
title_of() {
  grep -m1 -A1 "<book id=\"$2\"" "$1" | sed -n 's:.*<title>\(.*\)</title>.*:\1:p' | unescape
}

run() {
  local name=$1 megabytes=$2
  local xml=$work/$name.xml db=$work/$name.db
  "$gen_xml" catalog "$megabytes" "$xml"
  "$xmlload" "$xml" "$db"
  local books; books=$(grep -c '<book id=' "$xml")
  local middle="b$(( books / 2 ))"
  local title; title=$(title_of "$xml" "$middle")
  printf '%s: xml %.1f MB, db %.1f MB, %d books\n' "$name" \
    "$(awk -v b="$(stat -c %s "$xml")" 'BEGIN { print b / 1048576 }')" \
    "$(awk -v b="$(stat -c %s "$db")" 'BEGIN { print b / 1048576 }')" "$books"
  report "book of a title ($middle)" "$db" book title "$title"
  report "summary of an em" "$db" summary em "$(grep -m1 -o '<em>[^<]*</em>' "$xml" | sed 's:</*em>::g' | unescape)"
  report "title found nowhere" "$db" book title "no such title"
  report "whole document" "$db" catalog title "$title"
  rm -f "$xml" "$db"
}

run catalog-10MB 10
run catalog-100MB 100
