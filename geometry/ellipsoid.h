// The WGS84 ellipsoid and the UTM scale, defined once for every conversion, bound and simulation.
#pragma once

namespace wgs84 {

// Semi-major axis a (equatorial radius), metres.
inline constexpr double kEquatorialRadius = 6378137.0;
// Semi-minor axis b (polar radius), metres, rounded to the millimetre as the UTM series take it.
inline constexpr double kPolarRadius = 6356752.314;
// First eccentricity squared of the defining flattening (not recomputed from the rounded b).
inline constexpr double kEccentricitySquared = 0.00669437999014;
// The smallest meridional radius of curvature, a (1 - e^2) at the equator, rounded down so that
// distance bounds built on it stay safe.
inline constexpr double kMinMeridionalRadius = 6335439.0;
// Mean radius of the Earth, (2a + b) / 3, metres: the sphere for distances too long for a plane.
inline constexpr double kMeanRadius = 6371008.8;
// UTM scale factor on the central meridian (k0).
inline constexpr double kUtmScaleFactor = 0.9996;

}  // namespace wgs84
