// Speed of the genetic matcher's inner loop: fitness evaluations of a 50-gene chromosome, whole
// generations, the evolution of one segment to stagnation, and building the candidate tables.
//
// The map is generated in memory: a Manhattan grid near Porto of 60 x 60 junctions 90 m apart,
// one-way streets in alternating directions, every block edge drawn as three links (so super-links
// hold three links). The trace drives four blocks east and turns north for about 240 m: 50 points
// 12 m apart with up to 3 m of noise. Every point's candidates are the links within 20 m, as the
// hybrid matcher gathers them for holes and trace ends.
//
// Counters: `allocs_per_eval` counts heap allocations per fitness evaluation (expected 0 once the
// caches are warm); `links_per_gene` is the mean number of valid links per gene.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <random>
#include <set>
#include <vector>

#include "geometry/geometry.h"
#include "map/maps.h"
#include "matching/matching_genetic.h"
#include "matching/matching_genetic_util.h"
#include "traces/route.h"

namespace {
std::atomic<long> g_allocations{0};
}

// Counts every allocation of the program; the pair forwards to malloc and free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

constexpr int kJunctions = 60;
constexpr double kBlock = 90.0;
constexpr int kLinksPerEdge = 3;
constexpr double kLat0 = 41.15, kLon0 = -8.61;

_position at(double x, double y) {
    return {kLat0 + y / 111320.0, kLon0 + x / (111320.0 * std::cos(kLat0 * std::numbers::pi / 180.0))};
}

struct Fixture {
    mapRepresentation::Map map;
    Route route;
    std::vector<std::set<int>> candidates;

    Fixture() {
        uint32_t next = 1;
        auto addNode = [&](double x, double y) {
            const _position p = at(x, y);
            map.addNode(next, p.lat, p.lon, 0, 0);
            return next++;
        };
        std::vector<uint32_t> junction(kJunctions * kJunctions);
        for (int r = 0; r < kJunctions; ++r)
            for (int c = 0; c < kJunctions; ++c)
                junction[r * kJunctions + c] = addNode(c * kBlock, r * kBlock);
        // A one-way block edge from junction a to junction b through shape nodes.
        auto edge = [&](int ra, int ca, int rb, int cb) {
            uint32_t from = junction[ra * kJunctions + ca];
            for (int k = 1; k < kLinksPerEdge; ++k) {
                const double t = static_cast<double>(k) / kLinksPerEdge;
                const uint32_t shape = addNode((ca + (cb - ca) * t) * kBlock, (ra + (rb - ra) * t) * kBlock);
                map.addLinkToNode(from, shape, 0, 0);
                from = shape;
            }
            map.addLinkToNode(from, junction[rb * kJunctions + cb], 0, 0);
        };
        for (int r = 0; r < kJunctions; ++r)
            for (int c = 0; c + 1 < kJunctions; ++c) {
                if (r % 2 == 0)
                    edge(r, c, r, c + 1);  // eastbound rows
                else
                    edge(r, c + 1, r, c);
            }
        for (int c = 0; c < kJunctions; ++c)
            for (int r = 0; r + 1 < kJunctions; ++r) {
                if (c % 2 == 0)
                    edge(r, c, r + 1, c);  // northbound columns
                else
                    edge(r + 1, c, r, c);
            }

        // East along row 10 from column 10 to 14, then north along column 14.
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> noise(-3.0, 3.0);
        const double x0 = 10 * kBlock, y0 = 10 * kBlock;
        for (int k = 0; k < 50; ++k) {
            const double s = 6.0 + 12.0 * k;
            const bool east = s < 4 * kBlock;
            const double x = east ? x0 + s : x0 + 4 * kBlock;
            const double y = east ? y0 : y0 + (s - 4 * kBlock);
            _node n;
            n.position = at(x + noise(rng), y + noise(rng));
            const Point p = positionToPoint(n.position);
            n.easting = p.x;
            n.northing = p.y;
            n.heading = east ? std::numbers::pi / 2 : 0.0;
            route.nodes.push_back(n);
        }
        for (const _node& n : route.nodes) {
            const std::vector<int> near = map.getNearestLinks(n.position.lat, n.position.lon, 20.0);
            candidates.emplace_back(near.begin(), near.end());
        }
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

struct Segment {
    MapMatching::Distances distances;
    std::unique_ptr<MapMatching::Population> population;

    explicit Segment(unsigned seed) {
        Fixture& f = fixture();
        distances = MapMatching::Distances(&f.map, &f.route, f.candidates, std::set<int>(), nullptr);
        MapMatching::setFixedRandomSeed(seed);
        population =
            std::make_unique<MapMatching::Population>(&f.map, &f.route, &distances, MapMatching::_params(), 0,
                                                      static_cast<int>(f.route.nodes.size()), nullptr);
        population->initializePopulation(std::set<int>());
        MapMatching::setFixedRandomSeed(std::nullopt);
    }

    double linksPerGene() const {
        double sum = 0;
        for (const auto& table : distances.nearLinks) sum += static_cast<double>(table.size());
        return sum / static_cast<double>(distances.nearLinks.size());
    }
};

void BM_FitnessEvaluation(benchmark::State& state) {
    Segment segment(1);
    MapMatching::Population& p = *segment.population;
    // Some evolved individuals as well, so that runs are long and breaks rare, as late in a run.
    for (int g = 0; g < 30; ++g) p.nextGeneration();
    p.fitness(true);
    size_t k = 0;
    const long before = g_allocations.load();
    for (auto _ : state) {
        p.evaluate(p.individuals[k]);
        benchmark::DoNotOptimize(p.individuals[k].score);
        if (++k == p.individuals.size()) k = 0;
    }
    const long allocations = g_allocations.load() - before;
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_eval"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
    state.counters["links_per_gene"] = segment.linksPerGene();
}
BENCHMARK(BM_FitnessEvaluation)->Unit(benchmark::kMicrosecond);

void BM_FitnessOfRandomGeneration(benchmark::State& state) {
    Segment segment(2);
    MapMatching::Population& p = *segment.population;
    for (auto _ : state) {
        p.fitness(true);
        benchmark::DoNotOptimize(p.sumScore);
    }
    state.SetItemsProcessed(state.iterations() * p.populationSize);
}
BENCHMARK(BM_FitnessOfRandomGeneration)->Unit(benchmark::kMicrosecond);

void BM_NextGeneration(benchmark::State& state) {
    Segment segment(3);
    MapMatching::Population& p = *segment.population;
    for (auto _ : state) p.nextGeneration();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextGeneration)->Unit(benchmark::kMicrosecond);

void BM_EvolveSegment(benchmark::State& state) {
    long generations = 0;
    for (auto _ : state) {
        Segment segment(static_cast<unsigned>(generations + 11));
        MapMatching::Population& p = *segment.population;
        while (p.generation - p.bestGeneration <= p.params.maxStagnation && p.generation <= 5000)
            p.nextGeneration();
        generations += p.generation;
    }
    state.counters["generations"] =
        static_cast<double>(generations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EvolveSegment)->Unit(benchmark::kMillisecond);

void BM_BuildDistances(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        MapMatching::Distances d(&f.map, &f.route, f.candidates, std::set<int>(), nullptr);
        benchmark::DoNotOptimize(d.nearLinks.data());
    }
}
BENCHMARK(BM_BuildDistances)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
