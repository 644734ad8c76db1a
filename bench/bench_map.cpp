// Map room costs at city-region scale: loading and saving a map of one million nodes and four
// million links, and the nearest-link search that the matchers run for every trace point.
//
// The map is generated into a temporary folder: a 1000 x 1000 grid of nodes about 50 m apart near
// Porto (with a few metres of jitter), every node joined to its east and north neighbours by two-way
// streets, so every node is a junction. KARVEL_BENCH_MAP=blocks gives the former shape instead: one
// million one-way links in blocks of four whose directions alternate, with a cross street from the
// end of every block to the next row, so roads run a few links between junctions.
//
// Figures on the 2-core development machine, two-way grid, CPU column, measured while seven other
// builds kept the load average at about 14 (cache misses cost far more than on an idle machine):
// loading 2.05 s and 594 MiB (623 bytes per node, 4 links each; 747 MiB before the super-links kept
// their links in arrays), saving 0.71 s; a 20 m link query 51.5 us at random positions (57.8 us
// before the bounds in degrees) and 16.7 us along a drive (23.4 us); the node search inside it, 200 m,
// 15.2 us (18.0 us). Instruction counts, which the load does not change (callgrind, the same queries
// on a 300 x 300 grid of this kind): 22 000 per node search against 55 000 before, 110 000 per link
// query against 141 000, of which the sort of the links met takes a fifth. A whole karvel run that
// loads this map, matches the two sample drives and saves the map took 2.7 s of CPU and 625 MB at
// peak; the build that introduced KARVEL_SEED, with ordered trees as tables, took 15.5 s and 2020 MB.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "map/maps.h"

namespace {

constexpr int kSide = 1000;
constexpr int kBlock = 5;  // nodes per street block: junctions every 200 m
constexpr double kLat0 = 41.0, kLon0 = -8.9;
constexpr double kStepLat = 50.0 / 111000.0, kStepLon = 50.0 / 84000.0;

class Scratch {
public:
    Scratch() {
        dir = std::filesystem::temp_directory_path() / ("karvel_bench_map_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string file(const std::string& name) const { return (dir / name).string(); }

private:
    std::filesystem::path dir;
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

uint32_t nodeId(int row, int col) {
    return static_cast<uint32_t>(row * kSide + col + 1);
}

// The street shape: KARVEL_BENCH_MAP=blocks gives the one-way blocks, anything else the two-way grid.
bool oneWayBlocks() {
    const char* shape = std::getenv("KARVEL_BENCH_MAP");
    return shape != nullptr && std::string(shape) == "blocks";
}

// Every node joined to its east and north neighbours in both directions: 3 996 000 links.
void writeTwoWayGrid(std::FILE* f) {
    std::fprintf(f, "%d\n", 4 * kSide * (kSide - 1));
    auto both = [f](uint32_t a, uint32_t b) {
        std::fprintf(f, "%u  %u %.9f %u\n%u  %u %.9f %u\n", a, b, 10.0, 1u, b, a, 10.0, 1u);
    };
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c) {
            if (c + 1 < kSide) both(nodeId(r, c), nodeId(r, c + 1));
            if (r + 1 < kSide) both(nodeId(r, c), nodeId(r + 1, c));
        }
    }
}

// Along each row, blocks of kBlock nodes joined by one-way links (directions alternate); each block's
// last node leads to the next row, and the last row leads back up: 1 000 000 links.
void writeOneWayBlocks(std::FILE* f) {
    std::fprintf(f, "%d\n", kSide * kSide);
    auto link = [f](uint32_t a, uint32_t b) { std::fprintf(f, "%u  %u %.9f %u\n", a, b, 10.0, 1u); };
    for (int r = 0; r < kSide; ++r) {
        for (int b = 0; b < kSide / kBlock; ++b) {
            const bool east = (r + b) % 2 == 0;
            for (int k = 0; k + 1 < kBlock; ++k) {
                const int c = b * kBlock + k;
                if (east)
                    link(nodeId(r, c), nodeId(r, c + 1));
                else
                    link(nodeId(r, c + 1), nodeId(r, c));
            }
            const int last = b * kBlock + kBlock - 1;
            if (r + 1 < kSide)
                link(nodeId(r, last), nodeId(r + 1, last));
            else
                link(nodeId(r, b * kBlock), nodeId(r - 1, b * kBlock));
        }
    }
}

const std::string& mapFile() {
    static const std::string path = [] {
        const std::string p = scratch().file("map.txt");
        std::FILE* f = std::fopen(p.c_str(), "w");
        std::mt19937 rng(42);
        std::uniform_real_distribution<double> jitter(-0.1, 0.1);  // in grid steps
        std::fprintf(f, "%d\n", kSide * kSide);
        for (int r = 0; r < kSide; ++r) {
            for (int c = 0; c < kSide; ++c) {
                const double lat = kLat0 + (r + jitter(rng)) * kStepLat;
                const double lon = kLon0 + (c + jitter(rng)) * kStepLon;
                std::fprintf(f, "%u  %.9f  %.9f %.9f %.9f\n", nodeId(r, c), lon, lat, 0.0, 0.0);
            }
        }
        if (oneWayBlocks())
            writeOneWayBlocks(f);
        else
            writeTwoWayGrid(f);
        std::fclose(f);
        return p;
    }();
    return path;
}

// Resident and peak memory of the process, in MiB.
double procStatusMiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
    }
    return 0.0;
}

mapRepresentation::Map& loadedMap() {
    static const std::unique_ptr<mapRepresentation::Map> m =
        std::make_unique<mapRepresentation::Map>(mapFile());
    return *m;
}

void BM_LoadMap(benchmark::State& state) {
    mapFile();
    for (auto _ : state) {
        const double before = procStatusMiB("VmRSS");
        mapRepresentation::Map m(mapFile());
        // Memory freed by the previous round stays with the allocator, so the first round counts.
        if (!state.counters.count("map_MiB")) state.counters["map_MiB"] = procStatusMiB("VmRSS") - before;
        state.counters["nodes"] = static_cast<double>(m.nodes.size());
        state.counters["links"] = static_cast<double>(m.links.size());
        state.PauseTiming();
        {
            mapRepresentation::Map gone(std::move(m));  // freeing is not part of loading
        }
        state.ResumeTiming();
    }
    state.counters["peak_MiB"] = procStatusMiB("VmHWM");
}
BENCHMARK(BM_LoadMap)->Iterations(2)->Unit(benchmark::kSecond);

void BM_SaveMap(benchmark::State& state) {
    const auto& m = loadedMap();
    const std::string out = scratch().file("saved.txt");
    for (auto _ : state) benchmark::DoNotOptimize(m.saveMap(out));
    state.counters["MiB"] = static_cast<double>(std::filesystem::file_size(out)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_SaveMap)->Iterations(3)->Unit(benchmark::kSecond);

std::vector<std::pair<double, double>> queryPositions() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> row(0, kSide - 1), col(0, kSide - 1);
    std::vector<std::pair<double, double>> q(4096);
    for (auto& p : q) p = {kLat0 + row(rng) * kStepLat, kLon0 + col(rng) * kStepLon};
    return q;
}

// Positions of a drive: 15 m apart (a second at 54 km/h), turning now and then, kept inside the map.
std::vector<std::pair<double, double>> tracePositions() {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> turn(-0.3, 0.3);
    std::vector<std::pair<double, double>> q(4096);
    double row = kSide / 2.0, col = kSide / 2.0, heading = 0.0;
    for (auto& p : q) {
        heading += turn(rng);
        const double nextRow = row + 0.3 * std::cos(heading), nextCol = col + 0.3 * std::sin(heading);
        if (nextRow < 1 || nextRow > kSide - 2 || nextCol < 1 || nextCol > kSide - 2)
            heading += std::numbers::pi;
        else
            row = nextRow, col = nextCol;
        p = {kLat0 + row * kStepLat, kLon0 + col * kStepLon};
    }
    return q;
}

void BM_NearestLinks(benchmark::State& state) {
    const auto& m = loadedMap();
    const double radius = static_cast<double>(state.range(0));
    const auto q = state.range(1) ? tracePositions() : queryPositions();
    size_t i = 0, found = 0, calls = 0;
    for (auto _ : state) {
        const auto& [lat, lon] = q[i];
        i = (i + 1) % q.size();
        auto r = m.getNearestLinksAndDistances(lat, lon, radius);
        found += r.size();
        ++calls;
        benchmark::DoNotOptimize(r.data());
    }
    state.counters["links_per_query"] = static_cast<double>(found) / static_cast<double>(calls);
}
// Second argument 0: random positions all over the map, so every query starts with cold caches;
// 1: the positions of a drive, as the matchers ask them, one trace point after the other.
BENCHMARK(BM_NearestLinks)
    ->ArgNames({"radius", "trace"})
    ->Args({20, 0})
    ->Args({20, 1})
    ->Unit(benchmark::kMicrosecond);

// The node search inside a 20 m link query (10 x 20 m).
void BM_NearestPoints(benchmark::State& state) {
    const auto& m = loadedMap();
    const double radius = static_cast<double>(state.range(0));
    const auto q = queryPositions();
    size_t i = 0, found = 0, calls = 0;
    for (auto _ : state) {
        const auto& [lat, lon] = q[i];
        i = (i + 1) % q.size();
        auto r = m.getNearestPointsAndDistances(lat, lon, radius);
        found += r.size();
        ++calls;
        benchmark::DoNotOptimize(r.data());
    }
    state.counters["nodes_per_query"] = static_cast<double>(found) / static_cast<double>(calls);
}
BENCHMARK(BM_NearestPoints)->Arg(200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
