// A read-only view of a map for matchers that query it per fix: links and nodes in flat arrays
// indexed densely, the links leaving each node, and a grid over the link segments for the links near
// a point. It reads the map's compact form (built in memory from a loaded map, or mapped from the
// file beside it) and holds no mutable state, so any number of threads may query one instance at the
// same time.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/geometry.h"
#include "map/compact_map.h"

namespace mapRepresentation {

class Map;

class RoadGraph {
public:
    static constexpr uint32_t kNoLink = CompactLink::kNoLink;
    using Link = CompactLink;

    // A link near a point: where the point projects on it and how far it is.
    struct Near {
        uint32_t link = 0;      // dense link index
        double distance = 0.0;  // point to segment, metres
        double offset = 0.0;    // metres from the link's origin to the projection
        Point at{};             // the projection
    };

    explicit RoadGraph(const Map& map);
    explicit RoadGraph(CompactMap map);

    const CompactMap& compact() const { return map; }
    uint32_t linkCount() const { return map.linkCount(); }
    uint32_t nodeCount() const { return map.nodeCount(); }
    const Link& link(uint32_t index) const { return map.link(index); }
    // Dense index of a map link id, or -1.
    int64_t indexOf(int32_t linkId) const { return map.linkIndexOf(linkId); }

    // Links leaving dense node n, in ascending link id.
    const uint32_t* outBegin(uint32_t node) const { return map.linksFrom(node).data(); }
    const uint32_t* outEnd(uint32_t node) const {
        const auto out = map.linksFrom(node);
        return out.data() + out.size();
    }

    // Whether a vehicle that drove `in` (dense) and takes `out` next turns back on its road though it
    // could have gone on (at a dead end turning back is the only way).
    bool turnsBack(uint32_t in, uint32_t out) const;

    // At most k links whose segment lies within radius of p, nearest first (ties by link id).
    // `out` is cleared first; its storage is reused.
    void nearLinks(Point p, double radius, int k, std::vector<Near>& out) const;

    // Where p projects on a link (offset clamped to the segment) and how far it is.
    Near project(uint32_t link, Point p) const;

private:
    CompactMap map;
};

}  // namespace mapRepresentation
