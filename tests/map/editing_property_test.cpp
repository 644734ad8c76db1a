// Random edits of random maps: after every deletion, re-attachment, node insertion, node move, edge
// merge and path merge, both layers and the index satisfy all their invariants, and the map's own
// consistency report finds nothing but the anchors of closed loops, which the layer keeps on purpose.

#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "maps_invariants.h"

using mapRepresentation::Map;

namespace {

// What the map prints while the capture lives.
class CoutCapture {
public:
    CoutCapture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous); }
    std::string take() {
        std::string s = buffer.str();
        buffer.str("");
        return s;
    }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};

std::string expectedReport(const Map& m) {
    std::ostringstream s;
    s << "Validating map...\nNodes: " << m.nodes.size() << "  graph: " << m.graph.size()
      << "  super-nodes: " << m.superNodes.size() << "\n";
    size_t anchors = 0;
    for (const auto& [id, e] : m.graph) {
        if (e.backwardLinks.size() == 1 && e.forwardLinks.size() == 1 && m.superNodes.count(id) != 0) {
            s << "This node " << id << " shouldn't be a super-node.\n";
            ++anchors;
        }
    }
    if (anchors > 0) s << "Both layers are inconsistent.\nERROR: Validating map.\n";
    return s.str();
}

// Beyond the shared checker: fresh ids, link geometry after moves, every node found where it is.
std::string checkEdits(const Map& m) {
    std::ostringstream err;
    if (!m.nodes.empty() && m.nodes.rbegin()->first >= m.nextNodeId) err << "node id not below nextNodeId\n";
    if (!m.links.empty() && m.links.rbegin()->first >= m.nextLinkId) err << "link id not below nextLinkId\n";
    for (const auto& [id, l] : m.links) {
        const Point a = m.getNodePoint(l.origin), b = m.getNodePoint(l.destination);
        if (std::fabs(l.length - distance2Points(a, b)) > 1e-6)
            err << "link " << id << " has a stale length\n";
    }
    for (const auto& [id, n] : m.nodes) {
        const auto near = m.getNearestPoints(n.latitude, n.longitude, 0.5);
        if (std::find(near.begin(), near.end(), id) == near.end())
            err << "node " << id << " not found where it is\n";
    }
    return err.str();
}

class Editor {
public:
    Editor(Map& m, uint32_t seed) : m(m), rng(seed) {}

    std::string step() {
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
        switch (kind) {
            case 0:
            case 1:
                m.deleteLink(l);
                return "deleteLink " + std::to_string(l);
            case 2: {
                const uint32_t o = uniform(0, 2) == 0 ? link.origin : u,
                               d = uniform(0, 2) == 0 ? link.destination : v;
                m.updateLink(l, o, d);
                return "updateLink " + std::to_string(l) + " " + std::to_string(o) + "->" + std::to_string(d);
            }
            case 3: {
                const auto &o = m.nodes.at(link.origin), &d = m.nodes.at(link.destination);
                const double t = real(0.1, 0.9);
                m.addNodeInLink(l, o.latitude + t * (d.latitude - o.latitude),
                                o.longitude + t * (d.longitude - o.longitude), 0, 0);
                return "addNodeInLink " + std::to_string(l);
            }
            case 4:
                if (uniform(0, 1) == 0) m.calcAvgNode(u, uniform(0, 3), v, uniform(1, 3));
                m.mergeEdges(u, v);
                return "mergeEdges " + std::to_string(u) + " " + std::to_string(v);
            case 5: {
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
                return "mergePaths into " + std::to_string(l);
            }
            case 6: {
                auto rec = m.nodes.at(u);
                const GPSPoint g = GPSPoint::convertWGS84ToUTM(rec.latitude += real(-0.002, 0.002),
                                                               rec.longitude += real(-0.002, 0.002));
                rec.easting = g.easting;
                rec.northing = g.northing;
                m.updateNode(u, rec);
                return "updateNode " + std::to_string(u);
            }
            default:
                m.addLinkToNode(u, v, 12.0, static_cast<unsigned>(uniform(0, 2)));
                return "link " + std::to_string(u) + "->" + std::to_string(v);
        }
    }

private:
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    int anyLink() {
        return std::next(m.links.begin(), uniform(0, static_cast<int>(m.links.size()) - 1))->first;
    }
    uint32_t anyNode() {
        return std::next(m.nodes.begin(), uniform(0, static_cast<int>(m.nodes.size()) - 1))->first;
    }

    Map& m;
    std::mt19937 rng;
};

void runEdits(uint32_t seed, int nodes, int buildSteps, int edits) {
    Map m;
    CoutCapture capture;
    karvel_test::RandomMapOptions options;
    options.nodeCount = nodes;
    options.steps = buildSteps;
    karvel_test::buildRandomMap(m, seed, options, [](const Map&, const std::string&) {});
    Editor editor(m, seed * 7919u + 1);
    std::string history;
    for (int i = 0; i < edits; ++i) {
        capture.take();
        history += editor.step() + "\n";
        const std::string said = capture.take();
        std::string failure = karvel_test::checkMapInvariants(m) + checkEdits(m);
        // Messages that only appear when the layers or the tables disagree.
        for (const char* bad : {"Invalid Link", "super node not found", "Link not found", "Super Link",
                                "should exist here", "still has links", "non existing node. (",
                                "non existing link. (", "non existing graph node", "There's no node"}) {
            if (said.find(bad) != std::string::npos) failure += "printed: " + said;
        }
        m.validateMap();
        const std::string report = capture.take();
        if (report != expectedReport(m)) failure += "validateMap printed:\n" + report;
        ASSERT_EQ(failure, "") << "seed " << seed << " after:\n" << history;
    }
}

TEST(MapEditingProperty, RandomEditsKeepEveryInvariant) {
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        runEdits(seed, 4 + static_cast<int>(seed % 9), 10 + static_cast<int>(seed % 15), 40);
        if (HasFatalFailure()) return;
    }
    for (uint32_t seed = 900; seed < 906; ++seed) {  // longer sequences on larger maps
        runEdits(seed, 40, 90, 250);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
