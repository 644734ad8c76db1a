#include "geometry/GPSPoint.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace {

// Integer part toward zero, saturated to the int32 range (NaN gives 0): converting an
// out-of-range double to int is undefined, and the conversions do not validate their input.
int32_t truncToInt32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Index of the band of k in one half-table: exact match -> that entry; otherwise the entry
// before the first one above k (0 at the start); past the end -> the last entry.
int bandIndex(const int (&degrees)[11], double k) {
    for (int i = 0; i < 11; ++i) {
        if (k == degrees[i]) return i;
        if (k < degrees[i]) return i == 0 ? 0 : i - 1;
    }
    return 10;
}

}  // namespace

char LatZones::getLatZone(double latitude) const {
    // Compared as a double so that no out-of-range conversion can happen.
    const double k = std::trunc(latitude);
    // The half-table follows the sign of the latitude itself, not of its integer part: a latitude
    // in (-1, 0) is southern (the forward conversion adds the false northing), so it must get a
    // southern letter ('M') or the inverse conversion would read it as northern.
    if (latitude < 0) return southLetters[bandIndex(southDegrees, k)];
    return northLetters[bandIndex(northDegrees, k)];
}

int LatZones::getLatZoneDegree(const std::string& letter) const {
    if (letter.empty()) return -100;
    for (int i = 0; i < bandCount; ++i) {
        if (bandLetters[i] == letter[0]) return bandDegrees[i];
    }
    return -100;
}

GPSPoint::GPSPoint() {
    e = std::sqrt(1 - (b / a) * (b / a));
    e1sq = e * e / (1 - e * e);
}

int32_t GPSPoint::getZone(double longitude) {
    if (longitude < 0) return truncToInt32((longitude + 180) / 6 + 1);
    return truncToInt32(longitude / 6 + 31);
}

char GPSPoint::getLatZone(double latitude) {
    return LatZones().getLatZone(latitude);
}

char GPSPoint::getHemisphere(char letter) {
    return (letter >= 'A' && letter <= 'M') ? 'S' : 'N';
}

void GPSPoint::setVariablesWGS(double lat, double lon) {
    phi = degreeToRadian(lat);
    const double sinPhi = std::sin(phi);
    const double cosPhi = std::cos(phi);
    const double tanPhi = std::tan(phi);
    nu = a / std::sqrt(1 - (e * sinPhi) * (e * sinPhi));

    // Zone of the central meridian; kept in double so that absurd longitudes cannot overflow.
    const double z = lon < 0 ? std::trunc((lon + 180) / 6) + 1 : std::trunc(lon / 6) + 31;
    p = (lon - (6 * z - 183)) * 3600 / 10000;

    S = A0 * phi - B0 * std::sin(2 * phi) + C0 * std::sin(4 * phi) - D0 * std::sin(6 * phi) +
        E0 * std::sin(8 * phi);

    const double sin1Sq = sin1 * sin1;
    const double cos2 = cosPhi * cosPhi;
    const double tan2 = tanPhi * tanPhi;
    K1 = S * k0;
    K2 = nu * sinPhi * cosPhi * sin1Sq * k0 * 1e8 / 2;
    K3 = (sin1Sq * sin1Sq * nu * sinPhi * cos2 * cosPhi / 24) *
         (5 - tan2 + 9 * e1sq * cos2 + 4 * e1sq * e1sq * cos2 * cos2) * k0 * 1e16;
    K4 = nu * cosPhi * sin1 * k0 * 10000;
    const double sc = sin1 * cosPhi;
    K5 = sc * sc * sc * (nu / 6) * (1 - tan2 + e1sq * cos2) * k0 * 1e12;
}

double GPSPoint::getEasting() const {
    return K4 * p + K5 * p * p * p + 500000;
}

double GPSPoint::getNorthing(double lat) const {
    const double p2 = p * p;
    double n = K1 + K2 * p2 + K3 * p2 * p2;
    if (lat < 0) n += 10000000;
    return n;
}

GPSPoint GPSPoint::convertWGS84ToUTM(double lat, double lon) {
    GPSPoint g;
    g.setVariablesWGS(lat, lon);
    g.easting = g.getEasting();
    g.northing = g.getNorthing(lat);
    g.zone = getZone(lon);
    g.latZone = getLatZone(lat);
    return g;
}

void GPSPoint::setVariablesUTM(double east, double north) {
    const double e2 = e * e;
    arc = north / k0;
    mu = arc / (a * (1 - e2 / 4 - 3 * e2 * e2 / 64 - 5 * e2 * e2 * e2 / 256));

    const double r = std::sqrt(1 - e2);
    e1 = (1 - r) / (1 + r);
    const double e1_2 = e1 * e1;
    const double e1_3 = e1_2 * e1;
    const double e1_4 = e1_2 * e1_2;
    J1 = 3 * e1 / 2 - 27 * e1_3 / 32;
    J2 = 21 * e1_2 / 16 - 55 * e1_4 / 32;
    J3 = 151 * e1_3 / 96;
    J4 = 1097 * e1_4 / 512;
    phi1 = mu + J1 * std::sin(2 * mu) + J2 * std::sin(4 * mu) + J3 * std::sin(6 * mu) + J4 * std::sin(8 * mu);

    const double sinPhi1 = std::sin(phi1);
    const double cosPhi1 = std::cos(phi1);
    const double tanPhi1 = std::tan(phi1);
    const double w = 1 - (e * sinPhi1) * (e * sinPhi1);
    N1 = a / std::sqrt(w);
    R1 = a * (1 - e2) / (w * std::sqrt(w));
    F1 = N1 * tanPhi1 / R1;

    A = 500000 - east;
    D = A / (N1 * k0);
    const double D2 = D * D;
    const double D3 = D2 * D;
    const double D4 = D2 * D2;
    F2 = D2 / 2;
    T = tanPhi1 * tanPhi1;
    Q = e1sq * cosPhi1 * cosPhi1;
    F3 = (5 + 3 * T + 10 * Q - 4 * Q * Q - 9 * e1sq) * D4 / 24;
    F4 = (61 + 90 * T + 298 * Q + 45 * T * T - 252 * e1sq - 3 * Q * Q) * D4 * D2 / 720;
    L1 = D;
    L2 = (1 + 2 * T + Q) * D3 / 6;
    L3 = (5 - 2 * Q + 28 * T - 3 * Q * Q + 8 * e1sq + 24 * T * T) * D4 * D / 120;
}

GPSPoint GPSPoint::convertUTMToWGS84(double east, double north, int zone, char letter) {
    GPSPoint g;
    const char hemisphere = getHemisphere(letter);
    if (hemisphere == 'S') north = 10000000 - north;
    g.setVariablesUTM(east, north);

    const double deltaLambda = (g.L1 - g.L2 + g.L3) / std::cos(g.phi1) * 180 / std::numbers::pi;
    // The D^4 term enters with a minus sign (the alternating footpoint series). Adding it instead
    // moves latitudes by up to 8 m near zone edges, and averaged map nodes would drift each time.
    double lat = (g.phi1 - g.F1 * (g.F2 - g.F3 + g.F4)) * 180 / std::numbers::pi;
    // In double: 6 * zone can overflow an int for nonsense zones.
    const double centralMeridian = zone > 0 ? 6.0 * zone - 183 : 3.0;
    g.longitude = centralMeridian - deltaLambda;
    if (hemisphere == 'S') lat = -lat;
    g.latitude = lat;
    return g;
}
