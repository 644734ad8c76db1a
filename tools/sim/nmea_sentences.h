// NMEA 0183 sentences as a GPS receiver writes them ($GPRMC, $GPGGA, $GPGSA, $GPGSV), for logs made
// from simulated drives and from foreign track formats.
#pragma once

#include <string>
#include <vector>

namespace traceSim {

// A calendar date; fixes carry seconds counted from its midnight (UTC), so they may run into later days.
struct NmeaDate {
    int year = 2020;
    int month = 6;
    int day = 1;
};

struct Satellite {
    int prn = 0;
    int elevation = 0;  // degrees
    int azimuth = 0;    // degrees
    int snr = 0;        // dB-Hz
};

// One receiver epoch.
struct Epoch {
    double seconds = 0.0;  // since midnight of the base date, centisecond precision is written
    double lat = 0.0;      // decimal degrees
    double lon = 0.0;
    double speed = 0.0;   // m/s
    double course = 0.0;  // degrees clockwise from north
    double hdop = 1.0;
    // Satellites in view; those 10 degrees or more above the horizon (at most 12) are used for the fix.
    // Empty: no $GPGSA/$GPGSV is written.
    std::vector<Satellite> satellites;
};

// "*HH": the XOR of every character of the body (the sentence between '$' and '*').
std::string nmeaChecksum(const std::string& body);

// "ddmm.mmmmm,N" and "dddmm.mmmmm,E": five decimals of a minute, about 2 cm.
std::string nmeaLatitude(double lat);
std::string nmeaLongitude(double lon);

// Date and time fields of the moment `seconds` after midnight of `date`: ddmmyy and hhmmss.ss.
std::string nmeaDateField(const NmeaDate& date, double seconds);
std::string nmeaTimeField(double seconds);

// The sentences of one epoch in the order $GPRMC, $GPGGA, $GPGSV..., $GPGSA, each ended by CR LF.
// GSV comes before GSA so that the satellites of a fix are known when its GSA is read.
std::string nmeaEpoch(const NmeaDate& date, const Epoch& epoch);

// Satellites of an epoch that a receiver would use for its fix.
std::vector<int> usedSatellites(const std::vector<Satellite>& satellites);

}  // namespace traceSim
