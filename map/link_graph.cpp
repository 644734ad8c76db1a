#include "map/link_graph.h"

#include <algorithm>
#include <cstdint>

#include "map/fewest_links.h"

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
    // The marks live in vectors reused between calls: a link was queued in this search when its
    // stamp is the current one.
    struct StampMarks {
        std::vector<uint32_t>& seen;
        std::vector<int>& parent;
        uint32_t stamp;
        bool mark(int link, int from) {
            if (seen[link] == stamp) return false;
            seen[link] = stamp;
            parent[link] = from;
            return true;
        }
        int parentOf(int link) const { return parent[link]; }
    } marks{seen, parent, stamp};
    static const std::vector<int> kNone;
    const auto next = [this](int link) -> const std::vector<int>& {
        const auto out = outLinks.find(links[link].destination);
        return out == outLinks.end() ? kNone : out->second;
    };
    return fewestLinksPath(from, to, SIZE_MAX, next, marks).links;
}

}  // namespace mapRepresentation
