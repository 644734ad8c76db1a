// Support of the genetic matcher: the precomputed candidate links and distances of a stretch of
// trace (Distances), and the random selection operators (roulette wheel, tournament) with the
// score ranking of a generation.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "geometry/geometry.h"
#include "map/maps.h"
#include "matching/c_random.h"
#include "traces/route.h"

namespace MapMatching {

// Radius (metres) of the near-link search around a trace point.
inline constexpr double kMaxDistLink = 20.0;

// Uniform draw in [0, 1] from the C library's sequence; both ends can occur.
inline double uniformDraw() {
    return geneticRandom().next() / 2147483647.0;
}

// Candidate links and distances of one stretch of trace.
class Distances {
public:
    // One entry per trace point: (link id, point-to-link distance) in the order found.
    using CandidateList = std::vector<std::vector<std::pair<int, double>>>;

    mapRepresentation::Map* map = nullptr;
    Route* route = nullptr;
    std::ofstream* log = nullptr;
    // Entry k: length of the trace polyline from point 0 to point k.
    std::vector<double> traceDistances;
    // Per trace point: admissible links -> distance from the point (metres).
    std::vector<std::map<int, double>> nearLinks;
    // Gap distance from the end of the first link to the start of the second; directional.
    std::map<std::pair<int, int>, double> linkDistances;
    std::vector<double> minHeadings;
    std::vector<double> maxHeadings;

    Distances() = default;
    // Hybrid form: per-point candidate links from the Marchal runs, and points whose link is decided.
    Distances(mapRepresentation::Map* map, Route* route, const std::vector<std::set<int>>& candidateSets,
              const std::set<int>& fixedPoints, std::ofstream* log);
    // Genetic-only form: candidate sets of a forward run (trace order) and of a backward run
    // (reversed order: point i is entry n-1-i); either may be null.
    Distances(mapRepresentation::Map* map, Route* route, const std::vector<std::set<int>>* forwardSets,
              const std::vector<std::set<int>>* backwardSets, std::ofstream* log);

    // Links admissible at point i, ascending.
    std::vector<int> getValidLinks(int i) const;
    // Nearest admissible link of point i (lower id on equal distances), -1 when none.
    int getNearestLink(int i) const;
    // Distance from point i to a link; remembered in the point's table.
    double getDistanceFromPointToLink(int i, int link);
    // Distance from the destination of link1 to the origin of link2; remembered per ordered pair.
    double getDistanceBetweenLinks(int link1, int link2);

    // Building steps, run by the constructors.
    void calculateHeadingIntervals();
    void calculateTraceLinkDistances();
    void calculateNearLinkDistances(const std::vector<std::set<int>>& candidateSets,
                                    const std::set<int>& fixedPoints);
    void calculateNearLinkDistances(const std::vector<std::set<int>>* forwardSets,
                                    const std::vector<std::set<int>>* backwardSets);
    void filterCandidatesByHeading(CandidateList& candidates, const std::set<int>& excluded);
    void filterCandidatesBySuperLink(CandidateList& candidates, const std::set<int>& excluded);

private:
    int pointCount() const;
    // Distance from point i to a link, computed from the map; false when the link does not exist.
    bool computePointToLink(int i, int link, double& distance) const;
    // Per-point log of the heading interval and the candidates; `marchalLines(i)` writes the
    // candidate-set lines of point i.
    template <typename MarchalLines>
    void logCandidates(double elapsedSeconds, MarchalLines marchalLines) const;
};

// ---------------------------------------------------------------------------------------------
// Selection operators

template <typename T>
class Selection {
public:
    virtual ~Selection() = default;
    virtual std::unique_ptr<Selection<T>> newObject() const = 0;
    virtual T getSelected() = 0;
    virtual std::string toString() = 0;
};

template <typename T>
struct RouletteWheelNode {
    double bound = 0.0;  // cumulative probability up to and including this slot
    T value{};
};

// Fitness-proportional draw over weighted items.
template <typename T>
class RouletteWheel : public Selection<T> {
public:
    // Slots in order; bounds lying within 1e-8 of each other count as equal, the later slot first.
    std::vector<RouletteWheelNode<T>> nodes;

    RouletteWheel() = default;
    explicit RouletteWheel(const std::vector<std::pair<double, T>>& items) {
        nodes.reserve(items.size());
        double sum = 0.0;
        for (const auto& [probability, item] : items) {
            sum += probability;
            insert(RouletteWheelNode<T>{sum, item});
        }
        monotone = true;
        for (size_t k = 1; k < nodes.size(); ++k)
            if (nodes[k].bound < nodes[k - 1].bound) monotone = false;
    }

    std::unique_ptr<Selection<T>> newObject() const override {
        return std::make_unique<RouletteWheel<T>>(*this);
    }

    T getSelected() override { return selectFor(uniformDraw()); }

    // The item a draw r in [0, 1] selects: the first slot whose bound is at least r + 1e-8,
    // else the last slot.
    T selectFor(double r) const {
        if (nodes.empty()) return T{};
        const double target = r + 1e-8;
        size_t pick = nodes.size();
        if (monotone) {
            size_t lo = 0, hi = nodes.size();
            while (lo < hi) {
                const size_t mid = lo + (hi - lo) / 2;
                if (nodes[mid].bound < target)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            pick = lo;
        } else {
            // Only slots with negative or sub-1e-8 weights get here; the order is then not
            // monotone and a scan is the only exact search.
            for (size_t k = 0; k < nodes.size(); ++k)
                if (nodes[k].bound >= target) {
                    pick = k;
                    break;
                }
        }
        if (pick == nodes.size()) pick = nodes.size() - 1;
        return nodes[pick].value;
    }

    std::string toString() override {
        std::ostringstream out;
        out << "Roulette: size = " << nodes.size() << "\n\n";
        return out.str();
    }

private:
    bool monotone = true;

    void insert(const RouletteWheelNode<T>& node) {
        // Before every slot whose bound is not below the new one's by 1e-8 or more.
        auto it = nodes.end();
        while (it != nodes.begin() && node.bound < std::prev(it)->bound + 1e-8) --it;
        nodes.insert(it, node);
    }
};

// Knock-out tournament between randomly drawn entries; keys are costs (lower is better).
template <typename T>
class Tournament : public Selection<T> {
public:
    int size = 0;              // 2^size contestants per draw
    double probability = 0.0;  // chance that the lower key wins a match
    std::vector<std::pair<double, T>> entries;

    Tournament() = default;
    Tournament(const std::vector<std::pair<double, T>>& entries_, int size_, double probability_)
        : size(size_), probability(probability_), entries(entries_) {}

    std::unique_ptr<Selection<T>> newObject() const override {
        return std::make_unique<Tournament<T>>(*this);
    }

    T getSelected() override {
        if (entries.empty()) return T{};
        // The exponent is bounded so that one draw cannot ask for an unbounded bracket.
        const int exponent = size < 0 ? 0 : (size > kMaxExponent ? kMaxExponent : size);
        size_t m = size_t{1} << exponent;
        const size_t n = entries.size();
        if (m <= kInlineSlots) {
            size_t slots[kInlineSlots];
            return play(slots, m, n);
        }
        std::vector<size_t> slots(m);
        return play(slots.data(), m, n);
    }

    std::string toString() override {
        std::ostringstream out;
        out << "Total of elements: " << entries.size() << "\n"
            << "Size of Tournament: " << size << "\n\n";
        return out.str();
    }

private:
    static constexpr int kMaxExponent = 20;
    static constexpr size_t kInlineSlots = 16;

    // The draw below which the lower key wins, for the probability it was computed for.
    double thresholdOf = 0.0;
    int64_t threshold = 0;

    T play(size_t* slots, size_t m, size_t n) {
        CRandom& random = geneticRandom();
        if (threshold == 0 || thresholdOf != probability) {
            threshold = CRandom::threshold(probability);
            thresholdOf = probability;
        }
        for (size_t c = 0; c < m; ++c) slots[c] = static_cast<size_t>(random.next()) % n;
        while (m > 1) {
            m /= 2;
            for (size_t c = 0; c < m; ++c) {
                const size_t a = slots[2 * c];
                const size_t b = slots[2 * c + 1];
                bool aWins;
                if (random.next() < threshold)
                    aWins = entries[a].first < entries[b].first;
                else
                    aWins = entries[a].first > entries[b].first;
                slots[c] = aWins ? a : b;
            }
        }
        return entries[slots[0]].second;
    }
};

class Individual;

// Strict ordering of individuals by ascending score.
bool compareScore(const Individual* a, const Individual* b);

// The individuals of one generation in ascending score order; equal scores keep vector order.
class RankedPopulation {
public:
    explicit RankedPopulation(std::vector<Individual>* population);

    bool hasNext() const { return cursor < ranked.size(); }
    Individual* next() { return ranked[cursor++]; }

    // The ranking as a whole, for walks that need an index.
    const std::vector<Individual*>& order() const { return ranked; }

private:
    std::vector<Individual*> ranked;
    size_t cursor = 0;
};

}  // namespace MapMatching
