#include "traces/trace_loader.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "traces/GPXLoader.h"
#include "traces/NMEALoader.h"

bool isGpxFile(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string extension = path.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".gpx";
}

Route loadRoute(const std::string& path, std::ostream& log) {
    if (isGpxFile(path)) return loadGpxRoute(path, log);
    NMEALoader loader(path, log);
    return std::move(loader.route);
}
