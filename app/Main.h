// The karvel batch job: options, trace listing, map loading and the per-trace loop.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Program-wide state of the batch.
extern std::vector<std::string> traceFiles;
extern bool geneticKML;
// Set by a fault that must end the run with exit status 1 once the traces are matched.
extern bool runFailed;
namespace mapRepresentation {
class Map;
class CompactMap;
}  // namespace mapRepresentation
extern mapRepresentation::Map& m;

namespace matchApp {

// The command line of the matching programs: "-h"/"-help", "-t folder", "-M", "--check-options"; other
// words are ignored.
struct BatchOptions {
    std::string folder = "data/nmea/";
    bool kml = false;
    bool help = false;       // set by the first "-h" or "-help"; the words after it are not looked at
    bool checkOnly = false;  // "--check-options": print the options as understood and stop
};

// The start every matching program shares: a write beyond the file-size limit fails instead of killing
// the program, the command line is read, "-h" prints `printHelp` (nothing is returned then), and the
// genetic stage is seeded from KARVEL_SEED when it is set.
std::optional<BatchOptions> startBatchProgram(int argc, char** argv, void (*printHelp)());

// data/map.txt, relative to the working directory.
std::string mapPath();

// Whether a program writes data/map.txt back after loading it. One that does holds the map's lock
// from loading until its save, so that concurrent updates take turns instead of undoing each other.
enum class MapUse { ReadOnly, ReadWrite };

}  // namespace matchApp

// Each returns false (after an "ERROR: " line) when the run cannot go on: a trace folder that cannot
// be opened, a map file that is missing, unreadable or not a regular file.
// Lists the trace files of folder into traceFiles (".txt" unless told otherwise); entries that are
// not regular files are named in an ERROR line and skipped. False when the folder cannot be opened.
bool lookForTraceFiles(const std::string& folder, const std::vector<std::string>& extensions = {".txt"});
bool loadMap(matchApp::MapUse use = matchApp::MapUse::ReadOnly,
             const std::string& path = matchApp::mapPath());
namespace matchApp {
// The one line -v prints on a map loaded from `path`.
void describeLoadedMap(std::ostream& out, const mapRepresentation::Map& map, const std::string& path);
void describeLoadedMap(std::ostream& out, const mapRepresentation::CompactMap& map, const std::string& path);
}  // namespace matchApp
void run();

namespace matchApp {

// What the frame of a batch prints besides its ERROR lines: karvel's fixed lines around the batch
// (which its report keeps), nothing, or one line each on the traces listed and the map loaded.
enum class Console { Hybrid, Quiet, Verbose };

// What a matching program reads: the trace files of `folder` with one of the extensions, and the map.
struct BatchInput {
    std::string folder = "data/nmea/";
    std::string map = matchApp::mapPath();
    std::vector<std::string> extensions{".txt"};
    bool nameOrder = false;  // traces in byte order of their names: the same report on every machine
    std::vector<std::string> files{};  // trace files named one by one, taken after the folder's
    bool listFolder = true;            // false: only `files`
    MapUse use = MapUse::ReadOnly;
    Console console = Console::Hybrid;
};

// The trace files `input` names into `files`: the folder's (in name order when asked), then the files
// named one by one. A folder that cannot be opened (false is returned) and entries skipped get their
// ERROR lines on standard output and set `failed`; a verbose console also gets a line on the count.
bool listBatchTraces(const BatchInput& input, std::vector<std::string>& files, bool& failed);

// What every matching program prints around its batch (as `input.console` asks): the listing of the
// trace folder and the loading of the map into the program-wide map, then `batch`, then the closing
// lines timed from `start`. Returns the exit status: 0, or 1 when something was not done as asked (a folder
// or map that could not be read, a map read only in part or not written back, trace files skipped).
int runFramedBatch(time_t start, const BatchInput& input, const std::function<void()>& batch);

// The closing timing lines; seconds and minutes in the stream's default number format.
void printOverallTime(std::ostream& out, double seconds);

// The whole program; returns the exit status.
int karvelMain(int argc, char** argv);

}  // namespace matchApp
