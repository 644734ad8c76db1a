// Random maps and random edits. After every insertion, removal, deletion, re-attachment, node
// insertion, node move, edge merge and path merge: both layers and the index satisfy all their
// invariants, the layer kept link by link chains exactly the links that a full rebuild chains, and
// the map's own consistency report finds nothing but the anchors of closed loops, which the layer
// keeps on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "maps_invariants.h"

using mapRepresentation::Map;

namespace {

// Standard output gathered while the object lives (the map reports through it).
struct CoutCapture {
    std::ostringstream text;
    std::streambuf* previous = std::cout.rdbuf(text.rdbuf());
    ~CoutCapture() { std::cout.rdbuf(previous); }
    std::string take() {
        const std::string s = text.str();
        text.str("");
        return s;
    }
};

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

// Beyond the shared checker: the rebuild, fresh ids, link geometry after moves, every node found
// where it is, silence about broken tables, and the report's verdict.
std::string check(const Map& m, CoutCapture& out) {
    std::ostringstream err;
    Map rebuilt(m);
    rebuilt.buildSuperMap();
    err << karvel_test::checkMapInvariants(m) << karvel_test::checkMapInvariants(rebuilt);
    if (chains(rebuilt) != chains(m)) err << "layer differs from a full rebuild\n";
    for (const auto& [id, l] : m.links) {
        if (id >= m.nextLinkId) err << "link id " << id << " not below nextLinkId\n";
        if (std::fabs(l.length - distance2Points(m.getNodePoint(l.origin), m.getNodePoint(l.destination))) >
            1e-6)
            err << "link " << id << " has a stale length\n";
    }
    for (const auto& [id, n] : m.nodes) {
        const auto near = m.getNearestPoints(n.latitude, n.longitude, 0.5);
        if (id >= m.nextNodeId) err << "node id " << id << " not below nextNodeId\n";
        if (std::find(near.begin(), near.end(), id) == near.end())
            err << "node " << id << " not found where it is\n";
    }
    const std::string said = out.take();
    for (const char* bad :
         {"Invalid Link", "not found", "Super Link", "should exist here", "still has links",
          "non existing node. (", "non existing link. (", "non existing graph", "There's no node"})
        if (said.find(bad) != std::string::npos) err << "printed: " << said;
    size_t anchors = 0;  // pass-through super-nodes: the anchors of closed loops
    for (const auto& [id, e] : m.graph)
        anchors += e.backwardLinks.size() == 1 && e.forwardLinks.size() == 1 && m.superNodes.count(id) != 0;
    if (m.validateMap() != (anchors == 0)) err << "validateMap disagrees with " << anchors << " anchors\n";
    out.take();
    return err.str();
}

// One random edit of a map with at least two nodes and links; says what it did.
std::string randomEdit(Map& m, std::mt19937& rng) {
    const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const auto real = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    const auto anyLink = [&] {
        return std::next(m.links.begin(), uniform(0, static_cast<int>(m.links.size()) - 1))->first;
    };
    const auto anyNode = [&] {
        return std::next(m.nodes.begin(), uniform(0, static_cast<int>(m.nodes.size()) - 1))->first;
    };
    const int kind = uniform(0, 9);
    if (m.links.size() < 2 || m.nodes.size() < 2 || kind == 7) {
        // Growth, so that the map does not wither away.
        const uint32_t n = m.addNodeToMap(41.15 + real(-0.01, 0.01), -8.61 + real(-0.01, 0.01), 0, 0);
        m.addLinkToNode(anyNode(), n, 10.0, 1);
        if (uniform(0, 1) == 0) m.addLinkToNode(n, anyNode(), 10.0, static_cast<unsigned>(uniform(0, 2)));
        return "grow " + std::to_string(n);
    }
    const int l = anyLink();
    const auto& link = m.links.at(l);
    const uint32_t u = anyNode(), v = anyNode();
    const std::string at = " " + std::to_string(l) + " " + std::to_string(u) + " " + std::to_string(v);
    if (kind <= 1) {
        m.deleteLink(l);
        return "deleteLink" + at;
    }
    if (kind == 2) {
        const uint32_t o = uniform(0, 2) == 0 ? link.origin : u,
                       d = uniform(0, 2) == 0 ? link.destination : v;
        m.updateLink(l, o, d);
        return "updateLink" + at + " " + std::to_string(o) + "->" + std::to_string(d);
    }
    if (kind == 3) {
        const auto &o = m.nodes.at(link.origin), &d = m.nodes.at(link.destination);
        const double t = real(0.1, 0.9);
        m.addNodeInLink(l, o.latitude + t * (d.latitude - o.latitude),
                        o.longitude + t * (d.longitude - o.longitude), 0, 0);
        return "addNodeInLink" + at;
    }
    if (kind == 4) {
        if (uniform(0, 1) == 0) m.calcAvgNode(u, uniform(0, 3), v, uniform(1, 3));
        m.mergeEdges(u, v);
        return "mergeEdges" + at;
    }
    if (kind == 5) {
        // A path following random out-links from a random link, merged into l.
        std::vector<int> path{anyLink()};
        while (path.size() < 4) {
            const auto& out = m.graph.at(m.links.at(path.back()).destination).forwardLinks;
            if (out.empty()) break;
            const int next = *std::next(out.begin(), uniform(0, static_cast<int>(out.size()) - 1));
            if (std::find(path.begin(), path.end(), next) != path.end()) break;
            path.push_back(next);
        }
        m.mergePaths({{l, path}}, uniform(0, 3) == 0 ? -1 : 1);
        return "mergePaths into" + at;
    }
    if (kind == 6) {
        auto rec = m.nodes.at(u);
        const GPSPoint g = GPSPoint::convertWGS84ToUTM(rec.latitude += real(-0.002, 0.002),
                                                       rec.longitude += real(-0.002, 0.002));
        rec.easting = g.easting;
        rec.northing = g.northing;
        m.updateNode(u, rec);
        return "updateNode" + at;
    }
    m.addLinkToNode(u, v, 12.0, static_cast<unsigned>(uniform(0, 2)));
    return "link" + at;
}

// A random map checked after every change while it is built, then after every random edit.
void run(uint32_t seed, const karvel_test::RandomMapOptions& options, int edits) {
    Map m;
    CoutCapture out;
    std::string failure, history;
    karvel_test::buildRandomMap(m, seed, options, [&](const Map& map, const std::string& step) {
        if (!failure.empty()) return;
        history += step + "\n";
        failure = check(map, out);
    });
    std::mt19937 rng(seed * 7919u + 1);
    for (int i = 0; i < edits && failure.empty(); ++i) {
        history += randomEdit(m, rng) + "\n";
        failure = check(m, out);
    }
    ASSERT_EQ(failure, "") << "seed " << seed << " after:\n" << history;
}

TEST(MapProperty, RandomMapsAndEditsKeepEveryInvariant) {
    karvel_test::RandomMapOptions options;
    for (uint32_t seed = 1; seed <= 400 && !HasFatalFailure(); ++seed) {
        options.nodeCount = 3 + static_cast<int>(seed % 10);
        options.steps = 10 + static_cast<int>(seed % 27);
        options.deleteLinks = seed % 2 == 0;
        run(seed, options, seed % 3 == 0 ? 40 : 0);
    }
}

// Larger maps with a split index, and longer edit sequences.
TEST(MapProperty, LargerMapsWithASplitIndex) {
    for (uint32_t seed = 900; seed < 904 && !HasFatalFailure(); ++seed)
        run(seed, {.nodeCount = 60, .steps = 150, .spreadDegrees = 0.002}, 200);
}

}  // namespace
