#include "map/link_graph.h"

#include <algorithm>
#include <deque>

namespace mapRepresentation {

bool LinkGraph::addLink(int id, uint32_t origin, uint32_t destination, double length) {
    if (id <= 0 || id > kMaxLinkId) return false;
    if (static_cast<size_t>(id) >= links.size()) links.resize(static_cast<size_t>(id) + 1);
    if (links[id].present) return false;
    links[id] = Link{origin, destination, length, true};
    ++count;
    std::vector<int>& out = outLinks[origin];
    out.insert(std::upper_bound(out.begin(), out.end(), id), id);
    return true;
}

LinkGraph LinkGraph::fromMap(const CompactMap& map) {
    LinkGraph g;
    if (map.linkCount() > 0)
        g.links.reserve(static_cast<size_t>(std::min(map.link(map.linkCount() - 1).id, kMaxLinkId)) + 1);
    for (uint32_t i = 0; i < map.linkCount(); ++i) {
        const CompactLink& l = map.link(i);
        g.addLink(l.id, map.originId(l), map.destinationId(l), l.length);
    }
    return g;
}

LinkGraph LinkGraph::fromMap(const Map& map) {
    LinkGraph g;
    if (!map.links.empty())
        g.links.reserve(static_cast<size_t>(std::min(map.links.rbegin()->first, kMaxLinkId)) + 1);
    for (const auto& [id, l] : map.links) g.addLink(id, l.origin, l.destination, l.length);
    return g;
}

bool LinkGraph::isConnected(int a, int b) const {
    return has(a) && has(b) && links[a].destination == links[b].origin;
}

std::vector<int> LinkGraph::linksBetween(int from, int to) const {
    if (from == to || !has(from) || !has(to) || isConnected(from, to)) return {};
    if (seen.size() != links.size()) {
        seen.assign(links.size(), 0);
        parent.assign(links.size(), 0);
        stamp = 0;
    }
    if (++stamp == 0) {  // the stamp wrapped: start afresh
        std::fill(seen.begin(), seen.end(), 0);
        stamp = 1;
    }
    // Breadth-first over links; a link enters the queue once, which leaves the fewest-links answer
    // unchanged and bounds the search by the size of the graph.
    std::deque<int> queue{from};
    seen[from] = stamp;
    while (!queue.empty()) {
        const int x = queue.front();
        queue.pop_front();
        const auto out = outLinks.find(links[x].destination);
        if (out == outLinks.end()) continue;
        for (int s : out->second) {
            if (s == to) {
                std::vector<int> between;
                for (int p = x; p != from; p = parent[p]) between.push_back(p);
                std::reverse(between.begin(), between.end());
                return between;
            }
            if (seen[s] == stamp) continue;
            seen[s] = stamp;
            parent[s] = x;
            queue.push_back(s);
        }
    }
    return {};
}

}  // namespace mapRepresentation
