// Cost of Marchal matching per trace point on a generated road grid, for traces of 1 000 to
// 1 000 000 points. The cost per point must not grow with the trace length: a clean trace is
// matched as one piece, so any per-extension copy of a candidate's history would show up here as a
// time per point growing with the length. "rebuilt%" is the share of points whose candidate order
// sorting could not decide (averages chaining within the order's tolerance, which grows with the
// length of a piece), so that the step rebuilt the ordered sets on indices.
#include <benchmark/benchmark.h>

#include "grid_world.h"
#include "matching/matching_marchal.h"

using namespace bench_grid;

namespace {

void BM_MarchalRun(benchmark::State& state) {
    const bool forward = state.range(0) != 0;
    const int points = static_cast<int>(state.range(1));
    mapRepresentation::Map& map = gridMap();
    Route route = gridDrive(points);
    std::size_t pieces = 0, matchedPoints = 0, rebuilt = 0;
    for (auto _ : state) {
        MapMatching::MarchalBMatching matcher(&map, &route);
        matcher.run(forward, false);
        rebuilt = matcher.rebuiltOrderSteps;
        const auto result = matcher.getShortMatched();
        pieces = result.size();
        matchedPoints = 0;
        for (const auto& p : result) matchedPoints += p->links.size();
        benchmark::DoNotOptimize(pieces);
    }
    state.counters["points"] = points;
    state.counters["pieces"] = static_cast<double>(pieces);
    state.counters["matched%"] = 100.0 * static_cast<double>(matchedPoints) / points;
    state.counters["rebuilt%"] = 100.0 * static_cast<double>(rebuilt) / points;
    state.counters["points/s"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/point"] = benchmark::Counter(
        points, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_MarchalRun)
    ->ArgNames({"forward", "points"})
    ->ArgsProduct({{1, 0}, {1000, 10000, 100000, 1000000}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
