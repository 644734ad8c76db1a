#!/usr/bin/env bash
# Measures how often the matchers pick the right road, and how fast: karvel (the hybrid) and
# karvel-match (hidden Markov model) side by side, on the 100 tracks of the Kubicka et al. 2015
# benchmark and on simulated drives at several noise levels and sampling periods. Writes the results
# table to docs/ACCURACY.md. Not part of the test run: the full benchmark takes minutes.
#
# Settings (environment variables):
#   KUBICKA_DATA   folder of the benchmark (default ../shared/data/kubicka2015-mapmatching, or
#                  ../../shared/data/... from a worktree)
#   KUBICKA        how many Kubicka tracks to run, in id order (default 100; 0 skips them)
#   SIM_MAP        map for the simulated drives (default: the real street network of benchmark
#                  track 00000046, 299 nodes in France; sample/data/map.txt without the benchmark)
#   SIM_TRACES     drives per setting (default 10)
#   SIM_DURATION   seconds per drive (default 600)
#   SIM_SETTINGS   "period/sigma[/correlation[/outliers]] ..." in seconds, metres, seconds and the share
#                  of fixes thrown 50 to 100 m off
#                  (default "1/5 1/20 10/10 30/10 1/10 5/5 1/5/30 10/10/30")
#   SIM_SEEDS      "name:seed,seed,... ..." the sets of simulated drives, each pooled over its seeds
#                  (default "tuning:11,12,13,14,15 held-out:1,2,3,4,5,6"): karvel-match was tuned on
#                  the tuning seeds only; the held-out seeds are never used for tuning. One set of ten
#                  drives at 30 s varies by up to a factor of two from the next, hence several seeds.
#   MATCHERS       programs to compare (default "karvel karvel-match"); karvel-match runs on one thread
#   TIMEOUT        seconds allowed per karvel run (default 3600)
#   BUILD_DIR      build folder (default build); WORK scratch folder (default a new one in /tmp)
#   OUT            the summary (default docs/ACCURACY.md)
#   DETAILS        the per-trace tables (default accuracy-traces.md in the scratch folder)
set -euo pipefail
export LC_ALL=C
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
shared="$root/../shared/data"
[ -d "$shared" ] || shared="$root/../../shared/data"  # from a worktree under wt/
kdata="${KUBICKA_DATA:-$shared/kubicka2015-mapmatching}"
kcount="${KUBICKA:-100}"
sim_map="${SIM_MAP:-}"
sim_traces="${SIM_TRACES:-10}"
sim_duration="${SIM_DURATION:-600}"
sim_settings="${SIM_SETTINGS:-1/5 1/20 10/10 30/10 1/10 5/5 1/5/30 10/10/30 1/5/0/0.05 10/5/0/0.05}"
sim_seeds="${SIM_SEEDS:-tuning:11,12,13,14,15 held-out:1,2,3,4,5,6}"
matchers="${MATCHERS:-karvel karvel-match}"
limit="${TIMEOUT:-3600}"
out="${OUT:-$root/docs/ACCURACY.md}"
work="${WORK:-$(mktemp -d /tmp/karvel-accuracy-XXXXXX)}"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
details="${DETAILS:-$work/accuracy-traces.md}"

cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target karvel karvel-match karvel-sim karvel-eval -j "$(nproc)"
build="$(cd "$build" && pwd)"
sim="$build/bin/karvel-sim"
eval_="$build/bin/karvel-eval"

sim_map_name="$sim_map"
if [ -z "$sim_map" ] && [ -d "$kdata/sample/00000046" ]; then
  "$eval_" --prepare-kubicka "$kdata/sample/00000046" --out "$work/simmap" -q
  sim_map="$work/simmap/data/map.txt"
  sim_map_name="the road network of benchmark track 00000046 (France, 299 nodes, 649 links)"
elif [ -z "$sim_map" ]; then
  sim_map="$root/sample/data/map.txt"
  sim_map_name="sample/data/map.txt"
fi
sim_map="$(cd "$(dirname "$sim_map")" && pwd)/$(basename "$sim_map")"

results="$work/results.tsv"
: >"$results"
notes="$work/notes.txt"
: >"$notes"

# Runs matcher $2 once in folder $1 on its data/nmea and prints the seconds it spent matching, or -1
# when the run did not finish: karvel's from the line it prints once the map is loaded to its closing
# line (stdout line-buffered so the lines come when printed), karvel-match's from its summary line
# (it prints no such lines, so their filter must not fail the run). One run per fresh folder: karvel rewrites
# data/map.txt, and a map with refused lines (some benchmark networks have arcs from a node to
# itself) reads back with its later links renumbered.
run_matcher() {
  local dir="$1" program="$2" args=()
  [ "$program" = karvel-match ] && args=(--jobs 1)
  local status=0
  (cd "$dir" && timeout "$limit" stdbuf -oL "$build/bin/$program" "${args[@]}" 2>"$dir/stderr.txt" | tee "$dir/report.txt" |
    { grep --line-buffered -E '^(Ready to run|Finished running) Ostrand' || true; } |
    while IFS= read -r _; do echo "$EPOCHREALTIME"; done >"$dir/marks.txt") || status=$?
  if [ "$status" = 124 ]; then
    echo "- $(basename "$dir") ($program): ran over ${limit} s; what it printed was scored" >>"$notes"
  elif [ "$status" != 0 ]; then
    # Exit status 1 with a whole report: the map had lines the loader refused (see its ERROR line).
    echo "- $(basename "$dir") ($program): exit status $status; $(grep -m1 '^ERROR: ' "$dir/report.txt" || echo 'no ERROR line'); what it printed was scored" >>"$notes"
  fi
  if [ "$program" = karvel-match ]; then
    sed -n 's/^karvel-match: .*, \([0-9.]*\) s, [0-9]* fixes\/s$/\1/p' "$dir/stderr.txt" |
      awk '{ s = $1 } END { if (NR == 1) printf "%.3f", (s > 0.001 ? s : 0.001); else print -1 }'
    return
  fi
  awk 'NR == 1 { a = $1 } NR == 2 { b = $1 } END { if (NR == 2) printf "%.3f", (b - a > 0.001 ? b - a : 0.001); else print -1 }' \
    "$dir/marks.txt"
}

# Runs every matcher on a fresh copy of the prepared folder $1 and scores it; $2 is the set's label,
# the rest are karvel-eval's arguments.
run_all() {
  local prepared="$1" label="$2"
  shift 2
  for program in $matchers; do
    local dir="$prepared.$program"
    rm -rf "$dir"
    cp -r "$prepared" "$dir"
    score "$dir" "$(run_matcher "$dir" "$program")" "$@" --label "$program: $label"
  done
}

# Scores folder $1's report; the rest are karvel-eval's arguments.
score() {
  local dir="$1" secs="$2"
  shift 2
  local timing=()
  [ "$secs" != "-1" ] && timing=(--seconds "$secs")
  "$eval_" --report "$dir/report.txt" "$@" "${timing[@]}" --tsv "$results" -q | sed "s/^/$(basename "$dir"): /"
}

if [ "$kcount" -gt 0 ]; then
  echo "Kubicka tracks: unpacking into $work/kubicka"
  mkdir -p "$work/kubicka"
  tar -xJf "$kdata/kubicka2015_all_100_tracks.tar.xz" -C "$work/kubicka"
  n=0
  for track in $(ls -d "$work"/kubicka/Datasets/000000* | sort | head -n "$kcount"); do
    name="$(basename "$track")"
    dir="$work/k/$name"
    "$eval_" --prepare-kubicka "$track" --out "$dir" -q
    run_all "$dir" "Kubicka 2015" --kubicka "$track"
    n=$((n + 1))
  done
fi

for group in $sim_seeds; do
  IFS=: read -r group_name group_seeds <<<"$group"
  for setting in $sim_settings; do
    IFS=/ read -r period sigma correlation outliers <<<"$setting"
    correlation="${correlation:-0}"
    outliers="${outliers:-0}"
    label="simulated, ${period} s / ${sigma} m"
    [ "$correlation" != 0 ] && label="$label / ${correlation} s correlated"
    [ "$outliers" != 0 ] && label="$label / $(awk -v r="$outliers" 'BEGIN { print r * 100 }') % outliers"
    label="$label, $group_name (seeds ${group_seeds//,/ })"
    echo "$label"
    for seed in ${group_seeds//,/ }; do
      set_dir="$work/sim/seed${seed}_p${period}_s${sigma}_c${correlation}_o${outliers}"
      mkdir -p "$set_dir"
      cp "$sim_map" "$set_dir/map.txt"
      # The same seed gives the same drives in every setting; only the sampling and the noise differ.
      "$sim" --map "$set_dir/map.txt" --out "$set_dir/all" --truth "$set_dir/truth" --traces "$sim_traces" \
        --seed "$seed" --name "s$seed" --duration "$sim_duration" --period "$period" --sigma "$sigma" \
        --correlation "$correlation" --outliers "$outliers" -q
      for log in "$set_dir"/all/*.txt; do
        name="$(basename "$log" .txt)"
        dir="$set_dir/$name"
        mkdir -p "$dir/data/nmea"
        cp "$set_dir/map.txt" "$dir/data/map.txt"
        cp "$log" "$dir/data/nmea/"
        run_all "$dir" "$label" --map "$set_dir/map.txt" --truth "$set_dir/truth/$name.truth"
      done
    done
  done
done

# Before the report is opened: writing it would count as an uncommitted change.
commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
[ -n "$(git -C "$root" status --porcelain 2>/dev/null)" ] && commit="$commit with uncommitted changes"
mkdir -p "$(dirname "$out")"
{
  echo "# KARVEL accuracy: karvel (hybrid) and karvel-match (hidden Markov model)"
  echo
  echo "Generated by \`scripts/accuracy.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "(commit $commit, $(nproc) cores, $(uname -m))."
  echo
  echo "- Every set is run by each matcher (the label starts with the program); karvel-match on one thread."
  echo "- **matched**: trace points the matcher put on a link. **on true link**: of the matched points, those on"
  echo "  the link the vehicle really was on (simulated drives only; the benchmark has no per-point truth)."
  echo "- **route mismatch** (Newson and Krumm 2009): (length wrongly added + length of the true route"
  echo "  missed) / length of the true route. The matched route of karvel-match is the one it decided (the"
  echo "  \"Driven links\" line after each path); karvel prints only the links that carry a trace point, so"
  echo "  its paths are joined by the fewest links where two consecutive ones do not meet. Routes are"
  echo "  compared as multisets of links. 0 is perfect. A fix farther than the radius from its road is unmatched."
  echo "- **as link sets**: the same with both routes taken as sets of directed links (each wrongly added or"
  echo "  missed link counted once), the figure other matchers publish; mean and median over the traces."
  echo "- **fewest matched**: the lowest share of matched points of any one trace of the set."
  echo "- **points/s**: trace points per second of matching, map loading excluded: karvel's from the line"
  echo "  it prints once the map is loaded to its closing line, karvel-match's as its summary line gives it."
  echo "- Kubicka et al. 2015: 100 real tracks with hand-corrected routes, each on its own OpenStreetMap"
  echo "  network; link id = arc index + 1. Tracks converted to NMEA by \`karvel-eval --prepare-kubicka\`."
  echo "- Simulated: $sim_traces drives of ${sim_duration} s each on $sim_map_name"
  echo "  per seed (\`karvel-sim --seed N\`, traces named sN_...), the same drives in every setting, pooled"
  echo "  over the seeds of each set; karvel-match was tuned on the tuning seeds and never on the held-out"
  echo "  ones; period = seconds between fixes,"
  echo "  sigma = Gaussian noise per axis; \"correlated\": the noise drifts with that time constant"
  echo "  (\`--correlation\`) instead of being drawn afresh for every fix; \"outliers\": that share of the"
  echo "  fixes is thrown 50 to 100 m off (\`--outliers\`)."
  echo
  if [ -s "$notes" ]; then
    echo "Notes:"
    echo
    cat "$notes"
    echo
  fi
  echo "## Summary"
  echo
  "$eval_" --summarize "$results" >"$work/tables.md"
  sed '/^### /,$d' "$work/tables.md"
  echo "The per-trace tables of this run are not kept here; \`scripts/accuracy.sh\` writes them where"
  echo "\`DETAILS\` says."
} >"$out"
sed -n '/^### /,$p' "$work/tables.md" >"$details"
echo "Wrote $out and $details (scratch files in $work)"
