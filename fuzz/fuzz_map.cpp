// Fuzz target: one map file through the loader. The loaded map must be internally consistent
// (graph, super-links, spatial index). A map that loaded without error must hold every node and
// link line of the input, read here independently of the loader, since the batch run rewrites
// data/map.txt from it; and its save must survive a reload and a second save unchanged.
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "map/maps.h"
#include "maps_invariants.h"

using mapRepresentation::Map;

namespace {

struct Lines {
    std::vector<std::string> all;
    size_t next = 0;
    bool take(std::string& line) {
        if (next >= all.size()) return false;
        line = all[next++];
        return true;
    }
};

bool same(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Every node and link line of the input, as sscanf reads it, must be in the map under its id.
void checkEveryLineKept(const std::string& text, const Map& map) {
    Lines in;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) in.all.push_back(line);
    std::string line;
    long long nodeCount = 0, linkCount = 0;
    if (in.take(line) && std::sscanf(line.c_str(), " %lld", &nodeCount) != 1)
        karvel_fuzz::fail("no node count");
    for (long long i = 0; i < nodeCount; ++i) {
        long long id = 0;
        double lon = 0, lat = 0, snr = 0, hdop = 0;
        if (!in.take(line) ||
            std::sscanf(line.c_str(), " %lld %lf %lf %lf %lf", &id, &lon, &lat, &snr, &hdop) != 5)
            karvel_fuzz::fail("a node line the loader accepted does not read");
        const auto n = map.nodes.find(static_cast<uint32_t>(id));
        if (n == map.nodes.end() || !same(n->second.longitude, lon) || !same(n->second.latitude, lat) ||
            !same(n->second.averageSnr, snr) || !same(n->second.hdop, hdop))
            karvel_fuzz::fail("node line " + std::to_string(i + 2) + " is not in the map as written");
    }
    if (in.take(line) && std::sscanf(line.c_str(), " %lld", &linkCount) != 1)
        karvel_fuzz::fail("no link count");
    for (long long k = 1; k <= linkCount; ++k) {
        long long origin = 0, destination = 0, samples = 0;
        double speed = 0;
        if (!in.take(line) ||
            std::sscanf(line.c_str(), " %lld %lld %lf %lld", &origin, &destination, &speed, &samples) != 4)
            karvel_fuzz::fail("a link line the loader accepted does not read");
        const auto l = map.links.find(static_cast<int>(k));
        if (l == map.links.end() || l->second.origin != origin || l->second.destination != destination ||
            !same(l->second.speed, speed) || l->second.samples != samples)
            karvel_fuzz::fail("link line " + std::to_string(k) + " is not in the map as link " +
                              std::to_string(k));
    }
    if (static_cast<long long>(map.nodes.size()) != nodeCount ||
        static_cast<long long>(map.links.size()) != linkCount)
        karvel_fuzz::fail("the map holds other records than the file's lines");
    while (in.take(line))
        if (line.find_first_not_of(" \t\r\v\f") != std::string::npos)
            karvel_fuzz::fail("a line after the counted ones was not reported");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    karvel_fuzz::quietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = karvel_fuzz::scratchDir() + "/map.txt";
    const std::string saved = karvel_fuzz::scratchDir() + "/saved.txt";
    const std::string resaved = karvel_fuzz::scratchDir() + "/resaved.txt";
    const std::string text(reinterpret_cast<const char*>(data), size);
    karvel_fuzz::writeFile(path, text);

    const Map map(path);
    const std::string broken = karvel_test::checkMapInvariants(map);
    if (!broken.empty()) karvel_fuzz::fail("loaded map inconsistent:\n" + broken);
    if (map.hadLoadError()) return 0;
    checkEveryLineKept(text, map);

    if (!map.saveMap(saved)) karvel_fuzz::fail("save failed");
    const Map again(saved);
    if (again.hadLoadError()) karvel_fuzz::fail("a saved map does not load again");
    if (again.nodes.size() != map.nodes.size() || again.links.size() != map.links.size())
        karvel_fuzz::fail("a saved map loads with other counts");
    const std::string second = karvel_test::checkMapInvariants(again);
    if (!second.empty()) karvel_fuzz::fail("reloaded map inconsistent:\n" + second);
    if (!again.saveMap(resaved)) karvel_fuzz::fail("second save failed");
    if (karvel_fuzz::readFile(saved) != karvel_fuzz::readFile(resaved))
        karvel_fuzz::fail("save and reload change the map file");
    return 0;
}
