// Cost of the whole hybrid pipeline (both Marchal runs, the genetic stage on every ambiguous
// segment, the output) per trace point, on generated drives through two kinds of street grid: a
// clean drive of 1 000 to 1 000 000 points on a small grid digitised every 25 m, matched as one
// piece, and a noisy drive of 2 000 to 200 000 points on a dense 30 x 30 grid, whose long pieces
// carry many close and tied candidates. The time per point must stay flat as the trace grows in both.
// "peak B/point" is the growth of the process's peak resident memory over the run divided by the
// points: run one size alone (--benchmark_filter=BM_Pipeline/points:1000000) for a clean figure.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "grid_world.h"
#include "matching/KARVEL.h"

using namespace bench_grid;

namespace {

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void runPipeline(benchmark::State& state, const GridShape& shape) {
    const int points = static_cast<int>(state.range(0));
    mapRepresentation::Map& map = gridMap(shape);
    Route route = gridDrive(points, shape);
    std::size_t matchedPoints = 0, paths = 0;
    const long peakBefore = peakKilobytes();
    for (auto _ : state) {
        MapMatching::KARVEL matcher(&map, &route, false);
        matcher.run(false);
        const auto result = matcher.getShortMatched();
        paths = result.size();
        matchedPoints = 0;
        for (const auto& p : result) matchedPoints += p->links.size();
        benchmark::DoNotOptimize(paths);
    }
    state.counters["peak B/point"] = 1024.0 * static_cast<double>(peakKilobytes() - peakBefore) / points;
    state.counters["paths"] = static_cast<double>(paths);
    state.counters["matched%"] = 100.0 * static_cast<double>(matchedPoints) / points;
    state.counters["points/s"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/point"] = benchmark::Counter(
        points, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Pipeline(benchmark::State& state) {
    runPipeline(state, kCleanGrid);
}

void BM_PipelineDenseNoisy(benchmark::State& state) {
    runPipeline(state, kDenseNoisyGrid);
}

}  // namespace

BENCHMARK(BM_Pipeline)
    ->ArgName("points")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_PipelineDenseNoisy)
    ->ArgName("points")
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
