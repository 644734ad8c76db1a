// Building a map in one go against adding its nodes and links one by one: every table, the
// super-link keys, the counters, the index and both dumps agree; input the calls would refuse is
// refused whole.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "map/quadtree.h"
#include "maps_invariants.h"
#include "test_support.h"

using mapRepresentation::BulkLink;
using mapRepresentation::BulkNode;
using mapRepresentation::Map;

namespace {

// Every table of the map, the counters and the index statistics as text.
std::string everything(const Map& m) {
    std::ostringstream s;
    s.precision(17);
    s << m.nextNodeId << ' ' << m.nextLinkId << ' ' << m.nextSuperLinkId << '\n';
    for (const auto& [id, n] : m.nodes)
        s << 'n' << id << ' ' << n.latitude << ' ' << n.longitude << ' ' << n.northing << ' ' << n.easting
          << '\n';
    for (const auto& [id, l] : m.links)
        s << 'l' << id << ' ' << l.origin << '>' << l.destination << " k" << l.superLinkKey << " s"
          << l.sequenceNumber << ' ' << l.heading << ' ' << l.length << ' ' << l.speed << ' ' << l.samples
          << '\n';
    const auto ids = [](const auto& set) {
        std::string t;
        for (const auto id : set) t += ' ' + std::to_string(id);
        return t + " |";
    };
    for (const auto& [id, e] : m.graph) s << 'g' << id << ids(e.forwardLinks) << ids(e.backwardLinks) << '\n';
    for (const auto& [id, e] : m.superNodes)
        s << 'N' << id << ids(e.forwardSuperLinks) << ids(e.backwardSuperLinks) << '\n';
    for (const auto& [id, c] : m.superLinks)
        s << 'S' << id << ' ' << c.origin << '>' << c.destination << ids(c.links);
    return s.str() + m.quadTree->getQuadTreeStatistics();
}

// (node count, insertion steps, id stride): random maps of chains, loops, two-way roads and chords,
// their links then given to both builders in id order; a stride above 1 spreads the node ids.
class BulkBuild : public ::testing::TestWithParam<std::tuple<int, int, uint32_t>> {};

TEST_P(BulkBuild, GivesTheMapOfOneByOneInsertion) {
    const auto [nodeCount, steps, stride] = GetParam();
    karvel_test::TempDir dir;
    for (uint32_t seed = 1; seed <= 25; ++seed) {
        Map random;
        karvel_test::growRandomMap(random, seed, nodeCount, steps);
        std::vector<BulkNode> nodes;
        std::vector<BulkLink> links;
        Map oneByOne, bulk;
        for (const auto& [id, n] : random.nodes) {
            nodes.push_back({id * stride, n.latitude, n.longitude, 0.5 * id, 2.0});
            oneByOne.addNode(id * stride, n.latitude, n.longitude, 0.5 * id, 2.0);
        }
        for (const auto& [id, l] : random.links) {
            links.push_back({l.origin * stride, l.destination * stride, 1.5 * id, l.samples});
            oneByOne.addLinkToNode(l.origin * stride, l.destination * stride, 1.5 * id, l.samples);
        }
        ASSERT_TRUE(mapRepresentation::buildInBulk(bulk, nodes, links));
        ASSERT_EQ(everything(bulk), everything(oneByOne)) << "seed " << seed;
        if (seed % 5 != 0) continue;  // saves are slow (synced to disk); a few suffice
        for (const Map* m : {&bulk, &oneByOne}) {
            const std::string name = dir / (m == &bulk ? "bulk" : "one");
            ASSERT_TRUE(m->saveMap(name + ".txt") && m->saveMapForPelorn(name + ".pelorn"));
        }
        EXPECT_EQ(dir.read("bulk.txt"), dir.read("one.txt"));
        EXPECT_EQ(dir.read("bulk.pelorn"), dir.read("one.pelorn"));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BulkBuild,
                         ::testing::Values(std::tuple(4, 12, 1u), std::tuple(12, 30, 1u),
                                           std::tuple(40, 40, 1u), std::tuple(80, 60, 1u),
                                           std::tuple(30, 30, 7u)));

// A closed road whose anchor also has a way out is cut like any other where a link joins it.
TEST(BulkBuild, ALoopWhoseAnchorBranches) {
    const std::vector<BulkNode> nodes{
        {1, 48.0, 11.0}, {2, 48.001, 11.0}, {3, 48.001, 11.001}, {4, 47.999, 11.0}, {5, 48.002, 11.0}};
    const std::vector<BulkLink> links{{1, 2}, {2, 3}, {3, 1}, {1, 4}, {2, 5}};
    Map oneByOne, bulk;
    for (const BulkNode& n : nodes) oneByOne.addNode(n.id, n.lat, n.lon, n.averageSnr, n.hdop);
    for (const BulkLink& l : links) oneByOne.addLinkToNode(l.origin, l.destination, l.speed, l.samples);
    ASSERT_TRUE(mapRepresentation::buildInBulk(bulk, nodes, links));
    EXPECT_EQ(everything(bulk), everything(oneByOne));
}

TEST(BulkBuild, RefusesWhatTheCallsWouldRefuse) {
    const std::vector<BulkNode> two{{1, 48.0, 11.0}, {2, 48.001, 11.0}};
    const std::vector<std::tuple<const char*, std::vector<BulkNode>, std::vector<BulkLink>>> cases{
        {"unordered ids", {{2, 48.0, 11.0}, {1, 48.001, 11.0}}, {}},
        {"repeated id", {{1, 48.0, 11.0}, {1, 48.001, 11.0}}, {}},
        {"off the globe", {{1, 91.0, 11.0}}, {}},
        {"missing end", two, {{1, 3}}},
        {"self-loop", two, {{1, 2}, {2, 2}}},
    };
    for (const auto& [what, nodes, links] : cases) {
        Map map;
        EXPECT_FALSE(mapRepresentation::buildInBulk(map, nodes, links)) << what;
        EXPECT_TRUE(map.nodes.empty() && map.links.empty() && map.superNodes.empty()) << what;
    }
    Map used;
    used.addNode(7, 48.0, 11.0, 0, 0);
    EXPECT_FALSE(mapRepresentation::buildInBulk(used, two, {{1, 2}}));
    EXPECT_EQ(used.nodes.size(), 1u);
}

}  // namespace
