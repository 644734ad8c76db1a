// The KML document of one matched drive: the trace, the drive as one line per matched piece, a short
// line from every matched fix to where it was matched, and the links the drive uses (not the whole
// map, which can be far larger than the drive).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "geometry/geometry.h"
#include "map/compact_map.h"
#include "traces/path.h"
#include "traces/route.h"

namespace kmlMatch {

struct DriveMatch {
    std::vector<std::unique_ptr<Path>> pieces;  // every pair, crossed links included
    std::vector<int> links;                     // per fix: its link, -1 unmatched
    std::vector<Point> points;                  // per fix: where on its link (UTM of the fix's zone)
};

// Writes the document atomically; false when it could not be written.
bool writeDriveKml(const std::string& path, const mapRepresentation::CompactMap& map, const Route& route,
                   const DriveMatch& drive);

}  // namespace kmlMatch
