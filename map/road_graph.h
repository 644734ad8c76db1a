// A compact, read-only view of a loaded map for matchers that query it per fix: links and nodes in
// flat arrays indexed densely, the links leaving each node, and a grid over the link segments for
// the links near a point. Built once per map; it holds no mutable state, so any number of threads
// may query one instance at the same time.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "geometry/geometry.h"
#include "map/maps.h"

namespace mapRepresentation {

class RoadGraph {
public:
    static constexpr uint32_t kNoLink = 0xFFFFFFFFu;

    struct Link {
        int32_t id = -1;      // the map's link id
        uint32_t origin = 0;  // dense node index
        uint32_t destination = 0;
        Point a{}, b{};             // planar end points, origin then destination
        double length = 0.0;        // metres, |b - a|
        uint32_t mirror = kNoLink;  // dense index of the link from destination back to origin, if any
    };

    // A link near a point: where the point projects on it and how far it is.
    struct Near {
        uint32_t link = 0;      // dense link index
        double distance = 0.0;  // point to segment, metres
        double offset = 0.0;    // metres from the link's origin to the projection
        Point at{};             // the projection
    };

    explicit RoadGraph(const Map& map);

    uint32_t linkCount() const { return static_cast<uint32_t>(links.size()); }
    uint32_t nodeCount() const { return static_cast<uint32_t>(outStart.size()) - 1; }
    const Link& link(uint32_t index) const { return links[index]; }
    // Dense index of a map link id, or -1.
    int64_t indexOf(int32_t linkId) const;

    // Links leaving dense node n: outLinks[outStart[n] .. outStart[n+1]).
    const uint32_t* outBegin(uint32_t node) const { return outLinks.data() + outStart[node]; }
    const uint32_t* outEnd(uint32_t node) const { return outLinks.data() + outStart[node + 1]; }

    // Whether a vehicle that drove `in` (dense) and takes `out` next turns back on its road though it
    // could have gone on (at a dead end turning back is the only way).
    bool turnsBack(uint32_t in, uint32_t out) const;

    // At most k links whose segment lies within radius of p, nearest first (ties by link id).
    // `out` is cleared first; its storage is reused.
    void nearLinks(Point p, double radius, int k, std::vector<Near>& out) const;

    // Where p projects on a link (offset clamped to the segment) and how far it is.
    Near project(uint32_t link, Point p) const;

private:
    std::vector<Link> links;
    std::vector<uint32_t> outStart;  // node count + 1 entries
    std::vector<uint32_t> outLinks;
    std::unordered_map<int32_t, uint32_t> byId;

    // Segment grid: cells of cellSize metres; cellKeys sorted, cellStart[i] .. cellStart[i+1] are
    // the positions in cellLinks of the links touching cell cellKeys[i].
    double cellSize = 100.0;
    std::vector<int64_t> cellKeys;
    std::vector<uint32_t> cellStart;
    std::vector<uint32_t> cellLinks;

    int64_t cellKey(int64_t cx, int64_t cy) const;
    int64_t cellOf(double v) const;
    void buildGrid();
};

}  // namespace mapRepresentation
