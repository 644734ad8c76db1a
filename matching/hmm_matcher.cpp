#include "matching/hmm_matcher.h"

#include "matching/match_records.h"

namespace MapMatching {

HmmMatcher::HmmMatcher(const mapRepresentation::RoadGraph& g, const HmmParams& p)
    : graph(g), search(g), lattice(g, p, search), placement(g, p, search) {}

void HmmMatcher::run(const Route& route) {
    lattice.run(route);
    placement.run(route, lattice);
    unmatched = unmatchedAround(placement.matched(), static_cast<int>(route.nodes.size()));
}

}  // namespace MapMatching
