#include "app/trace_rows.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "traces/trace_time.h"

using traces::DrivenRoutes;

using matchApp::DrivenPiece;
using matchApp::FixOnMap;
using matchApp::FixRow;
using matchApp::LinkRow;
using matchApp::TraceOnMap;
using matchApp::TraceRows;

using mapRepresentation::CompactMap;
using mapRepresentation::CompactNode;
using mapRepresentation::LinkGraph;
using mapRepresentation::LinkTable;

namespace {

constexpr double kKmhPerMetrePerSecond = 3.6;

std::optional<double> timeOf(const _node& n) {
    if (n.arrivalTime == traces::kTraceNoTime) return std::nullopt;
    return static_cast<double>(n.arrivalTime);
}

// Where along its link (0 at the origin, 1 at the destination) a snapped position lies. Snapped
// positions lie on the straight line between the link's end nodes in latitude and longitude.
// The end nodes of a link the map has.
std::pair<const CompactNode&, const CompactNode&> endsOf(const CompactMap& map, int link) {
    const mapRepresentation::CompactLink* l = map.findLink(link);
    if (l == nullptr) throw std::out_of_range("no link " + std::to_string(link));
    return {map.node(l->origin), map.node(l->destination)};
}

double fractionAlong(const CompactMap& map, int link, const _position& p) {
    const auto& [o, d] = endsOf(map, link);
    const double dx = d.longitude - o.longitude, dy = d.latitude - o.latitude;
    const double span = dx * dx + dy * dy;
    if (span <= 0) return 0.0;
    const double t = ((p.lon - o.longitude) * dx + (p.lat - o.latitude) * dy) / span;
    return std::clamp(t, 0.0, 1.0);
}

_position pointAlong(const CompactMap& map, int link, double t) {
    const auto& [o, d] = endsOf(map, link);
    return _position{o.latitude + t * (d.latitude - o.latitude),
                     o.longitude + t * (d.longitude - o.longitude)};
}

// One fix of a piece measured along the piece's driven links.
struct Placed {
    int point;
    double at;  // metres from the start of the piece's first link
    std::optional<double> time;
};

// The position of each of the piece's fixes along its links. The path's pairs are walked as the
// driven links were made from them: a pair on another link than the current one moves on to that
// link's next occurrence, so a fix lands on the pass of the link it was matched in, also where the
// route comes round to a link again. Positions never go back: a fix a little behind the previous one
// on the same link (noise while standing) is taken to stand.
std::vector<Placed> placeFixes(const Path& path, const DrivenPiece& piece, const TraceOnMap& laid,
                               const Route& route, const LinkGraph& graph, const std::vector<double>& starts,
                               const std::vector<FixRow>& rows) {
    std::vector<Placed> placed;
    const auto& links = piece.links;
    size_t current = links.size();  // none yet
    double last = 0.0;
    const auto ofPiece = [&](int point) {
        return point >= 0 && static_cast<size_t>(point) < laid.fixes.size() &&
               laid.fixes[point].piece == piece.piece;
    };
    bool started = false;  // the driven links start at the piece's first placed fix
    for (const auto& [point, link] : path.links) {
        started = started || ofPiece(point);
        if (!started || !graph.has(link)) continue;
        if (current == links.size() || links[current] != link) {
            const size_t from = current == links.size() ? 0 : current + 1;
            const auto next = std::find(links.begin() + static_cast<long>(from), links.end(), link);
            if (next == links.end()) continue;  // outside the driven part
            current = static_cast<size_t>(next - links.begin());
        }
        if (!ofPiece(point) || laid.fixes[point].link != link) continue;
        if (!placed.empty() && placed.back().point >= point) continue;
        last = std::max(last, starts[current] + rows[point].offset);
        placed.push_back({point, last, timeOf(route.nodes[point])});
    }
    return placed;
}

// The time at `at` metres along the piece, interpolated between the fixes around it.
std::optional<double> timeAt(const std::vector<Placed>& placed, double at) {
    const auto after = std::lower_bound(placed.begin(), placed.end(), at,
                                        [](const Placed& p, double value) { return p.at < value; });
    if (after == placed.end()) return placed.back().time;
    if (after == placed.begin() || after->at == at) return after->time;
    const Placed& before = *(after - 1);
    if (!before.time || !after->time) return std::nullopt;
    const double t = (at - before.at) / (after->at - before.at);
    return *before.time + t * (*after->time - *before.time);
}

std::optional<double> speedOver(double metres, std::optional<double> from, std::optional<double> to) {
    if (!from || !to || *to <= *from) return std::nullopt;
    return metres / (*to - *from) * kKmhPerMetrePerSecond;
}

// The rows of one driven piece; `base` is the route distance at the piece's first fix.
void measurePiece(const Path& path, const DrivenPiece& piece, const Route& route, const CompactMap& map,
                  const LinkGraph& graph, const LinkTable* table, double base, TraceRows& rows) {
    std::vector<double> starts(piece.links.size() + 1, 0.0);
    for (size_t k = 0; k < piece.links.size(); ++k) starts[k + 1] = starts[k] + graph.length(piece.links[k]);
    const std::vector<Placed> placed = placeFixes(path, piece, rows.laid, route, graph, starts, rows.fixes);
    if (placed.empty()) return;
    const double first = placed.front().at, end = placed.back().at;
    for (size_t i = 0; i < placed.size(); ++i) {
        FixRow& row = rows.fixes[placed[i].point];
        row.routeDistance = base + placed[i].at - first;
        if (i > 0) row.speed = speedOver(placed[i].at - placed[i - 1].at, placed[i - 1].time, placed[i].time);
    }
    for (size_t k = 0; k < piece.links.size(); ++k) {
        const int link = piece.links[k];
        const double enter = std::max(starts[k], first), leave = std::min(starts[k + 1], end);
        if (leave < enter) continue;
        LinkRow row;
        row.piece = piece.piece;
        row.link = link;
        row.attributes = table != nullptr ? table->find(link) : nullptr;
        row.metres = leave - enter;
        row.entered = timeAt(placed, enter);
        row.left = timeAt(placed, leave);
        row.speed = speedOver(row.metres, row.entered, row.left);
        const double length = starts[k + 1] - starts[k];
        const auto fraction = [&](double at) { return length > 0 ? (at - starts[k]) / length : 0.0; };
        row.line = {pointAlong(map, link, fraction(enter)), pointAlong(map, link, fraction(leave))};
        rows.links.push_back(std::move(row));
    }
}

}  // namespace

TraceRows matchApp::traceRows(const Route& route, const std::vector<std::unique_ptr<Path>>& paths,
                              const CompactMap& map, const LinkGraph& graph, const LinkTable* table,
                              const DrivenRoutes& routes) {
    TraceRows rows{matchApp::layOnMap(route, paths, map, graph, routes), {}, {}};
    rows.fixes.resize(rows.laid.fixes.size());
    for (size_t i = 0; i < rows.fixes.size(); ++i) {
        const FixOnMap& fix = rows.laid.fixes[i];
        FixRow& row = rows.fixes[i];
        row.fix = fix;
        if (fix.link < 0) continue;
        if (table != nullptr) row.attributes = table->find(fix.link);
        row.offset = fractionAlong(map, fix.link, fix.snapped) * graph.length(fix.link);
    }
    double base = 0.0;
    for (const DrivenPiece& piece : rows.laid.pieces) {
        const size_t before = rows.links.size();
        measurePiece(*paths[piece.piece], piece, route, map, graph, table, base, rows);
        for (size_t k = before; k < rows.links.size(); ++k) base += rows.links[k].metres;
    }
    return rows;
}

std::string matchApp::isoUtcSeconds(uint32_t time) {
    // Turning a trace time back into UTC asks the C library for the zone's offset, which reads the
    // zone file on every call: at a fix a second that costs more than the rest of the row. Within one
    // minute the offset cannot change, so the text of a minute's start is kept and its seconds moved.
    thread_local uint32_t minute = traces::kTraceNoTime;
    thread_local std::string start;  // "YYYY-MM-DDThh:mm:ssZ" of the minute's first second
    if (time == traces::kTraceNoTime) return "";
    const uint32_t into = time % 60;
    if (time / 60 != minute) {
        minute = time / 60;
        start = traces::isoUtcText(time - into);
    }
    if (start.size() != 20) return traces::isoUtcText(time);
    const int second = (start[17] - '0') * 10 + (start[18] - '0') + static_cast<int>(into);
    if (second >= 60) return traces::isoUtcText(time);
    std::string text = start;
    text[17] = static_cast<char>('0' + second / 10);
    text[18] = static_cast<char>('0' + second % 10);
    return text;
}

std::string matchApp::isoUtcTenths(std::optional<double> time) {
    if (!time) return "";
    const double tenths = std::round(*time * 10.0);
    const auto whole = static_cast<uint32_t>(std::floor(tenths / 10.0));
    std::string text = matchApp::isoUtcSeconds(whole);
    if (text.empty()) return text;
    const int tenth = static_cast<int>(tenths - whole * 10.0);
    text.insert(text.size() - 1, "." + std::to_string(tenth));
    return text;
}
