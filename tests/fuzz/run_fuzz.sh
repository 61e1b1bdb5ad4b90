#!/bin/sh
# Builds the HTTP request fuzz target with clang and runs it for a bounded time.
# Usage: run_fuzz.sh SOURCE_DIR WORK_DIR SECONDS
# New inputs go to WORK_DIR/corpus, crashing ones to WORK_DIR/artifacts; the
# seeds under tests/fuzz/corpus are only read.
set -eu
src=$1
work=$2
seconds=$3

cmake -S "$src/tests/fuzz" -B "$work/build" -DCMAKE_CXX_COMPILER=clang++ \
      -DPV_SOURCE_DIR="$src" >/dev/null
cmake --build "$work/build" -j4
mkdir -p "$work/corpus" "$work/artifacts"
exec "$work/build/fuzz_http_request" \
     -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
     -dict="$src/tests/fuzz/http_request.dict" \
     -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
     "$work/corpus" "$src/tests/fuzz/corpus/http_request"
