// KARVEL_SEED: a fixed seed for the genetic stage, so that two runs (or two builds) on the same input
// can be compared byte for byte. Unset, every population is seeded from the clock.
#pragma once

#include <optional>
#include <ostream>

namespace matchApp {

// The seed named by `text` (a decimal integer from 0 to 4294967295), or nothing.
std::optional<unsigned> parseRandomSeed(const char* text);

// Fixes the genetic stage's seed from KARVEL_SEED when it is set; a value that is not such an integer
// is reported on `out` with one "ERROR: " line and the clock seeds the run instead.
void seedFromEnvironment(std::ostream& out);

}  // namespace matchApp
