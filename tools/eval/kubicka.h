// The map-matching benchmark of Kubicka et al. (IEEE IV 2015): per track a road network (.nodes:
// "lon lat", .arcs: "from to", directed, 0-based), the GPS track (.track: "lon lat t") and the
// hand-checked route (.route: arc ids in driving order, sometimes with breaks).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "map/link_graph.h"
#include "tools/sim/ground_truth.h"

namespace matchEval {

using mapRepresentation::LinkGraph;

struct KubickaFix {
    double lon = 0.0;
    double lat = 0.0;
    double t = 0.0;  // seconds, relative
};

struct KubickaTrack {
    std::string name;
    std::vector<std::pair<double, double>> nodes;     // (lon, lat)
    std::vector<std::pair<uint32_t, uint32_t>> arcs;  // 0-based node ids
    std::vector<KubickaFix> track;
    std::vector<int> route;  // 0-based arc ids
};

// Reads NAME.nodes, NAME.arcs, NAME.track and NAME.route from `dir`; NAME is the stem of the one
// .track file in the folder (or the folder's own name). Every id is checked against what it names.
bool loadKubickaTrack(const std::string& dir, KubickaTrack& track, std::string& error);

// Arc i becomes link i + 1 (the id it gets when the map file written below is loaded); node j
// becomes node j + 1. Lengths are computed as the map computes them.
LinkGraph kubickaGraph(const KubickaTrack& track);
// The route as link ids and the number of fixes; no per-fix truth.
traceSim::GroundTruth kubickaTruth(const KubickaTrack& track);
// The track as an NMEA log: one epoch per fix at midnight + t of a fixed date, speed and course
// from the neighbouring fixes.
std::string kubickaNmea(const KubickaTrack& track);
// The network as a karvel map file.
std::string kubickaMapFile(const KubickaTrack& track);

// Writes a working folder for karvel: data/map.txt, data/nmea/NAME.txt and data/truth/NAME.truth.
bool prepareKubickaWorkdir(const KubickaTrack& track, const std::string& workDir, std::string& error);

}  // namespace matchEval
