#include "matching/KARVEL.h"

#include <algorithm>
#include <sstream>

#include "kml/kml.h"
#include "matching/genetic_presets.h"
#include "matching/match_records.h"
#include "matching/matching_genetic_util.h"
#include "matching/matching_marchal.h"

namespace MapMatching {

namespace {

constexpr double kNearLinkRadius = 20.0;
constexpr int kMaxGenerations = 5000;

// Empties a container and gives its memory back.
template <typename Container>
void release(Container& c) {
    Container().swap(c);
}

}  // namespace

KARVEL::KARVEL(mapRepresentation::Map* m, Route* r, bool writeLog) : map(m), route(r), params(kHybridPreset) {
    matchedLinks.assign(route->nodes.size(), -1);
    if (writeLog) {
        std::stringstream path;
        path << "data"
             << "/" << route->name << "_genetic_log.txt";
        // A log that cannot be created discards what is written to it, silently.
        log = std::make_unique<std::ofstream>(path.str(), std::ios::out | std::ios::trunc);
    }
}

std::vector<std::unique_ptr<Path>> KARVEL::getMatched() const {
    return traces::ownedCopies(matched);
}
std::vector<std::unique_ptr<Path>> KARVEL::getShortMatched() const {
    return traces::ownedCopies(shortMatched);
}
std::vector<std::unique_ptr<_unmatchinfo>> KARVEL::getUnmatchedInfo() const {
    return traces::ownedCopies(unmatched);
}

void KARVEL::run(bool kml) {
    // Every per-point structure is given back as soon as its last reader is done: on long traces the
    // matcher's memory is what decides how far the trace outgrows the caches.
    std::vector<std::unique_ptr<Path>> forwardPaths;
    std::vector<std::unique_ptr<Path>> backwardPaths;
    runMarchal(forwardPaths, backwardPaths);

    CandidateLinks candidates(static_cast<std::size_t>(pointCount()));
    std::vector<int> ambiguousPoints = reconstructMatchedTrace(candidates, forwardPaths, backwardPaths);
    release(backwardPaths);
    const std::vector<std::pair<int, int>> segments = buildAmbiguousSegments(ambiguousPoints);
    release(ambiguousPoints);
    const std::set<int> gapPoints = runGeneticOnAmbiguousSegments(segments, candidates);
    candidates.release();
    constructOutput(gapPoints, forwardPaths, segments);
    release(forwardPaths);

    if (kml) {
        kmlMatch::KMLBuilder builder(map, route, matchedLinks, std::vector<std::pair<int, int>>(), "ostrand");
        builder.buildKML();
    }
}

void KARVEL::runMarchal(std::vector<std::unique_ptr<Path>>& forwardPaths,
                        std::vector<std::unique_ptr<Path>>& backwardPaths) const {
    MarchalBMatching marchal(map, route);
    marchal.collectCandidateLinks = false;  // only the genetic-only matcher reads them
    marchal.run(true, false);
    forwardPaths = marchal.takeMatched();
    marchal.run(false, false);
    backwardPaths = marchal.takeMatched();
}

void KARVEL::addNearLinks(CandidateLinks& candidates, int k) const {
    const _node& p = route->nodes[k];
    for (int link : map->getNearestLinks(p.position.lat, p.position.lon, kNearLinkRadius))
        candidates.insert(static_cast<std::size_t>(k), link);
}

std::vector<int> KARVEL::reconstructMatchedTrace(std::vector<std::set<int>>& candidates,
                                                 const std::vector<std::unique_ptr<Path>>& forwardPaths,
                                                 const std::vector<std::unique_ptr<Path>>& backwardPaths) {
    CandidateLinks links = CandidateLinks::fromSets(candidates);
    std::vector<int> ambiguous = reconstructMatchedTrace(links, forwardPaths, backwardPaths);
    for (std::size_t k = 0; k < candidates.size(); ++k) links.copyTo(k, candidates[k]);
    return ambiguous;
}

std::vector<int> KARVEL::reconstructMatchedTrace(CandidateLinks& candidates,
                                                 const std::vector<std::unique_ptr<Path>>& forwardPaths,
                                                 const std::vector<std::unique_ptr<Path>>& backwardPaths) {
    Marks ambiguous(static_cast<std::size_t>(pointCount()), 0);
    takeForwardResult(candidates, forwardPaths);
    compareBackwardResult(candidates, backwardPaths, ambiguous);
    widenShortHoles(candidates, ambiguous);
    markPieceBorders(forwardPaths, ambiguous);
    widenTraceEnds(candidates, ambiguous);
    markHoleNeighbours(candidates, ambiguous);
    std::vector<int> points;
    for (int k = 0; k < pointCount(); ++k)
        if (ambiguous[static_cast<std::size_t>(k)] != 0) points.push_back(k);
    return points;
}

bool KARVEL::inTrace(int point) const {
    return point >= 0 && point < pointCount();
}

void KARVEL::takeForwardResult(CandidateLinks& candidates,
                               const std::vector<std::unique_ptr<Path>>& forwardPaths) {
    for (const auto& path : forwardPaths)
        for (const auto& [point, link] : path->links)
            if (inTrace(point)) {
                matchedLinks[point] = link;
                candidates.insert(static_cast<std::size_t>(point), link);
            }
}

void KARVEL::compareBackwardResult(CandidateLinks& candidates,
                                   const std::vector<std::unique_ptr<Path>>& backwardPaths,
                                   Marks& ambiguous) {
    // The backward result agrees only on the same link, or on a neighbour in the same super-link.
    for (const auto& path : backwardPaths)
        for (const auto& [point, link] : path->links) {
            if (!inTrace(point)) continue;
            const int forwardLink = matchedLinks[point];
            if (forwardLink == link) continue;
            const bool agree = (map->isConnected(forwardLink, link) || map->isConnected(link, forwardLink)) &&
                               map->belongSameSuperLink(forwardLink, link);
            if (!agree) {
                matchedLinks[point] = -1;
                candidates.insert(static_cast<std::size_t>(point), link);
                ambiguous[static_cast<std::size_t>(point)] = 1;
            }
        }
}

void KARVEL::widenShortHoles(CandidateLinks& candidates, Marks& ambiguous) const {
    // Holes of at most five points get the links near their points.
    const int n = pointCount();
    const std::vector<int>& links = matchedLinks;
    int i = 0;
    while (i < n - 1) {
        int j;
        if (links[i] != -1 && links[i + 1] == -1) {
            j = i + 1;
        } else if (i == 0 && links[0] == -1) {
            j = 1;
        } else {
            ++i;
            continue;
        }
        int end = n;
        for (; j < n; ++j)
            if (links[j - 1] == -1 && links[j] != -1) break;
        if (j < n && j != n - 1) end = j;
        if (end - i <= 5) {
            for (int k = (i == 0 ? 0 : i + 1); k <= end - 1; ++k) {
                addNearLinks(candidates, k);
                ambiguous[static_cast<std::size_t>(k)] = 1;
            }
        }
        i = end + 1;
    }
}

void KARVEL::markPieceBorders(const std::vector<std::unique_ptr<Path>>& forwardPaths,
                              Marks& ambiguous) const {
    const int n = pointCount();
    for (const auto& path : forwardPaths) {
        if (path->links.empty()) continue;
        const int first = path->links.front().first;
        const int last = path->links.back().first;
        if (first > 0)
            for (int k = std::max(0, first - 2); k <= std::min(n - 1, first + 4); ++k)
                ambiguous[static_cast<std::size_t>(k)] = 1;
        if (last >= 0 && last < n - 1)
            for (int k = std::max(0, last - 4); k <= std::min(n - 1, last + 2); ++k)
                ambiguous[static_cast<std::size_t>(k)] = 1;
    }
}

void KARVEL::widenTraceEnds(CandidateLinks& candidates, Marks& ambiguous) const {
    const int n = pointCount();
    for (int k = 0; k < 3 && k < n; ++k) {
        addNearLinks(candidates, k);
        ambiguous[static_cast<std::size_t>(k)] = 1;
    }
    for (int k = std::max(0, n - 3); k < n; ++k) {
        addNearLinks(candidates, k);
        ambiguous[static_cast<std::size_t>(k)] = 1;
    }
}

void KARVEL::markHoleNeighbours(const CandidateLinks& candidates, Marks& ambiguous) const {
    // The neighbours of holes, where the points around have no alternative candidates.
    const int n = pointCount();
    const std::vector<int>& links = matchedLinks;
    auto atMostOneCandidate = [&](int from, int to) {
        for (int k = from; k <= to; ++k)
            if (candidates.count(static_cast<std::size_t>(k)) > 1) return false;
        return true;
    };
    for (int i = 0; i < n; ++i) {
        if (i < n - 2 && links[i] != -1 && links[i + 1] == -1) {
            const int lo = std::max(0, i - 3);
            if (atMostOneCandidate(lo, i - 1))
                for (int k = lo; k <= i; ++k) ambiguous[static_cast<std::size_t>(k)] = 1;
        }
        if (i >= 2 && links[i - 1] == -1 && links[i] != -1) {
            const int hi = std::min(n - 1, i + 2);
            if (atMostOneCandidate(i, hi))
                for (int k = i - 1; k <= hi; ++k) ambiguous[static_cast<std::size_t>(k)] = 1;
        }
    }
}

std::vector<std::pair<int, int>> KARVEL::buildAmbiguousSegments(std::vector<int>& ambiguousPoints) const {
    const int n = pointCount();
    std::vector<std::pair<int, int>> segments;
    if (ambiguousPoints.empty()) {
        if (n < 8) {
            segments.emplace_back(0, n - 1);
        } else {
            segments.emplace_back(0, 3);
            segments.emplace_back(n - 4, n - 1);
        }
        return segments;
    }

    std::sort(ambiguousPoints.begin(), ambiguousPoints.end());
    int first = ambiguousPoints.front();
    int previous = first;
    for (size_t k = 1; k <= ambiguousPoints.size(); ++k) {
        if (k == ambiguousPoints.size() || ambiguousPoints[k] - previous > 3) {
            segments.emplace_back(std::max(0, first - 2), std::min(n, previous + 2));
            if (k == ambiguousPoints.size()) break;
            first = ambiguousPoints[k];
        }
        previous = ambiguousPoints[k];
    }

    if (segments.front().first < 4)
        segments.front().first = 0;
    else
        segments.insert(segments.begin(), {0, std::min(n, 3)});
    if (segments.back().second >= n - 4)
        segments.back().second = n - 1;
    else
        segments.emplace_back(n - 4, n - 1);
    return segments;
}

std::set<int> KARVEL::runGeneticOnAmbiguousSegments(const std::vector<std::pair<int, int>>& segments,
                                                    const std::vector<std::set<int>>& candidates) {
    return runGeneticOnAmbiguousSegments(segments, CandidateLinks::fromSets(candidates));
}

std::set<int> KARVEL::runGeneticOnAmbiguousSegments(const std::vector<std::pair<int, int>>& segments,
                                                    const CandidateLinks& candidates) {
    std::set<int> gapPoints;
    for (const auto& [first, last] : segments) {
        const std::set<int> gaps = runSegment(first, last, candidates);
        gapPoints.insert(gaps.begin(), gaps.end());
    }
    return gapPoints;
}

std::set<int> KARVEL::runSegment(int first, int last, const std::vector<std::set<int>>& candidates) {
    return runSegment(first, last, CandidateLinks::fromSets(candidates));
}

std::set<int> KARVEL::runSegment(int first, int last, const CandidateLinks& candidates) {
    const int n = pointCount();
    std::set<int> gaps;
    // A segment without points (the empty trace) has nothing to solve.
    if (first < 0 || last < first || last >= n) return gaps;

    // The segment's first two and last two points are anchors where its neighbours are matched
    // (offsets within the segment).
    std::set<int> anchors;
    if (first > 0) anchors.insert({0, 1});
    if (last < n - 1) anchors.insert({last - first, last - first - 1});
    // Anchors only name points inside the segment.
    for (auto it = anchors.begin(); it != anchors.end();)
        it = (*it < 0 || *it > last - first) ? anchors.erase(it) : std::next(it);

    const Individual best = evolveSegment(first, last, candidates, anchors, gaps);
    for (int g = 0; g < best.geneCount; ++g) matchedLinks[first + g] = best.genes[g];
    clearShortFragments(first, last, anchors, gaps);
    return gaps;
}

Individual KARVEL::evolveSegment(int first, int last, const CandidateLinks& candidates,
                                 const std::set<int>& anchors, std::set<int>& gaps) {
    std::vector<std::set<int>> segmentCandidates(static_cast<std::size_t>(last - first + 1));
    for (int k = first; k <= last; ++k)
        candidates.copyTo(static_cast<std::size_t>(k),
                          segmentCandidates[static_cast<std::size_t>(k - first)]);
    Route subRoute = route->subRoute(first, last);
    {
        std::stringstream name;
        name << route->name << "_ambSegment_" << first << "_" << last;
        subRoute.name = name.str();
    }

    std::ofstream* logStream = log.get();
    Distances distances(map, &subRoute, segmentCandidates, anchors, logStream);
    Population population(map, &subRoute, &distances, params, 0, static_cast<int>(subRoute.nodes.size()),
                          logStream);

    population.printPopulationStatistics();
    population.initializePopulation(anchors);
    if (logStream != nullptr) {
        *logStream << "## Initial population: ##"
                   << "\n";
        population.printGeneration();
        *logStream << "\n";
    }
    while (population.generation - population.bestGeneration <= params.maxStagnation &&
           population.generation <= kMaxGenerations) {
        population.nextGeneration();
        if (population.generation % 10 == 0) population.printGenerationStatistics();
    }
    if (logStream != nullptr)
        *logStream << "## Final population: ##"
                   << "\n";
    population.printGeneration();
    population.printBestIndividuals();

    const Individual best = population.bestPerGeneration[population.bestGeneration - 1];
    if (best.gapDist > 0)
        for (int g : population.getIndividualGaps(best)) gaps.insert(first + g);
    return best;
}

void KARVEL::clearShortFragments(int first, int last, const std::set<int>& anchors,
                                 const std::set<int>& gaps) {
    // Clear short fragments on at most two links that lie between breaks and hold no anchor.
    std::vector<int>& links = matchedLinks;
    std::set<int> breaks{first, last + 1};
    for (int i = first + 1; i <= last; ++i)
        if ((links[i - 1] == -1) != (links[i] == -1)) breaks.insert(i);
    for (int gap : gaps) breaks.insert(gap + 1);
    for (auto it = breaks.begin(); std::next(it) != breaks.end(); ++it) {
        const int from = *it;
        const int to = *std::next(it);
        if (to - from > 5 || from >= pointCount() || links[from] == -1) continue;
        int runs = 1;
        bool anchored = false;
        for (int i = from; i < to; ++i) {
            if (i > from && links[i] != links[i - 1]) ++runs;
            if (anchors.count(i - first) > 0) anchored = true;
        }
        if (!anchored && runs <= 2)
            for (int i = from; i < to; ++i) links[i] = -1;
    }
}

void KARVEL::constructOutput(const std::set<int>& gapPoints,
                             const std::vector<std::unique_ptr<Path>>& forwardPaths,
                             const std::vector<std::pair<int, int>>& segments) {
    Crossings crossings;
    keepForwardCrossings(forwardPaths, crossings);
    fillMissingCrossings(gapPoints, segments, crossings);
    cutIntoPaths(crossings);
    unmatched = unmatchedAround(matched, pointCount());
    shortMatched.clear();
    for (const auto& path : matched) {
        auto shortPath = std::make_unique<Path>();
        for (const auto& pair : path->links)
            if (pair.first >= 0) shortPath->links.push_back(pair);
        shortPath->startIndex = path->startIndex;
        shortPath->lastIndex = path->lastIndex;
        shortMatched.push_back(std::move(shortPath));
    }
}

bool KARVEL::Crossings::any(int point) const {
    const auto p = static_cast<std::size_t>(point);
    if (start[p] != start[p + 1]) return true;
    const auto f = filled.find(point);
    return f != filled.end() && !f->second.empty();
}

void KARVEL::keepForwardCrossings(const std::vector<std::unique_ptr<Path>>& forwardPaths,
                                  Crossings& crossings) const {
    // Crossed links of the forward run, where the final links still agree with it, collected as
    // (point, link) and then ordered by point, keeping the order of each point's links.
    const int n = pointCount();
    const std::vector<int>& links = matchedLinks;
    std::vector<std::pair<int, int>> found;
    for (auto pathIt = forwardPaths.rbegin(); pathIt != forwardPaths.rend(); ++pathIt) {
        const auto& pairs = (*pathIt)->links;
        if (pairs.size() < 2) continue;
        int next = static_cast<int>(pairs.size()) - 1;  // the next pair that carries a point
        for (int j = next - 1; j >= 0; --j) {
            const auto [point, link] = pairs[j];
            if (point < 0) continue;
            const int nextPoint = pairs[next].first;
            if (point < n && links[point] == link && nextPoint >= 0 && nextPoint < n &&
                links[nextPoint] == pairs[next].second && next - j > 1) {
                for (int k = j + 1; k < next; ++k) found.emplace_back(point, pairs[k].second);
            }
            next = j;
        }
    }
    // A counting sort: stable, and linear in the length of the trace.
    std::vector<uint32_t>& start = crossings.start;
    start.assign(static_cast<std::size_t>(n) + 1, 0);
    for (const auto& entry : found) ++start[static_cast<std::size_t>(entry.first) + 1];
    for (std::size_t p = 1; p < start.size(); ++p) start[p] += start[p - 1];
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    crossings.kept.resize(found.size());
    for (const auto& [point, link] : found) crossings.kept[fill[static_cast<std::size_t>(point)]++] = link;
}

void KARVEL::fillMissingCrossings(const std::set<int>& gapPoints,
                                  const std::vector<std::pair<int, int>>& segments,
                                  Crossings& crossings) const {
    // Links missing between consecutive points inside the segments.
    const int n = pointCount();
    const std::vector<int>& links = matchedLinks;
    for (const auto& [first, last] : segments) {
        for (int p = std::max(0, first); p < last && p + 1 < n; ++p) {
            if (crossings.any(p) || gapPoints.count(p) > 0) continue;
            if (links[p] == -1 || links[p + 1] == -1 || map->isConnected(links[p], links[p + 1])) continue;
            crossings.filled[p] = map->getLinksBetween(links[p], links[p + 1]);
        }
    }
}

void KARVEL::cutIntoPaths(const Crossings& crossings) {
    std::vector<std::pair<int, int>> sequence;
    sequence.reserve(static_cast<std::size_t>(pointCount()) + crossings.kept.size());
    auto filled = crossings.filled.begin();
    for (int p = 0; p < pointCount(); ++p) {
        sequence.emplace_back(p, matchedLinks[p]);
        const auto at = static_cast<std::size_t>(p);
        for (uint32_t k = crossings.start[at]; k < crossings.start[at + 1]; ++k)
            sequence.emplace_back(-1, crossings.kept[k]);
        if (filled != crossings.filled.end() && filled->first == p) {
            for (int link : filled->second) sequence.emplace_back(-1, link);
            ++filled;
        }
    }

    // Paths: runs of matched entries whose consecutive point links connect.
    matched.clear();
    const size_t count = sequence.size();
    for (size_t first = 0; first < count;) {
        if (sequence[first].first < 0 || sequence[first].second == -1) {
            ++first;
            continue;
        }
        size_t last = first;
        for (size_t c = first + 1; c < count; ++c) {
            const auto& entry = sequence[c];
            const auto& before = sequence[c - 1];
            if (entry.second == -1) break;
            if (entry.first >= 0 && before.first >= 0 && entry.second != before.second &&
                !map->isConnected(before.second, entry.second))
                break;
            last = c;
        }
        auto path = std::make_unique<Path>();
        path->links.assign(sequence.begin() + static_cast<long>(first),
                           sequence.begin() + static_cast<long>(last) + 1);
        path->startIndex = sequence[first].first;
        path->lastIndex = sequence[last].first;
        matched.push_back(std::move(path));
        first = last + 1;
    }
}

}  // namespace MapMatching
