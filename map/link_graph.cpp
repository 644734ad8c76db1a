#include "map/link_graph.h"

#include <algorithm>
#include <cstdint>

#include "map/fewest_links.h"

namespace mapRepresentation {

bool LinkGraph::addLink(int id, uint32_t origin, uint32_t destination, double length) {
    if (id <= 0 || id > kMaxLinkId || compact) return false;
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
    g.compact = map;
    return g;
}

std::optional<LinkGraph::Link> LinkGraph::link(int id) const {
    if (!has(id)) return std::nullopt;
    if (!compact) return links[id];
    const CompactLink& l = *compact->findLink(id);
    return Link{compact->originId(l), compact->destinationId(l), l.length, true};
}

LinkGraph LinkGraph::fromMap(const Map& map) {
    LinkGraph g;
    if (!map.links.empty())
        g.links.reserve(static_cast<size_t>(std::min(map.links.rbegin()->first, kMaxLinkId)) + 1);
    for (const auto& [id, l] : map.links) g.addLink(id, l.origin, l.destination, l.length);
    return g;
}

bool LinkGraph::isConnected(int a, int b) const {
    if (compact) {
        const std::optional<Link> x = link(a), y = link(b);
        return x && y && x->destination == y->origin;
    }
    return has(a) && has(b) && links[a].destination == links[b].origin;
}

std::vector<int> LinkGraph::linksBetween(int from, int to) const {
    if (from == to || !has(from) || !has(to) || isConnected(from, to)) return {};
    if (compact) {
        // Marks for the links this search reaches only: the map's links are too many to mark by id.
        struct SparseMarks {
            std::unordered_map<int, int> parent;
            bool mark(int link, int from) { return parent.emplace(link, from).second; }
            int parentOf(int link) const { return parent.at(link); }
        } marks;
        std::vector<int> out;
        const auto next = [this, &out](int link) -> const std::vector<int>& {
            out.clear();
            for (const uint32_t i : compact->linksFrom(compact->findLink(link)->destination))
                if (compact->link(i).id <= kMaxLinkId) out.push_back(compact->link(i).id);
            return out;
        };
        return fewestLinksPath(from, to, SIZE_MAX, next, marks).links;
    }
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
