// The library as a program or notebook meets it: maps that load or say why not, traces in memory
// checked before matching, results that are karvel-match's to the byte, one map shared by threads.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "api/karvel.h"
#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::runCommand;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

const std::string kSampleMap = std::string(KARVEL_SOURCE_DIR) + "/sample/data/map.txt";
const std::string kSampleDrive = std::string(KARVEL_SOURCE_DIR) + "/sample/data/nmea/porto_loop.txt";

// The message of what `f` throws as E, or "" when it throws nothing.
template <typename E, typename F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// A straight east-west road of two-way links, and columns of fixes driving it a second apart.
struct Road {
    TempDir dir;
    std::string map = dir / "map.txt";
    std::vector<double> time, lat, lon;
    Road() {
        writeFile(map, karvel_test::roadMap(41.15, -8.62, 41.15, -8.60, 9, true));
        for (int i = 0; i < 20; ++i) {
            time.push_back(1.6e9 + i);
            lat.push_back(41.15 + 0.00003);  // about 3 m north of the road
            lon.push_back(-8.619 + 0.0009 * i);
        }
    }
    karvel::TraceView view() const { return {time, lat, lon, {}, {}, "road"}; }
};

}  // namespace

// Maps and trace files that cannot be used throw what the programs and the loaders say.
TEST(ApiFiles, MapsAndTracesThatCannotBeReadThrowTheLoadersWords) {
    TempDir dir;
    const auto mapError = [](const std::string& path) {
        return thrown<karvel::FileError>([&] { karvel::Map m(path); });
    };
    const auto traceError = [](const std::string& path) {
        return thrown<karvel::FileError>([&] { karvel::loadTrace(path); });
    };
    EXPECT_EQ(mapError(dir / "none.txt"),
              "cannot read map file " + (dir / "none.txt") + ": No such file or directory");
    EXPECT_EQ(mapError(dir.str()), "cannot read map file " + dir.str() + ": not a regular file");
    // A map read only in part is refused, with the loader's words, and they stay off standard output.
    writeFile(dir / "bad.txt", "2\n1  -8.6  41.1 0 0\n2 x\n");
    std::string what;
    EXPECT_EQ(karvel_test::printed([&] { what = mapError(dir / "bad.txt"); }), "");
    EXPECT_TRUE(what.starts_with("map file " + (dir / "bad.txt") + ", line 3")) << what;
    EXPECT_NE(thrown<karvel::FileError>([&] { karvel::Map::fromOsm(dir / "none.osm.pbf"); }), "");
    // A trace file that gives no fix.
    EXPECT_EQ(traceError(dir / "none.txt"), dir / "none.txt" + ": cannot be read: No such file or directory");
    writeFile(dir / "empty.txt", "hello\n");
    EXPECT_TRUE(
        traceError(dir / "empty.txt").starts_with("trace " + (dir / "empty.txt") + " gives no fix: "));
    writeFile(dir / "broken.gpx", "<gpx><trk><trkseg><trkpt lat='99' lon='0'/></trkseg></trk></gpx>");
    EXPECT_NE(traceError(dir / "broken.gpx"), "");
}

// A trace along a road is matched fix by fix; the same trace with columns and parameters that cannot
// be used is refused.
TEST(ApiMatch, ATraceAlongARoadIsMatchedFixByFixAndBadColumnsAreRefused) {
    Road road;
    const karvel::Map map(road.map);
    const karvel::Result r = map.match(road.view());
    EXPECT_EQ(std::tuple(map.nodeCount(), map.linkCount(), r.fixes().size(), r.matchedCount(), r.problem()),
              std::tuple(9u, 16u, 20u, 20u, ""));
    // Eastwards (the links 1..8, not their mirrors), 3.3 m off, and without ways: the map has no link table.
    for (const karvel::Fix& f : r.fixes())
        EXPECT_TRUE(f.matched() && f.link <= 8 && std::fabs(f.latitude - 41.15) < 1e-6 &&
                    std::fabs(f.distance - 3.3) < 0.2 && f.wayId == 0)
            << f.link << " " << f.latitude << " " << f.distance << " " << f.wayId;
    // The route runs east link after link, and measures what was driven.
    ASSERT_FALSE(r.route().empty());
    for (size_t k = 1; k < r.route().size(); ++k) EXPECT_EQ(r.route()[k].link, r.route()[k - 1].link + 1);
    EXPECT_NEAR(r.fixes().back().routeDistance, 19 * 0.0009 * 111320 * std::cos(41.15 * M_PI / 180), 5);
    // The offset grows along each link.
    EXPECT_LT(r.fixes()[0].offset, r.fixes()[1].offset);

    // Columns and parameters that cannot be used are refused.
    const auto refused = [&](const karvel::TraceView& v, const karvel::Params& p = karvel::kDefaultParams) {
        return thrown<karvel::ArgumentError>([&] { map.match(v, p); });
    };
    EXPECT_EQ(refused(road.view(), karvel::kDefaultParams.withRadius(20000)),
              "bad --radius 20000 (metres, 1 to 10000)");
    karvel::TraceView short_ = road.view(), untimely = road.view();
    short_.longitude = short_.longitude.first(19);
    untimely.time = untimely.time.first(3);
    EXPECT_EQ(
        refused(short_),
        "the trace's columns differ in length: 20 latitudes, 19 longitudes, 20 times, 0 speeds, 0 courses");
    EXPECT_EQ(
        refused(untimely),
        "the trace's columns differ in length: 20 latitudes, 20 longitudes, 3 times, 0 speeds, 0 courses");
    road.lat[4] = 91;
    EXPECT_EQ(refused(road.view()), "fix 4: latitude 91, longitude -8.6154 is no position on the globe");
    road.lat[4] = road.lat[3];
    road.time[7] = road.time[5];  // back in time
    EXPECT_TRUE(refused(road.view()).starts_with("fix 7: time "));
    road.time[7] = -1;
    EXPECT_TRUE(refused(road.view()).starts_with("fix 7: time -1 "));
    // Unknown times are allowed: the fixes are still placed on the road.
    road.time.assign(road.time.size(), std::nan(""));
    EXPECT_EQ(map.match(road.view()).matchedCount(), 20u);
    EXPECT_EQ(map.match({.latitude = road.lat, .longitude = road.lon}).matchedCount(), 20u);
}

// The count is there at once; the rows are made at the first look at them, once, whether route() or
// fixes() comes first and from however many threads. Unmatched fixes have no position.
TEST(ApiMatch, RowsMadeAtTheFirstLookAgreeWithTheCount) {
    Road road;
    for (int i = 8; i < 11; ++i) road.lat[i] += 0.01;  // a kilometre off the road
    const karvel::Map map(road.map);
    const karvel::Result alone = map.match(road.view());
    const std::vector<karvel::DrivenLink> route = alone.route();
    ASSERT_FALSE(route.empty());
    const karvel::Result shared = map.match(road.view());
    EXPECT_EQ(std::pair(shared.size(), shared.matchedCount()), std::pair(size_t{20}, size_t{17}));
    std::vector<size_t> seen(6);
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&, i] { seen[i] = i % 2 ? shared.route().size() : shared.fixes().size(); });
    }
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i % 2 ? route.size() : 20u) << i;
    const auto& fixes = shared.fixes();
    EXPECT_EQ(std::count_if(fixes.begin(), fixes.end(), [](const karvel::Fix& f) { return f.matched(); }),
              17);
    EXPECT_TRUE(!fixes[9].matched() && std::isnan(fixes[9].latitude));

    // A trace far from the map says so, and matches nothing.
    for (double& lat : road.lat) lat += 0.1;  // 11 km north
    const karvel::Result far = map.match(road.view());
    EXPECT_EQ(far.matchedCount(), 0u);
    EXPECT_TRUE(far.problem().starts_with("road: none of its 20 fixes lies within 50 m of a road; it is 11."))
        << far.problem();
}

// karvel-match is built on the library: the GeoJSON of one trace is the program's, byte for byte. One
// map serves many threads with the results of one, whatever parameters each thread asks for.
TEST(ApiMatch, TheResultIsKarvelMatchsFromAnyThread) {
    const auto program = runCommand(binaryPath("karvel-match") + " -q --format geojson --map " + kSampleMap +
                                    " " + kSampleDrive + " --radius 40");
    ASSERT_EQ(program.exitCode, 0) << program.err;
    const karvel::Map map(kSampleMap);
    const karvel::Trace trace = karvel::loadTrace(kSampleDrive);
    EXPECT_EQ(std::tuple(trace.name, trace.latitude.size()), std::tuple("porto_loop", 67u));
    const karvel::Result r = map.match(trace.view(), karvel::kDefaultParams.withRadius(40));
    EXPECT_EQ(r.toGeoJson(), program.out);
    EXPECT_GT(r.matchedCount(), 60u);
    const std::string narrow = map.match(trace.view(), karvel::kDefaultParams.withRadius(2)).toGeoJson();
    ASSERT_TRUE(program.out != narrow);
    std::vector<std::string> seen(6);
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&, i] {
                // Threads alternate parameters, so that each one's matcher must follow them.
                for (int round = 0; round < 3; ++round)
                    seen[i] =
                        map.match(trace.view(), karvel::kDefaultParams.withRadius((i + round) % 2 ? 2 : 40))
                            .toGeoJson();
            });
    }
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_TRUE(seen[i] == (i % 2 ? narrow : program.out)) << i;
}

// A real GPS log on the OpenStreetMap extract under it, imported on the fly.
TEST(ApiRealData, AGpxLogOnItsOsmExtractDrivesNamedStreets) {
    KARVEL_REQUIRE_SHARED(osm, "graphhopper-osm-extracts/issue-70.osm.gz");
    KARVEL_REQUIRE_SHARED(gpx, "graphhopper-osm-extracts/issue-70.gpx");
    const karvel::Map map = karvel::Map::fromOsm(osm);
    const karvel::Result r = map.match(karvel::loadTrace(gpx).view());
    EXPECT_EQ(r.matchedCount(), 17u);
    for (const karvel::Fix& f : r.fixes()) EXPECT_GT(f.wayId, 0);
    size_t named = 0;
    for (const karvel::DrivenLink& l : r.route())
        named += !l.name.empty() && l.wayId > 0 && !l.highway.empty();
    EXPECT_GT(named, r.route().size() / 2);
}
