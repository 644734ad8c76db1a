// The quadtree picture: a KML document of the index's leaves and nodes, drawn by the kml room.

#include <gtest/gtest.h>

#include <string>

#include "kml_test_util.h"
#include "map/maps.h"
#include "map/quadtree.h"

using mapRepresentation::Map;

namespace {

// 11 nodes in the north-east quarter, spread over its four sub-quarters (3, 3, 3, 2), and one
// node in the south-west quarter.
Map crowdedQuarter() {
    Map m;
    const double at[12][2] = {{50, 10}, {60, 20}, {70, 30}, {50, 100}, {60, 110},    {70, 120},
                              {10, 10}, {20, 20}, {30, 30}, {10, 100}, {20, 110.25}, {-33.5, -70.75}};
    for (uint32_t i = 0; i < 12; ++i) m.addNode(i + 1, at[i][0], at[i][1], 0, 0);
    return m;
}

}  // namespace

// The whole text: head, the four folders (12 node placemarks; per leaf a border ring, two
// diagonals and a centre spot), end.
TEST(QuadTreeKml, PictureMatchesGoldenDocument) {
    kml_test::expectGolden(crowdedQuarter().quadTree->getQuadTreeKML(), "quadtree.kml");
}
