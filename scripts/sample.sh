#!/usr/bin/env bash
# A first run: builds the programs only (Ninja, every core; no tests, no benchmarks), then, in a
# scratch folder, imports a real street map (West Oakland, from the OpenStreetMap extract that
# Debian's python-osmnx-doc ships), simulates three drives on it, matches them with karvel-match and
# then with the hybrid karvel, and compares the two against the drives' ground truth.
# Usage: scripts/sample.sh [DIR]     (BUILD_DIR: the build folder, default build/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_TARGETS=programs "$root/scripts/build.sh"
bin="$(cd "${BUILD_DIR:-$root/build}" && pwd)/bin"
work="${1:-$(mktemp -d /tmp/karvel-sample-XXXXXX)}"
mkdir -p "$work/data/nmea"
work="$(cd "$work" && pwd)"
cd "$work"

"$root/scripts/make-sample-map.sh" "$work" 2>/dev/null >/dev/null
cp data/map.txt map.txt # karvel rewrites data/map.txt; the drives and the scores use this copy
"$bin/karvel-sim" --map map.txt --out data/nmea --truth truth --traces 3 --seed 1 --duration 300 -q
echo "Sample: West Oakland ($(sed -n 1p map.txt) map nodes), 3 simulated drives of 5 minutes, in $work"
echo

# Seconds since $1 (from EPOCHREALTIME), to 2 decimals.
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'; }

echo "karvel-match, the everyday matcher:"
started=$EPOCHREALTIME
"$bin/karvel-match" -M -o report-hmm.txt 2>&1 | sed 's/^/  /'
hmm_seconds=$(since "$started")
"$bin/karvel-match" -q --format geojson -o sample.geojson
echo "  report-hmm.txt, sample.geojson (open it in QGIS or on geojson.io), data/match_hmm_*.kml"
echo

echo "karvel, the hybrid matcher as designed:"
started=$EPOCHREALTIME
KARVEL_SEED=1 "$bin/karvel" -M >report.txt
hybrid_seconds=$(since "$started")
echo "  $(grep -c $'^\tRoute #' report.txt) traces in ${hybrid_seconds} s; report.txt, data/match_ostrand_*.kml"
echo

# A page per drive and an index, to look at in a browser (offline).
mkdir -p html
"$bin/karvel-match" -q --map map.txt --format html -o html/index.html
echo "HTML view of the sample: $work/html/index.html"
echo

# matched, on true link, route mismatch mean: the figures of karvel-eval's overall line.
scores() {
  "$bin/karvel-eval" --report "$1" --map map.txt --truth truth -q |
    sed -n 's/.*matched \([0-9.]*\) %; on true link \([0-9.]*\) %.*route mismatch mean \([0-9.]*\).*/\1 \2 \3/p'
}
read -r hmm_matched hmm_true hmm_mismatch < <(scores report-hmm.txt)
read -r hyb_matched hyb_true hyb_mismatch < <(scores report.txt)
echo "Against the drives' ground truth:"
printf '  %-14s %9s %14s %16s %9s\n' matcher matched "on true link" "route mismatch" seconds
printf '  %-14s %7s %% %12s %% %16s %9s\n' karvel-match "$hmm_matched" "$hmm_true" "$hmm_mismatch" "$hmm_seconds"
printf '  %-14s %7s %% %12s %% %16s %9s\n' karvel "$hyb_matched" "$hyb_true" "$hyb_mismatch" "$hybrid_seconds"
cat <<'TEXT'
  (route mismatch: wrongly added plus missed length over the true length; 0 is perfect)

Why two matchers: karvel-match weighs every way the drive could have gone (a hidden Markov model)
and is the one to use for your own logs: it reads GPX and NMEA, uses every core, and scores better,
above all on noisy or sparse logs. karvel is a published hybrid design (multiple hypotheses forwards
and backwards, a genetic algorithm where they disagree), kept exactly as designed so that its results
can be reproduced. docs/ACCURACY.md compares the two on 100 real tracks and many simulated drives.
TEXT
