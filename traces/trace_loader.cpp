#include "traces/trace_loader.h"

#include <algorithm>
#include <cctype>
#include <ostream>
#include <sstream>

#include "traces/GPXLoader.h"
#include "traces/input_file.h"
#include "traces/nmea_fix_reader.h"

namespace traces {

namespace {

// Whether the path names a GPX log (extension ".gpx", any case).
bool isGpxFile(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string extension = path.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".gpx";
}

}  // namespace

Route loadRoute(const std::string& path, std::ostream& log, bool* refused, std::string* whyEmpty) {
    bool gpxRefused = false;
    if (isGpxFile(path)) {
        Route route = loadGpxRoute(path, log, &gpxRefused);
        if (refused != nullptr) *refused = gpxRefused;
        if (whyEmpty != nullptr)
            *whyEmpty = route.nodes.empty() ? "it holds no track point with a valid position" : "";
        return route;
    }
    // The NMEA reader would read a FIFO forever and take an unreadable file for an empty drive.
    if (const std::string why = inputFile::unreadable(path); !why.empty()) {
        log << "ERROR: " << path << ": cannot be read: " << why << "\n";
        if (refused != nullptr) *refused = true;
        if (whyEmpty != nullptr) *whyEmpty = "it cannot be read";
        Route route;
        route.setOriginalFilename(path, true);
        return route;
    }
    if (refused != nullptr) *refused = false;
    traces::FixReading reading = traces::readNmeaFixes(path, log);
    if (whyEmpty != nullptr) *whyEmpty = traces::whyNoFix(reading);
    return std::move(reading.route);
}

Route loadRouteErrorsOnly(const std::string& path, std::ostream& log, bool* refused, std::string* whyEmpty) {
    std::ostringstream messages;
    Route route = loadRoute(path, messages, refused, whyEmpty);
    std::istringstream lines(messages.str());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("ERROR: ", 0) == 0) log << line << "\n";
    return route;
}

}  // namespace traces
