#include "nmea_writer.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace karvel_test {

namespace {

std::string withChecksum(const std::string& body) {
    unsigned char sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail + "\r\n";
}

// ddmm.mmmm / dddmm.mmmm with the hemisphere letter.
std::string coordinate(double value, bool latitude) {
    const double a = std::fabs(value);
    const int degrees = static_cast<int>(a);
    const double minutes = (a - degrees) * 60.0;
    char buf[32];
    const char hemisphere = latitude ? (value < 0 ? 'S' : 'N') : (value < 0 ? 'W' : 'E');
    std::snprintf(buf, sizeof buf, "%0*d%07.4f,%c", latitude ? 2 : 3, degrees, minutes, hemisphere);
    return buf;
}

}  // namespace

std::string nmeaLog(const std::vector<Fix>& fixes, int secondsBetween, long startSecond) {
    std::string out;
    for (size_t i = 0; i < fixes.size(); ++i) {
        const long t = startSecond + static_cast<long>(i) * secondsBetween;
        char time[16];
        std::snprintf(time, sizeof time, "%02ld%02ld%02ld.00", (t / 3600) % 24, (t / 60) % 60, t % 60);
        const Fix& f = fixes[i];
        char rest[64];
        std::snprintf(rest, sizeof rest, "%.1f,%.1f,010620,,", f.speedKnots, f.courseDeg);
        out += withChecksum("GPRMC," + std::string(time) + ",A," + coordinate(f.lat, true) + "," +
                            coordinate(f.lon, false) + "," + rest);
        out += withChecksum("GPGGA," + std::string(time) + "," + coordinate(f.lat, true) + "," +
                            coordinate(f.lon, false) + ",1,08,0.9,100.0,M,50.0,M,,");
    }
    return out;
}

std::vector<Fix> fixesAlong(double lat0, double lon0, double lat1, double lon1, int count) {
    std::vector<Fix> fixes;
    for (int i = 0; i < count; ++i) {
        const double t = count == 1 ? 0.0 : static_cast<double>(i) / (count - 1);
        fixes.push_back({lat0 + (lat1 - lat0) * t, lon0 + (lon1 - lon0) * t});
    }
    return fixes;
}

std::string nmeaAlong(double lat0, double lon0, double lat1, double lon1, int count) {
    return nmeaLog(fixesAlong(lat0, lon0, lat1, lon1, count));
}

}  // namespace karvel_test
