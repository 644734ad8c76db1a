// Read-only reachability queries over the link graph and the super-link layer.
// Lookups go through find() only: a query about a missing id must not add entries to the tables.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>

#include "map/fewest_links.h"
#include "map/maps.h"

namespace mapRepresentation {

namespace {

const SortedIdSet<int32_t> kNoLinks;

const _mLink* findLink(const IdTable<int32_t, _mLink>& links, int id) {
    const auto it = links.find(id);
    return it == links.end() ? nullptr : &it->second;
}

const _mEdges* findEdges(const IdTable<uint32_t, _mEdges>& graph, uint32_t node) {
    const auto it = graph.find(node);
    return it == graph.end() ? nullptr : &it->second;
}

// Links leaving the end of `link` (empty for a missing link or node).
const SortedIdSet<int32_t>& successors(const Map& map, int link) {
    const _mLink* l = findLink(map.links, link);
    if (l == nullptr) return kNoLinks;
    const _mEdges* e = findEdges(map.graph, l->destination);
    return e == nullptr ? kNoLinks : e->forwardLinks;
}

// Links arriving at the start of `link`.
const SortedIdSet<int32_t>& predecessors(const Map& map, int link) {
    const _mLink* l = findLink(map.links, link);
    if (l == nullptr) return kNoLinks;
    const _mEdges* e = findEdges(map.graph, l->origin);
    return e == nullptr ? kNoLinks : e->backwardLinks;
}

// Links reachable in 1..depth steps through `next`. No visited marking: the result set absorbs repeats.
template <typename Next>
std::set<int> walkLevels(const Map& map, int link, int depth, Next next) {
    std::set<int> result;
    if (depth < 1) return result;
    std::deque<std::pair<int, int>> queue{{link, 0}};
    while (!queue.empty()) {
        const auto [current, level] = queue.front();
        queue.pop_front();
        for (const int s : next(map, current)) {
            result.insert(s);
            if (level < depth - 1) queue.emplace_back(s, level + 1);
        }
    }
    return result;
}

// Queued links and the link each was reached from, for the fewest-links search.
class ParentMarks {
public:
    bool mark(int link, int from) { return parent.emplace(link, from).second; }
    int parentOf(int link) const { return parent.find(link)->second; }

private:
    std::unordered_map<int, int> parent;
};

LinkPath shortestPath(const Map& map, int from, int to, size_t maxLinks) {
    ParentMarks marks;
    return fewestLinksPath(
        from, to, maxLinks, [&map](int link) -> const SortedIdSet<int32_t>& { return successors(map, link); },
        marks);
}

}  // namespace

bool Map::isConnected(int a, int b) const {
    if (a == -1 || b == -1) return false;
    const _mLink* la = findLink(links, a);
    const _mLink* lb = findLink(links, b);
    return la != nullptr && lb != nullptr && la->destination == lb->origin;
}

bool Map::areMirrored(int a, int b) const {
    if (a == -1 || b == -1) return false;
    const _mLink* la = findLink(links, a);
    const _mLink* lb = findLink(links, b);
    return la != nullptr && lb != nullptr && la->origin == lb->destination && la->destination == lb->origin;
}

bool Map::belongSameSuperLink(int a, int b) const {
    if (a == -1 || b == -1) return false;
    const _mLink* la = findLink(links, a);
    const _mLink* lb = findLink(links, b);
    return la != nullptr && lb != nullptr && la->superLinkKey == lb->superLinkKey;
}

RoadWalk Map::followRoad(int link, bool forward, RoadRule rule, size_t maxLinks) const {
    RoadWalk walk;
    const auto stop = [&walk](RoadWalk::End end, int64_t missing = -1) {
        walk.end = end;
        walk.missing = missing;
        return std::move(walk);
    };
    const _mLink* current = findLink(links, link);
    if (current == nullptr) return stop(RoadWalk::End::MissingLink, link);
    const bool passThrough = rule == RoadRule::PassThrough;
    while (walk.links.size() < maxLinks) {
        const uint32_t node = forward ? current->destination : current->origin;
        const _mEdges* edges = findEdges(graph, node);
        if (edges == nullptr) return stop(RoadWalk::End::MissingNode, node);
        const SortedIdSet<int32_t>& onward = forward ? edges->forwardLinks : edges->backwardLinks;
        const SortedIdSet<int32_t>& other = forward ? edges->backwardLinks : edges->forwardLinks;
        if (onward.size() != 1 || (passThrough && other.size() != 1)) return stop(RoadWalk::End::Junction);
        const int next = *onward.begin();
        if (passThrough && next == link) return stop(RoadWalk::End::BackAtStart);
        current = findLink(links, next);
        if (current == nullptr) return stop(RoadWalk::End::MissingLink, next);
        walk.links.push_back(next);
    }
    return stop(RoadWalk::End::Limit);
}

namespace {

// The walks to a junction take the only way on even when the link table lacks it; the walk ends there.
std::vector<int> walkToJunction(const Map& map, int link, int count, bool forward) {
    if (count < 1) return {};
    RoadWalk walk = map.followRoad(link, forward, RoadRule::SingleWayOn, static_cast<size_t>(count));
    if (walk.end == RoadWalk::End::MissingLink && walk.missing != link)
        walk.links.push_back(static_cast<int>(walk.missing));
    return std::move(walk.links);
}

}  // namespace

std::vector<int> Map::getLinksUntilNextJunction(int link, int count) const {
    return walkToJunction(*this, link, count, true);
}

std::vector<int> Map::getLinksUntilPreviousJunction(int link, int count) const {
    return walkToJunction(*this, link, count, false);
}

std::set<int> Map::getAllAchievableLinks(int link, int depth) const {
    return walkLevels(*this, link, depth, successors);
}

std::set<int> Map::getAllFormerLinks(int link, int depth) const {
    return walkLevels(*this, link, depth, predecessors);
}

std::set<int> Map::getAllAchievableSuperLinks(int superLink, int depth, int maxLinks) const {
    std::set<int> result;
    if (depth < 1) return result;
    // Compared as unsigned: a negative limit never stops the expansion.
    const auto limit = static_cast<uint32_t>(maxLinks);
    std::deque<std::pair<int, int>> queue{{superLink, 0}};
    while (!queue.empty()) {
        const auto [current, level] = queue.front();
        queue.pop_front();
        const auto s = superLinks.find(current);
        if (s == superLinks.end()) continue;
        const auto edges = superNodes.find(s->second.destination);
        if (edges == superNodes.end()) continue;
        for (const int f : edges->second.forwardSuperLinks) {
            result.insert(f);
            if (level >= depth - 1) continue;
            const auto fs = superLinks.find(f);
            if (fs == superLinks.end() || fs->second.links.size() > limit) continue;
            queue.emplace_back(f, level + 1);
        }
    }
    return result;
}

std::vector<int> Map::getLinksBetween(int from, int to) const {
    if (from == to || isConnected(from, to)) return {};
    return shortestPath(*this, from, to, SIZE_MAX).links;
}

std::pair<bool, std::vector<int>> Map::isAchievableWithoutAmbiguity(int from, int to, int maxSteps) const {
    if (maxSteps < 0) return {from == to, {}};
    if (from == to) return {true, {}};
    // The walk has no choices, so after more steps than there are links it only repeats itself.
    const size_t stepLimit = std::min(static_cast<size_t>(maxSteps), links.size());
    std::vector<int> collected;
    int current = from;
    size_t steps = 0;
    while (true) {
        const SortedIdSet<int32_t>& next = successors(*this, current);
        if (next.size() != 1) return {false, {}};
        const int n = *next.begin();
        ++steps;
        if (n == to) return {true, collected};
        collected.push_back(n);
        current = n;
        if (steps > stepLimit) return {false, {}};
    }
}

std::pair<bool, std::vector<int>> Map::isAchievableWithAmbiguity(int from, int to, int maxLinks) const {
    if (from == to) return {true, {}};
    if (successors(*this, from).count(to) > 0) return {true, {}};
    // Compared as unsigned, as the sequence lengths are.
    const LinkPath route = shortestPath(*this, from, to, static_cast<uint32_t>(maxLinks));
    return {route.found, route.links};
}

}  // namespace mapRepresentation
