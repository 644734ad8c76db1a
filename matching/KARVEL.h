// The hybrid matcher: Marchal matching forwards and backwards, the genetic algorithm on the stretches
// where the two runs disagree, and the final paths and unmatched stretches of the trace.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "map/maps.h"
#include "matching/candidate_links.h"
#include "matching/matching_genetic.h"
#include "traces/path.h"
#include "traces/route.h"

namespace MapMatching {

class KARVEL {
public:
    mapRepresentation::Map* map;
    Route* route;
    std::unique_ptr<std::ofstream> log;
    std::vector<int> matchedLinks;
    _params params;
    std::vector<std::unique_ptr<Path>> matched;
    std::vector<std::unique_ptr<Path>> shortMatched;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;

    KARVEL(mapRepresentation::Map* map, Route* route, bool writeLog);

    void run(bool kml);

    std::vector<std::unique_ptr<Path>> getMatched() const;
    std::vector<std::unique_ptr<Path>> getShortMatched() const;
    std::vector<std::unique_ptr<_unmatchinfo>> getUnmatchedInfo() const;

    std::vector<int> reconstructMatchedTrace(std::vector<std::set<int>>& candidates,
                                             const std::vector<std::unique_ptr<Path>>& forwardPaths,
                                             const std::vector<std::unique_ptr<Path>>& backwardPaths);
    std::vector<std::pair<int, int>> buildAmbiguousSegments(std::vector<int>& ambiguousPoints) const;
    std::set<int> runGeneticOnAmbiguousSegments(const std::vector<std::pair<int, int>>& segments,
                                                const std::vector<std::set<int>>& candidates);
    std::set<int> runSegment(int first, int last, const std::vector<std::set<int>>& candidates);
    void constructOutput(const std::set<int>& gapPoints,
                         const std::vector<std::unique_ptr<Path>>& forwardPaths,
                         const std::vector<std::pair<int, int>>& segments);

private:
    int pointCount() const { return static_cast<int>(route->nodes.size()); }
    bool inTrace(int point) const;
    void addNearLinks(CandidateLinks& candidates, int k) const;

    // The Marchal runs forwards and backwards; the matcher is gone when they return.
    void runMarchal(std::vector<std::unique_ptr<Path>>& forwardPaths,
                    std::vector<std::unique_ptr<Path>>& backwardPaths) const;

    // The public steps above on the compact candidate store that run() keeps; the public forms
    // convert from and to one ordered set per point.
    std::vector<int> reconstructMatchedTrace(CandidateLinks& candidates,
                                             const std::vector<std::unique_ptr<Path>>& forwardPaths,
                                             const std::vector<std::unique_ptr<Path>>& backwardPaths);
    std::set<int> runGeneticOnAmbiguousSegments(const std::vector<std::pair<int, int>>& segments,
                                                const CandidateLinks& candidates);
    std::set<int> runSegment(int first, int last, const CandidateLinks& candidates);

    // Steps of reconstructMatchedTrace, in order: the forward links, points where the backward run
    // disagrees, short holes and both trace ends widened with the links near them, and the
    // points around piece borders and holes marked ambiguous (one flag per point).
    using Marks = std::vector<uint8_t>;
    void takeForwardResult(CandidateLinks& candidates,
                           const std::vector<std::unique_ptr<Path>>& forwardPaths);
    void compareBackwardResult(CandidateLinks& candidates,
                               const std::vector<std::unique_ptr<Path>>& backwardPaths, Marks& ambiguous);
    void widenShortHoles(CandidateLinks& candidates, Marks& ambiguous) const;
    void markPieceBorders(const std::vector<std::unique_ptr<Path>>& forwardPaths, Marks& ambiguous) const;
    void widenTraceEnds(CandidateLinks& candidates, Marks& ambiguous) const;
    void markHoleNeighbours(const CandidateLinks& candidates, Marks& ambiguous) const;

    // Steps of runSegment: the genetic search over the segment's candidates (anchors are offsets within
    // the segment; the best individual's gaps go into `gaps` as trace indices), then the clearing of
    // short unanchored fragments between breaks.
    Individual evolveSegment(int first, int last, const CandidateLinks& candidates,
                             const std::set<int>& anchors, std::set<int>& gaps);
    void clearShortFragments(int first, int last, const std::set<int>& anchors, const std::set<int>& gaps);

    // The links crossed after each point: those kept from the forward run, in one table ordered by
    // point, and the few filled in inside the solved segments.
    struct Crossings {
        std::vector<uint32_t> start;  // point p: kept[start[p] .. start[p+1])
        std::vector<int> kept;
        std::map<int, std::vector<int>> filled;
        bool any(int point) const;
    };
    // Steps of constructOutput: the links crossed between two points (kept from the forward run, or
    // the shortest link chain inside the solved segments), then the cut into paths.
    void keepForwardCrossings(const std::vector<std::unique_ptr<Path>>& forwardPaths,
                              Crossings& crossings) const;
    void fillMissingCrossings(const std::set<int>& gapPoints,
                              const std::vector<std::pair<int, int>>& segments, Crossings& crossings) const;
    void cutIntoPaths(const Crossings& crossings);
};

}  // namespace MapMatching
