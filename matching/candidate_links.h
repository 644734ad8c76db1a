// The candidate links of every point of a trace, as the hybrid collects them: an ordered set of link
// ids per point. Almost every point holds exactly the one link the forward run gave it, so a point
// costs five bytes until it gets a second link; only those few points hold a sorted list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <vector>

namespace MapMatching {

class CandidateLinks {
public:
    CandidateLinks() = default;
    explicit CandidateLinks(std::size_t points);
    // The same links as one ordered set per point.
    static CandidateLinks fromSets(const std::vector<std::set<int>>& sets);

    std::size_t size() const { return state.size(); }
    // Adds a link to a point's set (nothing when it is there already).
    void insert(std::size_t point, int link);
    // Number of links of a point.
    std::size_t count(std::size_t point) const;
    // Calls f(link) for each link of a point in ascending order.
    template <typename F>
    void forEach(std::size_t point, F&& f) const {
        if (state[point] == kOne) {
            f(one[point]);
        } else if (state[point] == kSeveral) {
            for (const int link : several.at(point)) f(link);
        }
    }
    // Adds the links of a point to `out`.
    void copyTo(std::size_t point, std::set<int>& out) const;
    // Gives back the memory of every point.
    void release();

private:
    enum State : uint8_t { kNone, kOne, kSeveral };
    std::vector<uint8_t> state;
    std::vector<int32_t> one;                                       // the link of a point in state kOne
    std::unordered_map<std::size_t, std::vector<int32_t>> several;  // ascending, no repeats
};

}  // namespace MapMatching
