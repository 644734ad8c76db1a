// Test helpers for the map: a full invariant check of the link graph, the super-link layer and the
// spatial index, and a small hand-drawn graph.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "map/maps.h"

namespace karvel_test {

// Every violated invariant, one per line; empty when the map is sound.
std::string checkMapInvariants(const mapRepresentation::Map& map);

// Nodes 1..n a hundred metres or so apart; each pair (a, b) becomes a link a -> b, ids in order from 1.
mapRepresentation::Map graphOf(int n, std::initializer_list<std::pair<uint32_t, uint32_t>> links);

}  // namespace karvel_test
