#include "matching/hmm_matcher.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

namespace MapMatching {

using mapRepresentation::RoadGraph;
using mapRepresentation::RouteSearch;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// 1.4826 x the median absolute deviation estimates a Gaussian's sigma; the distance of a fix to
// its road is the absolute cross-track error.
constexpr double kMadToSigma = 1.4826;
// A fix retried with the wider radius may take this many times the usual number of candidates, so
// that the links close to it do not crowd out the one it belongs to.
constexpr int kRetryCandidateFactor = 4;
// Metres: the least noise the positions along the drive are smoothed for (the estimate of a clean
// trace can come out near zero).
constexpr double kMinPlaceNoise = 1.0;

Point fixPoint(const _node& n) {
    return Point{n.easting, n.northing};
}

double secondsBetween(const _node& a, const _node& b) {
    const double dt = static_cast<double>(b.arrivalTime) - static_cast<double>(a.arrivalTime);
    return std::max(1.0, dt);  // equal or out-of-order times still allow one second of driving
}

}  // namespace

HmmMatcher::HmmMatcher(const RoadGraph& g, const HmmParams& p) : graph(g), params(p), search(g) {}

void HmmMatcher::findCandidates(const Route& route) {
    cands.clear();
    first.clear();
    last.clear();
    nearRoads = 0;
    for (const _node& n : route.nodes) {
        graph.nearLinks(fixPoint(n), params.radius, params.candidates, near);
        nearRoads += !near.empty();
        if (near.empty()) graph.nearLinks(fixPoint(n), params.retryRadius, params.candidates, near);
        first.push_back(static_cast<uint32_t>(cands.size()));
        cands.insert(cands.end(), near.begin(), near.end());
        last.push_back(static_cast<uint32_t>(cands.size()));
    }
}

bool HmmMatcher::widen(const Route& route, int t) {
    graph.nearLinks(fixPoint(route.nodes[static_cast<size_t>(t)]), params.reachRadius,
                    params.candidates * kRetryCandidateFactor, near);
    if (near.size() <= last[t] - first[t]) return false;  // nothing new to try
    first[t] = static_cast<uint32_t>(cands.size());
    cands.insert(cands.end(), near.begin(), near.end());
    last[t] = static_cast<uint32_t>(cands.size());
    cost.resize(cands.size(), kInf);
    back.resize(cands.size(), -1);
    stepLen.resize(cands.size(), 0.0);
    owner.resize(cands.size(), 0);
    return true;
}

double HmmMatcher::estimateNoise() const {
    std::vector<double> nearest;
    for (size_t t = 0; t < first.size(); ++t)
        if (first[t] < last[t]) nearest.push_back(cands[first[t]].distance);
    if (nearest.empty()) return params.sigmaMin;
    auto mid = nearest.begin() + static_cast<std::ptrdiff_t>(nearest.size() / 2);
    std::nth_element(nearest.begin(), mid, nearest.end());
    return kMadToSigma * *mid;
}

double HmmMatcher::stepDistance(const RoadGraph::Near& a, const RoadGraph::Near& b,
                                double maxDistance) const {
    if (a.link == b.link && b.offset < a.offset && a.offset - b.offset <= params.backTolerance)
        return -(a.offset - b.offset);  // negative: metres backwards on the link, taken as noise
    const double d = search.distanceTo(b.link, b.offset);
    return d <= maxDistance ? d : RouteSearch::kUnreachable;
}

double HmmMatcher::emissionCost(double distance) const {
    const double z = distance / sigma;
    return 0.5 * z * z;
}

double HmmMatcher::scale(double seconds) const {
    return params.beta + params.betaPerSecond * seconds + params.betaPerSecond2 * seconds * seconds;
}

double HmmMatcher::transitionCost(double d, double straight, double stepScale, bool turnsBack) const {
    // Backwards on a link costs its length on top, so that it never beats a real drive.
    const double moved = std::abs(d);
    // A route shorter than the straight line is mostly fix noise; one longer is a detour.
    const double gap = moved > straight ? moved - straight : params.shortWeight * (straight - moved);
    return (gap + (d < 0 ? moved : 0.0) + (turnsBack ? params.turnBack : 0.0)) / stepScale;
}

double HmmMatcher::bound(const Route& route, int prev, int t) const {
    const _node& a = route.nodes[static_cast<size_t>(prev)];
    const _node& b = route.nodes[static_cast<size_t>(t)];
    const double straight = distance2Points(fixPoint(a), fixPoint(b));
    // Receiver clocks skip and repeat seconds, so time never forbids covering the straight line.
    const double bySpeed = std::max(params.maxSpeed * secondsBetween(a, b), straight) + params.detourSlack;
    return std::min(bySpeed, params.detourFactor * straight + params.detourSlack);
}

void HmmMatcher::startPiece(int t) {
    for (uint32_t j = first[t]; j < last[t]; ++j) {
        cost[j] = emissionCost(cands[j].distance);
        back[j] = -1;
        owner[j] = static_cast<uint32_t>(t);
    }
    shift[static_cast<size_t>(t)] = 0.0;
}

// Lowers the costs of fix t's candidates by steps from fix `from`'s, each costing `extra` on top.
bool HmmMatcher::relax(const Route& route, int from, int t, double extra, double stepScale) {
    const _node& a = route.nodes[static_cast<size_t>(from)];
    const _node& b = route.nodes[static_cast<size_t>(t)];
    const double straight = distance2Points(fixPoint(a), fixPoint(b));
    const double reach = bound(route, from, t);
    bool any = false;
    for (uint32_t i = first[from]; i < last[from]; ++i) {
        if (cost[i] == kInf) continue;
        // The fixes may lie off their roads, so the road between the candidates may be longer.
        const double limit = reach + cands[i].distance + farthest;
        search.run(cands[i].link, cands[i].offset, limit, targets);
        for (uint32_t j = first[t]; j < last[t]; ++j) {
            const double d = stepDistance(cands[i], cands[j], limit);
            if (d == RouteSearch::kUnreachable) continue;
            const bool turns = d >= 0.0 && search.turnsBack(cands[j].link, cands[j].offset);
            const double c = cost[i] + extra + transitionCost(d, straight, stepScale, turns) +
                             emissionCost(cands[j].distance);
            if (c < cost[j]) {
                cost[j] = c;
                back[j] = static_cast<int32_t>(i);
                stepLen[j] = d;
                any = true;
            }
        }
    }
    return any;
}

// Fix t's candidates from the last fix in the lattice, `prev`, or from the one before it, `before`
// (-1: none in this piece), taking prev as an outlier. A noisy fix thrown to the wrong side of a
// junction otherwise drags the drive into a detour there and back.
bool HmmMatcher::advance(const Route& route, int prev, int before, int t) {
    targets.clear();
    farthest = 0.0;
    for (uint32_t j = first[t]; j < last[t]; ++j) {
        targets.push_back(graph.link(cands[j].link).origin);
        farthest = std::max(farthest, cands[j].distance);
        cost[j] = kInf;
        owner[j] = static_cast<uint32_t>(t);
    }
    auto secondsFrom = [&](int f) {
        return secondsBetween(route.nodes[static_cast<size_t>(f)], route.nodes[static_cast<size_t>(t)]);
    };
    bool any = relax(route, prev, t, 0.0, scale(secondsFrom(prev)));
    if (before >= 0 && params.outlier > 0.0) {
        // Costs of both fixes measured from the same base; the two steps' deviations add up.
        const double extra =
            shift[static_cast<size_t>(before)] - shift[static_cast<size_t>(prev)] + outlierCost();
        const double twoSteps = scale(secondsBetween(route.nodes[static_cast<size_t>(before)],
                                                     route.nodes[static_cast<size_t>(prev)])) +
                                scale(secondsFrom(prev));
        any = relax(route, before, t, extra, twoSteps) || any;
    }
    if (!any) return false;
    double best = kInf;
    for (uint32_t j = first[t]; j < last[t]; ++j) best = std::min(best, cost[j]);
    for (uint32_t j = first[t]; j < last[t]; ++j) cost[j] -= best;  // keeps costs small
    shift[static_cast<size_t>(t)] = shift[static_cast<size_t>(prev)] + best;
    return true;
}

void HmmMatcher::backtrack(int end) {
    uint32_t best = first[end];
    for (uint32_t j = first[end]; j < last[end]; ++j)
        if (cost[j] < cost[best]) best = j;
    for (int32_t j = static_cast<int32_t>(best); j >= 0; j = back[static_cast<size_t>(j)]) {
        const uint32_t t = owner[static_cast<size_t>(j)];
        chosen[t] = j;
        if (back[static_cast<size_t>(j)] >= 0)  // the fixes stepped over are placed on the drive later
            for (uint32_t u = owner[static_cast<size_t>(back[static_cast<size_t>(j)])] + 1; u < t; ++u)
                skipped[u] = 1;
    }
}

void HmmMatcher::decode(const Route& route) {
    const int n = static_cast<int>(route.nodes.size());
    cost.assign(cands.size(), kInf);
    back.assign(cands.size(), -1);
    stepLen.assign(cands.size(), 0.0);
    owner.assign(cands.size(), 0);
    shift.assign(static_cast<size_t>(n), 0.0);
    chosen.assign(static_cast<size_t>(n), -1);
    skipped.assign(static_cast<size_t>(n), 0);
    int prev = -1, before = -1;  // the last two fixes in the lattice of the current piece
    for (int t = 0; t < n; ++t) {
        if (prev >= 0 && t + 1 < n && nearPrevious(route, prev, t)) {
            skipped[static_cast<size_t>(t)] = 1;
            continue;
        }
        if (first[t] == last[t]) {  // no road near this fix: the piece ends before it
            if (prev >= 0) backtrack(prev);
            prev = before = -1;
            continue;
        }
        // A fix the piece cannot reach may lie farther from its road than the radius: look wider once.
        if (prev < 0 ||
            (!advance(route, prev, before, t) && !(widen(route, t) && advance(route, prev, before, t)))) {
            if (prev >= 0) backtrack(prev);
            startPiece(t);
            before = -1;
        } else {
            before = prev;
        }
        prev = t;
    }
    if (prev >= 0) backtrack(prev);
}

void HmmMatcher::run(const Route& route) {
    matched.clear();
    shortMatched.clear();
    routes.clear();
    unmatched.clear();
    findCandidates(route);
    noise = params.sigma > 0.0 ? params.sigma : estimateNoise();
    sigma = params.sigma > 0.0 ? params.sigma : std::clamp(noise, params.sigmaMin, params.sigmaMax);
    decode(route);
    linkOfFix.assign(route.nodes.size(), -1);
    pointOfFix.assign(route.nodes.size(), Point{});
    buildPaths(route);
    buildUnmatched(static_cast<int>(route.nodes.size()));
}

bool HmmMatcher::nearPrevious(const Route& route, int prev, int t) const {
    // Between close noisy fixes the straight line is mostly noise, and transitions that follow it
    // pick detours; so noisier traces keep their fixes farther apart.
    const double spread = std::clamp(noise / params.thinningNoise, 1.0, params.thinningMaxFactor);
    const double spacing = params.thinning * sigma * spread;
    return distance2Points(fixPoint(route.nodes[static_cast<size_t>(prev)]),
                           fixPoint(route.nodes[static_cast<size_t>(t)])) < spacing;
}

// The links of one piece in driving order, from its first chosen candidate to its last; every fix
// in the lattice gets the drive index of its candidate.
void HmmMatcher::assembleDrive(int from, int end) {
    drive.assign(1, cands[static_cast<size_t>(chosen[static_cast<size_t>(from)])].link);
    anchor[static_cast<size_t>(from)] = 0;
    int lastFix = from;
    for (int t = from + 1; t < end; ++t) {
        if (skipped[static_cast<size_t>(t)]) continue;
        const int32_t j = chosen[static_cast<size_t>(t)];
        const RoadGraph::Near& p = cands[static_cast<size_t>(back[static_cast<size_t>(j)])];
        const RoadGraph::Near& c = cands[static_cast<size_t>(j)];
        const double d = stepLen[static_cast<size_t>(j)];
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
void HmmMatcher::trimDrive(int from, int end, int lastFix) {
    const RoadGraph::Near& head = cands[static_cast<size_t>(chosen[static_cast<size_t>(from)])];
    if (drive.size() > 1 && head.offset >= graph.link(head.link).length) {
        drive.erase(drive.begin());
        for (int t = from; t < end; ++t) anchor[static_cast<size_t>(t)] -= anchor[static_cast<size_t>(t)] > 0;
    }
    const RoadGraph::Near& tail = cands[static_cast<size_t>(chosen[static_cast<size_t>(lastFix)])];
    if (drive.size() > 1 && tail.offset <= 0.0 && anchor[static_cast<size_t>(lastFix)] + 1 == drive.size()) {
        drive.pop_back();
        for (int t = from; t < end; ++t)
            anchor[static_cast<size_t>(t)] =
                std::min(anchor[static_cast<size_t>(t)], static_cast<uint32_t>(drive.size() - 1));
    }
}

// Where on drive links lo..hi the point projects nearest, as metres along the drive (the earliest on a tie).
double HmmMatcher::nearestAlong(Point q, uint32_t lo, uint32_t hi) const {
    double best = kInf, at = driveStart[lo];
    for (uint32_t k = lo; k <= hi; ++k)
        if (const RoadGraph::Near x = graph.project(drive[k], q); x.distance < best) {
            best = x.distance;
            at = driveStart[k] + x.offset;
        }
    return at;
}

// Each fix's position along the drive: near its chosen candidate's link (a fix just past a junction
// may project onto the next link), and for a fix left out of the lattice, between its neighbours'.
void HmmMatcher::measureAlong(const Route& route, int from, int end) {
    uint32_t before = 0;
    int next = from;  // the next fix in the lattice
    for (int t = from; t < end; ++t) {
        if (next <= t)
            for (next = t + 1; next < end && skipped[static_cast<size_t>(next)];) ++next;
        const uint32_t after = next < end ? anchor[static_cast<size_t>(next)] : before;
        const Point q = fixPoint(route.nodes[static_cast<size_t>(t)]);
        if (skipped[static_cast<size_t>(t)]) {
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
void HmmMatcher::smoothAlong(const Route& route, int from, int end) {
    seconds.clear();
    for (int t = from; t < end; ++t)
        seconds.push_back(static_cast<double>(route.nodes[static_cast<size_t>(t)].arrivalTime));
    const std::span<double> piece(along.data() + from, static_cast<size_t>(end - from));
    smoother.smooth(seconds, piece, std::max(noise, kMinPlaceNoise), params.placeAccel);
    double last = 0.0;
    for (double& s : piece) last = s = std::clamp(s, last, driveStart.back());
}

// One Path for the piece: every fix on the drive link its position falls on, the links between with
// -1. A fix farther than the radius from that link is not matched (the drive still passes it), and
// the piece runs from its first matched fix to its last: off the map's end the drive stops.
void HmmMatcher::emitPiece(const Route& route, int from, int end) {
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
    matched.push_back(std::make_unique<Path>());
    Path& path = *matched.back();
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

void HmmMatcher::buildPaths(const Route& route) {
    const int n = static_cast<int>(route.nodes.size());
    anchor.assign(static_cast<size_t>(n), 0);
    along.assign(static_cast<size_t>(n), 0.0);
    for (int t = 0; t < n;) {
        if (skipped[static_cast<size_t>(t)] || chosen[static_cast<size_t>(t)] < 0) {
            ++t;
            continue;
        }
        // A piece: from a candidate that starts one to the fix before the next start or unmatched fix.
        int end = t + 1;
        while (end < n && (skipped[static_cast<size_t>(end)] ||
                           (chosen[static_cast<size_t>(end)] >= 0 &&
                            back[static_cast<size_t>(chosen[static_cast<size_t>(end)])] >= 0)))
            ++end;
        assembleDrive(t, end);
        measureAlong(route, t, end);
        smoothAlong(route, t, end);
        emitPiece(route, t, end);
        t = end;
    }
    for (const auto& path : matched) {
        std::vector<int>& links = routes.emplace_back();
        for (const auto& pair : path->links)
            if (links.empty() || links.back() != pair.second) links.push_back(pair.second);
        auto s = std::make_unique<Path>(*path);
        std::erase_if(s->links, [](const std::pair<int, int>& pair) { return pair.first < 0; });
        shortMatched.push_back(std::move(s));
    }
}

void HmmMatcher::buildUnmatched(int n) {
    const int m = static_cast<int>(matched.size());
    if (m == 0) {
        unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{0, n - 1, -1, -1, -1, -1}));
        return;
    }
    // The order and fields of the hybrid matcher: after each path the stretch to the next, the
    // stretch before the first path after it, and the stretch after the last path at the end.
    for (int i = 0; i < m; ++i) {
        const Path& p = *matched[static_cast<size_t>(i)];
        const int e = p.lastIndex;
        const int a = p.links.back().second;
        if (i + 1 < m) {
            const Path& q = *matched[static_cast<size_t>(i) + 1];
            const int f = q.startIndex;
            const int b = q.links.front().second;
            unmatched.push_back(
                std::make_unique<_unmatchinfo>(f == e + 1 ? _unmatchinfo{-1, -1, a, b, i, i + 1}
                                                          : _unmatchinfo{e + 1, f - 1, a, b, i, i + 1}));
        }
        if (i == 0 && p.startIndex != 0)
            unmatched.push_back(std::make_unique<_unmatchinfo>(
                _unmatchinfo{0, p.startIndex - 1, -1, p.links.front().second, -1, 0}));
        if (i == m - 1 && e < n - 1)
            unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{e + 1, n - 1, a, -1, i, -1}));
    }
}

}  // namespace MapMatching
