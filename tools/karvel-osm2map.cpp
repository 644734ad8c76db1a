// karvel-osm2map: turns an OpenStreetMap extract into the map file karvel reads.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "map/maps.h"
#include "tools/cli/command_line.h"
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
        << "  -h, --help      show this text\n"
        << "  --version       show the version\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    toolCli::ignoreFileSizeSignal();
    osmImport::ImportOptions options;
    std::string workDir, outputFile, idsFile;
    bool quiet = false;

    const toolCli::CommandLine line = toolCli::parseCommandLine(argc, argv,
                                                                {{"", 'd', true},
                                                                 {"", 'o', true},
                                                                 {"ids", 0, true},
                                                                 {"bbox", 0, true},
                                                                 {"no-service"},
                                                                 {"keep-private"},
                                                                 {"", 'q'}});
    if (const auto status = toolCli::settleStandardOptions(line, "karvel-osm2map", printUsage))
        return *status;
    for (const auto& [name, value] : line.options) {
        if (name == "d") {
            workDir = value;
        } else if (name == "o") {
            outputFile = value;
        } else if (name == "ids") {
            idsFile = value;
        } else if (name == "bbox") {
            osmImport::BoundingBox box;
            if (!osmImport::parseBoundingBox(value, box))
                return toolCli::usageError("--bbox needs MINLON,MINLAT,MAXLON,MAXLAT in decimal degrees");
            options.bbox = box;
        } else if (name == "no-service") {
            options.keepService = false;
        } else if (name == "keep-private") {
            options.keepPrivate = true;
        } else if (name == "q") {
            quiet = true;
        }
    }
    if (line.operands.empty()) return toolCli::usageError("no input file");
    if (line.operands.size() > 1)
        return toolCli::usageError("more than one input file: " + line.operands[0] + ", " + line.operands[1]);
    const std::string& input = line.operands[0];
    if (!workDir.empty() && !outputFile.empty()) return toolCli::usageError("-d and -o exclude each other");

    namespace fs = std::filesystem;
    const fs::path target = outputFile.empty()
                                ? fs::path(workDir.empty() ? "." : workDir) / "data" / "map.txt"
                                : fs::path(outputFile);
    if (!quiet) {
        options.progress = &std::cerr;
        options.progressInPlace = isatty(STDERR_FILENO) != 0;
    }

    mapRepresentation::Map& map = mapRepresentation::keepUntilExit(mapRepresentation::Map());
    osmImport::ImportResult result = osmImport::importOsm(input, options, map);
    if (!result.ok) return fail(result.error);
    if (result.summary.links == 0) return fail("no drivable road in " + input + "; no map written");

    std::error_code ec;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    const auto saveStart = std::chrono::steady_clock::now();
    if (!map.saveMap(target.string())) return 1;  // the save has said why
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
