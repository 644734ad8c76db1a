// Result records of map matching: a matched piece of a trace and an unmatched stretch.
#pragma once

#include <cstdint>
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
    Path(const Path&) = default;
    Path& operator=(const Path&) = default;
    ~Path() = default;

    // Writes the one-line description and an empty line to standard output.
    void printPath() const;
};

// One unmatched stretch between matched paths; -1 stands for none in every field.
struct _unmatchinfo {
    int32_t startNode = -1;
    int32_t endNode = -1;
    int32_t lastMatch = -1;
    int32_t nextMatch = -1;
    int32_t lastPath = -1;
    int32_t nextPath = -1;
};
