#include "traces/trace_loader.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "traces/GPXLoader.h"
#include "traces/nmea_fix_reader.h"

bool isGpxFile(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string extension = path.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".gpx";
}

Route loadRoute(const std::string& path, std::ostream& log, std::string* whyEmpty) {
    if (isGpxFile(path)) {
        Route route = loadGpxRoute(path, log);
        if (whyEmpty != nullptr)
            *whyEmpty = route.nodes.empty() ? "it holds no track point with a valid position" : "";
        return route;
    }
    traces::FixReading reading = traces::readNmeaFixes(path, log);
    if (whyEmpty != nullptr) *whyEmpty = traces::whyNoFix(reading);
    return std::move(reading.route);
}
