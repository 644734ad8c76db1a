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
status=0
ctest --output-on-failure -j "$(nproc)" "$@" || status=$?
# ctest lists skipped tests without their reason; each says why in its output.
awk '
  /^[0-9]+\/[0-9]+ Testing: / { name = $3; next }
  after { print "  " name ": " $0; after = 0; next }
  /: Skipped$/ { after = 1; next }
  /^SKIP: / { print "  " name ": " substr($0, 7) }
' Testing/Temporary/LastTest.log 2>/dev/null | sort -u | sed '1i Skipped, and why:' || true
exit "$status"
