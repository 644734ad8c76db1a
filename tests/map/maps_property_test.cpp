// Random maps and random edits. After every insertion, removal, deletion, re-attachment, node
// insertion, node move, edge merge and path merge: both layers and the index satisfy all their
// invariants, the layer kept link by link chains exactly the links that a full rebuild chains, and
// the map's own consistency report finds nothing but the anchors of closed loops, which the layer
// keeps on purpose. Building a map in one go gives the map of one-by-one insertion (every table, the
// keys, the counters and the index), and refuses whole what the calls would refuse. The
// super-link cases fix the choices the invariants leave open (where loops are anchored).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps_building.h"
#include "map/quadtree.h"
#include "maps_invariants.h"
#include "test_support.h"

using karvel_test::checkMapInvariants;
using karvel_test::graphOf;
using karvel_test::printed;
using mapRepresentation::_mNode;
using mapRepresentation::BulkLink;
using mapRepresentation::BulkNode;
using mapRepresentation::Map;
namespace mr = mapRepresentation;

namespace {

// Removes a link the way map editing does: out of the link table and both adjacency sets, then out
// of its super-link; isolated end nodes are kept.
void removeLinkForTest(Map& m, int link) {
    const auto l = m.links.at(link);
    m.links.erase(link);
    m.graph[l.origin].forwardLinks.erase(link);
    m.graph[l.destination].backwardLinks.erase(link);
    m.deleteLinkFromSuperLink(l.superLinkKey, link);
}

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

// A node record at (lat, lon), measured in its own UTM zone.
_mNode record(double lat, double lon, double snr, double hdop) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    return _mNode{lat, lon, g.northing, g.easting, snr, hdop};
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
        removeLinkForTest(m, l);
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
            const double north = real(-0.002, 0.002), east = real(-0.002, 0.002);
            const _mNode& n = m.nodes.at(u);
            m.updateNode(u, record(n.latitude + north, n.longitude + east, n.averageSnr, n.hdop));
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

// A random map grown as the property test grows it, without its checks.
void growRandomMap(Map& map, uint32_t seed, int nodes, int steps) {
    RandomMap r{.m = map, .rng = std::mt19937(seed)};
    karvel_test::printed([&] {  // refused self-loops say so
        for (int i = 0; i < nodes; ++i) r.node(0.01);
        for (int i = 0; i < steps; ++i) r.grow(false);
    });
}

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
          << ' ' << n.averageSnr << ' ' << n.hdop << '\n';
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

// The map built in one go from `nodes` and `links`, as every table of the one built call by call.
void expectOneByOne(const std::vector<BulkNode>& nodes, const std::vector<BulkLink>& links) {
    Map oneByOne, bulk;
    for (const BulkNode& n : nodes) oneByOne.addNode(n.id, n.lat, n.lon, n.averageSnr, n.hdop);
    for (const BulkLink& l : links) oneByOne.addLinkToNode(l.origin, l.destination, l.speed, l.samples);
    ASSERT_TRUE(mapRepresentation::buildInBulk(bulk, nodes, links));
    ASSERT_EQ(everything(bulk), everything(oneByOne));
}

// (node count, insertion steps, id stride): random maps of chains, loops, two-way roads and chords,
// their links then given to both builders in id order; a stride above 1 spreads the node ids.
class BulkBuild : public ::testing::TestWithParam<std::tuple<int, int, uint32_t>> {};

TEST_P(BulkBuild, GivesTheMapOfOneByOneInsertion) {
    const auto [nodeCount, steps, stride] = GetParam();
    for (uint32_t seed = 1; seed <= 25 && !HasFatalFailure(); ++seed) {
        SCOPED_TRACE(seed);
        Map random;
        growRandomMap(random, seed, nodeCount, steps);
        std::vector<BulkNode> nodes;
        std::vector<BulkLink> links;
        for (const auto& [id, n] : random.nodes)
            nodes.push_back({id * stride, n.latitude, n.longitude, 0.5 * id, 2.0});
        for (const auto& [id, l] : random.links)
            links.push_back({l.origin * stride, l.destination * stride, 1.5 * id, l.samples});
        expectOneByOne(nodes, links);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BulkBuild,
                         ::testing::Values(std::tuple(4, 12, 1u), std::tuple(12, 30, 1u),
                                           std::tuple(40, 40, 1u), std::tuple(80, 60, 1u),
                                           std::tuple(30, 30, 7u)));

// A closed road whose anchor also has a way out is cut like any other where a link joins it.
TEST(BulkBuild, ALoopWhoseAnchorBranches) {
    expectOneByOne(
        {{1, 48.0, 11.0}, {2, 48.001, 11.0}, {3, 48.001, 11.001}, {4, 47.999, 11.0}, {5, 48.002, 11.0}},
        {{1, 2}, {2, 3}, {3, 1}, {1, 4}, {2, 5}});
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
        for (int l : c.removed) removeLinkForTest(m, l);
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

// Building and editing maps by hand: maps made from drives, node averaging, link statistics, node
// insertion, link re-attachment and deletion, and merging a path of links into a link; these cases
// check the values.
// A node about 111 m * i north of the first.
uint32_t addNorth(Map& m, double i, double lon = -8.61) {
    return m.addNodeToMap(41.15 + i * 0.001, lon, 30.0, 1.0);
}

// A drive of `count` fixes about 22 m apart at speeds 5, 6, ..., north (or south when reversed)
// along one meridian, offset east by `east` degrees.
Route drive(int count, bool reversed = false, double east = 0.0) {
    Route r;
    r.name = "drive";
    for (int i = 0; i < count; ++i) {
        const double lat = 41.15 + (reversed ? count - 1 - i : i) * 0.0002, lon = -8.61 + east;
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
        r.nodes.push_back(_node{0, 0, {lat, lon}, g.northing, g.easting, 0.0, 5.0 + i, 1.0, 35.0, true});
    }
    return r;
}

}  // namespace

TEST(MapBuilding, UsablePointsDropInvalidAndCrowdedFixes) {
    Route r = drive(3);
    r.nodes.insert(r.nodes.begin() + 1, drive(1, false, 0.0000001).nodes[0]);  // 1 cm on: a standing car
    r.nodes.insert(r.nodes.begin() + 2, r.nodes[2]);
    r.nodes[2].valid = false;  // no fix
    r.nodes.back().averageSnr = std::numeric_limits<double>::quiet_NaN();
    r.nodes.back().hdop = -1000.0;
    const Route kept = mr::usablePoints(r);
    ASSERT_EQ(kept.nodes.size(), 3u);
    EXPECT_EQ(std::tuple(kept.name, kept.nodes[1].position.lat, kept.nodes[2].averageSnr, kept.nodes[2].hdop),
              std::tuple("drive", r.nodes[3].position.lat, 0.0, 50.0));
}

TEST(MapBuilding, DrivesStartMergeOrAddAndSpeakThroughTheMapsStream) {
    // A map of one drive: a node per point, a link per step with the speed of the point it arrives at.
    std::optional<Map> one;
    printed([&] { one.emplace(drive(3)); });
    EXPECT_EQ(std::tuple(one->nodes.size(), one->links.at(1).speed, one->links.at(2).speed),
              std::tuple(3u, 6.0, 7.0));
    const struct {
        const char* name;
        Route second;
        size_t merged;  // links of the second drive folded into the first
        size_t links;   // links of the map afterwards
    } cases[] = {
        {"same road, same way", drive(6), 5, 5},
        {"same road, other way", drive(6, true), 0, 10},
        {"a road 200 m east", drive(6, false, 0.0025), 0, 10},
        {"one point", drive(1), 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Map map;
        std::ostringstream messages;
        map.setMessageStream(messages);
        mr::DriveOutcome first, second;
        EXPECT_EQ(printed([&] {
                      first = mr::addDrive(map, drive(6), 10.0);
                      second = mr::addDrive(map, c.second, 10.0);
                  }),
                  "");
        EXPECT_TRUE(first.used && first.started && !second.started);
        EXPECT_EQ(std::tuple(second.used, second.merged, map.links.size()),
                  std::tuple(c.second.nodes.size() >= 2, c.merged, c.links));
        EXPECT_EQ(messages.str().find("ERROR"), std::string::npos) << messages.str();
        EXPECT_EQ(checkMapInvariants(map), "");
        // A merged link carries the observations of both drives.
        for (const auto& [id, link] : map.links) EXPECT_EQ(link.samples, c.merged > 0 ? 2u : 1u) << id;
    }
    // A drive whose points would run the node ids past the largest is refused whole; one that just
    // fits is used.
    for (const int points : {3, 2}) {
        Map full;
        full.nextNodeId = static_cast<uint32_t>(mapRepresentation::kLargestNodeId) - 1;
        mr::DriveOutcome outcome;
        printed([&] { outcome = mr::addDrive(full, drive(points), 10.0); });
        EXPECT_EQ(std::tuple(outcome.noIdsLeft, outcome.used, full.nodes.size()),
                  std::tuple(points == 3, points == 2, points == 3 ? 0u : 2u));
    }
}

TEST(MapEditing, AveragesOfLinkStatisticsAndNodes) {
    Map m;
    const uint32_t a = addNorth(m, 0), b = addNorth(m, 10), c = addNorth(m, 20);
    const int empty = m.addLinkToNode(b, a, 4.0, 0);
    m.updateLinkStats(empty, 8.0, 0);  // no observations at all: no 0 / 0
    EXPECT_EQ(m.links.at(empty).speed, 4.0);

    const _mNode p = record(41.15, -8.61, 30.0, 1.0), q = record(41.151, -8.609, 40.0, 3.0);
    const _mNode mid = Map::calcAvgNode(p, 1, q, 1);
    EXPECT_EQ(std::tuple(std::round(mid.latitude * 1e5), std::round(mid.longitude * 1e5), mid.hdop),
              std::tuple(4115050.0, -860950.0, 2.0));
    EXPECT_EQ(Map::calcAvgNode(p, 0, q, 0).latitude, p.latitude);  // weights adding up to 0 keep the first

    // Moving node a: its links are recomputed; c moved south of a turns its link round.
    const int ac = m.addLinkToNode(a, c, 10.0, 1);
    m.calcAvgNode(a, 1, b, 1);
    EXPECT_NEAR(m.nodes.at(a).latitude, 41.155, 1e-5);
    m.updateNode(c, record(41.15, -8.61, 1.0, 9.0));
    EXPECT_NEAR(m.links.at(ac).heading, M_PI, 0.01);  // grid south
    EXPECT_EQ(checkMapInvariants(m), "");
}

TEST(MapEditing, NodeInLinkReattachingAndDeleting) {
    Map m;
    for (int i = 0; i < 4; ++i) addNorth(m, i);
    for (uint32_t n = 1; n < 4; ++n) m.addLinkToNode(n, n + 1, 12.0, 2);
    const double before = m.links.at(2).length;
    uint32_t n = 0;
    printed([&] { n = m.addNodeInLink(2, 41.1515, -8.61, 33.0, 2.0); });
    EXPECT_EQ(std::tuple(m.links.at(2).destination, m.links.at(4).origin, m.links.at(4).samples),
              std::tuple(n, n, 2u));
    EXPECT_NEAR(m.links.at(2).length + m.links.at(4).length, before, 1e-3);

    // Re-attaching link 1 (node 1 -> 2) by both ends lets node 1 lose its only link on the way and
    // come back.
    const uint32_t alone = m.addNodeToMap(41.15, -8.608, 44.0, 0.7);
    const _mNode one = m.nodes.at(1);
    m.updateLink(1, alone, 1);
    EXPECT_EQ(std::tuple(m.links.at(1).origin, m.links.at(1).samples, m.nodes.at(1).latitude,
                         m.nodes.at(alone).averageSnr),
              std::tuple(alone, 2u, one.latitude, 44.0));
    // Deleting a node that still has links would leave them pointing at nothing: it stays. A link
    // whose ends have no other link takes them along.
    printed([&] { m.deleteNode(2); });
    m.deleteLink(1);
    EXPECT_EQ(std::tuple(m.nodes.count(2), m.nodes.count(1), m.nodes.count(alone)), std::tuple(1u, 0u, 0u));
    EXPECT_EQ(checkMapInvariants(m), "");
}

TEST(MapEditing, MergingATracePathIntoALink) {
    // Road A -> B; a trace p -> a -> mid -> b -> q drives along it 8 m to the east.
    Map m;
    const uint32_t A = addNorth(m, 0), B = addNorth(m, 2);
    const int L = m.addLinkToNode(A, B, 10.0, 3);
    std::vector<uint32_t> t;
    for (int i = -1; i <= 3; ++i) t.push_back(addNorth(m, i, -8.6099));
    std::vector<int> x;
    for (size_t i = 0; i + 1 < t.size(); ++i) x.push_back(m.addLinkToNode(t[i], t[i + 1], 20.0, 1));
    const _mNode a0 = m.nodes.at(A), a1 = m.nodes.at(t[1]);
    EXPECT_EQ(printed([&] { m.mergePaths({{L, {x[1], x[2]}}}, 1); }).find("ERROR"), std::string::npos);
    // L carries all observations; the trace's ends hang on A and B; A moved a quarter of the way.
    EXPECT_EQ(std::tuple(m.links.size(), m.links.at(L).samples, m.links.at(L).speed, m.superLinks.size()),
              std::tuple(3u, 5u, 14.0, 1u));
    EXPECT_EQ(std::tuple(m.links.at(x[0]).destination, m.links.at(x[3]).origin), std::tuple(A, B));
    EXPECT_NEAR(m.nodes.at(A).easting, (3 * a0.easting + a1.easting) / 4, 1e-6);

    // A path leaving from L's own origin is an observation of L all the same, and a target in its
    // own path is not thrown away.
    const int y = m.addLinkToNode(A, addNorth(m, 2, -8.6101), 30.0, 1);
    EXPECT_NE(printed([&] {
                  m.mergePaths({{L, {y}}, {L, {L}}}, 1);
              }).find("node 1 on link 1 and node 2 on link 6 are the same: 1\n"),
              std::string::npos);
    EXPECT_EQ(std::tuple(m.links.at(L).samples, m.links.size()), std::tuple(6u, 3u));
    EXPECT_EQ(checkMapInvariants(m), "");
}
