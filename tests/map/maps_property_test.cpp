// Random maps and random edits. After every insertion, removal, deletion, re-attachment, node
// insertion, node move, edge merge and path merge: both layers and the index satisfy all their
// invariants, the layer kept link by link chains exactly the links that a full rebuild chains, and
// the map's own consistency report finds nothing but the anchors of closed loops, which the layer
// keeps on purpose. Building a map in one go gives the map of one-by-one insertion (every table, the
// keys, the counters, the index and both dumps), and refuses whole what the calls would refuse. The
// super-link cases fix the choices the invariants leave open (where loops are anchored).
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/quadtree.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::graphOf;
using mapRepresentation::BulkLink;
using mapRepresentation::BulkNode;
using mapRepresentation::Map;

namespace {

// The chains as link sequences; a closed loop of pass-through nodes is rotated to its smallest link.
std::vector<std::vector<int>> chains(const Map& m) {
    std::vector<std::vector<int>> out;
    for (const auto& [key, s] : m.superLinks) {
        std::vector<int> c(s.links.begin(), s.links.end());
        const auto& g = m.graph.at(s.origin);
        if (s.origin == s.destination && g.backwardLinks.size() == 1 && g.forwardLinks.size() == 1)
            std::rotate(c.begin(), std::min_element(c.begin(), c.end()), c.end());
        out.push_back(std::move(c));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Beyond the shared checker: the rebuild, fresh ids and the report's verdict.
std::string check(const Map& m) {
    std::ostringstream err;
    Map rebuilt(m);
    rebuilt.buildSuperMap();
    err << karvel_test::checkMapInvariants(m) << karvel_test::checkMapInvariants(rebuilt);
    if (chains(rebuilt) != chains(m)) err << "layer differs from a full rebuild\n";
    for (const auto& [id, l] : m.links)
        if (id >= m.nextLinkId) err << "link id " << id << " not below nextLinkId\n";
    for (const auto& [id, n] : m.nodes)
        if (id >= m.nextNodeId) err << "node id " << id << " not below nextNodeId\n";
    size_t anchors = 0;  // pass-through super-nodes: the anchors of closed loops
    for (const auto& [id, e] : m.graph)
        anchors += e.backwardLinks.size() == 1 && e.forwardLinks.size() == 1 && m.superNodes.count(id) != 0;
    if (m.validateMap() != (anchors == 0)) err << "validateMap disagrees with " << anchors << " anchors\n";
    return err.str();
}

// Grows and edits one map at random, checking it after every single change.
struct RandomMap {
    Map& m;
    std::mt19937 rng;
    std::vector<uint32_t> ids{};  // the nodes made by growth, picked for new roads
    std::string history{}, failure{};

    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    template <typename Table>
    auto any(const Table& t) {
        return std::next(t.begin(), uniform(0, static_cast<int>(t.size()) - 1))->first;
    }
    void changed(const std::string& what) {
        if (!failure.empty()) return;
        history += what + "\n";
        failure = check(m);
    }
    void node(double spread) {
        ids.push_back(m.addNodeToMap(41.15 + real(-spread, spread), -8.61 + real(-spread, spread), 0, 0));
        changed("node " + std::to_string(ids.back()));
    }
    void link(uint32_t o, uint32_t d) {  // may be a refused self-loop or a parallel link
        const int id = m.addLinkToNode(o, d, 10.0, static_cast<unsigned>(uniform(0, 2)));
        changed("link " + std::to_string(o) + ">" + std::to_string(d) + " as " + std::to_string(id));
    }
    uint32_t pick() { return ids[uniform(0, static_cast<int>(ids.size()) - 1)]; }
    std::vector<uint32_t> distinct(int count) {  // distinct nodes for a chain or a loop
        std::vector<uint32_t> pool = ids;
        std::shuffle(pool.begin(), pool.end(), rng);
        pool.resize(std::min<size_t>(pool.size(), static_cast<size_t>(count)));
        return pool;
    }

    // One-way links, chains whose links arrive in random order (so chains grow at both
    // ends and join), closed loops (two-way roads) with or without a chord, parallel links and removals.
    void grow(bool removals) {
        const int kind = uniform(0, 7);
        if (kind <= 2) return link(pick(), pick());
        if (kind <= 4) {
            const auto p = distinct(uniform(3, 6));
            std::vector<size_t> order(p.size() - 1);
            std::iota(order.begin(), order.end(), 0);
            std::shuffle(order.begin(), order.end(), rng);
            for (size_t i : order) link(p[i], p[i + 1]);
            return;
        }
        if (kind == 5) {  // two nodes make a two-way road
            const auto p = distinct(uniform(2, 5));
            for (size_t i = 0; i < p.size(); ++i) link(p[i], p[(i + 1) % p.size()]);
            if (p.size() > 2 && uniform(0, 1) == 0) link(p[0], p[2]);
            return;
        }
        if (m.links.empty()) return;
        const int l = any(m.links);
        if (kind == 6 || !removals) return link(m.links.at(l).origin, m.links.at(l).destination);
        karvel_test::removeLinkForTest(m, l);
        changed("remove " + std::to_string(l));
    }

    // Deletion, re-attachment, node insertion, node averaging with edge merge, path merge, node move.
    void edit() {
        const int kind = uniform(0, 7);
        if (m.links.size() < 2 || m.nodes.size() < 2 || kind == 7) {  // growth, so the map does not wither
            node(0.01);
            link(any(m.nodes), ids.back());
            if (uniform(0, 1) == 0) link(ids.back(), any(m.nodes));
            return;
        }
        const int l = any(m.links);
        const auto& link = m.links.at(l);
        const uint32_t u = any(m.nodes), v = any(m.nodes);
        if (kind <= 1) {
            m.deleteLink(l);
        } else if (kind == 2) {
            m.updateLink(l, uniform(0, 2) == 0 ? link.origin : u, uniform(0, 2) == 0 ? link.destination : v);
        } else if (kind == 3) {
            const auto &o = m.nodes.at(link.origin), &d = m.nodes.at(link.destination);
            const double t = real(0.1, 0.9);
            m.addNodeInLink(l, o.latitude + t * (d.latitude - o.latitude),
                            o.longitude + t * (d.longitude - o.longitude), 0, 0);
        } else if (kind == 4) {
            if (uniform(0, 1) == 0) m.calcAvgNode(u, uniform(0, 3), v, uniform(1, 3));
            m.mergeEdges(u, v);
        } else if (kind == 5) {
            std::vector<int> path{any(m.links)};  // following random out-links, merged into l
            while (path.size() < 4) {
                const auto& out = m.graph.at(m.links.at(path.back()).destination).forwardLinks;
                if (out.empty()) break;
                const int next = *std::next(out.begin(), uniform(0, static_cast<int>(out.size()) - 1));
                if (std::find(path.begin(), path.end(), next) != path.end()) break;
                path.push_back(next);
            }
            m.mergePaths({{l, path}}, uniform(0, 3) == 0 ? -1 : 1);
        } else {
            auto rec = m.nodes.at(u);
            const GPSPoint g = GPSPoint::convertWGS84ToUTM(rec.latitude += real(-0.002, 0.002),
                                                           rec.longitude += real(-0.002, 0.002));
            rec.easting = g.easting;
            rec.northing = g.northing;
            m.updateNode(u, rec);
        }
        changed("edit " + std::to_string(kind) + " " + std::to_string(l) + " " + std::to_string(u) + " " +
                std::to_string(v));
    }
};

// A random map checked after every change while it grows, then after every random edit; nothing it
// printed tells of broken tables.
void run(uint32_t seed, int nodes, int steps, double spread, bool removals, int edits) {
    Map map;
    RandomMap r{.m = map, .rng = std::mt19937(seed)};
    const std::string said = karvel_test::printed([&] {
        for (int i = 0; i < nodes; ++i) r.node(spread);
        for (int i = 0; i < steps && r.failure.empty(); ++i) r.grow(removals);
        for (int i = 0; i < edits && r.failure.empty(); ++i) r.edit();
    });
    for (const char* bad :
         {"Invalid Link", "not found", "Super Link", "should exist here", "still has links",
          "non existing node. (", "non existing link. (", "non existing graph", "There's no node"})
        if (said.find(bad) != std::string::npos) r.failure += "printed " + std::string(bad) + "\n";
    ASSERT_EQ(r.failure, "") << "seed " << seed << " after:\n" << r.history;
}

}  // namespace

void karvel_test::growRandomMap(Map& map, uint32_t seed, int nodes, int steps) {
    RandomMap r{.m = map, .rng = std::mt19937(seed)};
    karvel_test::printed([&] {  // refused self-loops say so
        for (int i = 0; i < nodes; ++i) r.node(0.01);
        for (int i = 0; i < steps; ++i) r.grow(false);
    });
}

namespace {

TEST(MapProperty, RandomMapsAndEditsKeepEveryInvariant) {
    for (uint32_t seed = 1; seed <= 400 && !HasFatalFailure(); ++seed)
        run(seed, 3 + static_cast<int>(seed % 10), 10 + static_cast<int>(seed % 27), 0.01, seed % 2 == 0,
            seed % 3 == 0 ? 40 : 0);
}

// Larger maps with a split index, and longer edit sequences.
TEST(MapProperty, LargerMapsWithASplitIndex) {
    for (uint32_t seed = 900; seed < 904 && !HasFatalFailure(); ++seed) run(seed, 60, 150, 0.002, false, 200);
}

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

// "origin>destination:[links]" per super-link in key order, then "|" and the super-node ids.
// Sequence numbers and keys of the links are covered by checkMapInvariants.
std::string layer(const Map& m) {
    std::string out;
    for (const auto& [key, s] : m.superLinks) {
        out += std::to_string(s.origin) + ">" + std::to_string(s.destination) + ":[";
        for (int l : s.links) out += std::to_string(l) + (l == s.links.back() ? "] " : ",");
    }
    out += "|";
    for (const auto& [id, e] : m.superNodes) out += " " + std::to_string(id);
    return out;
}

// The map's own consistency report, without its text.
bool valid(const Map& m) {
    bool ok = false;
    karvel_test::printed([&] { ok = m.validateMap(); });
    return ok;
}

TEST(SuperLinks, LayerAfterInsertionsAndRemovals) {
    using Links = std::initializer_list<std::pair<uint32_t, uint32_t>>;
    const struct {
        int nodes;
        Links links;
        std::vector<int> removed;
        std::string layer;
    } cases[] = {
        {3, {{2, 3}, {1, 2}}, {}, "1>3:[2,1] | 1 3"},          // the second link is put in front
        {3, {{1, 2}, {2, 3}, {3, 1}}, {}, "1>1:[1,2,3] | 1"},  // a closed loop is anchored
        // Both ends of a chord are about to become junctions, so neither may lose the loop's anchor.
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {1, 3}}, {}, "1>3:[1,2] 3>1:[3,4] 1>3:[5] | 1 3"},
        // A link leaving the loop re-anchors it at the junction.
        {5, {{1, 2}, {2, 3}, {3, 4}, {4, 1}, {3, 5}}, {}, "3>3:[3,4,1,2] 3>5:[5] | 3 5"},
        // A removal opens a loop into one chain from behind the gap to before it.
        {4, {{1, 2}, {2, 3}, {3, 4}, {4, 1}}, {2}, "3>2:[3,4,1] | 2 3"},
    };
    for (const auto& c : cases) {
        Map m = graphOf(c.nodes, c.links);
        for (int l : c.removed) karvel_test::removeLinkForTest(m, l);
        EXPECT_EQ(layer(m), c.layer);
        EXPECT_EQ(karvel_test::checkMapInvariants(m), "") << c.layer;
    }
}

// The rebuild anchors a loop without junctions the same way, under a new id; the report calls the
// anchor inconsistent.
TEST(SuperLinks, RebuildAndReport) {
    Map loop = graphOf(3, {{1, 2}, {2, 3}, {3, 1}});
    loop.buildSuperMap();
    EXPECT_EQ(std::tuple(layer(loop), loop.superLinks.begin()->first, valid(loop)),
              std::tuple("1>1:[1,2,3] | 1", 2, false));
    EXPECT_EQ(karvel_test::checkMapInvariants(loop), "");

    // Splits and merges are checked after every random edit; a layer broken by hand is reported.
    Map m = graphOf(4, {{1, 2}, {2, 3}, {3, 4}});
    EXPECT_TRUE(valid(m));
    m.links.at(1).superLinkKey = 42;
    EXPECT_FALSE(valid(m));
}

}  // namespace
