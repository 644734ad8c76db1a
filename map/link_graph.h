// A light directed graph of links: link ends, lengths and successors, with the fewest-links search
// that fills the links crossed between two matched links. Readers of a match report (scoring,
// export) join a report's links with it the way the matcher joined them.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "map/compact_map.h"
#include "map/maps.h"

namespace mapRepresentation {

class LinkGraph {
public:
    struct Link {
        uint32_t origin = 0;
        uint32_t destination = 0;
        double length = 0.0;  // metres
        bool present = false;
    };

    // Ids above this are refused (a map with more links would not fit a karvel run anyway).
    static constexpr int kMaxLinkId = 100000000;

    // False (and nothing added) for an id that is not positive or too large, or already present.
    bool addLink(int id, uint32_t origin, uint32_t destination, double length);
    // The links of a loaded map, with the ids, ends and lengths the matcher sees.
    static LinkGraph fromMap(const Map& map);
    static LinkGraph fromMap(const CompactMap& map);

    bool has(int id) const { return id > 0 && static_cast<size_t>(id) < links.size() && links[id].present; }
    double length(int id) const { return has(id) ? links[id].length : 0.0; }
    const Link* link(int id) const { return has(id) ? &links[id] : nullptr; }
    size_t size() const { return count; }

    // b starts where a ends.
    bool isConnected(int a, int b) const;
    // The links strictly between `from` and `to` on a path with the fewest links; among equally
    // short paths the first found taking successors in ascending id, level by level. Empty when
    // from = to, when they are connected, and when `to` cannot be reached.
    std::vector<int> linksBetween(int from, int to) const;

private:
    std::vector<Link> links;  // indexed by id
    size_t count = 0;
    std::unordered_map<uint32_t, std::vector<int>> outLinks;  // node -> links leaving it, ascending

    // Search state reused between calls: a link was seen in the current search when its stamp
    // equals `stamp`.
    mutable std::vector<uint32_t> seen;
    mutable std::vector<int> parent;
    mutable uint32_t stamp = 0;
};

}  // namespace mapRepresentation
