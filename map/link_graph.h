// A light directed graph of links: link ends, lengths and successors, with the fewest-links search
// that fills the links crossed between two matched links. Readers of a match report (scoring,
// export) join a report's links with it the way the matcher joined them.
#pragma once

#include <cstdint>
#include <optional>
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
    // The same over a compact map, copying nothing: it answers from the map's own arrays (a country's
    // index of every link would cost more than the rest of a start). Links cannot be added to it.
    static LinkGraph fromMap(const CompactMap& map);

    bool has(int id) const {
        if (compact) return id > 0 && id <= kMaxLinkId && compact->hasLink(id);
        return id > 0 && static_cast<size_t>(id) < links.size() && links[id].present;
    }
    double length(int id) const {
        const std::optional<Link> l = link(id);
        return l ? l->length : 0.0;
    }
    std::optional<Link> link(int id) const;
    size_t size() const { return compact ? compact->linkCount() : count; }

    // b starts where a ends.
    bool isConnected(int a, int b) const;
    // The links strictly between `from` and `to` on a path with the fewest links; among equally
    // short paths the first found taking successors in ascending id, level by level. Empty when
    // from = to, when they are connected, and when `to` cannot be reached.
    std::vector<int> linksBetween(int from, int to) const;

private:
    std::optional<CompactMap> compact;  // the map it is a view of, if it is one
    std::vector<Link> links;            // indexed by id
    size_t count = 0;
    std::unordered_map<uint32_t, std::vector<int>> outLinks;  // node -> links leaving it, ascending

    // Search state reused between calls: a link was seen in the current search when its stamp
    // equals `stamp`.
    mutable std::vector<uint32_t> seen;
    mutable std::vector<int> parent;
    mutable uint32_t stamp = 0;
};

}  // namespace mapRepresentation
