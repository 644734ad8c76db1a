// The genetic algorithm's parameters of each matcher, as named data.
#pragma once

#include "matching/matching_genetic.h"

namespace MapMatching {

// The hybrid matcher (KARVEL): small populations on the short stretches where the Marchal runs
// disagree.
inline constexpr _params kHybridPreset{
    .D_LIMIT = 20.0,
    .nonValidProbability = 0.2,
    .populationSize = 50,
    .directPassRatio = 0.03,
    .maxStagnation = 75,
    .maxLinkJump = 5,
    .maxSuperLinkJump = 1,
    .recombinationProbability = 0.75,
    .mutationProbability = 0.01,
    .tournamentProbability = 0.6,
    .W_AVG = 0.7,
    .W_MAX = 1.0,
    .W_MAX_MIN = 0.8,
    .W_UNCOV = 5.5,
    .W_GAP = 1.5,
    .W_CONTLEN = 0.3,
    .W_AVGDISC = 1.0,
    .W_MAXDISC = 1.0,
};

// The genetic-only matcher (GenMapMatching): larger populations that run longer, on segments of
// up to 50 points covering the whole trace.
inline constexpr _params kGeneticOnlyPreset{
    .D_LIMIT = 20.0,
    .nonValidProbability = 0.15,
    .populationSize = 200,
    .directPassRatio = 0.03,
    .maxStagnation = 300,
    .maxLinkJump = 5,
    .maxSuperLinkJump = 1,
    .recombinationProbability = 0.75,
    .mutationProbability = 0.005,
    .tournamentProbability = 0.6,
    .W_AVG = 1.0,
    .W_MAX = 0.8,
    .W_MAX_MIN = 0.9,
    .W_UNCOV = 6.0,
    .W_GAP = 3.5,
    .W_CONTLEN = 4.0,
    .W_AVGDISC = 1.0,
    .W_MAXDISC = 1.0,
};

}  // namespace MapMatching
