#!/usr/bin/env bash
# Speed of the Python module against karvel-match on the 100 000-fix drive of scripts/match-speed.sh
# (1 s, 5 m, the bundled street map), and how matching scales with threads over one map.
# CPU seconds (user+sys) are what to compare: on a shared machine wall time alone says little. Three
# comparisons, each run RUNS times (default 3):
#   whole  whole processes: karvel-match --jobs 1 (its default report) against python3 running
#          load_trace + match, map loading, interpreter and NumPy included;
#   call   the drive alone: karvel-match's process less its cost on a one-fix drive (start and map
#          loading), against the CPU time of load_trace + match measured inside Python;
#   rows   the per-fix columns: karvel-match --format csv -o FILE, against Python reading every
#          column of the result (and its route).
# Threads: the drive cut into 8 traces, each matched 4 times, by a pool of one thread and of four, in
# turn, so that both meet the same load. Not part of the test run.
# Usage: scripts/python-speed.sh [WORKDIR]   (BUILD_DIR as for build.sh; NO_BUILD=1 uses the build as
# it is; ONLY=threads runs only the thread comparison)
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$root/build}" && pwd)"
[ "${NO_BUILD:-0}" = 1 ] || cmake --build "$build" --target karvel-match karvel-sim karvel_python -j 2 >/dev/null
python="$(sed -n 's/^KARVEL_PYTHON3:FILEPATH=//p' "$build/CMakeCache.txt")"
export PYTHONPATH="$build/python"
work="${1:-$(mktemp -d /tmp/karvel-pyspeed-XXXXXX)}"
runs="${RUNS:-3}"
dir="$work/long100000"
if [ ! -d "$dir" ]; then
  mkdir -p "$dir/data/nmea"
  cp "$root/sample/data/map.txt" "$dir/data/map.txt"
  "$build/bin/karvel-sim" --map "$dir/data/map.txt" --out "$dir/data/nmea" --truth "$dir/truth" --traces 1 \
    --seed 3 --duration 100000 --period 1 --sigma 5 -q
fi
one="$work/one-fix"  # the same map and a drive of one fix: what a run costs besides the drive
if [ ! -d "$one" ]; then
  mkdir -p "$one/data/nmea"
  cp "$dir/data/map.txt" "$one/data/map.txt"
  grep -m 2 '^\$GP' "$dir/data/nmea/sim_000.txt" >"$one/data/nmea/sim_000.txt"
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"

# CPU seconds (user+sys) of "$@" run in folder $1.
cpu() {
  local in="$1"
  shift
  (cd "$in" && /usr/bin/time -o "$work/time.txt" -f "%U %S" "$@" >/dev/null 2>"$work/err.txt") ||
    { cat "$work/err.txt" >&2; return 1; }
  awk '{ printf "%.2f", $1 + $2 }' "$work/time.txt"
}

# The Python side: prints the whole process's CPU less nothing, and the call's own CPU seconds.
# $1: "call" (load_trace + match) or "rows" (also every column and the route).
python_cpu() {
  (cd "$dir" && /usr/bin/time -o "$work/time.txt" -f "%U %S" "$python" -c '
import sys
import time
import numpy
import karvel
m = karvel.Map("data/map.txt")
cpu = time.process_time()
t = karvel.load_trace("data/nmea/sim_000.txt")
r = m.match(t.lat, t.lon, t.time)
assert r.matched_count > 0.9 * len(t)
if sys.argv[1] == "rows":
    columns = [r.link, r.way_id, r.lat, r.lon, r.distance, r.offset, r.matched, r.piece, r.route_distance, r.speed]
    assert all(len(c) == len(t) for c in columns) and len(r.route) > 0
print(f"{time.process_time() - cpu:.2f}")' "$1" >"$work/call.txt")
  echo "$(awk '{ printf "%.2f", $1 + $2 }' "$work/time.txt") $(cat "$work/call.txt")"
}

if [ "${ONLY:-}" != threads ]; then
  echo "CPU seconds, user+sys          karvel-match        python"
  for run in $(seq "$runs"); do
    match=$(cpu "$dir" "$build/bin/karvel-match" --jobs 1)
    start=$(cpu "$one" "$build/bin/karvel-match" --jobs 1)
    read -r whole call <<<"$(python_cpu call)"
    awk -v m="$match" -v s="$start" -v w="$whole" -v c="$call" 'BEGIN {
      printf "whole process                   %5.2f               %5.2f  (%+.0f %%; interpreter, NumPy, map: %.2f)\n", m, w, 100 * (w / m - 1), w - c
      printf "call (drive alone)              %5.2f (%.2f - %.2f) %5.2f  (%+.0f %%)\n", m - s, m, s, c, 100 * (c / (m - s) - 1) }'
    csv=$(cpu "$dir" "$build/bin/karvel-match" --jobs 1 -q --format csv -o "$work/rows.csv")
    read -r whole call <<<"$(python_cpu rows)"
    awk -v m="$csv" -v s="$start" -v w="$whole" -v c="$call" 'BEGIN {
      printf "rows: csv -o / every column     %5.2f (drive %.2f)  %5.2f  (drive %.2f, %+.0f %%)\n", m, m - s, w, c, 100 * (c / (m - s) - 1) }'
  done
fi

# Threads over one map. The pools are made once and warmed, so that every thread's matcher has its
# working storage; each timed batch is 32 matches of 12 500 fixes, long enough that a pool's start
# and the load's swings weigh little.
cd "$dir" && "$python" - <<'PY'
import os
import time
from concurrent.futures import ThreadPoolExecutor
import karvel

m = karvel.Map("data/map.txt")
t = karvel.load_trace("data/nmea/sim_000.txt")
n = len(t) // 8
pieces = [(t.lat[k * n:(k + 1) * n], t.lon[k * n:(k + 1) * n], t.time[k * n:(k + 1) * n]) for k in range(8)] * 4
pools = {threads: ThreadPoolExecutor(threads) for threads in (1, 4)}
for pool in pools.values():
    list(pool.map(lambda p: m.match(*p).link, pieces[:8]))
for threads in (1, 4, 1, 4):
    load = os.getloadavg()[0]
    wall, cpu = time.perf_counter(), time.process_time()
    list(pools[threads].map(lambda p: m.match(*p).link, pieces))
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(f"{threads} thread(s): {len(pieces)} traces of {n} fixes, {wall:.2f} s wall, {cpu:.2f} s CPU, "
          f"{len(pieces) * n / wall / 1000:.0f}k fixes/s, load {load:.1f}")
PY
