#include "kml/link_chains.h"

#include <algorithm>
#include <iostream>

using mapRepresentation::Map;
using mapRepresentation::RoadRule;
using mapRepresentation::RoadWalk;

namespace kmlMatch {

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

// ---------------------------------------------------------------------------------------------
// SampleMergeList: a treap ordered by list position, each cell keeping its subtree's size and
// largest value.

int SampleMergeList::newCell(int value) {
    // A fixed xorshift sequence: priorities only balance the tree, they never change the order.
    nextPriority ^= nextPriority << 13;
    nextPriority ^= nextPriority >> 17;
    nextPriority ^= nextPriority << 5;
    Cell cell;
    cell.value = value;
    cell.largest = value;
    cell.priority = nextPriority;
    cells.push_back(cell);
    return static_cast<int>(cells.size()) - 1;
}

void SampleMergeList::update(int t) {
    Cell& c = cells[static_cast<size_t>(t)];
    c.size = 1 + size(c.left) + size(c.right);
    c.largest = c.value;
    if (c.left >= 0) c.largest = std::max(c.largest, cells[static_cast<size_t>(c.left)].largest);
    if (c.right >= 0) c.largest = std::max(c.largest, cells[static_cast<size_t>(c.right)].largest);
}

int SampleMergeList::join(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    Cell& ca = cells[static_cast<size_t>(a)];
    Cell& cb = cells[static_cast<size_t>(b)];
    if (ca.priority > cb.priority) {
        ca.right = join(ca.right, b);
        update(a);
        return a;
    }
    cb.left = join(a, cb.left);
    update(b);
    return b;
}

// The first `count` elements of t go to before, the others to rest.
void SampleMergeList::split(int t, int count, int& before, int& rest) {
    if (t < 0) {
        before = rest = -1;
        return;
    }
    Cell& c = cells[static_cast<size_t>(t)];
    if (size(c.left) < count) {
        split(c.right, count - size(c.left) - 1, c.right, rest);
        before = t;
    } else {
        split(c.left, count, before, c.left);
        rest = t;
    }
    update(t);
}

// How many elements of t come before its first element larger than value (all of them if none is).
int SampleMergeList::countUpToFirstAbove(int t, int value) const {
    int count = 0;
    while (t >= 0 && cells[static_cast<size_t>(t)].largest > value) {
        const Cell& c = cells[static_cast<size_t>(t)];
        if (c.left >= 0 && cells[static_cast<size_t>(c.left)].largest > value) {
            t = c.left;
        } else if (c.value > value) {
            return count + size(c.left);
        } else {
            count += size(c.left) + 1;
            t = c.right;
        }
    }
    return count + size(t);
}

void SampleMergeList::merge(const std::list<int>& sample) {
    // done: the list up to the merge position; ahead: the rest, still to be walked.
    int done = -1;
    int ahead = root;
    auto s = sample.begin();
    for (; s != sample.end() && ahead >= 0; ++s) {
        const int skip = countUpToFirstAbove(ahead, *s);
        int passed = -1;
        split(ahead, skip, passed, ahead);
        done = join(join(done, passed), newCell(*s));
    }
    for (; s != sample.end(); ++s) ahead = join(ahead, newCell(*s));
    root = join(done, ahead);
}

std::list<int> SampleMergeList::values() const {
    std::list<int> out;
    std::vector<int> stack;
    for (int t = root; t >= 0 || !stack.empty();) {
        if (t >= 0) {
            stack.push_back(t);
            t = cells[static_cast<size_t>(t)].left;
        } else {
            t = stack.back();
            stack.pop_back();
            out.push_back(cells[static_cast<size_t>(t)].value);
            t = cells[static_cast<size_t>(t)].right;
        }
    }
    return out;
}

}  // namespace kmlMatch
