#pragma once

// Text keys of geographic positions: "lat,lon" in fixed notation with 9 decimals.

#include <string>

#include "geometry/geometry.h"

std::string toStringKey(double a, double b);
std::string positionToStringKey(const _position& p);
// Reads "lat,lon" back; unreadable fields are left as the stream leaves them, without error.
_position stringKeyToPosition(const std::string& key);
