#include "map/road_graph.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "map/maps.h"

namespace mapRepresentation {

RoadGraph::RoadGraph(const Map& map) : map(CompactMap::build(map)) {}

RoadGraph::RoadGraph(CompactMap map) : map(std::move(map)) {}

bool RoadGraph::turnsBack(uint32_t in, uint32_t out) const {
    return in < linkCount() && link(in).mirror == out && map.linksFrom(link(in).destination).size() > 1;
}

RoadGraph::Near RoadGraph::project(uint32_t index, Point p) const {
    const Link& l = map.link(index);
    Near n;
    n.link = index;
    if (l.length <= 0.0) {
        n.at = l.a;
    } else {
        const double t =
            ((p.x - l.a.x) * (l.b.x - l.a.x) + (p.y - l.a.y) * (l.b.y - l.a.y)) / (l.length * l.length);
        const double u = std::clamp(t, 0.0, 1.0);
        n.at = Point{l.a.x + u * (l.b.x - l.a.x), l.a.y + u * (l.b.y - l.a.y)};
        n.offset = u * l.length;
    }
    n.distance = distance2Points(p, n.at);
    return n;
}

void RoadGraph::nearLinks(Point p, double radius, int k, std::vector<Near>& out) const {
    out.clear();
    if (k <= 0 || !(radius >= 0.0) || map.gridEmpty()) return;
    const int64_t x0 = CompactMap::cellOf(p.x - radius), x1 = CompactMap::cellOf(p.x + radius);
    const int64_t y0 = CompactMap::cellOf(p.y - radius), y1 = CompactMap::cellOf(p.y + radius);
    for (int64_t cx = x0; cx <= x1; ++cx)
        for (int64_t cy = y0; cy <= y1; ++cy) {
            for (const uint32_t index : map.gridLinksAt(CompactMap::cellKey(cx, cy))) {
                // A link spanning several cells is measured once: the cells are visited in
                // order, so it was already taken if it touches an earlier cell in range.
                bool seen = false;
                for (const Near& n : out) seen = seen || n.link == index;
                if (seen) continue;
                const Near n = project(index, p);
                if (n.distance <= radius) out.push_back(n);
            }
        }
    std::sort(out.begin(), out.end(), [this](const Near& a, const Near& b) {
        return a.distance != b.distance ? a.distance < b.distance : link(a.link).id < link(b.link).id;
    });
    if (out.size() > static_cast<size_t>(k)) out.resize(static_cast<size_t>(k));
}

}  // namespace mapRepresentation
