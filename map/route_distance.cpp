#include "map/route_distance.h"

#include <algorithm>
#include <functional>

namespace mapRepresentation {

RouteSearch::RouteSearch(const RoadGraph& g)
    : graph(g),
      dist(g.nodeCount()),
      parent(g.nodeCount()),
      turned(g.nodeCount()),
      stamp(g.nodeCount()),
      targetStamp(g.nodeCount()) {}

void RouteSearch::nextStamp() {
    if (++current == 0) {  // wrapped: every old mark must be forgotten
        stamp.clear();
        targetStamp.clear();
        current = 1;
    }
}

void RouteSearch::run(uint32_t start, double offset, double maxDistance,
                      const std::vector<uint32_t>& targets) {
    nextStamp();
    from = start;
    fromOffset = offset;
    bound = maxDistance;
    settled = 0;
    const RoadGraph::Link& s = graph.link(start);
    size_t open = 0;  // targets not yet settled
    for (uint32_t t : targets)
        if (targetStamp[t] != current) {
            targetStamp[t] = current;
            ++open;
        }
    const double first = std::max(0.0, s.length - offset);
    if (first > bound) return;
    // stamp == current marks a node reached in this run; a heap entry is live while it matches dist.
    auto later = std::greater<std::pair<double, uint32_t>>();
    heap.clear();
    stamp[s.destination] = current;
    dist[s.destination] = first;
    parent[s.destination] = RoadGraph::kNoLink;
    turned[s.destination] = 0;
    heap.emplace_back(first, s.destination);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        const auto [d, node] = heap.back();
        heap.pop_back();
        if (d > dist[node]) continue;  // a stale entry
        if (d > bound) break;
        ++settled;
        if (targetStamp[node] == current) {
            targetStamp[node] = 0;  // counted once
            if (--open == 0) break;
        }
        for (const uint32_t* l = graph.outBegin(node); l != graph.outEnd(node); ++l) {
            const RoadGraph::Link& link = graph.link(*l);
            const double nd = d + link.length;
            if (nd > bound) continue;
            if (stamp[link.destination] == current && dist[link.destination] <= nd) continue;
            stamp[link.destination] = current;
            dist[link.destination] = nd;
            parent[link.destination] = *l;
            turned[link.destination] = turned[node] || graph.turnsBack(arrivedBy(node), *l);
            heap.emplace_back(nd, link.destination);
            std::push_heap(heap.begin(), heap.end(), later);
        }
    }
}

double RouteSearch::nodeDistance(uint32_t node) const {
    return stamp[node] == current && dist[node] <= bound ? dist[node] : kUnreachable;
}

double RouteSearch::distanceTo(uint32_t link, double offset) const {
    if (link == from && offset >= fromOffset) return offset - fromOffset;
    const double d = nodeDistance(graph.link(link).origin) + offset;
    return d <= bound ? d : kUnreachable;
}

bool RouteSearch::turnsBack(uint32_t link, double offset) const {
    if (link == from && offset >= fromOffset) return false;
    const uint32_t node = graph.link(link).origin;
    if (nodeDistance(node) == kUnreachable) return false;
    return turned[node] || graph.turnsBack(arrivedBy(node), link);
}

void RouteSearch::linksBetween(uint32_t link, double offset, std::vector<uint32_t>& out) const {
    out.clear();
    if (link == from && offset >= fromOffset) return;
    if (nodeDistance(graph.link(link).origin) == kUnreachable) return;
    for (uint32_t n = graph.link(link).origin; parent[n] != RoadGraph::kNoLink;
         n = graph.link(parent[n]).origin) {
        out.push_back(parent[n]);
        if (out.size() > graph.linkCount()) break;  // cannot happen on a shortest-path tree; never loop
    }
    std::reverse(out.begin(), out.end());
}

}  // namespace mapRepresentation
