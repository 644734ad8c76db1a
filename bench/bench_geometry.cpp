// Cost of the geometry that the matchers call per candidate: the UTM forward conversion and the
// nearest point of a link.
#include <benchmark/benchmark.h>

#include <vector>

#include "geometry/GPSPoint.h"
#include "geometry/geometry.h"

namespace {

void BM_ConvertWGS84ToUTM(benchmark::State& state) {
    // A small spread of positions so that the branch on the hemisphere and the zone vary.
    const std::vector<std::pair<double, double>> positions = {
        {41.15, -8.61}, {-33.92, 18.42}, {52.52, 13.40}, {-0.25, 3.1}, {64.1, -21.9}, {35.68, 139.69}};
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [lat, lon] = positions[i];
        i = (i + 1) % positions.size();
        GPSPoint g = GPSPoint::convertWGS84ToUTM(lat, lon);
        benchmark::DoNotOptimize(g.easting);
        benchmark::DoNotOptimize(g.northing);
    }
}
BENCHMARK(BM_ConvertWGS84ToUTM);

void BM_ConvertUTMToWGS84(benchmark::State& state) {
    const GPSPoint g = GPSPoint::convertWGS84ToUTM(41.15, -8.61);
    for (auto _ : state) {
        GPSPoint back = GPSPoint::convertUTMToWGS84(g.easting, g.northing, g.zone, g.latZone);
        benchmark::DoNotOptimize(back.latitude);
        benchmark::DoNotOptimize(back.longitude);
    }
}
BENCHMARK(BM_ConvertUTMToWGS84);

void BM_GetNearestPointFromLink(benchmark::State& state) {
    // Query points inside, before and after an oblique link at UTM scale.
    const Point a{532700.0, 4555400.0}, b{532790.0, 4555530.0};
    const std::vector<Point> queries = {
        {532740.0, 4555470.0}, {532650.0, 4555380.0}, {532820.0, 4555600.0}, {532760.0, 4555455.0}};
    std::size_t i = 0;
    for (auto _ : state) {
        const Point& c = queries[i];
        i = (i + 1) % queries.size();
        auto r = getNearestPointFromLink(a, b, c);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_GetNearestPointFromLink);

}  // namespace

BENCHMARK_MAIN();
