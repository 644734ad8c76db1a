// Result records of map matching: a matched piece of a trace and an unmatched stretch.
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

// One matched piece: (trace point index, link id) pairs in trace order; a point index of -1
// marks a link crossed between two trace points.
class Path {
public:
    std::vector<std::pair<int, int>> links;
    double score = 0.0;
    double avgScore = 0.0;
    int startIndex = 0;
    int lastIndex = 0;

    Path() = default;

    // Writes the one-line description and an empty line (to standard output unless told otherwise).
    void printPath(std::ostream& out = std::cout) const;
};

namespace traces {

// Per matched piece, the links a matcher decided the vehicle drove from the piece's first fix to its
// last, in driving order, those crossed between fixes included; one entry per Path, or none at all.
using DrivenRoutes = std::vector<std::vector<int>>;

}  // namespace traces

// One unmatched stretch between matched paths; -1 stands for none in every field.
struct _unmatchinfo {
    int32_t startNode = -1;
    int32_t endNode = -1;
    int32_t lastMatch = -1;
    int32_t nextMatch = -1;
    int32_t lastPath = -1;
    int32_t nextPath = -1;
};

namespace traces {

// Independent copies of owned records, for matchers that hand their results to the caller.
template <typename T>
std::vector<std::unique_ptr<T>> ownedCopies(const std::vector<std::unique_ptr<T>>& from) {
    std::vector<std::unique_ptr<T>> out;
    out.reserve(from.size());
    for (const auto& p : from) out.push_back(std::make_unique<T>(*p));
    return out;
}

}  // namespace traces
