"""The Python module as a notebook meets it: NumPy columns in and out, the programs' error texts as
exceptions, and one map shared by threads that really run at once."""
import json
import os
import subprocess
import threading
import time as clock

import numpy as np
import pytest

import karvel

SOURCE = os.environ.get("KARVEL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BIN = os.environ.get("KARVEL_BIN_DIR", "")
SAMPLE_MAP = os.path.join(SOURCE, "sample", "data", "map.txt")
SAMPLE_DRIVE = os.path.join(SOURCE, "sample", "data", "nmea", "porto_loop.txt")
SHARED = os.path.join(SOURCE, "..", "shared", "data", "graphhopper-osm-extracts")


@pytest.fixture(scope="module")
def sample():
    return karvel.Map(SAMPLE_MAP)


def test_columns_come_back_as_arrays_one_entry_per_fix(sample):
    t = karvel.load_trace(SAMPLE_DRIVE)
    assert t.name == "porto_loop" and len(t) == 67
    r = sample.match(t.lat, t.lon, t.time)
    assert len(r) == 67 and r.matched_count == 67
    assert r.link.dtype == np.int32 and r.way_id.dtype == np.int64 and r.matched.dtype == np.bool_
    for column in (r.link, r.lat, r.lon, r.distance, r.offset, r.matched, r.route_distance):
        assert column.shape == (67,)
    assert r.matched.all() and (r.distance < 10).all()
    assert np.abs(r.lat - t.lat).max() < 1e-4
    # The route is a list of links in driving order; the fixes' links are among them.
    links = [l["link"] for l in r.route]
    assert set(r.link) <= set(links)
    assert r.route[0].keys() >= {"link", "way_id", "name", "highway", "metres", "entered"}
    # Plain lists work as well as arrays, and match_trace takes the trace whole.
    again = sample.match(list(t.lat), list(t.lon), list(t.time))
    assert (again.link == r.link).all()
    assert (sample.match_trace(t).link == r.link).all()


def test_geojson_is_karvel_matchs(sample):
    if not BIN:
        pytest.skip("needs KARVEL_BIN_DIR (set by the test run)")
    program = subprocess.run([os.path.join(BIN, "karvel-match"), "-q", "--format", "geojson", "--map", SAMPLE_MAP,
                              SAMPLE_DRIVE], capture_output=True, text=True, check=True)
    t = karvel.load_trace(SAMPLE_DRIVE)
    geojson = sample.match(t.lat, t.lon, t.time, name=t.name).to_geojson()
    assert sample.match_trace(t).to_geojson() == geojson
    assert geojson == program.stdout
    assert json.loads(geojson)["type"] == "FeatureCollection"


def test_times_may_be_datetimes_or_missing(sample):
    t = karvel.load_trace(SAMPLE_DRIVE)
    seconds = sample.match(t.lat, t.lon, t.time)
    stamps = (t.time * 1e9).astype("datetime64[ns]")
    assert np.array_equal(sample.match(t.lat, t.lon, stamps).speed, seconds.speed, equal_nan=True)
    assert np.nanmax(seconds.speed) > 20
    untimed = sample.match(t.lat, t.lon)
    assert untimed.matched_count > 60 and np.isnan(untimed.speed).all()


def test_bad_arguments_raise_value_error_with_the_programs_text(sample):
    t = karvel.load_trace(SAMPLE_DRIVE)
    with pytest.raises(ValueError) as refused:
        sample.match(t.lat, t.lon, t.time, radius=0)
    assert str(refused.value) == "bad --radius 0 (metres, 1 to 10000)"
    if BIN:
        program = subprocess.run([os.path.join(BIN, "karvel-match"), "--check-options", "--radius", "0"],
                                 capture_output=True, text=True)
        assert program.stderr.splitlines()[0] == "ERROR: " + str(refused.value)
    with pytest.raises(ValueError, match=r"^bad --sigma -1 \(metres, 0 to 1000\)$"):
        sample.match(t.lat, t.lon, t.time, sigma=-1)
    with pytest.raises(ValueError, match=r"^bad --candidates 0 \(1 to 64\)$"):
        sample.match(t.lat, t.lon, t.time, candidates=0)
    with pytest.raises(ValueError, match="columns differ in length"):
        sample.match(t.lat, t.lon[:-1], t.time)
    with pytest.raises(ValueError, match="one-dimensional"):
        sample.match(np.zeros((2, 2)), np.zeros((2, 2)))
    with pytest.raises(ValueError, match="sequence of numbers"):
        sample.match(["north"], [1.0])
    with pytest.raises(ValueError, match="no position on the globe"):
        sample.match([95.0], [8.0], [0.0])
    # Nothing of it reaches a later call.
    assert sample.match(t.lat, t.lon, t.time).matched_count == 67


def test_files_that_cannot_be_read_raise_karvel_error(tmp_path):
    with pytest.raises(karvel.Error) as missing:
        karvel.Map(str(tmp_path / "map.txt"))
    assert str(missing.value) == f"cannot read map file {tmp_path / 'map.txt'}: No such file or directory"
    assert isinstance(missing.value, OSError)
    (tmp_path / "bad.txt").write_text("2\n1  -8.6  41.1 0 0\n2 x\n")
    with pytest.raises(karvel.Error, match=r"line 3"):
        karvel.Map(str(tmp_path / "bad.txt"))
    with pytest.raises(karvel.Error):
        karvel.Map.from_osm(str(tmp_path / "none.osm.pbf"))
    (tmp_path / "empty.gpx").write_text("<gpx/>")
    with pytest.raises(karvel.Error, match="gives no fix"):
        karvel.load_trace(str(tmp_path / "empty.gpx"))


def long_drive(t, laps):
    """The sample loop driven `laps` times, a second per fix."""
    lat, lon = np.tile(t.lat, laps), np.tile(t.lon, laps)
    return lat, lon, t.time[0] + np.arange(len(lat), dtype=float)


def test_threads_share_one_map_and_match_at_once(sample):
    lat, lon, time = long_drive(karvel.load_trace(SAMPLE_DRIVE), 300)
    alone = sample.match(lat, lon, time).link
    results, spans = [None] * 4, [None] * 4

    def work(i):
        start = clock.perf_counter()
        results[i] = sample.match(lat, lon, time)
        spans[i] = (start, clock.perf_counter())

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all((r.link == alone).all() for r in results)
    # Matching releases the interpreter: every call starts before the first one ends. Holding it, each
    # thread would wait for the one before to finish.
    assert max(s for s, _ in spans) < min(e for _, e in spans)


def test_a_real_gpx_log_on_its_osm_extract():
    osm, gpx = os.path.join(SHARED, "issue-70.osm.gz"), os.path.join(SHARED, "issue-70.gpx")
    if not os.path.exists(osm) or not os.path.exists(gpx):
        pytest.skip("needs ../shared/data/graphhopper-osm-extracts/issue-70.*")
    m = karvel.Map.from_osm(osm)
    t = karvel.load_trace(gpx)
    r = m.match(t.lat, t.lon, t.time)
    assert r.matched_count == 17 and (r.way_id > 0).all()
    assert sum(1 for l in r.route if l["name"]) > len(r.route) / 2
    assert r.problem == ""
    far = m.match(t.lat + 1, t.lon, t.time)
    assert far.matched_count == 0 and "none of its 17 fixes lies within 50 m of a road" in far.problem
