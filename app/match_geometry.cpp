#include "app/match_geometry.h"

#include <algorithm>

using traces::DrivenRoutes;

using matchApp::DrivenPiece;
using matchApp::FixOnMap;
using matchApp::TraceOnMap;

using mapRepresentation::CompactMap;
using mapRepresentation::CompactNode;
using mapRepresentation::LinkGraph;

namespace {

_position positionOf(const CompactNode& n) {
    return _position{n.latitude, n.longitude};
}

_position along(const CompactNode& a, const CompactNode& b, double t) {
    return _position{a.latitude + t * (b.latitude - a.latitude),
                     a.longitude + t * (b.longitude - a.longitude)};
}

// The fix of `point` when it belongs to piece `piece`.
bool fixOfPiece(const TraceOnMap& trace, int point, int piece) {
    return point >= 0 && static_cast<size_t>(point) < trace.fixes.size() && trace.fixes[point].piece == piece;
}

// The links of the piece from its first to its last placed fix, consecutive repeats dropped and
// gaps filled with the fewest links between.
std::vector<int> drivenLinks(const Path& path, int piece, const TraceOnMap& trace, const LinkGraph& graph) {
    const auto& pairs = path.links;
    const auto placed = [&](const std::pair<int, int>& p) { return fixOfPiece(trace, p.first, piece); };
    const auto first = std::find_if(pairs.begin(), pairs.end(), placed);
    if (first == pairs.end()) return {};
    const auto last = std::find_if(pairs.rbegin(), pairs.rend(), placed).base();
    std::vector<int> links;
    for (auto it = first; it != last; ++it) {
        const int link = it->second;
        if (!graph.has(link) || (!links.empty() && links.back() == link)) continue;
        if (!links.empty() && !graph.isConnected(links.back(), link)) {
            const std::vector<int> between = graph.linksBetween(links.back(), link);
            links.insert(links.end(), between.begin(), between.end());
        }
        links.push_back(link);
    }
    return links;
}

// The decided links the map has, consecutive repeats dropped.
std::vector<int> decidedLinks(const std::vector<int>& route, const LinkGraph& graph) {
    std::vector<int> links;
    for (int link : route)
        if (graph.has(link) && (links.empty() || links.back() != link)) links.push_back(link);
    return links;
}

void addPosition(std::vector<_position>& line, const _position& p) {
    if (line.empty() || !(line.back() == p)) line.push_back(p);
}

// Positions from the first snapped fix through the inner nodes to the last snapped fix; a new line
// starts wherever two links do not meet.
std::vector<std::vector<_position>> drivenLines(const std::vector<int>& links, const _position& start,
                                                const _position& end, const CompactMap& map,
                                                const LinkGraph& graph) {
    std::vector<std::vector<_position>> lines(1);
    addPosition(lines.back(), start);
    for (size_t k = 0; k + 1 < links.size(); ++k) {
        addPosition(lines.back(), positionOf(map.node(map.findLink(links[k])->destination)));
        if (!graph.isConnected(links[k], links[k + 1])) {
            lines.emplace_back();
            addPosition(lines.back(), positionOf(map.node(map.findLink(links[k + 1])->origin)));
        }
    }
    addPosition(lines.back(), end);
    // A line needs two positions, also for a piece of one fix.
    for (auto& line : lines)
        if (line.size() == 1) line.push_back(line.front());
    return lines;
}

}  // namespace

std::optional<std::pair<_position, double>> matchApp::snapToLink(const CompactMap& map, int link,
                                                                 const _node& at) {
    const mapRepresentation::CompactLink* l = map.findLink(link);
    if (l == nullptr) return std::nullopt;
    const CompactNode& o = map.node(l->origin);
    const CompactNode& d = map.node(l->destination);
    const Point a{o.easting, o.northing};
    const Point b{d.easting, d.northing};
    // In the map's frame, whatever plane the route was loaded in.
    const auto [foot, distance] =
        getNearestPointFromLink(a, b, map.toPlane(at.position.lat, at.position.lon));
    const double length = distance2Points(a, b);
    const double t = length > 0 ? std::clamp(distance2Points(a, foot) / length, 0.0, 1.0) : 0.0;
    return std::make_pair(along(o, d, t), distance);
}

TraceOnMap matchApp::layOnMap(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                              const CompactMap& map, const LinkGraph& graph, const DrivenRoutes& routes) {
    TraceOnMap trace;
    trace.fixes.resize(route.nodes.size());
    for (size_t i = 0; i < trace.fixes.size(); ++i) trace.fixes[i].point = static_cast<int>(i);
    for (size_t k = 0; k < paths.size(); ++k) {
        for (const auto& [point, link] : paths[k]->links) {
            // A crossed link, a fix left without a link, or a pair that fits neither route nor map.
            if (point < 0 || link < 0 || static_cast<size_t>(point) >= route.nodes.size()) continue;
            const auto snap =
                graph.has(link) ? matchApp::snapToLink(map, link, route.nodes[point]) : std::nullopt;
            if (!snap) continue;
            trace.fixes[point] = FixOnMap{point, link, static_cast<int>(k), snap->first, snap->second};
        }
    }
    for (size_t k = 0; k < paths.size(); ++k) {
        const int piece = static_cast<int>(k);
        DrivenPiece driven{
            piece, -1, -1, k < routes.size() ? decidedLinks(routes[k], graph) : std::vector<int>{}, {}};
        if (driven.links.empty()) driven.links = drivenLinks(*paths[k], piece, trace, graph);
        if (driven.links.empty()) continue;
        for (const auto& [point, link] : paths[k]->links) {
            if (!fixOfPiece(trace, point, piece)) continue;
            if (driven.firstPoint < 0) driven.firstPoint = point;
            driven.lastPoint = point;
        }
        driven.lines = drivenLines(driven.links, trace.fixes[driven.firstPoint].snapped,
                                   trace.fixes[driven.lastPoint].snapped, map, graph);
        trace.pieces.push_back(std::move(driven));
    }
    return trace;
}
