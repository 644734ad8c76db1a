// The Viterbi lattice of the hidden-Markov matcher: every fix has as candidates its projections onto
// the directed links near it; a candidate is as likely as its distance to the fix under Gaussian
// noise, and a step from one candidate to the next as likely as its driving distance agrees with the
// straight line between the fixes. Decoding picks the likeliest sequence, which may step over a fix
// as an outlier; where no step is possible the piece ends and a new one starts. What the fixes left
// out and the links between the chosen candidates are is for the placement to settle.
#pragma once

#include <cstdint>
#include <vector>

#include "map/road_graph.h"
#include "map/route_distance.h"
#include "matching/hmm_params.h"
#include "traces/route.h"

namespace MapMatching {

class HmmLattice {
public:
    using Near = mapRepresentation::RoadGraph::Near;

    // The search is shared with whoever places the fixes afterwards; it only ever serves one step.
    HmmLattice(const mapRepresentation::RoadGraph& graph, const HmmParams& params,
               mapRepresentation::RouteSearch& search);

    // Candidates of every fix, the noise of the trace, and the decoded sequence.
    void run(const Route& route);

    // The decoded sequence. chosen(t): fix t's candidate, -1 when it has none or was left out.
    int32_t chosen(int t) const { return chosenOf[static_cast<size_t>(t)]; }
    // Left out of the lattice (too close to the fix before, or an outlier stepped over).
    bool skipped(int t) const { return skippedFix[static_cast<size_t>(t)] != 0; }
    const Near& candidate(int32_t j) const { return cands[static_cast<size_t>(j)]; }
    // The candidate the step to j came from (-1: j starts a piece) and its driving distance.
    int32_t previous(int32_t j) const { return back[static_cast<size_t>(j)]; }
    double stepLength(int32_t j) const { return stepLen[static_cast<size_t>(j)]; }

    // The first fix of the stand fix t belongs to (the receiver reported it standing since then), or
    // -1 when it moves or reported no speed.
    int standingSince(int t) const { return standFrom[static_cast<size_t>(t)]; }

    int fixesNearRoads() const { return nearRoads; }
    double sigma() const { return sigmaUsed; }
    // The fix noise measured on the trace (or the preset's sigma), not clamped.
    double noise() const { return measuredNoise; }

    double stepDistance(const Near& a, const Near& b, double bound) const;
    double emissionCost(double distance) const;
    double scale(double seconds) const;
    double transitionCost(double d, double straight, double scale, bool turnsBack) const;
    double outlierCost() const { return 0.5 * params.outlier * params.outlier; }
    // What a candidate on `link` costs for running against a course the receiver reported at `speed`
    // (radians clockwise from north, m/s; NaN: none reported).
    double courseCost(uint32_t link, double course, double speed) const;

private:
    const mapRepresentation::RoadGraph& graph;
    HmmParams params;
    mapRepresentation::RouteSearch& search;
    double sigmaUsed = 0.0;
    double measuredNoise = 0.0;
    int nearRoads = 0;

    // The candidates of all fixes in one flat array; fix t owns [first[t], last[t]).
    std::vector<Near> cands;
    std::vector<Near> near;
    std::vector<uint32_t> first;
    std::vector<uint32_t> last;
    std::vector<double> cost;     // best cost of a sequence ending in the candidate
    std::vector<int32_t> back;    // candidate before it, -1 at the start of a piece
    std::vector<uint32_t> owner;  // the fix of each candidate
    std::vector<double> stepLen;  // driving distance of that step
    std::vector<uint32_t> targets;
    double farthest = 0.0;          // the largest fix-to-candidate distance among the targets
    std::vector<double> shift;      // per fix in the lattice: what was taken off its costs to keep them small
    std::vector<int32_t> chosenOf;  // per fix: chosen candidate or -1
    std::vector<uint8_t> skippedFix;
    std::vector<uint8_t> suspect;    // per fix in the lattice: reached only at more than an outlier's cost
    std::vector<int> recent;         // the fixes in the lattice of the current piece, the last few seconds
    std::vector<double> bias;        // per candidate: what it costs beyond its distance (the course)
    std::vector<int32_t> standFrom;  // per fix: see standingSince

    void findCandidates(const Route& route);
    void weighCourses(const Route& route, int t);
    void findStands(const Route& route);
    double emission(uint32_t j) const { return emissionCost(cands[j].distance) + bias[j]; }
    double estimateNoise() const;
    bool advance(const Route& route, int prev, int before, int t);
    bool relax(const Route& route, int from, int t, double extra, double stepScale);
    bool stepOverRun(const Route& route, int prev, int t);
    bool widen(const Route& route, int t);
    void startPiece(int t);
    void backtrack(int end);
    void decode(const Route& route);
    bool nearPrevious(const Route& route, int prev, int t) const;
    double bound(const Route& route, int prev, int t) const;
};

}  // namespace MapMatching
