#!/usr/bin/env bash
# End-to-end tests of karvel-parallel on a small map: local runs with 1, 2 and 4 jobs against one run
# of the matcher over the folder, karvel-match's CSV, GeoJSON, GeoPackage and HTML merged, options refused up front, a
# run over stand-in SSH hosts (real transfer, return and cleanup), jobs killed mid-run and retried
# here and on a host, traces that fail among good ones, hosts that do not answer, a resumed batch.
# Usage: [KP_FAIL_FAST=1] karvel_parallel_test.sh BIN_DIR SOURCE_DIR   (exit 77: skipped)
set -uo pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
for tool in parallel rsync perl tar flock; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

unset PARALLEL # options for GNU parallel from the caller's environment would change the runs
unset SHELL # as under a service manager: batches must not depend on it
work=$(mktemp -d /tmp/karvel-parallel-test-XXXXXX)
trap '[ -n "${KP_KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
check() { # description, then a command that must succeed; KP_FAIL_FAST=1 stops at the first failure
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
    [ "$failures" -eq 0 ] || [ "${KP_FAIL_FAST:-0}" != 1 ] || exit 1
}

# The world: the sample street map and simulated drives whose names sort differently in byte order
# than in most listings (upper case first, a space, an inner dot), plus files that are no traces.
map="$src/sample/data/map.txt"
traces="$work/traces"
mkdir -p "$traces"
"$bin/karvel-sim" --map "$map" --out "$work/sim" --truth "$work/truth" --traces 8 --duration 40 --seed 5 -q
# A matcher cuts a trace's name at a backslash as at a slash: "back\slash" is trace "slash".
names=(b_drive Zulu "with space" x.y a_drive m-drive c_drive 'back\slash')
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
        f=${f%.txt}
        printf '\tRoute #%d: %s\n' "$i" "${f##*\\}"
        i=$((i + 1))
    done < <(cd "$traces" && ls -1 | grep -E '\.txt$' | LC_ALL=C sort)
}
headers() { grep -E $'^\tRoute #' "$1"; }
one_run() { # matcher, report
    rm -rf "$work/one" && mkdir -p "$work/one/data" && cp "$map" "$work/one/data/map.txt"
    (cd "$work/one" && "$bin/$1" -t "$traces" >"$2")
}
# The batch said nothing but its closing line, with every trace matched.
closing_only() { # stderr file, number of traces
    [ "$(wc -l <"$1")" -eq 1 ] &&
        grep -qE "^karvel-parallel: $2 traces matched, 0 failed; [0-9]+ fixes, [0-9.]+ % matched; [0-9.]+ s, [0-9]+ fixes/s\$" "$1"
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
    all_jobs="1 2 4"
    [ "$matcher" = karvel ] || all_jobs=2 # the same script: one run shows the other matcher works
    for jobs in $all_jobs; do
        out="$work/$matcher-$jobs"
        "$bin/karvel-parallel" --matcher "$matcher" --jobs "$jobs" --shard-size 3 "$traces" "$map" "$out" \
            2>"$work/err"
        check "$matcher --jobs $jobs exits 0 and says only its closing line" \
            eval "test $? -eq 0 && closing_only $work/err $(expected_headers | wc -l)"
        check "$matcher --jobs $jobs numbers the traces in name order" \
            diff <(expected_headers) <(headers "$out/report.txt")
        check "$matcher --jobs $jobs reports the same lines as one run" \
            same_lines <(skeleton "$out/report.txt") "$work/one-$matcher.skel"
        check "$matcher --jobs $jobs ends with one timing line" \
            test "$(tail -n 4 "$out/report.txt" | grep -c '^Overall processing time: [0-9.]* sec.  (~= ')" -eq 1
    done
done
check "karvel: 1, 2 and 4 jobs give the same report" \
    eval "diff <(skeleton $work/karvel-1/report.txt) <(skeleton $work/karvel-2/report.txt) &&
          diff <(skeleton $work/karvel-1/report.txt) <(skeleton $work/karvel-4/report.txt)"
check "the merged report keeps one run's preamble" \
    diff <(sed -n '1,/^Ready to run Ostrand\.$/p' "$work/one-karvel.txt") \
    <(sed -n '1,/^Ready to run Ostrand\.$/p' "$work/karvel-2/report.txt")

# karvel-match never changes the map and is deterministic: its report must match byte for byte.
if [ -x "$bin/karvel-match" ]; then
    one_run karvel-match "$work/one-match.txt"
    "$bin/karvel-parallel" --matcher karvel-match --jobs 2 --shard-size 2 "$traces" "$map" "$work/match-2" 2>/dev/null
    if diff <(headers "$work/one-match.txt") <(expected_headers) >/dev/null; then
        check "karvel-match --jobs 2 is byte for byte one run's report" \
            diff <(grep -v '^Overall processing time' "$work/one-match.txt") \
            <(grep -v '^Overall processing time' "$work/match-2/report.txt")
    else
        check "karvel-match --jobs 2 reports the same lines as one run" \
            same_lines <(skeleton "$work/match-2/report.txt") <(skeleton "$work/one-match.txt")
    fi

    # A copy of karvel-parallel runs the karvel-match installed beside it: a wrapper that kills the
    # first job holding m-drive mid-run, and kills every job holding c_drive when told to.
    localbin="$work/localbin"
    mkdir -p "$localbin" && cp "$bin/karvel-parallel" "$localbin/"
    cat >"$localbin/karvel-match" <<EOF
#!/bin/sh
if ls data/nmea 2>/dev/null | grep -q '^m-drive.txt\$' && mkdir "$work/killed" 2>/dev/null; then kill -KILL \$\$; fi
if [ -e "$work/kill-c" ] && ls data/nmea 2>/dev/null | grep -q '^c_drive.txt\$'; then kill -KILL \$\$; fi
exec "$bin/karvel-match" "\$@"
EOF
    chmod +x "$localbin/karvel-match"
    for format in csv geojson; do
        rm -rf "$work/killed"
        "$localbin/karvel-parallel" --matcher karvel-match --jobs 2 --shard-size 3 "$traces" "$map" \
            "$work/m-$format" -q --format "$format" 2>"$work/err"
        check "karvel-match --format $format: the job killed mid-run was tried again" \
            eval "test $? -eq 0 && test -d $work/killed && closing_only $work/err $(expected_headers | wc -l)"
        (cd "$work/one" && "$bin/karvel-match" -q -t "$traces" --format "$format" >"$work/one.$format" 2>/dev/null)
        check "karvel-match --format $format: the merged document is one run's, byte for byte" \
            cmp "$work/m-$format/results.$format" "$work/one.$format"
    done
    # GeoPackage: one file whose layers hold one run's features, with their ids, in its order (a
    # job killed mid-run again). SQLite lays out its pages its own way, so the bytes may differ.
    if command -v ogrinfo >/dev/null && command -v ogr2ogr >/dev/null; then
        rm -rf "$work/killed"
        "$localbin/karvel-parallel" --matcher karvel-match --jobs 2 --shard-size 3 "$traces" "$map" \
            "$work/m-gpkg" -q --format gpkg 2>"$work/err"
        check "karvel-match --format gpkg: exit 0, the job killed mid-run tried again" \
            eval "test $? -eq 0 && test -d $work/killed && closing_only $work/err $(expected_headers | wc -l)"
        (cd "$work/one" && "$bin/karvel-match" -q -t "$traces" --format gpkg -o "$work/one.gpkg" 2>/dev/null)
        # ogrinfo's first lines name the file.
        check "karvel-match --format gpkg: the merged layers are one run's, feature for feature" \
            diff <(ogrinfo -al "$work/m-gpkg/results.gpkg" | tail -n +3) <(ogrinfo -al "$work/one.gpkg" | tail -n +3)
        check "karvel-match --format gpkg: fixes of every trace in the layer fixes, links in links" \
            eval "ogrinfo -q -sql 'SELECT COUNT(DISTINCT trace) AS n FROM fixes' $work/m-gpkg/results.gpkg |
                      grep -qx '  n (Integer) = $(expected_headers | wc -l)' &&
                  ogrinfo -q -sql 'SELECT COUNT(*) AS n FROM links' $work/m-gpkg/results.gpkg | grep -qE '= [1-9]'"
    else
        echo "skip: the GeoPackage merge needs ogrinfo and ogr2ogr (gdal-bin)"
    fi

    # HTML: every shard's pages beside one index, as one run names and writes them (a job killed
    # mid-run again). The last shard, of one trace, sends back a bare page; "a drive" of one shard
    # and "a_drive" of the next would take the same page name.
    ln -sf "$bin/karvel-export" "$localbin/karvel-export"
    cp -R "$traces" "$work/pages" && cp "$traces/a_drive.txt" "$work/pages/a drive.txt" && cp "$traces/x.y.txt" "$work/pages/z drive.txt"
    rm -rf "$work/killed" "$work/one/view" && mkdir -p "$work/m-html/view"
    "$localbin/karvel-parallel" --matcher karvel-match --jobs 2 --shard-size 2 "$work/pages" "$map" \
        "$work/m-html" -q --format html -o "$work/m-html/view/drives.html" 2>"$work/err"
    check "karvel-match --format html: exit 0, the job killed mid-run tried again" \
        eval "test $? -eq 0 && test -d $work/killed && closing_only $work/err $(($(expected_headers | wc -l) + 2))"
    mkdir -p "$work/one/view"
    (cd "$work/one" && "$bin/karvel-match" -q -t "$work/pages" --format html -o view/drives.html 2>/dev/null)
    check "karvel-match --format html: the index and every page are one run's, byte for byte" \
        diff -r "$work/m-html/view" "$work/one/view"
    check "karvel-match --format html: the index lists every trace" \
        test "$(grep -c '^<tr><td><a href="drives-' "$work/one/view/drives.html")" -eq $(($(expected_headers | wc -l) + 2))

    check "the merged CSV has one header and whole rows" \
        python3 -c 'import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline="")))
assert rows[0][0] == "trace" and all(r[0] != "trace" and len(r) == len(rows[0]) for r in rows[1:])
assert len({r[0] for r in rows[1:]}) == int(sys.argv[2])' "$work/m-csv/results.csv" "$(expected_headers | wc -l)"
    check "the merged GeoJSON is one FeatureCollection of every trace" \
        python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
assert d["type"] == "FeatureCollection"
assert len({f["properties"]["trace"] for f in d["features"]}) == int(sys.argv[2])' \
        "$work/m-geojson/results.geojson" "$(expected_headers | wc -l)"

    # Traces that fail among good ones: a broken GPX log, and a trace whose matcher is killed on every
    # try. The others are all there, as one run over the folder without the killed trace gives them.
    mixed="$work/mixed"
    cp -R "$traces" "$mixed" && printf '<gpx><trk>\n' >"$mixed/broken.gpx"
    : >"$work/kill-c"
    "$localbin/karvel-parallel" --matcher karvel-match --jobs 2 --shard-size 4 --retries 2 "$mixed" "$map" \
        "$work/m-mixed" --format csv -o "$work/mixed.csv" 2>"$work/err"
    check "failing traces: exit status 1" test $? -eq 1
    check "failing traces: their messages are named on the console and kept in errors.txt" \
        eval "grep -q '^$mixed/c_drive.txt: ERROR: the matcher was stopped by signal 9 on this machine\$' $work/err &&
              grep -q '^$mixed/broken.gpx: ERROR: ' $work/err &&
              diff <(grep -F $mixed/ $work/err) $work/m-mixed/errors.txt"
    check "failing traces: the closing line counts them" \
        grep -qE "^karvel-parallel: $(($(expected_headers | wc -l) - 1)) traces matched, 2 failed; " "$work/err"
    rm "$mixed/c_drive.txt"
    (cd "$work/one" && "$bin/karvel-match" -t "$mixed" --format csv >"$work/one-mixed.csv" 2>/dev/null)
    check "failing traces: every other trace's rows are in the merged CSV (-o FILE)" \
        cmp "$work/mixed.csv" "$work/one-mixed.csv"

    # Options the matcher refuses end the batch before anything is sharded, with its own words.
    "$bin/karvel-parallel" --matcher karvel-match "$traces" "$map" "$work/typo" --radius 0 2>"$work/err"
    check "a bad matcher option: status 2, the matcher's one line, nothing made" \
        eval "test $? -eq 2 && test \"\$(cat $work/err)\" = 'ERROR: bad --radius 0 (metres, 1 to 10000)' &&
              test ! -e $work/typo"
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
printf '1/:\n1/alpha\n1/beta\n1/gamma\n' >"$work/logins-with-local" # ":" is this machine
wrap_karvel() { # host, shell lines run before the real karvel
    mkdir -p "$KARVEL_STANDIN_ROOT/$1/bin"
    printf '#!/bin/sh\necho "$(pwd)" >>"%s/calls"\n%s\nexec "%s" "$@"\n' \
        "$KARVEL_STANDIN_ROOT" "$2" "$bin/karvel" >"$KARVEL_STANDIN_ROOT/$1/bin/karvel"
    chmod +x "$KARVEL_STANDIN_ROOT/$1/bin/karvel"
}
calls() { cat "$KARVEL_STANDIN_ROOT/calls" 2>/dev/null | wc -l; }
# beta's matcher is killed in its first job; the job must be tried again. gamma does not answer.
wrap_karvel alpha ''
wrap_karvel beta '[ -e "$HOME/failed-once" ] || { : >"$HOME/failed-once"; kill -KILL $$; }'
mkdir -p "$KARVEL_STANDIN_ROOT/gamma" && : >"$KARVEL_STANDIN_ROOT/gamma/unreachable"

hosts_run() { "$bin/karvel-parallel" --sshloginfile "${2:-$work/logins}" --shard-size 2 "$traces" "$map" "$1"; }
hosts_run "$work/hosts-out" "$work/logins-with-local" 2>"$work/err"
check "stand-in hosts: exit 0, the host that does not answer left out" \
    eval "test $? -eq 0 && grep -qx 'karvel-parallel: left out the hosts that did not answer: gamma' $work/err"
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
check "a trace that cannot be matched: its messages are named on standard error and kept" \
    eval "grep -q '^$traces/m-drive.txt: ERROR: the matcher was stopped by signal 11 on \(alpha\|beta\)\$' $work/err &&
          diff <(grep -F $traces/ $work/err) $work/resumed/errors.txt"
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

# ---- Hosts that all do not answer: the batch says so at once. ----
printf '1/gamma\n' >"$work/down-hosts"
SECONDS=0
hosts_run "$work/down" "$work/down-hosts" 2>"$work/err"
check "no host answers: exit 1 at once, naming the host" \
    eval "test $? -eq 1 && test $SECONDS -lt 60 && grep -q '^ERROR: no host of .* answered within .*: gamma\$' $work/err"

# ---- Refusals. ----
"$bin/karvel-parallel" --shard-size 2 "$traces" "$map" "$work/karvel-1" 2>"$work/err"
check "another batch in the same OUTDIR is refused" \
    eval "test $? -ne 0 && grep -q '^ERROR: .*holds another batch' $work/err"
"$bin/karvel-parallel" "$traces" "$work/no-such-map" "$work/x" 2>"$work/err"
check "a missing map gives one ERROR line" eval "test $? -ne 0 && test \$(grep -c '^ERROR: ' $work/err) -eq 1"


echo "$failures failure(s)"
[ "$failures" -eq 0 ]
