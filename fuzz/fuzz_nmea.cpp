// Fuzz target: one NMEA log through the loader. Every point must carry a real position and
// finite planar coordinates, whatever the receiver wrote.
#include <cmath>

#include "fuzz/fuzz_support.h"
#include "traces/NMEALoader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    karvel_fuzz::quietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = karvel_fuzz::scratchDir() + "/trace.txt";
    karvel_fuzz::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
    const NMEALoader loader(path);
    const Route& route = loader.getRoute();
    if (route.name != "trace") karvel_fuzz::fail("route name " + route.name);
    for (const _node& n : route.nodes) {
        if (!(std::fabs(n.position.lat) <= 90.0 && std::fabs(n.position.lon) <= 180.0))
            karvel_fuzz::fail("point outside the globe");
        if (!std::isfinite(n.easting) || !std::isfinite(n.northing))
            karvel_fuzz::fail("planar point not finite");
    }
    return 0;
}
