// Where the KML documents put their link arrows: the chains of links between junctions, and the
// list the general writer merges its samples of those chains into.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "map/maps.h"

namespace kmlMatch {

// The chain from linkId through nodes with exactly one link in and one out, in walking order
// (linkId first); a closed ring ends before its start link comes round again. A link or node the
// map's tables lack ends the chain with its error line on standard output.
std::vector<int> walkLinkChain(const mapRepresentation::Map& map, int linkId, bool forward);

// A list that takes samples by the ordered-list merge: walking both from their fronts, each sample
// element goes in front of the first list element (from where the previous one went) it is smaller
// than, and the rest of the sample goes at the end. Samples are in walk order, not sorted, so this
// rule alone fixes the order. A balanced tree with the largest value of every subtree finds that
// element in logarithmic time, where walking the list would make a whole map quadratic.
class SampleMergeList {
public:
    void merge(const std::list<int>& sample);
    std::list<int> values() const;

private:
    struct Cell {
        int value = 0;
        int largest = 0;  // of the subtree
        uint32_t priority = 0;
        int size = 1;  // of the subtree
        int left = -1;
        int right = -1;
    };
    std::vector<Cell> cells;
    int root = -1;
    uint32_t nextPriority = 0x9E3779B9u;

    int newCell(int value);
    void update(int t);
    int size(int t) const { return t < 0 ? 0 : cells[static_cast<size_t>(t)].size; }
    int join(int a, int b);
    void split(int t, int count, int& before, int& rest);
    int countUpToFirstAbove(int t, int value) const;
};

}  // namespace kmlMatch
