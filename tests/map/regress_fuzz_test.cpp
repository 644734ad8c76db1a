// Regression cases found by fuzzing the map file loader.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "map/maps.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::TempDir;
using mapRepresentation::Map;

namespace {

// A node line off the globe (here latitude 127, with longitude and latitude swapped by the tool
// that wrote it) used to be kept in the graph but not in the spatial index, so nearest searches
// never saw it. It is now refused: that line alone is left out, the loading goes on (here to a
// line too short to read), and the file is not to be rewritten.
TEST(MapFuzzRegression, NodeOffTheGlobeIsRefused) {
    TempDir dir;
    karvel_test::writeFile(dir / "map.txt", "300\n1  -86.58  127 0.000000000 0\n128  129 0.000000000 0\n");
    testing::internal::CaptureStdout();
    const Map map(dir / "map.txt");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string at = "ERROR: map file " + (dir / "map.txt") + ", line ";
    EXPECT_EQ(out, at + "2: position outside the globe (longitude then latitude expected); line refused.\n" +
                       at +
                       "3: expected 5 fields: id longitude latitude averageSnr hdop; loading stopped.\n");
    EXPECT_TRUE(map.hadLoadError());
    EXPECT_TRUE(map.nodes.empty());
    EXPECT_EQ(karvel_test::checkMapInvariants(map), "");
}

TEST(MapFuzzRegression, AddNodeRefusesPositionsTheIndexCannotHold) {
    Map map;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    testing::internal::CaptureStdout();
    for (const auto& [lat, lon] :
         {std::pair{127.0, -86.58}, {-90.5, 0.0}, {0.0, 180.5}, {nan, 0.0}, {0.0, -INFINITY}})
        EXPECT_EQ(map.addNode(7, lat, lon, 0, 0), 7u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("ERROR: node 7 lies outside the globe (127, -86.58); not added.\n", 0), 0u) << out;
    EXPECT_TRUE(map.nodes.empty());
    EXPECT_TRUE(map.graph.empty());

    // The edges of the globe are places too, and are indexed.
    map.addNode(1, 90.0, 180.0, 0, 0);
    map.addNode(2, -90.0, -180.0, 0, 0);
    map.addNode(3, 0.0, 180.0, 0, 0);
    EXPECT_EQ(map.nodes.size(), 3u);
    EXPECT_EQ(karvel_test::checkMapInvariants(map), "");
}

}  // namespace
