// Test helpers for the map: a full invariant check of the link graph, the super-link layer and the
// spatial index, a small hand-drawn graph, and a random map builder that hands every intermediate map
// to a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "map/maps.h"

namespace karvel_test {

// Every violated invariant, one per line; empty when the map is sound.
std::string checkMapInvariants(const mapRepresentation::Map& map);

// Nodes 1..n a hundred metres or so apart; each pair (a, b) becomes a link a -> b, ids in order from 1.
mapRepresentation::Map graphOf(int n, std::initializer_list<std::pair<uint32_t, uint32_t>> links);

struct RandomMapOptions {
    int nodeCount = 10;
    int steps = 40;  // insertion steps (a step may add several links)
    double centreLat = 41.15;
    double centreLon = -8.61;
    double spreadDegrees = 0.01;  // nodes lie within +-spread of the centre
    bool deleteLinks = false;     // also take random links out again
};

// Builds a random map step by step: one-way links, two-way roads, chains in either insertion order,
// closed loops, chords across loops, duplicates and refused self-loops. After every change the
// callback sees the map (and may check anything, e.g. a radius query against a plain scan).
void buildRandomMap(
    mapRepresentation::Map& map, uint32_t seed, const RandomMapOptions& options,
    const std::function<void(const mapRepresentation::Map&, const std::string& step)>& afterChange);

// Removes a link the way map editing does: out of the link table and both adjacency sets, then out
// of its super-link. Test scaffolding only; isolated end nodes are kept.
void removeLinkForTest(mapRepresentation::Map& map, int link);

}  // namespace karvel_test
