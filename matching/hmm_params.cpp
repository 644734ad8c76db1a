#include "matching/hmm_params.h"

#include <algorithm>
#include <sstream>

namespace MapMatching {

namespace {

// The ranges karvel-match's users are told, by option.
struct OptionRange {
    std::string_view option;
    std::string_view range;
};
constexpr OptionRange kOptionRanges[] = {
    {"radius", "metres, 1 to 10000"},
    {"sigma", "metres, 0 to 1000"},
    {"candidates", "1 to 64"},
};

// NaN lies within nothing.
bool within(double value, double low, double high) {
    return value >= low && value <= high;
}

std::string shown(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// A field of the preset that no option sets: its name and the rule it breaks.
std::string badField(std::string_view name, double value, std::string_view rule) {
    return "bad matcher parameter " + std::string(name) + " " + shown(value) + " (" + std::string(rule) + ")";
}

}  // namespace

HmmParams HmmParams::withRadius(double metres) const {
    HmmParams p = *this;
    p.radius = metres;
    p.retryRadius = std::max(kHmmDefaults.retryRadius, 6 * metres);
    p.reachRadius = std::max(kHmmDefaults.reachRadius, 3 * metres);
    return p;
}

std::string HmmParams::refusal(std::string_view option, std::string_view shown) {
    for (const OptionRange& r : kOptionRanges)
        if (r.option == option)
            return "bad --" + std::string(option) + " " + std::string(shown) + " (" + std::string(r.range) +
                   ")";
    return "bad " + std::string(option) + " " + std::string(shown);
}

std::string HmmParams::problem() const {
    if (!within(radius, 1, 10000)) return refusal("radius", shown(radius));
    // 0 leaves the noise to be estimated from each trace.
    if (!within(sigma, 0, 1000)) return refusal("sigma", shown(sigma));
    if (candidates < 1 || candidates > 64) return refusal("candidates", std::to_string(candidates));
    // The wider searches only ever widen.
    if (!within(retryRadius, radius, 1e6)) return badField("retryRadius", retryRadius, "radius to 1000000");
    if (!within(reachRadius, radius, 1e6)) return badField("reachRadius", reachRadius, "radius to 1000000");
    if (!within(sigmaMin, 0.1, 1000)) return badField("sigmaMin", sigmaMin, "0.1 to 1000");
    if (!within(sigmaMax, sigmaMin, 1000)) return badField("sigmaMax", sigmaMax, "sigmaMin to 1000");
    if (!within(beta, 0.01, 1e6)) return badField("beta", beta, "0.01 to 1000000");
    if (!within(maxSpeed, 0.1, 1000)) return badField("maxSpeed", maxSpeed, "0.1 to 1000");
    if (!within(detourFactor, 1, 1000)) return badField("detourFactor", detourFactor, "1 to 1000");
    if (!within(thinningNoise, 0.01, 1e6)) return badField("thinningNoise", thinningNoise, "0.01 to 1000000");
    if (!within(thinningMaxFactor, 1, 1000))
        return badField("thinningMaxFactor", thinningMaxFactor, "1 to 1000");
    // The rest are weights, scales and distances that may be switched off with 0.
    const std::pair<std::string_view, double> nonNegative[] = {
        {"betaPerSecond", betaPerSecond}, {"betaPerSecond2", betaPerSecond2},
        {"shortWeight", shortWeight},     {"detourSlack", detourSlack},
        {"thinning", thinning},           {"backTolerance", backTolerance},
        {"turnBack", turnBack},           {"outlier", outlier},
        {"runSeconds", runSeconds},       {"placeAccel", placeAccel},
        {"standSpeed", standSpeed},       {"courseWeight", courseWeight},
        {"courseSpeed", courseSpeed},
    };
    for (const auto& [name, value] : nonNegative)
        if (!within(value, 0, 1e6)) return badField(name, value, "0 to 1000000");
    return "";
}

}  // namespace MapMatching
