// Reachability queries and walks along roads over small hand-drawn road graphs; the road graph view
// and the bounded route-distance search against plain reference computations on random small graphs;
// the spatial index through the map's searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geometry/GPSPoint.h"
#include "local_world.h"
#include "map/compact_map.h"
#include "map/quadtree.h"
#include "map/road_graph.h"
#include "map/route_distance.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::graphOf;
using mapRepresentation::CellReach;
using mapRepresentation::Map;
using mapRepresentation::RoadRule;
using End = mapRepresentation::RoadWalk::End;

namespace {

using Links = std::vector<int>;
using Answer = std::pair<bool, Links>;

// 1 -> 2 -> 3 -> 4: links 1, 2, 3 (node 5 apart).
const Map kChain = graphOf(5, {{1, 2}, {2, 3}, {3, 4}});
// The chain with a road 5 -> 3 merging in (link 4), or with a fork 3 -> 5 (link 4).
const Map kMergeIn = graphOf(5, {{1, 2}, {2, 3}, {3, 4}, {5, 3}});
const Map kFork = graphOf(5, {{1, 2}, {2, 3}, {3, 4}, {3, 5}});
// from = 1 (1 -> 2); two routes of two links to 5: via 3 (links 2 and 5) and via 4 (links 3 and 4);
// to = 6 (5 -> 6).
const Map kDiamond = graphOf(6, {{1, 2}, {2, 3}, {2, 4}, {4, 5}, {3, 5}, {5, 6}});
// A ring 1 -> 2 -> 3 -> 4 -> 1 of pass-through nodes: links 1..4.
const Map kRing = graphOf(4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}});
// A ring 1 -> 2 -> 3 -> 1 (links 1..3) that road 5 -> 1 (link 4) runs into.
const Map kLasso = graphOf(5, {{1, 2}, {2, 3}, {3, 1}, {5, 1}});

// Tables made to disagree: node 4 of the chain names a link 77 the link table lacks; the fork
// lacks the graph entry of node 2.
const Map kDangling = [] {
    Map m = kChain;
    m.graph[4].forwardLinks.insert(77);
    return m;
}();
const Map kMissingNode = [] {
    Map m = kFork;
    m.graph.erase(2);
    return m;
}();

}  // namespace

TEST(Queries, PairTests) {
    const Map m = graphOf(3, {{1, 2}, {2, 1}, {2, 3}});
    EXPECT_TRUE(m.areMirrored(1, 2) && m.isConnected(1, 2) && m.isConnected(1, 3) &&
                m.belongSameSuperLink(1, 1));
    EXPECT_FALSE(m.isConnected(3, 1) || m.areMirrored(1, 3));
    for (const int bad : {-1, 999}) {
        EXPECT_FALSE(m.isConnected(1, bad) || m.isConnected(bad, 1));
        EXPECT_FALSE(m.areMirrored(bad, 1) || m.belongSameSuperLink(bad, 1) || m.belongSameSuperLink(1, bad));
    }
}

// The one walk along a road under both continuation rules; it never prints.
TEST(Queries, FollowRoadStopsWhereItsRuleSays) {
    constexpr auto kSingle = RoadRule::SingleWayOn;
    constexpr auto kThrough = RoadRule::PassThrough;
    const struct {
        const Map* map;
        int link;
        bool forward;
        RoadRule rule;
        size_t maxLinks;
        Links links;
        End end;
        int64_t missing = -1;
    } cases[] = {
        {&kFork, 1, true, kSingle, 9, {2}, End::Junction},  // a fork stops forward walks
        {&kFork, 4, false, kSingle, 9, {2, 1}, End::Junction},
        {&kLasso, 4, true, kSingle, 7, {1, 2, 3, 1, 2, 3, 1}, End::Limit},  // merging in goes on forward
        {&kLasso, 1, true, kThrough, 9, {2, 3}, End::Junction},
        {&kRing, 3, true, kThrough, 9, {4, 1, 2}, End::BackAtStart},
        {&kRing, 3, true, kSingle, 6, {4, 1, 2, 3, 4, 1}, End::Limit},
        {&kFork, 99, true, kSingle, 9, {}, End::MissingLink, 99},
        {&kDangling, 1, true, kThrough, 9, {2, 3}, End::MissingLink, 77},
        {&kMissingNode, 2, false, kThrough, 9, {}, End::MissingNode, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "link " << c.link << " forward " << c.forward);
        mapRepresentation::RoadWalk walk;
        EXPECT_EQ(
            karvel_test::printed([&] { walk = c.map->followRoad(c.link, c.forward, c.rule, c.maxLinks); }),
            "");
        EXPECT_EQ(std::tuple(walk.links, walk.end, walk.missing), std::tuple(c.links, c.end, c.missing));
    }
}

TEST(Queries, WalksToJunctionsAndAllReachableLinks) {
    const struct {
        const Map* map;
        bool next;
        int link, count;
        Links links;
    } walks[] = {
        {&kChain, true, 1, 5, {2, 3}},
        {&kChain, false, 3, 5, {2, 1}},
        {&kMergeIn, true, 1, 5, {2, 3}},  // a road merging in stops only the backward walk
        {&kMergeIn, false, 3, 5, {}},
        // The only way on is taken even when the link table lacks it; the walk ends there.
        {&kDangling, true, 1, 5, {2, 3, 77}},
        {&kDiamond, true, 777, 3, {}},
    };
    for (const auto& c : walks)
        EXPECT_EQ(c.next ? c.map->getLinksUntilNextJunction(c.link, c.count)
                         : c.map->getLinksUntilPreviousJunction(c.link, c.count),
                  c.links)
            << "link " << c.link << " next " << c.next;

    EXPECT_EQ(kChain.getAllAchievableLinks(1, 1), (std::set<int>{2}));
    EXPECT_EQ(kChain.getAllAchievableLinks(1, 2), (std::set<int>{2, 3}));
    EXPECT_EQ(kChain.getAllFormerLinks(3, 2), (std::set<int>{1, 2}));
    // A U-turn on a two-way road leads back to the start link.
    EXPECT_EQ(graphOf(2, {{1, 2}, {2, 1}}).getAllAchievableLinks(1, 2), (std::set<int>{1, 2}));
    EXPECT_TRUE(
        kChain.getAllAchievableLinks(1, 0).empty() && kDiamond.getAllAchievableLinks(777, 3).empty() &&
        kDiamond.getAllFormerLinks(777, 3).empty() && kDiamond.getAllAchievableSuperLinks(777, 3, 3).empty());
}

// Routes between two links: the shortest (fewest links, then lowest ids), or the one without choices.
// Unreachable targets behind cycles must end the searches.
TEST(Queries, RoutesBetweenLinks) {
    using Query = std::function<Answer(const Map&, int, int, int)>;
    const Query between = [](const Map& m, int from, int to, int) {
        return Answer{true, m.getLinksBetween(from, to)};
    };
    const Query without = &Map::isAchievableWithoutAmbiguity, with = &Map::isAchievableWithAmbiguity;
    Map shortcut = kDiamond;
    shortcut.addLinkToNode(2, 5, 0, 0);  // link 7
    const Map cyclic = graphOf(6, {{1, 2}, {2, 3}, {3, 2}, {3, 4}, {4, 2}, {5, 6}});
    // A ring without choices and a target off the ring: the walk gives up whatever the limit.
    const Map ring = graphOf(5, {{1, 2}, {2, 3}, {3, 1}, {4, 5}});
    const struct {
        const Query* query;
        const Map* map;
        int from, to, limit;
        Answer answer;
    } cases[] = {
        {&between, &kChain, 1, 3, 0, {true, {2}}},      {&between, &kChain, 1, 2, 0, {true, {}}},
        {&between, &kDiamond, 1, 6, 0, {true, {2, 5}}}, {&between, &shortcut, 1, 6, 0, {true, {7}}},
        {&between, &cyclic, 1, 6, 0, {true, {}}},       {&between, &cyclic, 1, 12345, 0, {true, {}}},
        {&between, &kDiamond, 777, 6, 0, {true, {}}},   {&without, &kChain, 1, 3, 1, {true, {2}}},
        {&without, &kChain, 1, 1, -1, {true, {}}},      {&without, &kChain, 1, 2, -1, {false, {}}},
        {&without, &kDiamond, 1, 6, 9, {false, {}}},    {&without, &ring, 1, 4, INT_MAX, {false, {}}},
        {&without, &ring, 2, 1, INT_MAX, {true, {3}}},  {&with, &cyclic, 1, 6, -1, {false, {}}},
        {&with, &kDiamond, 1, 6, 2, {true, {2, 5}}},  // the link limit is respected
        {&with, &kDiamond, 1, 6, 1, {false, {}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ((*c.query)(*c.map, c.from, c.to, c.limit), c.answer) << "row " << &c - cases;
}

TEST(Queries, AchievableSuperLinksStopAtLongOnes) {
    // Entry 1 -> 2; fork at 2: a five-link road 2 -> ... -> 7 and 2 -> 8; fork at 7: 7 -> 9, 7 -> 10.
    const Map m = graphOf(10, {{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {2, 8}, {7, 9}, {7, 10}});
    const int entry = m.getSuperLinkKey(1), road = m.getSuperLinkKey(2), side = m.getSuperLinkKey(7);
    const std::set<int> all{road, side, m.getSuperLinkKey(8), m.getSuperLinkKey(9)};
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 3, 3), (std::set<int>{road, side}));
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 3, 5), all);
    EXPECT_EQ(m.getAllAchievableSuperLinks(entry, 1, 5), (std::set<int>{road, side}));
    EXPECT_TRUE(m.getAllAchievableSuperLinks(entry, 0, 5).empty());
}

namespace {

using mapRepresentation::RoadGraph;
using mapRepresentation::RouteSearch;

constexpr double kInf = std::numeric_limits<double>::infinity();

// A random graph of `nodes` nodes in a 400 m square with about `links` one-way links.
local_world::World randomWorld(std::mt19937& rng, int nodes, int links) {
    local_world::World w;
    std::uniform_real_distribution<double> coord(0.0, 400.0);
    for (int i = 0; i < nodes; ++i) w.node(coord(rng), coord(rng));
    std::uniform_int_distribution<uint32_t> pick(1, static_cast<uint32_t>(nodes));
    for (int i = 0; i < links; ++i) {
        const uint32_t a = pick(rng), b = pick(rng);
        if (a != b) w.link(a, b);
    }
    return w;
}

// Plain Dijkstra over the map's own tables: node distances from the end of `from`.
std::map<uint32_t, double> referenceNodes(const mapRepresentation::Map& map, int from, double offset) {
    std::map<uint32_t, double> dist;
    using Item = std::pair<double, uint32_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
    const auto& start = map.links.at(from);
    queue.emplace(start.length - offset, start.destination);
    while (!queue.empty()) {
        const auto [d, node] = queue.top();
        queue.pop();
        if (dist.count(node)) continue;
        dist[node] = d;
        for (int l : map.graph.at(node).forwardLinks)
            queue.emplace(d + map.links.at(l).length, map.links.at(l).destination);
    }
    return dist;
}

double referenceDistance(const mapRepresentation::Map& map, const std::map<uint32_t, double>& nodes, int from,
                         double fromOffset, int to, double toOffset) {
    if (to == from && toOffset >= fromOffset) return toOffset - fromOffset;
    const auto it = nodes.find(map.links.at(to).origin);
    return it == nodes.end() ? kInf : it->second + toOffset;
}

TEST(RouteDistance, AgreesWithPlainDijkstraOnRandomGraphs) {
    std::mt19937 rng(20260);
    for (int round = 0; round < 30; ++round) {
        local_world::World w = randomWorld(rng, 12 + round % 10, 40 + round);
        const RoadGraph graph(w.map);
        RouteSearch search(graph);
        std::vector<uint32_t> allNodes(graph.nodeCount());
        std::iota(allNodes.begin(), allNodes.end(), 0u);
        for (uint32_t from = 0; from < graph.linkCount(); ++from) {
            const RoadGraph::Link& f = graph.link(from);
            const double offset = f.length * 0.3;
            const auto reference = referenceNodes(w.map, f.id, offset);
            const double bound = round % 2 == 0 ? 1e9 : 350.0;
            search.run(from, offset, bound, allNodes);
            for (uint32_t to = 0; to < graph.linkCount(); ++to) {
                for (double part : {0.0, 0.1, 0.9}) {
                    const double want = referenceDistance(w.map, reference, f.id, offset, graph.link(to).id,
                                                          part * graph.link(to).length);
                    const double got = search.distanceTo(to, part * graph.link(to).length);
                    EXPECT_TRUE(want <= bound ? std::fabs(got - want) < 1e-6 : got == kInf)
                        << "round " << round << " from " << f.id << " to " << graph.link(to).id << ": "
                        << got;
                }
                // The reported links make up exactly the measured distance.
                const double got = search.distanceTo(to, 0.0);
                if (got == kInf || (to == from)) continue;
                std::vector<uint32_t> between;
                search.linksBetween(to, 0.0, between);
                double sum = f.length - offset;
                uint32_t at = f.destination;
                for (uint32_t l : between) {
                    EXPECT_EQ(graph.link(l).origin, at);
                    at = graph.link(l).destination;
                    sum += graph.link(l).length;
                }
                EXPECT_EQ(at, graph.link(to).origin);
                EXPECT_NEAR(sum, got, 1e-6);
            }
        }
    }
}

// Over the map and over its compact form alike.
TEST(RoadGraph, NearLinksAreTheBruteForceOnesNearestFirst) {
    std::mt19937 rng(99);
    local_world::World w = randomWorld(rng, 40, 120);
    const mapRepresentation::CompactMap compact = mapRepresentation::CompactMap::build(w.map);
    const RoadGraph graph(w.map), overCompact(compact);
    std::uniform_real_distribution<double> coord(-50.0, 450.0);
    std::vector<RoadGraph::Near> near;
    for (int i = 0; i < 300; ++i) {
        const Point p{local_world::kE0 + coord(rng), local_world::kN0 + coord(rng)};
        const double radius = 10.0 + (i % 5) * 30.0;
        std::vector<std::pair<double, int>> want;
        for (uint32_t l = 0; l < graph.linkCount(); ++l) {
            const double d = getNearestPointFromLink(graph.link(l).a, graph.link(l).b, p).second;
            if (d <= radius) want.emplace_back(d, graph.link(l).id);
        }
        std::sort(want.begin(), want.end());
        for (const RoadGraph* g : {&graph, &overCompact}) {
            g->nearLinks(p, radius, 1000, near);
            ASSERT_EQ(near.size(), want.size()) << "point " << i;
            for (size_t k = 0; k < want.size(); ++k) {
                EXPECT_EQ(g->link(near[k].link).id, want[k].second);
                EXPECT_NEAR(near[k].distance, want[k].first, 1e-6);
            }
            g->nearLinks(p, radius, 3, near);
            EXPECT_EQ(near.size(), std::min<size_t>(3, want.size()));
        }
    }
}

// The spatial index through the map's searches: the smallest cell, and radius searches against a
// brute-force scan (nodes, and links whose end nodes lie within ten radii). Moves and removals are
// checked after every random edit in maps_property_test.cpp; the KML picture with the kml room.
// Most cells are decided by bounds in degrees instead of a UTM conversion: the decision must be the
// converting rule's own, cell for cell (a cell pruned that the rule visits loses nodes, a cell
// visited that the rule prunes shows a bound that does not hold).

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
