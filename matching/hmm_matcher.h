// The hidden-Markov matcher (Newson and Krumm 2009): the lattice (matching/hmm_lattice.h) decodes the
// likeliest sequence of candidate links, the placement (matching/hmm_placement.h) puts every fix on
// the drive it decided. The result is the records of the hybrid matcher: one Path per piece with the
// crossed links filled in, and the unmatched stretches.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "map/road_graph.h"
#include "map/route_distance.h"
#include "matching/hmm_lattice.h"
#include "matching/hmm_params.h"
#include "matching/hmm_placement.h"
#include "traces/path.h"
#include "traces/route.h"

namespace MapMatching {

class HmmMatcher {
public:
    // One matcher serves one thread: it keeps its working storage between traces. The graph is only read.
    HmmMatcher(const mapRepresentation::RoadGraph& graph, const HmmParams& params);

    void run(const Route& route);

    // Results of the last run (owned copies, like the other matchers hand out).
    std::vector<std::unique_ptr<Path>> getMatched() const { return traces::ownedCopies(placement.matched()); }
    std::vector<std::unique_ptr<Path>> getShortMatched() const {
        return traces::ownedCopies(placement.shortMatched());
    }
    std::vector<std::unique_ptr<_unmatchinfo>> getUnmatchedInfo() const {
        return traces::ownedCopies(unmatched);
    }
    // Per matched piece, the links the decided drive takes from its first fix to its last, in order,
    // those crossed between fixes included (what the fixes' links alone leave open).
    const std::vector<std::vector<int>>& drivenRoutes() const { return placement.drivenRoutes(); }
    // Per fix: its link id (-1 unmatched) and where on the link it was matched.
    const std::vector<int>& matchedLinks() const { return placement.matchedLinks(); }
    // The link of the candidate Viterbi chose for fix t before the fixes were placed along the drive
    // (-1: none, or the fix was left out of the lattice).
    int decodedLink(size_t t) const {
        const int32_t j = lattice.chosen(static_cast<int>(t));
        return j < 0 ? -1 : graph.link(lattice.candidate(j).link).id;
    }
    const std::vector<Point>& matchedPoints() const { return placement.matchedPoints(); }
    // Fixes of the last run with a link within the radius (the others can only be bridged over).
    int fixesNearRoads() const { return lattice.fixesNearRoads(); }
    // The sigma the last run used (the estimate when the preset leaves it open).
    double usedSigma() const { return lattice.sigma(); }

    // Driving distance between two candidates of consecutive fixes, with small moves backwards on
    // one link taken as noise; kUnreachable when the step is impossible within `bound`.
    double stepDistance(const mapRepresentation::RoadGraph::Near& a,
                        const mapRepresentation::RoadGraph::Near& b, double bound) const {
        return lattice.stepDistance(a, b, bound);
    }

    // The costs Viterbi adds up (negative log-likelihoods up to a constant): a fix `distance` metres
    // from its candidate under the sigma of the last run; a step of driving distance `d` (negative:
    // backwards on one link) between fixes `straight` metres apart, which turns back on its road
    // where it could have gone on if `turnsBack`, on the scale of `scale(seconds between the fixes)`;
    // and leaving a fix out as an outlier (its step over is priced on the sum of the two scales).
    double emissionCost(double distance) const { return lattice.emissionCost(distance); }
    double scale(double seconds) const { return lattice.scale(seconds); }
    double transitionCost(double d, double straight, double scale, bool turnsBack) const {
        return lattice.transitionCost(d, straight, scale, turnsBack);
    }
    double outlierCost() const { return lattice.outlierCost(); }

private:
    const mapRepresentation::RoadGraph& graph;
    // One search serves the lattice's steps and then the placement's drive between them.
    mapRepresentation::RouteSearch search;
    HmmLattice lattice;
    HmmPlacement placement;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;
};

}  // namespace MapMatching
