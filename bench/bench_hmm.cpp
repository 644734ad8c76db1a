// Cost of the HMM matcher per trace point on the generated road grid, for traces of 1 000, 10 000 and
// 100 000 points, against the hybrid matcher on the same drives. The cost per point must not grow with
// the trace length: the route searches are bounded per step and the lattice is one flat array.
#include <benchmark/benchmark.h>

#include "grid_world.h"
#include "map/road_graph.h"
#include "matching/KARVEL.h"
#include "matching/hmm_matcher.h"

using namespace bench_grid;

namespace {

void BM_HmmRun(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    const mapRepresentation::RoadGraph graph(gridMap());
    const Route route = gridDrive(points);
    MapMatching::HmmMatcher matcher(graph, MapMatching::kHmmDefaults);
    std::size_t pieces = 0;
    for (auto _ : state) {
        matcher.run(route);
        pieces = matcher.getShortMatched().size();
        benchmark::DoNotOptimize(pieces);
    }
    state.counters["pieces"] = static_cast<double>(pieces);
    state.counters["points/s"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/point"] = benchmark::Counter(
        points, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_HybridRun(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    Route route = gridDrive(points);
    for (auto _ : state) {
        MapMatching::KARVEL matcher(&gridMap(), &route, false);
        matcher.run(false);
        benchmark::DoNotOptimize(matcher.getShortMatched().size());
    }
    state.counters["points/s"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_HmmRun)->ArgNames({"points"})->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HybridRun)->ArgNames({"points"})->Arg(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
