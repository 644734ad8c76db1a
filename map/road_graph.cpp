#include "map/road_graph.h"

#include <algorithm>
#include <cmath>

namespace mapRepresentation {

namespace {

// Cells are addressed by two 32-bit halves; UTM metres divided by the cell size fit easily.
constexpr int64_t kCellBias = int64_t{1} << 31;

}  // namespace

RoadGraph::RoadGraph(const Map& map) {
    std::unordered_map<uint32_t, uint32_t> nodeIndex;
    std::vector<Point> nodePoints;
    nodeIndex.reserve(map.nodes.size());
    for (const auto& [id, n] : map.nodes) {
        nodeIndex.emplace(id, static_cast<uint32_t>(nodePoints.size()));
        nodePoints.push_back(Point{n.easting, n.northing});
    }
    links.reserve(map.links.size());
    for (const auto& [id, l] : map.links) {
        const auto o = nodeIndex.find(l.origin);
        const auto d = nodeIndex.find(l.destination);
        if (o == nodeIndex.end() || d == nodeIndex.end()) continue;  // a link to nowhere cannot be driven
        Link x;
        x.id = id;
        x.origin = o->second;
        x.destination = d->second;
        x.a = nodePoints[x.origin];
        x.b = nodePoints[x.destination];
        x.length = distance2Points(x.a, x.b);
        byId.emplace(id, static_cast<uint32_t>(links.size()));
        links.push_back(x);
    }
    // Links leaving each node, in ascending link id (map order), as one flat array.
    outStart.assign(nodePoints.size() + 1, 0);
    for (const Link& l : links) ++outStart[l.origin + 1];
    for (size_t i = 1; i < outStart.size(); ++i) outStart[i] += outStart[i - 1];
    outLinks.resize(links.size());
    std::vector<uint32_t> fill(outStart.begin(), outStart.end() - 1);
    for (uint32_t i = 0; i < links.size(); ++i) outLinks[fill[links[i].origin]++] = i;
    for (Link& l : links)
        for (const uint32_t* o = outBegin(l.destination); o != outEnd(l.destination); ++o)
            if (links[*o].destination == l.origin) l.mirror = *o;
    buildGrid();
}

int64_t RoadGraph::indexOf(int32_t linkId) const {
    const auto it = byId.find(linkId);
    return it == byId.end() ? -1 : static_cast<int64_t>(it->second);
}

bool RoadGraph::turnsBack(uint32_t in, uint32_t out) const {
    return in < links.size() && links[in].mirror == out &&
           outEnd(links[in].destination) - outBegin(links[in].destination) > 1;
}

int64_t RoadGraph::cellOf(double v) const {
    return static_cast<int64_t>(std::floor(v / cellSize));
}

int64_t RoadGraph::cellKey(int64_t cx, int64_t cy) const {
    return ((cx + kCellBias) << 32) | (cy + kCellBias);
}

void RoadGraph::buildGrid() {
    // Every cell the segment passes through: the cells of its bounding box whose centre lies within
    // half a cell diagonal of the segment.
    std::vector<std::pair<int64_t, uint32_t>> entries;
    const double reach = cellSize * 0.7072;
    for (uint32_t i = 0; i < links.size(); ++i) {
        const Link& l = links[i];
        const int64_t x0 = cellOf(std::min(l.a.x, l.b.x)), x1 = cellOf(std::max(l.a.x, l.b.x));
        const int64_t y0 = cellOf(std::min(l.a.y, l.b.y)), y1 = cellOf(std::max(l.a.y, l.b.y));
        for (int64_t cx = x0; cx <= x1; ++cx)
            for (int64_t cy = y0; cy <= y1; ++cy) {
                const Point c{(static_cast<double>(cx) + 0.5) * cellSize,
                              (static_cast<double>(cy) + 0.5) * cellSize};
                if (getNearestPointFromLink(l.a, l.b, c).second <= reach)
                    entries.emplace_back(cellKey(cx, cy), i);
            }
    }
    std::sort(entries.begin(), entries.end());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (cellKeys.empty() || cellKeys.back() != entries[i].first) {
            cellKeys.push_back(entries[i].first);
            cellStart.push_back(static_cast<uint32_t>(i));
        }
        cellLinks.push_back(entries[i].second);
    }
    cellStart.push_back(static_cast<uint32_t>(cellLinks.size()));
}

RoadGraph::Near RoadGraph::project(uint32_t index, Point p) const {
    const Link& l = links[index];
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
    if (k <= 0 || !(radius >= 0.0) || cellKeys.empty()) return;
    const int64_t x0 = cellOf(p.x - radius), x1 = cellOf(p.x + radius);
    const int64_t y0 = cellOf(p.y - radius), y1 = cellOf(p.y + radius);
    for (int64_t cx = x0; cx <= x1; ++cx)
        for (int64_t cy = y0; cy <= y1; ++cy) {
            const auto it = std::lower_bound(cellKeys.begin(), cellKeys.end(), cellKey(cx, cy));
            if (it == cellKeys.end() || *it != cellKey(cx, cy)) continue;
            const size_t c = static_cast<size_t>(it - cellKeys.begin());
            for (uint32_t j = cellStart[c]; j < cellStart[c + 1]; ++j) {
                const uint32_t index = cellLinks[j];
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
        return a.distance != b.distance ? a.distance < b.distance : links[a.link].id < links[b.link].id;
    });
    if (out.size() > static_cast<size_t>(k)) out.resize(static_cast<size_t>(k));
}

}  // namespace mapRepresentation
