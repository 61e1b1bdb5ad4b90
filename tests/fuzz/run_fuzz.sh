#!/bin/sh
# Builds the fuzz targets with clang and runs one or all of them for a
# bounded time.
#
#   run_fuzz.sh [--work DIR] [--no-build] [TARGET|all] [SECONDS]
#
# TARGET is a name from tests/fuzz/*_fuzz.cpp (http_request, mime_text, ...);
# all runs every target in turn, each for SECONDS (default 60); build only
# builds them. New inputs go to DIR/corpus/TARGET, failing ones to
# DIR/artifacts/TARGET; the seeds under tests/fuzz/corpus are only read. DIR
# defaults to build-fuzz in the source tree. FUZZ_FLAGS adds libFuzzer flags (for example "-jobs=4 -workers=2").
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$src/build-fuzz
build=1
while [ $# -gt 0 ]; do
  case $1 in
    --work) work=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    *) break ;;
  esac
done
target=${1:-all}
seconds=${2:-60}

if [ "$build" = 1 ]; then
  launcher=
  command -v ccache >/dev/null 2>&1 &&
    launcher="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  mkdir -p "$work"
  # shellcheck disable=SC2086
  cmake -S "$src/tests/fuzz" -B "$work/build" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPV_SOURCE_DIR="$src" $launcher >/dev/null
  cmake --build "$work/build" -j"${FUZZ_BUILD_JOBS:-4}" >"$work/build.log" 2>&1 ||
    { tail -n 60 "$work/build.log"; exit 1; }
fi
[ "$target" = build ] && exit 0

if [ "$target" = all ]; then
  status=0
  for name in $(cat "$work/build/targets.txt"); do
    sh "$0" --work "$work" --no-build "$name" "$seconds" || status=1
  done
  exit $status
fi

seeds=$src/tests/fuzz/corpus/$target
dict=$src/tests/fuzz/$target.dict
[ -x "$work/build/fuzz_$target" ] || { echo "no fuzz target $target" >&2; exit 2; }
mkdir -p "$work/corpus/$target" "$work/artifacts/$target" "$work/tmp/$target"
set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$work/artifacts/$target/" -print_final_stats=1
[ -f "$dict" ] && set -- "$@" -dict="$dict"
[ -f "$src/tests/fuzz/$target.options" ] && set -- "$@" $(cat "$src/tests/fuzz/$target.options")
# The targets that write files keep them in a folder of the run's own, in
# memory where the machine offers it (their writes are flushed to disk).
scratch=$work/tmp/$target
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d /dev/shm/pvfuzz-"$target".XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
fi
export TMPDIR="$scratch"
# shellcheck disable=SC2086
# libFuzzer writes the logs of -jobs into the current folder.
cd "$work/tmp/$target"
"$work/build/fuzz_$target" "$@" ${FUZZ_FLAGS:-} "$work/corpus/$target" "$seeds"
