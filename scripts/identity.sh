#!/usr/bin/env bash
# Checks that a build prints the same report and writes the same map and KML documents as a reference
# build, byte for byte, with the genetic stage seeded alike (KARVEL_SEED). Run it before landing a
# change that must not change results (speed work); it is a developer tool, not part of the test run.
#
# Cases: the 100 Kubicka et al. 2015 tracks (karvel -M), the bundled samples (karvel -M and
# karvel-genetic -M: sample/data and the West Oakland street map with three drives), and long
# simulated drives (karvel -M). Every case runs in two fresh copies of its data folder, one per build;
# the report is compared without its timing line, then data/map.txt and every data/*.kml.
# Prints one line per case, the pooled CPU seconds of both builds, and exits 1 on any difference.
#
# Settings (environment variables):
#   REF_BIN       folder with the reference karvel and karvel-genetic (default: build REF_COMMIT)
#   REF_COMMIT    commit whose build is the reference (default below: the tree that introduced
#                 KARVEL_SEED, before any speed work); built once into $REF_DIR with ccache
#   REF_DIR       where the reference worktree and build live (default /tmp/karvel-identity-ref)
#   BUILD_DIR     the build under test (default build); its karvel-eval and karvel-sim prepare the data
#   SEED          KARVEL_SEED of both runs (default 12345)
#   KUBICKA       how many Kubicka tracks, in id order (default 100; 0 skips them)
#   KUBICKA_DATA  folder of the benchmark (default ../shared/data/kubicka2015-mapmatching)
#   SIM_TRACES    long simulated drives (default 3); SIM_DURATION seconds each (default 3600)
#   GENETIC       1 (default) also compares karvel-genetic on the bundled samples
#   WORK          scratch folder (default a new one in /tmp)
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(mkdir -p "${BUILD_DIR:-$root/build}" && cd "${BUILD_DIR:-$root/build}" && pwd)"
ref_commit="${REF_COMMIT:-$(git -C "$root" log -1 --format=%H --grep="^KARVEL_SEED fixes the genetic stage")}"
ref_dir="${REF_DIR:-/tmp/karvel-identity-ref}"
seed="${SEED:-12345}"
kcount="${KUBICKA:-100}"
shared="$root/../shared/data"
[ -d "$shared" ] || shared="$root/../../shared/data"  # from a worktree under wt/
kdata="${KUBICKA_DATA:-$shared/kubicka2015-mapmatching}"
sim_traces="${SIM_TRACES:-3}"
sim_duration="${SIM_DURATION:-3600}"
genetic="${GENETIC:-1}"
work="${WORK:-$(mktemp -d /tmp/karvel-identity-XXXXXX)}"
mkdir -p "$work"

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target karvel karvel-genetic karvel-sim karvel-eval karvel-osm2map >/dev/null
new_bin="$build/bin"

if [ -n "${REF_BIN:-}" ]; then
  ref_bin="$(cd "$REF_BIN" && pwd)"
else
  if [ ! -d "$ref_dir/src" ]; then
    git -C "$root" worktree add --detach "$ref_dir/src" "$ref_commit" >/dev/null
  fi
  cmake -S "$ref_dir/src" -B "$ref_dir/build" -G Ninja -DKARVEL_BUILD_TESTS=OFF -DKARVEL_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$ref_dir/build" --target karvel karvel-genetic >/dev/null
  ref_bin="$ref_dir/build/bin"
fi

differ=0
cases=0
cpu_ref=0
cpu_new=0

# Runs program $2 of folder $1 in data folder copy $3 and prints its CPU seconds (user + system).
run_one() {
  local bin="$1" program="$2" dir="$3" args="$4"
  (cd "$dir" && KARVEL_SEED="$seed" /usr/bin/time -f "%U %S" -o "$dir/cpu.txt" "$bin/$program" $args \
    >"$dir/report.txt" 2>"$dir/stderr.txt") || true
  grep -v '^Overall processing time: ' "$dir/report.txt" >"$dir/report.cmp"
  # time puts "Command exited with non-zero status N" before the figures when the run fails.
  awk '/^[0-9.]+ [0-9.]+$/ { printf "%.2f", $1 + $2 }' "$dir/cpu.txt"
}

# Compares program $2 on data folder $1 (holding map.txt and nmea/) between the two builds.
compare() {
  local data="$1" program="$2" label="$3" args="${4:--M}"
  local a="$work/cases/$label/ref" b="$work/cases/$label/new"
  mkdir -p "$a" "$b"
  cp -r "$data" "$a/data"
  cp -r "$data" "$b/data"
  local ta tb
  ta="$(run_one "$ref_bin" "$program" "$a" "$args")"
  tb="$(run_one "$new_bin" "$program" "$b" "$args")"
  cpu_ref="$(echo "$cpu_ref + $ta" | bc)"
  cpu_new="$(echo "$cpu_new + $tb" | bc)"
  cases=$((cases + 1))
  local bad=()
  cmp -s "$a/report.cmp" "$b/report.cmp" || bad+=(report)
  cmp -s "$a/data/map.txt" "$b/data/map.txt" || bad+=(map.txt)
  local f
  for f in $( (cd "$a/data" && ls *.kml 2>/dev/null; cd "$b/data" && ls *.kml 2>/dev/null) | sort -u); do
    cmp -s "$a/data/$f" "$b/data/$f" || bad+=("$f")
  done
  if [ ${#bad[@]} -eq 0 ]; then
    echo "same     $label ($program, cpu ${ta} s -> ${tb} s)"
    rm -rf "$work/cases/$label"
  else
    echo "DIFFERS  $label ($program): ${bad[*]} (kept in $work/cases/$label)"
    differ=$((differ + 1))
  fi
}

echo "reference: $ref_bin   under test: $new_bin   KARVEL_SEED=$seed   scratch: $work"

compare "$root/sample/data" karvel sample-porto
[ "$genetic" = 1 ] && compare "$root/sample/data" karvel-genetic sample-porto-genetic

oakland="$work/oakland"
if BUILD_DIR="$build" "$root/scripts/make-sample-map.sh" "$oakland" >/dev/null 2>&1; then
  mkdir -p "$oakland/data/nmea"
  "$new_bin/karvel-sim" --map "$oakland/data/map.txt" --out "$oakland/data/nmea" --truth "$oakland/truth" \
    --traces 3 --seed 1 --duration 300 -q
  compare "$oakland/data" karvel sample-oakland
  [ "$genetic" = 1 ] && compare "$oakland/data" karvel-genetic sample-oakland-genetic
else
  echo "skipped  West Oakland sample (the OpenStreetMap extract is not installed)"
fi
if [ "$sim_traces" -gt 0 ]; then
  long="$work/long"
  mkdir -p "$long/data/nmea"
  # A grid of two-way streets (40 x 40 junctions about 110 m apart, with a diagonal avenue for
  # odd junctions) has no dead end, so the drives last their whole duration.
  awk 'BEGIN {
    n = 40; lat0 = 41.15; lon0 = -8.61; dlat = 0.001; dlon = 0.0013
    print n * n
    for (r = 0; r < n; r++) for (c = 0; c < n; c++)
      printf "%d  %.9f  %.9f 0.000000000 0.000000000\n", r * n + c + 1, lon0 + c * dlon, lat0 + r * dlat
    k = 0
    for (r = 0; r < n; r++) for (c = 0; c < n; c++) {
      a = r * n + c + 1
      if (c < n - 1) { o[++k] = a; d[k] = a + 1; o[++k] = a + 1; d[k] = a }
      if (r < n - 1) { o[++k] = a; d[k] = a + n; o[++k] = a + n; d[k] = a }
      if (r < n - 1 && c < n - 1 && r == c) { o[++k] = a; d[k] = a + n + 1; o[++k] = a + n + 1; d[k] = a }
    }
    print k
    for (i = 1; i <= k; i++) printf "%d  %d 0.000000000 0\n", o[i], d[i]
  }' >"$long/data/map.txt"
  if [ -f "$long/data/map.txt" ]; then
    "$new_bin/karvel-sim" --map "$long/data/map.txt" --out "$long/data/nmea" --truth "$long/truth" \
      --traces "$sim_traces" --seed 7 --duration "$sim_duration" -q
    compare "$long/data" karvel "long-drives-${sim_traces}x${sim_duration}s"
  fi
fi

if [ "$kcount" -gt 0 ] && [ -f "$kdata/kubicka2015_all_100_tracks.tar.xz" ]; then
  mkdir -p "$work/kubicka"
  tar -xJf "$kdata/kubicka2015_all_100_tracks.tar.xz" -C "$work/kubicka"
  for track in $(ls -d "$work"/kubicka/Datasets/000000* | sort | head -n "$kcount"); do
    name="$(basename "$track")"
    "$new_bin/karvel-eval" --prepare-kubicka "$track" --out "$work/k/$name" -q
    compare "$work/k/$name/data" karvel "kubicka-$name"
  done
elif [ "$kcount" -gt 0 ]; then
  echo "skipped  Kubicka tracks ($kdata not found)"
fi

echo
echo "cases: $cases, differing: $differ; pooled CPU seconds: reference $cpu_ref, under test $cpu_new"
[ "$differ" -eq 0 ]
