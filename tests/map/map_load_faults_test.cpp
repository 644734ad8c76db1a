// Map file lines that cannot become map records: each is reported with its line, counted as a load
// fault (so the file is never written back without it), and never shifts the ids of later links.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::TempDir;
using mapRepresentation::Map;

namespace {

const std::string kNodes = "3\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n3 -8.4 41.3 0 0\n";

struct LoadCase {
    std::string name;
    std::string text;
    bool fault;                   // hadLoadError()
    std::string message;          // must appear in the output ("" = no output at all)
    std::vector<uint32_t> nodes;  // node ids loaded
    std::vector<int> links;       // link ids loaded
    uint32_t nextNodeId;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

std::string at(int line, const std::string& what, const char* outcome = "line refused") {
    return "ERROR: map file MAP, line " + std::to_string(line) + ": " + what + "; " + outcome + ".\n";
}

std::vector<LoadCase> cases() {
    return {
        {"Clean", kNodes + "2\n1 2 10 1\n2 3 10 1\n", false, "", {1, 2, 3}, {1, 2}, 4},
        {"TrailingBlankLines", kNodes + "1\n1 2 10 1\n\n  \n", false, "", {1, 2, 3}, {1}, 4},
        // The count says 1 but two link lines follow: the second would vanish on save.
        {"MoreLinesThanCounted",
         kNodes + "1\n1 2 10 1\n2 3 10 1\n",
         true,
         at(7, "more lines than the link count says", "loading stopped"),
         {1, 2, 3},
         {1},
         4},
        {"NegativeLinkCount",
         kNodes + "-5\n1 2 10 1\n",
         true,
         at(5, "the link count -5 is out of range (0 to 2147483646)", "loading stopped"),
         {1, 2, 3},
         {},
         4},
        {"MoreNodesThanCounted",
         "1\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n0\n",
         true,
         at(3, "expected the link count (one number)", "loading stopped"),
         {1},
         {},
         2},
        // A node off the globe is left out; the nodes and links after it still load.
        {"NodeOffTheGlobe",
         "3\n1 -8.6 41.1 0 0\n2 -86.58 127 0 0\n3 -8.4 41.3 0 0\n2\n1 3 10 1\n1 2 10 1\n",
         true,
         at(3, "position outside the globe (longitude then latitude expected)"),
         {1, 3},
         {1},
         4},
        {"LinkToUnknownNode",
         kNodes + "3\n1 2 10 1\n1 99 10 1\n2 3 10 1\n",
         true,
         at(7, "link 1 -> 99 refused"),
         {1, 2, 3},
         {1, 3},
         4},
        {"SelfLoop",
         kNodes + "2\n2 2 10 1\n2 3 10 1\n",
         true,
         at(6, "link 2 -> 2 refused"),
         {1, 2, 3},
         {2},
         4},
        {"DuplicateNode",
         "2\n1 -8.6 41.1 0 0\n1 -8.0 40 0 0\n0\n",
         true,
         at(3, "node id 1 given twice"),
         {1},
         {},
         2},
        // Ids that would wrap the counters are refused, never read modulo 2^32.
        {"TopNodeId",
         "2\n4294967295 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n0\n",
         true,
         at(2, "node id 4294967295 does not fit (0 to 4294967294)"),
         {2},
         {},
         3},
        {"NegativeNodeId",
         "2\n-5 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n0\n",
         true,
         at(2, "node id -5 does not fit (0 to 4294967294)"),
         {2},
         {},
         3},
        {"HugeNodeId",
         "1\n99999999999999999999 -8.6 41.1 0 0\n0\n",
         true,
         at(2, "node id 9223372036854775807 does not fit (0 to 4294967294)"),
         {},
         {},
         1},
        {"LargestNodeId", "1\n4294967294 -8.6 41.1 0 0\n0\n", false, "", {4294967294u}, {}, 4294967295u},
        {"NegativeLinkEnd",
         kNodes + "2\n-1 2 10 1\n2 3 10 1\n",
         true,
         at(6, "a node id or the sample count does not fit"),
         {1, 2, 3},
         {2},
         4},
        {"NegativeSamples",
         kNodes + "1\n1 2 10 -3\n",
         true,
         at(6, "a node id or the sample count does not fit"),
         {1, 2, 3},
         {},
         4},
        {"NegativeNodeCount",
         "-1\n0\n",
         true,
         at(1, "the node count -1 is out of range (0 to 4294967295)", "loading stopped"),
         {},
         {},
         1},
    };
}

class MapLoadFaults : public ::testing::TestWithParam<LoadCase> {};

TEST_P(MapLoadFaults, ReportsAndKeepsIds) {
    const LoadCase& c = GetParam();
    TempDir dir;
    karvel_test::writeFile(dir / "m.txt", c.text);
    testing::internal::CaptureStdout();
    const Map map(dir / "m.txt");
    std::string out = testing::internal::GetCapturedStdout();
    for (size_t p; (p = out.find(dir / "m.txt")) != std::string::npos;)
        out.replace(p, (dir / "m.txt").size(), "MAP");

    EXPECT_EQ(map.hadLoadError(), c.fault);
    if (c.message.empty())
        EXPECT_EQ(out, "");
    else
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    std::vector<uint32_t> nodes;
    for (const auto& [id, n] : map.nodes) nodes.push_back(id);
    std::vector<int> links;
    for (const auto& [id, l] : map.links) links.push_back(id);
    EXPECT_EQ(nodes, c.nodes);
    EXPECT_EQ(links, c.links);
    EXPECT_EQ(map.nextNodeId, c.nextNodeId);
    EXPECT_EQ(karvel_test::checkMapInvariants(map), "");
}

INSTANTIATE_TEST_SUITE_P(Lines, MapLoadFaults, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

// Splitting a link at a position off the globe changes nothing: no node, no link, no id taken.
TEST(MapEditFaults, AddNodeInLinkOffTheGlobe) {
    TempDir dir;
    karvel_test::writeFile(dir / "m.txt", kNodes + "2\n1 2 10 1\n2 3 10 1\n");
    Map map(dir / "m.txt");
    const Map before = map;
    testing::internal::CaptureStdout();
    EXPECT_EQ(map.addNodeInLink(1, 95.0, -8.55, 0, 0), 0u);
    EXPECT_EQ(map.addNodeInLink(1, std::nan(""), -8.55, 0, 0), 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR: node position outside the globe"), std::string::npos) << out;
    EXPECT_EQ(map.nodes.size(), before.nodes.size());
    EXPECT_EQ(map.links.size(), before.links.size());
    EXPECT_EQ(map.links.at(1).destination, 2u);
    EXPECT_EQ(map.nextNodeId, before.nextNodeId);
    EXPECT_EQ(map.nextLinkId, before.nextLinkId);
    EXPECT_EQ(karvel_test::checkMapInvariants(map), "");
}

}  // namespace
