#include "matching/hmm_placement.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

namespace MapMatching {

using mapRepresentation::RoadGraph;
using mapRepresentation::RouteSearch;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Metres: the least noise the positions along the drive are smoothed for (the estimate of a clean
// trace can come out near zero).
constexpr double kMinPlaceNoise = 1.0;

Point fixPoint(const _node& n) {
    return Point{n.easting, n.northing};
}

}  // namespace

HmmPlacement::HmmPlacement(const RoadGraph& g, const HmmParams& p, RouteSearch& s)
    : graph(g), params(p), search(s) {}

// The links of one piece in driving order, from its first chosen candidate to its last; every fix
// in the lattice gets the drive index of its candidate.
void HmmPlacement::assembleDrive(int from, int end) {
    drive.assign(1, lattice->candidate(lattice->chosen(from)).link);
    anchor[static_cast<size_t>(from)] = 0;
    int lastFix = from;
    for (int t = from + 1; t < end; ++t) {
        if (lattice->skipped(t)) continue;
        const int32_t j = lattice->chosen(t);
        const HmmLattice::Near& p = lattice->candidate(lattice->previous(j));
        const HmmLattice::Near& c = lattice->candidate(j);
        const double d = lattice->stepLength(j);
        if (d >= 0.0 && !(c.link == p.link && c.offset >= p.offset)) {
            targets.assign(1, graph.link(c.link).origin);
            search.run(p.link, p.offset, d + 1.0, targets);
            search.linksBetween(c.link, c.offset, between);
            drive.insert(drive.end(), between.begin(), between.end());
            drive.push_back(c.link);
        }
        anchor[static_cast<size_t>(t)] = static_cast<uint32_t>(drive.size() - 1);
        lastFix = t;
    }
    trimDrive(from, end, lastFix);
    driveStart.assign(1, 0.0);
    for (uint32_t l : drive) driveStart.push_back(driveStart.back() + graph.link(l).length);
}

// A piece starts and ends at its fixes: a first fix that projects beyond the end of its link stands at
// the junction, and the drive leaves it by the next link; a last fix before the start of its link has
// not entered it. Neither link is driven.
void HmmPlacement::trimDrive(int from, int end, int lastFix) {
    const HmmLattice::Near& head = lattice->candidate(lattice->chosen(from));
    if (drive.size() > 1 && head.offset >= graph.link(head.link).length) {
        drive.erase(drive.begin());
        for (int t = from; t < end; ++t) anchor[static_cast<size_t>(t)] -= anchor[static_cast<size_t>(t)] > 0;
    }
    const HmmLattice::Near& tail = lattice->candidate(lattice->chosen(lastFix));
    if (drive.size() > 1 && tail.offset <= 0.0 && anchor[static_cast<size_t>(lastFix)] + 1 == drive.size()) {
        drive.pop_back();
        for (int t = from; t < end; ++t)
            anchor[static_cast<size_t>(t)] =
                std::min(anchor[static_cast<size_t>(t)], static_cast<uint32_t>(drive.size() - 1));
    }
}

// Where on drive links lo..hi the point projects nearest, as metres along the drive (the earliest on a tie).
double HmmPlacement::nearestAlong(Point q, uint32_t lo, uint32_t hi) const {
    double best = kInf, at = driveStart[lo];
    for (uint32_t k = lo; k <= hi; ++k)
        if (const HmmLattice::Near x = graph.project(drive[k], q); x.distance < best) {
            best = x.distance;
            at = driveStart[k] + x.offset;
        }
    return at;
}

// Each fix's position along the drive: near its chosen candidate's link (a fix just past a junction
// may project onto the next link), and for a fix left out of the lattice, between its neighbours'.
void HmmPlacement::measureAlong(const Route& route, int from, int end) {
    uint32_t before = 0;
    int next = from;  // the next fix in the lattice
    for (int t = from; t < end; ++t) {
        if (next <= t)
            for (next = t + 1; next < end && lattice->skipped(next);) ++next;
        const uint32_t after = next < end ? anchor[static_cast<size_t>(next)] : before;
        const Point q = fixPoint(route.nodes[static_cast<size_t>(t)]);
        if (lattice->skipped(t)) {
            along[static_cast<size_t>(t)] = nearestAlong(q, before, std::max(before, after));
            continue;
        }
        const uint32_t a = anchor[static_cast<size_t>(t)];
        along[static_cast<size_t>(t)] =
            nearestAlong(q, std::max(before, a > 0 ? a - 1 : 0), std::max(a, std::min(after, a + 1)));
        before = a;
    }
}

// The positions along the drive, smoothed over time; afterwards they never go back and stay on the drive.
void HmmPlacement::smoothAlong(const Route& route, int from, int end) {
    seconds.clear();
    for (int t = from; t < end; ++t)
        seconds.push_back(static_cast<double>(route.nodes[static_cast<size_t>(t)].arrivalTime));
    const std::span<double> piece(along.data() + from, static_cast<size_t>(end - from));
    holdStands(from, end, false);
    smoother.smooth(seconds, piece, std::max(lattice->noise(), kMinPlaceNoise), params.placeAccel);
    holdStands(from, end, true);
    double last = 0.0;
    for (double& s : piece) last = s = std::clamp(s, last, driveStart.back());
    // A stand moved back before a junction holds the fixes before it there too.
    double next = driveStart.back();
    for (size_t i = piece.size(); i-- > 0;) next = piece[i] = std::min(piece[i], next);
}

// Every fix of a stand the receiver reported at one position along the drive, the median of theirs:
// the vehicle stood still, whatever its fixes did. With `beforeJunction`, a stand that median puts
// just past a junction (closer than the noise) stands before it: vehicles wait at a junction before
// entering it, and the median of noisy fixes is a coin toss between the two sides.
void HmmPlacement::holdStands(int from, int end, bool beforeJunction) {
    const double reach = std::max(lattice->noise(), kMinPlaceNoise);
    for (int t = from; t < end;) {
        const int stand = lattice->standingSince(t);
        int stop = t + 1;
        while (stop < end && stand >= 0 && lattice->standingSince(stop) == stand) ++stop;
        if (stop - t > 1) {
            held.assign(along.begin() + t, along.begin() + stop);
            auto mid = held.begin() + static_cast<std::ptrdiff_t>(held.size() / 2);
            std::nth_element(held.begin(), mid, held.end());
            double at = *mid;
            if (beforeJunction) {
                const auto k = std::upper_bound(driveStart.begin() + 1, driveStart.end() - 1, at);
                if (k != driveStart.begin() + 1 && at - *(k - 1) < reach) at = std::nextafter(*(k - 1), 0.0);
            }
            std::fill(along.begin() + t, along.begin() + stop, at);
        }
        t = stop;
    }
}

// One Path for the piece: every fix on the drive link its position falls on, the links between with
// -1. A fix farther than the radius from that link is not matched (the drive still passes it), and
// the piece runs from its first matched fix to its last: off the map's end the drive stops.
void HmmPlacement::emitPiece(const Route& route, int from, int end) {
    placed.clear();
    close.clear();
    for (int t = from, k = 0; t < end; ++t) {
        while (k + 1 < static_cast<int>(drive.size()) && driveStart[k + 1] <= along[static_cast<size_t>(t)])
            ++k;
        placed.push_back(static_cast<uint32_t>(k));
        const Point q = fixPoint(route.nodes[static_cast<size_t>(t)]);
        close.push_back(graph.project(drive[k], q).distance <= params.radius);
    }
    int lo = 0, hi = end - from - 1;
    while (lo <= hi && !close[static_cast<size_t>(lo)]) ++lo;
    while (hi > lo && !close[static_cast<size_t>(hi)]) --hi;
    if (lo > hi) return;
    paths.push_back(std::make_unique<Path>());
    Path& path = *paths.back();
    path.startIndex = from + lo;
    path.lastIndex = from + hi;
    for (int i = lo; i <= hi; ++i) {
        const int t = from + i;
        const size_t k = placed[static_cast<size_t>(i)];
        if (i > lo)
            for (size_t c = placed[static_cast<size_t>(i) - 1] + 1; c < k; ++c)
                path.links.emplace_back(-1, graph.link(drive[c]).id);
        const RoadGraph::Link& l = graph.link(drive[k]);
        if (!close[static_cast<size_t>(i)]) {
            if (k != placed[static_cast<size_t>(i) - 1]) path.links.emplace_back(-1, l.id);
            continue;
        }
        const double s = along[static_cast<size_t>(t)];
        const double u = l.length > 0.0 ? std::clamp((s - driveStart[k]) / l.length, 0.0, 1.0) : 0.0;
        linkOfFix[static_cast<size_t>(t)] = l.id;
        pointOfFix[static_cast<size_t>(t)] = Point{l.a.x + u * (l.b.x - l.a.x), l.a.y + u * (l.b.y - l.a.y)};
        path.links.emplace_back(t, l.id);
    }
}

void HmmPlacement::run(const Route& route, const HmmLattice& decoded) {
    lattice = &decoded;
    paths.clear();
    shortPaths.clear();
    routes.clear();
    linkOfFix.assign(route.nodes.size(), -1);
    pointOfFix.assign(route.nodes.size(), Point{});
    const int n = static_cast<int>(route.nodes.size());
    anchor.assign(static_cast<size_t>(n), 0);
    along.assign(static_cast<size_t>(n), 0.0);
    for (int t = 0; t < n;) {
        if (lattice->skipped(t) || lattice->chosen(t) < 0) {
            ++t;
            continue;
        }
        // A piece: from a candidate that starts one to the fix before the next start or unmatched fix.
        int end = t + 1;
        while (end < n && (lattice->skipped(end) ||
                           (lattice->chosen(end) >= 0 && lattice->previous(lattice->chosen(end)) >= 0)))
            ++end;
        assembleDrive(t, end);
        measureAlong(route, t, end);
        smoothAlong(route, t, end);
        emitPiece(route, t, end);
        t = end;
    }
    for (const auto& path : paths) {
        std::vector<int>& links = routes.emplace_back();
        for (const auto& pair : path->links)
            if (links.empty() || links.back() != pair.second) links.push_back(pair.second);
        auto s = std::make_unique<Path>(*path);
        std::erase_if(s->links, [](const std::pair<int, int>& pair) { return pair.first < 0; });
        shortPaths.push_back(std::move(s));
    }
}

}  // namespace MapMatching
