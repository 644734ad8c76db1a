#include "matching/match_records.h"

namespace MapMatching {

namespace {

std::unique_ptr<_unmatchinfo> record(int start, int end, int lastMatch, int nextMatch, int lastPath,
                                     int nextPath) {
    return std::make_unique<_unmatchinfo>(_unmatchinfo{start, end, lastMatch, nextMatch, lastPath, nextPath});
}

}  // namespace

std::vector<std::unique_ptr<_unmatchinfo>> unmatchedAround(const std::vector<std::unique_ptr<Path>>& paths,
                                                           int pointCount) {
    std::vector<std::unique_ptr<_unmatchinfo>> out;
    if (paths.empty()) {
        out.push_back(record(0, pointCount - 1, -1, -1, -1, -1));
        return out;
    }
    const int count = static_cast<int>(paths.size());
    for (int i = 0; i < count; ++i) {
        const auto& links = paths[static_cast<std::size_t>(i)]->links;
        const int end = links.back().first;
        const int endLink = links.back().second;
        if (i + 1 < count) {
            const auto& next = paths[static_cast<std::size_t>(i) + 1]->links.front();
            if (next.first == end + 1)
                out.push_back(record(-1, -1, endLink, next.second, i, i + 1));
            else
                out.push_back(record(end + 1, next.first - 1, endLink, next.second, i, i + 1));
        }
        if (i == 0 && links.front().first != 0)
            out.push_back(record(0, links.front().first - 1, -1, links.front().second, -1, 0));
        if (i == count - 1 && end < pointCount - 1)
            out.push_back(record(end + 1, pointCount - 1, endLink, -1, i, -1));
    }
    return out;
}

}  // namespace MapMatching
