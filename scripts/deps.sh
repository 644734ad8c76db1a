#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when any is missing.
set -euo pipefail
packages=(build-essential cmake ninja-build g++ libgtest-dev googletest libbenchmark-dev
          libgeographiclib-dev libxml2-utils libxml2-dev nlohmann-json3-dev clang clang-format
          libosmium2-dev libprotozero-dev libexpat1-dev zlib1g-dev libbz2-dev python-osmnx-doc
          parallel rsync osmium-tool chromium libjs-leaflet libpng-dev
          libgdal-dev gdal-bin libsqlite3-dev sqlite3
          python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
