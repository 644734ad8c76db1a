// The core of the library that both of its clients share, the public interface (api/karvel.h) and
// karvel-match: a map loaded once with everything matching needs, and the matching of one route on it.
// Keeping it in one place means the programs and the library cannot disagree on a result.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "app/batch.h"
#include "app/map_area.h"
#include "kml/drive_kml.h"
#include "map/compact_map.h"
#include "map/link_graph.h"
#include "map/link_table.h"
#include "map/road_graph.h"
#include "matching/hmm_params.h"
#include "traces/route.h"

namespace karvel {

// What matching one route gives: the records every result writer reads, and the rest karvel-match
// reports on.
struct RouteMatch {
    matchApp::TraceMatch result;
    int fixesNearRoads = 0;                     // fixes with a link within the radius
    double sigma = 0.0;                         // the noise the matcher used
    std::optional<kmlMatch::DriveMatch> drive;  // when asked for: what the drive KML shows
};

class MatchEngine {
public:
    // How loading went. A map read only in part is still usable (karvel-match matches on it and
    // fails its run); `error` then holds the first of the loader's ERROR lines, without "ERROR: ".
    struct Loading {
        std::shared_ptr<const MatchEngine> engine;  // null when the file could not be read at all
        bool complete = false;
        std::string error;
        std::string note;  // why the compact form beside the map was not used or not saved, if so
    };

    // The one way a map comes in: the map file at `path`, with its link table beside it when there
    // is one. The loader's messages go to `log`. A table that cannot be read leaves the links
    // without attributes (ResultWriter::useLinkTableBeside says so where results are written).
    static Loading load(const std::string& path, std::ostream& log);

    const mapRepresentation::CompactMap& map() const { return map_; }
    const mapRepresentation::RoadGraph& roadGraph() const { return graph_; }
    // Built at its first use: karvel-match's writers keep their own, and on a country it costs
    // memory per link that the compact map otherwise saves.
    const mapRepresentation::LinkGraph& linkGraph() const;
    const mapRepresentation::LinkTable& linkTable() const { return table_; }
    const matchApp::MapArea& area() const { return area_; }

    // Matches a route already in the map's plane frame. Safe from any number of threads at once:
    // each thread keeps a matcher of its own, reused while the map and the parameters stay the same.
    RouteMatch match(const Route& route, const MapMatching::HmmParams& params, bool wantDrive = false) const;

    // Why a route none of whose fixes lies near a road is not matched ("" when some fix does): the
    // trace and the map do not meet. karvel-match fails its run with this as an ERROR line.
    std::string offTheMap(const Route& route, const RouteMatch& match, double radius) const;

    MatchEngine(mapRepresentation::CompactMap map, mapRepresentation::LinkTable table);

private:
    mapRepresentation::CompactMap map_;
    mapRepresentation::RoadGraph graph_;
    mutable std::once_flag linkGraphBuilt_;
    mutable mapRepresentation::LinkGraph linkGraph_;
    mapRepresentation::LinkTable table_;
    matchApp::MapArea area_;
    uint64_t serial_;  // tells the matchers of different engines apart, even at one address
};

}  // namespace karvel
