#!/usr/bin/env bash
# Speed of the Python module against karvel-match on the 100 000-fix drive of scripts/match-speed.sh
# (1 s, 5 m, the bundled street map), whole runs with map loading, and how matching scales with
# threads over one map: the drive cut into 4 traces matched 4 times each, by one thread and by four.
# Wall and CPU seconds are printed, with the load of the machine, since on a shared machine wall time
# alone says little. Not part of the test run. Usage: scripts/python-speed.sh [WORKDIR]   (BUILD_DIR as for build.sh;
# NO_BUILD=1 uses the build as it is)
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$root/build}" && pwd)"
[ "${NO_BUILD:-0}" = 1 ] || cmake --build "$build" --target karvel-match karvel-sim karvel_python -j 2 >/dev/null
python="$(sed -n 's/^KARVEL_PYTHON3:FILEPATH=//p' "$build/CMakeCache.txt")"
work="${1:-$(mktemp -d /tmp/karvel-pyspeed-XXXXXX)}"
dir="$work/long100000"
if [ ! -d "$dir" ]; then
  mkdir -p "$dir/data/nmea"
  cp "$root/sample/data/map.txt" "$dir/data/map.txt"
  "$build/bin/karvel-sim" --map "$dir/data/map.txt" --out "$dir/data/nmea" --truth "$dir/truth" --traces 1 \
    --seed 3 --duration 100000 --period 1 --sigma 5 -q
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
# Whole runs (process start, interpreter and NumPy import, map loading included), and the part both
# spend on the drive itself: karvel-match's own count (its summary line: reading and matching the
# log) against load_trace + match timed inside Python.
for run in 1 2 3; do
  (cd "$dir" && /usr/bin/time -o time.txt -f "%e s wall, %U+%S s CPU" "$build/bin/karvel-match" --jobs 1 \
    >/dev/null 2>summary.txt && echo "karvel-match --jobs 1: $(cat time.txt); reading and matching: $(
    sed -n 's/.*matched, \([0-9.]*\) s,.*/\1/p' summary.txt) s")
  (cd "$dir" && PYTHONPATH="$build/python" /usr/bin/time -o time.txt -f "%e s wall, %U+%S s CPU" "$python" -c '
import time
import karvel
m = karvel.Map("data/map.txt")
wall = time.perf_counter()
t = karvel.load_trace("data/nmea/sim_000.txt")
r = m.match(t.lat, t.lon, t.time)
assert r.matched_count > 0.9 * len(t)
print(f"{time.perf_counter() - wall:.2f}")' >call.txt && echo "python:                $(cat time.txt); load_trace + match:  $(cat call.txt) s")
done
# Threads over one map: the drive cut into 4 traces, each matched 4 times, by one thread and by four.
# The pools are made once and warmed, so that every thread's matcher has its working storage.
cd "$dir" && PYTHONPATH="$build/python" "$python" - <<'PY'
import os
import time
from concurrent.futures import ThreadPoolExecutor
import karvel

m = karvel.Map("data/map.txt")
t = karvel.load_trace("data/nmea/sim_000.txt")
n = len(t) // 4
pieces = [(t.lat[k * n:(k + 1) * n], t.lon[k * n:(k + 1) * n], t.time[k * n:(k + 1) * n]) for k in range(4)] * 4
pools = {threads: ThreadPoolExecutor(threads) for threads in (1, 4)}
for pool in pools.values():
    list(pool.map(lambda p: m.match(*p), pieces[:8]))
for threads in (1, 4, 1, 4):
    wall, cpu = time.perf_counter(), time.process_time()
    list(pools[threads].map(lambda p: m.match(*p), pieces))
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(f"{threads} thread(s): 16 traces of {n} fixes, {wall:.2f} s wall, {cpu:.2f} s CPU, "
          f"load {os.getloadavg()[0]:.1f}")
PY
