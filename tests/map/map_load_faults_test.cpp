// Map file lines that cannot become map records: each is reported with its line, counted as a load
// fault (so the file is never written back without it), and never shifts the ids of later links.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::TempDir;
using mapRepresentation::Map;

namespace {

const std::string kNodes = "3\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n3 -8.4 41.3 0 0\n";

struct LoadCase {
    std::string name;
    std::string text;
    std::string error;   // "<line>: <what>; <outcome>." of the fault, "" for a clean load
    std::string result;  // "<node ids>|<link ids>|<nextNodeId>"
};

void PrintTo(const LoadCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<LoadCase> cases() {
    const std::string stop = "; loading stopped.", refused = "; line refused.";
    const std::string fit = " does not fit (0 to 4294967294)" + refused;
    return {
        {"Clean", kNodes + "2\n1 2 10 1\n2 3 10 1\n\n  \n", "", "1 2 3|1 2|4"},
        // The count says 1 but two link lines follow: the second would vanish on save.
        {"MoreLinesThanCounted", kNodes + "1\n1 2 10 1\n2 3 10 1\n",
         "7: more lines than the link count says" + stop, "1 2 3|1|4"},
        {"NegativeLinkCount", kNodes + "-5\n1 2 10 1\n",
         "5: the link count -5 is out of range (0 to 2147483646)" + stop, "1 2 3||4"},
        {"MoreNodesThanCounted", "1\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n0\n",
         "3: expected the link count (one number)" + stop, "1||2"},
        // Refused lines are left out; the lines after them still load, with their own ids.
        {"NodeOffTheGlobe", "3\n1 -8.6 41.1 0 0\n2 -86.58 127 0 0\n3 -8.4 41.3 0 0\n2\n1 3 10 1\n1 2 10 1\n",
         "3: position outside the globe (longitude then latitude expected)" + refused, "1 3|1|4"},
        {"LinkToUnknownNode", kNodes + "3\n1 2 10 1\n1 99 10 1\n2 3 10 1\n",
         "7: link 1 -> 99 refused" + refused, "1 2 3|1 3|4"},
        // Ids that would wrap the counters are refused, never read modulo 2^32.
        {"TopNodeId", "2\n4294967295 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n0\n", "2: node id 4294967295" + fit,
         "2||3"},
        {"NegativeNodeId", "2\n-5 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n0\n", "2: node id -5" + fit, "2||3"},
        // A NUL byte hides the rest of its line from the parser: that rest would be lost (found by fuzzing).
        {"NulByte", kNodes + "1\n1 2 10 1" + std::string(1, '\0') + " 7\n",
         "6: a NUL byte inside the line" + stop, "1 2 3||4"},
        {"NulByteInTheLastLine", "0\n0\n\f" + std::string(1, '\0') + "9",
         "3: a NUL byte inside the line" + stop, "||1"},
        {"LargestNodeId", "1\n4294967294 -8.6 41.1 0 0\n0\n", "", "4294967294||4294967295"},
        {"NegativeLinkEnd", kNodes + "2\n-1 2 10 1\n2 3 10 -3\n",
         "6: a node id or the sample count does not fit" + refused, "1 2 3||4"},
    };
}

class MapLoadFaults : public ::testing::TestWithParam<LoadCase> {};

TEST_P(MapLoadFaults, ReportsAndKeepsIds) {
    const LoadCase& c = GetParam();
    TempDir dir;
    karvel_test::writeFile(dir / "m.txt", c.text);
    testing::internal::CaptureStdout();
    const Map map(dir / "m.txt");
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(map.hadLoadError(), !c.error.empty());
    const std::string line = "ERROR: map file " + (dir / "m.txt") + ", line " + c.error;
    EXPECT_EQ(c.error.empty() ? out == "" : out.find(line) != std::string::npos, true) << out;
    std::ostringstream result;
    for (const auto& [id, n] : map.nodes) result << (id == map.nodes.begin()->first ? "" : " ") << id;
    result << "|";
    for (const auto& [id, l] : map.links) result << (id == map.links.begin()->first ? "" : " ") << id;
    result << "|" << map.nextNodeId;
    EXPECT_EQ(result.str(), c.result);
    EXPECT_EQ(karvel_test::checkMapInvariants(map), "");
}

INSTANTIATE_TEST_SUITE_P(Lines, MapLoadFaults, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

// Splitting a link at a position off the globe changes nothing: no node, no link, no id taken.
TEST(MapEditFaults, AddNodeInLinkOffTheGlobe) {
    TempDir dir;
    karvel_test::writeFile(dir / "m.txt", kNodes + "1\n1 2 10 1\n");
    Map map(dir / "m.txt");
    testing::internal::CaptureStdout();
    EXPECT_EQ(map.addNodeInLink(1, 95.0, -8.55, 0, 0) + map.addNodeInLink(1, std::nan(""), -8.5, 0, 0), 0u);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR: node position outside the globe"),
              std::string::npos);
    EXPECT_EQ(map.nodes.size() * 100 + map.links.size() * 10 + map.links.at(1).destination, 312u);
    EXPECT_EQ(map.nextNodeId * 10 + map.nextLinkId, 42u);
}

}  // namespace
