// karvel-osm2map: turns an OpenStreetMap extract into the map file karvel reads.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "map/maps.h"
#include "tools/osm/osm_import.h"

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: karvel-osm2map [options] INPUT\n"
        << "Imports the roads a car can drive from an OpenStreetMap file (.osm, .osm.gz, .osm.bz2, "
           ".osm.pbf)\n"
        << "into a karvel map file.\n"
        << "\n"
        << "  -d DIR          write DIR/data/map.txt (default: the current directory)\n"
        << "  -o FILE         write the map to FILE instead\n"
        << "  --no-service    leave service roads (highway=service) out\n"
        << "  --keep-private  keep roads with private access\n"
        << "  --bbox MINLON,MINLAT,MAXLON,MAXLAT\n"
        << "                  keep only the parts of roads inside this box (decimal degrees)\n"
        << "  --ids FILE      write the map node id to OSM node id table as CSV\n"
        << "  -q              print nothing on standard error (no progress, no summary)\n"
        << "  -h, --help      show this text\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    osmImport::ImportOptions options;
    std::string input, workDir, outputFile, idsFile;
    bool quiet = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help" || arg == "-help") {
            printUsage(std::cout);
            return 0;
        } else if (arg == "-d") {
            if (!value(workDir)) return fail("-d needs a directory");
        } else if (arg == "-o") {
            if (!value(outputFile)) return fail("-o needs a file name");
        } else if (arg == "--ids") {
            if (!value(idsFile)) return fail("--ids needs a file name");
        } else if (arg == "--bbox") {
            std::string text;
            osmImport::BoundingBox box;
            if (!value(text) || !osmImport::parseBoundingBox(text, box))
                return fail("--bbox needs MINLON,MINLAT,MAXLON,MAXLAT in decimal degrees");
            options.bbox = box;
        } else if (arg == "--no-service") {
            options.keepService = false;
        } else if (arg == "--keep-private") {
            options.keepPrivate = true;
        } else if (arg == "-q") {
            quiet = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            printUsage(std::cout);
            return fail("unknown option " + arg);
        } else if (input.empty()) {
            input = arg;
        } else {
            return fail("more than one input file: " + input + ", " + arg);
        }
    }
    if (input.empty()) {
        printUsage(std::cout);
        return fail("no input file");
    }
    if (!workDir.empty() && !outputFile.empty()) return fail("-d and -o exclude each other");

    namespace fs = std::filesystem;
    const fs::path target = outputFile.empty()
                                ? fs::path(workDir.empty() ? "." : workDir) / "data" / "map.txt"
                                : fs::path(outputFile);
    if (!quiet) {
        options.progress = &std::cerr;
        options.progressInPlace = isatty(STDERR_FILENO) != 0;
    }

    mapRepresentation::Map map;
    osmImport::ImportResult result = osmImport::importOsm(input, options, map);
    if (!result.ok) return fail(result.error);
    if (result.summary.links == 0) return fail("no drivable road in " + input + "; no map written");

    std::error_code ec;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    const auto saveStart = std::chrono::steady_clock::now();
    if (!map.saveMap(target.string())) return fail("cannot write the map file " + target.string());
    result.summary.saveSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - saveStart).count();
    if (!idsFile.empty() && !osmImport::writeNodeIdTable(idsFile, result.nodeIds))
        return fail("cannot write the node id table " + idsFile);

    if (!quiet) {
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cerr << osmImport::formatSummary(input, result.summary, total) << "  wrote " << target.string()
                  << "\n";
    }
    // Tearing down a map of a million nodes node by node takes about as long as saving it; the
    // process is ending and everything is written, so leave the memory to the system.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(0);
}
