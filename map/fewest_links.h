// The fewest-links search between two links, shared by the map's own queries and the light link
// graph that readers of match reports build: both must join two matched links the same way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

namespace mapRepresentation {

struct LinkPath {
    bool found = false;
    std::vector<int> links;  // strictly between the two links
};

// Breadth first over links from `from`, successors taken in the order `successors(link)` gives
// them (ascending ids); the first path to reach `to` wins, so among equally short paths the answer is
// the one found level by level in that order. Each link is queued at most once (the search ends on
// unreachable pairs, and the first path queued to a link is also the first one an unbounded search
// would extend). found=false when `to` is not reached with at most maxLinks links in between.
// `marks` remembers the queued links: `bool mark(link, parent)` (false when marked already) and
// `int parentOf(link)`.
template <typename Successors, typename Marks>
LinkPath fewestLinksPath(int from, int to, size_t maxLinks, const Successors& successors, Marks& marks) {
    LinkPath route;
    std::deque<std::pair<int, size_t>> queue;  // (link, links after `from` up to and including it)
    marks.mark(from, from);
    queue.emplace_back(from, 0);
    while (!queue.empty()) {
        const auto [current, inBetween] = queue.front();
        queue.pop_front();
        for (const int s : successors(current)) {
            if (s == to) {
                for (int l = current; l != from; l = marks.parentOf(l)) route.links.push_back(l);
                std::reverse(route.links.begin(), route.links.end());
                route.found = true;
                return route;
            }
            if (inBetween < maxLinks && marks.mark(s, current)) queue.emplace_back(s, inBetween + 1);
        }
    }
    return route;
}

}  // namespace mapRepresentation
