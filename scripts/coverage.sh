#!/usr/bin/env bash
# Developer tool, not part of CI: line coverage of the code by the whole default test suite, measured in
# a throw-away Debug build with gcov instrumentation (gcovr from Debian).
# Usage: scripts/coverage.sh [gcovr options...]   e.g. --txt to list the files, or --filter 'map/'
# Environment: COVERAGE_BUILD  build folder (default: build-coverage/ in this tree)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${COVERAGE_BUILD:-$root/build-coverage}"
if ! command -v gcovr >/dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq gcovr >/dev/null
fi
"$root/scripts/deps.sh"
# Objects cached from another folder would write their counts under that folder's paths.
export CCACHE_DISABLE=1
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKARVEL_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j "$(nproc)" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
find "$build" -name '*.gcda' -delete
# The write-failure cases under a file-size limit fail here: gcov cannot write its counts either.
(cd "$build" && ctest -j "$(nproc)" >"$build/ctest.log" 2>&1) || echo "note: some tests failed (see $build/ctest.log)" >&2
# The code only: the rooms and the tools, not the tests, benchmarks or fuzz targets.
gcovr -r "$root" --object-directory "$build" -j "$(nproc)" --gcov-ignore-parse-errors \
  --filter "$root/(app|geometry|traces|map|matching|kml|tools)/" --print-summary "$@" | tail -n 40
