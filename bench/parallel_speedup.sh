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

# Wall and processor seconds (user + system, children included) of one command.
measure() { # label, command...
    local label=$1
    shift
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f "%e %U %S" -o "$work/$label.time" "$@"
    else
        local t0
        t0=$(date +%s.%N)
        "$@"
        awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { print b - a, 0, 0 }' >"$work/$label.time"
    fi
}
echo "load before: $(uptime)"
measure one sh -c 'cd "$1/one" && "$2" -t "$1/traces" >"$1/one.txt"' - "$work" "$bin/$matcher"
measure parallel "$bin/karvel-parallel" --matcher "$matcher" --jobs "$jobs" "$work/traces" "$work/map.txt" "$work/out"
echo "load after:  $(uptime)"
read -r w1 u1 s1 <"$work/one.time"
read -r w2 u2 s2 <"$work/parallel.time"
awk -v w1="$w1" -v c1="$u1" -v s1="$s1" -v w2="$w2" -v c2="$u2" -v s2="$s2" \
    -v n="$drives" -v j="$jobs" -v m="$matcher" 'BEGIN {
    c1 += s1; c2 += s2
    printf "%d drives, %s: one process %.1f s wall (%.1f s CPU); karvel-parallel --jobs %d %.1f s wall (%.1f s CPU)\n",
           n, m, w1, c1, j, w2, c2
    printf "speed-up %.2f; sharding costs %.0f%% more processor time\n", w1 / w2, 100 * (c2 - c1) / c1 }'
