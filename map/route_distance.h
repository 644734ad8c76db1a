// Driving distances from one position on a directed link to many positions on other links, by a
// shortest-path search over the road graph that stops at a distance bound or as soon as every
// target is reached. One RouteSearch belongs to one thread: it keeps its working arrays (indexed by
// node) between searches, so a search allocates nothing once they have grown.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "map/road_graph.h"

namespace mapRepresentation {

class RouteSearch {
public:
    static constexpr double kUnreachable = std::numeric_limits<double>::infinity();

    explicit RouteSearch(const RoadGraph& graph);

    // Searches from `offset` metres along link `from` (dense index), following links only in their
    // direction, up to `bound` metres. `targets` are dense node indices; the search may stop once
    // all of them are settled. Distances of positions farther than `bound` are not known afterwards.
    void run(uint32_t from, double offset, double bound, const std::vector<uint32_t>& targets);

    // The driving distance from the start of the last run to `offset` metres along `link`, or
    // kUnreachable. On the start link itself a position ahead is reached directly; one behind is
    // reached only by driving round back to the link's origin.
    double distanceTo(uint32_t link, double offset) const;

    // The links driven strictly between the start link and `link` on the route distanceTo measured
    // (empty when it is the start link ahead, or the next link). Dense indices, driving order.
    void linksBetween(uint32_t link, double offset, std::vector<uint32_t>& out) const;

    // Whether that route turns back on its road where it could have gone on: at its start (onto the
    // mirror of the start link) or onto `link` itself. Turning round at a dead end does not count.
    bool turnsBack(uint32_t link, double offset) const;

    // How many nodes the last run settled (for benchmarks and tests).
    uint32_t settledCount() const { return settled; }

private:
    // n zeroed elements whose memory the system hands out page by page as it is first written
    // (calloc of a large block): a search on a country's map touches only the nodes it reaches.
    template <typename T>
    class ZeroedArray {
    public:
        explicit ZeroedArray(size_t n)
            : size(n), items(static_cast<T*>(std::calloc(n > 0 ? n : 1, sizeof(T)))) {
            if (!items) throw std::bad_alloc();
        }
        T& operator[](size_t i) { return items.get()[i]; }
        const T& operator[](size_t i) const { return items.get()[i]; }
        void clear() { std::memset(static_cast<void*>(items.get()), 0, size * sizeof(T)); }

    private:
        struct Free {
            void operator()(T* p) const { std::free(p); }
        };
        size_t size;
        std::unique_ptr<T, Free> items;
    };

    const RoadGraph& graph;
    ZeroedArray<double> dist;
    ZeroedArray<uint32_t> parent;  // dense link that reached the node
    ZeroedArray<uint8_t> turned;   // the route to the node turned back on its road on the way
    ZeroedArray<uint32_t> stamp;   // dist/parent/turned valid when equal to current
    ZeroedArray<uint32_t> targetStamp;
    std::vector<std::pair<double, uint32_t>> heap;
    uint32_t current = 0;
    uint32_t from = 0;
    double fromOffset = 0.0;
    double bound = 0.0;
    uint32_t settled = 0;

    double nodeDistance(uint32_t node) const;
    uint32_t arrivedBy(uint32_t node) const {
        return parent[node] == RoadGraph::kNoLink ? from : parent[node];
    }
    void nextStamp();
};

}  // namespace mapRepresentation
