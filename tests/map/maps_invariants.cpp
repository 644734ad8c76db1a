#include "maps_invariants.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "map/quadtree.h"

namespace karvel_test {

using mapRepresentation::Map;

std::string checkMapInvariants(const Map& m) {
    std::ostringstream err;
    const auto passThrough = [&](uint32_t n) {
        const auto g = m.graph.find(n);
        return g != m.graph.end() && g->second.backwardLinks.size() == 1 &&
               g->second.forwardLinks.size() == 1;
    };
    // Link graph: every link in exactly the two adjacency sets of its ends.
    size_t listed = 0;
    for (const auto& [id, n] : m.nodes)
        if (m.graph.count(id) == 0) err << "node " << id << " has no graph entry\n";
    for (const auto& [id, e] : m.graph) {
        listed += e.forwardLinks.size() + e.backwardLinks.size();
        for (int l : e.forwardLinks)
            if (m.links.count(l) == 0 || m.links.at(l).origin != id)
                err << "node " << id << " lists out-link " << l << "\n";
        for (int l : e.backwardLinks)
            if (m.links.count(l) == 0 || m.links.at(l).destination != id)
                err << "node " << id << " lists in-link " << l << "\n";
    }
    if (listed != 2 * m.links.size() || m.graph.size() != m.nodes.size()) err << "adjacency miscounted\n";
    for (const auto& [id, l] : m.links)
        if (l.origin == l.destination || m.nodes.count(l.origin) == 0 || m.nodes.count(l.destination) == 0)
            err << "link " << id << " has bad ends\n";
        else if (std::fabs(l.length -
                           distance2Points(m.getNodePoint(l.origin), m.getNodePoint(l.destination))) > 1e-6)
            err << "link " << id << " is not measured in the map's plane\n";

    // Super-nodes: every junction; a pass-through node only as the anchor of its loop.
    for (const auto& [id, se] : m.superNodes) {
        if (m.nodes.count(id) == 0) {
            err << "super-node " << id << " is not a node\n";
            continue;
        }
        for (int k : se.forwardSuperLinks)
            if (m.superLinks.count(k) == 0 || m.superLinks.at(k).origin != id)
                err << "super-node " << id << " lists out " << k << "\n";
        for (int k : se.backwardSuperLinks)
            if (m.superLinks.count(k) == 0 || m.superLinks.at(k).destination != id)
                err << "super-node " << id << " lists in " << k << "\n";
        if (passThrough(id) &&
            !(se.forwardSuperLinks.size() == 1 && se.backwardSuperLinks == se.forwardSuperLinks))
            err << "pass-through node " << id << " is a super-node without anchoring a loop\n";
    }
    for (const auto& [id, e] : m.graph)
        if (!passThrough(id) && m.superNodes.count(id) == 0)
            err << "junction " << id << " is not a super-node\n";

    // Super-links: unbroken chains through pass-through nodes, numbered 0, 1, ..., covering every link once.
    size_t chained = 0;
    for (const auto& [key, s] : m.superLinks) {
        chained += s.links.size();
        int seq = 0;
        uint32_t at = s.origin;
        for (int id : s.links) {
            if (seq > 0 && (!passThrough(at) || m.superNodes.count(at) != 0))
                err << "super-link " << key << " passes node " << at << "\n";
            const auto l = m.links.find(id);
            if (l == m.links.end() || l->second.origin != at || l->second.superLinkKey != key ||
                l->second.sequenceNumber != seq++) {
                err << "super-link " << key << " is broken at link " << id << "\n";
                break;
            }
            at = l->second.destination;
        }
        if (s.links.empty() || at != s.destination)
            err << "super-link " << key << " does not reach its destination\n";
        if (m.superNodes.count(s.origin) == 0 ||
            m.superNodes.at(s.origin).forwardSuperLinks.count(key) == 0 ||
            m.superNodes.count(s.destination) == 0 ||
            m.superNodes.at(s.destination).backwardSuperLinks.count(key) == 0)
            err << "super-link " << key << " missing from its ends' sets\n";
        if (key >= m.nextSuperLinkId) err << "super-link id " << key << " not below the counter\n";
    }
    if (chained != m.links.size())
        err << "super-links hold " << chained << " links of " << m.links.size() << "\n";

    // Spatial index, through its searches: every node found where it is, once, and nothing else.
    if (!m.quadTree || m.quadTree->map != &m) return err.str() + "index missing or bound to another map\n";
    std::map<int, _position> zones;  // a place in each UTM zone that has nodes
    for (const auto& [id, n] : m.nodes) {
        const auto near = m.getNearestPoints(n.latitude, n.longitude, 0.5);
        if (std::count(near.begin(), near.end(), id) != 1) err << "node " << id << " is not indexed once\n";
        zones[GPSPoint::getZone(n.longitude)] = {n.latitude, n.longitude};
    }
    std::set<uint32_t> indexed;  // one frame measures every node, so a far search finds each once
    for (const auto& [zone, at] : zones)
        for (const uint32_t id : m.getNearestPoints(at.lat, at.lon, 1e9)) indexed.insert(id);
    if (indexed.size() != m.nodes.size())
        err << "index holds " << indexed.size() << " nodes for " << m.nodes.size() << "\n";
    return err.str();
}

Map graphOf(int n, std::initializer_list<std::pair<uint32_t, uint32_t>> links) {
    Map m;
    for (int i = 1; i <= n; ++i) m.addNode(i, 41.0 + 0.001 * (i % 3), -8.6 + 0.001 * i, 0, 0);
    for (const auto& [a, b] : links) m.addLinkToNode(a, b, 0, 0);
    return m;
}

}  // namespace karvel_test
