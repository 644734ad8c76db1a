#include "matching/matching_marchal.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <memory_resource>

#include "geometry/geometry.h"
#include "kml/kml.h"
#include "matching/match_records.h"

namespace MapMatching {

namespace {

constexpr double kSearchRadius = 20.0;    // links considered around a point, metres
constexpr double kBreakDistance = 20.0;   // a point farther than this from every candidate ends a piece
constexpr double kFilterDistance = 45.0;  // candidates whose last point is this far or farther are dropped
constexpr double kMaxStartHeadingDeg = 110.0;
constexpr int kBranchDepth = 4;         // hops a candidate may move between two points
constexpr std::size_t kBeamWidth = 35;  // candidates kept per point
constexpr double kInitialMinDelta = 100000000.0;
constexpr double kEqualAverage = 1e-6;      // candidate averages closer than this count as equal
constexpr std::size_t kTreeNodeBytes = 48;  // a multiset node of an index, with room to spare

void printMissingLink(int link) {
    std::cout << "ERROR: non existing link. (" << link << ")" << std::endl;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// PairList

PairList::ChunkRef::ChunkRef(const ChunkRef& other) : p(other.p) {
    if (p != nullptr) ++p->owners;
}

void PairList::ChunkRef::reset() {
    Chunk* chunk = std::exchange(p, nullptr);
    while (chunk != nullptr && --chunk->owners == 0) {
        Chunk* prev = std::exchange(chunk->prev.p, nullptr);
        const std::unique_ptr<Chunk> owned(chunk);  // freed here; its predecessor is detached
        chunk = prev;
    }
}

PairList::Pair PairList::front() const {
    if (head.get() == nullptr) return tail[0];
    const Chunk* c = head.get();
    while (c->prev.get() != nullptr) c = c->prev.get();
    return c->pairs[0];
}

void PairList::push_back(const Pair& p) {
    if (tailCount == kChunk) commit();
    tail[tailCount++] = p;
    ++count;
}

void PairList::clear() {
    head.reset();
    tailCount = 0;
    count = 0;
}

void PairList::commit() {
    if (tailCount == 0) return;
    auto chunk = std::make_unique<Chunk>();
    std::copy(tail.begin(), tail.begin() + tailCount, chunk->pairs.begin());
    chunk->used = tailCount;
    chunk->prev = std::move(head);
    head = ChunkRef(std::move(chunk));
    tailCount = 0;
}

std::vector<PairList::Pair> PairList::toVector() const {
    std::vector<Pair> out;
    out.reserve(count);
    forEachBackward([&out](const Pair& p) { out.push_back(p); });
    std::reverse(out.begin(), out.end());
    return out;
}

PairList PairList::fromVector(const std::vector<Pair>& pairs) {
    PairList list;
    for (const Pair& p : pairs) list.push_back(p);
    list.commit();
    return list;
}

// ---------------------------------------------------------------------------------------------
// MarPath

MarPath::MarPath(const std::pair<int32_t, int32_t>& first) {
    addLinkCandidate(first);
}

void MarPath::addLinkCandidate(const std::pair<int32_t, int32_t>& candidate) {
    linkCandidates.push_back(candidate);
    if (candidate.first >= 0) ++matchedPoints;
}

void MarPath::updateScore(double s) {
    score += s;
    lastScore = s;
    avgScore = score / static_cast<double>(matchedPoints);
}

int MarPath::countDistinctMatchedLinks() const {
    // Walked from the last pair to the first; the number of runs is the same in both directions.
    std::size_t remaining = linkCandidates.size();
    int runs = 0;
    int32_t previous = 0;
    linkCandidates.forEachBackward([&](const PairList::Pair& p) {
        --remaining;
        if (p.first < 0 && remaining != 0) return;  // crossed link; the first pair always counts
        if (runs == 0 || p.second != previous) ++runs;
        previous = p.second;
    });
    return runs;
}

MarPath MarPath::reversedPath() const {
    MarPath copy(*this);
    std::vector<PairList::Pair> pairs = linkCandidates.toVector();
    std::reverse(pairs.begin(), pairs.end());
    copy.linkCandidates = PairList::fromVector(pairs);
    return copy;
}

void MarPath::printPath() const {
    std::cout << "Path size: " << linkCandidates.size() << " Matched trace points: " << matchedPoints
              << " score: " << score << " avgScore: " << avgScore << "  ";
    for (const PairList::Pair& p : linkCandidates.toVector())
        std::cout << "(" << p.first << ", " << p.second << ") ";
    std::cout << std::endl;
}

bool MarPathOrder::operator()(const MarPath& a, const MarPath& b) const {
    return before(a.avgScore, a.linkCandidates.size(), b.avgScore, b.linkCandidates.size());
}

bool MarPathOrder::before(double avgA, std::size_t sizeA, double avgB, std::size_t sizeB) {
    if (std::fabs(avgA - avgB) < kEqualAverage) return sizeA < sizeB;
    return avgA < avgB;
}

// ---------------------------------------------------------------------------------------------
// MarchalBMatching

MarchalBMatching::MarchalBMatching(mapRepresentation::Map* map_, Route* route_) : map(map_), route(route_) {}

int32_t MarchalBMatching::pointIndex(uint32_t position) const {
    const auto n = static_cast<uint32_t>(route->nodes.size());
    return static_cast<int32_t>(forward ? position : n - 1 - position);
}

MarchalBMatching::LinkSlot* MarchalBMatching::linkSlot(int32_t link) {
    if (link < 0 || static_cast<std::size_t>(link) >= slotOf.size()) return nullptr;
    int32_t& index = slotOf[static_cast<std::size_t>(link)];
    if (index >= 0) return &slots[static_cast<std::size_t>(index)];
    index = static_cast<int32_t>(slots.size());
    slotLinks.push_back(link);
    LinkSlot& slot = slots.emplace_back();
    LinkInfo& info = slot.info;
    const auto l = map->links.find(link);
    if (l == map->links.end()) return &slot;
    info.exists = true;
    info.origin = l->second.origin;
    info.destination = l->second.destination;
    info.superLinkKey = l->second.superLinkKey;
    info.originPoint = map->getNodePoint(info.origin);
    info.destinationPoint = map->getNodePoint(info.destination);
    if (const auto g = map->graph.find(info.destination); g != map->graph.end())
        info.leaving = &g->second.forwardLinks;
    if (const auto g = map->graph.find(info.origin); g != map->graph.end())
        info.entering = &g->second.backwardLinks;
    return &slot;
}

const MarchalBMatching::LinkInfo& MarchalBMatching::linkInfo(int32_t link) {
    const LinkSlot* slot = linkSlot(link);
    return slot != nullptr ? slot->info : missingLink;
}

void MarchalBMatching::resetTables() {
    for (const int32_t link : slotLinks) slotOf[static_cast<std::size_t>(link)] = -1;
    slotLinks.clear();
    slots.clear();
    branches.clear();
    const int32_t highest = map->links.empty() ? -1 : map->links.rbegin()->first;
    slotOf.resize(static_cast<std::size_t>(std::max(highest, -1) + 1), -1);
}

double MarchalBMatching::score(int /*link*/, const Point& /*point*/, double distance) const {
    return distance;
}

void MarchalBMatching::run(bool forwardRun, bool kml) {
    step = 0;
    forward = forwardRun;
    paths.clear();
    bestPaths.clear();
    matched.clear();
    shortMatched.clear();
    unmatched.clear();
    candidateLinks.clear();
    seenLinks.clear();
    rebuiltOrderSteps = 0;
    rebuiltOnAllChildren = 0;
    if (map == nullptr || route == nullptr) {
        std::cout << "ERROR: Marchal matching needs a map and a trace." << std::endl;
        return;
    }
    resetTables();
    const std::size_t n = route->nodes.size();
    if (collectCandidateLinks) candidateLinks.assign(n, {});

    while (true) {
        findNearestLinks();
        if (step >= n) break;
        continueMatching();
        if (step >= n) break;
    }

    if (!forward) {
        // Pieces and their pairs back into trace order, links in the direction of travel.
        std::vector<MarPath> reversed;
        reversed.reserve(bestPaths.size());
        for (auto it = bestPaths.rbegin(); it != bestPaths.rend(); ++it)
            reversed.push_back(it->reversedPath());
        bestPaths = std::move(reversed);
    }

    if (kml) generateMatchKML();
}

void MarchalBMatching::findNearestLinks() {
    paths.clear();
    const std::size_t n = route->nodes.size();
    const double maxHeadingGap = deg2rad(kMaxStartHeadingDeg);
    while (step < n) {
        const int32_t index = pointIndex(step);
        const _node& p = route->nodes[static_cast<std::size_t>(index)];
        const auto near = map->getNearestLinksAndDistances(p.position.lat, p.position.lon, kSearchRadius);
        MarPathSet starts;
        for (const auto& [linkId, distance] : near) {
            (void)distance;
            const auto it = map->links.find(linkId);
            if (it == map->links.end()) {
                printMissingLink(linkId);
                continue;
            }
            const double a = ajustHeadingToInterval(it->second.heading, p.heading);
            if (std::fabs(p.heading - a) <= maxHeadingGap) starts.insert(MarPath({index, linkId}));
        }
        if (!starts.empty()) {
            paths = std::move(starts);
            return;
        }
        ++step;
    }
}

void MarchalBMatching::flushCandidateLinks() {
    if (step >= candidateLinks.size()) {
        seenLinks.clear();
        return;
    }
    std::vector<int>& links = candidateLinks[step];
    links.insert(links.end(), seenLinks.begin(), seenLinks.end());
    std::sort(links.begin(), links.end());
    links.erase(std::unique(links.begin(), links.end()), links.end());
    seenLinks.clear();
}

double MarchalBMatching::scoreCandidates(const MarPathSet& from, MarPathSet& into) {
    const _node& p = route->nodes[static_cast<std::size_t>(pointIndex(step))];
    const Point P{p.easting, p.northing};
    double minDelta = kInitialMinDelta;
    for (const MarPath& c : from) {
        if (c.linkCandidates.empty()) continue;
        const int32_t L = c.lastLink();
        const LinkInfo& link = linkInfo(L);
        if (!link.exists) {
            // Without its link the distance is unknown; such a candidate cannot go on.
            printMissingLink(L);
            continue;
        }
        const double d = getNearestPointFromLink(link.originPoint, link.destinationPoint, P).second;
        MarPath copy(c);
        copy.updateScore(score(L, P, d));
        if (d < minDelta) minDelta = d;
        if (d <= kSearchRadius) seenLinks.push_back(L);
        into.insert(std::move(copy));
    }
    return minDelta;
}

void MarchalBMatching::keepFrom(const MarPathSet& survivors) {
    kept.assign(survivors.begin(), survivors.end());
}

void MarchalBMatching::continueMatching() {
    const std::size_t n = route->nodes.size();
    MarPath best;
    MarPathSet scored;

    // The first point of a piece scores the start candidates.
    double minDelta = scoreCandidates(paths, scored);
    flushCandidateLinks();
    if (minDelta <= kBreakDistance && step + 1 != n) {
        saveBestPaths(filterCandidates(scored));
        best = *paths.begin();
        keepFrom(paths);
        for (bool stop = false; !stop;) {
            ++step;
            scored.clear();
            if (!fastStep(best, minDelta, stop)) exactStep(best, minDelta, stop, scored);
        }
    }

    // Closing: keep the best candidate as it stood after the last matched point.
    const bool last = step + 1 == n;
    if (last && minDelta <= kBreakDistance && !scored.empty()) best = *scored.begin();
    if (best.countDistinctMatchedLinks() > 3 || best.matchedPoints > 6) bestPaths.push_back(best);
    // Unless the piece ended at the trace end or never matched its first point, the point that
    // broke it starts the next search.
    if (last || best.linkCandidates.empty()) ++step;
}

void MarchalBMatching::exactStep(MarPath& best, double& minDelta, bool& stop, MarPathSet& scored) {
    const int32_t q = pointIndex(step);
    MarPathSet branched;
    for (const MarPath& c : kept) {
        MarPath stay(c);
        stay.addLinkCandidate({q, c.lastLink()});
        branched.insert(std::move(stay));
        addNewPaths(branched, c, kBranchDepth);
    }
    paths = std::move(branched);
    minDelta = scoreCandidates(paths, scored);
    flushCandidateLinks();
    if (minDelta > kBreakDistance || step + 1 == route->nodes.size()) {
        stop = true;
        return;
    }
    saveBestPaths(filterCandidates(scored));
    best = *paths.begin();
    keepFrom(paths);
}

bool MarchalBMatching::fastStep(MarPath& best, double& minDelta, bool& stop) {
    // At the trace end the closing needs the whole scored set.
    if (exactOnly || step + 1 >= route->nodes.size()) return false;
    const int32_t q = pointIndex(step);
    const _node& p = route->nodes[static_cast<std::size_t>(q)];
    double delta = kInitialMinDelta;
    ++stamp;
    if (!makeChildren({p.easting, p.northing}, delta)) return false;
    if (delta <= kBreakDistance) {
        if (!pickWinners())
            winnersAsTheExactStep();
        else if (!winnersInOrder())
            winnersByKeyInOrder();
    }

    // Decided: from here the step changes the matcher.
    minDelta = delta;
    seenLinks.insert(seenLinks.end(), childLinksSeen.begin(), childLinksSeen.end());
    flushCandidateLinks();
    if (minDelta > kBreakDistance) {
        stop = true;
        return true;
    }
    std::vector<MarPath> next;
    next.reserve(std::min(winners.size(), kBeamWidth));
    for (std::size_t k = 0; k < winners.size() && k < kBeamWidth; ++k)
        next.push_back(materialise(children[static_cast<std::size_t>(winners[k])], q));
    kept = std::move(next);
    best = kept.front();
    return true;
}

MarchalBMatching::LinkSlot* MarchalBMatching::expanded(int32_t link) {
    LinkSlot* slot = linkSlot(link);
    if (slot == nullptr || slot->expanded) return slot;
    slot->firstBranch = static_cast<uint32_t>(branches.size());
    Branch prefix;
    expand(link, kBranchDepth, prefix);
    slot->lastBranch = static_cast<uint32_t>(branches.size());
    slot->expanded = true;
    return slot;
}

void MarchalBMatching::expand(int32_t L, int depth, Branch& prefix) {
    // The same walk as addNewPaths, recorded instead of applied.
    const LinkInfo& link = linkInfo(L);
    const auto* next = forward ? link.leaving : link.entering;
    const auto* mirrorSide = forward ? link.entering : link.leaving;
    if (!link.exists || next == nullptr) {
        Branch fault = prefix;
        fault.fault = true;
        branches.push_back(fault);
        return;
    }
    for (const int32_t K : *next) {
        if (mirrorSide != nullptr && mirrorSide->count(K) != 0) continue;
        Branch reached = prefix;
        reached.link = K;
        reached.target = linkSlot(K);
        branches.push_back(reached);
        if (depth > 1) {
            prefix.crossed[prefix.crossedCount++] = K;
            expand(K, depth - 1, prefix);
            --prefix.crossedCount;
        }
    }
}

double MarchalBMatching::distanceAt(LinkSlot& slot, const Point& point) {
    if (slot.distanceStamp != stamp) {
        slot.distanceStamp = stamp;
        slot.distance =
            getNearestPointFromLink(slot.info.originPoint, slot.info.destinationPoint, point).second;
    }
    return slot.distance;
}

bool MarchalBMatching::makeChildren(const Point& point, double& minDelta) {
    children.clear();
    childLinksSeen.clear();
    for (std::size_t parent = 0; parent < kept.size(); ++parent) {
        const MarPath& c = kept[parent];
        const int32_t L = c.lastLink();
        LinkSlot* slot = expanded(L);
        if (slot == nullptr || !slot->info.exists) return false;
        const auto size = static_cast<uint32_t>(c.linkCandidates.size());
        const auto matched = static_cast<double>(c.matchedPoints + 1);
        auto add = [&](int32_t branch, int32_t link, LinkSlot& target, uint32_t childSize) {
            const double d = distanceAt(target, point);
            children.push_back({static_cast<int32_t>(parent), branch, link, target.info.superLinkKey,
                                childSize, d, (c.score + d) / matched});
            if (d < minDelta) minDelta = d;
            if (d <= kSearchRadius) childLinksSeen.push_back(link);
        };
        add(-1, L, *slot, size + 1);
        for (uint32_t b = slot->firstBranch; b < slot->lastBranch; ++b) {
            const Branch& branch = branches[b];
            LinkSlot* target = branch.fault ? nullptr : branch.target;
            if (target == nullptr || !target->info.exists) return false;
            add(static_cast<int32_t>(b), branch.link, *target, size + branch.crossedCount + 1u);
        }
    }
    return true;
}

bool MarchalBMatching::pickWinners() {
    // The best child per super-link: the lowest average; where several children share it exactly,
    // the first of them in the scored set's order (resolveTies).
    winners.clear();
    winnerTied.clear();
    for (std::size_t i = 0; i < children.size(); ++i) {
        const Child& child = children[i];
        // An undefined average is equal to every other one in the order: only the exact step knows
        // where it ends up.
        if (std::isnan(child.avgScore)) return false;
        if (!(child.distance < kFilterDistance)) continue;
        const int key = child.superLinkKey;
        if (key < -1) return false;
        const auto k = static_cast<std::size_t>(key + 1);
        if (k >= winnerOfKey.size()) {
            winnerOfKey.resize(k + 1, -1);
            winnerStamp.resize(k + 1, 0);
        }
        if (winnerStamp[k] != stamp) {
            winnerStamp[k] = stamp;
            winnerOfKey[k] = static_cast<int32_t>(winners.size());
            winners.push_back(static_cast<int32_t>(i));
            winnerTied.push_back(0);
            continue;
        }
        const auto w = static_cast<std::size_t>(winnerOfKey[k]);
        const Child& current = children[static_cast<std::size_t>(winners[w])];
        if (child.avgScore < current.avgScore) {
            winners[w] = static_cast<int32_t>(i);
            winnerTied[w] = 0;
        } else if (child.avgScore == current.avgScore) {
            winnerTied[w] = 1;  // only a tie at the lowest average needs the order
        }
    }
    return resolveTies();
}

void MarchalBMatching::rankKept() {
    // Groups of parent averages chained within the tolerance, numbered in ascending order, and
    // whether each spreads over the tolerance or more.
    const std::size_t n = kept.size();
    keptByAverage.resize(n);
    for (std::size_t i = 0; i < n; ++i) keptByAverage[i] = static_cast<int32_t>(i);
    auto avgOf = [this](int32_t i) { return kept[static_cast<std::size_t>(i)].avgScore; };
    std::sort(keptByAverage.begin(), keptByAverage.end(),
              [&avgOf](int32_t a, int32_t b) { return avgOf(a) < avgOf(b); });
    keptGroup.assign(n, 0);
    groupSpread.clear();
    double low = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double avg = avgOf(keptByAverage[i]);
        if (i == 0 || !(avg - avgOf(keptByAverage[i - 1]) < kEqualAverage)) {
            low = avg;
            groupSpread.push_back(0);
        }
        if (!(avg - low < kEqualAverage)) groupSpread.back() = 1;
        keptGroup[static_cast<std::size_t>(keptByAverage[i])] = static_cast<int32_t>(groupSpread.size() - 1);
    }
}

bool MarchalBMatching::tightAround(double avg) {
    // The children's averages that chain to `avg` must lie closer than the tolerance to each other:
    // then the scored set orders them by list length and insertion, whatever chains elsewhere. Any
    // average of such a group, or next to one, is within twice the tolerance of `avg`.
    orderScratch.clear();
    for (const Child& child : children)
        if (std::fabs(child.avgScore - avg) < 2 * kEqualAverage) orderScratch.push_back(child.avgScore);
    std::sort(orderScratch.begin(), orderScratch.end());
    const auto at = std::lower_bound(orderScratch.begin(), orderScratch.end(), avg);
    if (at == orderScratch.end()) return false;
    auto low = at, high = at;
    while (low != orderScratch.begin() && *low - *std::prev(low) < kEqualAverage) --low;
    while (std::next(high) != orderScratch.end() && *std::next(high) - *high < kEqualAverage) ++high;
    return *high - *low < kEqualAverage;
}

bool MarchalBMatching::resolveTies() {
    // Children of one super-link with exactly the lowest average come out of the scored set by
    // list length, then in the order they went in, which is the branched set's: by their parents'
    // averages, then as they were made. Each rule holds only inside a group of averages that does
    // not chain beyond the tolerance; elsewhere the exact step decides.
    bool ranked = false;
    for (std::size_t w = 0; w < winners.size(); ++w) {
        if (winnerTied[w] == 0) continue;
        const Child& winner = children[static_cast<std::size_t>(winners[w])];
        const double avg = winner.avgScore;
        const int key = winner.superLinkKey;
        if (!tightAround(avg)) return false;
        if (!ranked) {
            rankKept();
            ranked = true;
        }
        int32_t best = -1;
        for (std::size_t i = 0; i < children.size(); ++i) {
            const Child& child = children[i];
            if (child.superLinkKey != key || child.avgScore != avg || !(child.distance < kFilterDistance))
                continue;
            if (best >= 0) {
                const Child& b = children[static_cast<std::size_t>(best)];
                if (child.size > b.size) continue;
                if (child.size == b.size) {
                    const auto g = keptGroup[static_cast<std::size_t>(child.parent)];
                    const auto gb = keptGroup[static_cast<std::size_t>(b.parent)];
                    if (groupSpread[static_cast<std::size_t>(g)] != 0 ||
                        groupSpread[static_cast<std::size_t>(gb)] != 0)
                        return false;
                    if (g >= gb) continue;
                }
            }
            best = static_cast<int32_t>(i);
        }
        winners[w] = best;
    }
    return true;
}

bool MarchalBMatching::winnersInOrder() {
    // filterCandidates inserts the winners in ascending super-link key into an ordered multiset:
    // by average (within the tolerance), then link-list length, then key.
    struct Entry {
        double avg;
        uint32_t size;
        int key;
        int32_t child;
        std::size_t group;
    };
    std::vector<Entry> entries;
    entries.reserve(winners.size());
    for (const int32_t w : winners) {
        const Child& child = children[static_cast<std::size_t>(w)];
        const int key = child.superLinkKey;
        if (std::isnan(child.avgScore)) return false;
        entries.push_back({child.avgScore, child.size, key, w, 0});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.avg < b.avg; });
    std::size_t first = 0;
    for (std::size_t i = 1; i <= entries.size(); ++i) {
        if (i < entries.size() && std::fabs(entries[i].avg - entries[i - 1].avg) < kEqualAverage) {
            entries[i].group = entries[first].group;
            continue;
        }
        if (!(std::fabs(entries[i - 1].avg - entries[first].avg) < kEqualAverage)) return false;
        if (i < entries.size()) {
            entries[i].group = entries[first].group + 1;
            first = i;
        }
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.group != b.group) return a.group < b.group;
        if (a.size != b.size) return a.size < b.size;
        return a.key < b.key;
    });
    winners.clear();
    for (const Entry& e : entries) winners.push_back(e.child);
    return true;
}

double MarchalBMatching::ChildOrder::avg(int32_t i) const {
    const Child& c = (*children)[static_cast<std::size_t>(i)];
    return parents == nullptr ? c.avgScore : (*parents)[static_cast<std::size_t>(c.parent)].avgScore;
}

bool MarchalBMatching::ChildOrder::operator()(int32_t a, int32_t b) const {
    return MarPathOrder::before(avg(a), (*children)[static_cast<std::size_t>(a)].size, avg(b),
                                (*children)[static_cast<std::size_t>(b)].size);
}

void MarchalBMatching::winnersAsTheExactStep() {
    ++rebuiltOrderSteps;
    ++rebuiltOnAllChildren;
    // The four trees live in one scratch buffer that is dropped whole at the end of the step.
    const std::size_t need = 4 * (children.size() + 1) * kTreeNodeBytes;
    if (treeArena.size() < need) treeArena.resize(need);
    std::pmr::monotonic_buffer_resource arena(treeArena.data(), treeArena.size());
    ChildTree branched(ChildOrder{&children, &kept}, &arena);
    for (std::size_t i = 0; i < children.size(); ++i) branched.insert(static_cast<int32_t>(i));
    ChildTree scored(ChildOrder{&children, nullptr}, &arena);
    for (const int32_t i : branched) scored.insert(i);

    // filterCandidates: the best per super-link in the scored order, then by ascending key.
    std::vector<std::pair<int, int32_t>>& best = treeWinners;
    best.clear();
    for (const int32_t i : scored) {
        const Child& child = children[static_cast<std::size_t>(i)];
        if (!(child.distance < kFilterDistance)) continue;
        const int k = child.superLinkKey;
        auto it = std::lower_bound(best.begin(), best.end(), k,
                                   [](const std::pair<int, int32_t>& e, int key) { return e.first < key; });
        if (it == best.end() || it->first != k)
            best.insert(it, {k, i});
        else if (child.avgScore < children[static_cast<std::size_t>(it->second)].avgScore)
            it->second = i;
    }
    orderByTrees(arena);
}

void MarchalBMatching::winnersByKeyInOrder() {
    ++rebuiltOrderSteps;
    treeWinners.clear();
    for (const int32_t w : winners)
        treeWinners.emplace_back(children[static_cast<std::size_t>(w)].superLinkKey, w);
    std::sort(treeWinners.begin(), treeWinners.end());
    const std::size_t need = 2 * (treeWinners.size() + 1) * kTreeNodeBytes;
    if (treeArena.size() < need) treeArena.resize(need);
    std::pmr::monotonic_buffer_resource arena(treeArena.data(), treeArena.size());
    orderByTrees(arena);
}

void MarchalBMatching::orderByTrees(std::pmr::memory_resource& arena) {
    // The winners (treeWinners, by ascending key) as filterCandidates inserts them into an ordered
    // multiset, and the first of them inserted again in that order by saveBestPaths.
    const ChildOrder order{&children, nullptr};
    ChildTree filtered(order, &arena);
    for (const auto& entry : treeWinners) filtered.insert(entry.second);
    ChildTree beam(order, &arena);
    for (auto it = filtered.begin(); it != filtered.end() && beam.size() < kBeamWidth; ++it) beam.insert(*it);
    winners.assign(beam.begin(), beam.end());
}

MarPath MarchalBMatching::materialise(const Child& child, int32_t point) const {
    MarPath path(kept[static_cast<std::size_t>(child.parent)]);
    if (child.branch >= 0) {
        const Branch& branch = branches[static_cast<std::size_t>(child.branch)];
        for (uint8_t k = 0; k < branch.crossedCount; ++k) path.addLinkCandidate({-1, branch.crossed[k]});
    }
    path.addLinkCandidate({point, child.link});
    path.updateScore(child.distance);
    return path;
}

void MarchalBMatching::addNewPaths(MarPathSet& newPaths, const MarPath& path, int depth) {
    if (path.linkCandidates.empty()) return;
    const int32_t L = path.lastLink();
    const int32_t q = pointIndex(step);
    const LinkInfo& link = linkInfo(L);
    if (!link.exists) {
        printMissingLink(L);
        return;
    }
    // Forwards the vehicle leaves L's destination, backwards it came into L's origin. A link of
    // both sets joins the same two nodes in the opposite direction: the mirror of L.
    const auto* next = forward ? link.leaving : link.entering;
    const auto* mirrorSide = forward ? link.entering : link.leaving;
    if (next == nullptr) {
        std::cout << "ERROR: non existing graph node " << (forward ? link.destination : link.origin) << "."
                  << std::endl;
        return;
    }
    for (const int32_t K : *next) {
        if (mirrorSide != nullptr && mirrorSide->count(K) != 0) continue;  // no U-turn onto the same road
        MarPath reached(path);
        reached.addLinkCandidate({q, K});
        newPaths.insert(std::move(reached));
        if (depth > 1) {
            MarPath crossed(path);
            crossed.addLinkCandidate({-1, K});
            addNewPaths(newPaths, crossed, depth - 1);
        }
    }
}

MarPathSet MarchalBMatching::filterCandidates(const MarPathSet& candidates) {
    // Best candidate per super-link, kept sorted by key; the earlier candidate wins ties.
    filterScratch.clear();
    for (const MarPath& c : candidates) {
        if (!(c.lastScore < kFilterDistance) || c.linkCandidates.empty()) continue;
        const LinkInfo& link = linkInfo(c.lastLink());
        const int k = link.exists ? link.superLinkKey : map->getSuperLinkKey(c.lastLink());
        auto it =
            std::lower_bound(filterScratch.begin(), filterScratch.end(), k,
                             [](const std::pair<int, const MarPath*>& e, int key) { return e.first < key; });
        if (it == filterScratch.end() || it->first != k) {
            filterScratch.insert(it, {k, &c});
        } else if (c.avgScore < it->second->avgScore) {
            it->second = &c;
        }
    }
    MarPathSet out;
    for (const auto& entry : filterScratch) out.insert(*entry.second);
    filterScratch.clear();
    return out;
}

void MarchalBMatching::saveBestPaths(const MarPathSet& candidates) {
    if (&candidates == &paths) {
        const MarPathSet copy(candidates);
        saveBestPaths(copy);
        return;
    }
    paths.clear();
    std::size_t kept = 0;
    for (const MarPath& c : candidates) {
        if (kept == kBeamWidth) break;
        paths.insert(c);
        ++kept;
    }
}

Path MarchalBMatching::getPath(const MarPath& candidate, bool keepAll) const {
    Path path;
    for (const PairList::Pair& p : candidate.linkCandidates.toVector())
        if (keepAll || p.first >= 0) path.links.push_back(p);
    if (!path.links.empty()) {
        path.startIndex = path.links.front().first;
        path.lastIndex = path.links.back().first;
    }
    return path;
}

void MarchalBMatching::prepateOutput() {
    const int32_t n = route == nullptr ? 0 : static_cast<int32_t>(route->nodes.size());
    for (const MarPath& piece : bestPaths) {
        matched.push_back(std::make_unique<Path>(getPath(piece, true)));
        shortMatched.push_back(std::make_unique<Path>(getPath(piece, false)));
    }
    unmatched = unmatchedAround(matched, n);
}

std::vector<std::unique_ptr<Path>> MarchalBMatching::getMatched() {
    if (matched.empty() && unmatched.empty()) prepateOutput();
    return traces::ownedCopies(matched);
}

std::vector<std::unique_ptr<Path>> MarchalBMatching::getShortMatched() {
    if (matched.empty() && unmatched.empty()) prepateOutput();
    return traces::ownedCopies(shortMatched);
}

std::vector<std::unique_ptr<_unmatchinfo>> MarchalBMatching::getUnmatchedInfo() {
    if (matched.empty() && unmatched.empty()) prepateOutput();
    return traces::ownedCopies(unmatched);
}

std::vector<std::unique_ptr<Path>> MarchalBMatching::takeMatched() {
    std::vector<std::unique_ptr<Path>> pieces;
    pieces.reserve(bestPaths.size());
    for (const MarPath& piece : bestPaths) pieces.push_back(std::make_unique<Path>(getPath(piece, true)));
    std::vector<MarPath>().swap(bestPaths);
    matched.clear();
    shortMatched.clear();
    unmatched.clear();
    return pieces;
}

std::vector<std::set<int>> MarchalBMatching::getCandidateLinkSets() const {
    std::vector<std::set<int>> sets;
    sets.reserve(candidateLinks.size());
    for (const auto& links : candidateLinks) sets.emplace_back(links.begin(), links.end());
    return sets;
}

void MarchalBMatching::generateMatchKML() {
    if (map == nullptr || route == nullptr) return;
    const std::size_t n = route->nodes.size();
    std::vector<int> links(n, -1);
    for (const MarPath& piece : bestPaths)
        for (const PairList::Pair& p : piece.linkCandidates.toVector())
            if (p.first >= 0 && static_cast<std::size_t>(p.first) < n &&
                links[static_cast<std::size_t>(p.first)] == -1)
                links[static_cast<std::size_t>(p.first)] = p.second;
    kmlMatch::KMLBuilder builder(map, route, links, std::vector<std::pair<int, int>>(),
                                 forward ? "marchal" : "marchal_back");
    builder.buildKML();
}

void MarchalBMatching::showPaths(const MarPathSet& candidates) const {
    std::cout << "   ### [PATHS] ###" << std::endl;
    for (const MarPath& c : candidates) c.printPath();
    std::cout << "   ### [/PATHS] ###" << std::endl << std::endl;
}

}  // namespace MapMatching
