// karvel-sim: simulated GPS drives on a karvel map, as NMEA logs with their ground truth.
#include <cmath>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "map/maps.h"
#include "tools/sim/simulator.h"

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: karvel-sim [options]\n"
        << "Drives simulated vehicles over a karvel map and writes what their GPS receivers would log.\n"
        << "Each trace NAME gives OUT/NAME.txt (NMEA: $GPRMC, $GPGGA, with --satellites also $GPGSA and\n"
        << "$GPGSV) and TRUTH/NAME.truth (the links driven and the true link of every fix, for "
           "karvel-eval).\n"
        << "\n"
        << "  --map FILE              the map (default data/map.txt)\n"
        << "  --out DIR               folder of the NMEA logs (default data/nmea)\n"
        << "  --truth DIR             folder of the ground-truth files (default: the --out folder)\n"
        << "  --traces N              number of random drives (default 1)\n"
        << "  --seed S                random seed; the same seed gives the same drives (default 1)\n"
        << "  --duration SEC          seconds of driving per trace (default 600; with --links: the whole "
           "route)\n"
        << "  --period SEC            whole seconds between fixes (default 1)\n"
        << "  --sigma M               standard deviation of the position noise on each axis, metres (default "
           "5)\n"
        << "  --correlation SEC       seconds over which the noise keeps its direction, as a receiver's\n"
        << "                          error drifts (default 0: every fix independent)\n"
        << "  --outliers RATE         fraction of fixes thrown far off (default 0)\n"
        << "  --outlier-distance M    outliers land M to 2M metres away (default 50)\n"
        << "  --dropouts RATE         chance at each fix that the signal is lost (default 0)\n"
        << "  --dropout-seconds SEC   mean length of a signal loss (default 20)\n"
        << "  --speed M/S             cruise speed on open road (default 13.9)\n"
        << "  --stops P               chance of a full stop before a junction (default 0.1)\n"
        << "  --satellites            also write $GPGSA and $GPGSV sentences\n"
        << "  --links ID,ID,...       drive these links (gaps are joined by the fewest links) instead of "
           "random routes\n"
        << "  --name PREFIX           traces are named PREFIX_000, PREFIX_001, ... (default sim)\n"
        << "  -q                      print only errors\n"
        << "  -h, --help              show this text\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << "\n";
    return 1;
}

bool parseDouble(const std::string& text, double& v) {
    std::istringstream s(text);
    s >> v;
    return !s.fail() && s.peek() == std::char_traits<char>::eof() && std::isfinite(v);
}

bool parseInt(const std::string& text, long long& v) {
    std::istringstream s(text);
    s >> v;
    return !s.fail() && s.peek() == std::char_traits<char>::eof();
}

bool parseLinks(const std::string& text, std::vector<int>& links) {
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ',')) {
        long long v = 0;
        if (!parseInt(item, v) || v < 1 || v > 2147483647) return false;
        links.push_back(static_cast<int>(v));
    }
    return !links.empty();
}

}  // namespace

int main(int argc, char** argv) {
    traceSim::SimOptions options;
    std::string mapPath = "data/map.txt", outDir = "data/nmea", truthDir;
    long long traces = 1;
    bool durationGiven = false, quiet = false;
    std::vector<int> links;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        auto take = [&]() {
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        auto number = [&](double& target, const char* what) {
            if (!take() || !parseDouble(value, target)) {
                std::cout << "ERROR: " << arg << " needs " << what << "\n";
                return false;
            }
            return true;
        };
        if (arg == "-h" || arg == "--help" || arg == "-help") {
            printUsage(std::cout);
            return 0;
        } else if (arg == "--map") {
            if (!take()) return fail("--map needs a file");
            mapPath = value;
        } else if (arg == "--out") {
            if (!take()) return fail("--out needs a folder");
            outDir = value;
        } else if (arg == "--truth") {
            if (!take()) return fail("--truth needs a folder");
            truthDir = value;
        } else if (arg == "--traces") {
            if (!take() || !parseInt(value, traces) || traces < 1 || traces > 100000)
                return fail("--traces needs a count from 1 to 100000");
        } else if (arg == "--seed") {
            long long seed = 0;
            if (!take() || !parseInt(value, seed) || seed < 0)
                return fail("--seed needs a whole number of 0 or more");
            options.seed = static_cast<uint64_t>(seed);
        } else if (arg == "--duration") {
            if (!number(options.duration, "seconds")) return 1;
            durationGiven = true;
        } else if (arg == "--period") {
            long long period = 0;
            if (!take() || !parseInt(value, period) || period < 1 || period > 3600)
                return fail("--period needs whole seconds from 1 to 3600");
            options.period = static_cast<int>(period);
        } else if (arg == "--sigma") {
            if (!number(options.sigma, "metres")) return 1;
        } else if (arg == "--correlation") {
            if (!number(options.correlationSeconds, "seconds")) return 1;
        } else if (arg == "--outliers") {
            if (!number(options.outlierRate, "a rate from 0 to 1")) return 1;
        } else if (arg == "--outlier-distance") {
            if (!number(options.outlierDistance, "metres")) return 1;
        } else if (arg == "--dropouts") {
            if (!number(options.dropoutRate, "a rate from 0 to 1")) return 1;
        } else if (arg == "--dropout-seconds") {
            if (!number(options.dropoutSeconds, "seconds")) return 1;
        } else if (arg == "--speed") {
            if (!number(options.cruiseSpeed, "metres per second")) return 1;
        } else if (arg == "--stops") {
            if (!number(options.stopProbability, "a probability from 0 to 1")) return 1;
        } else if (arg == "--satellites") {
            options.satellites = true;
        } else if (arg == "--links") {
            if (!take() || !parseLinks(value, links))
                return fail("--links needs link ids separated by commas");
        } else if (arg == "--name") {
            if (!take()) return fail("--name needs a prefix");
            options.namePrefix = value;
        } else if (arg == "-q") {
            quiet = true;
        } else {
            printUsage(std::cout);
            return fail("unknown argument " + arg);
        }
    }
    if (truthDir.empty()) truthDir = outDir;
    if (!links.empty() && !durationGiven) options.duration = 604800.0;
    const std::string problem = options.validate();
    if (!problem.empty()) return fail(problem);

    std::error_code ec;
    if (!std::filesystem::is_regular_file(mapPath, ec)) return fail("cannot read the map " + mapPath);
    const mapRepresentation::Map map(mapPath);
    if (map.links.empty()) return fail("the map " + mapPath + " has no links");

    const traceSim::Simulator simulator(map, options);
    const int count = links.empty() ? static_cast<int>(traces) : 1;
    for (int k = 0; k < count; ++k) {
        traceSim::SimTrace trace;
        std::string error;
        const bool ok =
            links.empty() ? simulator.randomTrace(k, trace, error) : simulator.drive(links, k, trace, error);
        if (!ok) return fail(error);
        if (!traceSim::writeTrace(trace, options, outDir, truthDir, error)) return fail(error);
        if (!quiet) {
            double length = 0.0;
            for (int l : trace.route) length += map.links.at(l).length;
            std::cout << trace.name << ": " << trace.fixes.size() << " fixes, " << trace.route.size()
                      << " links, " << length / 1000.0 << " km\n";
        }
    }
    return 0;
}
