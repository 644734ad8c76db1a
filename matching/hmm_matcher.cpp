#include "matching/hmm_matcher.h"

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
    first.assign(1, 0);
    std::vector<RoadGraph::Near> near;
    for (const _node& n : route.nodes) {
        graph.nearLinks(fixPoint(n), params.radius, params.candidates, near);
        if (near.empty()) graph.nearLinks(fixPoint(n), params.retryRadius, params.candidates, near);
        cands.insert(cands.end(), near.begin(), near.end());
        first.push_back(static_cast<uint32_t>(cands.size()));
    }
}

double HmmMatcher::estimateSigma() const {
    std::vector<double> nearest;
    for (size_t t = 0; t + 1 < first.size(); ++t)
        if (first[t] < first[t + 1]) nearest.push_back(cands[first[t]].distance);
    if (nearest.empty()) return params.sigmaMin;
    auto mid = nearest.begin() + static_cast<std::ptrdiff_t>(nearest.size() / 2);
    std::nth_element(nearest.begin(), mid, nearest.end());
    return std::clamp(kMadToSigma * *mid, params.sigmaMin, params.sigmaMax);
}

double HmmMatcher::stepDistance(const RoadGraph::Near& a, const RoadGraph::Near& b, double maxDistance) const {
    if (a.link == b.link && b.offset < a.offset && a.offset - b.offset <= params.backTolerance)
        return -(a.offset - b.offset);  // negative: metres backwards on the link, taken as noise
    const double d = search.distanceTo(b.link, b.offset);
    return d <= maxDistance ? d : RouteSearch::kUnreachable;
}

double HmmMatcher::bound(const Route& route, int prev, int t) const {
    const _node& a = route.nodes[static_cast<size_t>(prev)];
    const _node& b = route.nodes[static_cast<size_t>(t)];
    const double straight = distance2Points(fixPoint(a), fixPoint(b));
    return std::min(params.maxSpeed * secondsBetween(a, b), params.detourFactor * straight + params.detourSlack);
}

void HmmMatcher::startPiece(int t) {
    for (uint32_t j = first[t]; j < first[t + 1]; ++j) {
        const double z = cands[j].distance / sigma;
        cost[j] = 0.5 * z * z;
        back[j] = -1;
    }
}

bool HmmMatcher::advance(const Route& route, int prev, int t) {
    const _node& a = route.nodes[static_cast<size_t>(prev)];
    const _node& b = route.nodes[static_cast<size_t>(t)];
    const double straight = distance2Points(fixPoint(a), fixPoint(b));
    const double beta = params.beta + params.betaPerSecond * secondsBetween(a, b);
    targets.clear();
    double farthest = 0.0;
    for (uint32_t j = first[t]; j < first[t + 1]; ++j) {
        targets.push_back(graph.link(cands[j].link).origin);
        farthest = std::max(farthest, cands[j].distance);
        cost[j] = kInf;
    }
    const double reach = bound(route, prev, t);
    bool any = false;
    for (uint32_t i = first[prev]; i < first[prev + 1]; ++i) {
        if (cost[i] == kInf) continue;
        // The fixes may lie off their roads, so the road between the candidates may be longer.
        const double limit = reach + cands[i].distance + farthest;
        search.run(cands[i].link, cands[i].offset, limit, targets);
        for (uint32_t j = first[t]; j < first[t + 1]; ++j) {
            const double d = stepDistance(cands[i], cands[j], limit);
            if (d == RouteSearch::kUnreachable) continue;
            // Backwards on a link costs its length on top, so that it never beats a real drive.
            const double moved = std::abs(d);
            const double transition = (std::abs(moved - straight) + (d < 0 ? moved : 0.0)) / beta;
            const double z = cands[j].distance / sigma;
            const double c = cost[i] + transition + 0.5 * z * z;
            if (c < cost[j]) {
                cost[j] = c;
                back[j] = static_cast<int32_t>(i);
                stepLen[j] = d;
                any = true;
            }
        }
    }
    if (!any) return false;
    double best = kInf;
    for (uint32_t j = first[t]; j < first[t + 1]; ++j) best = std::min(best, cost[j]);
    for (uint32_t j = first[t]; j < first[t + 1]; ++j) cost[j] -= best;  // keeps costs small
    return true;
}

void HmmMatcher::backtrack(int last) {
    uint32_t best = first[last];
    for (uint32_t j = first[last]; j < first[last + 1]; ++j)
        if (cost[j] < cost[best]) best = j;
    int32_t j = static_cast<int32_t>(best);
    for (int t = last; j >= 0; --t) {
        chosen[static_cast<size_t>(t)] = j;
        j = back[static_cast<size_t>(j)];
    }
}

void HmmMatcher::decode(const Route& route) {
    const int n = static_cast<int>(route.nodes.size());
    cost.assign(cands.size(), kInf);
    back.assign(cands.size(), -1);
    stepLen.assign(cands.size(), 0.0);
    chosen.assign(static_cast<size_t>(n), -1);
    int prev = -1;
    for (int t = 0; t < n; ++t) {
        if (first[t] == first[t + 1]) {  // no road near this fix: the piece ends before it
            if (prev >= 0) backtrack(prev);
            prev = -1;
            continue;
        }
        if (prev < 0 || !advance(route, prev, t)) {
            if (prev >= 0) backtrack(prev);
            startPiece(t);
        }
        prev = t;
    }
    if (prev >= 0) backtrack(prev);
}

void HmmMatcher::run(const Route& route) {
    matched.clear();
    shortMatched.clear();
    unmatched.clear();
    findCandidates(route);
    sigma = params.sigma > 0.0 ? params.sigma : estimateSigma();
    decode(route);
    const size_t n = route.nodes.size();
    linkOfFix.assign(n, -1);
    pointOfFix.assign(n, Point{});
    for (size_t t = 0; t < n; ++t)
        if (chosen[t] >= 0) {
            linkOfFix[t] = graph.link(cands[static_cast<size_t>(chosen[t])].link).id;
            pointOfFix[t] = cands[static_cast<size_t>(chosen[t])].at;
        }
    buildPaths(route);
    buildUnmatched(static_cast<int>(n));
}

void HmmMatcher::buildPaths(const Route& route) {
    std::vector<uint32_t> between;
    const int n = static_cast<int>(route.nodes.size());
    for (int t = 0; t < n; ++t) {
        const int32_t j = chosen[static_cast<size_t>(t)];
        if (j < 0) continue;
        const RoadGraph::Near& c = cands[static_cast<size_t>(j)];
        if (back[static_cast<size_t>(j)] < 0) {
            matched.push_back(std::make_unique<Path>());
            matched.back()->startIndex = t;
        } else {
            const RoadGraph::Near& p = cands[static_cast<size_t>(back[static_cast<size_t>(j)])];
            const double d = stepLen[static_cast<size_t>(j)];
            between.clear();
            if (d >= 0.0) {
                targets.assign(1, graph.link(c.link).origin);
                search.run(p.link, p.offset, d + 1.0, targets);
                search.linksBetween(c.link, c.offset, between);
            }
            for (uint32_t l : between) matched.back()->links.emplace_back(-1, graph.link(l).id);
        }
        matched.back()->links.emplace_back(t, graph.link(c.link).id);
        matched.back()->lastIndex = t;
    }
    for (const auto& path : matched) {
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
            unmatched.push_back(std::make_unique<_unmatchinfo>(
                f == e + 1 ? _unmatchinfo{-1, -1, a, b, i, i + 1} : _unmatchinfo{e + 1, f - 1, a, b, i, i + 1}));
        }
        if (i == 0 && p.startIndex != 0)
            unmatched.push_back(
                std::make_unique<_unmatchinfo>(_unmatchinfo{0, p.startIndex - 1, -1, p.links.front().second, -1, 0}));
        if (i == m - 1 && e < n - 1)
            unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{e + 1, n - 1, a, -1, i, -1}));
    }
}

}  // namespace MapMatching
