#!/usr/bin/env bash
# What writing each result format costs karvel-match: the same simulated drive (1 s, 5 m, on the
# bundled West Oakland street map) matched with --format report, csv, geojson and gpkg into a file,
# whole process, best of RUNS runs by CPU time (user+sys; other work on the machine inflates the
# wall time). Prints CPU and wall seconds per format and what each adds to the report's CPU time.
# Not part of the test run. Usage: scripts/format-speed.sh [WORKDIR]
# Settings: FIXES (default 100000), RUNS (default 3), FORMATS (default "report csv geojson gpkg"),
# BUILD_DIR as for build.sh; BIN_DIR times the karvel-match (and karvel-gpkg.so) of another build,
# e.g. an older one, on the same drive.
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$root/build}" && pwd)"
cmake --build "$build" --target karvel-match karvel-sim karvel_gpkg -j 2 >/dev/null
bin="$build/bin"
match="${BIN_DIR:-$bin}/karvel-match"
fixes="${FIXES:-100000}"
runs="${RUNS:-3}"
work="${1:-$(mktemp -d /tmp/karvel-formats-XXXXXX)}"
dir="$work/long$fixes"
if [ ! -d "$dir/data/nmea" ]; then
  mkdir -p "$dir/data/nmea"
  cp "$root/sample/data/map.txt" "$dir/data/map.txt"
  "$bin/karvel-sim" --map "$dir/data/map.txt" --out "$dir/data/nmea" --truth "$dir/truth" --traces 1 \
    --seed 3 --duration "$fixes" --period 1 --sigma 5 -q
fi

# "cpu wall" seconds of the best of $runs runs of karvel-match writing format $1.
best_of() {
  local format="$1" best="" line
  for _ in $(seq "$runs"); do
    (cd "$dir" && /usr/bin/time -f "%U %S %e" "$match" --jobs 1 -q --format "$format" \
      -o "$work/out.$format" >/dev/null 2>"$work/time.txt" || true)
    line="$(tail -n 1 "$work/time.txt" | awk '{ printf "%.2f %.2f", $1 + $2, $3 }')"
    if [ -z "$best" ] || awk -v a="$line" -v b="$best" 'BEGIN { split(a, x, " "); split(b, y, " "); exit !(x[1] < y[1]) }'; then
      best="$line"
    fi
  done
  echo "$best"
}

base=""
for format in ${FORMATS:-report csv geojson gpkg}; do
  read -r cpu wall <<<"$(best_of "$format")"
  [ -n "$base" ] || base="$cpu"
  awk -v f="$format" -v n="$fixes" -v c="$cpu" -v w="$wall" -v b="$base" -v s="$(stat -c %s "$work/out.$format")" \
    'BEGIN { printf "%-8s %7d fixes %7.2f s cpu %7.2f s wall %+7.0f %% over the report %8.1f MB\n", f, n, c, w, (b > 0 ? 100 * (c - b) / b : 0), s / 1e6 }'
done
