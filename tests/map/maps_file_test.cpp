// The map file (reading, writing, faults), positions off the globe, the lookups and the copy
// semantics of the map; the one plane a map measures in.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::printed;
using karvel_test::TempDir;
using mapRepresentation::Map;

namespace {

const std::string kSmallMap = "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n1\n1 2 13.5 3\n";
const std::string kNodes = "3\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n3 -8.4 41.3 0 0\n";

// Loads `text` from dir/map.txt; what loading printed goes to *said.
Map load(const TempDir& dir, const std::string& text, std::string* said = nullptr) {
    dir.write("map.txt", text);
    Map m;
    const std::string out = printed([&] { m.initMap(dir / "map.txt"); });
    if (said) *said = out;
    return m;
}

// "<node ids>|<link ids>|<nextNodeId>"
std::string ids(const Map& m) {
    std::string out;
    for (const auto& [id, n] : m.nodes) out += (out.empty() ? "" : " ") + std::to_string(id);
    out += "|";
    for (const auto& [id, l] : m.links) out += (out.back() == '|' ? "" : " ") + std::to_string(id);
    return out + "|" + std::to_string(m.nextNodeId);
}

// Every line that cannot become a map record is reported with its line ("@" stands for
// "ERROR: map file <path>, line "), counted as a load fault (so the file is never written back
// without it), and never shifts the ids of later links or of the next node.
TEST(MapFile, LinesAndFaults) {
    const std::string n1 = "1 -8.6 41.1 0 0\n", n2 = "2 -8.5 41.2 0 0\n";
    std::string longest = "1 -8.6 41.1 0 0";
    longest.resize(1022, ' ');
    const std::string stop = "; loading stopped.\n", refused = "; line refused.\n";
    const std::string fit = " does not fit (0 to 4294967294)" + refused,
                      noFit = "a node id or the sample count does not fit";
    const std::string offGlobe = "position outside the globe (longitude then latitude expected)" + refused;
    const std::string fields = "expected 5 fields: id longitude latitude averageSnr hdop" + stop;
    struct Case {
        std::string text, error, result;
    };
    const Case cases[] = {
        {kNodes + "2\n1 2 10 1\n2 3 10 1\n\n  \n", "", "1 2 3|1 2|4"},
        {"", "", "||1"},
        {"2\n9 -8.6 41.1 0 0\n5 -8.5 41.2 0 0\n0\n", "", "5 9||10"},
        {"1\n4294967294 -8.6 41.1 0 0\n0\n", "", "4294967294||4294967295"},
        {"1\n" + longest + "\n0\n", "", "1||2"},  // 1022 characters are fine
        // The count says 1 but two link lines follow: the second would vanish on save.
        {kNodes + "1\n1 2 10 1\n2 3 10 1\n", "@7: more lines than the link count says" + stop, "1 2 3|1|4"},
        {kNodes + "-5\n1 2 10 1\n", "@5: the link count -5 is out of range (0 to 2147483646)" + stop,
         "1 2 3||4"},
        {"1\n" + n1 + n2 + "0\n", "@3: expected the link count (one number)" + stop, "1||2"},
        {"two\n" + n1, "@1: expected the node count (one number)" + stop, "||1"},
        {"2\n" + n1 + n2 + "\n1 2 1 1\n", "@4: expected the link count (one number)" + stop, "1 2||3"},
        {"2\n" + n1 + "2 -8.5 41.2\n1\n1 2 1 1\n", "@3: " + fields, "1||2"},
        // A huge count neither allocates nor waits for lines that are not there.
        {"4000000000\n" + n1 + n2, "@4: file ends before the expected node line" + stop, "1 2||3"},
        {"2\n" + n1 + n2 + "3\n1 2 1 1\n2 1 1 1\n", "@7: file ends before the expected link line" + stop,
         "1 2|1 2|3"},
        {"2\n" + n1 + n2 + "1\n1 2\n", "@5: expected 4 fields: origin destination speed samples" + stop,
         "1 2||3"},
        {"2\n" + longest + " \n" + n2 + "0\n", "@2: line longer than 1022 characters" + stop, "||1"},
        {"1\n" + n1 + "0" + std::string(2000, ' '), "@3: line longer than 1022 characters" + stop, "1||2"},
        // Refused lines are left out; the lines after them still load, with their own ids.
        {"3\n1 -8.6 41.1 0 0\n2 -86.58 127 0 0\n3 -8.4 41.3 0 0\n2\n1 3 10 1\n1 2 10 1\n",
         "@3: " + offGlobe + "ERROR: non existing node. (2)\n@7: link 1 -> 2 refused" + refused, "1 3|1|4"},
        {kNodes + "3\n1 2 10 1\n1 99 10 1\n2 3 10 1\n", "@7: link 1 -> 99 refused" + refused, "1 2 3|1 3|4"},
        // A duplicate node and a self-loop (which still takes link id 2), the last line without a line end.
        {"3\n" + n1 + n2 + "1 -8.4 41.3 7 8\n3\n1 2 1 1\n2 2 1 1\n2 1 1 1",
         "@4: node id 1 given twice" + refused +
             "ERROR: trying to add a link with the same start and end node.\n@7: link 2 -> 2 refused" +
             refused,
         "1 2|1 3|3"},
        {kNodes + "2\n-1 2 10 1\n2 3 10 -3\n", "@6: " + noFit + refused + "@7: " + noFit + refused,
         "1 2 3||4"},
        // Ids that would wrap the counters are refused, never read modulo 2^32.
        {"2\n4294967295 -8.6 41.1 0 0\n" + n2 + "0\n", "@2: node id 4294967295" + fit, "2||3"},
        {"2\n-5 -8.6 41.1 0 0\n" + n2 + "0\n", "@2: node id -5" + fit, "2||3"},
        // A NUL byte hides the rest of its line from the parser: that rest would be lost (found by fuzzing).
        {kNodes + "1\n1 2 10 1" + std::string(1, '\0') + " 7\n", "@6: a NUL byte inside the line" + stop,
         "1 2 3||4"},
        // Found by fuzzing: a node off the globe (longitude and latitude swapped by the tool that wrote
        // it) was kept in the graph but not in the index, so nearest searches never saw it.
        {"300\n1  -86.58  127 0.000000000 0\n128  129 0.000000000 0\n", "@2: " + offGlobe + "@3: " + fields,
         "||1"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        std::string said;
        const Map m = load(dir, c.text, &said);
        std::string error = c.error;
        for (size_t at; (at = error.find('@')) != std::string::npos;)
            error.replace(at, 1, "ERROR: map file " + (dir / "map.txt") + ", line ");
        const size_t first = said.find("ERROR: map file");
        EXPECT_EQ(first == std::string::npos ? said : said.substr(first), error);
        EXPECT_EQ(m.hadLoadError(), !error.empty());
        EXPECT_EQ(ids(m), c.result);
        EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
    }
    // A missing map is an empty map; one that exists but cannot be read is a fault.
    Map m;
    EXPECT_EQ(printed([&] { m.initMap(dir / "nothing.txt"); }), "");
    EXPECT_FALSE(m.hadLoadError());
    std::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(printed([&] { m.initMap(dir / "folder"); }).rfind("ERROR: map file ", 0), 0u);
    EXPECT_TRUE(m.hadLoadError());
}

// The loader reads its fields without sscanf, so it must accept the same text with the same values.
TEST(MapFile, FieldsReadLikeScanf) {
    const std::vector<std::string> lines = {"7 -8.6 41.1 0 0", "\t8\t+8.5e0\t4.1e1 -0 1e400",
                                            "9 0x10 0x29p0 .5 5.",
                                            "10 -8.600000000000000000001 41.1 nan -inf"};
    std::string text = "  +4\n";
    for (const auto& l : lines) text += l + "\n";
    TempDir dir;
    std::string said;
    const Map m = load(dir, text + "0\n", &said);
    EXPECT_EQ(said, "");
    const auto same = [](double a, double b) {
        return a == b ? std::signbit(a) == std::signbit(b) : std::isnan(a) && std::isnan(b);
    };
    for (const auto& l : lines) {
        unsigned id = 0;
        double lon, lat, snr, hdop;
        std::sscanf(l.c_str(), " %u %lf %lf %lf %lf", &id, &lon, &lat, &snr, &hdop);
        const auto& n = m.nodes.at(id);
        EXPECT_TRUE(same(n.longitude, lon) && same(n.latitude, lat) && same(n.averageSnr, snr) &&
                    same(n.hdop, hdop))
            << l;
    }
}

// The exact text read and saved; a copy, an assignment and a move each own their index.
TEST(MapFile, ReadsAndSavesTheExactTextAndCopies) {
    TempDir dir;
    std::string said;
    Map m = load(dir, kSmallMap, &said);
    const Point a = m.getNodePoint(1), b = m.getNodePoint(2);
    EXPECT_EQ(std::tuple(said, m.links.at(1).length, m.links.at(1).heading, m.nextLinkId),
              std::tuple("", distance2Points(a, b), calcHeading(a, b), 2));
    EXPECT_NEAR(a.y, 4550000, 10000);  // a UTM northing, not a latitude
    dir.write("out.txt", "old contents\n");
    ASSERT_TRUE(m.saveMap(dir / "out.txt"));
    EXPECT_EQ(dir.read("out.txt"),
              "2\n1  -8.600000000  41.100000000 0.000000000 0.000000000\n"
              "2  -8.500000000  41.200000000 0.000000000 0.000000000\n1\n1  2 13.500000000 3\n");
    ASSERT_TRUE(m.saveMapForPelorn(dir / "pelorn.txt"));
    char expected[200];
    std::snprintf(expected, sizeof expected, "1 1  2 %.9f %.9f 13.500000000 3\n", m.links.at(1).heading,
                  m.links.at(1).length);
    EXPECT_NE(dir.read("pelorn.txt").find(expected), std::string::npos);

    // Every copy owns its index.
    Map copy(m);
    copy.addNode(3, 41.15, -8.55, 0, 0);
    copy.addLinkToNode(2, 3, 1, 1);
    Map assigned;
    assigned = copy;
    assigned = *&assigned;
    EXPECT_EQ(ids(m) + " " + ids(assigned), "1 2|1|3 1 2 3|1 2|3");
    Map moved(std::move(copy));
    EXPECT_EQ(ids(moved) + " " + ids(copy), "1 2 3|1 2|3 ||1");  // the source stays a valid, empty map
    for (const Map* each : {&m, &assigned, &moved, &copy})
        EXPECT_EQ(karvel_test::checkMapInvariants(*each), "");
}

TEST(MapFile, PositionsOffTheGlobeAreRefused) {
    TempDir dir;
    Map m = load(dir, kNodes + "1\n1 2 10 1\n");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string said = printed([&] {
        for (const auto& [lat, lon] :
             {std::pair{127.0, -86.58}, {-90.5, 0.0}, {0.0, 180.5}, {nan, 0.0}, {0.0, -INFINITY}})
            EXPECT_EQ(m.addNode(7, lat, lon, 0, 0), 7u);
        EXPECT_EQ(m.addNodeInLink(1, 95.0, -8.55, 0, 0) + m.addNodeInLink(1, nan, -8.5, 0, 0), 0u);
    });
    EXPECT_EQ(said.rfind("ERROR: node 7 lies outside the globe (127, -86.58); not added.\n", 0), 0u) << said;
    EXPECT_EQ(std::tuple(ids(m), m.links.at(1).destination, m.graph.size()), std::tuple("1 2 3|1|4", 2u, 3u));
    for (const auto& [lat, lon] : {std::pair{90.0, 180.0}, {-90.0, -180.0}, {0.0, 180.0}})
        m.addNode(m.nextNodeId++, lat, lon, 0, 0);
    EXPECT_EQ(m.nodes.size(), 6u);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
}

// A ladder of two parallel streets 100 m apart (nodes 1-10 and 11-20), crossing 12 deg E, 40 m
// between nodes, with a rung at every third node.
std::string ladder() {
    std::vector<std::pair<double, double>> nodes;
    std::vector<std::pair<int, int>> links;
    for (int side = 0; side < 2; ++side)
        for (int i = 0; i < 10; ++i) {
            nodes.emplace_back(48.137 + side * 0.0009, 11.9976 + i * 0.00054);
            if (i > 0) links.emplace_back(side * 10 + i, side * 10 + i + 1);
        }
    for (int i = 1; i <= 10; i += 3) links.emplace_back(i, i + 10);
    return karvel_test::mapText(nodes, links);
}

void expectGroundLengths(const Map& m) {
    for (const auto& [id, link] : m.links) {
        const double ground =
            geo::groundDistance(m.getNodePosition(link.origin), m.getNodePosition(link.destination));
        EXPECT_NEAR(link.length, ground, ground * 1e-3) << "link " << id;
    }
}

// A map measures in one plane: across the zone line at 12 deg E its links keep their ground lengths
// and its searches see both sides.
TEST(MapFrame, AMapAcrossAZoneLineMeasuresInOnePlane) {
    TempDir dir;
    const Map m = load(dir, ladder());
    ASSERT_EQ(m.nodes.size(), 20u);
    EXPECT_EQ(m.planeFrame(), geo::PlaneFrame::ofZone(33, false));  // the middle lies just east of 12
    expectGroundLengths(m);
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
    // From a point 5 m off the street, just west of the line: the link across it at 5 m, and the
    // end of the one before at 15 m.
    const auto near = m.getNearestLinksAndDistances(48.137045, 11.99995, 20);
    ASSERT_EQ(near.size(), 2u);
    EXPECT_TRUE(near[0].first == 4 && std::fabs(near[0].second - 15.0) < 0.2 && near[1].first == 5 &&
                std::fabs(near[1].second - 5.0) < 0.1)
        << near[0].second << " " << near[1].second;
    // The bulk loader and a copy choose and keep the same frame.
    std::vector<mapRepresentation::BulkNode> nodes;
    std::vector<mapRepresentation::BulkLink> links;
    for (const auto& [id, n] : m.nodes) nodes.push_back({id, n.latitude, n.longitude, 0, 0});
    for (const auto& [id, l] : m.links) links.push_back({l.origin, l.destination, 0, 0});
    Map bulk;
    ASSERT_TRUE(mapRepresentation::buildInBulk(bulk, nodes, links));
    EXPECT_EQ(bulk.planeFrame(), m.planeFrame());
    EXPECT_EQ(bulk.links.at(5).length, m.links.at(5).length);
    EXPECT_EQ(Map(bulk).getNearestLinks(48.137045, 11.99995, 20), m.getNearestLinks(48.137045, 11.99995, 20));
}

// A map grown node by node keeps the frame of its first node; moving it elsewhere measures again.
TEST(MapFrame, GrownMapsAndAnotherFrame) {
    Map m;
    karvel_test::printed([&] {
        m.addNode(1, 48.137, 11.9990, 0, 0);
        m.addNode(2, 48.137, 12.0010, 0, 0);
        m.addNode(3, 48.1375, 12.0010, 0, 0);
        m.addLinkToNode(1, 2, 0, 0);
        m.addLinkToNode(2, 3, 0, 0);
    });
    EXPECT_EQ(m.planeFrame(), geo::PlaneFrame::ofZone(32, false));
    expectGroundLengths(m);
    const double before = m.nodes.at(1).easting;
    m.usePlaneFrame(geo::PlaneFrame::ofZone(33, false));
    expectGroundLengths(m);
    EXPECT_LT(m.nodes.at(1).easting, before - 400000);
    EXPECT_EQ(m.getNearestPoints(48.137, 12.0010, 1), std::vector<uint32_t>{2});
    EXPECT_EQ(karvel_test::checkMapInvariants(m), "");
    // Node 1 moved halfway to node 2 stays on the street, on the line (within the 0.2 m by which the
    // two truncated series disagree 3 deg from the central meridian).
    karvel_test::printed([&] { m.calcAvgNode(1, 1, 2, 1); });
    EXPECT_LT(geo::groundDistance(m.getNodePosition(1), {48.137, 12.0}), 1.0);
}

}  // namespace
