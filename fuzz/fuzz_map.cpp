// Fuzz target: one map file through the loader. The loaded map must be internally consistent
// (graph, super-links, spatial index); a map that loaded without error must survive a save and a
// reload unchanged, since the batch run rewrites data/map.txt from it.
#include "fuzz/fuzz_support.h"
#include "map/maps.h"
#include "maps_invariants.h"

using mapRepresentation::Map;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    karvel_fuzz::quietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = karvel_fuzz::scratchDir() + "/map.txt";
    const std::string saved = karvel_fuzz::scratchDir() + "/saved.txt";
    const std::string resaved = karvel_fuzz::scratchDir() + "/resaved.txt";
    karvel_fuzz::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));

    const Map map(path);
    const std::string broken = karvel_test::checkMapInvariants(map);
    if (!broken.empty()) karvel_fuzz::fail("loaded map inconsistent:\n" + broken);
    if (map.hadLoadError()) return 0;

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
