// The spatial index through the map's searches: the smallest cell, and radius searches against a
// brute-force scan (nodes, and links whose end nodes lie within ten radii). Moves and removals are
// checked after every random edit in maps_property_test.cpp; the KML picture with the kml room.
// Most cells are decided by bounds in degrees instead of a UTM conversion: the decision must be the
// converting rule's own, cell for cell (a cell pruned that the rule visits loses nodes, a cell
// visited that the rule prunes shows a bound that does not hold).
#include "map/quadtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "maps_invariants.h"
#include "test_support.h"

using mapRepresentation::CellReach;
using mapRepresentation::Map;

namespace {

// Nodes at one position cannot be told apart by splitting: the index must stop at its smallest cell,
// and radius 0 finds exactly them, in insertion order. Nodes of another UTM zone are never near (0.0001
// east of the zone 30/31 and of the zone 29/30 border, their UTM coordinates coincide).
TEST(QuadTree, SharedPositionsAndOtherZones) {
    Map m;
    std::vector<std::pair<uint32_t, double>> atThePoint;
    for (uint32_t i = 1; i <= 40; ++i) {
        m.addNode(i, 41.15, -8.61, 0, 0);
        atThePoint.emplace_back(i, 0.0);
    }
    m.quadTree->getQuadTreeStatistics();
    EXPECT_TRUE(m.quadTree->maxNodesInLeaf == 40 && m.quadTree->maxDepth <= 30);  // the header's bound
    m.addNode(41, 41.1500001, -8.61, 0, 0);
    m.quadTree->removeNode(999, _position{41.15, -8.61});  // not indexed: nothing happens
    EXPECT_EQ(m.getNearestPointsAndDistances(41.15, -8.61, 0), atThePoint);
    EXPECT_EQ(m.getNearestPoints(41.15, -8.61, 0.05).size(), 41u);
    EXPECT_TRUE(m.getNearestPoints(41.15, -8.61, -1).empty());
    m.addNode(42, 40, 0.0001, 0, 0);
    ASSERT_LT(distance2Points(positionToPoint({40, 0.0001}), positionToPoint({40, -5.9999})), 1.0);
    EXPECT_TRUE(m.getNearestPoints(40, -5.9999, 100).empty());
    EXPECT_EQ(m.getNearestPoints(40, 0.0002, 100), std::vector<uint32_t>{42});
}

// Tables made to disagree (a node without adjacency, a listed link that is gone) are skipped, never
// followed.
TEST(NearestLinks, InconsistentTablesAreSkipped) {
    Map m = karvel_test::graphOf(3, {{1, 2}, {2, 3}});
    m.graph.erase(1);
    m.links.erase(2);
    std::vector<int> found;
    karvel_test::printed(
        [&] { found = m.getNearestLinks(m.nodes.at(2).latitude, m.nodes.at(2).longitude, 500); });
    EXPECT_EQ(found, std::vector<int>{1});
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

// Every node, measured in planar metres of the map's frame.
Expected<uint32_t> nearNodes(const Map& m, double lat, double lon, double radius) {
    Expected<uint32_t> e;
    const Point p = m.toPlane(lat, lon);
    for (const auto& [id, n] : m.nodes) e.add(id, distance2Points({n.easting, n.northing}, p), radius);
    return e;
}

void expectAgreement(const Map& m, double lat, double lon, double radius) {
    SCOPED_TRACE(testing::Message() << lat << "," << lon << " radius " << radius);
    nearNodes(m, lat, lon, radius).check(m.getNearestPointsAndDistances(lat, lon, radius));
    if (radius > 300) return;
    const auto links = m.getNearestLinksAndDistances(lat, lon, radius);
    for (size_t i = 1; i < links.size(); ++i) EXPECT_LT(links[i - 1].first, links[i].first);
    const Expected<uint32_t> near = nearNodes(m, lat, lon, 10.0 * radius);
    const Point q = m.toPlane(lat, lon);
    Expected<int> e;
    for (const auto& [id, d] : near.may) {
        for (const auto* set : {&m.graph.at(id).forwardLinks, &m.graph.at(id).backwardLinks})
            for (const int l : *set) {
                const auto& link = m.links.at(l);
                const Point a = m.getNodePoint(link.origin), b = m.getNodePoint(link.destination);
                e.add(l, getNearestPointFromLink(a, b, q).second, radius, near.must.count(id) != 0);
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
    } regions[] = {{1, 41.10, 41.20, -8.70, -8.55, -8.71, -8.54}, {7, 40.0, 40.3, -6.2, -5.8, -6.05, -5.95}};
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

// Where the positions are drawn: latitude and longitude ranges, and the radii asked.
struct Region {
    std::string name;
    double latLow, latHigh;
    double lonLow, lonHigh;
    double radiusLow, radiusHigh;  // drawn log-uniformly
};

class CellReachTest : public testing::TestWithParam<Region> {};

// Cells of the index at random depths, a few cells away from the one holding the position, as the
// walk meets them.
TEST_P(CellReachTest, DecidesEveryCellAsTheConversionDoes) {
    const Region& region = GetParam();
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> lat(region.latLow, region.latHigh),
        lon(region.lonLow, region.lonHigh);
    std::uniform_real_distribution<double> logRadius(std::log(region.radiusLow), std::log(region.radiusHigh));
    std::uniform_int_distribution<int> depth(0, 30), shift(-3, 3);
    int visited = 0, pruned = 0;
    for (int query = 0; query < 2000; ++query) {
        const _position pos{lat(rng), lon(rng)};
        const double radius = query % 50 == 0 ? 0.0 : std::exp(logRadius(rng));
        const CellReach reach(pos, positionToPoint(pos), radius);
        for (int c = 0; c < 40; ++c) {
            const double cells = std::ldexp(1.0, depth(rng));
            const double hw = 180.0 / cells, hh = 90.0 / cells;
            const double row =
                std::clamp(std::floor((pos.lat + 90.0) / (2 * hh)) + shift(rng), 0.0, cells - 1);
            const double col =
                std::clamp(std::floor((pos.lon + 180.0) / (2 * hw)) + shift(rng), 0.0, cells - 1);
            const _position centre{-90.0 + hh * (2 * row + 1), -180.0 + hw * (2 * col + 1)};
            const bool expected = reach.reachesByConversion(centre, hw, hh);
            ASSERT_EQ(reach.reaches(centre, hw, hh), expected)
                << "position " << pos.lat << ", " << pos.lon << " radius " << radius << " cell " << centre.lat
                << ", " << centre.lon << " depth " << cells;
            ++(expected ? visited : pruned);
        }
    }
    // Both answers occur often, so neither a bound that always prunes nor one that always visits passes.
    EXPECT_GT(visited, 8000);
    EXPECT_GT(pruned, 8000);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, CellReachTest,
    testing::Values(Region{"CityRadii", 40.0, 42.0, -9.0, -7.0, 1.0, 3000.0},
                    Region{"Anywhere", -90.0, 90.0, -180.0, 180.0, 1.0, 1e6},
                    // The clamped point falls in the next zone, or on the line between two zones.
                    Region{"ZoneEdge", -60.0, 60.0, -6.0001, -5.9999, 1.0, 5000.0},
                    Region{"DateLine", -30.0, 30.0, 179.999, 180.0, 1.0, 5000.0},
                    // The northing jumps by ten thousand kilometres between the hemispheres.
                    Region{"Equator", -0.001, 0.001, 10.0, 12.0, 1.0, 5000.0},
                    // Where the upper bounds stop being used, and the poles themselves.
                    Region{"HighLatitude", 79.99, 80.01, 20.0, 30.0, 1.0, 5000.0},
                    Region{"NorthPole", 89.9, 90.0, -180.0, 180.0, 1.0, 50000.0},
                    Region{"SouthPole", -90.0, -89.9, -180.0, 180.0, 1.0, 50000.0},
                    Region{"LargestBoundedRadius", 40.0, 42.0, -9.0, -7.0, 40000.0, 60000.0}),
    [](const testing::TestParamInfo<Region>& info) { return info.param.name; });

}  // namespace
