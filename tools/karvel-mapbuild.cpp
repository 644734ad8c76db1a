// karvel-mapbuild: builds a road map from recorded drives (NMEA 0183 logs), or adds drives to a map.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "map/maps.h"
#include "traces/trace_loader.h"

namespace fs = std::filesystem;
using mapRepresentation::Map;

namespace {

// Points closer than this to the previous kept point add nothing but jitter (a standing car).
constexpr double kMinSpacing = 2.0;
// A trace link is folded into a map link only when their directions differ by less than this.
constexpr double kMaxHeadingDifference = 45.0 * M_PI / 180.0;

void printUsage(std::ostream& out) {
    out << "Usage: karvel-mapbuild [options] TRACE...\n"
        << "Builds a road map from NMEA 0183 or GPX logs of drives. TRACE is a log file, or a folder whose "
           ".txt "
           "and .gpx files\n"
        << "are taken in name order. The first drive becomes the map; every later drive is merged into it:\n"
        << "where it runs along a map link in the same direction it is folded into that link (node "
           "positions\n"
        << "and speeds averaged by their observation counts), elsewhere it adds new links.\n"
        << "\n"
        << "  -a          add the drives to the existing map file instead of starting a new map\n"
        << "  -o FILE     map file (default data/map.txt)\n"
        << "  -k FILE     KML picture of the map (default data/map.kml)\n"
        << "  -r METRES   how close a drive must run to a map link to be merged into it (default 10)\n"
        << "  -v          print every message of the map operations (default: only errors)\n"
        << "  -h, -help   show this text\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << std::endl;
    return 1;
}

// Collects what the map operations print; only their error lines are passed on unless verbose.
class Chatter {
public:
    explicit Chatter(bool verbose) : verbose(verbose) {
        if (!verbose) previous = std::cout.rdbuf(buffer.rdbuf());
    }
    ~Chatter() { release(); }
    void release() {
        if (verbose || previous == nullptr) return;
        std::cout.rdbuf(previous);
        previous = nullptr;
        std::istringstream lines(buffer.str());
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("ERROR: ", 0) == 0) std::cout << line << '\n';
        std::cout.flush();
    }

private:
    bool verbose;
    std::ostringstream buffer;
    std::streambuf* previous = nullptr;
};

std::vector<std::string> traceFilesOf(const std::string& arg) {
    std::error_code ec;
    if (!fs::is_directory(arg, ec)) return {arg};
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(arg, ec)) {
        if (entry.is_regular_file(ec) && (entry.path().extension() == ".txt" || isGpxFile(entry.path())))
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The points worth putting on a map: valid fixes, spaced out, with unknown signal values set to the
// map's placeholders (SNR 0, HDOP 50).
Route usablePoints(const Route& trace) {
    Route kept;
    kept.name = trace.name;
    kept.sourceFile = trace.sourceFile;
    for (const _node& p : trace.nodes) {
        if (!p.valid || !(std::fabs(p.position.lat) <= 90.0) || !(std::fabs(p.position.lon) <= 180.0))
            continue;
        if (!kept.nodes.empty()) {
            const _node& last = kept.nodes.back();
            if (distance2Points(last.easting, last.northing, p.easting, p.northing) < kMinSpacing) continue;
        }
        _node n = p;
        if (!std::isfinite(n.averageSnr)) n.averageSnr = 0.0;
        if (!(n.hdop >= 0.0)) n.hdop = 50.0;
        if (!std::isfinite(n.speed)) n.speed = 0.0;
        kept.nodes.push_back(n);
    }
    return kept;
}

// Adds the trace to the map as a chain of new links, then folds every run of new links that runs
// along one older link into that link. Returns the number of new links merged.
size_t mergeTrace(Map& map, const Route& trace, double radius) {
    const int firstNew = map.nextLinkId;
    map.initMapFromRoute(trace);

    // The older link each new link runs along, or -1.
    std::vector<std::pair<int, int>> along;  // (new link, older link)
    for (auto it = map.links.lower_bound(firstNew); it != map.links.end(); ++it) {
        const auto& x = it->second;
        const _position a = map.getNodePosition(x.origin);
        const _position b = map.getNodePosition(x.destination);
        int best = -1;
        double bestDistance = radius;
        for (const auto& [id, d] :
             map.getNearestLinksAndDistances((a.lat + b.lat) / 2, (a.lon + b.lon) / 2, radius)) {
            if (id >= firstNew || d > bestDistance) continue;
            if (diffRadHeading(map.links.at(id).heading, x.heading) >= kMaxHeadingDifference) continue;
            best = id;
            bestDistance = d;
        }
        along.emplace_back(it->first, best);
    }

    std::vector<std::pair<int, std::vector<int>>> pairs;
    size_t merged = 0;
    int previousTarget = -1;
    for (size_t i = 0; i < along.size(); ++i) {
        const int target = along[i].second;
        if (target < 0) {
            previousTarget = -1;
            continue;
        }
        if (target == previousTarget) {
            pairs.back().second.push_back(along[i].first);
            ++merged;
            continue;
        }
        // A run that follows straight on from a run on another link starts at that link's end. When
        // that is not where this link starts, the first new link stays as the connection between them,
        // so that two older nodes are never merged into one.
        const bool joinsOn = previousTarget >= 0;
        const bool adjacent =
            joinsOn && map.links.at(previousTarget).destination == map.links.at(target).origin;
        previousTarget = target;
        if (joinsOn && !adjacent) {
            pairs.push_back({target, {}});
            continue;
        }
        pairs.push_back({target, {along[i].first}});
        ++merged;
    }
    std::erase_if(pairs, [](const auto& p) { return p.second.empty(); });
    if (!pairs.empty()) map.mergePaths(pairs, 1);
    return merged;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mapFile = "data/map.txt";
    std::string kmlFile = "data/map.kml";
    double radius = 10.0;
    bool append = false;
    bool verbose = false;
    std::vector<std::string> inputs;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "-help" || arg == "--help") {
            printUsage(std::cout);
            return 0;
        } else if (arg == "-a") {
            append = true;
        } else if (arg == "-v") {
            verbose = true;
        } else if (arg == "-o") {
            if (!value(mapFile)) return fail("-o needs a file name");
        } else if (arg == "-k") {
            if (!value(kmlFile)) return fail("-k needs a file name");
        } else if (arg == "-r") {
            std::string text;
            char* end = nullptr;
            if (value(text)) radius = std::strtod(text.c_str(), &end);
            if (text.empty() || end == nullptr || *end != '\0' || !(radius > 0.0) || radius > 1000.0)
                return fail("-r needs a distance in metres (above 0, at most 1000)");
        } else if (arg.size() > 1 && arg[0] == '-') {
            printUsage(std::cout);
            return fail("unknown option " + arg);
        } else {
            inputs.push_back(arg);
        }
    }
    if (inputs.empty()) {
        printUsage(std::cout);
        return fail("no trace given");
    }

    Map map;
    if (append) {
        Chatter quiet(verbose);
        map = Map(mapFile);
        quiet.release();
        // A map that could not be read completely must not be written back over its file.
        if (map.hadLoadError()) return fail("could not read the map " + mapFile + "; nothing written");
        std::cout << "map " << mapFile << ": " << map.nodes.size() << " nodes, " << map.links.size()
                  << " links" << std::endl;
    }

    size_t used = 0;
    for (const std::string& input : inputs) {
        const std::vector<std::string> files = traceFilesOf(input);
        if (files.empty()) std::cout << "ERROR: no .txt or .gpx trace in " << input << std::endl;
        for (const std::string& file : files) {
            Chatter quiet(verbose);
            const Route trace = usablePoints(loadRoute(file, std::cout));
            size_t merged = 0;
            const bool first = map.nodes.empty() && map.links.empty();
            if (trace.nodes.size() >= 2) {
                if (first)
                    map = Map(trace);
                else
                    merged = mergeTrace(map, trace, radius);
            }
            quiet.release();
            if (trace.nodes.size() < 2) {
                std::cout << "trace " << file << ": fewer than 2 usable points, skipped" << std::endl;
                continue;
            }
            ++used;
            std::cout << "trace " << file << ": " << trace.nodes.size() << " points";
            if (first)
                std::cout << ", started the map";
            else
                std::cout << ", " << merged << " of " << trace.nodes.size() - 1
                          << " links merged into the map";
            std::cout << std::endl;
        }
    }
    if (used == 0 && !append) return fail("no usable trace; nothing written");

    std::cout << "map: " << map.nodes.size() << " nodes, " << map.links.size() << " links, "
              << map.superLinks.size() << " roads between junctions" << std::endl;
    map.validateMap();

    for (const std::string& out : {mapFile, kmlFile}) {
        const fs::path parent = fs::path(out).parent_path();
        std::error_code ec;
        if (!parent.empty()) fs::create_directories(parent, ec);
    }
    bool ok = map.saveMap(mapFile);
    if (ok) std::cout << "wrote " << mapFile << std::endl;
    if (map.saveToKml(kmlFile))
        std::cout << "wrote " << kmlFile << std::endl;
    else
        ok = false;
    return ok ? 0 : 1;
}
