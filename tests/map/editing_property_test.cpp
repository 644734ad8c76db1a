// Randomized edits of random maps: after every deletion, re-attachment, node insertion, node move,
// edge merge and path merge, the link graph, the super-link layer and the index satisfy all their
// invariants, and the map's own consistency report finds nothing but anchored closed loops.

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <random>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "maps_invariants.h"

using mapRepresentation::Map;

namespace {

// Collects what the map prints while it is alive.
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

// What validateMap must print: its two head lines, and for each pass-through node that anchors a
// closed loop of pass-through nodes (the layer keeps those on purpose) the lines that report it.
std::string expectedReport(const Map& m) {
    std::ostringstream s;
    s << "Validating map...\nNodes: " << m.nodes.size() << "  graph: " << m.graph.size()
      << "  super-nodes: " << m.superNodes.size() << "\n";
    bool anchors = false;
    for (const auto& [id, e] : m.graph) {
        if (e.backwardLinks.size() == 1 && e.forwardLinks.size() == 1 && m.superNodes.count(id) != 0) {
            s << "This node " << id << " shouldn't be a super-node.\n";
            anchors = true;
        }
    }
    if (anchors) s << "Both layers are inconsistent.\nERROR: Validating map.\n";
    return s.str();
}

// What the invariant checker does not look at: fresh ids, link geometry, the index finding every
// node where it now is.
std::string checkEditingInvariants(const Map& m) {
    std::ostringstream err;
    if (!m.nodes.empty() && m.nodes.rbegin()->first >= m.nextNodeId) err << "node id not below nextNodeId\n";
    if (!m.links.empty() && m.links.rbegin()->first >= m.nextLinkId) err << "link id not below nextLinkId\n";
    for (const auto& [id, l] : m.links) {
        const Point a = m.getNodePoint(l.origin);
        const Point b = m.getNodePoint(l.destination);
        if (std::fabs(l.length - distance2Points(a, b)) > 1e-6) err << "link " << id << " has a stale length\n";
        const double h = calcHeading(a, b);
        if (!std::isnan(h) && std::fabs(l.heading - h) > 1e-9) err << "link " << id << " has a stale heading\n";
    }
    for (const auto& [id, n] : m.nodes) {
        bool found = false;
        for (uint32_t near : m.getNearestPoints(n.latitude, n.longitude, 0.5)) found = found || near == id;
        if (!found) err << "node " << id << " is not found where it is\n";
    }
    return err.str();
}

class Editor {
public:
    Editor(Map& m, uint32_t seed) : m(m), rng(seed) {}

    // One random edit; returns its description.
    std::string step() {
        switch (uniform(0, 9)) {
            case 0:
            case 1:
                if (m.links.empty()) break;
                {
                    const int l = anyLink();
                    m.deleteLink(l);
                    return "deleteLink " + std::to_string(l);
                }
            case 2:
                if (m.links.empty() || m.nodes.size() < 2) break;
                {
                    const int l = anyLink();
                    const uint32_t o = uniform(0, 2) == 0 ? m.links.at(l).origin : anyNode();
                    const uint32_t d = uniform(0, 2) == 0 ? m.links.at(l).destination : anyNode();
                    m.updateLink(l, o, d);
                    return "updateLink " + std::to_string(l) + " " + std::to_string(o) + "->" + std::to_string(d);
                }
            case 3:
                if (m.links.empty()) break;
                {
                    const int l = anyLink();
                    const auto& o = m.nodes.at(m.links.at(l).origin);
                    const auto& d = m.nodes.at(m.links.at(l).destination);
                    const double t = real(0.1, 0.9);
                    m.addNodeInLink(l, o.latitude + t * (d.latitude - o.latitude),
                                    o.longitude + t * (d.longitude - o.longitude), 0, 0);
                    return "addNodeInLink " + std::to_string(l);
                }
            case 4:
                if (m.nodes.size() < 2) break;
                {
                    const uint32_t keep = anyNode();
                    const uint32_t remove = anyNode();
                    if (uniform(0, 1) == 0) m.calcAvgNode(keep, uniform(0, 3), remove, uniform(1, 3));
                    m.mergeEdges(keep, remove);
                    return "mergeEdges " + std::to_string(keep) + " " + std::to_string(remove);
                }
            case 5:
                if (m.links.size() < 2) break;
                {
                    const int target = anyLink();
                    const std::vector<int> path = walkFrom(anyLink(), uniform(1, 4));
                    m.mergePaths({{target, path}}, uniform(0, 3) == 0 ? -1 : 1);
                    return "mergePaths into " + std::to_string(target);
                }
            case 6:
                if (m.nodes.empty()) break;
                {
                    const uint32_t id = anyNode();
                    auto rec = m.nodes.at(id);
                    rec.latitude += real(-0.002, 0.002);
                    rec.longitude += real(-0.002, 0.002);
                    const GPSPoint g = GPSPoint::convertWGS84ToUTM(rec.latitude, rec.longitude);
                    rec.easting = g.easting;
                    rec.northing = g.northing;
                    m.updateNode(id, rec);
                    return "updateNode " + std::to_string(id);
                }
            case 7: {
                // Growth, so that the map does not wither away: a new node linked to one or two others.
                const uint32_t n = m.addNodeToMap(41.15 + real(-0.01, 0.01), -8.61 + real(-0.01, 0.01), 0, 0);
                if (m.nodes.size() > 1) m.addLinkToNode(anyNode(), n, 10.0, 1);
                if (m.nodes.size() > 1 && uniform(0, 1) == 0) m.addLinkToNode(n, anyNode(), 10.0, 1);
                return "grow at " + std::to_string(n);
            }
            default:
                if (m.nodes.size() < 2) break;
                m.addLinkToNode(anyNode(), anyNode(), 12.0, static_cast<unsigned>(uniform(0, 2)));
                return "link";
        }
        return "nothing";
    }

private:
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    int anyLink() { return std::next(m.links.begin(), uniform(0, static_cast<int>(m.links.size()) - 1))->first; }
    uint32_t anyNode() { return std::next(m.nodes.begin(), uniform(0, static_cast<int>(m.nodes.size()) - 1))->first; }

    // A path of up to n links following random out-links from l, without repeating a link.
    std::vector<int> walkFrom(int l, int n) {
        std::vector<int> path{l};
        while (static_cast<int>(path.size()) < n) {
            const auto& out = m.graph.at(m.links.at(path.back()).destination).forwardLinks;
            if (out.empty()) break;
            const int next = *std::next(out.begin(), uniform(0, static_cast<int>(out.size()) - 1));
            if (std::find(path.begin(), path.end(), next) != path.end()) break;
            path.push_back(next);
        }
        return path;
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
    capture.take();
    Editor editor(m, seed * 7919u + 1);
    std::string history;
    for (int i = 0; i < edits; ++i) {
        const std::string what = editor.step();
        history += what + "\n";
        const std::string said = capture.take();
        std::string failure = karvel_test::checkMapInvariants(m) + checkEditingInvariants(m);
        // Messages that only appear when the two layers or the tables disagree.
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
}

TEST(MapEditingProperty, LongerEditSequencesOnLargerMaps) {
    for (uint32_t seed = 900; seed < 906; ++seed) {
        runEdits(seed, 40, 90, 250);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
