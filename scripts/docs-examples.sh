#!/usr/bin/env bash
# Runs the shell examples of README.md and docs/*.md, so that the manual cannot drift from the programs.
#
# An example is a fenced block opened with ```sh. One preceded by a line "<!-- not run: REASON -->"
# is left out (it installs, needs the reader's own files or hosts, or runs for minutes); one preceded
# by "<!-- needs: PATH -->" is left out when PATH, relative to the repository, is absent (the real
# data beside a clone). python3 is the interpreter the Python module was built for, and finds the
# installed module. The programs
# are installed with `cmake --install` into a scratch prefix whose bin/ comes first on PATH, and
# every page runs in a scratch folder of its own holding:
#   region.osm.pbf   West Oakland, from the extract of Debian's python-osmnx-doc
#   drives/          three simulated drives on it (NMEA, sim_000.txt ...) with their truth in truth/
# Its blocks run one after the other, each in a subshell that starts in that folder, with
# KARVEL_SOURCE set to the repository.
#
# Usage: scripts/docs-examples.sh [BUILD_DIR [PAGE...]]   (default build/, every page)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
shift || true
pages=("$@")
if [ ${#pages[@]} -eq 0 ]; then
  pages=("$root/README.md")
  for page in "$root"/docs/*.md; do pages+=("$page"); done
fi
extract=/usr/share/doc/python-osmnx-doc/examples/tests/input_data/West-Oakland.osm.bz2
for need in "$extract" osmium; do
  if [ ! -e "$need" ] && ! command -v "$need" >/dev/null; then
    echo "SKIP: needs $need (scripts/deps.sh installs it)"
    exit 77
  fi
done

scratch="$(mktemp -d /tmp/karvel-docs-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
export PATH="$scratch/prefix/bin:$PATH" KARVEL_SOURCE="$root" BUILD_DIR="$build"
python="$(sed -n 's/^KARVEL_PYTHON3:FILEPATH=//p' "$build/CMakeCache.txt")"
if [ -n "$python" ]; then
  ln -s "$python" "$scratch/prefix/bin/python3"
  for site in "$scratch"/prefix/lib/python3*/dist-packages; do export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"; done
fi

fixtures="$scratch/fixtures"
mkdir -p "$fixtures/drives"
osmium cat --no-progress "$extract" -o "$fixtures/region.osm.pbf"
karvel-osm2map -q -o "$scratch/region.txt" "$fixtures/region.osm.pbf"
karvel-sim --map "$scratch/region.txt" --out "$fixtures/drives" --truth "$fixtures/truth" \
  --traces 3 --seed 1 --duration 120 >/dev/null

# python3 cannot load a module built with the sanitizers (the interpreter is not built with them), so
# a sanitized build leaves the Python examples out; the plain build runs them.
sanitized=0
if grep -q '^KARVEL_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt"; then sanitized=1; fi

# Prints each example of page $1 as "LINE<TAB>base64 of its text", one per line.
examples() {
  awk -v root="$root" -v sanitized="$sanitized" '
    /^<!-- not run:/ { skip = 1; next }
    /^<!-- needs: / {
      need = $3
      if (system("test -e \"" root "/" need "\"") != 0) { skip = 1; print "SKIP: " FILENAME " needs " need > "/dev/stderr" }
      next
    }
    !inside && /^```sh[[:space:]]*$/ { inside = 1; start = NR + 1; text = ""; next }
    inside && /^```[[:space:]]*$/ {
      if (!skip && sanitized && text ~ /python3/) { skip = 1; print "SKIP: " FILENAME ":" start " runs Python (sanitized build)" > "/dev/stderr" }
      if (!skip) { printf "%d\t", start; printf "%s", text | "base64 -w0"; close("base64 -w0"); print "" }
      inside = 0; skip = 0; next
    }
    inside { text = text $0 "\n"; next }
    NF { skip = 0 }
  ' "$1"
}

failed=0
count=0
for page in "${pages[@]}"; do
  name="${page#"$root"/}"
  folder="$scratch/run/${name//\//_}"
  mkdir -p "$folder"
  cp -r "$fixtures/." "$folder/"
  while IFS=$'\t' read -r line code; do
    count=$((count + 1))
    text="$(printf '%s' "$code" | base64 -d)"
    if ! output="$(cd "$folder" && timeout 300 bash -euo pipefail -c "$text" 2>&1 </dev/null)"; then
      echo "FAILED: $name:$line"
      printf '%s\n' "$text" | sed 's/^/    $ /'
      printf '%s\n' "$output" | tail -n 20 | sed 's/^/    | /'
      failed=$((failed + 1))
    fi
  done < <(examples "$page")
done
echo "$count examples run, $failed failed"
[ "$failed" -eq 0 ]
