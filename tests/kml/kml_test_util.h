// Shared fixtures of the KML tests: UTC times, the XML check, and a small hand-made map and trace.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "support/test_support.h"
#include "traces/route.h"

namespace kml_test {

using karvel_test::WorkDir;

// Times in the documents are local; fix the zone so the expected texts hold anywhere.
inline void useUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

inline bool wellFormedXml(const std::string& path) {
    return karvel_test::runCommand("/usr/bin/xmllint --noout '" + path + "' 2>/dev/null").exitCode == 0;
}

// A whole document against its golden file in tests/kml/data.
inline void expectGolden(const std::string& written, const std::string& goldenName) {
    karvel_test::expectGolden(written, "kml/data/" + goldenName);
}

inline _node tracePoint(double lat, double lon, uint32_t time) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
    return _node{time, time, _position{lat, lon}, g.northing, g.easting, 0.0, 0.0, 1.2, 38.5, true};
}

// Three nodes in Porto: 1 -> 2 runs north about 100 m, 2 -> 3 east about 100 m.
inline void buildSmallMap(mapRepresentation::Map& map) {
    map.addNode(1, 41.150000, -8.610000, 30.0, 1.0);
    map.addNode(2, 41.150900, -8.610000, 30.0, 1.0);
    map.addNode(3, 41.150900, -8.608800, 30.0, 1.0);
    map.addLinkToNode(1, 2, 10.5, 3);
    map.addLinkToNode(2, 3, 8.0, 1);
}

// Five points along the map, one second apart, from 2009-02-13 23:31:30 UTC.
inline Route smallRoute(const std::string& name = "abc") {
    Route r;
    r.name = name;
    r.sourceFile = "data/nmea/" + name + ".txt";
    const double at[5][2] = {{41.150100, -8.610050},
                             {41.150500, -8.610040},
                             {41.150950, -8.609900},
                             {41.150920, -8.609300},
                             {41.150930, -8.608900}};
    for (uint32_t i = 0; i < 5; ++i) r.addNode(tracePoint(at[i][0], at[i][1], 1234567890 + i), true);
    return r;
}

}  // namespace kml_test
