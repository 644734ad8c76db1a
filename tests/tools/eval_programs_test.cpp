// karvel-export as a program: the two real GPX logs of the shared data matched by karvel on a map imported
// from the OpenStreetMap extract under them and exported as GeoJSON, and the exporter's answers to a report
// that does not fit its traces or map.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "app/geojson_check.h"
#include "nmea_writer.h"
#include "test_support.h"
#include "traces/trace_loader.h"

namespace {

namespace fs = std::filesystem;
using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using nlohmann::json;

// Every fix of the real logs is matched by karvel within 60 m; the exporter finds each log from the
// report's trace name in the folder given.
TEST(RealGpxExport, KarvelMatchesTheWholeLogAndItsReportExportsToGeoJson) {
    const struct {
        const char* gpx;
        const char* osm;
        size_t points;
        int seconds;
    } logs[] = {{"issue-70", "issue-70.osm.gz", 17, 60}, {"issue-13", "map-issue13.osm.gz", 29, 1}};
    for (const auto& log : logs) {
        SCOPED_TRACE(log.gpx);
        KARVEL_REQUIRE_SHARED(gpx, std::string("graphhopper-osm-extracts/") + log.gpx + ".gpx");
        KARVEL_REQUIRE_SHARED(osm, std::string("graphhopper-osm-extracts/") + log.osm);
        TempDir dir;
        ASSERT_EQ(dir.run("$O -q -d . " + osm).exitCode, 0);
        std::ostringstream messages;
        const Route route = traces::loadRoute(gpx, messages);
        ASSERT_EQ(route.nodes.size(), log.points) << messages.str();
        // karvel reads NMEA only: the fixes `seconds` apart (equal GPX times would merge into one epoch).
        std::vector<karvel_test::Fix> fixes;
        for (const _node& n : route.nodes) fixes.push_back({n.position.lat, n.position.lon});
        karvel_test::writeFile(dir / ("data/nmea/" + std::string(log.gpx) + ".txt"),
                               karvel_test::nmeaLog(fixes, log.seconds));
        fs::create_directories(dir / "gpx");
        fs::copy_file(gpx, dir / ("gpx/" + std::string(log.gpx) + ".gpx"));
        ASSERT_EQ(runCommand(binaryPath() + " > report.txt", dir.str()).exitCode, 0);
        const auto geo = dir.run("$E --report report.txt --map data/map.txt -t gpx --format geojson");
        ASSERT_EQ(geo.exitCode, 0) << geo.out;
        const std::vector<std::string> faults = karvel_test::geoJsonFaults(geo.out);
        EXPECT_TRUE(faults.empty()) << faults.front();
        const json doc = json::parse(geo.out);
        size_t points = 0;
        for (const json& f : doc["features"]) {
            if (f["properties"]["kind"] != "fix") continue;
            EXPECT_FALSE(f["properties"]["link"].is_null()) << "point " << f["properties"]["point"];
            EXPECT_LT(f["properties"]["distance_m"].get<double>(), 60.0);
            ++points;
        }
        EXPECT_EQ(points, log.points);
    }
}

// A report that does not fit its traces or map is refused trace by trace; one that is cut off or
// repeats a trace is refused whole, before anything is written.
TEST(ExportProgram, AReportThatDoesNotFitItsTracesIsRefused) {
    TempDir dir;
    fs::create_directories(dir / "nmea");
    for (const std::string name : {"a", "b", "c", "d"})
        dir.write(("nmea/" + name + ".txt"),
                  karvel_test::nmeaLog(karvel_test::fixesAlong(48.0, 11.0, 48.0, 11.001, 3)));
    // A fix in Serbia on a map of Bavaria: not snapped hundreds of kilometres.
    dir.write("nmea/far.txt", karvel_test::nmeaLog(karvel_test::fixesAlong(44.8, 20.4, 44.8, 20.401, 3)));
    dir.write("map.txt", "2\n1 11.0 48.0 0 0\n2 11.001 48.0 0 0\n1\n1 2 0 0\n");
    const std::string end = "\n\nUnmatched Info: \n";
    const std::string a =
        "\tRoute #0: a\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 2 Links: (0, 1)  (1, 1)  (2, 1)  \n" + end;
    const std::string body =
        a + "\tRoute #1: gone\nPaths: \n" + end +
        "\tRoute #2: b\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 9 Links: (9, 1)  \n" + end +
        "\tRoute #3: c\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 0 Links: (0, 7)  \n" + end +
        "\tRoute #4: far\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 0 Links: (0, 1)  \n" + end +
        "\tRoute #5: d\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 0 Links: (0, 1)  \n\n"
        "Driven links: 1 8\n";
    dir.write("report.txt", body + end + "Finished running Ostrand.\n");
    dir.write("cut.txt", body);
    dir.write("twice.txt", body + end + a);
    const auto r = dir.run("$E --report report.txt --map map.txt -t nmea 2>err.txt");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << "header and trace a:\n" << r.out;
    // How many kilometres is a matter of the projection; that it is refused is not.
    EXPECT_EQ(std::regex_replace(dir.read("err.txt"), std::regex("lies [0-9]+ km"), "lies N km"),
              "ERROR: gone: no gone.txt, .gpx, .nmea or .log in nmea\n"
              "ERROR: b: point 9 is beyond the 3 points of nmea/b.txt\n"
              "ERROR: c: link 7 is not in the map (give the map of the run)\n"
              "ERROR: far: point 0 lies N km from its link 1 (give the map of the run)\n"
              "ERROR: d: link 8 is not in the map (give the map of the run)\n");
    for (const auto& [report, error] : {std::pair{"cut.txt", "is cut off in its last route"},
                                        {"twice.txt", "holds the trace \"a\" twice"}}) {
        const auto refused =
            dir.run("$E --report " + std::string(report) + " --map map.txt -t nmea -o out.csv 2>&1");
        EXPECT_EQ(std::tuple(refused.exitCode, refused.out, fs::exists(dir / "out.csv")),
                  std::tuple(1, "ERROR: the report " + std::string(report) + " " + error + "\n", false));
    }
}

}  // namespace
