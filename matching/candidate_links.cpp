#include "matching/candidate_links.h"

#include <algorithm>

namespace MapMatching {

CandidateLinks::CandidateLinks(std::size_t points) : state(points, kNone), one(points, 0) {}

CandidateLinks CandidateLinks::fromSets(const std::vector<std::set<int>>& sets) {
    CandidateLinks links(sets.size());
    for (std::size_t k = 0; k < sets.size(); ++k)
        for (const int link : sets[k]) links.insert(k, link);
    return links;
}

void CandidateLinks::insert(std::size_t point, int link) {
    switch (state[point]) {
        case kNone:
            state[point] = kOne;
            one[point] = link;
            return;
        case kOne:
            if (one[point] == link) return;
            several[point] = link < one[point] ? std::vector<int32_t>{link, one[point]}
                                               : std::vector<int32_t>{one[point], link};
            state[point] = kSeveral;
            return;
        default: {
            std::vector<int32_t>& links = several[point];
            const auto at = std::lower_bound(links.begin(), links.end(), link);
            if (at == links.end() || *at != link) links.insert(at, link);
        }
    }
}

std::size_t CandidateLinks::count(std::size_t point) const {
    switch (state[point]) {
        case kNone:
            return 0;
        case kOne:
            return 1;
        default:
            return several.at(point).size();
    }
}

void CandidateLinks::copyTo(std::size_t point, std::set<int>& out) const {
    forEach(point, [&out](int link) { out.insert(link); });
}

void CandidateLinks::release() {
    std::vector<uint8_t>().swap(state);
    std::vector<int32_t>().swap(one);
    std::unordered_map<std::size_t, std::vector<int32_t>>().swap(several);
}

}  // namespace MapMatching
