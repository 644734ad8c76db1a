#include "kml/link_chains.h"

#include <iostream>

using mapRepresentation::Map;
using mapRepresentation::RoadRule;
using mapRepresentation::RoadWalk;

std::vector<int> walkLinkChain(const Map& map, int linkId, bool forward) {
    std::vector<int> chain{linkId};
    // A chain holds every link at most once; the bound also stops the walk on tables that disagree.
    const size_t bound = map.links.empty() ? 0 : map.links.size() - 1;
    const RoadWalk walk = map.followRoad(linkId, forward, RoadRule::PassThrough, bound);
    chain.insert(chain.end(), walk.links.begin(), walk.links.end());
    if (walk.end == RoadWalk::End::MissingLink)
        std::cout << "ERROR: non existing link. (" << walk.missing << ")" << std::endl;
    else if (walk.end == RoadWalk::End::MissingNode)
        std::cout << "ERROR: non existing graph node " << walk.missing << "." << std::endl;
    return chain;
}
