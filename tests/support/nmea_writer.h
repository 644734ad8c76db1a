// Writes small NMEA logs for tests: one RMC and one GGA sentence per fix.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace karvel_test {

struct Fix {
    double lat;
    double lon;
    double speedKnots = 10.0;
    double courseDeg = 0.0;
};

// One epoch per fix, `secondsBetween` apart from `startSecond` of 1 June 2020 (12:00:00 unless
// given), with valid status.
std::string nmeaLog(const std::vector<Fix>& fixes, int secondsBetween = 1, long startSecond = 12L * 3600);

// Fixes along the straight line from (lat0, lon0) to (lat1, lon1), both ends included.
std::vector<Fix> fixesAlong(double lat0, double lon0, double lat1, double lon1, int count);

// A log of `count` fixes along the straight line from (lat0, lon0) to (lat1, lon1).
std::string nmeaAlong(double lat0, double lon0, double lat1, double lon1, int count);

}  // namespace karvel_test
