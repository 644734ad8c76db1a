// The spatial index: splitting, placement on borders, statistics and upkeep (the KML picture is
// tested with the kml room, which draws it).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "map/quadtree.h"

using mapRepresentation::Map;
using mapRepresentation::QuadLeafNode;
using mapRepresentation::QuadTree;

namespace {

// Statistics text; the widths and heights are given with their degree marks.
std::string statistics(const std::string& counts, const std::string& perLeaf, int total,
                       const std::string& max, const std::string& min) {
    return "\n  ### QuadTree Statistics ###\nInner Nodes: " + counts + "\n" + perLeaf +
           " nodes/QuadLeafNode     Total Nodes: " + std::to_string(total) + "\nMax Width: " + max +
           "\nMin Width: " + min + "\n  ###########################\n\n";
}

const QuadLeafNode* leafOf(const Map& m, uint32_t id) {
    const auto& n = m.nodes.at(id);
    return m.quadTree->findQuadrant(n.latitude, n.longitude).first;
}

}  // namespace

TEST(QuadTree, EleventhNodeSplitsTheRootByPosition) {
    Map m;
    const double lats[] = {10, 20, -10, -20, 30, -30, 40, 50, -40, 60, 70};
    const double lons[] = {-10, 20, -30, 40, 50, -60, -70, 80, 90, -100, 110};
    for (uint32_t i = 0; i < 10; ++i) m.addNode(i + 1, lats[i], lons[i], 0, 0);
    EXPECT_TRUE(QuadTree::isLeafNode(m.quadTree->root.get()));
    m.addNode(11, lats[10], lons[10], 0, 0);

    EXPECT_EQ(
        m.quadTree->getQuadTreeStatistics(),
        statistics("1     LeafNodes: 4     Max Depth: 1\nMax Nodes in a LeafNode: 4     Max Nodes allowed in "
                   "a LeafNode: 10",
                   "2.75", 11, "180\xBA  Max Height: 90\xBA", "180\xBA  Min Height: 90\xBA"));
    auto* root = QuadTree::getQuadInnerNode(m.quadTree->root.get());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(QuadTree::getQuadLeafNode(root), nullptr);
    // North-west, north-east, south-west, south-east; insertion order kept inside each leaf.
    const std::vector<uint32_t> expected[4] = {{1, 7, 10}, {2, 5, 8, 11}, {3, 6}, {4, 9}};
    const _position centres[4] = {{45, -90}, {45, 90}, {-45, -90}, {-45, 90}};
    for (int c = 0; c < 4; ++c) {
        const QuadLeafNode* leaf = QuadTree::getQuadLeafNode(root->children[c].get());
        ASSERT_NE(leaf, nullptr);
        EXPECT_EQ(leaf->centre, centres[c]);
        EXPECT_EQ(leaf->mapNodes, expected[c]);
    }
    EXPECT_EQ(m.quadTree->findQuadrant(70, 110),
              std::make_pair(QuadTree::getQuadLeafNode(root->children[1].get()), root));
}

TEST(QuadTree, BordersGoToTheFirstChildInOrder) {
    Map m;
    m.addNode(1, 0, 0, 0, 0);
    m.addNode(2, 0, 10, 0, 0);   // on the equator, east: north-east
    m.addNode(3, -10, 0, 0, 0);  // on the prime meridian, south: south-west
    m.addNode(4, -90, -180, 0, 0);
    for (uint32_t i = 5; i <= 11; ++i) m.addNode(i, 50, 50, 0, 0);
    EXPECT_EQ(leafOf(m, 1)->centre, (_position{45, -90}));
    EXPECT_EQ(leafOf(m, 2)->centre, (_position{45, 90}));
    EXPECT_EQ(leafOf(m, 3)->centre, (_position{-45, -90}));
    EXPECT_EQ(leafOf(m, 4)->centre, (_position{-45, -90}));

    // Outside the globe: refused, not indexed.
    m.nodes[12] = {0, 181, 0, 0, 0, 0};
    testing::internal::CaptureStdout();
    const auto outside = m.quadTree->findQuadrant(90.5, 0);
    m.quadTree->addNode(12);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: Point outside the whole map.\nERROR: Point outside the whole map.\n");
    EXPECT_TRUE(outside.first == nullptr && outside.second == nullptr);
    EXPECT_TRUE(m.getNearestPoints(0, 180, 1e6).empty());
}

TEST(QuadTree, NodesSharingOnePositionStopSplittingAtTheSmallestCell) {
    Map m;
    for (uint32_t i = 1; i <= 40; ++i) m.addNode(i, 41.15, -8.61, 0, 0);
    m.quadTree->getQuadTreeStatistics();
    EXPECT_EQ(m.quadTree->maxNodesInLeaf, 40);
    EXPECT_EQ(m.quadTree->maxDepth, 30);

    // Radius 0 finds exactly the nodes at the point, in insertion order, at distance 0.
    m.addNode(41, 41.1500001, -8.61, 0, 0);
    const auto found = m.getNearestPointsAndDistances(41.15, -8.61, 0);
    ASSERT_EQ(found.size(), 40u);
    for (uint32_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], std::make_pair(i + 1, 0.0));
    EXPECT_EQ(m.getNearestPoints(41.15, -8.61, 0.05).size(), 41u);
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, -1).empty());
}

TEST(QuadTree, RemoveAndMoveNodes) {
    Map m;
    for (uint32_t i = 1; i <= 30; ++i) m.addNode(i, 41.0 + 0.001 * i, -8.6, 0, 0);

    // Move node 5 far away, as map editing does, and tell the index.
    auto& n = m.nodes.at(5);
    const _position old{n.latitude, n.longitude};
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(38.7, -9.1);
    n = {38.7, -9.1, g.northing, g.easting, 0, 0};
    m.quadTree->updateNodeLocation(5, old);
    EXPECT_TRUE(m.getNearestPoints(old.lat, old.lon, 1).empty());
    EXPECT_EQ(m.getNearestPoints(38.7, -9.1, 1), std::vector<uint32_t>{5});

    // A move of 3 m inside the same leaf is measured from the new point.
    auto& n6 = m.nodes.at(6);
    const _position old6{n6.latitude, n6.longitude};
    const QuadLeafNode* leaf6 = leafOf(m, 6);
    n6.latitude += 0.000027;
    n6.northing += 3;
    ASSERT_EQ(leafOf(m, 6), leaf6);
    m.quadTree->updateNodeLocation(6, old6);
    EXPECT_EQ(m.getNearestPoints(old6.lat, old6.lon, 1), std::vector<uint32_t>{});
    EXPECT_EQ(m.getNearestPoints(n6.latitude, n6.longitude, 1), std::vector<uint32_t>{6});

    m.quadTree->removeNode(7, _position{m.nodes.at(7).latitude, m.nodes.at(7).longitude});
    m.quadTree->removeNode(999, _position{41, -8.6});
    auto ids = m.getNearestPoints(41.015, -8.6, 5000);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids.size(), 28u);
    EXPECT_FALSE(std::binary_search(ids.begin(), ids.end(), 7u) ||
                 std::binary_search(ids.begin(), ids.end(), 5u));
}

TEST(QuadTree, NodesOfAnotherUtmZoneAreNeverNear) {
    // 0.0001 east of the zone 30/31 border and of the zone 29/30 border: the same offset from
    // their zones' central meridians, so their UTM coordinates coincide.
    Map m;
    m.addNode(1, 40, 0.0001, 0, 0);
    ASSERT_LT(distance2Points(positionToPoint({40, 0.0001}), positionToPoint({40, -5.9999})), 1.0);
    EXPECT_TRUE(m.getNearestPoints(40, -5.9999, 100).empty());
    EXPECT_EQ(m.getNearestPoints(40, 0.0002, 100), std::vector<uint32_t>{1});
}
