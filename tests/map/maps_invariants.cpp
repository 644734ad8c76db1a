#include "maps_invariants.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "map/quadtree.h"

namespace karvel_test {

using mapRepresentation::Map;

namespace {

void countLeafEntries(const mapRepresentation::QuadNode* cell, std::map<uint32_t, int>& seen) {
    if (const auto* leaf = dynamic_cast<const mapRepresentation::QuadLeafNode*>(cell))
        for (uint32_t id : leaf->mapNodes) ++seen[id];
    if (const auto* inner = dynamic_cast<const mapRepresentation::QuadInnerNode*>(cell))
        for (const auto& child : inner->children) countLeafEntries(child.get(), seen);
}

}  // namespace

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

    // Spatial index: every node in exactly one leaf, nothing else.
    if (!m.quadTree || m.quadTree->map != &m) return err.str() + "index missing or bound to another map\n";
    std::map<uint32_t, int> seen;
    countLeafEntries(m.quadTree->root.get(), seen);
    for (const auto& [id, n] : m.nodes)
        if (seen[id] != 1) err << "node " << id << " is indexed " << seen[id] << " times\n";
    if (seen.size() != m.nodes.size()) err << "index holds ids that are not nodes\n";
    return err.str();
}

Map graphOf(int n, std::initializer_list<std::pair<uint32_t, uint32_t>> links) {
    Map m;
    for (int i = 1; i <= n; ++i) m.addNode(i, 41.0 + 0.001 * (i % 3), -8.6 + 0.001 * i, 0, 0);
    for (const auto& [a, b] : links) m.addLinkToNode(a, b, 0, 0);
    return m;
}

void removeLinkForTest(Map& m, int link) {
    const auto l = m.links.at(link);
    m.links.erase(link);
    m.graph[l.origin].forwardLinks.erase(link);
    m.graph[l.destination].backwardLinks.erase(link);
    m.deleteLinkFromSuperLink(l.superLinkKey, link);
}

void buildRandomMap(Map& m, uint32_t seed, const RandomMapOptions& opt,
                    const std::function<void(const Map&, const std::string&)>& afterChange) {
    std::mt19937 rng(seed);
    const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const auto offset = [&] {
        return std::uniform_real_distribution<double>(-opt.spreadDegrees, opt.spreadDegrees)(rng);
    };
    std::vector<uint32_t> ids;
    for (int i = 0; i < opt.nodeCount; ++i) {
        ids.push_back(m.addNode(m.nextNodeId++, opt.centreLat + offset(), opt.centreLon + offset(), 0, 0));
        afterChange(m, "node " + std::to_string(ids.back()));
    }
    const auto add = [&](uint32_t o, uint32_t d) {
        const int id = m.addLinkToNode(o, d, 10.0, 1);
        afterChange(m, "link " + std::to_string(o) + ">" + std::to_string(d) + " as " + std::to_string(id));
    };
    const auto distinct = [&](int count) {  // distinct random nodes for a chain or a loop
        std::vector<uint32_t> pool = ids;
        std::shuffle(pool.begin(), pool.end(), rng);
        pool.resize(std::min<size_t>(pool.size(), static_cast<size_t>(count)));
        return pool;
    };
    const auto anyLink = [&] {
        return std::next(m.links.begin(), uniform(0, static_cast<int>(m.links.size()) - 1));
    };

    for (int step = 0; step < opt.steps && ids.size() >= 2; ++step) {
        const int kind = uniform(0, 7);
        if (kind <= 1) {
            add(ids[uniform(0, opt.nodeCount - 1)],
                ids[uniform(0, opt.nodeCount - 1)]);  // may be a self-loop
        } else if (kind == 2) {
            const auto p = distinct(2);  // two-way road
            add(p[0], p[1]);
            add(p[1], p[0]);
        } else if (kind <= 4) {
            // A chain whose links arrive in random order, so chains grow at both ends and join.
            const auto p = distinct(uniform(3, 6));
            std::vector<size_t> order(p.size() - 1);
            for (size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), rng);
            for (size_t i : order) add(p[i], p[i + 1]);
        } else if (kind == 5) {
            const auto p = distinct(uniform(2, 5));  // a closed loop, maybe with a chord
            for (size_t i = 0; i < p.size(); ++i) add(p[i], p[(i + 1) % p.size()]);
            if (p.size() > 2 && uniform(0, 1) == 0) add(p[0], p[2]);
        } else if (!m.links.empty() && (kind == 6 || !opt.deleteLinks)) {
            const auto it = anyLink();  // a parallel link
            add(it->second.origin, it->second.destination);
        } else if (!m.links.empty()) {
            const int link = anyLink()->first;
            removeLinkForTest(m, link);
            afterChange(m, "remove " + std::to_string(link));
        }
    }
}

}  // namespace karvel_test
