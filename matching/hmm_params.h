// The parameters of the hidden-Markov matcher, as one named preset. The defaults were tuned on
// simulated drives over real streets and on the Kubicka 2015 benchmark (see docs/ACCURACY.md).
#pragma once

#include <string>
#include <string_view>

namespace MapMatching {

struct HmmParams {
    double radius;       // metres: links within this distance of a fix are its candidates
    double retryRadius;  // metres: a fix without candidates tries once more this far out
    double reachRadius;  // metres: a fix the piece cannot reach tries once more this far out
    int candidates;      // at most this many candidates per fix, the nearest
    double sigma;        // metres: fix noise (emission); 0 = estimate it from each trace
    double sigmaMin;     // bounds of the estimate, metres
    double sigmaMax;
    double beta;           // metres: scale of |route - straight-line| per transition at 1 s
    double betaPerSecond;  // metres added to beta per second between fixes
    // Metres added per second squared: between fixes far apart in time the drive turns more often,
    // so its route departs from the straight line faster than in proportion to the time.
    double betaPerSecond2;
    double shortWeight;   // a route this much shorter than the straight line costs this fraction
    double maxSpeed;      // metres per second: a route longer than this allows is no transition
    double detourFactor;  // a route longer than factor x straight line + detourSlack is none
    double detourSlack;   // metres
    // A fix closer than thinning x sigma to the last one kept is placed later (not one that comes
    // 5 s or more after the fix before it: between sparse fixes the vehicle may have turned round).
    double thinning;
    double thinningNoise;      // metres: above this measured noise, that spacing grows in proportion,
    double thinningMaxFactor;  // up to this factor
    double backTolerance;      // metres: a fix behind the previous one on the same link is noise, up to this
    // Metres of detour charged for turning back on the road where the drive could have gone on: noise
    // across a junction makes turning round there look as short as the straight line.
    double turnBack;
    // A fix may be left out of the sequence as an outlier, at the cost of a fix this many sigma from
    // its road (0: never); it is placed on the drive afterwards like a fix left out for being close.
    double outlier;
    // A run of fixes thrown off together (multipath) may be stepped over as a whole, each fix at the
    // cost of an outlier, if it began at most this many seconds before (0: never).
    double runSeconds;
    // Each fix is placed on the chosen drive by its position along it, smoothed over time with a
    // vehicle that speeds up or slows down by about this much (m/s^2); 0 places every fix where it
    // projects on the drive. Near a junction the nearest link is a coin toss, the smoothed position is not.
    double placeAccel;
    // What the receiver reports of its own motion, where it does. A fix it reports slower than
    // standSpeed (m/s) after one like it stands where that one stood: the scatter of a vehicle
    // standing still is no drive (0: reported speeds are not used).
    double standSpeed;
    // A candidate whose link runs against the reported course costs up to courseWeight (its half at
    // right angles); only while the vehicle moves at courseSpeed (m/s) or more, below which receivers'
    // courses are noise (courseWeight 0: courses are not used).
    double courseWeight;
    double courseSpeed;

    // These parameters with `metres` as the radius; the wider searches keep their proportion to it.
    HmmParams withRadius(double metres) const;
    // The first rule these parameters break, as the text of an ERROR line ("" when they keep every
    // rule). karvel-match's options and the library's callers are judged by this one function.
    std::string problem() const;
    // The refusal of a value of one of karvel-match's options ("radius", "sigma", "candidates"),
    // shown as the user wrote it: "bad --radius abc (metres, 1 to 10000)".
    static std::string refusal(std::string_view option, std::string_view shown);

    bool operator==(const HmmParams&) const = default;
};

// The defaults of karvel-match.
inline constexpr HmmParams kHmmDefaults{
    .radius = 50.0,
    .retryRadius = 300.0,
    .reachRadius = 150.0,
    .candidates = 8,
    .sigma = 0.0,
    .sigmaMin = 10.0,
    .sigmaMax = 30.0,
    .beta = 1.5,
    .betaPerSecond = 0.5,
    .betaPerSecond2 = 0.02,
    .shortWeight = 0.5,
    .maxSpeed = 50.0,
    .detourFactor = 3.0,
    .detourSlack = 200.0,
    .thinning = 2.0,
    .thinningNoise = 5.0,
    .thinningMaxFactor = 2.0,
    .backTolerance = 100.0,
    .turnBack = 20.0,
    .outlier = 5.0,
    .runSeconds = 25.0,
    .placeAccel = 1.0,
    .standSpeed = 0.5,
    .courseWeight = 4.0,
    .courseSpeed = 3.0,
};

}  // namespace MapMatching
