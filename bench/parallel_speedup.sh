#!/usr/bin/env bash
# Wall time of one matcher process over simulated drives on the Andorra street map against
# karvel-parallel on the same folder (default: 200 drives of 600 s, --jobs 2). Not part of the test
# suite; the machine's load is printed beside the figures because other work skews them.
# Usage: bench/parallel_speedup.sh [DRIVES] [JOBS] [MATCHER]   (BUILD_DIR selects the build, default build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${BUILD_DIR:-$root/build}/bin" && pwd)"
drives=${1:-200}
jobs=${2:-2}
matcher=${3:-karvel}
# The shared data sits beside the repository (or beside the worktrees' folder).
extract=""
for data in "${KARVEL_SHARED_DATA:-}" "$root/../shared/data" "$root/../../shared/data"; do
    [ -n "$data" ] && [ -f "$data/graphhopper-osm-extracts/andorra.osm.pbf" ] &&
        extract="$data/graphhopper-osm-extracts/andorra.osm.pbf" && break
done
[ -n "$extract" ] || { echo "skipped: the Andorra extract (shared/data) is not available"; exit 0; }

work="$(mktemp -d /tmp/karvel-parallel-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/one/data"
"$bin/karvel-osm2map" -q -o "$work/map.txt" "$extract"
"$bin/karvel-sim" -q --map "$work/map.txt" --out "$work/traces" --truth "$work/truth" \
    --traces "$drives" --seed 1 --duration 600
cp "$work/map.txt" "$work/one/data/map.txt"

now() { date +%s.%N; }
echo "load before: $(uptime)"
t0=$(now)
(cd "$work/one" && "$bin/$matcher" -t "$work/traces" >"$work/one.txt")
t1=$(now)
"$bin/karvel-parallel" --matcher "$matcher" --jobs "$jobs" "$work/traces" "$work/map.txt" "$work/out"
t2=$(now)
echo "load after:  $(uptime)"
awk -v a="$t0" -v b="$t1" -v c="$t2" -v n="$drives" -v j="$jobs" -v m="$matcher" 'BEGIN {
    printf "%d drives, %s: one process %.1f s, karvel-parallel --jobs %d %.1f s, speed-up %.2f\n",
           n, m, b - a, j, c - b, (b - a) / (c - b) }'
