#!/usr/bin/env bash
# Country-scale figures of karvel-match on the compact map (not part of the test run; minutes, and the
# big map needs about 14 GB while its compact form is first built). For each map: the first run,
# which reads map.txt and leaves map.txt.compact beside it, then two runs that map the compact file;
# per run the wall and CPU seconds, the peak resident memory (also per map node), and the start
# (wall time before the batch: launch to the first fix matched, as karvel-match's summary times the
# batch itself). The drive is a 20-minute karvel-sim drive (1 fix/s, sigma 5 m) on a small map of the
# same corner, which lies on the big map's streets.
#
# The import figure ("import" among MAPS): karvel-osm2map on Andorra tiled COPIES times (bench_osm
# writes the tiled extract to the temp folder once), its CPU seconds and peak memory per OSM node.
#
# Usage: scripts/country-bench.sh [WORKDIR]     (default: a new /tmp/karvel-country-XXXXXX)
# Settings: MAPS="grid1m andorra country import" (any subset; default all but import); COUNTRY_SIDE
# (default 6760: a 6760 x 6760 lattice with streets every 4th row and column, 20 million nodes, 340 km
# across three UTM zones); COPIES (default 64: 4.5 million OSM nodes; 288 gives 20 million).
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$root/build}" && pwd)"
cmake --build "$build" --target karvel-match karvel-sim karvel-osm2map country_map bench_osm -j 2 >/dev/null
bin="$build/bin"
work="${1:-$(mktemp -d /tmp/karvel-country-XXXXXX)}"
maps="${MAPS:-grid1m andorra country}"
side="${COUNTRY_SIDE:-6760}"
andorra="$root/../shared/data/graphhopper-osm-extracts/andorra.osm.pbf"
[ -f "$andorra" ] || andorra="$root/../../shared/data/graphhopper-osm-extracts/andorra.osm.pbf"

# Folder $1: map.txt from "$2..." (country_map arguments after the file) and a drive on its corner.
prepare_grid() {
  local dir="$1" spacing="$4"
  mkdir -p "$dir/data/nmea" "$dir/corner"
  [ -f "$dir/data/map.txt" ] || "$build/bench/country_map" "$dir/data/map.txt" "$2" "$3" "$spacing"
  "$build/bench/country_map" "$dir/corner/map.txt" 120 120 "$spacing"
  "$bin/karvel-sim" --map "$dir/corner/map.txt" --out "$dir/data/nmea" --truth "$dir/corner/truth" --traces 1 \
    --seed 3 --duration 1200 --period 1 --sigma 5 -q
}

prepare_andorra() {
  local dir="$1"
  mkdir -p "$dir/data/nmea"
  "$bin/karvel-osm2map" -q -d "$dir" "$andorra"
  "$bin/karvel-sim" --map "$dir/data/map.txt" --out "$dir/data/nmea" --truth "$dir/truth" --traces 4 \
    --seed 3 --duration 1200 --period 1 --sigma 5 -q
}

# One run of karvel-match in folder $1, labelled $2.
measure() {
  local dir="$1" label="$2" nodes
  nodes="$(head -n 1 "$dir/data/map.txt")"
  (cd "$dir" && /usr/bin/time -f "%e %U %S %M" "$bin/karvel-match" --jobs 1 >/dev/null 2>"$dir/run.txt") || true
  local summary times
  summary="$(grep '^karvel-match:' "$dir/run.txt")"
  times="$(tail -n 1 "$dir/run.txt")"
  read -r wall user sys kb <<<"$times"
  batch="$(sed -E 's/.* ([0-9.]+) s, .*/\1/' <<<"$summary")"
  fixes="$(sed -E 's/.* ([0-9]+) fixes\/s.*/\1/' <<<"$summary")"
  awk -v l="$label" -v w="$wall" -v u="$user" -v s="$sys" -v k="$kb" -v n="$nodes" -v b="$batch" -v f="$fixes" \
    'BEGIN { printf "%-22s %9d nodes  start %6.2f s  wall %7.2f s  cpu %7.2f s  peak %8.1f MiB  %6.1f B/node  %8d fixes/s\n",
             l, n, w - b, w, u + s, k / 1024, k * 1024 / n, f }'
}

# The import of the tiled extract: CPU, peak memory and the rate per OSM node.
measure_import() {
  local copies="${COPIES:-64}" extract
  extract="${TMPDIR:-/tmp}/karvel-bench-andorra-x$copies-v1.osm.pbf"
  [ -f "$extract" ] || KARVEL_OSM_BENCH_COPIES="$copies" "$build/bench/bench_osm" \
    --benchmark_filter=BM_LibosmiumRead >/dev/null
  rm -rf "$work/import"
  /usr/bin/time -f "%e %U %S %M" "$bin/karvel-osm2map" -d "$work/import" "$extract" 2>"$work/import.txt"
  local nodes wall user sys kb
  nodes="$(sed -nE 's/.*OSM nodes read: ([0-9]+).*/\1/p' "$work/import.txt")"
  read -r wall user sys kb <<<"$(tail -n 1 "$work/import.txt")"
  awk -v n="$nodes" -v w="$wall" -v u="$user" -v s="$sys" -v k="$kb" \
    'BEGIN { printf "import x%s %10d OSM nodes  wall %7.2f s  cpu %6.2f s  %5.2f M nodes/cpu s  peak %7.1f MiB  %5.1f B/OSM node\n",
             ENVIRON["COPIES"] ? ENVIRON["COPIES"] : 64, n, w, u + s, n / (u + s) / 1e6, k / 1024, k * 1024 / n }'
}

for m in $maps; do
  dir="$work/$m"
  [ "$m" = import ] && { measure_import; continue; }
  case "$m" in
    grid1m) [ -d "$dir/data/nmea" ] || prepare_grid "$dir" 1000 1000 1 ;;
    andorra) [ -d "$dir/data/nmea" ] || prepare_andorra "$dir" ;;
    country) [ -d "$dir/data/nmea" ] || prepare_grid "$dir" "$side" "$side" 4 ;;
    *) echo "ERROR: unknown map $m" >&2; exit 2 ;;
  esac
  [ "$m" = andorra ] || rm -f "$dir/data/map.txt.compact"
  measure "$dir" "$m, first run"
  ls -l "$dir/data/map.txt" "$dir/data/map.txt.compact" | awk '{ printf "  %s: %.1f MB\n", $NF, $5 / 1e6 }'
  measure "$dir" "$m, compact"
  measure "$dir" "$m, compact again"
done
