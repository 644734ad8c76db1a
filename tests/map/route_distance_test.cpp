// The road graph view and the bounded route-distance search, checked against plain reference
// computations on random small graphs.
#include "map/route_distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <queue>
#include <random>

#include "local_world.h"
#include "map/road_graph.h"

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
