// Fuzz target: one GPX log through the loader. Whatever the file holds, the loader says at most one
// line, an "ERROR: " line that comes with an empty route (file text in it must not start report lines of
// its own), and every point it keeps carries a real position and finite planar coordinates.
#include <cmath>
#include <sstream>

#include "fuzz/fuzz_support.h"
#include "traces/trace_loader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    karvel_fuzz::quietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = karvel_fuzz::scratchDir() + "/trace.gpx";
    karvel_fuzz::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
    std::ostringstream log;
    bool refused = false;
    const Route route = traces::loadRoute(path, log, &refused);
    const std::string said = log.str();
    if (route.name != "trace") karvel_fuzz::fail("route name " + route.name);
    if (refused) karvel_fuzz::fail("a regular file taken for unreadable: " + said);
    if (!said.empty() && (said.rfind("ERROR: " + path + ":", 0) != 0 || said.find('\n') != said.size() - 1))
        karvel_fuzz::fail("not one ERROR line: " + said);
    if (!said.empty() && !route.nodes.empty()) karvel_fuzz::fail("a refused file left points");
    for (const _node& n : route.nodes) {
        if (!(std::fabs(n.position.lat) <= 90.0 && std::fabs(n.position.lon) <= 180.0))
            karvel_fuzz::fail("point outside the globe");
        if (!std::isfinite(n.easting) || !std::isfinite(n.northing) || !std::isfinite(n.speed))
            karvel_fuzz::fail("planar point or speed not finite");
    }
    return 0;
}
