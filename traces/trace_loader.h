// One entry point for every trace format the matching programs read.
#pragma once

#include <iosfwd>
#include <string>

#include "traces/route.h"

// Whether the path names a GPX log (extension ".gpx", any case).
bool isGpxFile(const std::string& path);

// A GPX log for a ".gpx" path, an NMEA 0183 log otherwise; the loader's messages go to `log`. A file
// that cannot be read (missing, no permission, not a regular file) gives an "ERROR: " line, an empty
// route and sets *refused; a GPX file the loader refuses for its content gives the line alone.
Route loadRoute(const std::string& path, std::ostream& log, bool* refused = nullptr);

// The same with only the "ERROR: " lines passed on to `log`: the loaders' progress lines are noise
// where the route is only a means.
Route loadRouteErrorsOnly(const std::string& path, std::ostream& log, bool* refused = nullptr);
