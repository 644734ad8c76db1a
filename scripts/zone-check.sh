#!/usr/bin/env bash
# Held-out check of a map across a UTM zone line: a 7 x 7 grid of two-way streets (blocks of about
# 110 m) centred on 12 deg E at 48.14 N, where zones 32 and 33 meet, driven by karvel-sim and matched
# by karvel-match and karvel; karvel-eval scores each run against the simulated truth. Made once and
# never tuned on. Prints one line per program and setting: matched %, on true link %, route mismatch.
#
# Settings (environment variables):
#   BUILD_DIR   build with karvel-sim and karvel-eval (default build)
#   BIN         folder of the matchers under test (default $BUILD_DIR/bin), e.g. an older build
#   SEEDS       karvel-sim seeds (default "901 902 903"); TRACES per seed (default 3), DURATION s (600)
#   LON         longitude of the grid's middle (default 12.0; e.g. 10.5 for the same grid inside zone 32)
#   WORK        scratch folder (default a new one in /tmp)
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$root/build}" && pwd)"
bin="$(cd "${BIN:-$build/bin}" && pwd)"
seeds="${SEEDS:-901 902 903}"
work="${WORK:-$(mktemp -d /tmp/karvel-zones-XXXXXX)}"
mkdir -p "$work"

python3 - "$work/map.txt" "${LON:-12.0}" <<'PY'
import sys
lat0, lon0, dlat, dlon, n = 48.14 - 3 * 0.001, float(sys.argv[2]) - 3 * 0.00148, 0.001, 0.00148, 7
nodes = [(lat0 + r * dlat, lon0 + c * dlon) for r in range(n) for c in range(n)]
links = []
for r in range(n):
    for c in range(n):
        a = r * n + c + 1
        if c < n - 1:
            links += [(a, a + 1), (a + 1, a)]
        if r < n - 1:
            links += [(a, a + n), (a + n, a)]
with open(sys.argv[1], "w") as f:
    f.write(f"{len(nodes)}\n")
    for i, (la, lo) in enumerate(nodes, 1):
        f.write(f"{i}  {lo:.9f}  {la:.9f} 0.000000000 0.000000000\n")
    f.write(f"{len(links)}\n")
    for o, d in links:
        f.write(f"{o}  {d} 0.000000000 0\n")
PY

for setting in 1/5 5/10 60/5; do
  IFS=/ read -r period sigma <<<"$setting"
  for program in karvel-match karvel; do
    : >"$work/scores.tsv"
    for seed in $seeds; do
      set="$work/s${seed}_p${period}_s${sigma}"
      if [ ! -d "$set/truth" ]; then
        "$build/bin/karvel-sim" --map "$work/map.txt" --out "$set/nmea" --truth "$set/truth" \
          --traces "${TRACES:-3}" --seed "$seed" --name "z$seed" --duration "${DURATION:-600}" \
          --period "$period" --sigma "$sigma" -q
      fi
      for log in "$set"/nmea/*.txt; do
        name="$(basename "$log" .txt)"
        dir="$set/$program/$name"
        rm -rf "$dir"
        mkdir -p "$dir/data/nmea"
        cp "$work/map.txt" "$dir/data/map.txt"
        cp "$log" "$dir/data/nmea/"
        (cd "$dir" && "$bin/$program" >report.txt) || true
        "$build/bin/karvel-eval" --report "$dir/report.txt" --map "$work/map.txt" \
          --truth "$set/truth/$name.truth" --tsv "$work/scores.tsv" -q >/dev/null
      done
    done
    awk -F'\t' -v label="$program ${period} s / ${sigma} m" '
      NF > 8 && $7 > 0 { n++; pts += $3; matched += $4; checked += $5; onTrue += $6; mean += ($8 + $9) / $7 }
      END { printf "%-26s %2d traces  matched %5.1f %%  on true link %5.1f %%  route mismatch mean %.4f\n",
            label, n, 100 * matched / pts, 100 * onTrue / checked, mean / n }' "$work/scores.tsv"
  done
done
