// Importing the drivable road network of an OpenStreetMap file (.osm, .osm.gz, .osm.bz2, .osm.pbf)
// into a road map. The map file itself is always written by mapRepresentation::Map::saveMap, so the
// importer and the loader share one format by construction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "map/link_table.h"
#include "map/maps.h"

namespace osmImport {

// A box in decimal degrees; edges belong to the box.
struct BoundingBox {
    double minLon = 0.0;
    double minLat = 0.0;
    double maxLon = 0.0;
    double maxLat = 0.0;

    bool contains(double lat, double lon) const {
        return lat >= minLat && lat <= maxLat && lon >= minLon && lon <= maxLon;
    }
};

// Parses "minlon,minlat,maxlon,maxlat" (the order osmium and most OSM tools use). False on anything
// else: wrong count, non-numbers, coordinates out of range, or min > max.
bool parseBoundingBox(const std::string& text, BoundingBox& box);

struct ImportOptions {
    bool keepService = true;            // highway=service roads
    bool keepPrivate = false;           // roads whose car access is private
    std::optional<BoundingBox> bbox{};  // keep only the parts of roads whose nodes lie inside
    // Progress lines go here when the input file has at least progressMinBytes; null for none.
    std::ostream* progress = nullptr;
    uint64_t progressMinBytes = 32u << 20;
    bool progressInPlace = false;  // rewrite one line with '\r' (for a terminal) instead of new lines
};

// What the import read, kept and skipped.
struct ImportSummary {
    uint64_t osmWays = 0;   // ways in the file
    uint64_t roadWays = 0;  // ways accepted by the road filter
    uint64_t waysKept = 0;  // road ways that gave at least one link
    uint64_t osmNodes = 0;  // nodes in the file
    uint64_t mapNodes = 0;
    uint64_t links = 0;
    uint64_t missingNodeRefs = 0;  // way node references to nodes absent from the file
    uint64_t waysWithMissingNodes = 0;
    uint64_t outsideBoxRefs = 0;       // way node references outside the bounding box
    uint64_t repeatedNodes = 0;        // a way naming the same node twice in a row
    uint64_t zeroLengthSegments = 0;   // consecutive distinct nodes at one position
    uint64_t sharedPositionNodes = 0;  // OSM nodes merged into a map node at the same position
    uint64_t repeatedLinks = 0;        // a link already given by another way (overlapping ways)
    uint64_t isolatedRings = 0;        // closed rings no other road reaches (see importOsm)
    uint64_t isolatedRingLinks = 0;
    double readSeconds = 0.0;   // the pass over the file (libosmium decoding and filtering)
    double buildSeconds = 0.0;  // linking the roads and filling the Map
    double saveSeconds = 0.0;   // writing the map file (set by the caller that saves)
};

struct ImportResult {
    bool ok = false;
    std::string error;  // one line, without the "ERROR: " prefix
    ImportSummary summary;
    // (map node id, OSM node id) for every OSM node behind a map node, in ascending map id, then OSM id.
    // A map node has more than one OSM node when distinct OSM nodes share one position.
    std::vector<std::pair<uint32_t, int64_t>> nodeIds;
    // The OSM way, end nodes and road attributes of every link.
    mapRepresentation::LinkTable links;
};

// Reads `path` and adds its car roads to `map`, which must be empty. Links get their ids way by way in
// file order, segment by segment (both directions of a two-way segment together); map node ids are
// 1, 2, ... in the order the links first reach the nodes, so neighbours along a road get close ids.
// Speed and samples of every link are 0: an imported road has no observations yet. A connected
// piece whose nodes all have one link in and one out (a closed ring no other road reaches) is left
// out: nothing can drive onto it, and the map could only anchor it at a non-junction node. Never throws: a
// failure of the reader (missing file, unknown format, corrupt data) gives ok = false and leaves `map` empty.
ImportResult importOsm(const std::string& path, const ImportOptions& options, mapRepresentation::Map& map);

struct RoadNetwork;

// An import in two steps, for the files karvel-osm2map writes. read() takes the road network out of
// the file into compact arrays; write() streams the map file and its link table from them. The
// editable map is never built, so a country imports in a fraction of the memory that map would take;
// the files are byte for byte what importOsm followed by Map::saveMap and LinkTable::write give.
class RoadImport {
public:
    RoadImport();
    ~RoadImport();
    // False, with error() set, when the file cannot be read (as importOsm).
    bool read(const std::string& path, const ImportOptions& options);
    const ImportSummary& summary() const { return summary_; }
    ImportSummary& summary() { return summary_; }
    const std::string& error() const { return error_; }
    // The map file at `target` and its link table beside it: neither replaces its file unless both
    // could be written. False, with ERROR lines on `messages`, on failure. After a successful read.
    bool write(const std::string& target, std::ostream& messages) const;
    // The node id table (see writeNodeIdTable). After a successful read.
    bool writeNodeIds(const std::string& path) const;
    // The compact form beside the map file write() wrote (see writeCompactBeside), made from the
    // import's arrays, which go on the way: nothing else can be written after it.
    bool writeCompact(const std::string& target, std::string& why);

private:
    std::unique_ptr<RoadNetwork> network;
    ImportSummary summary_;
    std::string error_;
};

// Writes the node id table as CSV ("map_id,osm_node_id" header, one pair a line), replacing `path`
// only when complete. False when it cannot be written.
bool writeNodeIdTable(const std::string& path, const std::vector<std::pair<uint32_t, int64_t>>& nodeIds);

// The few-line summary printed after an import; `totalSeconds` is the whole run.
std::string formatSummary(const std::string& input, const ImportSummary& summary, double totalSeconds);

}  // namespace osmImport
