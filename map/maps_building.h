// Building road maps from recorded drives: the points of a drive worth putting on a map, and folding
// a drive into a map where it runs along roads the map already has.
#pragma once

#include <cstddef>
#include <numbers>

#include "map/maps.h"
#include "traces/route.h"

namespace mapRepresentation {

// Points closer than this (metres) to the previous kept point add nothing but jitter (a standing car).
inline constexpr double kDriveMinSpacing = 2.0;
// A drive's link is folded into a map link only when their headings differ by less than this (radians).
inline constexpr double kDriveMaxHeadingDifference = 45.0 / 180.0 * std::numbers::pi;

// The valid fixes of a drive, spaced out, with unknown signal values set to the map's placeholders
// (SNR 0, HDOP 50, speed 0).
Route usablePoints(const Route& trace);

// Adds the drive to the map as a chain of new links, then folds every run of new links that runs
// along one older link (within `radius` metres, in the same direction) into that link. Returns the
// number of new links merged. The map's messages go to its message stream.
size_t mergeTrace(Map& map, const Route& trace, double radius);

struct DriveOutcome {
    bool used = false;       // the drive had at least two usable points
    bool started = false;    // it was the first drive and became the map
    size_t points = 0;       // usable points
    size_t merged = 0;       // its links folded into older links
    bool noIdsLeft = false;  // refused: its points need more node ids than the map has left
};

// One drive into the map: the first drive of an empty map becomes the map, later ones are merged.
// A drive whose points would run the node ids past kLargestNodeId (they would wrap to 0 and repeat
// ids) leaves the map as it is.
DriveOutcome addDrive(Map& map, const Route& trace, double radius);

}  // namespace mapRepresentation
