// The quadtree picture: a KML document of the index's leaves and nodes, drawn by the kml room.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "map/maps.h"
#include "map/quadtree.h"
#include "support/test_support.h"

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

TEST(QuadTreeKml, PictureMatchesGoldenDocument) {
    const std::string kml = crowdedQuarter().quadTree->getQuadTreeKML();
    const std::string golden = karvel_test::testFile("kml/data/quadtree.kml");
    if (std::getenv("KARVEL_UPDATE_GOLDEN") != nullptr) karvel_test::writeFile(golden, kml);
    EXPECT_EQ(kml, karvel_test::readFile(golden));
}

TEST(QuadTreeKml, PictureListsNodesAndLeaves) {
    const std::string kml = crowdedQuarter().quadTree->getQuadTreeKML();
    const size_t folders[] = {kml.find("<Folder id=\"MAPNODES\">\n<name>Nodes</name>"),
                              kml.find("<Folder id=\"QUADBORDERS\">\n<name>Leaf Borders</name>"),
                              kml.find("<Folder id=\"QUADDIAGONALS\">\n<name>Leaf Diagonals</name>"),
                              kml.find("<Folder id=\"CENTERSPOTS\">\n<name>Center LeafNodes</name>"),
                              kml.size()};
    // 12 nodes; 7 leaves, each with a border ring, two diagonals and a centre spot.
    const int placemarks[] = {12, 7, 14, 7};
    for (int f = 0; f < 4; ++f) {
        ASSERT_LT(folders[f], folders[f + 1]);
        int n = 0;
        for (size_t at = kml.find("<Placemark>", folders[f]); at < folders[f + 1];
             at = kml.find("<Placemark>", at + 1))
            ++n;
        EXPECT_EQ(n, placemarks[f]) << "folder " << f;
    }
    for (const char* part :
         {"<description>ID: 3 xy: 30.000000000,70.000000000</description>",
          "<coordinates>-180.000000000,90.000000000,0 0.000000000,90.000000000,0 "
          "0.000000000,0.000000000,0 -180.000000000,0.000000000,0 -180.000000000,90.000000000,0"
          "</coordinates>",
          "<description>ID: 1 Depth: 1 Nodes: 0 Width: 180 Height: 90</description>"}) {
        EXPECT_NE(kml.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(kml.substr(kml.size() - 19), "</Document>\n</kml>\n");
}
