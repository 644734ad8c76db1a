#!/usr/bin/env bash
# Speed of karvel-match against the hybrid karvel on the same long drives, whole process (map loading
# included), and how karvel-match scales: cost per fix at 10 000 and 100 000 fixes, and --jobs 2
# against one thread. Drives are simulated (1 s, 5 m) on the bundled West Oakland street map.
# Not part of the test run. Usage: scripts/match-speed.sh [WORKDIR]
# Settings: HYBRID=0 skips karvel (it takes minutes on the long drive); BUILD_DIR as for build.sh.
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${BUILD_DIR:-$root/build}" && pwd)"
cmake --build "$build" --target karvel karvel-match karvel-sim -j "$(nproc)" >/dev/null
bin="$build/bin"
work="${1:-$(mktemp -d /tmp/karvel-speed-XXXXXX)}"
mkdir -p "$work"

# Folder $1 with the sample map and $3 drives of $2 seconds each.
make_folder() {
  mkdir -p "$1/data/nmea"
  cp "$root/sample/data/map.txt" "$1/data/map.txt"
  "$bin/karvel-sim" --map "$1/data/map.txt" --out "$1/data/nmea" --truth "$1/truth" --traces "$3" --seed 3 \
    --duration "$2" --period 1 --sigma 5 -q
}

# Wall seconds and peak memory of one run of "$@" in folder $1.
timed() {
  local dir="$1"
  shift
  (cd "$dir" && /usr/bin/time -f "%e %M" "$@" >/dev/null 2>"$dir/time.txt" || true)
  tail -n 1 "$dir/time.txt"
}

fixes_in() { cat "$1"/data/nmea/*.txt | grep -c '^\$GPRMC'; }

report() {  # label fixes "seconds kb"
  read -r secs kb <<<"$3"
  awk -v l="$1" -v f="$2" -v s="$secs" -v k="$kb" \
    'BEGIN { printf "%-34s %8d fixes %8.2f s %12.0f fixes/s %9.1f us/fix %8.1f MB\n", l, f, s, f / (s > 0 ? s : 0.01), 1e6 * s / f, k / 1024 }'
}

for n in 10000 100000; do
  dir="$work/long$n"
  [ -d "$dir" ] || make_folder "$dir" "$n" 1
  f="$(fixes_in "$dir")"
  report "karvel-match --jobs 1, $n s" "$f" "$(timed "$dir" "$bin/karvel-match" --jobs 1 -q)"
  if [ "${HYBRID:-1}" != 0 ]; then
    cp "$root/sample/data/map.txt" "$dir/data/map.txt"
    report "karvel (hybrid), $n s" "$f" "$(timed "$dir" "$bin/karvel")"
  fi
done

dir="$work/many"
[ -d "$dir" ] || make_folder "$dir" 3000 16
f="$(fixes_in "$dir")"
report "karvel-match --jobs 1, 16 drives" "$f" "$(timed "$dir" "$bin/karvel-match" --jobs 1 -q)"
report "karvel-match --jobs 2, 16 drives" "$f" "$(timed "$dir" "$bin/karvel-match" --jobs 2 -q)"
