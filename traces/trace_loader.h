// One entry point for every trace format the matching programs read.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "traces/route.h"

namespace traces {

// The extensions of the trace files the everyday programs take from a folder.
inline const std::vector<std::string> kTraceFileExtensions{".txt", ".gpx", ".nmea", ".log"};

// A GPX log for a ".gpx" path, an NMEA 0183 log (".txt", ".nmea", ".log", ...) otherwise, read with
// every fix that has a valid position and time (traces/nmea_fix_reader.h); the loader's messages go
// to `log`. A file that cannot be read (missing, no permission, not a regular file) or that the GPX
// loader refuses for its content gives the line alone. With whyEmpty, it gets
// why the route is empty ("" when it is not).
Route loadRoute(const std::string& path, std::ostream& log, bool* refused = nullptr,
                std::string* whyEmpty = nullptr);

// The same with only the "ERROR: " lines passed on to `log`: the loaders' progress lines are noise
// where the route is only a means.
Route loadRouteErrorsOnly(const std::string& path, std::ostream& log, bool* refused = nullptr,
                          std::string* whyEmpty = nullptr);

}  // namespace traces
