#include "app/random_seed.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "matching/matching_genetic.h"

std::optional<unsigned> matchApp::parseRandomSeed(const char* text) {
    if (text == nullptr) return std::nullopt;
    const char* end = text + std::strlen(text);
    unsigned seed = 0;
    // from_chars takes no sign, no blanks and no trailing words, and refuses values past the range.
    const auto [stop, error] = std::from_chars(text, end, seed);
    if (error != std::errc() || stop != end || stop == text) return std::nullopt;
    return seed;
}

void matchApp::seedFromEnvironment(std::ostream& out) {
    const char* text = std::getenv("KARVEL_SEED");
    if (text == nullptr) return;
    const std::optional<unsigned> seed = matchApp::parseRandomSeed(text);
    if (!seed) {
        out << "ERROR: KARVEL_SEED is not an integer from 0 to 4294967295 (\"" << text
            << "\"); the clock seeds the genetic stage.\n";
        return;
    }
    MapMatching::setFixedRandomSeed(*seed);
}
