// karvel-osm2map: turns an OpenStreetMap extract into the map file karvel reads.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/output_check.h"
#include "map/atomic_file.h"
#include "map/compact_map.h"
#include "map/file_lock.h"
#include "map/link_table.h"
#include "map/maps.h"
#include "tools/cli/command_line.h"
#include "tools/osm/osm_import.h"
#include "traces/input_file.h"

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
        << "The link table (OSM way, end nodes, name, ref, highway, maxspeed, oneway and length of every\n"
        << "link) is written beside the map as MAP.links.csv.\n"
        << "  -q              print nothing on standard error (no progress, no summary)\n"
        << "  -h, --help      show this text\n"
        << "  --version       show the version\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << "\n";
    return 1;
}

struct Settings {
    osmImport::ImportOptions options;
    std::string workDir, outputFile, idsFile;
    bool quiet = false;
};

// Applies one option; the message of a bad value, or "".
std::string apply(Settings& s, const std::string& name, const std::string& value) {
    if (name == "d") {
        s.workDir = value;
    } else if (name == "o") {
        s.outputFile = value;
    } else if (name == "ids") {
        s.idsFile = value;
    } else if (name == "bbox") {
        osmImport::BoundingBox box;
        if (!osmImport::parseBoundingBox(value, box))
            return "--bbox needs MINLON,MINLAT,MAXLON,MAXLAT in decimal degrees";
        s.options.bbox = box;
    } else if (name == "no-service") {
        s.options.keepService = false;
    } else if (name == "keep-private") {
        s.options.keepPrivate = true;
    } else if (name == "q") {
        s.quiet = true;
    }
    return "";
}

// The map and its link table. The table is written out first and put in place right after the map,
// so that neither replaces its file unless both could be written; a table that still fails at the
// last step is removed rather than left describing the previous map.
bool saveMapWithTable(const mapRepresentation::Map& map, const mapRepresentation::LinkTable& links,
                      const std::string& target) {
    const std::string tablePath = mapRepresentation::LinkTable::pathBeside(target);
    AtomicFile table(tablePath);
    if (!table.isOpen()) {
        fail("cannot write the link table " + tablePath + ": " + table.error());
        return false;
    }
    links.write(table.stream(), map);
    if (!table.stream()) {
        fail("cannot write the link table " + tablePath);
        return false;
    }
    if (!map.saveMap(target)) return false;  // the save has said why; the old pair stays
    if (table.commit()) return true;
    std::error_code ec;
    std::filesystem::remove(tablePath, ec);
    fail("cannot write the link table " + tablePath + ": " + table.error());
    return false;
}

// Imports, saves and reports; the exit status.
int run(Settings& s, const std::string& input, std::chrono::steady_clock::time_point start) {
    namespace fs = std::filesystem;
    const fs::path target = s.outputFile.empty()
                                ? fs::path(s.workDir.empty() ? "." : s.workDir) / "data" / "map.txt"
                                : fs::path(s.outputFile);
    if (!s.quiet) {
        s.options.progress = &std::cerr;
        s.options.progressInPlace = isatty(STDERR_FILENO) != 0;
    }

    // A FIFO would block the reader and a device would feed it without end.
    if (const std::string why = inputFile::unreadable(input); !why.empty())
        return fail("cannot read OpenStreetMap file " + input + ": " + why);
    mapRepresentation::Map& map = mapRepresentation::keepUntilExit(mapRepresentation::Map());
    osmImport::ImportResult result = osmImport::importOsm(input, s.options, map);
    if (!result.ok) return fail(result.error);
    if (result.summary.links == 0) return fail("no drivable road in " + input + "; no map written");

    std::unique_ptr<FileLock> lock;
    if (const std::string problem = mapRepresentation::lockMapForWriting(target.string(), lock, false);
        !problem.empty())
        return fail(problem + "; no map written");
    const auto saveStart = std::chrono::steady_clock::now();
    if (!saveMapWithTable(map, result.links, target.string())) return 1;
    // The programs that only read the map start from its compact form instead of parsing the text.
    // Without it they build it at their first start: worth a warning, not a failed import.
    if (std::string why; !mapRepresentation::writeCompactBeside(target.string(), why))
        std::cerr << "WARNING: cannot write the compact map "
                  << mapRepresentation::CompactMap::pathBeside(target.string()) << ": " << why << "\n";
    result.summary.saveSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - saveStart).count();
    if (!s.idsFile.empty() && !osmImport::writeNodeIdTable(s.idsFile, result.nodeIds))
        return fail("cannot write the node id table " + s.idsFile);

    if (!s.quiet) {
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cerr << osmImport::formatSummary(input, result.summary, total) << "  wrote " << target.string()
                  << ", " << mapRepresentation::LinkTable::pathBeside(target.string()) << " and "
                  << mapRepresentation::CompactMap::pathBeside(target.string()) << "\n";
    }
    // Tearing down a map of a million nodes node by node takes about as long as saving it; the
    // process is ending and everything is written, so leave the memory to the system.
    std::cerr.flush();
    std::_Exit(matchApp::exitStatusAfterOutput(0));
}

int programMain(int argc, char** argv) {
    const auto start = std::chrono::steady_clock::now();
    toolCli::ignoreFileSizeSignal();
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
    Settings settings;
    for (const auto& [name, value] : line.options)
        if (const std::string problem = apply(settings, name, value); !problem.empty())
            return toolCli::usageError(problem);
    if (line.operands.empty()) return toolCli::usageError("no input file");
    if (line.operands.size() > 1)
        return toolCli::usageError("more than one input file: " + line.operands[0] + ", " + line.operands[1]);
    if (!settings.workDir.empty() && !settings.outputFile.empty())
        return toolCli::usageError("-d and -o exclude each other");
    if (const auto problem = FileLock::waitSettingProblem()) return fail(*problem + "; no map written");
    return run(settings, line.operands[0], start);
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
