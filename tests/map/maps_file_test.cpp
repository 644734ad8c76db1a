// The map file (reading, writing, faults), the lookups and the copy semantics of the map.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "map/quadtree.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::readFile;
using karvel_test::TempDir;
using mapRepresentation::Map;

namespace {

const char* kSmallMap = "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n1\n1 2 13.5 3\n";
const char* kSmallMapSaved =
    "2\n"
    "1  -8.600000000  41.100000000 0.000000000 0.000000000\n"
    "2  -8.500000000  41.200000000 0.000000000 0.000000000\n"
    "1\n"
    "1  2 13.500000000 3\n";

// Loads a map from text; `printed` receives what loading wrote to standard output.
Map loadText(const TempDir& dir, const std::string& text, std::string* printed = nullptr) {
    karvel_test::writeFile(dir / "map.txt", text);
    testing::internal::CaptureStdout();
    Map m(dir / "map.txt");
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return m;
}

TEST(MapFile, ReadsTheExampleAndItsIdRules) {
    TempDir dir;
    std::string printed;
    const Map m = loadText(dir, kSmallMap, &printed);
    EXPECT_EQ(printed, "");
    EXPECT_DOUBLE_EQ(m.nodes.at(1).latitude, 41.1);
    EXPECT_DOUBLE_EQ(m.nodes.at(2).longitude, -8.5);
    const auto& l = m.links.at(1);
    EXPECT_EQ(l.origin * 10 + l.destination, 12u);
    EXPECT_DOUBLE_EQ(l.speed, 13.5);
    EXPECT_EQ(l.samples, 3u);
    EXPECT_EQ(m.nextNodeId, 3u);
    EXPECT_EQ(m.nextLinkId, 2);
    const Point a = m.getNodePoint(1), b = m.getNodePoint(2);
    EXPECT_NEAR(a.y, 4550000, 10000);  // a UTM northing, not a latitude
    EXPECT_DOUBLE_EQ(l.length, distance2Points(a, b));
    EXPECT_DOUBLE_EQ(l.heading, calcHeading(a, b));

    EXPECT_EQ(loadText(dir, "2\n9 -8.6 41.1 0 0\n5 -8.5 41.2 0 0\n0\n").nextNodeId, 10u);
    EXPECT_EQ(loadText(dir, "0\n0\n").nextNodeId, 1u);
    // Refused lines: the duplicate node keeps the first; the self-loop still consumes link id 2.
    // (The last line has no line end.)
    const Map refused = loadText(
        dir, "3\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n1 -8.4 41.3 7 8\n3\n1 2 1 1\n2 2 1 1\n2 1 1 1", &printed);
    const std::string at = "ERROR: map file " + (dir / "map.txt") + ", line ";
    EXPECT_EQ(printed, "ERROR: trying to add a node with an existing key : 1\n" + at +
                           "4: node id 1 given twice; line refused.\n"
                           "ERROR: trying to add a link with the same start and end node.\n" +
                           at + "7: link 2 -> 2 refused; line refused.\n");
    EXPECT_DOUBLE_EQ(refused.nodes.at(1).latitude, 41.1);
    EXPECT_EQ(refused.links.count(1) + refused.links.count(3), 2u);
    EXPECT_EQ(refused.links.size(), 2u);
    // The file holds what the map does not: it must not be written back.
    EXPECT_TRUE(refused.hadLoadError());
    EXPECT_EQ(karvel_test::checkMapInvariants(refused), "");  // node 1 indexed once
}

// The loader reads its fields without sscanf, so it must accept the same text with the same values.
TEST(MapFile, FieldsReadLikeScanf) {
    const std::vector<std::string> lines = {"7 -8.6 41.1 0 0", "\t8\t+8.5e0\t4.1e1 -0 1e400",
                                            "9 0x10 0x29p0 .5 5.",
                                            "10 -8.600000000000000000001 41.1 nan -inf"};
    std::string text = "  +4\n";
    for (const auto& l : lines) text += l + "\n";
    TempDir dir;
    std::string printed;
    const Map m = loadText(dir, text + "0\n", &printed);
    EXPECT_EQ(printed, "");
    const auto same = [](double a, double b) {
        return a == b ? std::signbit(a) == std::signbit(b) : std::isnan(a) && std::isnan(b);
    };
    for (const auto& l : lines) {
        unsigned id = 0;
        double lon, lat, snr, hdop;
        ASSERT_EQ(std::sscanf(l.c_str(), " %u %lf %lf %lf %lf", &id, &lon, &lat, &snr, &hdop), 5);
        ASSERT_EQ(m.nodes.count(id), 1u) << l;
        const auto& n = m.nodes.at(id);
        EXPECT_TRUE(same(n.longitude, lon) && same(n.latitude, lat) && same(n.averageSnr, snr) &&
                    same(n.hdop, hdop))
            << l;
    }
}

TEST(MapFile, SavesTheExactTextAndReplacesTheFileOnlyWhenComplete) {
    TempDir dir;
    const Map m = loadText(dir, kSmallMap);
    karvel_test::writeFile(dir / "out.txt", "old contents\n");
    ASSERT_TRUE(m.saveMap(dir / "out.txt"));
    EXPECT_EQ(readFile(dir / "out.txt"), kSmallMapSaved);
    ASSERT_TRUE(m.saveMapForPelorn(dir / "pelorn.txt"));
    char expected[200];
    std::snprintf(expected, sizeof expected, "1 1  2 %.9f %.9f 13.500000000 3\n", m.links.at(1).heading,
                  m.links.at(1).length);
    EXPECT_NE(readFile(dir / "pelorn.txt").find(expected), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);  // no temporary left

    // A target that cannot be replaced (a folder) or created: an ERROR line, false, nothing touched.
    std::filesystem::create_directory(dir / "folder");
    for (const std::string& target : {dir / "folder", dir / "missing/map.txt"}) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(m.saveMap(target));
        EXPECT_FALSE(m.saveMapForPelorn(target));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2) << printed;
        EXPECT_EQ(printed.rfind("ERROR: ", 0), 0u) << printed;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 4);

    // Saved link ids are not kept: reloading numbers the links 1, 2, ... in saved order.
    Map gaps;
    for (uint32_t id : {4u, 7u, 8u}) gaps.addNode(id, 41.1 + id * 0.001, -8.6, 1.5, 2.5);
    gaps.addLink(20, 7, 8, 6.0, 3);
    gaps.addLink(30, 8, 4, 7.0, 4);
    ASSERT_TRUE(gaps.saveMap(dir / "gaps.txt"));
    const Map back(dir / "gaps.txt");
    EXPECT_EQ(back.links.at(2).destination, 4u);
    EXPECT_DOUBLE_EQ(back.nodes.at(8).hdop, 2.5);
    EXPECT_EQ(back.nextNodeId, 9u);
}

TEST(MapFile, MissingOrEmptyFileGivesAnEmptyMapSilently) {
    TempDir dir;
    for (const char* text : {"", "0", "0\n"}) {
        std::string printed;
        const Map m = loadText(dir, text, &printed);
        EXPECT_TRUE(m.nodes.empty() && printed.empty() && !m.hadLoadError());
    }
    testing::internal::CaptureStdout();
    const Map m(dir / "nothing.txt");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(m.hadLoadError());
}

// A faulty file: what was read before the fault stays, nothing is invented, one ERROR line names
// the file and the line, and hadLoadError tells the driver not to save over it.
TEST(MapFile, FaultyFilesStopWithOneErrorLine) {
    const std::string n1 = "1 -8.6 41.1 0 0\n", n2 = "2 -8.5 41.2 0 0\n";
    std::string longest = "1 -8.6 41.1 0 0";
    longest.resize(1022, ' ');
    struct Case {
        std::string text;
        int line;
        size_t nodes, links;
    };
    const auto start = std::chrono::steady_clock::now();
    for (const Case& c : std::vector<Case>{
             {"2\n" + n1 + "2 -8.5 41.2\n1\n1 2 1 1\n", 3, 1, 0},   // short node line
             {"3\n" + n1 + n2, 4, 2, 0},                            // fewer node lines than counted
             {"2\n" + n1 + n2 + "3\n1 2 1 1\n2 1 1 1\n", 7, 2, 2},  // fewer link lines than counted
             {"2\n" + n1 + n2 + "1\n1 2\n", 5, 2, 0},               // short link line
             {"two\n" + n1, 1, 0, 0},
             {"2\n" + n1 + n2 + "\n1 2 1 1\n", 4, 2, 0},       // empty count line
             {"4000000000\n" + n1 + n2, 4, 2, 0},              // a huge count neither allocates nor waits
             {"2\n" + longest + " \n" + n2 + "0\n", 2, 0, 0},  // 1023 characters
             {"1\n" + n1 + "0" + std::string(2000, ' '), 3, 1, 0},
         }) {
        TempDir dir;
        std::string printed;
        const Map m = loadText(dir, c.text, &printed);
        SCOPED_TRACE(c.text.substr(0, 60));
        EXPECT_TRUE(m.hadLoadError());
        EXPECT_EQ(printed.rfind(
                      "ERROR: map file " + (dir / "map.txt") + ", line " + std::to_string(c.line) + ":", 0),
                  0u)
            << printed;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
        EXPECT_EQ(m.nodes.size() * 10 + m.links.size(), c.nodes * 10 + c.links);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    TempDir dir;
    EXPECT_EQ(loadText(dir, "1\n" + longest + "\n0\n").nodes.size(), 1u);  // 1022 characters are fine
    std::filesystem::create_directory(dir / "folder");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(Map(dir / "folder").hadLoadError());  // exists but cannot be read
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("ERROR: map file ", 0), 0u);
}

TEST(MapLookups, MissingIdsPrintTheirMessageAndGiveDefaults) {
    TempDir dir;
    Map m = loadText(dir, kSmallMap);
    testing::internal::CaptureStdout();
    EXPECT_EQ(m.getNodePoint(77), Point{});
    EXPECT_EQ(m.getNodePosition(78), _position{});
    EXPECT_EQ(m.getLink(79).sequenceNumber, -1);
    EXPECT_EQ(m.getNodeIndegree(80) + m.getNodeOutdegree(81) + m.getNodeDegree(82), -3);
    EXPECT_EQ(m.getSuperLinkKey(83) + m.getSequenceNumber(84), -2);
    EXPECT_EQ(m.addLinkToNode(1, 9, 1, 1), -1);  // refused: an end is missing; id 2 is consumed
    EXPECT_EQ(m.addLink(1, 2, 1, 1, 1), -1);     // refused: id in use
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "ERROR: non existing node. (77)\nERROR: non existing node. (78)\nERROR: non existing link. (79)\n"
        "ERROR: There's no node in the map with key: 80\nERROR: There's no node in the map with key: 81\n"
        "ERROR: There's no node in the map with key: 82\nERROR: There's no link in the map with key: 83\n"
        "ERROR: There's no link in the map with key: 84\nERROR: non existing node. (9)\n"
        "ERROR: trying to add a link with an existing key : 1\n");
    EXPECT_EQ(m.nextLinkId, 3);
    EXPECT_EQ(m.graph.size() + m.links.size(), 3u);
    m.addNode(3, 41.3, -8.4, 0, 0);
    EXPECT_EQ(m.getNodeIndegree(3), 0);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

TEST(MapCopy, EveryCopyOwnsItsIndex) {
    TempDir dir;
    Map original = loadText(dir, kSmallMap);
    Map copy(original);
    copy.addNode(3, 41.15, -8.55, 0, 0);
    copy.addLinkToNode(2, 3, 1, 1);
    EXPECT_EQ(original.nodes.size() * 10 + original.links.size(), 21u);
    EXPECT_EQ(karvel_test::checkMapInvariants(original) + karvel_test::checkMapInvariants(copy), "");

    Map assigned;
    assigned = copy;
    assigned = *&assigned;
    EXPECT_EQ(karvel_test::checkMapInvariants(assigned), "");

    // The driver's way of loading: assigning a map built from the file; the fault flag goes along.
    Map global;
    global = loadText(dir, "3\n1 -8.6 41.1 0 0\n");
    EXPECT_TRUE(global.hadLoadError());
    EXPECT_EQ(karvel_test::checkMapInvariants(global), "");
    Map moved(std::move(copy));
    EXPECT_EQ(moved.nodes.size(), 3u);
    EXPECT_TRUE(copy.nodes.empty());  // the source stays a valid, empty map
    EXPECT_EQ(karvel_test::checkMapInvariants(moved) + karvel_test::checkMapInvariants(copy), "");
}

}  // namespace
