// One entry point for every trace format the matching programs read.
#pragma once

#include <iosfwd>
#include <string>

#include "traces/route.h"

// Whether the path names a GPX log (extension ".gpx", any case).
bool isGpxFile(const std::string& path);

// A GPX log for a ".gpx" path, an NMEA 0183 log otherwise; the loader's messages go to `log`.
Route loadRoute(const std::string& path, std::ostream& log);
