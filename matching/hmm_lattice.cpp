#include "matching/hmm_lattice.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
// Seconds: consecutive fixes reported standing farther apart in time may hide a drive between them.
constexpr double kStandGap = 10.0;
// Fixes reported standing more than this many sigma apart are no one stand (a jump of the receiver).
constexpr double kStandSpread = 4.0;
// Seconds: fixes this far apart in time are sparse, and each is kept however close it lies.
constexpr double kSparseFixes = 5.0;

Point fixPoint(const _node& n) {
    return Point{n.easting, n.northing};
}

double secondsBetween(const _node& a, const _node& b) {
    const double dt = static_cast<double>(b.arrivalTime) - static_cast<double>(a.arrivalTime);
    return std::max(1.0, dt);  // equal or out-of-order times still allow one second of driving
}

}  // namespace

HmmLattice::HmmLattice(const RoadGraph& g, const HmmParams& p, RouteSearch& s)
    : graph(g), params(p), search(s) {}

void HmmLattice::run(const Route& route) {
    findCandidates(route);
    measuredNoise = params.sigma > 0.0 ? params.sigma : estimateNoise();
    sigmaUsed =
        params.sigma > 0.0 ? params.sigma : std::clamp(measuredNoise, params.sigmaMin, params.sigmaMax);
    findStands(route);
    decode(route);
}

void HmmLattice::findCandidates(const Route& route) {
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
    bias.assign(cands.size(), 0.0);
    for (size_t t = 0; t < route.nodes.size(); ++t) weighCourses(route, static_cast<int>(t));
}

double HmmLattice::courseCost(uint32_t link, double course, double speed) const {
    if (params.courseWeight <= 0.0 || !(speed >= params.courseSpeed) || !std::isfinite(course)) return 0.0;
    const RoadGraph::Link& l = graph.link(link);
    if (l.length <= 0.0) return 0.0;
    // 1 along the course, -1 against it.
    const double along = ((l.b.x - l.a.x) * std::sin(course) + (l.b.y - l.a.y) * std::cos(course)) / l.length;
    return params.courseWeight * 0.5 * (1.0 - along);
}

void HmmLattice::weighCourses(const Route& route, int t) {
    const _node& n = route.nodes[static_cast<size_t>(t)];
    for (uint32_t j = first[t]; j < last[t]; ++j)
        bias[j] = courseCost(cands[j].link, n.reportedCourse, n.reportedSpeed);
}

// Runs of consecutive fixes the receiver reported standing, close in time and space.
void HmmLattice::findStands(const Route& route) {
    const size_t n = route.nodes.size();
    standFrom.assign(n, -1);
    if (params.standSpeed <= 0.0) return;
    for (size_t t = 0; t < n; ++t) {
        const _node& at = route.nodes[t];
        if (!(at.reportedSpeed >= 0.0 && at.reportedSpeed < params.standSpeed)) continue;
        standFrom[t] = static_cast<int32_t>(t);
        if (t == 0 || standFrom[t - 1] < 0) continue;
        const _node& before = route.nodes[t - 1];
        if (static_cast<double>(at.arrivalTime) - static_cast<double>(before.arrivalTime) <= kStandGap &&
            distance2Points(fixPoint(before), fixPoint(at)) <= kStandSpread * sigmaUsed)
            standFrom[t] = standFrom[t - 1];
    }
}

bool HmmLattice::widen(const Route& route, int t) {
    graph.nearLinks(fixPoint(route.nodes[static_cast<size_t>(t)]), params.reachRadius,
                    params.candidates * kRetryCandidateFactor, near);
    if (near.size() <= last[t] - first[t]) return false;  // nothing new to try
    first[t] = static_cast<uint32_t>(cands.size());
    cands.insert(cands.end(), near.begin(), near.end());
    last[t] = static_cast<uint32_t>(cands.size());
    bias.resize(cands.size(), 0.0);
    weighCourses(route, t);
    cost.resize(cands.size(), kInf);
    back.resize(cands.size(), -1);
    stepLen.resize(cands.size(), 0.0);
    owner.resize(cands.size(), 0);
    return true;
}

double HmmLattice::estimateNoise() const {
    std::vector<double> nearest;
    for (size_t t = 0; t < first.size(); ++t)
        if (first[t] < last[t]) nearest.push_back(cands[first[t]].distance);
    if (nearest.empty()) return params.sigmaMin;
    auto mid = nearest.begin() + static_cast<std::ptrdiff_t>(nearest.size() / 2);
    std::nth_element(nearest.begin(), mid, nearest.end());
    return kMadToSigma * *mid;
}

double HmmLattice::stepDistance(const Near& a, const Near& b, double maxDistance) const {
    if (a.link == b.link && b.offset < a.offset && a.offset - b.offset <= params.backTolerance)
        return -(a.offset - b.offset);  // negative: metres backwards on the link, taken as noise
    const double d = search.distanceTo(b.link, b.offset);
    return d <= maxDistance ? d : RouteSearch::kUnreachable;
}

double HmmLattice::emissionCost(double distance) const {
    const double z = distance / sigmaUsed;
    return 0.5 * z * z;
}

double HmmLattice::scale(double seconds) const {
    return params.beta + params.betaPerSecond * seconds + params.betaPerSecond2 * seconds * seconds;
}

double HmmLattice::transitionCost(double d, double straight, double stepScale, bool turnsBack) const {
    // Backwards on a link costs its length on top, so that it never beats a real drive.
    const double moved = std::abs(d);
    // A route shorter than the straight line is mostly fix noise; one longer is a detour.
    const double gap = moved > straight ? moved - straight : params.shortWeight * (straight - moved);
    return (gap + (d < 0 ? moved : 0.0) + (turnsBack ? params.turnBack : 0.0)) / stepScale;
}

double HmmLattice::bound(const Route& route, int prev, int t) const {
    const _node& a = route.nodes[static_cast<size_t>(prev)];
    const _node& b = route.nodes[static_cast<size_t>(t)];
    const double straight = distance2Points(fixPoint(a), fixPoint(b));
    // Receiver clocks skip and repeat seconds, so time never forbids covering the straight line.
    const double bySpeed = std::max(params.maxSpeed * secondsBetween(a, b), straight) + params.detourSlack;
    return std::min(bySpeed, params.detourFactor * straight + params.detourSlack);
}

void HmmLattice::startPiece(int t) {
    suspect[static_cast<size_t>(t)] = 0;
    for (uint32_t j = first[t]; j < last[t]; ++j) {
        cost[j] = emission(j);
        back[j] = -1;
        owner[j] = static_cast<uint32_t>(t);
    }
    shift[static_cast<size_t>(t)] = 0.0;
}

// Lowers the costs of fix t's candidates by steps from fix `from`'s, each costing `extra` on top.
bool HmmLattice::relax(const Route& route, int from, int t, double extra, double stepScale) {
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
            const double c = cost[i] + extra + transitionCost(d, straight, stepScale, turns) + emission(j);
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
bool HmmLattice::advance(const Route& route, int prev, int before, int t) {
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
        any = stepOverRun(route, prev, t) || any;
    }
    if (!any) return false;
    double best = kInf;
    for (uint32_t j = first[t]; j < last[t]; ++j) best = std::min(best, cost[j]);
    for (uint32_t j = first[t]; j < last[t]; ++j) cost[j] -= best;  // keeps costs small
    shift[static_cast<size_t>(t)] = shift[static_cast<size_t>(prev)] + best;
    suspect[static_cast<size_t>(t)] = best > outlierCost();
    return true;
}

// Multipath throws runs of fixes to one side of the road for seconds on end, and a drive that follows
// them detours through the streets there. So fix t may also be reached from a fix before a recent
// costly one (where such a run would have begun), stepping over every fix in the lattice since, each
// at the price of an outlier.
bool HmmLattice::stepOverRun(const Route& route, int prev, int t) {
    if (params.runSeconds <= 0.0 || recent.size() < 3) return false;
    const _node& at = route.nodes[static_cast<size_t>(t)];
    bool any = false;
    double steps = scale(secondsBetween(route.nodes[static_cast<size_t>(prev)], at));
    for (size_t k = recent.size() - 1; k-- > 0;) {
        const int from = recent[k], next = recent[k + 1];
        steps += scale(
            secondsBetween(route.nodes[static_cast<size_t>(from)], route.nodes[static_cast<size_t>(next)]));
        if (static_cast<double>(at.arrivalTime) -
                static_cast<double>(route.nodes[static_cast<size_t>(from)].arrivalTime) >
            params.runSeconds)
            break;
        const size_t over = recent.size() - 1 - k;  // lattice fixes stepped over
        if (over < 2 || !suspect[static_cast<size_t>(next)]) continue;
        const double extra = shift[static_cast<size_t>(from)] - shift[static_cast<size_t>(prev)] +
                             static_cast<double>(over) * outlierCost();
        any = relax(route, from, t, extra, steps) || any;
    }
    return any;
}

void HmmLattice::backtrack(int end) {
    uint32_t best = first[end];
    for (uint32_t j = first[end]; j < last[end]; ++j)
        if (cost[j] < cost[best]) best = j;
    for (int32_t j = static_cast<int32_t>(best); j >= 0; j = back[static_cast<size_t>(j)]) {
        const uint32_t t = owner[static_cast<size_t>(j)];
        chosenOf[t] = j;
        if (back[static_cast<size_t>(j)] >= 0)  // the fixes stepped over are placed on the drive later
            for (uint32_t u = owner[static_cast<size_t>(back[static_cast<size_t>(j)])] + 1; u < t; ++u)
                skippedFix[u] = 1;
    }
}

void HmmLattice::decode(const Route& route) {
    const int n = static_cast<int>(route.nodes.size());
    cost.assign(cands.size(), kInf);
    back.assign(cands.size(), -1);
    stepLen.assign(cands.size(), 0.0);
    owner.assign(cands.size(), 0);
    shift.assign(static_cast<size_t>(n), 0.0);
    chosenOf.assign(static_cast<size_t>(n), -1);
    skippedFix.assign(static_cast<size_t>(n), 0);
    suspect.assign(static_cast<size_t>(n), 0);
    recent.clear();
    int prev = -1, before = -1;  // the last two fixes in the lattice of the current piece
    for (int t = 0; t < n; ++t) {
        // A vehicle standing still since the last fix kept is where that fix put it.
        const bool stood =
            prev >= 0 && standFrom[static_cast<size_t>(t)] >= 0 && standFrom[static_cast<size_t>(t)] <= prev;
        if (stood || (prev >= 0 && t + 1 < n && nearPrevious(route, prev, t))) {
            skippedFix[static_cast<size_t>(t)] = 1;
            continue;
        }
        if (first[t] == last[t]) {  // no road near this fix: the piece ends before it
            if (prev >= 0) backtrack(prev);
            prev = before = -1;
            recent.clear();
            continue;
        }
        // A fix the piece cannot reach may lie farther from its road than the radius: look wider once.
        if (prev < 0 ||
            (!advance(route, prev, before, t) && !(widen(route, t) && advance(route, prev, before, t)))) {
            if (prev >= 0) backtrack(prev);
            startPiece(t);
            before = -1;
            recent.clear();
        } else {
            before = prev;
        }
        prev = t;
        recent.push_back(t);
        // Only the fixes a run could have begun after are kept (and always the last two).
        const double now = static_cast<double>(route.nodes[static_cast<size_t>(t)].arrivalTime);
        size_t drop = 0;
        while (drop + 2 < recent.size() &&
               now - static_cast<double>(route.nodes[static_cast<size_t>(recent[drop])].arrivalTime) >
                   params.runSeconds)
            ++drop;
        recent.erase(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    if (prev >= 0) backtrack(prev);
}

bool HmmLattice::nearPrevious(const Route& route, int prev, int t) const {
    // Seconds after the fix before it, a fix close to the last one kept may be where the vehicle
    // turned round: between sparse fixes it is the only sign of the way there and back.
    const _node& fix = route.nodes[static_cast<size_t>(t)];
    if (static_cast<double>(fix.arrivalTime) -
            static_cast<double>(route.nodes[static_cast<size_t>(t - 1)].arrivalTime) >=
        kSparseFixes)
        return false;
    // Between close noisy fixes the straight line is mostly noise, and transitions that follow it
    // pick detours; so noisier traces keep their fixes farther apart.
    const double spread = std::clamp(measuredNoise / params.thinningNoise, 1.0, params.thinningMaxFactor);
    const double spacing = params.thinning * sigmaUsed * spread;
    return distance2Points(fixPoint(route.nodes[static_cast<size_t>(prev)]), fixPoint(fix)) < spacing;
}

}  // namespace MapMatching
