// karvel-osm2map: turns an OpenStreetMap extract into the map file karvel reads.
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
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

using mapRepresentation::FileLock;

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

// The import fills and frees arrays of hundreds of megabytes one after the other. Mapped fresh from
// the system each time, every 4 KiB page of them costs a fault (on a virtual machine, a third of the
// import's time). Kept in one heap, later arrays reuse the pages of earlier ones; and a heap grown
// once to about what the import will need, and marked for huge pages, takes a fault per 2 MiB.
// Untouched, the room costs no memory.
void prepareHeap(const std::string& input) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    struct stat st {};
    if (stat(input.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    // Peaks measured on extracts lie near 8 times a PBF file's size (less for XML, which is bigger);
    // freed, the room must stay below the trim threshold to stay in the heap.
    const auto room = static_cast<size_t>(std::min<off_t>(st.st_size * 10, off_t{3} << 29));
    void* block = std::malloc(room);
    if (block == nullptr) return;
    const auto page = uintptr_t{2} << 20;
    const auto begin = (reinterpret_cast<uintptr_t>(block) + page - 1) / page * page;
    const auto end = (reinterpret_cast<uintptr_t>(block) + room) / page * page;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    std::free(block);
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
    prepareHeap(input);
    auto import = std::make_unique<osmImport::RoadImport>();
    if (!import->read(input, s.options)) return fail(import->error());
    if (import->summary().links == 0) return fail("no drivable road in " + input + "; no map written");

    std::unique_ptr<FileLock> lock;
    if (const std::string problem = mapRepresentation::lockMapForWriting(target.string(), lock, false);
        !problem.empty())
        return fail(problem + "; no map written");
    const auto saveStart = std::chrono::steady_clock::now();
    if (!import->write(target.string(), std::cout)) return 1;
    if (!s.idsFile.empty() && !import->writeNodeIds(s.idsFile))
        return fail("cannot write the node id table " + s.idsFile);
    osmImport::ImportSummary summary = import->summary();
    // The programs that only read the map start from its compact form instead of parsing the text.
    // Without it they build it at their first start: worth a warning, not a failed import.
    if (std::string why; !import->writeCompact(target.string(), why))
        std::cerr << "WARNING: cannot write the compact map "
                  << mapRepresentation::CompactMap::pathBeside(target.string()) << ": " << why << "\n";
    summary.saveSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - saveStart).count();

    if (!s.quiet) {
        const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::cerr << osmImport::formatSummary(input, summary, total) << "  wrote " << target.string() << ", "
                  << mapRepresentation::LinkTable::pathBeside(target.string()) << " and "
                  << mapRepresentation::CompactMap::pathBeside(target.string()) << "\n";
    }
    return 0;
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
