// Cost per trace point of reading a GPX log and of writing a matched trace as CSV and GeoJSON, on
// generated drives through a street grid. The time per point must stay flat as the trace grows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "app/result_writer.h"
#include "grid_world.h"
#include "matching/KARVEL.h"
#include "traces/GPXLoader.h"
#include "traces/trace_time.h"

using matchApp::ResultFormat;
using matchApp::ResultWriter;

using namespace bench_grid;

namespace {

std::string gpxFile(int points) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("karvel-bench-" + std::to_string(points) + ".gpx"))
            .string();
    std::ofstream out(path);
    out.precision(10);
    out << "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" "
           "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
    for (const _node& n : gridDrive(points).nodes)
        out << "<trkpt lat=\"" << n.position.lat << "\" lon=\"" << n.position.lon << "\"><ele>12</ele><time>"
            << traces::isoUtcText(n.arrivalTime) << "</time></trkpt>\n";
    out << "</trkseg></trk></gpx>\n";
    return path;
}

void BM_GpxLoad(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    const std::string path = gpxFile(points);
    std::ostringstream log;
    for (auto _ : state) benchmark::DoNotOptimize(traces::loadGpxRoute(path, log).nodes.size());
    std::remove(path.c_str());
    state.counters["s/point"] = benchmark::Counter(
        points, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_WriteResults(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    const auto format = static_cast<ResultFormat>(state.range(1));
    mapRepresentation::Map& map = gridMap();
    Route route = gridDrive(points);
    MapMatching::KARVEL matcher(&map, &route, false);
    matcher.run(false);
    const auto paths = matcher.getShortMatched();  // links between fixes left out, as in a report
    for (auto _ : state) {
        ResultWriter writer(format, map);
        writer.add(route, paths, {});
        std::ostringstream out;
        writer.write(out);
        benchmark::DoNotOptimize(out.tellp());
    }
    state.counters["s/point"] = benchmark::Counter(
        points, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_GpxLoad)->ArgName("points")->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteResults)
    ->ArgNames({"points", "format"})
    ->ArgsProduct({{1000, 10000, 50000},
                   {static_cast<int>(ResultFormat::Csv), static_cast<int>(ResultFormat::GeoJson)}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
