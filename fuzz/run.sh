#!/bin/sh
# Builds the fuzz targets with clang and runs each for SECONDS (default 60).
# Usage: fuzz/run.sh [SECONDS] [BUILD_DIR]
# Findings (crash-*, timeout-*, leak-*) land in BUILD_DIR/findings and make
# the script exit non-zero.
set -eu
seconds=${1:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$src/build/fuzz}

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DTARN_FUZZ=ON -DTARN_TESTS=OFF \
  -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_engine fuzz_dbfile fuzz_xml xmlload >/dev/null

work=$build/corpus
findings=$build/findings
mkdir -p "$work/engine" "$work/xml" "$work/dbfile" "$findings"
cp "$src"/fuzz/corpus/engine/* "$work/engine/" 2>/dev/null || true
cp "$src"/fuzz/corpus/xml/* "$work/xml/"
# Database seeds: each XML seed loaded, prefixed with a look-up name.
for x in "$src"/fuzz/corpus/xml/*.xml; do
  db=$work/seed.db
  rm -f "$db"
  if "$build/tools/xmlload/xmlload" "$x" "$db" 2>/dev/null; then
    { printf 'title\000'; cat "$db"; } > "$work/dbfile/$(basename "$x" .xml)"
  fi
done
rm -f "$work/seed.db"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
run() {
  name=$1; shift
  echo "== $name for ${seconds}s"
  if ! "$build/fuzz/$name" "$@" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -artifact_prefix="$findings/$name-" -print_final_stats=1 >"$build/$name.log" 2>&1; then
    status=1
    tail -n 40 "$build/$name.log"
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)|cov:' "$build/$name.log" | tail -n 3 || true
}
run fuzz_engine "$work/engine" -max_len=4096
run fuzz_xml "$work/xml" -max_len=4096 -dict="$src/fuzz/xml.dict"
run fuzz_dbfile "$work/dbfile" -max_len=200000
exit $status
