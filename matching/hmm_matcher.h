// The hidden-Markov matcher (Newson and Krumm 2009): every fix has as candidates its projections
// onto the directed links near it; a candidate is as likely as its distance to the fix under
// Gaussian noise, and a step from one candidate to the next as likely as its driving distance
// agrees with the straight line between the fixes. Viterbi picks the likeliest sequence, which may
// step over a fix as an outlier; where no step is possible the piece ends and a new one starts. The
// result is the records of the hybrid matcher: one Path per piece with the crossed links filled
// in, and the unmatched stretches.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "map/road_graph.h"
#include "map/route_distance.h"
#include "matching/hmm_params.h"
#include "matching/hmm_track_smoother.h"
#include "traces/path.h"
#include "traces/route.h"

namespace MapMatching {

class HmmMatcher {
public:
    // One matcher serves one thread: it keeps its working storage between traces. The graph is only read.
    HmmMatcher(const mapRepresentation::RoadGraph& graph, const HmmParams& params);

    void run(const Route& route);

    // Results of the last run (owned copies, like the other matchers hand out).
    std::vector<std::unique_ptr<Path>> getMatched() const { return ownedCopies(matched); }
    std::vector<std::unique_ptr<Path>> getShortMatched() const { return ownedCopies(shortMatched); }
    std::vector<std::unique_ptr<_unmatchinfo>> getUnmatchedInfo() const { return ownedCopies(unmatched); }
    // Per matched piece, the links the decided drive takes from its first fix to its last, in order,
    // those crossed between fixes included (what the fixes' links alone leave open).
    const std::vector<std::vector<int>>& drivenRoutes() const { return routes; }
    // Per fix: its link id (-1 unmatched) and where on the link it was matched.
    const std::vector<int>& matchedLinks() const { return linkOfFix; }
    // The link of the candidate Viterbi chose for fix t before the fixes were placed along the drive
    // (-1: none, or the fix was left out of the lattice).
    int decodedLink(size_t t) const {
        return chosen[t] < 0 ? -1 : graph.link(cands[static_cast<size_t>(chosen[t])].link).id;
    }
    const std::vector<Point>& matchedPoints() const { return pointOfFix; }
    // Fixes of the last run with a link within the radius (the others can only be bridged over).
    int fixesNearRoads() const { return nearRoads; }
    // The sigma the last run used (the estimate when the preset leaves it open).
    double usedSigma() const { return sigma; }

    // Driving distance between two candidates of consecutive fixes, with small moves backwards on
    // one link taken as noise; kUnreachable when the step is impossible within `bound`.
    double stepDistance(const mapRepresentation::RoadGraph::Near& a,
                        const mapRepresentation::RoadGraph::Near& b, double bound) const;

    // The costs Viterbi adds up (negative log-likelihoods up to a constant): a fix `distance` metres
    // from its candidate under the sigma of the last run; a step of driving distance `d` (negative:
    // backwards on one link) between fixes `straight` metres apart, which turns back on its road
    // where it could have gone on if `turnsBack`, on the scale of `scale(seconds between the fixes)`;
    // and leaving a fix out as an outlier (its step over is priced on the sum of the two scales).
    double emissionCost(double distance) const;
    double scale(double seconds) const;
    double transitionCost(double d, double straight, double scale, bool turnsBack) const;
    double outlierCost() const { return 0.5 * params.outlier * params.outlier; }

private:
    const mapRepresentation::RoadGraph& graph;
    HmmParams params;
    mutable mapRepresentation::RouteSearch search;
    double sigma = 0.0;
    int nearRoads = 0;
    double noise = 0.0;  // the fix noise measured on the trace (or the preset's sigma), unclamped

    // Lattice: the candidates of all fixes in one flat array; fix t owns [first[t], last[t]).
    std::vector<mapRepresentation::RoadGraph::Near> cands;
    std::vector<mapRepresentation::RoadGraph::Near> near;
    std::vector<uint32_t> first;
    std::vector<uint32_t> last;
    std::vector<double> cost;     // best cost of a sequence ending in the candidate
    std::vector<int32_t> back;    // candidate before it, -1 at the start of a piece
    std::vector<uint32_t> owner;  // the fix of each candidate
    std::vector<double> stepLen;  // driving distance of that step
    std::vector<uint32_t> targets;
    double farthest = 0.0;        // the largest fix-to-candidate distance among the targets
    std::vector<double> shift;    // per fix in the lattice: what was taken off its costs to keep them small
    std::vector<int32_t> chosen;  // per fix: chosen candidate or -1
    std::vector<uint8_t>
        skipped;  // per fix: left out of the lattice (too close to the fix before) or an outlier
    // The drive of one piece: its links in order, where each starts along it (metres), and per fix
    // the drive link of its chosen candidate and its measured then smoothed position along the drive.
    std::vector<uint32_t> drive;
    std::vector<double> driveStart;
    std::vector<uint32_t> between;
    std::vector<uint32_t> anchor;
    std::vector<double> along;
    std::vector<double> seconds;
    std::vector<uint32_t> placed;  // per fix of the piece being emitted: its drive link
    std::vector<uint8_t> close;    // and whether it lies within the radius of that link
    TrackSmoother smoother;

    std::vector<int> linkOfFix;
    std::vector<Point> pointOfFix;
    std::vector<std::unique_ptr<Path>> matched;
    std::vector<std::unique_ptr<Path>> shortMatched;
    std::vector<std::vector<int>> routes;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;

    void findCandidates(const Route& route);
    double estimateNoise() const;
    bool advance(const Route& route, int prev, int before, int t);
    bool relax(const Route& route, int from, int t, double extra, double stepScale);
    bool widen(const Route& route, int t);
    void startPiece(int t);
    void backtrack(int end);
    void decode(const Route& route);
    void buildPaths(const Route& route);
    bool nearPrevious(const Route& route, int prev, int t) const;
    void assembleDrive(int from, int end);
    void trimDrive(int from, int end, int lastFix);
    void measureAlong(const Route& route, int from, int end);
    double nearestAlong(Point q, uint32_t lo, uint32_t hi) const;
    void smoothAlong(const Route& route, int from, int end);
    void emitPiece(const Route& route, int from, int end);
    void buildUnmatched(int n);
    double bound(const Route& route, int prev, int t) const;
};

}  // namespace MapMatching
