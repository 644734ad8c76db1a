// The placement of a trace's fixes on the drive the lattice decided: per piece, the links driven from
// its first chosen candidate to its last (those crossed between fixes included), each fix's position
// along them smoothed over time, and one Path per piece with the fixes on the link their position
// falls on. A fix farther than the radius from that link is not matched.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "map/road_graph.h"
#include "map/route_distance.h"
#include "matching/hmm_lattice.h"
#include "matching/hmm_params.h"
#include "matching/hmm_track_smoother.h"
#include "traces/path.h"
#include "traces/route.h"

namespace MapMatching {

class HmmPlacement {
public:
    HmmPlacement(const mapRepresentation::RoadGraph& graph, const HmmParams& params,
                 mapRepresentation::RouteSearch& search);

    // Places the fixes of `route` by the sequence `lattice` decoded on it.
    void run(const Route& route, const HmmLattice& lattice);

    const std::vector<std::unique_ptr<Path>>& matched() const { return paths; }
    // The same without the links crossed between fixes.
    const std::vector<std::unique_ptr<Path>>& shortMatched() const { return shortPaths; }
    // Per path: the links driven, each once per pass, in order.
    const std::vector<std::vector<int>>& drivenRoutes() const { return routes; }
    // Per fix: its link id (-1 unmatched) and where on the link it was placed.
    const std::vector<int>& matchedLinks() const { return linkOfFix; }
    const std::vector<Point>& matchedPoints() const { return pointOfFix; }

private:
    const mapRepresentation::RoadGraph& graph;
    HmmParams params;
    mapRepresentation::RouteSearch& search;
    const HmmLattice* lattice = nullptr;  // of the run in progress

    // The drive of one piece: its links in order, where each starts along it (metres), and per fix
    // the drive link of its chosen candidate and its measured then smoothed position along the drive.
    std::vector<uint32_t> drive;
    std::vector<double> driveStart;
    std::vector<uint32_t> between;
    std::vector<uint32_t> targets;
    std::vector<uint32_t> anchor;
    std::vector<double> along;
    std::vector<double> seconds;
    std::vector<uint32_t> placed;  // per fix of the piece being emitted: its drive link
    std::vector<uint8_t> close;    // and whether it lies within the radius of that link
    std::vector<double> held;      // the positions of one stand
    TrackSmoother smoother;

    std::vector<int> linkOfFix;
    std::vector<Point> pointOfFix;
    std::vector<std::unique_ptr<Path>> paths;
    std::vector<std::unique_ptr<Path>> shortPaths;
    std::vector<std::vector<int>> routes;

    void assembleDrive(int from, int end);
    void trimDrive(int from, int end, int lastFix);
    void measureAlong(const Route& route, int from, int end);
    double nearestAlong(Point q, uint32_t lo, uint32_t hi) const;
    void smoothAlong(const Route& route, int from, int end);
    void holdStands(int from, int end, bool beforeJunction);
    void emitPiece(const Route& route, int from, int end);
};

}  // namespace MapMatching
