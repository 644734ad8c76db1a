#include "tools/sim/nmea_sentences.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace traceSim {

namespace {

constexpr double kKnotsPerMetrePerSecond = 1.0 / 0.5144444444444444;
constexpr int64_t kCentisecondsPerDay = 8640000;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

int64_t centiseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return 0;
    return std::llround(seconds * 100.0);
}

std::string sentence(const std::string& body) {
    return "$" + body + nmeaChecksum(body) + "\r\n";
}

// Degrees to NMEA degrees and minutes with five decimals of a minute; rounding happens on the
// whole number of 1e-5 minutes, so 59.999996' never prints as 60.00000'.
std::string nmeaAngle(double value, int degreeDigits, char positive, char negative) {
    if (!std::isfinite(value)) value = 0.0;
    const int64_t units = std::llround(std::fabs(value) * 60.0 * 1e5);
    const int64_t degrees = units / 6000000;
    const int64_t minuteUnits = units % 6000000;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%0*lld%02lld.%05lld,%c", degreeDigits, static_cast<long long>(degrees),
                  static_cast<long long>(minuteUnits / 100000), static_cast<long long>(minuteUnits % 100000),
                  value < 0 ? negative : positive);
    return buf;
}

std::string fixed(double v, int decimals) {
    if (!std::isfinite(v)) v = 0.0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string twoDigits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

std::string threeDigits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03d", v);
    return buf;
}

}  // namespace

std::string nmeaChecksum(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char buf[8];
    std::snprintf(buf, sizeof buf, "*%02X", sum & 0xFFu);
    return buf;
}

std::string nmeaLatitude(double lat) {
    return nmeaAngle(lat, 2, 'N', 'S');
}
std::string nmeaLongitude(double lon) {
    return nmeaAngle(lon, 3, 'E', 'W');
}

std::string nmeaDateField(const NmeaDate& date, double seconds) {
    const int64_t days =
        daysFromCivil(date.year, date.month, date.day) + centiseconds(seconds) / kCentisecondsPerDay;
    int y = 0, m = 0, d = 0;
    civilFromDays(days, y, m, d);
    return twoDigits(d) + twoDigits(m) + twoDigits(((y % 100) + 100) % 100);
}

std::string nmeaTimeField(double seconds) {
    const int64_t cs = centiseconds(seconds) % kCentisecondsPerDay;
    const int64_t s = cs / 100;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02lld%02lld%02lld.%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60),
                  static_cast<long long>(cs % 100));
    return buf;
}

std::vector<int> usedSatellites(const std::vector<Satellite>& satellites) {
    std::vector<int> used;
    for (const Satellite& s : satellites)
        if (s.elevation >= 10 && used.size() < 12) used.push_back(s.prn);
    return used;
}

std::string nmeaEpoch(const NmeaDate& date, const Epoch& e) {
    const std::string time = nmeaTimeField(e.seconds);
    const std::string position = nmeaLatitude(e.lat) + "," + nmeaLongitude(e.lon);
    double course = std::fmod(e.course, 360.0);
    if (!std::isfinite(course)) course = 0.0;
    if (course < 0) course += 360.0;
    const double hdop = std::isfinite(e.hdop) && e.hdop > 0 ? e.hdop : 1.0;
    const std::vector<int> used = usedSatellites(e.satellites);
    const int inUse = e.satellites.empty() ? 8 : static_cast<int>(used.size());

    std::string out;
    out += sentence("GPRMC," + time + ",A," + position + "," +
                    fixed(std::max(0.0, e.speed) * kKnotsPerMetrePerSecond, 1) + "," + fixed(course, 1) +
                    "," + nmeaDateField(date, e.seconds) + ",,,A");
    out += sentence("GPGGA," + time + "," + position + ",1," + twoDigits(inUse) + "," + fixed(hdop, 1) +
                    ",52.0,M,47.0,M,,");
    if (!e.satellites.empty()) {
        const int count = static_cast<int>(e.satellites.size());
        const int messages = (count + 3) / 4;
        for (int m = 0; m < messages; ++m) {
            std::string body =
                "GPGSV," + std::to_string(messages) + "," + std::to_string(m + 1) + "," + twoDigits(count);
            for (int i = m * 4; i < count && i < m * 4 + 4; ++i) {
                const Satellite& s = e.satellites[i];
                body += "," + twoDigits(s.prn) + "," + twoDigits(s.elevation) + "," + threeDigits(s.azimuth) +
                        "," + twoDigits(s.snr);
            }
            out += sentence(body);
        }
        std::string body = "GPGSA,A,3";
        for (int i = 0; i < 12; ++i)
            body += "," + (i < static_cast<int>(used.size()) ? twoDigits(used[i]) : std::string());
        body += "," + fixed(hdop * 1.6, 1) + "," + fixed(hdop, 1) + "," + fixed(hdop * 1.3, 1);
        out += sentence(body);
    }
    return out;
}

}  // namespace traceSim
