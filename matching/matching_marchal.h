// Marchal's multiple-hypothesis path matching: walks a trace point by point, forwards or
// backwards, keeping a bounded ordered set of candidate link sequences, and cuts the trace into
// matched pieces and the gaps between them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <memory_resource>
#include <set>
#include <utility>
#include <vector>

#include "map/maps.h"
#include "traces/path.h"
#include "traces/route.h"

namespace MapMatching {

// An immutable-prefix list of (trace point index, link id) pairs.
//
// Candidates are copied and extended by one pair for every trace point and every branch, so a
// plain vector would make a run quadratic in the length of a piece. Here the committed prefix
// is shared between all copies through reference-counted chunks, and the few pairs added since
// the last commit live inline in the list itself: copying and appending cost O(1) and allocate
// nothing until commit() is called on a candidate that is kept.
class PairList {
public:
    using Pair = std::pair<int32_t, int32_t>;

    bool empty() const { return count == 0; }
    std::size_t size() const { return count; }
    // The last pair; the list must not be empty.
    const Pair& back() const { return tailCount > 0 ? tail[tailCount - 1] : head->pairs[head->used - 1]; }
    // The first pair; walks the list. The list must not be empty.
    Pair front() const;

    void push_back(const Pair& p);
    void clear();
    // Moves the inline pairs into a shared chunk so that later copies share them.
    void commit();

    // The pairs in order (first to last).
    std::vector<Pair> toVector() const;
    static PairList fromVector(const std::vector<Pair>& pairs);

    // Calls f(pair) from the last pair to the first, without materialising the list.
    template <typename F>
    void forEachBackward(F&& f) const {
        for (std::size_t i = tailCount; i > 0; --i) f(tail[i - 1]);
        for (const Chunk* c = head.get(); c != nullptr; c = c->prev.get())
            for (std::size_t i = c->used; i > 0; --i) f(c->pairs[i - 1]);
    }

private:
    static constexpr std::size_t kChunk = 8;

    struct Chunk;
    // Shares a chunk between lists. The count is a plain integer, not an atomic one: a matcher and
    // its candidates live on one thread.
    class ChunkRef {
    public:
        ChunkRef() = default;
        explicit ChunkRef(std::unique_ptr<Chunk> chunk) : p(chunk.release()) {}
        ChunkRef(const ChunkRef& other);
        ChunkRef(ChunkRef&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
        ChunkRef& operator=(ChunkRef other) noexcept {
            std::swap(p, other.p);
            return *this;
        }
        ~ChunkRef() { reset(); }
        // Releases a long chain of sole-owned predecessors iteratively: a recursive release would
        // overflow the stack on a piece of a few hundred thousand points.
        void reset();
        Chunk* get() const { return p; }
        Chunk* operator->() const { return p; }

    private:
        Chunk* p = nullptr;
    };

    struct Chunk {
        std::array<Pair, kChunk> pairs{};
        uint8_t used = 0;
        uint32_t owners = 1;
        ChunkRef prev;
    };

    ChunkRef head;                    // committed pairs, shared between copies
    std::array<Pair, kChunk> tail{};  // pairs added since the last commit
    uint8_t tailCount = 0;
    std::size_t count = 0;
};

// One candidate path: the links of a hypothesis in travel order with its accumulated distance.
class MarPath {
public:
    PairList linkCandidates;
    int32_t matchedPoints = 0;
    double score = 0.0;
    double lastScore = 0.0;
    double avgScore = 0.0;

    MarPath() = default;
    explicit MarPath(const std::pair<int32_t, int32_t>& first);

    void addLinkCandidate(const std::pair<int32_t, int32_t>& candidate);
    void updateScore(double s);
    // Runs of equal links along the first pair and every later pair that carries a trace point.
    int countDistinctMatchedLinks() const;
    // Same counts and scores, pairs in reverse order.
    MarPath reversedPath() const;
    void printPath() const;

    int32_t lastLink() const { return linkCandidates.back().second; }
};

// Candidate order: lower average distance first; averages closer than 1e-6 count as equal and
// the shorter link list goes first. Equal candidates keep their insertion order (multiset).
struct MarPathOrder {
    bool operator()(const MarPath& a, const MarPath& b) const;
    // The same order on the two keys alone.
    static bool before(double avgA, std::size_t sizeA, double avgB, std::size_t sizeB);
};

using MarPathSet = std::multiset<MarPath, MarPathOrder>;

class MarchalBMatching {
public:
    mapRepresentation::Map* map = nullptr;
    Route* route = nullptr;
    bool forward = true;
    uint32_t step = 0;
    MarPathSet paths;
    std::vector<MarPath> bestPaths;
    std::vector<std::unique_ptr<Path>> matched;
    std::vector<std::unique_ptr<Path>> shortMatched;
    std::vector<std::unique_ptr<_unmatchinfo>> unmatched;
    // Runs every position through the exact step (ordered multisets of whole candidates); the
    // result is the same, only slower. Tests compare both.
    bool exactOnly = false;
    // Whether a run records its candidate link sets (getCandidateLinkSets); a matcher that does not
    // read them saves a vector per trace point.
    bool collectCandidateLinks = true;
    // Steps of the last run whose order sorting could not decide, so that ordered multisets were
    // rebuilt on indices, and of those the steps that rebuilt them on every child, not only on the
    // best of each super-link (measures for benchmarks and tests).
    std::size_t rebuiltOrderSteps = 0;
    std::size_t rebuiltOnAllChildren = 0;

    MarchalBMatching(mapRepresentation::Map* map, Route* route);

    // One full run in the given direction; results replace those of an earlier run.
    void run(bool forward, bool kml);

    // Owned copies of the results of the last run (built on first request).
    std::vector<std::unique_ptr<Path>> getMatched();
    std::vector<std::unique_ptr<Path>> getShortMatched();
    std::vector<std::unique_ptr<_unmatchinfo>> getUnmatchedInfo();
    // The pieces of the last run with all their pairs, as getMatched() gives them, handed over
    // instead of copied: the matcher keeps no result of that run.
    std::vector<std::unique_ptr<Path>> takeMatched();

    // Per position of the last run (position s is trace point s forwards, n-1-s backwards), the
    // ascending set of links on which a live candidate placed that point within the search
    // radius. A backward run thus gives the sets of a run over the reversed trace; the
    // genetic-only matcher widens these into its genes.
    std::vector<std::set<int>> getCandidateLinkSets() const;

    double score(int link, const Point& point, double distance) const;
    Path getPath(const MarPath& candidate, bool keepAll) const;
    void prepateOutput();

    void findNearestLinks();
    void continueMatching();
    void addNewPaths(MarPathSet& newPaths, const MarPath& path, int depth);
    MarPathSet filterCandidates(const MarPathSet& candidates);
    void saveBestPaths(const MarPathSet& candidates);
    void generateMatchKML();
    void showPaths(const MarPathSet& candidates) const;

private:
    // What the inner loops need of a link, looked up in the map once per run.
    struct LinkInfo {
        bool exists = false;
        uint32_t origin = 0;
        uint32_t destination = 0;
        int superLinkKey = -1;
        Point originPoint;
        Point destinationPoint;
        const mapRepresentation::SortedIdSet<int32_t>* leaving =
            nullptr;  // forward links of the destination node
        const mapRepresentation::SortedIdSet<int32_t>* entering =
            nullptr;  // backward links of the origin node
    };
    // One way a candidate ending on a link moves on to the next point: the links it crosses
    // without a point, then the link the point lands on. The branches of a link come in the order
    // the recursive expansion makes them and depend only on the link and the direction of the
    // run, so each link is expanded once per run.
    struct LinkSlot;
    struct Branch {
        std::array<int32_t, 3> crossed{};
        uint8_t crossedCount = 0;
        bool fault = false;  // the expansion met a missing link or node (and prints an error)
        int32_t link = 0;
        LinkSlot* target = nullptr;  // the slot of `link`; slots never move
    };
    // Everything a run has learnt about one link it met.
    struct LinkSlot {
        LinkInfo info;
        bool expanded = false;
        uint32_t firstBranch = 0;  // [firstBranch, lastBranch) in branches
        uint32_t lastBranch = 0;
        uint32_t distanceStamp = 0;  // distance holds the distance to the point of this stamp
        double distance = 0.0;
    };
    // A candidate of the next point, made from kept[parent] by branch `branch` (-1: it stays on
    // the parent's link), scored as it is made.
    struct Child {
        int32_t parent = 0;
        int32_t branch = -1;
        int32_t link = 0;
        int superLinkKey = -1;  // of `link`
        uint32_t size = 0;
        double distance = 0.0;
        double avgScore = 0.0;
    };

    // Child indices ordered by MarPathOrder on one of two keys: the branched candidates still carry
    // their parent's average (parents set), the scored ones their own (parents null).
    struct ChildOrder {
        const std::vector<Child>* children;
        const std::vector<MarPath>* parents;
        double avg(int32_t i) const;
        bool operator()(int32_t a, int32_t b) const;
    };
    using ChildTree = std::pmr::multiset<int32_t, ChildOrder>;

    const LinkInfo& linkInfo(int32_t link);
    LinkSlot* linkSlot(int32_t link);
    // Scores every candidate of `from` at the current position into `into`; returns the smallest
    // distance.
    double scoreCandidates(const MarPathSet& from, MarPathSet& into);
    void resetTables();
    void expand(int32_t link, int depth, Branch& prefix);
    LinkSlot* expanded(int32_t link);
    // The point-to-link distance at the current position, computed once per link and position.
    double distanceAt(LinkSlot& slot, const Point& point);

    // One position of a piece, from the candidates kept at the previous one. The fast step
    // returns false, having changed nothing, where the result is not decided by sorting alone
    // (averages that chain within MarPathOrder's tolerance and so make the multiset's order
    // depend on its insertion history, or ties that would depend on that order), where a fault
    // must print its messages, and at the last point of the trace; the exact step then runs.
    bool fastStep(MarPath& best, double& minDelta, bool& stop);
    void exactStep(MarPath& best, double& minDelta, bool& stop, MarPathSet& scored);
    bool makeChildren(const Point& point, double& minDelta);
    // The best child per super-link (winners); false where the exact step must choose them.
    bool pickWinners();
    // Among children tied at a super-link's lowest average, the one the exact step keeps, where
    // that is decided by the averages near the tie; false elsewhere.
    bool resolveTies();
    bool tightAround(double avg);
    void rankKept();
    // The winners in the exact step's order where sorting decides it.
    bool winnersInOrder();
    // Otherwise the order comes from the exact step's ordered multisets, rebuilt on child indices
    // with the same keys and the same insertions, so that every comparison, and thus every
    // position, comes out the same: on the winners alone where they are known ...
    void winnersByKeyInOrder();
    // ... or on every child, where even the winners depend on that order.
    void winnersAsTheExactStep();
    // The last two multisets, over treeWinners.
    void orderByTrees(std::pmr::memory_resource& arena);
    MarPath materialise(const Child& child, int32_t point) const;
    void keepFrom(const MarPathSet& survivors);

    // Trace point of a run position.
    int32_t pointIndex(uint32_t position) const;
    // Adds the links seen at the current position to its candidate set.
    void flushCandidateLinks();

    // Scratch of filterCandidates: (super-link key, candidate) kept sorted by key.
    std::vector<std::pair<int, const MarPath*>> filterScratch;
    // Links within the search radius of the point at the current position, not yet flushed.
    std::vector<int> seenLinks;
    // Candidate link sets of the last run, per position.
    std::vector<std::vector<int>> candidateLinks;
    // Per link id: index in slots, -1 until the run meets the link. Emptied when a run starts, as
    // the map may have changed; only the entries a run touched are reset.
    std::vector<int32_t> slotOf;
    std::deque<LinkSlot> slots;  // references stay valid as slots are added
    std::vector<int32_t> slotLinks;
    std::vector<Branch> branches;
    LinkInfo missingLink;
    uint32_t stamp = 0;
    // The candidates kept at the current position, in order, and the scratch of one step.
    std::vector<MarPath> kept;
    std::vector<Child> children;
    std::vector<int32_t> childLinksSeen;
    std::vector<int32_t> winnerOfKey;  // per super-link key + 1: index in winners, if stamped
    std::vector<uint32_t> winnerStamp;
    std::vector<int32_t> winners;  // children, one per super-link key
    std::vector<char> winnerTied;  // per winner: another child has exactly its average
    std::vector<double> orderScratch;
    std::vector<int32_t> keptByAverage;                // scratch of rankKept
    std::vector<int32_t> keptGroup;                    // per kept candidate: its group of chained averages
    std::vector<uint8_t> groupSpread;                  // per group: it spans the tolerance or more
    std::vector<std::byte> treeArena;                  // scratch of winnersAsTheExactStep
    std::vector<std::pair<int, int32_t>> treeWinners;  // (super-link key, child), by key
};

}  // namespace MapMatching
