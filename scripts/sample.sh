#!/usr/bin/env bash
# Installs what is missing, builds, and runs karvel and karvel-match on the bundled sample in a scratch
# directory:
# a real street map (West Oakland, imported from the OpenStreetMap extract that Debian's
# python-osmnx-doc ships) and three simulated drives along its streets, then scores the result
# against the drives' ground truth, the two matchers side by side. karvel rewrites data/map.txt, so it
# always runs in a scratch copy.
# Usage: scripts/sample.sh [DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
bin="$(cd "${BUILD_DIR:-$root/build}" && pwd)/bin"
work="${1:-$(mktemp -d /tmp/karvel-sample-XXXXXX)}"
mkdir -p "$work/data/nmea"
echo "Working directory: $work"

"$root/scripts/make-sample-map.sh" "$work" 2>/dev/null
cp "$work/data/map.txt" "$work/map.original.txt"
"$bin/karvel-sim" --map "$work/data/map.txt" --out "$work/data/nmea" --truth "$work/truth" \
    --traces 3 --seed 1 --duration 300 >/dev/null

cd "$work"
"$bin/karvel" -M | tee report.txt
echo
echo "karvel KML documents: $(ls "$work"/data/match_ostrand_*.kml | tr '\n' ' ')"
echo
cp map.original.txt data/map.txt
"$bin/karvel-match" -M -q >report-hmm.txt
echo "karvel-match KML documents: $(ls "$work"/data/match_hmm_*.kml | tr '\n' ' ')"
mkdir -p html
"$bin/karvel-match" -q --format html -o html/drives.html >/dev/null
echo "karvel-match in a browser (works offline): $work/html/drives.html (a page per drive beside it)"
echo
echo "Accuracy against the simulated drives' ground truth:"
echo "  karvel (hybrid):"
"$bin/karvel-eval" --report report.txt --map map.original.txt --truth truth -q | sed 's/^/    /'
echo "  karvel-match (hidden Markov model):"
"$bin/karvel-eval" --report report-hmm.txt --map map.original.txt --truth truth -q | sed 's/^/    /'
