// karvel-mapbuild: builds a road map from recorded drives (NMEA 0183 logs), or adds drives to a map.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/file_lister.h"
#include "app/output_check.h"
#include "map/file_lock.h"
#include "map/link_table.h"
#include "map/maps.h"
#include "map/maps_building.h"
#include "tools/cli/command_line.h"
#include "traces/trace_loader.h"

using mapRepresentation::FileLock;

namespace fs = std::filesystem;
using mapRepresentation::Map;
namespace mr = mapRepresentation;

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: karvel-mapbuild [options] TRACE...\n"
        << "Builds a road map from NMEA 0183 or GPX logs of drives. TRACE is a log file, or a folder whose\n"
        << ".txt and .gpx files are taken in name order. The first drive becomes the map; every later drive\n"
        << "is merged into it:\n"
        << "where it runs along a map link in the same direction it is folded into that link (node "
           "positions\n"
        << "and speeds averaged by their observation counts), elsewhere it adds new links.\n"
        << "\n"
        << "  -a          add the drives to the existing map file instead of starting a new map\n"
        << "  -o FILE     map file (default data/map.txt)\n"
        << "  -k FILE     KML picture of the map (default data/map.kml)\n"
        << "  -r METRES   how close a drive must run to a map link to be merged into it (default 10)\n"
        << "  -v          print every message of the map operations (default: only errors)\n"
        << "  -h, -help   show this text\n"
        << "  --version   show the version\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << std::endl;
    return 1;
}

// Passes on only the error lines of what the map operations and the loader say, as they come.
class ErrorLinesOnly : public std::streambuf {
public:
    explicit ErrorLinesOnly(std::ostream& target) : target(target) {}

protected:
    int overflow(int c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        line.push_back(static_cast<char>(c));
        if (c == '\n') {
            if (line.rfind("ERROR: ", 0) == 0) target << line << std::flush;
            line.clear();
        }
        return c;
    }

private:
    std::ostream& target;
    std::string line;
};

// The trace files of an input: the file itself, or the logs of a folder in name order. Entries of a
// folder that cannot be read as a trace are reported and make the run fail.
std::vector<std::string> traceFilesOf(const std::string& arg, bool& refused) {
    std::error_code ec;
    if (!fs::is_directory(arg, ec)) return {arg};
    matchApp::TraceListing listing =
        matchApp::listTraceFiles(arg, {".txt", ".gpx"}, {.anyCase = true, .oneFilePerName = false});
    if (!listing.opened) {
        std::cout << "ERROR: cannot open the trace folder " << arg << ": " << listing.error << std::endl;
        refused = true;
    }
    for (const std::string& skipped : listing.skipped) {
        std::cout << "ERROR: trace file " << skipped << "; skipped." << std::endl;
        refused = true;
    }
    std::sort(listing.files.begin(), listing.files.end());
    return std::move(listing.files);
}

struct Settings {
    std::string mapFile = "data/map.txt";
    std::string kmlFile = "data/map.kml";
    double radius = 10.0;
    bool append = false;
    bool verbose = false;
};

// Applies one option; the message of a bad value, or "".
std::string apply(Settings& s, const std::string& name, const std::string& value) {
    if (name == "a") {
        s.append = true;
    } else if (name == "v") {
        s.verbose = true;
    } else if (name == "o") {
        s.mapFile = value;
    } else if (name == "k") {
        s.kmlFile = value;
    } else if (name == "r") {
        const auto radius = toolCli::parseNumber(value, 0.0, 1000.0);
        if (!radius || *radius == 0.0) return "-r needs a distance in metres (above 0, at most 1000)";
        s.radius = *radius;
    }
    return "";
}

void reportDrive(const std::string& file, const mr::DriveOutcome& drive) {
    if (!drive.used) {
        std::cout << "trace " << file << ": fewer than 2 usable points, skipped" << std::endl;
        return;
    }
    std::cout << "trace " << file << ": " << drive.points << " points";
    if (drive.started)
        std::cout << ", started the map";
    else
        std::cout << ", " << drive.merged << " of " << drive.points - 1 << " links merged into the map";
    std::cout << std::endl;
}

// What became of the drives given.
struct DrivesAdded {
    size_t used = 0;
    bool refused = false;  // a trace file could not be read or was refused
    bool noIdsLeft = false;
};

// Adds the drives of every input to the map.
DrivesAdded addDrives(Map& map, const std::vector<std::string>& inputs, const Settings& settings,
                      std::ostream& messages) {
    DrivesAdded added;
    for (const std::string& input : inputs) {
        const std::vector<std::string> files = traceFilesOf(input, added.refused);
        if (files.empty()) std::cout << "ERROR: no .txt or .gpx trace in " << input << std::endl;
        for (const std::string& file : files) {
            bool refused = false;
            const Route trace = mr::usablePoints(traces::loadRoute(file, messages, &refused));
            added.refused = added.refused || refused;
            const mr::DriveOutcome drive = mr::addDrive(map, trace, settings.radius);
            if (drive.noIdsLeft) {
                added.noIdsLeft = true;
                return added;
            }
            reportDrive(file, drive);
            added.used += drive.used ? 1 : 0;
        }
    }
    return added;
}

// Makes the folder of an output file; false when no file can be created at the path, so that no
// work is spent on an output that cannot be written.
bool prepareOutput(const std::string& path) {
    const fs::path target(path);
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(parent, ec);
    return fs::is_directory(parent, ec) && !fs::is_directory(target, ec) &&
           access(parent.c_str(), W_OK | X_OK) == 0;
}

// The link table of an imported map goes on with the map: its links keep their rows, links the drives
// added have no OSM way. A map started afresh has no table, and must not keep one it replaced.
bool writeLinkTable(const Map& map, const mr::LinkTable* table, const std::string& mapFile) {
    const std::string path = mr::LinkTable::pathBeside(mapFile);
    std::error_code ec;
    if (table == nullptr) {
        fs::remove(path, ec);
        return !ec;
    }
    std::string error;
    if (table->save(path, map, error)) {
        std::cout << "wrote " << path << std::endl;
        return true;
    }
    fs::remove(path, ec);
    std::cout << "ERROR: " << error << std::endl;
    return false;
}

// Writes the map, its link table and its picture; false when any could not be written.
bool writeOutputs(const Map& map, const mr::LinkTable* table, const Settings& settings) {
    std::error_code ec;
    const fs::path mapFolder = fs::path(settings.mapFile).parent_path();
    if (!mapFolder.empty()) fs::create_directories(mapFolder, ec);
    bool ok = map.saveMap(settings.mapFile);  // reports its own failure
    if (ok) std::cout << "wrote " << settings.mapFile << std::endl;
    if (ok) ok = writeLinkTable(map, table, settings.mapFile);
    if (!prepareOutput(settings.kmlFile)) {
        std::cout << "ERROR: cannot create the KML file " << settings.kmlFile << "; no picture written"
                  << std::endl;
        return false;
    }
    if (!map.saveToKml(settings.kmlFile)) return false;
    std::cout << "wrote " << settings.kmlFile << std::endl;
    return ok;
}

int programMain(int argc, char** argv) {
    toolCli::ignoreFileSizeSignal();
    const toolCli::CommandLine line = toolCli::parseCommandLine(
        argc, argv, {{"", 'a'}, {"", 'v'}, {"", 'o', true}, {"", 'k', true}, {"", 'r', true}});
    if (const auto status = toolCli::settleStandardOptions(line, "karvel-mapbuild", printUsage))
        return *status;
    Settings settings;
    for (const auto& [name, value] : line.options)
        if (const std::string problem = apply(settings, name, value); !problem.empty())
            return toolCli::usageError(problem);
    if (line.operands.empty()) return toolCli::usageError("no trace given");

    Map& map = mapRepresentation::keepUntilExit(Map());
    // Held from reading the map until it is written back (with -a), or while it is replaced.
    std::unique_ptr<FileLock> lock;
    mr::LinkTable table;
    bool haveTable = false;
    if (settings.append) {
        if (const std::string problem = mr::lockMapForWriting(settings.mapFile, lock, true); !problem.empty())
            return fail(problem + "; nothing written");
        map = Map(settings.mapFile);
        // A map that could not be read completely must not be written back over its file.
        if (map.hadLoadError())
            return fail("could not read the map " + settings.mapFile + "; nothing written");
        std::cout << "map " << settings.mapFile << ": " << map.nodes.size() << " nodes, " << map.links.size()
                  << " links" << std::endl;
        mr::LinkTable::Reading reading;
        table = mr::LinkTable::load(mr::LinkTable::pathBeside(settings.mapFile), map, reading);
        if (!reading.error.empty())
            return fail(reading.error + "; nothing written (the map's road attributes would be lost)");
        if (reading.found) haveTable = true;
    }
    ErrorLinesOnly errorsOnly(std::cout);
    std::ostream quiet(&errorsOnly);
    std::ostream& messages = settings.verbose ? std::cout : quiet;
    map.setMessageStream(messages);

    const DrivesAdded added = addDrives(map, line.operands, settings, messages);
    if (added.noIdsLeft)
        return fail("the drives need more node ids than the map " + settings.mapFile +
                    " has left (ids run up to " + std::to_string(mr::kLargestNodeId) + "); nothing written");
    if (added.used == 0 && !settings.append) return fail("no usable trace; nothing written");
    std::cout << "map: " << map.nodes.size() << " nodes, " << map.links.size() << " links, "
              << map.superLinks.size() << " roads between junctions" << std::endl;
    // The check prints its findings itself; an inconsistent map is still written, for inspection.
    const bool consistent = map.validateMap();
    if (!settings.append) {
        if (const std::string problem = mr::lockMapForWriting(settings.mapFile, lock, false);
            !problem.empty())
            return fail(problem + "; nothing written");
    }
    const bool written = writeOutputs(map, haveTable ? &table : nullptr, settings);
    return consistent && written && !added.refused ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
