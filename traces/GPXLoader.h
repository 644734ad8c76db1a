// Reads a GPX 1.0 or 1.1 track log into a Route: every <trkpt> of every <trk> and <trkseg>, in file
// order, with latitude, longitude and time. Speed and heading come from the file where it has them
// (GPX 1.0 <speed> and <course>) and are derived from the previous point otherwise, as for NMEA logs.
#pragma once

#include <iosfwd>
#include <string>

#include "traces/route.h"

namespace traces {

// A file that cannot be read, is not well-formed XML, is not a GPX document or holds a track point
// that cannot be used gives one "ERROR: <file>:<line>: ..." line on `log` and an empty route (named
// after the file, so a batch can go on and still say which trace it was). Files that would cost
// unbounded time or memory are refused the same way: a DOCTYPE, a compressed file, an overlong tag
// or point value. *refused is set only when the file cannot be read at all (as for NMEA logs).
Route loadGpxRoute(const std::string& file, std::ostream& log, bool* refused = nullptr);

}  // namespace traces
