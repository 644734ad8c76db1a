// End-to-end runs of karvel on hand-built maps whose right answer is obvious.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::Fix;
using karvel_test::fixesAlong;
using karvel_test::nmeaLog;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

struct Node {
    int id;
    double lat, lon;
};

std::string mapFile(const std::vector<Node>& nodes, const std::vector<std::pair<int, int>>& links) {
    std::ostringstream out;
    out << nodes.size() << "\n";
    for (const Node& n : nodes) out << n.id << " " << n.lon << " " << n.lat << " 0 0\n";
    out << links.size() << "\n";
    for (const auto& [o, d] : links) out << o << " " << d << " 0 0\n";
    return out.str();
}

// The report block of one trace whose points form one path on the given links.
std::string onePathReport(int index, const std::string& name, const std::vector<int>& linkPerPoint) {
    std::ostringstream out;
    out << "loading nmea file: data/nmea/" << name << ".txt\n";
    out << "\tRoute #" << index << ": " << name << "\n";
    out << "Paths: \n";
    out << "Score: 0  Avg: 0 Start: 0 Last: " << linkPerPoint.size() - 1 << " Links: ";
    for (size_t i = 0; i < linkPerPoint.size(); ++i) out << "(" << i << ", " << linkPerPoint[i] << ")  ";
    out << "\n\n\n\nUnmatched Info: \n";
    return out.str();
}

// The part of the output between the start-up lines and "Finished running Ostrand.".
std::string traceReports(const std::string& out) {
    const std::string start = "Ready to run Ostrand.\n\n";
    const size_t a = out.find(start);
    const size_t b = out.find("Finished running Ostrand.");
    if (a == std::string::npos || b == std::string::npos) return out;
    return out.substr(a + start.size(), b - a - start.size());
}

std::string runIn(const TempDir& dir, const std::string& args = "") {
    const auto r = runCommand(binaryPath("karvel") + " " + args, dir.str());
    EXPECT_EQ(r.exitCode, 0);
    return r.out;
}

}  // namespace

TEST(Pipeline, StraightOneWayRoad) {
    TempDir dir;
    writeFile(dir / "data/map.txt", mapFile({{1, 41.15, -8.61}, {2, 41.15, -8.604}}, {{1, 2}}));
    writeFile(dir / "data/nmea/straight.txt", nmeaLog(fixesAlong(41.15, -8.6098, 41.15, -8.6042, 40)));
    EXPECT_EQ(traceReports(runIn(dir)), onePathReport(0, "straight", std::vector<int>(40, 1)));
}

TEST(Pipeline, TwoWayRoadIsMatchedInTheDirectionOfTravel) {
    TempDir dir;
    writeFile(dir / "data/map.txt", mapFile({{1, 41.15, -8.61}, {2, 41.15, -8.604}}, {{1, 2}, {2, 1}}));
    writeFile(dir / "data/nmea/westward.txt", nmeaLog(fixesAlong(41.15, -8.6042, 41.15, -8.6098, 40)));
    EXPECT_EQ(traceReports(runIn(dir)), onePathReport(0, "westward", std::vector<int>(40, 2)));
}

TEST(Pipeline, TurnAtAJunctionAndKmlDocument) {
    TempDir dir;
    // A -> B east, then at B either north to C or on east to D.
    writeFile(dir / "data/map.txt",
              mapFile({{1, 41.15, -8.61}, {2, 41.15, -8.6064}, {3, 41.1527, -8.6064}, {4, 41.15, -8.6028}},
                      {{1, 2}, {2, 3}, {2, 4}}));
    std::vector<Fix> fixes = fixesAlong(41.15, -8.6099, 41.15, -8.6065, 30);
    for (const Fix& f : fixesAlong(41.15005, -8.6064, 41.1526, -8.6064, 25)) fixes.push_back(f);
    writeFile(dir / "data/nmea/turn.txt", nmeaLog(fixes));

    std::vector<int> links(30, 1);
    links.resize(55, 2);
    EXPECT_EQ(traceReports(runIn(dir, "-M")), onePathReport(0, "turn", links));

    const std::string kml = dir / "data/match_ostrand_turn.kml";
    ASSERT_TRUE(std::filesystem::exists(kml));
    EXPECT_EQ(runCommand("xmllint --noout '" + kml + "' 2>&1").out, "");
}

TEST(Pipeline, TraceFarFromEveryRoadIsOneUnmatchedStretch) {
    TempDir dir;
    writeFile(dir / "data/map.txt", mapFile({{1, 41.15, -8.61}, {2, 41.15, -8.604}}, {{1, 2}}));
    writeFile(dir / "data/nmea/far.txt", nmeaLog(fixesAlong(41.16, -8.6098, 41.16, -8.6042, 12)));
    EXPECT_EQ(traceReports(runIn(dir)),
              "loading nmea file: data/nmea/far.txt\n\tRoute #0: far\nPaths: \n\n\nUnmatched Info: \n"
              "Start node: 0 End node: 11 Last Match: -1 Next Match: -1 Last Path: -1 Next Path: -1\n");
}
