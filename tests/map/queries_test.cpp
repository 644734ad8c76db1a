// Reachability queries and walks along roads over small hand-drawn road graphs; the road graph view
// and the bounded route-distance search against plain reference computations on random small graphs.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <queue>
#include <random>
#include <set>
#include <vector>

#include "local_world.h"
#include "map/road_graph.h"
#include "map/route_distance.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::graphOf;
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
        for (uint32_t i = 0; i < graph.nodeCount(); ++i) allNodes[i] = i;
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
                    if (want <= bound)
                        EXPECT_NEAR(got, want, 1e-6)
                            << "round " << round << " from " << f.id << " to " << graph.link(to).id;
                    else
                        EXPECT_EQ(got, kInf);
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

TEST(RoadGraph, NearLinksAreTheBruteForceOnesNearestFirst) {
    std::mt19937 rng(99);
    local_world::World w = randomWorld(rng, 40, 120);
    const RoadGraph graph(w.map);
    std::uniform_real_distribution<double> coord(-50.0, 450.0);
    std::vector<RoadGraph::Near> near;
    for (int i = 0; i < 300; ++i) {
        const Point p{local_world::kE0 + coord(rng), local_world::kN0 + coord(rng)};
        const double radius = 10.0 + (i % 5) * 30.0;
        graph.nearLinks(p, radius, 1000, near);
        std::vector<std::pair<double, int>> want;
        for (uint32_t l = 0; l < graph.linkCount(); ++l) {
            const double d = getNearestPointFromLink(graph.link(l).a, graph.link(l).b, p).second;
            if (d <= radius) want.emplace_back(d, graph.link(l).id);
        }
        std::sort(want.begin(), want.end());
        ASSERT_EQ(near.size(), want.size()) << "point " << i;
        for (size_t k = 0; k < want.size(); ++k) {
            EXPECT_EQ(graph.link(near[k].link).id, want[k].second);
            EXPECT_NEAR(near[k].distance, want[k].first, 1e-6);
        }
        graph.nearLinks(p, radius, 3, near);
        EXPECT_EQ(near.size(), std::min<size_t>(3, want.size()));
    }
}

}  // namespace
