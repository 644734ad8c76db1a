#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default build/). Extra arguments go to cmake's configure step;
# BUILD_TARGETS names the targets to build (default: all of them).
# The compiler's output is kept in BUILD_DIR/build.log and shown only when the build fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/deps.sh"
# ccache, where installed, lets several work trees of one repository share their compiled objects.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" "$@" >/dev/null
targets=()
[ -z "${BUILD_TARGETS:-}" ] || targets=(--target ${BUILD_TARGETS})
if ! cmake --build "$build" -j "$(nproc)" "${targets[@]}" >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "ERROR: the build failed (log: $build/build.log)" >&2
  exit 1
fi
