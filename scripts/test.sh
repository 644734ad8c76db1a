#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
# SANITIZE=1 builds into build-sanitize/ with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${SANITIZE:-0}" = 1 ]; then
  export BUILD_DIR="${BUILD_DIR:-$root/build-sanitize}"
  "$root/scripts/build.sh" -DKARVEL_SANITIZE=ON -DKARVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
else
  export BUILD_DIR="${BUILD_DIR:-$root/build}"
  "$root/scripts/build.sh"
fi
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)" "$@"
