#!/usr/bin/env bash
# Builds the sample street map: imports a real OpenStreetMap extract into DIR/data/map.txt with
# karvel-osm2map. The default extract is West Oakland (California), shipped by Debian's
# python-osmnx-doc package (scripts/deps.sh installs it); the data is © OpenStreetMap contributors,
# available under the Open Database Licence (ODbL).
#
# Usage: scripts/make-sample-map.sh DIR [EXTRACT [karvel-osm2map options...]]
#   e.g. scripts/make-sample-map.sh /tmp/sample
#        scripts/make-sample-map.sh /tmp/sample city.osm.pbf --bbox 8.38,49.00,8.42,49.02
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
default_extract=/usr/share/doc/python-osmnx-doc/examples/tests/input_data/West-Oakland.osm.bz2

if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  sed -n '2,10s/^# \{0,1\}//p' "$0"
  exit $([ $# -lt 1 ] && echo 1 || echo 0)
fi
dir="$1"
shift
extract="${1:-$default_extract}"
[ $# -gt 0 ] && shift

if [ ! -r "$extract" ]; then
  echo "ERROR: cannot read $extract" >&2
  [ "$extract" = "$default_extract" ] && echo "  (it comes with the Debian package python-osmnx-doc: apt-get install python-osmnx-doc)" >&2
  exit 1
fi

build="${BUILD_DIR:-$root/build}"
tool="$build/bin/karvel-osm2map"
if [ ! -x "$tool" ]; then
  if [ -f "$build/build.ninja" ]; then
    cmake --build "$build" --target karvel-osm2map >/dev/null
  else
    "$root/scripts/build.sh"
  fi
fi

mkdir -p "$dir"
"$tool" -d "$dir" "$@" "$extract"
