#!/usr/bin/env bash
# Installs what is missing, builds, and runs karvel on the bundled sample in a scratch directory
# (karvel rewrites data/map.txt, so the committed copy is never used in place).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
work="${1:-$(mktemp -d /tmp/karvel-sample-XXXXXX)}"
mkdir -p "$work"
cp -r "$root/sample/data" "$work/"
echo "Working directory: $work"
cd "$work"
"$root/build/bin/karvel" -M
echo "KML documents: $(ls "$work"/data/*.kml 2>/dev/null | tr '\n' ' ')"
