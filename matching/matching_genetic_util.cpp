#include "matching/matching_genetic_util.h"

#include <algorithm>
#include <ctime>
#include <iostream>

#include "matching/matching_genetic.h"

namespace MapMatching {

namespace {

constexpr double kHeadingToleranceDegrees = 45.0;
// Distance reported for a link the map does not hold: no caller can take it for a near link.
constexpr double kMissingLinkDistance = 1e9;
// Links continued to the next (or previous) junction when widening Marchal's candidate sets.
constexpr int kJunctionWalk = 2;
constexpr int kFormerLinkDepth = 3;
// A forward set this much larger than its predecessor's marks a restart of the Marchal run.
constexpr size_t kForwardJump = 10;

void reportMissingLink(int link) {
    std::cout << "ERROR: non existing link. (" << link << ")" << std::endl;
}

// Callers pass one set per point; a shorter list reads as empty sets instead of running off its end.
const std::set<int>& entryOrEmpty(const std::vector<std::set<int>>& sets, long i) {
    static const std::set<int> empty;
    return (i >= 0 && i < static_cast<long>(sets.size())) ? sets[static_cast<size_t>(i)] : empty;
}

void writeLinks(std::ostream& out, const std::set<int>& links) {
    for (int link : links) out << link << " ";
}

}  // namespace

Distances::Distances(mapRepresentation::Map* map_, Route* route_,
                     const std::vector<std::set<int>>& candidateSets, const std::set<int>& fixedPoints,
                     std::ofstream* log_)
    : map(map_), route(route_), log(log_) {
    minHeadings.assign(static_cast<size_t>(pointCount()), 0.0);
    maxHeadings.assign(static_cast<size_t>(pointCount()), 0.0);
    calculateHeadingIntervals();
    calculateTraceLinkDistances();
    calculateNearLinkDistances(candidateSets, fixedPoints);
}

Distances::Distances(mapRepresentation::Map* map_, Route* route_,
                     const std::vector<std::set<int>>* forwardSets,
                     const std::vector<std::set<int>>* backwardSets, std::ofstream* log_)
    : map(map_), route(route_), log(log_) {
    minHeadings.assign(static_cast<size_t>(pointCount()), 0.0);
    maxHeadings.assign(static_cast<size_t>(pointCount()), 0.0);
    calculateHeadingIntervals();
    calculateTraceLinkDistances();
    calculateNearLinkDistances(forwardSets, backwardSets);
}

int Distances::pointCount() const {
    return route ? static_cast<int>(route->nodes.size()) : 0;
}

std::vector<int> Distances::getValidLinks(int i) const {
    std::vector<int> result;
    if (i < 0 || i >= static_cast<int>(nearLinks.size())) return result;
    const auto& table = nearLinks[static_cast<size_t>(i)];
    result.reserve(table.size());
    for (const auto& entry : table) result.push_back(entry.first);
    return result;
}

int Distances::getNearestLink(int i) const {
    if (i < 0 || i >= static_cast<int>(nearLinks.size())) return -1;
    int best = -1;
    double bestDistance = 0.0;
    for (const auto& [link, distance] : nearLinks[static_cast<size_t>(i)]) {
        if (best == -1 || distance < bestDistance) {
            best = link;
            bestDistance = distance;
        }
    }
    return best;
}

bool Distances::computePointToLink(int i, int link, double& distance) const {
    if (!map) return false;
    const auto it = map->links.find(link);
    if (it == map->links.end()) {
        reportMissingLink(link);
        return false;
    }
    if (i < 0 || i >= pointCount()) return false;
    const _node& p = route->nodes[static_cast<size_t>(i)];
    const Point start = map->getNodePoint(it->second.origin);
    const Point end = map->getNodePoint(it->second.destination);
    distance = getNearestPointFromLink(start, end, Point{p.easting, p.northing}).second;
    return true;
}

double Distances::getDistanceFromPointToLink(int i, int link) {
    const bool tabled = i >= 0 && i < static_cast<int>(nearLinks.size());
    if (tabled) {
        const auto& table = nearLinks[static_cast<size_t>(i)];
        const auto it = table.find(link);
        if (it != table.end()) return it->second;
    }
    double distance = 0.0;
    // A link the map does not hold is not remembered, so it never becomes a valid gene.
    if (!computePointToLink(i, link, distance)) return kMissingLinkDistance;
    if (tabled) nearLinks[static_cast<size_t>(i)].emplace(link, distance);
    return distance;
}

double Distances::getDistanceBetweenLinks(int link1, int link2) {
    const std::pair<int, int> key{link1, link2};
    const auto cached = linkDistances.find(key);
    if (cached != linkDistances.end()) return cached->second;

    double distance = kMissingLinkDistance;
    if (map) {
        const auto second = map->links.find(link2);
        if (second == map->links.end()) reportMissingLink(link2);
        const auto first = map->links.find(link1);
        if (first == map->links.end()) reportMissingLink(link1);
        if (first != map->links.end() && second != map->links.end())
            distance = distance2Points(map->getNodePoint(first->second.destination),
                                       map->getNodePoint(second->second.origin));
    }
    linkDistances.emplace(key, distance);
    return distance;
}

void Distances::calculateHeadingIntervals() {
    const int n = pointCount();
    minHeadings.assign(static_cast<size_t>(n), 0.0);
    maxHeadings.assign(static_cast<size_t>(n), 0.0);
    for (int i = 0; i < n; ++i) {
        const double h = route->nodes[static_cast<size_t>(i)].heading;
        double lo = h, hi = h;
        for (int j = std::max(0, i - 3); j <= std::min(i + 3, n - 1); ++j) {
            const double a = ajustHeadingToInterval(route->nodes[static_cast<size_t>(j)].heading, h);
            if (a <= lo) lo = a;
            if (a >= hi) hi = a;
        }
        minHeadings[static_cast<size_t>(i)] = lo;
        maxHeadings[static_cast<size_t>(i)] = hi;
    }
}

void Distances::calculateTraceLinkDistances() {
    traceDistances.clear();
    const int n = pointCount();
    traceDistances.reserve(static_cast<size_t>(std::max(n, 1)));
    traceDistances.push_back(0.0);
    double sum = 0.0;
    for (int k = 1; k < n; ++k) {
        const _node& a = route->nodes[static_cast<size_t>(k - 1)];
        const _node& b = route->nodes[static_cast<size_t>(k)];
        sum += distance2Points(a.easting, a.northing, b.easting, b.northing);
        traceDistances.push_back(sum);
    }
    if (log)
        *log << "Trace lenght: " << traceDistances.back() << " m."
             << "\n";
}

void Distances::calculateNearLinkDistances(const std::vector<std::set<int>>& candidateSets,
                                           const std::set<int>& fixedPoints) {
    const int n = pointCount();
    CandidateList candidates(static_cast<size_t>(n));
    const time_t start = time(nullptr);

    for (int i = 0; i < n && map; ++i) {
        const std::set<int>& links = entryOrEmpty(candidateSets, i);
        auto& entry = candidates[static_cast<size_t>(i)];
        if (!fixedPoints.count(i)) {
            // Every link near the point that lies on a super-link Marchal considered for it.
            std::set<int> superLinks;
            for (int link : links) superLinks.insert(map->getSuperLinkKey(link));
            const _node& p = route->nodes[static_cast<size_t>(i)];
            for (const auto& [link, distance] :
                 map->getNearestLinksAndDistances(p.position.lat, p.position.lon, kMaxDistLink)) {
                if (superLinks.count(map->getSuperLinkKey(link))) entry.emplace_back(link, distance);
            }
        } else if (!links.empty()) {
            const int link = *links.begin();
            double distance = 0.0;
            if (computePointToLink(i, link, distance)) entry.emplace_back(link, distance);
        }
    }

    filterCandidatesByHeading(candidates, fixedPoints);
    filterCandidatesBySuperLink(candidates, std::set<int>());

    const time_t end = time(nullptr);
    logCandidates(difftime(end, start), [&](int i) {
        *log << "Candidates from Marchal: ";
        writeLinks(*log, entryOrEmpty(candidateSets, i));
        *log << "\n";
    });
}

void Distances::calculateNearLinkDistances(const std::vector<std::set<int>>* forwardSets,
                                           const std::vector<std::set<int>>* backwardSets) {
    const int n = pointCount();
    CandidateList candidates(static_cast<size_t>(n));
    const time_t start = time(nullptr);

    if (map && !forwardSets) {
        for (int i = 0; i < n; ++i) {
            const _node& p = route->nodes[static_cast<size_t>(i)];
            candidates[static_cast<size_t>(i)] =
                map->getNearestLinksAndDistances(p.position.lat, p.position.lon, kMaxDistLink);
        }
    } else if (map) {
        std::vector<std::set<int>> linkSets(static_cast<size_t>(n));
        if (backwardSets) {
            for (int i = 0; i < n; ++i) {
                std::set<int> forward = entryOrEmpty(*forwardSets, i);
                for (int link : entryOrEmpty(*forwardSets, i))
                    for (int next : map->getLinksUntilNextJunction(link, kJunctionWalk)) forward.insert(next);
                std::set<int> backward = entryOrEmpty(*backwardSets, n - 1 - i);
                for (int link : entryOrEmpty(*backwardSets, n - 1 - i))
                    for (int previous : map->getLinksUntilPreviousJunction(link, kJunctionWalk))
                        backward.insert(previous);
                std::set<int>& both = linkSets[static_cast<size_t>(i)];
                std::set_intersection(forward.begin(), forward.end(), backward.begin(), backward.end(),
                                      std::inserter(both, both.end()));
                if (both.empty()) {
                    both = std::move(forward);
                    both.insert(backward.begin(), backward.end());
                }
            }
        } else {
            for (int i = 0; i < n; ++i)
                for (int j = std::max(0, i - 3); j <= std::min(i + 2, n - 1); ++j) {
                    const std::set<int>& links = entryOrEmpty(*forwardSets, j);
                    linkSets[static_cast<size_t>(i)].insert(links.begin(), links.end());
                }
            // Where the forward run restarted, the roads leading into its new candidates join in.
            for (int i = n - 1; i >= 0; --i) {
                if (i != 0 && entryOrEmpty(*forwardSets, i).size() <=
                                  entryOrEmpty(*forwardSets, i - 1).size() + kForwardJump)
                    continue;
                std::set<int> sources = linkSets[static_cast<size_t>(i)];
                if (i + 1 < n)
                    sources.insert(linkSets[static_cast<size_t>(i + 1)].begin(),
                                   linkSets[static_cast<size_t>(i + 1)].end());
                std::set<int> formers;
                for (int link : sources) {
                    const std::set<int> found = map->getAllFormerLinks(link, kFormerLinkDepth);
                    formers.insert(found.begin(), found.end());
                }
                for (int p = i; p <= std::min(i + 2, n - 1); ++p)
                    linkSets[static_cast<size_t>(p)].insert(formers.begin(), formers.end());
            }
        }
        for (int i = 0; i < n; ++i)
            for (int link : linkSets[static_cast<size_t>(i)]) {
                double distance = 0.0;
                if (computePointToLink(i, link, distance) && distance <= kMaxDistLink)
                    candidates[static_cast<size_t>(i)].emplace_back(link, distance);
            }
    }

    filterCandidatesByHeading(candidates, std::set<int>());
    filterCandidatesBySuperLink(candidates, std::set<int>());

    const time_t end = time(nullptr);
    logCandidates(difftime(end, start), [&](int i) {
        if (forwardSets) {
            *log << "Candidates from Marchal (Forwards): ";
            writeLinks(*log, entryOrEmpty(*forwardSets, i));
            *log << "\n";
        }
        if (backwardSets) {
            *log << "(Backwards): ";
            writeLinks(*log, entryOrEmpty(*backwardSets, n - 1 - i));
            *log << "\n";
        }
    });
}

template <typename MarchalLines>
void Distances::logCandidates(double elapsedSeconds, MarchalLines marchalLines) const {
    if (!log) return;
    const int n = pointCount();
    for (int i = 0; i < n; ++i) {
        // 0xBA is the ordinal indicator of ISO 8859-1, standing in for a degree sign.
        *log << i << ":    Min heading: "
             << rad2deg(minHeadings[static_cast<size_t>(i)]) - kHeadingToleranceDegrees << " " << '\xBA'
             << "   Max heading: " << rad2deg(maxHeadings[static_cast<size_t>(i)]) + kHeadingToleranceDegrees
             << " " << '\xBA' << "\n";
        marchalLines(i);
        *log << "Final Candidates: ";
        if (i < static_cast<int>(nearLinks.size()))
            for (const auto& [link, distance] : nearLinks[static_cast<size_t>(i)])
                *log << link << " (" << distance << " m.)  ";
        *log << "\n\n";
    }
    *log << "\n"
         << "Time precalculating distances from trace points to nearest links: " << elapsedSeconds << " s."
         << "\n";
}

void Distances::filterCandidatesByHeading(CandidateList& candidates, const std::set<int>& excluded) {
    if (!map) return;
    const double tolerance = deg2rad(kHeadingToleranceDegrees);
    const int n = std::min(pointCount(), static_cast<int>(candidates.size()));
    for (int i = 0; i < n; ++i) {
        if (excluded.count(i)) continue;
        const double lo = minHeadings[static_cast<size_t>(i)] - tolerance;
        const double hi = maxHeadings[static_cast<size_t>(i)] + tolerance;
        const double h = route->nodes[static_cast<size_t>(i)].heading;
        auto& entry = candidates[static_cast<size_t>(i)];
        for (size_t k = entry.size(); k-- > 0;) {
            const auto it = map->links.find(entry[k].first);
            if (it == map->links.end()) {
                // Without a record the link has no heading and cannot be driven on.
                reportMissingLink(entry[k].first);
                entry.erase(entry.begin() + static_cast<long>(k));
                continue;
            }
            const double a = ajustHeadingToInterval(it->second.heading, h);
            if (a < lo || a > hi) entry.erase(entry.begin() + static_cast<long>(k));
        }
    }
}

void Distances::filterCandidatesBySuperLink(CandidateList& candidates, const std::set<int>& excluded) {
    const int n = pointCount();
    // Per point: super-link key -> the nearest (link, distance) on it.
    std::vector<std::map<int, std::pair<int, double>>> kept(static_cast<size_t>(n));
    for (int i = 0; i < n && i < static_cast<int>(candidates.size()) && map; ++i) {
        if (excluded.count(i)) continue;
        auto& perSuperLink = kept[static_cast<size_t>(i)];
        for (const auto& [link, distance] : candidates[static_cast<size_t>(i)]) {
            const auto [it, inserted] = perSuperLink.try_emplace(map->getSuperLinkKey(link), link, distance);
            if (!inserted && distance < it->second.second) it->second = {link, distance};
        }
    }

    // A later point on an earlier link of the same super-link: each point also gets the other's link,
    // so that the genetic algorithm can resolve the backward step either way.
    CandidateList extras(static_cast<size_t>(n));
    for (int i = 0; i + 1 < n; ++i) {
        for (const auto& [key, here] : kept[static_cast<size_t>(i)]) {
            const auto there = kept[static_cast<size_t>(i + 1)].find(key);
            if (there == kept[static_cast<size_t>(i + 1)].end()) continue;
            const int a = here.first;
            const int b = there->second.first;
            if (map->getSequenceNumber(b) >= map->getSequenceNumber(a)) continue;
            double distance = 0.0;
            if (!excluded.count(i) && computePointToLink(i, b, distance))
                extras[static_cast<size_t>(i)].emplace_back(b, distance);
            if (!excluded.count(i + 1) && computePointToLink(i + 1, a, distance))
                extras[static_cast<size_t>(i + 1)].emplace_back(a, distance);
        }
    }

    nearLinks.assign(static_cast<size_t>(n), std::map<int, double>());
    for (int i = 0; i < n; ++i) {
        auto& table = nearLinks[static_cast<size_t>(i)];
        for (const auto& entry : kept[static_cast<size_t>(i)])
            table.emplace(entry.second.first, entry.second.second);
        for (const auto& [link, distance] : extras[static_cast<size_t>(i)]) table.emplace(link, distance);
    }
}

// ---------------------------------------------------------------------------------------------

bool compareScore(const Individual* a, const Individual* b) {
    return a->score < b->score;
}

RankedPopulation::RankedPopulation(std::vector<Individual>* population) {
    if (!population) return;
    ranked.reserve(population->size());
    // Each one goes after those it does not beat, as in an ordered multiset: ties keep vector order.
    for (Individual& individual : *population) {
        const auto at = std::upper_bound(ranked.begin(), ranked.end(), &individual, compareScore);
        ranked.insert(at, &individual);
    }
}

}  // namespace MapMatching
