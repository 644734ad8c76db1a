#!/usr/bin/env bash
# Developer tool, not part of CI: measures how well the tests catch faults. Each hand-made mutant of
# scripts/mutants.txt is applied to a scratch copy of this tree, only what changed is rebuilt, the test
# programs of the rooms that can see the change are run, and the failing tests are recorded.
# A mutant that no test notices points at a gap in the tests.
#
# Usage: scripts/mutants.sh [ID...]          (no ID: every mutant of the list)
# Environment:
#   MUTANT_DIR      scratch folder (default: build-mutants/ in this tree); holds src/, build/, kills.tsv
#   MUTANT_SRC      use this existing scratch tree instead of copying this one (it is modified in place
#                   and restored after each mutant)
#   MUTANT_BUILD    build folder (default: MUTANT_DIR/build); configured Debug without benchmarks
#   MUTANT_LIST     mutant list (default: scripts/mutants.txt)
#   MUTANT_TIMEOUT  seconds per test program and mutant (default 300)
#   MUTANT_FAST=1   stop a mutant at its first failing test (cheaper; lists one killer per mutant)
#   MUTANT_NO_BASELINE=1  skip the run of the unmutated tests (when they are known to pass)
#   MUTANT_LOCK     lock file that every build takes (default MUTANT_DIR/build.lock)
#   MUTANT_APPEND=1 add to kills.tsv instead of starting it afresh
# Output: MUTANT_DIR/kills.tsv with "ID<TAB>killed|survived|nobuild|noanchor<TAB>failing tests".
# Builds take the lock MUTANT_DIR/build.lock, so a developer build can wait for it with flock.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${MUTANT_DIR:-$root/build-mutants}"
list="${MUTANT_LIST:-$root/scripts/mutants.txt}"
limit="${MUTANT_TIMEOUT:-300}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

if [ -n "${MUTANT_SRC:-}" ]; then
  src="$(cd "$MUTANT_SRC" && pwd)"
else
  # A copy of the tracked files as they are now (uncommitted changes included); mtimes are kept so
  # that a second run rebuilds only what changed.
  src="$dir/src"
  rm -rf "$src"
  mkdir -p "$src"
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    rsync -a --from0 --files-from=- "$root/" "$src/"
  # The real-data tests find the shared data beside the source tree.
  for up in "$root/.." "$root/../.."; do
    if [ -d "$up/shared/data" ]; then
      ln -sfn "$(cd "$up/shared" && pwd)" "$dir/shared"
      break
    fi
  done
fi
build="${MUTANT_BUILD:-$dir/build}"
lock="${MUTANT_LOCK:-$dir/build.lock}"

# Everything, before any test program runs: the test programs of several rooms run the programs too
# (the bad-input matrix, the KML write failure), and a program left as an earlier mutant built it would
# credit the next mutant with that one's kills, or hide its own.
build_all() {
  flock "$lock" cmake --build "$build" -j2 >"$dir/build.log" 2>&1
}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKARVEL_BUILD_BENCH=OFF >/dev/null
fi
build_all || { cat "$dir/build.log"; echo "ERROR: the unmutated tree does not build" >&2; exit 1; }

# Test programs that can see a change in a file, by the room the file lives in. karvel-parallel is
# seen by its own CTest test ("ctest:NAME").
programs_for() {
  local rooms
  [ "$1" != scripts/karvel-parallel ] || { echo ctest:karvel_parallel; return 0; }
  # The Python module is seen by its pytest run alone.
  [ "${1%%/*}" != python ] || { echo ctest:python_module; return 0; }
  case "${1%%/*}" in
    geometry) rooms="geometry traces map kml matching app api tools" ;;
    traces) rooms="traces map kml matching app api tools" ;;
    map) rooms="map kml matching app api tools" ;;
    kml) rooms="kml matching app api tools" ;;
    matching) rooms="matching app api tools" ;;
    app) rooms="app api tools" ;;
    api) rooms="api tools" ;;
    *) rooms="tools app" ;;  # the bad-input matrix of tests/app runs the tools too
  esac
  for r in $rooms; do
    [ -x "$build/tests/test_$r" ] && echo "test_$r"
  done
  return 0
}

# Builds and runs the given test programs in turn; prints "program:Test" for every failing test (or
# TIMEOUT / CRASH, or NOBUILD when the mutant does not compile).
run_programs() {
  local p rc out
  for p in "$@"; do
    if [[ $p == ctest:* ]]; then
      build_all || { echo "NOBUILD"; break; }
      KP_FAIL_FAST=1 timeout -k 10 "$limit" ctest --test-dir "$build" -R "^${p#ctest:}\$" >"$dir/run-ctest.log" 2>&1 ||
        echo "$p"
      continue
    fi
    if ! build_all; then
      echo "NOBUILD"
      break
    fi
    out="$dir/run-$p.log"
    rc=0
    if [ "${MUTANT_FAST:-0}" = 1 ]; then
      # The quick tests first; the long property, oracle and real-data tests only when they pass.
      local long='*Property*:*Oracle*:*RealData*:*RealDrive*:*Extract*'
      (cd "$build/tests" && timeout -k 10 "$limit" "./$p" --gtest_brief=1 --gtest_fail_fast \
        "--gtest_filter=-$long" >"$out" 2>&1 &&
        timeout -k 10 "$limit" "./$p" --gtest_brief=1 --gtest_fail_fast "--gtest_filter=$long" \
          >>"$out" 2>&1) || rc=$?
    else
      (cd "$build/tests" && timeout -k 10 "$limit" "./$p" --gtest_brief=1 >"$out" 2>&1) || rc=$?
    fi
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
      echo "$p:TIMEOUT"
    elif [ "$rc" != 0 ]; then
      local failed
      failed="$(sed -n -E 's/^\[  FAILED  \] ([A-Za-z_][^ ]*).*/\1/p' "$out" | sort -u)"
      if [ -n "$failed" ]; then
        sed "s/^/$p:/" <<<"$failed"
      else
        echo "$p:CRASH($rc)"
      fi
    fi
    if [ "$rc" != 0 ] && [ "${MUTANT_FAST:-0}" = 1 ]; then break; fi
  done
  return 0
}

# Applies or checks one mutant: python does the exact, single-occurrence text replacement.
apply_mutant() {  # file original replacement
  python3 - "$@" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2], sys.argv[3]
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))
PY
}

baseline=""
if [ "${MUTANT_NO_BASELINE:-0}" != 1 ]; then
  all_programs=$(cd "$build/tests" && ls test_* 2>/dev/null | grep -v '\.' || true)
  echo "baseline: running $(echo $all_programs | wc -w) test programs"
  baseline="$(MUTANT_FAST=0 run_programs $all_programs)"
  [ -n "$baseline" ] && echo "tests failing without any mutant (ignored): $baseline"
fi

# Parse the list into id|file|original|replacement records.
mapfile -t mutants < <(python3 - "$list" <<'PY'
import sys
cur = None
for raw in open(sys.argv[1], encoding="utf-8"):
    line = raw.rstrip("\n")
    if line.startswith("@ "):
        parts = line[2:].split(None, 2)
        cur = [parts[0], parts[1], None, None]
    elif line.startswith("- ") and cur:
        cur[2] = line[2:]
    elif line.startswith("+ ") and cur:
        cur[3] = line[2:]
        print("\x1f".join(cur))
        cur = None
PY
)

results="$dir/kills.tsv"
[ "${MUTANT_APPEND:-0}" = 1 ] || : >"$results"
wanted=" $* "
killed=0
total=0
for m in "${mutants[@]}"; do
  IFS=$'\x1f' read -r id file old new <<<"$m"
  if [ $# -gt 0 ] && [[ "$wanted" != *" $id "* ]]; then continue; fi
  total=$((total + 1))
  target="$src/$file"
  saved="$dir/original.tmp"
  cp "$target" "$saved"
  trap 'cp "$saved" "$target"' EXIT
  verdict=survived
  killers=""
  if ! apply_mutant "$target" "$old" "$new"; then
    verdict=noanchor
  else
    killers="$(run_programs $(programs_for "$file") | grep -v -x -F -f <(printf '%s\n' "$baseline") || true)"
    if [ "$killers" = NOBUILD ]; then
      verdict=nobuild
      killers=""
    elif [ -n "$killers" ]; then
      verdict=killed
    fi
  fi
  cp "$saved" "$target"
  trap - EXIT
  [ "$verdict" = killed ] && killed=$((killed + 1))
  printf '%s\t%s\t%s\n' "$id" "$verdict" "$(echo $killers)" >>"$results"
  printf '%-7s %-9s %s\n' "$id" "$verdict" "$(echo "$killers" | wc -w) failing tests"
done
build_all || true
echo "killed $killed of $total mutants; details in $results"
