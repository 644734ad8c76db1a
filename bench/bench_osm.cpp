// Import speed of the OpenStreetMap importer on a country-sized .osm.pbf.
//
// The input is made by tiling a real extract (Andorra, from the shared data) on a grid: every copy
// gets its own node and way ids and is shifted by whole degrees, so the file has the size and the
// density of a small country. It is written once to the temp folder and reused.
// KARVEL_OSM_BENCH_COPIES sets the number of copies (default 64, about 4.5 million nodes).
//
// Reported separately: the bare libosmium decoding rate, the importer's pass over the file, and the
// whole import (reading, filling the Map, saving the map file), each per wall-clock second and per
// processor second, and the peak memory of the process.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <osmium/io/any_input.hpp>
#include <osmium/io/pbf_output.hpp>
#include <osmium/io/writer.hpp>
#include <osmium/memory/buffer.hpp>
#include <osmium/osm/node.hpp>
#include <osmium/osm/way.hpp>
#include <string>
#include <vector>

#include "map/maps.h"
#include "tools/osm/osm_import.h"

namespace fs = std::filesystem;

namespace {

int copies() {
    const char* text = std::getenv("KARVEL_OSM_BENCH_COPIES");
    const int n = text != nullptr ? std::atoi(text) : 64;
    return n > 0 ? n : 64;
}

// Tiles the source extract `n` times: node and way ids move by a multiple of 10^10 per copy, and
// positions by whole degrees on a square grid. Nodes of all copies come first, then ways, so the
// output is sorted by type and id like a real extract.
bool writeTiledExtract(const std::string& source, const std::string& target, int n) {
    try {
        osmium::io::Reader reader{source, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way};
        std::vector<osmium::memory::Buffer> input;
        while (osmium::memory::Buffer buffer = reader.read()) input.push_back(std::move(buffer));
        reader.close();

        osmium::io::Header header;
        header.set("generator", "karvel bench_osm");
        osmium::io::Writer writer{target, header, osmium::io::overwrite::allow};
        int columns = 1;
        while (columns * columns < n) ++columns;
        constexpr int64_t kIdStep = 10'000'000'000;
        constexpr int32_t kUnitsPerDegree = 10'000'000;  // osmium stores degrees * 10^7
        for (const bool nodes : {true, false}) {
            for (int k = 0; k < n; ++k) {
                const int64_t idShift = kIdStep * k;
                const int32_t dx = (k % columns) * kUnitsPerDegree;
                const int32_t dy = (k / columns) * kUnitsPerDegree;
                osmium::memory::Buffer out{1 << 20, osmium::memory::Buffer::auto_grow::yes};
                for (const osmium::memory::Buffer& buffer : input) {
                    for (const osmium::OSMObject& object : buffer.select<osmium::OSMObject>()) {
                        if (nodes != (object.type() == osmium::item_type::node)) continue;
                        const std::size_t offset = out.committed();
                        out.add_item(object);
                        out.commit();
                        if (nodes) {
                            auto& node = out.get<osmium::Node>(offset);
                            node.set_id(node.id() + idShift);
                            const osmium::Location l = node.location();
                            if (l.valid()) node.set_location(osmium::Location{l.x() + dx, l.y() + dy});
                        } else {
                            auto& way = out.get<osmium::Way>(offset);
                            way.set_id(way.id() + idShift);
                            for (osmium::NodeRef& ref : way.nodes()) ref.set_ref(ref.ref() + idShift);
                        }
                    }
                }
                writer(std::move(out));
            }
        }
        writer.close();
        return true;
    } catch (const std::exception& e) {
        std::cerr << "cannot build the benchmark extract: " << e.what() << "\n";
        return false;
    }
}

// The tiled extract, built on first use; "" when the shared data is absent.
const std::string& bigExtract() {
    static const std::string path = [] {
        const std::string source =
            std::string(KARVEL_SHARED_DATA) + "/graphhopper-osm-extracts/andorra.osm.pbf";
        if (!fs::exists(source)) return std::string();
        const int n = copies();
        const std::string target =
            (fs::temp_directory_path() / ("karvel-bench-andorra-x" + std::to_string(n) + "-v1.osm.pbf"))
                .string();
        if (!fs::exists(target)) {
            const std::string partial = target + ".part.osm.pbf";
            if (!writeTiledExtract(source, partial, n)) return std::string();
            fs::rename(partial, target);
        }
        return target;
    }();
    return path;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time of all threads (libosmium decodes on worker threads): on a shared machine the
// wall clock also counts the time other processes had the cores.
double cpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

void setRates(benchmark::State& state, double nodes, double wall, double cpu) {
    state.counters["osm_nodes"] = nodes;
    state.counters["nodes_per_s"] = nodes / wall;
    state.counters["nodes_per_cpu_s"] = nodes / cpu;
}

// libosmium alone: decode every node and way, touching each node's position.
void BM_LibosmiumRead(benchmark::State& state) {
    const std::string& path = bigExtract();
    if (path.empty()) {
        state.SkipWithError("shared data not available");
        return;
    }
    uint64_t nodes = 0;
    double wall = 0, cpu = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        nodes = 0;
        int64_t sum = 0;
        osmium::io::Reader reader{path, osmium::osm_entity_bits::node | osmium::osm_entity_bits::way,
                                  osmium::io::read_meta::no};
        while (osmium::memory::Buffer buffer = reader.read()) {
            for (const osmium::Node& node : buffer.select<osmium::Node>()) {
                ++nodes;
                sum += node.location().x();
            }
        }
        reader.close();
        benchmark::DoNotOptimize(sum);
        wall += seconds(start);
        cpu += cpuSeconds() - cpuStart;
    }
    setRates(state, static_cast<double>(nodes), wall / state.iterations(), cpu / state.iterations());
}

// The importer's pass over the file and its filtering, without the Map: a box far from the
// data keeps every road out after it has been read.
void BM_ImportReading(benchmark::State& state) {
    const std::string& path = bigExtract();
    if (path.empty()) {
        state.SkipWithError("shared data not available");
        return;
    }
    osmImport::ImportOptions options;
    options.bbox = osmImport::BoundingBox{-1.0, -1.0, -0.5, -0.5};
    uint64_t nodes = 0;
    double wall = 0, cpu = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        mapRepresentation::Map map;
        const osmImport::ImportResult result = osmImport::importOsm(path, options, map);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            return;
        }
        nodes = result.summary.osmNodes;
        wall += seconds(start);
        cpu += cpuSeconds() - cpuStart;
    }
    setRates(state, static_cast<double>(nodes), wall / state.iterations(), cpu / state.iterations());
}

// The whole import as karvel-osm2map runs it: reading, filling the Map, and saveMap. Freeing
// the map is timed apart (the program leaves that to the system at exit).
void BM_Import(benchmark::State& state) {
    const std::string& path = bigExtract();
    if (path.empty()) {
        state.SkipWithError("shared data not available");
        return;
    }
    const std::string out = (fs::temp_directory_path() / "karvel-bench-osm-map.txt").string();
    osmImport::ImportSummary summary;
    double readSeconds = 0, buildSeconds = 0, saveSeconds = 0, freeSeconds = 0, wall = 0, cpu = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuSeconds();
        mapRepresentation::Map map;
        const osmImport::ImportResult result = osmImport::importOsm(path, {}, map);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            return;
        }
        summary = result.summary;
        const auto saveStart = std::chrono::steady_clock::now();
        if (!map.saveMap(out)) {
            state.SkipWithError("saveMap failed");
            return;
        }
        saveSeconds += seconds(saveStart);
        wall += seconds(start);
        cpu += cpuSeconds() - cpuStart;
        readSeconds += summary.readSeconds;
        buildSeconds += summary.buildSeconds;
        state.PauseTiming();
        const auto freeStart = std::chrono::steady_clock::now();
        map = mapRepresentation::Map();
        freeSeconds += seconds(freeStart);
        state.ResumeTiming();
    }
    fs::remove(out);
    const double n = static_cast<double>(state.iterations());
    setRates(state, static_cast<double>(summary.osmNodes), wall / n, cpu / n);
    state.counters["map_nodes"] = static_cast<double>(summary.mapNodes);
    state.counters["links"] = static_cast<double>(summary.links);
    state.counters["read_s"] = readSeconds / n;
    state.counters["build_s"] = buildSeconds / n;
    state.counters["save_s"] = saveSeconds / n;
    state.counters["free_s"] = freeSeconds / n;
    // The process's peak so far: the import is the largest thing this program holds.
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

BENCHMARK(BM_LibosmiumRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ImportReading)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Import)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
