// The spatial index: splitting, the smallest cell, and radius searches against a
// brute-force scan (nodes, and links whose end nodes lie within ten radii). Moves and removals are
// checked after every random edit in maps_property_test.cpp; the KML picture with the kml room.
#include "map/quadtree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "test_support.h"

using mapRepresentation::Map;
using mapRepresentation::QuadLeafNode;
using mapRepresentation::QuadTree;

namespace {

TEST(QuadTree, EleventhNodeSplitsTheRootByPosition) {
    Map m;
    const double lats[] = {10, 20, -10, -20, 30, -30, 40, 50, -40, 60, 70};
    const double lons[] = {-10, 20, -30, 40, 50, -60, -70, 80, 90, -100, 110};
    for (uint32_t i = 0; i < 11; ++i) {
        m.addNode(i + 1, lats[i], lons[i], 0, 0);
        EXPECT_EQ(QuadTree::isLeafNode(m.quadTree->root.get()), i < 10);
    }
    auto* root = QuadTree::getQuadInnerNode(m.quadTree->root.get());
    ASSERT_NE(root, nullptr);
    // North-west, north-east, south-west, south-east; insertion order kept inside each leaf.
    const std::vector<uint32_t> expected[4] = {{1, 7, 10}, {2, 5, 8, 11}, {3, 6}, {4, 9}};
    const _position centres[4] = {{45, -90}, {45, 90}, {-45, -90}, {-45, 90}};
    for (int c = 0; c < 4; ++c) {
        const QuadLeafNode* leaf = QuadTree::getQuadLeafNode(root->children[c].get());
        ASSERT_NE(leaf, nullptr);
        EXPECT_EQ(std::pair(leaf->centre, leaf->mapNodes), std::pair(centres[c], expected[c]));
    }
    EXPECT_EQ(m.quadTree->findQuadrant(70, 110),
              std::pair(QuadTree::getQuadLeafNode(root->children[1].get()), root));
    // Outside the globe: refused, not indexed.
    m.nodes[12] = {0, 181, 0, 0, 0, 0};
    std::pair<QuadLeafNode*, mapRepresentation::QuadInnerNode*> outside;
    EXPECT_EQ(karvel_test::printed([&] {
                  outside = m.quadTree->findQuadrant(90.5, 0);
                  m.quadTree->addNode(12);
              }),
              "ERROR: Point outside the whole map.\nERROR: Point outside the whole map.\n");
    EXPECT_TRUE(outside.first == nullptr && outside.second == nullptr);
    EXPECT_TRUE(m.getNearestPoints(0, 180, 1e6).empty());
}

TEST(QuadTree, NodesSharingOnePositionStopSplittingAtTheSmallestCell) {
    Map m;
    for (uint32_t i = 1; i <= 40; ++i) m.addNode(i, 41.15, -8.61, 0, 0);
    m.quadTree->getQuadTreeStatistics();
    EXPECT_EQ(std::pair(m.quadTree->maxNodesInLeaf, m.quadTree->maxDepth), std::pair(40, 30));
    // Radius 0 finds exactly the nodes at the point, in insertion order, at distance 0.
    m.addNode(41, 41.1500001, -8.61, 0, 0);
    m.quadTree->removeNode(999, _position{41.15, -8.61});  // not indexed: nothing happens
    const auto found = m.getNearestPointsAndDistances(41.15, -8.61, 0);
    ASSERT_EQ(found.size(), 40u);
    for (uint32_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i], std::make_pair(i + 1, 0.0));
    EXPECT_EQ(m.getNearestPoints(41.15, -8.61, 0.05).size(), 41u);
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, -1).empty());
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

TEST(NearestLinks, InconsistentTablesAreReportedAndSkipped) {
    Map m;
    for (uint32_t id = 1;
         const auto& [lat, lon] : {std::pair{41.15, -8.6101}, {41.15, -8.6099}, {41.15005, -8.6099}})
        m.addNode(id++, lat, lon, 0, 0);
    const int a = m.addLinkToNode(1, 2, 0, 0), b = m.addLinkToNode(2, 3, 0, 0);
    m.graph.erase(1);
    m.links.erase(b);
    std::vector<int> found;
    EXPECT_EQ(karvel_test::printed([&] { found = m.getNearestLinks(41.15, -8.61, 20); }),
              "ERROR: non existing graph node 1.\nERROR: non existing link. (" + std::to_string(b) + ")\n");
    EXPECT_EQ(found, std::vector<int>{a});
    EXPECT_TRUE(m.getNearestLinksAndDistances(41.15, -8.61, -5).empty());
}

// Brute force: ids within the radius, split into those that must be found and those so close to
// the radius that the search's pruning (clamped in degrees, measured in UTM) may miss them.
template <typename Id>
struct Expected {
    std::map<Id, double> must, may;
    void add(Id id, double d, double radius, bool mustToo = true) {
        if (d <= radius) may[id] = d;
        if (d <= radius * (1 - 1e-3) && mustToo) must[id] = d;
    }
    void check(const std::vector<std::pair<Id, double>>& found) const {
        std::set<Id> seen;
        for (const auto& [id, d] : found) {
            EXPECT_TRUE(seen.insert(id).second) << id << " reported twice";
            const auto it = may.find(id);
            ASSERT_NE(it, may.end()) << id << " is not within the radius";
            EXPECT_EQ(d, it->second);
        }
        for (const auto& [id, d] : must) EXPECT_TRUE(seen.count(id)) << "missed " << id << " at " << d;
    }
};

// Every node of the query's UTM zone, measured in planar metres.
Expected<uint32_t> nearNodes(const Map& m, double lat, double lon, double radius) {
    Expected<uint32_t> e;
    const Point p = positionToPoint({lat, lon});
    for (const auto& [id, n] : m.nodes)
        if (GPSPoint::getZone(n.longitude) == GPSPoint::getZone(lon))
            e.add(id, distance2Points({n.easting, n.northing}, p), radius);
    return e;
}

void expectAgreement(const Map& m, double lat, double lon, double radius) {
    SCOPED_TRACE(testing::Message() << lat << "," << lon << " radius " << radius);
    nearNodes(m, lat, lon, radius).check(m.getNearestPointsAndDistances(lat, lon, radius));
    if (radius > 300) return;
    const auto links = m.getNearestLinksAndDistances(lat, lon, radius);
    for (size_t i = 1; i < links.size(); ++i) EXPECT_LT(links[i - 1].first, links[i].first);
    const Expected<uint32_t> near = nearNodes(m, lat, lon, 10.0 * radius);
    const Point q = positionToPoint({lat, lon});
    Expected<int> e;
    for (const auto& [id, d] : near.may) {
        for (const auto* set : {&m.graph.at(id).forwardLinks, &m.graph.at(id).backwardLinks}) {
            for (const int l : *set) {
                const auto& link = m.links.at(l);
                const Point a = m.getNodePoint(link.origin), b = m.getNodePoint(link.destination);
                e.add(l, getNearestPointFromLink(a, b, q).second, radius, near.must.count(id) != 0);
            }
        }
    }
    e.check(links);
}

// Roads as random walks of ~30 m steps (some nodes doubled at one position, some snapped to cell
// borders of the index), queried at random points, on nodes, and with radius 0: in a city, and
// across the zone 29 / zone 30 border at longitude -6.
TEST(RadiusSearchProperty, AgreesWithBruteForce) {
    constexpr double kDegLatPerM = 1.0 / 111000.0, kDegLonPerM = 1.0 / 84000.0;
    const struct {
        unsigned seed;
        double lat0, lat1, lon0, lon1, queryLon0, queryLon1;
    } regions[] = {{1, 41.10, 41.20, -8.70, -8.55, -8.71, -8.54},
                   {2, 41.10, 41.20, -8.70, -8.55, -8.71, -8.54},
                   {3, 41.10, 41.20, -8.70, -8.55, -8.71, -8.54},
                   {7, 40.0, 40.3, -6.2, -5.8, -6.05, -5.95}};
    for (const auto& r : regions) {
        SCOPED_TRACE(r.seed);
        std::mt19937 rng(r.seed);
        std::uniform_real_distribution<double> lat(r.lat0, r.lat1), lon(r.lon0, r.lon1), unit(0, 1);
        Map m;
        for (uint32_t id = 1, previous = 0; id <= 3000; previous = 0) {
            double la = lat(rng), lo = lon(rng);
            if (unit(rng) < 0.1) {  // snap to a 1/1024 degree grid: borders of index cells
                la = std::round(la * 1024) / 1024;
                lo = std::round(lo * 1024) / 1024;
            }
            const double heading = unit(rng) * 2 * M_PI;
            for (int k = 0, length = 1 + static_cast<int>(unit(rng) * 30); k < length && id <= 3000; ++k) {
                const double step = unit(rng) < 0.05 ? 0.0 : 30.0;
                la += step * std::cos(heading) * kDegLatPerM;
                lo += step * std::sin(heading) * kDegLonPerM;
                m.addNode(id, la, lo, 0, 0);
                if (previous != 0) m.addLinkToNode(previous, id, 0, 0);
                if (previous != 0 && unit(rng) < 0.5) m.addLinkToNode(id, previous, 0, 0);
                previous = id++;
            }
        }
        std::uniform_real_distribution<double> queryLat(r.lat0 - 0.01, r.lat1 + 0.01),
            queryLon(r.queryLon0, r.queryLon1);
        for (int i = 0; i < 300 && !HasFailure(); ++i) {
            double la = queryLat(rng), lo = queryLon(rng);
            if (i % 7 == 0) {  // exactly on a node
                const auto& n = m.nodes.at(1 + static_cast<uint32_t>(unit(rng) * 2999));
                la = n.latitude;
                lo = n.longitude;
            }
            expectAgreement(m, la, lo, i % 11 == 0 ? 0.0 : std::pow(10.0, unit(rng) * 3.5));
        }
    }
}

}  // namespace
