// The general KML writer on maps of the size karvel-mapbuild builds: choosing where link arrows go
// (getLinksToDraw) and the whole map document. Both must grow as n log n with the map; the choice
// of arrows used to merge its samples by walking a list, which took 50 s at 40 k nodes.
//
// The map is a grid of one-way streets near Porto, their directions alternating: junctions every
// 200 m joined by chains of eight 25 m links, as a digitised street has shape nodes. Argument:
// junctions per side (26 gives about 10 k nodes, 52 about 40 k, 104 about 160 k).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "kml/KmlWriter.h"
#include "map/maps.h"

namespace {

constexpr int kLinksPerBlock = 8;
constexpr double kLat0 = 41.0, kLon0 = -8.9;
constexpr double kStepLat = 25.0 / 111000.0, kStepLon = 25.0 / 84000.0;

const mapRepresentation::Map& streetGrid(int junctions) {
    static std::map<int, std::unique_ptr<mapRepresentation::Map>> built;
    auto& map = built[junctions];
    if (map) return *map;
    map = std::make_unique<mapRepresentation::Map>();
    std::map<std::pair<int, int>, uint32_t> ids;
    auto node = [&](int i, int j) {
        const auto [it, added] = ids.try_emplace({i, j}, static_cast<uint32_t>(ids.size() + 1));
        if (added) map->addNode(it->second, kLat0 + j * kStepLat, kLon0 + i * kStepLon, 0, 0);
        return it->second;
    };
    const int last = (junctions - 1) * kLinksPerBlock;
    for (int line = 0; line <= last; line += kLinksPerBlock) {
        for (int k = 0; k < last; ++k) {
            const bool ahead = line / kLinksPerBlock % 2 == 0;
            const uint32_t a = node(k, line), b = node(k + 1, line);  // east-west street
            map->addLinkToNode(ahead ? a : b, ahead ? b : a, 10.0, 1);
            const uint32_t c = node(line, k), d = node(line, k + 1);  // north-south street
            map->addLinkToNode(ahead ? c : d, ahead ? d : c, 10.0, 1);
        }
    }
    return *map;
}

void BM_LinksToDraw(benchmark::State& state) {
    const auto& map = streetGrid(static_cast<int>(state.range(0)));
    size_t drawn = 0;
    for (auto _ : state) drawn = KmlWriter::getLinksToDraw(map).size();
    state.counters["nodes"] = static_cast<double>(map.nodes.size());
    state.counters["arrows"] = static_cast<double>(drawn);
}
BENCHMARK(BM_LinksToDraw)->Arg(26)->Arg(52)->Arg(104)->Unit(benchmark::kMillisecond);

void BM_MapDocument(benchmark::State& state) {
    const auto& map = streetGrid(static_cast<int>(state.range(0)));
    const auto dir =
        std::filesystem::temp_directory_path() / ("karvel_bench_kml_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "map.kml").string();
    for (auto _ : state) {
        if (!map.saveToKml(file)) state.SkipWithError("the map document could not be written");
    }
    state.counters["nodes"] = static_cast<double>(map.nodes.size());
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(file));
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_MapDocument)->Arg(26)->Arg(52)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
