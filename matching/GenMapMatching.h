// The genetic-only matcher: the whole trace is cut into segments of at most 50 points and every
// segment is solved by the genetic algorithm, each one starting from the link the previous segment
// chose for their shared point.
#pragma once

#include <fstream>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "map/maps.h"
#include "matching/matching_genetic.h"
#include "matching/matching_genetic_util.h"
#include "traces/path.h"
#include "traces/route.h"

namespace MapMatching {

class GenMapMatching {
public:
    mapRepresentation::Map* map;
    Route* route;
    std::unique_ptr<std::ofstream> log;
    Distances distances;
    _params params;
    // A path holds a (point, link) pair where its link changes, starting at its first point.
    std::vector<std::unique_ptr<Path>> matched;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;

    // With withLog the genetic log goes to data/<route name>_genetic_log.txt.
    GenMapMatching(mapRepresentation::Map* map, Route* route, bool withLog);

    // Consecutive (first point, last point) segments covering the trace; needs `distances`.
    std::vector<std::pair<int, int>> splitByAmbiguity();
    // Matches the trace. The sets are those of Marchal runs forwards (trace order) and backwards
    // (reversed order); either may be null.
    void run(const std::vector<std::set<int>>* forwardSets, const std::vector<std::set<int>>* backwardSets,
             bool withKml);
    // run() with the candidate sets of a forward and a backward Marchal run over the trace.
    void runWithMarchal(bool withKml);

    // Owned copies of the results.
    std::vector<std::unique_ptr<Path>> getMatched() const;
    // The paths with one pair for every trace point they cover (the form karvel reports).
    std::vector<std::unique_ptr<Path>> getShortMatched() const;
    std::vector<std::unique_ptr<_unmatchinfo>> getUnmatchedInfo() const;

    // Steps of run, public so that they can be checked one by one.
    // Ambiguity of every point, from `distances`.
    std::vector<double> ambiguityScores();
    // The segmentation rule applied to given ambiguity scores, one per trace point.
    static std::vector<std::pair<int, int>> segmentsFromAmbiguity(const std::vector<double>& scores);
    // Fills single unmatched points between two equal or connected links; returns how many.
    int repairUnmatchedGenes(std::vector<int>& genes) const;
    // Clears every run of one link that has no matched neighbour on either side; returns the
    // number of genes cleared.
    static int removeSingleLinkIslands(std::vector<int>& genes);
    // Fills `matched` and `unmatched` from one link per trace point; a path also ends after each
    // break point.
    void buildResults(const std::vector<int>& genes, const std::set<int>& breakPoints);

private:
    int pointCount() const { return route ? static_cast<int>(route->nodes.size()) : 0; }
    // Distance from trace point i to a link of the map, -1 when the link is missing.
    double pointToLinkDistance(int i, int link) const;
};

}  // namespace MapMatching
