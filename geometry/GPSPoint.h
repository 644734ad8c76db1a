#pragma once

// WGS84 <-> UTM conversion with truncated series (forward: coefficients K1..K5 with fixed,
// rounded arc coefficients; inverse: through the footpoint latitude). Measured against an exact
// transverse Mercator: forward within 8 cm on the central meridian and 23 cm at zone edges;
// inverse within half a millimetre. Zones have no Norway/Svalbard exceptions and no polar UPS.

#include <cstdint>
#include <numbers>
#include <string>

#include "geometry/ellipsoid.h"

// UTM latitude bands. The tables are fixed, so building a LatZones costs nothing.
class LatZones {
public:
    static constexpr int bandCount = 22;
    static constexpr char bandLetters[bandCount] = {'A', 'C', 'D', 'E', 'F', 'G', 'H', 'J', 'K', 'L', 'M',
                                                    'N', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Z'};
    static constexpr int bandDegrees[bandCount] = {-90, -84, -72, -64, -56, -48, -40, -32, -24, -16, -8,
                                                   0,   8,   16,  24,  32,  40,  48,  56,  64,  72,  84};
    static constexpr char southLetters[11] = {'A', 'C', 'D', 'E', 'F', 'G', 'H', 'J', 'K', 'L', 'M'};
    static constexpr int southDegrees[11] = {-90, -84, -72, -64, -56, -48, -40, -32, -24, -16, -8};
    static constexpr char northLetters[11] = {'N', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Z'};
    static constexpr int northDegrees[11] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 84};

    LatZones() = default;

    // Band letter of a latitude, from its integer part truncated toward zero (-8.5 -> 'M');
    // every negative latitude gets a southern letter (-0.5 -> 'M').
    char getLatZone(double latitude) const;
    // Southern edge in degrees of the band named by the first character; -100 when that is not
    // a band letter or the text is empty.
    int getLatZoneDegree(const std::string& letter) const;
};

class GPSPoint {
public:
    // Conversion results.
    double latitude = 0;
    double longitude = 0;
    double northing = 0;
    double easting = 0;
    int32_t zone = 0;
    char latZone = 0;

    // Ellipsoid and projection constants (WGS84).
    double a = wgs84::kEquatorialRadius;
    double b = wgs84::kPolarRadius;
    double k0 = wgs84::kUtmScaleFactor;
    double e = 0;             // eccentricity, sqrt(1 - (b/a)^2)
    double e1sq = 0;          // second eccentricity squared, e^2 / (1 - e^2)
    double A0 = 6367449.146;  // meridional arc coefficients
    double B0 = 16038.42955;
    double C0 = 16.83261333;
    double D0 = 0.021984404;
    double E0 = 0.000312705;
    double sin1 = 4.84814e-06;  // sine of one second of arc

    // Working quantities of the forward series (setVariablesWGS).
    double phi = 0;  // latitude in radians
    double nu = 0;   // radius of curvature in the prime vertical
    double p = 0;    // longitude offset from the central meridian, in 10000 seconds of arc
    double S = 0;    // meridional arc
    double K1 = 0, K2 = 0, K3 = 0, K4 = 0, K5 = 0;

    // Working quantities of the inverse series (setVariablesUTM).
    double arc = 0;  // meridional arc M
    double mu = 0;
    double e1 = 0;
    double J1 = 0, J2 = 0, J3 = 0, J4 = 0;
    double phi1 = 0;  // footpoint latitude
    double N1 = 0, R1 = 0;
    double F1 = 0, F2 = 0, F3 = 0, F4 = 0;
    double A = 0, D = 0;
    double T = 0, Q = 0;
    double L1 = 0, L2 = 0, L3 = 0;

    GPSPoint();

    // Fills easting, northing, zone and latZone (not latitude and longitude).
    static GPSPoint convertWGS84ToUTM(double latitude, double longitude);
    // Fills latitude and longitude. Letters 'A'..'M' mean the southern hemisphere.
    static GPSPoint convertUTMToWGS84(double easting, double northing, int zone, char letter);

    static int32_t getZone(double longitude);
    static char getLatZone(double latitude);
    static char getHemisphere(char letter);

    void setVariablesWGS(double latitude, double longitude);
    void setVariablesUTM(double easting, double northing);
    double getEasting() const;
    double getNorthing(double latitude) const;

    static double degreeToRadian(double d) { return std::numbers::pi * d / 180.0; }
    static double radianToDegree(double r) { return 180.0 * r / std::numbers::pi; }
};
