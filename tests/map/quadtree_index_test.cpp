// The spatial index: splitting, placement on borders, statistics, upkeep and the KML picture.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "map/quadtree.h"

using mapRepresentation::Map;
using mapRepresentation::QuadInnerNode;
using mapRepresentation::QuadLeafNode;
using mapRepresentation::QuadTree;

namespace {

std::string statistics(int inner, int leaves, int depth, int maxInLeaf, const std::string& perLeaf, int total,
                       const std::string& maxW, const std::string& maxH, const std::string& minW,
                       const std::string& minH) {
    return "\n  ### QuadTree Statistics ###\n"
           "Inner Nodes: " + std::to_string(inner) + "     LeafNodes: " + std::to_string(leaves) +
           "     Max Depth: " + std::to_string(depth) + "\n" +
           "Max Nodes in a LeafNode: " + std::to_string(maxInLeaf) + "     Max Nodes allowed in a LeafNode: 10\n" +
           perLeaf + " nodes/QuadLeafNode     Total Nodes: " + std::to_string(total) + "\n" +
           "Max Width: " + maxW + "\xBA  Max Height: " + maxH + "\xBA\n" +
           "Min Width: " + minW + "\xBA  Min Height: " + minH + "\xBA\n" +
           "  ###########################\n\n";
}

std::vector<uint32_t> sortedIds(const std::vector<std::pair<uint32_t, double>>& found) {
    std::vector<uint32_t> ids;
    for (const auto& f : found) ids.push_back(f.first);
    std::sort(ids.begin(), ids.end());
    return ids;
}

const QuadLeafNode* leafOf(const Map& m, uint32_t id) {
    const auto& n = m.nodes.at(id);
    return m.quadTree->findQuadrant(n.latitude, n.longitude).first;
}

// 11 nodes in the north-east quarter, spread over its four sub-quarters (3, 3, 3, 2).
void crowdOneQuarter(Map& m) {
    const double at[11][2] = {{50, 10}, {60, 20},  {70, 30},  {50, 100}, {60, 110}, {70, 120},
                              {10, 10}, {20, 20}, {30, 30}, {10, 100}, {20, 110}};
    for (uint32_t i = 0; i < 11; ++i) m.addNode(i + 1, at[i][0], at[i][1], 0, 0);
}

bool leafHolds(const QuadLeafNode* leaf, uint32_t id) {
    return leaf != nullptr && std::find(leaf->mapNodes.begin(), leaf->mapNodes.end(), id) != leaf->mapNodes.end();
}

}  // namespace

TEST(QuadTree, FreshIndexIsOneGlobeLeaf) {
    Map m;
    EXPECT_EQ(m.quadTree->getQuadTreeStatistics(), statistics(0, 1, 0, 0, "0", 0, "360", "180", "360", "180"));
    testing::internal::CaptureStdout();
    m.mapInfo();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), m.quadTree->getQuadTreeStatistics());
}

TEST(QuadTree, EleventhNodeSplitsTheRoot) {
    Map m;
    // Spread over the four quarters of the globe.
    const double lats[] = {10, 20, -10, -20, 30, -30, 40, 50, -40, 60};
    const double lons[] = {-10, 20, -30, 40, 50, -60, -70, 80, 90, -100};
    for (uint32_t i = 0; i < 10; ++i) m.addNode(i + 1, lats[i], lons[i], 0, 0);
    EXPECT_TRUE(QuadTree::isLeafNode(m.quadTree->root.get()));
    EXPECT_EQ(m.quadTree->getQuadTreeStatistics(), statistics(0, 1, 0, 10, "10", 10, "360", "180", "360", "180"));

    m.addNode(11, 70, 110, 0, 0);
    EXPECT_EQ(m.quadTree->getQuadTreeStatistics(), statistics(1, 4, 1, 4, "2.75", 11, "180", "90", "180", "90"));
    auto* root = QuadTree::getQuadInnerNode(m.quadTree->root.get());
    ASSERT_NE(root, nullptr);
    // North-west, north-east, south-west, south-east.
    const double centres[4][2] = {{45, -90}, {45, 90}, {-45, -90}, {-45, 90}};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(root->children[c]->centre, (_position{centres[c][0], centres[c][1]}));
        EXPECT_EQ(root->children[c]->halfWidth, 90);
        EXPECT_EQ(root->children[c]->halfHeight, 45);
    }
    // Each id sits in the quarter of its position; insertion order is kept inside a leaf.
    EXPECT_EQ(QuadTree::getQuadLeafNode(root->children[0].get())->mapNodes, (std::vector<uint32_t>{1, 7, 10}));
    EXPECT_EQ(QuadTree::getQuadLeafNode(root->children[1].get())->mapNodes, (std::vector<uint32_t>{2, 5, 8, 11}));
    EXPECT_EQ(QuadTree::getQuadLeafNode(root->children[2].get())->mapNodes, (std::vector<uint32_t>{3, 6}));
    EXPECT_EQ(QuadTree::getQuadLeafNode(root->children[3].get())->mapNodes, (std::vector<uint32_t>{4, 9}));
    const auto [leaf, parent] = m.quadTree->findQuadrant(70, 110);
    EXPECT_EQ(parent, root);
    EXPECT_EQ(leaf, root->children[1].get());
}

TEST(QuadTree, CrowdedQuarterSplitsAgainAtOnce) {
    Map m;
    crowdOneQuarter(m);
    EXPECT_EQ(m.quadTree->getQuadTreeStatistics(),
              statistics(2, 7, 2, 3, "1.57142857", 11, "180", "90", "90", "45"));
}

TEST(QuadTree, BordersGoToTheFirstChildInOrder) {
    Map m;
    m.addNode(1, 0, 0, 0, 0);
    m.addNode(2, 0, 10, 0, 0);    // on the equator, east: north-east
    m.addNode(3, -10, 0, 0, 0);   // on the prime meridian, south: south-west
    m.addNode(4, 90, 180, 0, 0);  // corner of the globe
    m.addNode(5, -90, -180, 0, 0);
    for (uint32_t i = 6; i <= 11; ++i) m.addNode(i, 50, 50, 0, 0);
    auto* root = QuadTree::getQuadInnerNode(m.quadTree->root.get());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(leafOf(m, 1)->centre, (_position{45, -90}));
    EXPECT_EQ(leafOf(m, 2)->centre, (_position{45, 90}));
    EXPECT_EQ(leafOf(m, 3)->centre, (_position{-45, -90}));
    EXPECT_EQ(leafOf(m, 4)->centre, (_position{45, 90}));
    EXPECT_EQ(leafOf(m, 5)->centre, (_position{-45, -90}));
    EXPECT_TRUE(leafHolds(QuadTree::getQuadLeafNode(root->children[0].get()), 1));
}

TEST(QuadTree, PositionsOutsideTheGlobeAreRefused) {
    Map m;
    testing::internal::CaptureStdout();
    const auto [leaf, parent] = m.quadTree->findQuadrant(90.5, 0);
    m.addNode(1, 0, 181, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(leaf, nullptr);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(out, "ERROR: Point outside the whole map.\nERROR: Point outside the whole map.\n");
    EXPECT_EQ(m.nodes.size(), 1u);
    EXPECT_TRUE(QuadTree::getQuadLeafNode(m.quadTree->root.get())->mapNodes.empty());
}

TEST(QuadTree, CellCastsAreTypeSafe) {
    QuadLeafNode leaf;
    QuadInnerNode inner;
    EXPECT_TRUE(QuadTree::isLeafNode(&leaf));
    EXPECT_FALSE(QuadTree::isLeafNode(&inner));
    EXPECT_FALSE(QuadTree::isLeafNode(nullptr));
    EXPECT_EQ(QuadTree::getQuadLeafNode(&inner), nullptr);
    EXPECT_EQ(QuadTree::getQuadInnerNode(&leaf), nullptr);
    EXPECT_EQ(QuadTree::getQuadLeafNode(nullptr), nullptr);
    EXPECT_EQ(QuadTree::getQuadInnerNode(&inner), &inner);
    EXPECT_TRUE(QuadTree::isInside({0, 0}, 1, 2, 2, -1));
    EXPECT_FALSE(QuadTree::isInside({0, 0}, 1, 2, 2.0001, 0));
}

TEST(QuadTree, NodesSharingOnePositionStopSplittingAtTheSmallestCell) {
    Map m;
    for (uint32_t i = 1; i <= 40; ++i) m.addNode(i, 41.15, -8.61, 0, 0);
    m.quadTree->getQuadTreeStatistics();
    EXPECT_EQ(m.quadTree->maxNodesInLeaf, 40);
    EXPECT_EQ(m.quadTree->maxDepth, 30);
    EXPECT_LT(m.quadTree->minWidthHeight / 2, QuadTree::minSplitHalfHeight);

    const auto found = m.getNearestPointsAndDistances(41.15, -8.61, 0);
    EXPECT_EQ(found.size(), 40u);
    for (const auto& f : found) EXPECT_EQ(f.second, 0.0);
    // Insertion order survives the splits.
    for (uint32_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i].first, i + 1);
}

TEST(QuadTree, RemoveAndMoveNodes) {
    Map m;
    for (uint32_t i = 1; i <= 30; ++i) m.addNode(i, 41.0 + 0.001 * i, -8.6, 0, 0);
    const _position old{m.nodes.at(5).latitude, m.nodes.at(5).longitude};

    // Move node 5 far away, as map editing does, and tell the index.
    auto& n = m.nodes.at(5);
    n.latitude = 38.7;
    n.longitude = -9.1;
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(n.latitude, n.longitude);
    n.easting = g.easting;
    n.northing = g.northing;
    m.quadTree->updateNodeLocation(5, old);
    EXPECT_EQ(m.getNearestPoints(old.lat, old.lon, 1), std::vector<uint32_t>{});
    EXPECT_EQ(m.getNearestPoints(38.7, -9.1, 1), std::vector<uint32_t>{5});
    EXPECT_TRUE(leafHolds(leafOf(m, 5), 5));

    // A small move inside the same leaf changes nothing in the tree.
    const QuadLeafNode* leaf = leafOf(m, 6);
    const _position old6{m.nodes.at(6).latitude, m.nodes.at(6).longitude};
    m.nodes.at(6).latitude += 1e-9;
    m.quadTree->updateNodeLocation(6, old6);
    EXPECT_TRUE(leafHolds(leaf, 6));

    m.quadTree->removeNode(7, _position{m.nodes.at(7).latitude, m.nodes.at(7).longitude});
    m.quadTree->removeNode(7, _position{m.nodes.at(7).latitude, m.nodes.at(7).longitude});
    m.quadTree->removeNode(999, _position{41, -8.6});
    const auto ids = sortedIds(m.getNearestPointsAndDistances(41.015, -8.6, 5000));
    EXPECT_EQ(ids.size(), 28u);
    EXPECT_FALSE(std::binary_search(ids.begin(), ids.end(), 7u));
    EXPECT_FALSE(std::binary_search(ids.begin(), ids.end(), 5u));
}

TEST(QuadTree, RadiusZeroFindsOnlyTheExactPoint) {
    Map m;
    m.addNode(1, 41.15, -8.61, 0, 0);
    testing::internal::CaptureStdout();
    m.addNode(1, 41.15, -8.61, 0, 0);  // a duplicate id is refused and not indexed twice
    testing::internal::GetCapturedStdout();
    m.addNode(3, 41.15, -8.61, 0, 0);
    m.addNode(4, 41.1500001, -8.61, 0, 0);
    const auto found = m.getNearestPointsAndDistances(41.15, -8.61, 0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], (std::pair<uint32_t, double>{1, 0.0}));
    EXPECT_EQ(found[1], (std::pair<uint32_t, double>{3, 0.0}));
    EXPECT_EQ(m.getNearestPoints(41.15, -8.61, 0.05), (std::vector<uint32_t>{1, 3, 4}));
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, -1).empty());
}

TEST(QuadTree, NodesOfAnotherUtmZoneAreNeverNear) {
    // 0.0001 east of the zone 30/31 border and 0.0001 east of the zone 29/30 border lie at the same
    // offset from their zones' central meridians: their UTM coordinates almost coincide.
    Map m;
    m.addNode(1, 40, 0.0001, 0, 0);
    const Point a = positionToPoint({40, 0.0001});
    const Point b = positionToPoint({40, -5.9999});
    ASSERT_LT(distance2Points(a, b), 1.0);
    EXPECT_TRUE(m.getNearestPoints(40, -5.9999, 100).empty());
    EXPECT_EQ(m.getNearestPoints(40, 0.0002, 100), std::vector<uint32_t>{1});
}

TEST(QuadTree, KmlPictureListsNodesAndLeaves) {
    Map m;
    crowdOneQuarter(m);
    const std::string kml = m.quadTree->getQuadTreeKML();
    EXPECT_EQ(kml.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kml xmlns=\"http://earth.google.com/kml/2.0\">", 0),
              0u);
    const size_t nodes = kml.find("<Folder id=\"MAPNODES\">\n<name>Nodes</name>");
    const size_t borders = kml.find("<Folder id=\"QUADBORDERS\">\n<name>Leaf Borders</name>");
    const size_t diagonals = kml.find("<Folder id=\"QUADDIAGONALS\">\n<name>Leaf Diagonals</name>");
    const size_t centres = kml.find("<Folder id=\"CENTERSPOTS\">\n<name>Center LeafNodes</name>");
    ASSERT_NE(nodes, std::string::npos);
    EXPECT_LT(nodes, borders);
    EXPECT_LT(borders, diagonals);
    EXPECT_LT(diagonals, centres);
    EXPECT_NE(centres, std::string::npos);
    EXPECT_EQ(kml.substr(kml.size() - 19), "</Document>\n</kml>\n");

    auto count = [&](const std::string& what, size_t from, size_t to) {
        int n = 0;
        for (size_t at = kml.find(what, from); at < to; at = kml.find(what, at + 1)) ++n;
        return n;
    };
    // 11 nodes; 7 leaves: one border ring, two diagonals and one centre spot each.
    EXPECT_EQ(count("<Placemark>", nodes, borders), 11);
    EXPECT_EQ(count("<Placemark>", borders, diagonals), 7);
    EXPECT_EQ(count("<Placemark>", diagonals, centres), 14);
    EXPECT_EQ(count("<Placemark>", centres, kml.size()), 7);
    EXPECT_EQ(count("<color>ff000000</color><width>3</width>", borders, diagonals), 7);
    EXPECT_EQ(count("<color>ff0000ff</color><width>1</width>", diagonals, centres), 14);

    EXPECT_NE(kml.find("<href>http://maps.google.com/mapfiles/kml/shapes/square.png</href>"), std::string::npos);
    EXPECT_NE(kml.find("<href>http://maps.google.com/mapfiles/kml/shapes/placemark_circle.png</href>"),
              std::string::npos);
    EXPECT_NE(kml.find("<description>ID: 3 xy: 30.000000000,70.000000000</description>"), std::string::npos);
    EXPECT_NE(kml.find("<range>50.0</range><tilt>0.0</tilt>"), std::string::npos);
    EXPECT_NE(kml.find("<coordinates>30.000000000,70.000000000,0</coordinates>"), std::string::npos);
    // The whole north-west quarter is an empty leaf: its ring runs round the quarter's corners.
    EXPECT_NE(kml.find("<coordinates>-180.000000000,90.000000000,0 0.000000000,90.000000000,0 "
                       "0.000000000,0.000000000,0 -180.000000000,0.000000000,0 -180.000000000,90.000000000,0"
                       "</coordinates>"),
              std::string::npos);
    EXPECT_NE(kml.find("<description>ID: 1 Depth: 1 Nodes: 0 Width: 180 Height: 90</description>"),
              std::string::npos);
}
