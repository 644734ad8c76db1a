#!/usr/bin/env bash
# End-to-end tests of karvel-parallel on a small map: local runs with 1, 2 and 4 jobs against one run
# of the matcher over the folder, a run over stand-in SSH hosts (real transfer, return and cleanup),
# a retried job, a trace that fails everywhere, and a resumed batch.
# Usage: karvel_parallel_test.sh BIN_DIR SOURCE_DIR   (exit 77: skipped)
set -uo pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
for tool in parallel rsync perl tar flock; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

unset PARALLEL # options for GNU parallel from the caller's environment would change the runs
unset SHELL # as under a service manager: batches must not depend on it
work=$(mktemp -d /tmp/karvel-parallel-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# The world: the sample street map and simulated drives whose names sort differently in byte order
# than in most listings (upper case first, a space, an inner dot), plus files that are no traces.
map="$src/sample/data/map.txt"
traces="$work/traces"
mkdir -p "$traces"
"$bin/karvel-sim" --map "$map" --out "$work/sim" --truth "$work/truth" --traces 7 --duration 40 --seed 5 -q
names=(b_drive Zulu "with space" x.y a_drive m-drive c_drive)
for i in "${!names[@]}"; do mv "$work/sim/sim_00$i.txt" "$traces/${names[i]}.txt"; done
cp "$src/sample/data/nmea/porto_loop.txt" "$traces/"
touch "$traces/notes.csv" "$traces/SHOUT.TXT"

# What stays the same from run to run of a randomised matcher: every line but the matched links,
# the unmatched stretches and the timing.
skeleton() { grep -vE '^(Score: |Start node: |Overall processing time: )' "$1"; }
# Headers one run over the folder gives when its listing is in byte order of the names.
expected_headers() {
    local i=0 f
    while IFS= read -r f; do
        printf '\tRoute #%d: %s\n' "$i" "${f%.txt}"
        i=$((i + 1))
    done < <(cd "$traces" && ls -1 | grep -E '\.txt$' | LC_ALL=C sort)
}
headers() { grep -E $'^\tRoute #' "$1"; }
one_run() { # matcher, report
    rm -rf "$work/one" && mkdir -p "$work/one/data" && cp "$map" "$work/one/data/map.txt"
    (cd "$work/one" && "$bin/$1" -t "$traces" >"$2")
}
# The same lines in any order, route numbers aside (one run numbers in its listing order).
same_lines() {
    diff <(sed $'s/^\tRoute #[0-9]*: /\tRoute: /' "$1" | LC_ALL=C sort) \
        <(sed $'s/^\tRoute #[0-9]*: /\tRoute: /' "$2" | LC_ALL=C sort) >/dev/null
}

# ---- Local runs against one run of the matcher. ----
for matcher in karvel karvel-genetic; do
    one_run "$matcher" "$work/one-$matcher.txt"
    skeleton "$work/one-$matcher.txt" >"$work/one-$matcher.skel"
    for jobs in 1 2 4; do
        out="$work/$matcher-$jobs"
        "$bin/karvel-parallel" --matcher "$matcher" --jobs "$jobs" --shard-size 3 "$traces" "$map" "$out" \
            2>"$work/err"
        check "$matcher --jobs $jobs exits 0 and is silent" test $? -eq 0 -a ! -s "$work/err"
        check "$matcher --jobs $jobs numbers the traces in name order" \
            diff <(expected_headers) <(headers "$out/report.txt")
        check "$matcher --jobs $jobs reports the same lines as one run" \
            same_lines <(skeleton "$out/report.txt") "$work/one-$matcher.skel"
        check "$matcher --jobs $jobs ends with one timing line" \
            test "$(tail -n 4 "$out/report.txt" | grep -c '^Overall processing time: [0-9.]* sec.  (~= ')" -eq 1
    done
    check "$matcher: 1, 2 and 4 jobs give the same report" \
        eval "diff <(skeleton $work/$matcher-1/report.txt) <(skeleton $work/$matcher-2/report.txt) &&
              diff <(skeleton $work/$matcher-1/report.txt) <(skeleton $work/$matcher-4/report.txt)"
done
check "the merged report keeps one run's preamble" \
    diff <(sed -n '1,/^Ready to run Ostrand\.$/p' "$work/one-karvel.txt") \
    <(sed -n '1,/^Ready to run Ostrand\.$/p' "$work/karvel-2/report.txt")

# karvel-match never changes the map and is deterministic: its report must match byte for byte.
if [ -x "$bin/karvel-match" ]; then
    one_run karvel-match "$work/one-match.txt"
    "$bin/karvel-parallel" --matcher karvel-match --jobs 2 --shard-size 2 "$traces" "$map" "$work/match-2"
    if diff <(headers "$work/one-match.txt") <(expected_headers) >/dev/null; then
        check "karvel-match --jobs 2 is byte for byte one run's report" \
            diff <(grep -v '^Overall processing time' "$work/one-match.txt") \
            <(grep -v '^Overall processing time' "$work/match-2/report.txt")
    else
        check "karvel-match --jobs 2 reports the same lines as one run" \
            same_lines <(skeleton "$work/match-2/report.txt") <(skeleton "$work/one-match.txt")
    fi
else
    echo "skip: karvel-match is not built"
fi

# A map that stops loading part-way: every shard says so, the merged report once, where one run does.
head -n 30 "$map" >"$work/cut-map.txt" && echo "not a link" >>"$work/cut-map.txt"
"$bin/karvel-parallel" --jobs 2 --shard-size 1 "$traces" "$work/cut-map.txt" "$work/cut" 2>/dev/null
cut_status=$?
check "a map read only in part: every trace is still matched, and the exit status is 1" \
    test "$cut_status-$(headers "$work/cut/report.txt" | wc -l)" = "1-$(expected_headers | wc -l)"
check "a map that could not be read completely is reported once, before the first trace" \
    diff <(grep -n '^ERROR: data/map.txt ' "$work/cut/report.txt" | cut -d: -f1) \
    <(grep -n $'^\tRoute #0: ' "$work/cut/report.txt" | cut -d: -f1 | awk '{ print $1 - 2 }')

# KML documents come back into OUTDIR.
"$bin/karvel-parallel" --jobs 2 --shard-size 4 -M "$traces" "$map" "$work/kml" 2>/dev/null
check "-M brings back one match document per trace" \
    test "$(ls "$work/kml"/match_*.kml 2>/dev/null | wc -l)" -eq "$(expected_headers | wc -l)"

# ---- Stand-in hosts: every host is a folder; a host's bin/ may hold a wrapped karvel. ----
export KARVEL_STANDIN_ROOT="$work/hosts"
export PARALLEL="--ssh $src/tests/scripts/ssh-standin"
mkdir -p "$KARVEL_STANDIN_ROOT"
printf '1/alpha\n1/beta\n' >"$work/logins"
printf '1/:\n1/alpha\n1/beta\n' >"$work/logins-with-local" # ":" is this machine
wrap_karvel() { # host, shell lines run before the real karvel
    mkdir -p "$KARVEL_STANDIN_ROOT/$1/bin"
    printf '#!/bin/sh\necho "$(pwd)" >>"%s/calls"\n%s\nexec "%s" "$@"\n' \
        "$KARVEL_STANDIN_ROOT" "$2" "$bin/karvel" >"$KARVEL_STANDIN_ROOT/$1/bin/karvel"
    chmod +x "$KARVEL_STANDIN_ROOT/$1/bin/karvel"
}
calls() { cat "$KARVEL_STANDIN_ROOT/calls" 2>/dev/null | wc -l; }
# beta fails its first job once; the job must be retried on alpha.
wrap_karvel alpha ''
wrap_karvel beta '[ -e "$HOME/failed-once" ] || { : >"$HOME/failed-once"; exit 3; }'

hosts_run() { "$bin/karvel-parallel" --sshloginfile "${2:-$work/logins}" --shard-size 2 "$traces" "$map" "$1"; }
hosts_run "$work/hosts-out" "$work/logins-with-local" 2>"$work/err"
check "stand-in hosts: exit 0" test $? -eq 0
check "stand-in hosts: the same report as one local job" \
    diff <(skeleton "$work/hosts-out/report.txt") <(skeleton "$work/karvel-1/report.txt")
check "stand-in hosts: jobs ran in the hosts' own folders" \
    test "$(grep -c "^$KARVEL_STANDIN_ROOT/\(alpha\|beta\)/\.parallel/tmp/" "$KARVEL_STANDIN_ROOT/calls")" -eq "$(calls)"
check "stand-in hosts: this machine and the hosts finished jobs" \
    eval "cut -f 2 $work/hosts-out/joblog | grep -qx : && cut -f 2 $work/hosts-out/joblog | grep -qE '^(alpha|beta)$'"
check "stand-in hosts: the job that failed on beta was retried" \
    eval "test -e $KARVEL_STANDIN_ROOT/beta/failed-once &&
          test \$(awk 'NR > 1 && \$7 != 0' $work/hosts-out/joblog | wc -l) -eq 0"
check "stand-in hosts: nothing is left behind on the hosts" \
    test -z "$(find "$KARVEL_STANDIN_ROOT"/alpha "$KARVEL_STANDIN_ROOT"/beta -path '*/.parallel/*' -type f)"

# ---- A trace that makes the matcher crash on every host; then the batch is resumed. ----
crash='ls data/nmea | grep -q "^m-drive.txt$" && kill -SEGV $$'
wrap_karvel alpha "$crash"
wrap_karvel beta "$crash"
hosts_run "$work/resumed" 2>"$work/err"
check "a trace that cannot be matched: exit status is not 0" test $? -ne 0
check "a trace that cannot be matched: it is named on standard error" \
    grep -q "^ERROR: .*/m-drive.txt could not be matched" "$work/err"
check "a trace that cannot be matched: every other trace is in the report" \
    diff <(expected_headers | grep -v m-drive) <(headers "$work/resumed/report.txt")
wrap_karvel alpha ''
wrap_karvel beta ''
rm -f "$KARVEL_STANDIN_ROOT/calls"
hosts_run "$work/resumed" 2>"$work/err"
check "resumed batch: exit 0" test $? -eq 0
check "resumed batch: only the failed shard ran again" test "$(calls)" -eq 1
check "resumed batch: the report is complete" \
    diff <(skeleton "$work/resumed/report.txt") <(skeleton "$work/karvel-1/report.txt")
mv "$work/resumed/report.txt" "$work/kept.txt" && chmod 600 "$work/kept.txt"
ln -s "$work/kept.txt" "$work/resumed/report.txt"
hosts_run "$work/resumed" 2>"$work/err"
check "finished batch run again: no job runs" test "$(calls)" -eq 1
check "a report that is a link is written through it and keeps its mode" \
    eval "test -L $work/resumed/report.txt && test \$(stat -c %a $work/kept.txt) = 600 &&
          diff <(skeleton $work/kept.txt) <(skeleton $work/karvel-1/report.txt)"

# ---- A batch stopped during its third job resumes with the jobs that had not finished. ----
printf '1/alpha\n' >"$work/one-host"
wrap_karvel alpha "[ \$(wc -l <$KARVEL_STANDIN_ROOT/calls) -lt 3 ] || { kill -TERM \$(cat $work/pid); exit 1; }"
rm -f "$KARVEL_STANDIN_ROOT/calls"
stopped_run() { exec "$bin/karvel-parallel" --sshloginfile "$work/one-host" --shard-size 1 "$traces" "$map" "$work/stopped"; }
(stopped_run 2>"$work/err") &
echo $! >"$work/pid"
wait $!
check "a stopped batch exits 130 and says how to resume" \
    eval "test $? -eq 130 && grep -q '^ERROR: interrupted' $work/err"
wrap_karvel alpha ''
rm -f "$KARVEL_STANDIN_ROOT/calls"
(stopped_run 2>"$work/err")
check "the stopped batch resumed: exit 0, each job not finished before ran once" \
    eval "test $? -eq 0 && test \$(calls) -eq $(($(expected_headers | wc -l) - 2)) &&
          test -z \"\$(cut -f 1 $work/stopped/joblog | sort | uniq -d)\""
check "the stopped batch resumed: the report is complete" \
    diff <(skeleton "$work/stopped/report.txt") <(skeleton "$work/karvel-1/report.txt")

# ---- Refusals. ----
"$bin/karvel-parallel" --shard-size 2 "$traces" "$map" "$work/karvel-1" 2>"$work/err"
check "another batch in the same OUTDIR is refused" \
    eval "test $? -ne 0 && grep -q '^ERROR: .*holds another batch' $work/err"
"$bin/karvel-parallel" "$traces" "$work/no-such-map" "$work/x" 2>"$work/err"
check "a missing map gives one ERROR line" eval "test $? -ne 0 && test \$(grep -c '^ERROR: ' $work/err) -eq 1"


echo "$failures failure(s)"
[ "$failures" -eq 0 ]
