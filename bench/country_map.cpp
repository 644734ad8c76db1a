// Writes a synthetic road map of any size for the country-scale runs of scripts/country-bench.sh: a
// lattice of points 50 m apart west-east and south-north from 41 N 8.9 W (a metre or two of jitter
// that depends only on the point, so a smaller map of the same corner has the very same positions),
// with two-way streets along every SPACING-th row and column. SPACING 1 is bench_map's grid, every
// node a junction; SPACING 4 gives streets 200 m apart with three shape nodes between junctions,
// about 2.3 links a node, as in a real extract. Wide maps cross UTM zone lines.
//
// Usage: country_map FILE COLUMNS ROWS SPACING
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr double kLat0 = 41.0, kLon0 = -8.9;
constexpr double kStepLat = 50.0 / 111000.0, kStepLon = 50.0 / 84000.0;

// Up to a tenth of a step, the same for a point whatever the size of the map.
double jitter(uint64_t r, uint64_t c, uint64_t axis) {
    uint64_t h = (r * 0x9E3779B97F4A7C15ull) ^ (c * 0xC2B2AE3D27D4EB4Full) ^ (axis * 0x165667B19E3779F9ull);
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return (static_cast<double>(h % 2001) / 1000.0 - 1.0) * 0.1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "Usage: country_map FILE COLUMNS ROWS SPACING\n");
        return 2;
    }
    const long columns = std::atol(argv[2]), rows = std::atol(argv[3]), spacing = std::atol(argv[4]);
    if (columns < 2 || rows < 2 || spacing < 1) {
        std::fprintf(stderr, "ERROR: bad size\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "w");
    if (!f) {
        std::fprintf(stderr, "ERROR: cannot write %s\n", argv[1]);
        return 1;
    }
    const auto onStreet = [&](long r, long c) { return r % spacing == 0 || c % spacing == 0; };
    // Node ids row by row; a row's ids are kept to join it to the next.
    uint64_t nodes = 0, links = 0;
    for (long r = 0; r < rows; ++r)
        for (long c = 0; c < columns; ++c) {
            if (!onStreet(r, c)) continue;
            ++nodes;
            if (c + 1 < columns && r % spacing == 0) links += 2;
            if (r + 1 < rows && c % spacing == 0) links += 2;
        }
    std::fprintf(f, "%llu\n", static_cast<unsigned long long>(nodes));
    std::vector<uint32_t> previous(static_cast<size_t>(columns), 0), current(static_cast<size_t>(columns), 0);
    uint32_t next = 1;
    for (long r = 0; r < rows; ++r)
        for (long c = 0; c < columns; ++c) {
            if (!onStreet(r, c)) continue;
            const double lat = kLat0 + (static_cast<double>(r) + jitter(r, c, 0)) * kStepLat;
            const double lon = kLon0 + (static_cast<double>(c) + jitter(r, c, 1)) * kStepLon;
            std::fprintf(f, "%u  %.9f  %.9f 0.000000000 0.000000000\n", next++, lon, lat);
        }
    std::fprintf(f, "%llu\n", static_cast<unsigned long long>(links));
    next = 1;
    for (long r = 0; r < rows; ++r) {
        for (long c = 0; c < columns; ++c) current[static_cast<size_t>(c)] = onStreet(r, c) ? next++ : 0;
        for (long c = 0; c < columns; ++c) {
            const uint32_t a = current[static_cast<size_t>(c)];
            if (a == 0) continue;
            if (c + 1 < columns && r % spacing == 0) {
                const uint32_t b = current[static_cast<size_t>(c + 1)];
                std::fprintf(f, "%u  %u 0.000000000 0\n%u  %u 0.000000000 0\n", a, b, b, a);
            }
            if (r > 0 && c % spacing == 0) {
                const uint32_t b = previous[static_cast<size_t>(c)];
                std::fprintf(f, "%u  %u 0.000000000 0\n%u  %u 0.000000000 0\n", b, a, a, b);
            }
        }
        previous.swap(current);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}
