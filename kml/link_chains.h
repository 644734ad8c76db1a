// Where the KML documents put their link arrows: the chains of links between junctions.
#pragma once

#include <vector>

#include "map/maps.h"

// The chain from linkId through nodes with exactly one link in and one out, in walking order
// (linkId first); a closed ring ends before its start link comes round again. A link or node the
// map's tables lack ends the chain with its error line on standard output.
std::vector<int> walkLinkChain(const mapRepresentation::Map& map, int linkId, bool forward);
