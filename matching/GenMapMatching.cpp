#include "matching/GenMapMatching.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numbers>
#include <sstream>

#include "geometry/geometry.h"
#include "kml/kml.h"
#include "matching/genetic_presets.h"
#include "matching/matching_marchal.h"

namespace MapMatching {

namespace {

// Segments hold at most this many points; a later one never leaves a tail shorter than kMinTail.
constexpr int kSegmentPoints = 50;
constexpr int kMinTail = 5;
// How far past the tentative end the first segment looks for a cut point.
constexpr int kFirstSearchReach = 2;
// A cut needs this many unambiguous points in a row, this far from the last point.
constexpr double kUnambiguous = 0.9;
constexpr int kCalmRun = 4;
constexpr int kMinCutToLast = 5;
// The search never comes closer than this to the segment's start.
constexpr int kMinSegmentReach = 4;
// Scales of the ambiguity terms: metres to the nearest link, and candidate count.
constexpr double kAmbiguityDistance = 20.0;
constexpr double kAmbiguityCount = 20.0;
// A guard against a population whose best keeps improving: as in the hybrid matcher.
constexpr int kMaxGenerations = 5000;

std::unique_ptr<_unmatchinfo> record(int startNode, int endNode, int lastMatch, int nextMatch, int lastPath,
                                     int nextPath) {
    return std::make_unique<_unmatchinfo>(
        _unmatchinfo{startNode, endNode, lastMatch, nextMatch, lastPath, nextPath});
}

}  // namespace

GenMapMatching::GenMapMatching(mapRepresentation::Map* m, Route* r, bool withLog)
    : map(m), route(r), params(kGeneticOnlyPreset) {
    if (withLog && route != nullptr) {
        std::stringstream path;
        path << "data"
             << "/" << route->name << "_genetic_log.txt";
        // A log that cannot be created discards what is written to it, silently.
        log = std::make_unique<std::ofstream>(path.str(), std::ios::out | std::ios::trunc);
    }
}

std::vector<std::unique_ptr<Path>> GenMapMatching::getMatched() const {
    return traces::ownedCopies(matched);
}

std::vector<std::unique_ptr<Path>> GenMapMatching::getShortMatched() const {
    std::vector<std::unique_ptr<Path>> out;
    out.reserve(matched.size());
    for (const auto& path : matched) {
        auto full = std::make_unique<Path>(*path);
        full->links.clear();
        if (!path->links.empty()) {
            size_t k = 0;
            for (int p = path->startIndex; p <= path->lastIndex; ++p) {
                while (k + 1 < path->links.size() && path->links[k + 1].first <= p) ++k;
                full->links.emplace_back(p, path->links[k].second);
            }
        }
        out.push_back(std::move(full));
    }
    return out;
}

std::vector<std::unique_ptr<_unmatchinfo>> GenMapMatching::getUnmatchedInfo() const {
    return traces::ownedCopies(unmatched);
}

std::vector<double> GenMapMatching::ambiguityScores() {
    const int n = pointCount();
    std::vector<double> scores(static_cast<size_t>(n), 0.0);
    std::ofstream* out = log.get();
    if (out)
        *out << "\n"
             << "Splitting by Ambiguity..."
             << "\n";
    for (int i = 0; i < n; ++i) {
        const size_t at = static_cast<size_t>(i);
        if (at < distances.nearLinks.size() && !distances.nearLinks[at].empty() && map != nullptr) {
            const int link = distances.getNearestLink(i);
            const double distance = distances.getDistanceFromPointToLink(i, link);
            const double heading = route->nodes[at].heading;
            // Without a link record the heading cannot be compared: count it as the worst case.
            double headingTerm = 1.0;
            const auto it = map->links.find(link);
            if (it == map->links.end())
                std::cout << "ERROR: non existing link. (" << link << ")" << std::endl;
            else
                headingTerm = std::fabs(heading - ajustHeadingToInterval(it->second.heading, heading)) /
                              std::numbers::pi;
            const double spread = at < distances.maxHeadings.size() && at < distances.minHeadings.size()
                                      ? distances.maxHeadings[at] - distances.minHeadings[at]
                                      : 0.0;
            const double count = static_cast<double>(distances.nearLinks[at].size());
            scores[at] = headingTerm + distance / kAmbiguityDistance + spread / std::numbers::pi +
                         count / kAmbiguityCount;
        }
        if (out) *out << "Point " << i << " score: " << scores[at] << "\n";
    }
    return scores;
}

std::vector<std::pair<int, int>> GenMapMatching::segmentsFromAmbiguity(const std::vector<double>& scores) {
    std::vector<std::pair<int, int>> segments;
    const int last = static_cast<int>(scores.size()) - 1;
    if (last < 0) return segments;

    int start = 0;
    int end = last > kSegmentPoints - 1 ? kSegmentPoints - 1 : last;
    int limit = std::min(end + kFirstSearchReach, last);
    while (true) {
        // Walk down from the limit; cut inside the first run of calm points, unless that run lies
        // too close to the end of the trace.
        if (limit > start) {
            int calm = 0;
            for (int p = limit;; --p) {
                calm = scores[static_cast<size_t>(p)] <= kUnambiguous ? calm + 1 : 0;
                if (calm == kCalmRun) {
                    if (last - p > kMinCutToLast) end = p + 1;
                    break;
                }
                if (p - start <= kMinSegmentReach || p <= start) break;
            }
        }
        segments.emplace_back(start, end);
        start = end + 1;
        if (start > last) break;
        end = std::min(end + kSegmentPoints, last);
        if (last - end < kMinTail) end = last;
        limit = std::min(end + 2, last);
    }
    return segments;
}

std::vector<std::pair<int, int>> GenMapMatching::splitByAmbiguity() {
    return segmentsFromAmbiguity(ambiguityScores());
}

double GenMapMatching::pointToLinkDistance(int i, int link) const {
    const auto it = map->links.find(link);
    if (it == map->links.end() || i < 0 || i >= pointCount()) return -1.0;
    const _node& p = route->nodes[static_cast<size_t>(i)];
    return getNearestPointFromLink(map->getNodePoint(it->second.origin),
                                   map->getNodePoint(it->second.destination), Point{p.easting, p.northing})
        .second;
}

int GenMapMatching::repairUnmatchedGenes(std::vector<int>& genes) const {
    int repaired = 0;
    const int n = static_cast<int>(genes.size());
    for (int i = 1; i + 1 < n; ++i) {
        const size_t at = static_cast<size_t>(i);
        const int before = genes[at - 1];
        const int after = genes[at + 1];
        if (genes[at] != -1 || before == -1 || after == -1) continue;
        if (before == after) {
            genes[at] = before;
            ++repaired;
        } else if (map != nullptr && map->isConnected(before, after)) {
            // The nearer link; on a tie the later one.
            genes[at] = pointToLinkDistance(i, before) < pointToLinkDistance(i, after) ? before : after;
            ++repaired;
        }
    }
    return repaired;
}

int GenMapMatching::removeSingleLinkIslands(std::vector<int>& genes) {
    const size_t n = genes.size();
    int cleared = 0;
    auto runEnd = [&](size_t i) {
        size_t j = i;
        while (j + 1 < n && genes[j + 1] == genes[i]) ++j;
        return j;
    };
    auto clear = [&](size_t a, size_t b) {
        for (size_t k = a; k <= b; ++k) genes[k] = -1;
        cleared += static_cast<int>(b - a + 1);
    };
    if (n > 0 && genes[0] != -1) {
        const size_t e = runEnd(0);
        if (e + 1 < n && genes[e + 1] == -1) clear(0, e);
    }
    for (size_t i = 1; i < n; ++i) {
        if (genes[i] == -1 || genes[i - 1] != -1) continue;
        const size_t e = runEnd(i);
        if (e + 1 >= n || genes[e + 1] == -1) clear(i, e);
        i = e;
    }
    return cleared;
}

void GenMapMatching::buildResults(const std::vector<int>& genes, const std::set<int>& breakPoints) {
    matched.clear();
    unmatched.clear();
    const int n = static_cast<int>(genes.size());
    auto gene = [&](int i) { return genes[static_cast<size_t>(i)]; };
    // A break point splits only where both of its genes are still links.
    auto breaksAfter = [&](int i) { return i + 1 < n && gene(i + 1) != -1 && breakPoints.count(i) > 0; };

    std::unique_ptr<Path> current;
    int stretchStart = -1;
    for (int i = 0; i < n; ++i) {
        const int link = gene(i);
        if (link == -1) {
            if (stretchStart < 0) stretchStart = i;
            if (i + 1 < n && gene(i + 1) == -1) continue;
            const bool before = stretchStart > 0;
            const bool after = i + 1 < n;
            unmatched.push_back(record(stretchStart, i, before ? gene(stretchStart - 1) : -1,
                                       after ? gene(i + 1) : -1,
                                       before ? static_cast<int>(matched.size()) - 1 : -1,
                                       after ? static_cast<int>(matched.size()) : -1));
            stretchStart = -1;
            continue;
        }
        if (!current) {
            current = std::make_unique<Path>();
            current->startIndex = i;
            current->links.emplace_back(i, link);
        } else if (link != current->links.back().second) {
            current->links.emplace_back(i, link);
        }
        const bool breakHere = breaksAfter(i);
        if (i + 1 == n || gene(i + 1) == -1 || breakHere) {
            current->lastIndex = i;
            matched.push_back(std::move(current));
            if (breakHere) {
                const int index = static_cast<int>(matched.size()) - 1;
                unmatched.push_back(record(-1, -1, link, gene(i + 1), index, index + 1));
            }
        }
    }
}

void GenMapMatching::run(const std::vector<std::set<int>>* forwardSets,
                         const std::vector<std::set<int>>* backwardSets, bool withKml) {
    matched.clear();
    unmatched.clear();
    if (map == nullptr || route == nullptr) return;
    const int n = pointCount();
    std::vector<int> genes(static_cast<size_t>(n), -1);
    std::ofstream* out = log.get();
    if (out) {
        *out << route->sourceFile << "\n";
        *out << "Trace " << route->name << " has: " << n << " points."
             << "\n";
    }

    distances = Distances(map, route, forwardSets, backwardSets, out);
    const std::vector<std::pair<int, int>> segments = splitByAmbiguity();

    std::set<int> breakPoints;
    for (size_t k = 0; k < segments.size(); ++k) {
        const auto [s, e] = segments[k];
        if (out)
            *out << "\n"
                 << "Segment Match from " << s << " to " << e << "\n";
        // Later segments start one point early, on the link the previous segment chose there.
        const int first = k == 0 ? s : s - 1;
        Population population(map, route, &distances, params, first, e - first + 1, out);
        population.printPopulationStatistics();
        if (k == 0)
            population.initializePopulation(false, first, -1);
        else
            population.initializePopulation(true, first, genes[static_cast<size_t>(first)]);
        if (out)
            *out << "## Initial population: ##"
                 << "\n";
        population.printGeneration();
        if (out) *out << "\n";
        while (population.generation - population.bestGeneration <= params.maxStagnation &&
               population.generation <= kMaxGenerations) {
            population.nextGeneration();
            if (population.generation % 10 == 0) population.printGenerationStatistics();
        }
        if (out)
            *out << "## Final population: ##"
                 << "\n";
        population.printGeneration();
        population.printBestIndividuals();

        const Individual& best =
            population.bestPerGeneration[static_cast<size_t>(population.bestGeneration - 1)];
        for (int g = 0; g < best.geneCount && first + g < n; ++g)
            genes[static_cast<size_t>(first + g)] = best.genes[static_cast<size_t>(g)];
        if (best.gapDist > 0)
            for (int g : population.getIndividualGaps(best)) breakPoints.insert(first + g);
    }

    const int repaired = repairUnmatchedGenes(genes);
    const int removed = removeSingleLinkIslands(genes);
    if (out) {
        *out << "\n\n";
        *out << repaired << " unmatched genes were fixed."
             << "\n";
        *out << removed << " matched genes were removed."
             << "\n";
        *out << "\n\n";
    }

    buildResults(genes, breakPoints);

    if (withKml) {
        kmlMatch::KMLBuilder builder(map, route, genes, segments, "genetic");
        builder.buildKML();
    }
    if (out) out->close();
}

void GenMapMatching::runWithMarchal(bool withKml) {
    if (map == nullptr || route == nullptr) {
        run(nullptr, nullptr, withKml);
        return;
    }
    MarchalBMatching marchal(map, route);
    marchal.run(true, false);
    const std::vector<std::set<int>> forwardSets = marchal.getCandidateLinkSets();
    marchal.run(false, false);
    const std::vector<std::set<int>> backwardSets = marchal.getCandidateLinkSets();
    run(&forwardSets, &backwardSets, withKml);
}

}  // namespace MapMatching
