#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each for a given time.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: nmea gpx map batch (default: all)
# SECONDS is per target (default 60); PARALLEL=1 runs the targets side by side. The corpus grows in
# $BUILD_DIR/fuzz-corpus/<target> (kept between runs; seeded from the sample files and ../shared/data);
# a crash, leak, hang or failed check is written to $BUILD_DIR/fuzz-findings/<target>-* and makes the
# script exit 1. Logs: $BUILD_DIR/fuzz-logs. BUILD_DIR defaults to build-fuzz.
# Replay one finding:  $BUILD_DIR/fuzz/fuzz_<target> FILE
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-fuzz}"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(nmea gpx map batch)

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKARVEL_FUZZ=ON -DKARVEL_BUILD_TESTS=OFF -DKARVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz -j "${JOBS:-2}"

seeds="$build/fuzz-corpus/seeds"
rm -rf "$seeds"
"$root/fuzz/seed_corpus.sh" "$seeds"
mkdir -p "$build/fuzz-findings" "$build/fuzz-logs"
# The targets write their input to a file per run: a memory file system keeps that cheap.
if [ -w /dev/shm ]; then scratch="$(mktemp -d -p /dev/shm)"; else scratch="$(mktemp -d)"; fi
trap 'rm -rf "$scratch"' EXIT
export KARVEL_FUZZ_TMP="$scratch"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"

# KEEP_GOING=1 goes on after a finding (libFuzzer's fork mode), to collect several in one run.
keep_going=()
[ "${KEEP_GOING:-0}" = 1 ] && keep_going=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)

# Runs one target; returns 1 when it found anything.
run_target() {
  local t="$1" limits corpus log before after status=0
  case "$t" in
    nmea) limits=(-max_len=16384 -timeout=10) ;;
    # Long enough for a tag past the loader's bound; the timeout catches a file that costs minutes.
    gpx) limits=(-max_len=32768 -timeout=10) ;;
    map) limits=(-max_len=32768 -timeout=10) ;;
    batch) limits=(-max_len=16384 -timeout=30) ;;
    *) echo "unknown fuzz target: $t" >&2; return 2 ;;
  esac
  corpus="$build/fuzz-corpus/$t"
  mkdir -p "$corpus"
  log="$build/fuzz-logs/$t.log"
  before=$(find "$build/fuzz-findings" -name "$t-*" | wc -l)
  "$build/fuzz/fuzz_$t" "${keep_going[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    "${limits[@]}" -artifact_prefix="$build/fuzz-findings/$t-" "$corpus" "$seeds/$t" >"$log" 2>&1 || status=1
  after=$(find "$build/fuzz-findings" -name "$t-*" | wc -l)
  [ "$after" -gt "$before" ] && status=1
  {
    echo "fuzz_$t: ${seconds}s, log $log"
    { grep -E "^#[0-9]+" "$log" | tail -n 1; grep -E "^stat::number_of_executed_units|^Done|ERROR|SUMMARY|check failed" "$log"; } | sed "s/^/  /" || true
    echo "  corpus: $(ls "$corpus" | wc -l) inputs; findings: $((after - before))"
  }
  return $status
}

# PARALLEL=1 runs the targets at the same time (one process each) instead of one after the other.
failed=0
if [ "${PARALLEL:-0}" = 1 ]; then
  pids=()
  for t in "${targets[@]}"; do run_target "$t" & pids+=($!); done
  for p in "${pids[@]}"; do wait "$p" || failed=1; done
else
  for t in "${targets[@]}"; do run_target "$t" || failed=1; done
fi
if [ "$failed" -ne 0 ]; then
  echo "FUZZING FOUND PROBLEMS: see $build/fuzz-findings and $build/fuzz-logs" >&2
  exit 1
fi
echo "fuzzing clean: ${targets[*]} (${seconds}s each)"
