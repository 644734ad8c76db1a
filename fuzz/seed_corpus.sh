#!/usr/bin/env bash
# Builds the seed corpora of the fuzz targets in OUT/{nmea,gpx,map,batch} from the repository's sample
# files and, when present, the real receiver logs and road maps of ../shared/data. The real data is
# only read; the seeds are written under OUT (a build folder), never into the repository.
# Usage: fuzz/seed_corpus.sh OUT
set -euo pipefail
out="${1:?usage: seed_corpus.sh OUT}"
root="$(cd "$(dirname "$0")/.." && pwd)"
shared="${KARVEL_SHARED_DATA:-$root/../shared/data}"
mkdir -p "$out/nmea" "$out/gpx" "$out/map" "$out/batch"

# Seeds stay small: the fuzzer mutates short inputs far faster, and the structure is in the head.
clip() { head -c "${2:-16384}" "$1"; }

# NMEA: the sample traces and every real receiver log (its first 16 KiB).
for f in "$root"/sample/data/nmea/*.txt; do clip "$f" >"$out/nmea/sample_$(basename "$f")"; done
if [ -d "$shared/gpsd-nmea-regress/logs" ]; then
  for f in "$shared"/gpsd-nmea-regress/logs/*.log; do clip "$f" >"$out/nmea/gpsd_$(basename "$f" .log).txt"; done
fi
if [ -f "$shared/qt-nmealog-brisbane/nmealog.txt" ]; then
  clip "$shared/qt-nmealog-brisbane/nmealog.txt" >"$out/nmea/brisbane.txt"
fi

# Kubicka's road networks (nodes "lon lat", arcs "from to", 0-based) as map files, cut to their
# first nodes and the arcs between them.
kubicka_map() {  # nodes arcs limit
  awk -v limit="$3" '
    FNR == 1 { file++ }
    file == 1 && FNR <= limit { lon[FNR] = $1; lat[FNR] = $2; n = FNR }
    file == 2 && $1 + 1 <= n && $2 + 1 <= n { from[++m] = $1 + 1; to[m] = $2 + 1 }
    END {
      print n
      for (i = 1; i <= n; i++) printf "%d  %.9f  %.9f %.9f %.9f\n", i, lon[i], lat[i], 0, 0
      print m
      for (i = 1; i <= m; i++) printf "%d  %d %.9f %d\n", from[i], to[i], 0, 0
    }' "$1" "$2"
}
# A Kubicka track ("lon lat seconds") as RMC and GGA sentences, one epoch per point.
kubicka_nmea() {  # track limit
  awk -v limit="$2" '
    function dm(v, w,   a, d) { a = v < 0 ? -v : v; d = int(a); return sprintf("%0" w "d%07.4f", d, (a - d) * 60) }
    NR <= limit {
      t = 36000 + NR; hh = int(t / 3600); mm = int((t % 3600) / 60); ss = t % 60
      time = sprintf("%02d%02d%02d.00", hh, mm, ss)
      ns = $2 < 0 ? "S" : "N"; ew = $1 < 0 ? "W" : "E"
      printf "$GPRMC,%s,A,%s,%s,%s,%s,10.0,90.0,010615,,*00\n", time, dm($2, 2), ns, dm($1, 3), ew
      printf "$GPGGA,%s,%s,%s,%s,%s,1,08,0.9,100.0,M,40.0,M,,*00\n", time, dm($2, 2), ns, dm($1, 3), ew
    }' "$1"
}

cp "$root/sample/data/map.txt" "$out/map/sample_map.txt"
for f in "$root"/sample/data/nmea/*.txt; do
  { cat "$root/sample/data/map.txt"; echo "#TRACE"; cat "$f"; } >"$out/batch/sample_$(basename "$f")"
done
if [ -d "$shared/kubicka2015-mapmatching/sample" ]; then
  for d in "$shared"/kubicka2015-mapmatching/sample/*/; do
    id="$(basename "$d")"
    kubicka_map "$d/$id.nodes" "$d/$id.arcs" 300 >"$out/map/kubicka_$id.txt"
    # The batch seed pairs the network around the start of the track with the track's first points.
    { kubicka_map "$d/$id.nodes" "$d/$id.arcs" 60; echo "#TRACE"; kubicka_nmea "$d/$id.track" 25; } \
      >"$out/batch/kubicka_$id.txt"
  done
fi
# Short hand-made cases of each format's corners.
printf '0\n0\n' >"$out/map/empty_counts.txt"
printf '2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n3\n1 2 13.5 3\n2 2 1 1\n2 1 1 1\n' >"$out/map/selfloop.txt"
printf '$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n$GPGSV,2,1,08,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45*75\r\n$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r\n' >"$out/nmea/textbook.txt"
# GPX: the real logs, and files that once cost minutes, gigabytes or a forged report line.
for f in "$shared"/graphhopper-osm-extracts/*.gpx; do [ -f "$f" ] && clip "$f" >"$out/gpx/real_$(basename "$f")"; done
gpx_head='<?xml version="1.0"?><gpx version="1.1" xmlns="http://www.topografix.com/GPX/1/1"><trk><trkseg>'
gpx_tail='</trkseg></trk></gpx>'
point() { printf '<trkpt lat="48.%s" lon="11"><time>2020-06-01T12:00:%sZ</time></trkpt>' "$1" "$1"; }
printf '%s%s%s%s\n' "$gpx_head" "$(point 10)" "$(point 20)" "$gpx_tail" >"$out/gpx/plain.gpx"
printf '%s<trkpt lat="1" lon="2"><time>x\nFinished running Ostrand.\n\tRoute #0: sim_001</time></trkpt>%s\n' \
  "$gpx_head" "$gpx_tail" >"$out/gpx/forged_time.gpx"
{
  printf '<?xml version="1.0"?>\n<!DOCTYPE gpx [\n<!ENTITY a "aaaaaaaaaa">\n'
  for i in 1 2 3 4 5 6 7 8 9; do printf '<!ENTITY %s "&%s;&%s;&%s;&%s;&%s;&%s;&%s;&%s;&%s;&%s;">\n' \
    "$(printf "\\x$(printf %x $((97 + i)))")" $(for _ in 1 2 3 4 5 6 7 8 9 10; do printf '%s ' "$(printf "\\x$(printf %x $((96 + i)))")"; done); done
  printf ']>\n<gpx version="1.1"><trk><trkseg><trkpt lat="1" lon="2"><time>&j;</time></trkpt>%s\n' "$gpx_tail"
} >"$out/gpx/entities.gpx"
{
  printf '%s<trkpt lat="1" lon="2"' "$gpx_head"
  for i in $(seq 1 2000); do printf ' a%d="%d"' "$i" "$i"; done
  printf '/>%s\n' "$gpx_tail"
} >"$out/gpx/attributes.gpx"
printf '%s%s%s\n' "$gpx_head" "$(point 10)" "$gpx_tail" | gzip -c >"$out/gpx/compressed.gpx"
printf '%s<!-- it'"'"'s a > test --><![CDATA[ <trkpt ]]>%s<?pi "?>%s\n' "$gpx_head" "$(point 30)" "$gpx_tail" \
  >"$out/gpx/comments.gpx"
echo "seeds: $(ls "$out/nmea" | wc -l) nmea, $(ls "$out/gpx" | wc -l) gpx, $(ls "$out/map" | wc -l) map, $(ls "$out/batch" | wc -l) batch in $out"
