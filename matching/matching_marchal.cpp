#include "matching/matching_marchal.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "geometry/geometry.h"
#include "kml/kml.h"

namespace MapMatching {

namespace {

constexpr double kSearchRadius = 20.0;    // links considered around a point, metres
constexpr double kBreakDistance = 20.0;   // a point farther than this from every candidate ends a piece
constexpr double kFilterDistance = 45.0;  // candidates whose last point is this far or farther are dropped
constexpr double kMaxStartHeadingDeg = 110.0;
constexpr int kBranchDepth = 4;         // hops a candidate may move between two points
constexpr std::size_t kBeamWidth = 35;  // candidates kept per point
constexpr double kInitialMinDelta = 100000000.0;

void printMissingLink(int link) {
    std::cout << "ERROR: non existing link. (" << link << ")" << std::endl;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// PairList

PairList::Chunk::~Chunk() {
    std::shared_ptr<Chunk> p = std::move(prev);
    while (p && p.use_count() == 1) {
        std::shared_ptr<Chunk> next = std::move(p->prev);
        p = std::move(next);  // frees the sole-owned chunk, whose own prev is already empty
    }
}

PairList::Pair PairList::front() const {
    if (head == nullptr) return tail[0];
    const Chunk* c = head.get();
    while (c->prev != nullptr) c = c->prev.get();
    return c->pairs[0];
}

void PairList::push_back(const Pair& p) {
    if (tailCount == kChunk) commit();
    tail[tailCount++] = p;
    ++count;
}

void PairList::clear() {
    head.reset();
    tailCount = 0;
    count = 0;
}

void PairList::commit() {
    if (tailCount == 0) return;
    auto chunk = std::make_shared<Chunk>();
    std::copy(tail.begin(), tail.begin() + tailCount, chunk->pairs.begin());
    chunk->used = tailCount;
    chunk->prev = std::move(head);
    head = std::move(chunk);
    tailCount = 0;
}

std::vector<PairList::Pair> PairList::toVector() const {
    std::vector<Pair> out;
    out.reserve(count);
    forEachBackward([&out](const Pair& p) { out.push_back(p); });
    std::reverse(out.begin(), out.end());
    return out;
}

PairList PairList::fromVector(const std::vector<Pair>& pairs) {
    PairList list;
    for (const Pair& p : pairs) list.push_back(p);
    list.commit();
    return list;
}

// ---------------------------------------------------------------------------------------------
// MarPath

MarPath::MarPath(const std::pair<int32_t, int32_t>& first) {
    addLinkCandidate(first);
}

void MarPath::addLinkCandidate(const std::pair<int32_t, int32_t>& candidate) {
    linkCandidates.push_back(candidate);
    if (candidate.first >= 0) ++matchedPoints;
}

void MarPath::updateScore(double s) {
    score += s;
    lastScore = s;
    avgScore = score / static_cast<double>(matchedPoints);
}

int MarPath::countDistinctMatchedLinks() const {
    // Walked from the last pair to the first; the number of runs is the same in both directions.
    std::size_t remaining = linkCandidates.size();
    int runs = 0;
    int32_t previous = 0;
    linkCandidates.forEachBackward([&](const PairList::Pair& p) {
        --remaining;
        if (p.first < 0 && remaining != 0) return;  // crossed link; the first pair always counts
        if (runs == 0 || p.second != previous) ++runs;
        previous = p.second;
    });
    return runs;
}

MarPath MarPath::reversedPath() const {
    MarPath copy(*this);
    std::vector<PairList::Pair> pairs = linkCandidates.toVector();
    std::reverse(pairs.begin(), pairs.end());
    copy.linkCandidates = PairList::fromVector(pairs);
    return copy;
}

void MarPath::printPath() const {
    std::cout << "Path size: " << linkCandidates.size() << " Matched trace points: " << matchedPoints
              << " score: " << score << " avgScore: " << avgScore << "  ";
    for (const PairList::Pair& p : linkCandidates.toVector())
        std::cout << "(" << p.first << ", " << p.second << ") ";
    std::cout << std::endl;
}

bool MarPathOrder::operator()(const MarPath& a, const MarPath& b) const {
    if (std::fabs(a.avgScore - b.avgScore) < 1e-6) return a.linkCandidates.size() < b.linkCandidates.size();
    return a.avgScore < b.avgScore;
}

// ---------------------------------------------------------------------------------------------
// MarchalBMatching

MarchalBMatching::MarchalBMatching(mapRepresentation::Map* map_, Route* route_) : map(map_), route(route_) {}

int32_t MarchalBMatching::pointIndex(uint32_t position) const {
    const auto n = static_cast<uint32_t>(route->nodes.size());
    return static_cast<int32_t>(forward ? position : n - 1 - position);
}

const MarchalBMatching::LinkInfo& MarchalBMatching::linkInfo(int32_t link) {
    const auto [it, added] = linkCache.try_emplace(link);
    LinkInfo& info = it->second;
    if (!added) return info;
    const auto l = map->links.find(link);
    if (l == map->links.end()) return info;
    info.exists = true;
    info.origin = l->second.origin;
    info.destination = l->second.destination;
    info.superLinkKey = l->second.superLinkKey;
    info.originPoint = map->getNodePoint(info.origin);
    info.destinationPoint = map->getNodePoint(info.destination);
    if (const auto g = map->graph.find(info.destination); g != map->graph.end())
        info.leaving = &g->second.forwardLinks;
    if (const auto g = map->graph.find(info.origin); g != map->graph.end())
        info.entering = &g->second.backwardLinks;
    return info;
}

double MarchalBMatching::score(int /*link*/, const Point& /*point*/, double distance) const {
    return distance;
}

void MarchalBMatching::run(bool forwardRun, bool kml) {
    step = 0;
    forward = forwardRun;
    paths.clear();
    bestPaths.clear();
    matched.clear();
    shortMatched.clear();
    unmatched.clear();
    candidateLinks.clear();
    seenLinks.clear();
    linkCache.clear();
    if (map == nullptr || route == nullptr) {
        std::cout << "ERROR: Marchal matching needs a map and a trace." << std::endl;
        return;
    }
    const std::size_t n = route->nodes.size();
    candidateLinks.assign(n, {});

    while (true) {
        findNearestLinks();
        if (step >= n) break;
        continueMatching();
        if (step >= n) break;
    }

    if (!forward) {
        // Pieces and their pairs back into trace order, links in the direction of travel.
        std::vector<MarPath> reversed;
        reversed.reserve(bestPaths.size());
        for (auto it = bestPaths.rbegin(); it != bestPaths.rend(); ++it)
            reversed.push_back(it->reversedPath());
        bestPaths = std::move(reversed);
    }

    if (kml) generateMatchKML();
}

void MarchalBMatching::findNearestLinks() {
    paths.clear();
    const std::size_t n = route->nodes.size();
    const double maxHeadingGap = deg2rad(kMaxStartHeadingDeg);
    while (step < n) {
        const int32_t index = pointIndex(step);
        const _node& p = route->nodes[static_cast<std::size_t>(index)];
        const auto near = map->getNearestLinksAndDistances(p.position.lat, p.position.lon, kSearchRadius);
        MarPathSet starts;
        for (const auto& [linkId, distance] : near) {
            (void)distance;
            const auto it = map->links.find(linkId);
            if (it == map->links.end()) {
                printMissingLink(linkId);
                continue;
            }
            const double a = ajustHeadingToInterval(it->second.heading, p.heading);
            if (std::fabs(p.heading - a) <= maxHeadingGap) starts.insert(MarPath({index, linkId}));
        }
        if (!starts.empty()) {
            paths = std::move(starts);
            return;
        }
        ++step;
    }
}

void MarchalBMatching::flushCandidateLinks() {
    if (step >= candidateLinks.size()) {
        seenLinks.clear();
        return;
    }
    std::vector<int>& links = candidateLinks[step];
    links.insert(links.end(), seenLinks.begin(), seenLinks.end());
    std::sort(links.begin(), links.end());
    links.erase(std::unique(links.begin(), links.end()), links.end());
    seenLinks.clear();
}

void MarchalBMatching::continueMatching() {
    const std::size_t n = route->nodes.size();
    MarPath best;
    MarPathSet newPaths;
    double minDelta = kInitialMinDelta;

    while (true) {
        newPaths.clear();
        const _node& p = route->nodes[static_cast<std::size_t>(pointIndex(step))];
        const Point P{p.easting, p.northing};
        minDelta = kInitialMinDelta;

        for (const MarPath& c : paths) {
            if (c.linkCandidates.empty()) continue;
            const int32_t L = c.lastLink();
            const LinkInfo& link = linkInfo(L);
            if (!link.exists) {
                // Without its link the distance is unknown; such a candidate cannot go on.
                printMissingLink(L);
                continue;
            }
            const double d = getNearestPointFromLink(link.originPoint, link.destinationPoint, P).second;
            MarPath copy(c);
            copy.updateScore(score(L, P, d));
            if (d < minDelta) minDelta = d;
            if (d <= kSearchRadius) seenLinks.push_back(L);
            newPaths.insert(std::move(copy));
        }
        flushCandidateLinks();

        if (minDelta > kBreakDistance) break;
        if (step + 1 == n) break;

        newPaths = filterCandidates(newPaths);
        saveBestPaths(newPaths);
        best = *paths.begin();
        ++step;
        const int32_t q = pointIndex(step);
        newPaths.clear();
        for (const MarPath& c : paths) {
            MarPath stay(c);
            stay.addLinkCandidate({q, c.lastLink()});
            newPaths.insert(std::move(stay));
            addNewPaths(newPaths, c, kBranchDepth);
        }
        paths = std::move(newPaths);
    }

    // Closing: keep the best candidate as it stood after the last matched point.
    const bool last = step + 1 == n;
    if (last && minDelta <= kBreakDistance && !newPaths.empty()) best = *newPaths.begin();
    if (best.countDistinctMatchedLinks() > 3 || best.matchedPoints > 6) bestPaths.push_back(best);
    // Unless the piece ended at the trace end or never matched its first point, the point that
    // broke it starts the next search.
    if (last || best.linkCandidates.empty()) ++step;
}

void MarchalBMatching::addNewPaths(MarPathSet& newPaths, const MarPath& path, int depth) {
    if (path.linkCandidates.empty()) return;
    const int32_t L = path.lastLink();
    const int32_t q = pointIndex(step);
    const LinkInfo& link = linkInfo(L);
    if (!link.exists) {
        printMissingLink(L);
        return;
    }
    // Forwards the vehicle leaves L's destination, backwards it came into L's origin. A link of
    // both sets joins the same two nodes in the opposite direction: the mirror of L.
    const std::set<int32_t>* next = forward ? link.leaving : link.entering;
    const std::set<int32_t>* mirrorSide = forward ? link.entering : link.leaving;
    if (next == nullptr) {
        std::cout << "ERROR: non existing graph node " << (forward ? link.destination : link.origin) << "."
                  << std::endl;
        return;
    }
    for (const int32_t K : *next) {
        if (mirrorSide != nullptr && mirrorSide->count(K) != 0) continue;  // no U-turn onto the same road
        MarPath reached(path);
        reached.addLinkCandidate({q, K});
        newPaths.insert(std::move(reached));
        if (depth > 1) {
            MarPath crossed(path);
            crossed.addLinkCandidate({-1, K});
            addNewPaths(newPaths, crossed, depth - 1);
        }
    }
}

MarPathSet MarchalBMatching::filterCandidates(const MarPathSet& candidates) {
    // Best candidate per super-link, kept sorted by key; the earlier candidate wins ties.
    filterScratch.clear();
    for (const MarPath& c : candidates) {
        if (!(c.lastScore < kFilterDistance) || c.linkCandidates.empty()) continue;
        const LinkInfo& link = linkInfo(c.lastLink());
        const int k = link.exists ? link.superLinkKey : map->getSuperLinkKey(c.lastLink());
        auto it =
            std::lower_bound(filterScratch.begin(), filterScratch.end(), k,
                             [](const std::pair<int, const MarPath*>& e, int key) { return e.first < key; });
        if (it == filterScratch.end() || it->first != k) {
            filterScratch.insert(it, {k, &c});
        } else if (c.avgScore < it->second->avgScore) {
            it->second = &c;
        }
    }
    MarPathSet out;
    for (const auto& entry : filterScratch) out.insert(*entry.second);
    filterScratch.clear();
    return out;
}

void MarchalBMatching::saveBestPaths(const MarPathSet& candidates) {
    if (&candidates == &paths) {
        const MarPathSet copy(candidates);
        saveBestPaths(copy);
        return;
    }
    paths.clear();
    std::size_t kept = 0;
    for (const MarPath& c : candidates) {
        if (kept == kBeamWidth) break;
        MarPath survivor(c);
        // Survivors are extended many times: share their pairs from here on.
        survivor.linkCandidates.commit();
        paths.insert(std::move(survivor));
        ++kept;
    }
}

Path MarchalBMatching::getPath(const MarPath& candidate, bool keepAll) const {
    Path path;
    for (const PairList::Pair& p : candidate.linkCandidates.toVector())
        if (keepAll || p.first >= 0) path.links.push_back(p);
    if (!path.links.empty()) {
        path.startIndex = path.links.front().first;
        path.lastIndex = path.links.back().first;
    }
    return path;
}

void MarchalBMatching::prepateOutput() {
    const int32_t n = route == nullptr ? 0 : static_cast<int32_t>(route->nodes.size());
    if (bestPaths.empty()) {
        unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{0, n - 1, -1, -1, -1, -1}));
        return;
    }
    for (const MarPath& piece : bestPaths) {
        matched.push_back(std::make_unique<Path>(getPath(piece, true)));
        shortMatched.push_back(std::make_unique<Path>(getPath(piece, false)));
    }
    const int32_t m = static_cast<int32_t>(matched.size());
    for (int32_t i = 0; i < m; ++i) {
        const auto& links = matched[static_cast<std::size_t>(i)]->links;
        const int32_t e = links.back().first;
        const int32_t A = links.back().second;
        if (i + 1 < m) {
            const auto& nextLinks = matched[static_cast<std::size_t>(i) + 1]->links;
            const int32_t f = nextLinks.front().first;
            const int32_t B = nextLinks.front().second;
            if (f == e + 1)
                unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{-1, -1, A, B, i, i + 1}));
            else
                unmatched.push_back(
                    std::make_unique<_unmatchinfo>(_unmatchinfo{e + 1, f - 1, A, B, i, i + 1}));
        }
        if (i == 0 && links.front().first != 0) {
            const int32_t s = links.front().first;
            unmatched.push_back(
                std::make_unique<_unmatchinfo>(_unmatchinfo{0, s - 1, -1, links.front().second, -1, 0}));
        }
        if (i == m - 1 && e < n - 1)
            unmatched.push_back(std::make_unique<_unmatchinfo>(_unmatchinfo{e + 1, n - 1, A, -1, i, -1}));
    }
}

std::vector<std::unique_ptr<Path>> MarchalBMatching::getMatched() {
    if (matched.empty() && unmatched.empty()) prepateOutput();
    return ownedCopies(matched);
}

std::vector<std::unique_ptr<Path>> MarchalBMatching::getShortMatched() {
    if (matched.empty() && unmatched.empty()) prepateOutput();
    return ownedCopies(shortMatched);
}

std::vector<std::unique_ptr<_unmatchinfo>> MarchalBMatching::getUnmatchedInfo() {
    if (matched.empty() && unmatched.empty()) prepateOutput();
    return ownedCopies(unmatched);
}

std::vector<std::set<int>> MarchalBMatching::getCandidateLinkSets() const {
    std::vector<std::set<int>> sets;
    sets.reserve(candidateLinks.size());
    for (const auto& links : candidateLinks) sets.emplace_back(links.begin(), links.end());
    return sets;
}

void MarchalBMatching::generateMatchKML() {
    if (map == nullptr || route == nullptr) return;
    const std::size_t n = route->nodes.size();
    std::vector<int> links(n, -1);
    for (const MarPath& piece : bestPaths)
        for (const PairList::Pair& p : piece.linkCandidates.toVector())
            if (p.first >= 0 && static_cast<std::size_t>(p.first) < n &&
                links[static_cast<std::size_t>(p.first)] == -1)
                links[static_cast<std::size_t>(p.first)] = p.second;
    kmlMatch::KMLBuilder builder(map, route, links, std::vector<std::pair<int, int>>(),
                                 forward ? "marchal" : "marchal_back");
    builder.buildKML();
}

void MarchalBMatching::showPaths(const MarPathSet& candidates) const {
    std::cout << "   ### [PATHS] ###" << std::endl;
    for (const MarPath& c : candidates) c.printPath();
    std::cout << "   ### [/PATHS] ###" << std::endl << std::endl;
}

}  // namespace MapMatching
