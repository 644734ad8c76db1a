// karvel-sim: simulated GPS drives on a karvel map, as NMEA logs with their ground truth.
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/output_check.h"
#include "map/maps.h"
#include "tools/cli/command_line.h"
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
        << "  --bursts RATE           chance at each fix that multipath starts: for 5-20 s every fix\n"
        << "                          lies 30-80 m to one side of the road (default 0)\n"
        << "  --dropouts RATE         chance at each fix that the signal is lost (default 0)\n"
        << "  --dropout-seconds SEC   mean length of a signal loss (default 20)\n"
        << "  --speed M/S             cruise speed on open road (default 13.9)\n"
        << "  --stops P               chance of a full stop before a junction (default 0.1)\n"
        << "  --longest-stop SEC      a stop lasts 2 s to SEC (default 15)\n"
        << "  --satellites            also write $GPGSA and $GPGSV sentences\n"
        << "  --links ID,ID,...       drive these links (gaps are joined by the fewest links) instead of "
           "random routes\n"
        << "  --name PREFIX           traces are named PREFIX_000, PREFIX_001, ... (default sim)\n"
        << "  -q                      print only errors\n"
        << "  -h, --help              show this text\n"
        << "  --version               show the version\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << "\n";
    return 1;
}

bool parseLinks(const std::string& text, std::vector<int>& links) {
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ',')) {
        const auto v = toolCli::parseWholeNumber(item, 1, 2147483647);
        if (!v) return false;
        links.push_back(static_cast<int>(*v));
    }
    return !links.empty();
}

// The options that take a number, with what the number means.
const std::map<std::string, std::pair<double traceSim::SimOptions::*, const char*>> kNumberOptions = {
    {"duration", {&traceSim::SimOptions::duration, "seconds"}},
    {"sigma", {&traceSim::SimOptions::sigma, "metres"}},
    {"correlation", {&traceSim::SimOptions::correlationSeconds, "seconds"}},
    {"outliers", {&traceSim::SimOptions::outlierRate, "a rate from 0 to 1"}},
    {"outlier-distance", {&traceSim::SimOptions::outlierDistance, "metres"}},
    {"dropouts", {&traceSim::SimOptions::dropoutRate, "a rate from 0 to 1"}},
    {"dropout-seconds", {&traceSim::SimOptions::dropoutSeconds, "seconds"}},
    {"speed", {&traceSim::SimOptions::cruiseSpeed, "metres per second"}},
    {"stops", {&traceSim::SimOptions::stopProbability, "a probability from 0 to 1"}},
    {"longest-stop", {&traceSim::SimOptions::longestStop, "seconds"}},
    {"bursts", {&traceSim::SimOptions::burstRate, "a rate from 0 to 1"}},
};

std::vector<toolCli::OptionSpec> optionSpecs() {
    std::vector<toolCli::OptionSpec> specs = {
        {"map", 0, true},    {"out", 0, true}, {"truth", 0, true}, {"traces", 0, true}, {"seed", 0, true},
        {"period", 0, true}, {"satellites"},   {"links", 0, true}, {"name", 0, true},   {"", 'q'}};
    for (const auto& entry : kNumberOptions) specs.push_back({entry.first, 0, true});
    return specs;
}

struct Settings {
    traceSim::SimOptions options;
    std::string mapPath = "data/map.txt", outDir = "data/nmea", truthDir;
    long long traces = 1;
    bool durationGiven = false, quiet = false;
    std::vector<int> links;
};

// Applies one option; the message of a bad value, or "".
std::string apply(Settings& s, const std::string& name, const std::string& value) {
    constexpr double kAny = std::numeric_limits<double>::max();  // the options' own checks follow
    if (const auto number = kNumberOptions.find(name); number != kNumberOptions.end()) {
        const auto v = toolCli::parseNumber(value, -kAny, kAny);
        if (!v) return "--" + name + " needs " + number->second.second;
        s.options.*(number->second.first) = *v;
        s.durationGiven = s.durationGiven || name == "duration";
    } else if (name == "map") {
        s.mapPath = value;
    } else if (name == "out") {
        s.outDir = value;
    } else if (name == "truth") {
        s.truthDir = value;
    } else if (name == "traces") {
        const auto n = toolCli::parseWholeNumber(value, 1, 100000);
        if (!n) return "--traces needs a count from 1 to 100000";
        s.traces = *n;
    } else if (name == "seed") {
        const auto n = toolCli::parseWholeNumber(value, 0, std::numeric_limits<long long>::max());
        if (!n) return "--seed needs a whole number of 0 or more";
        s.options.seed = static_cast<uint64_t>(*n);
    } else if (name == "period") {
        const auto n = toolCli::parseWholeNumber(value, 1, 3600);
        if (!n) return "--period needs whole seconds from 1 to 3600";
        s.options.period = static_cast<int>(*n);
    } else if (name == "satellites") {
        s.options.satellites = true;
    } else if (name == "links") {
        if (!parseLinks(value, s.links)) return "--links needs link ids separated by commas";
    } else if (name == "name") {
        s.options.namePrefix = value;
    } else if (name == "q") {
        s.quiet = true;
    }
    return "";
}

// Simulates the drives and writes them; the exit status.
int run(Settings& settings) {
    const traceSim::SimOptions& options = settings.options;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(settings.mapPath, ec))
        return fail("cannot read the map " + settings.mapPath);
    const mapRepresentation::Map& map =
        mapRepresentation::keepUntilExit(mapRepresentation::Map(settings.mapPath));
    if (map.links.empty()) return fail("the map " + settings.mapPath + " has no links");

    const traceSim::Simulator simulator(map, options);
    const int count = settings.links.empty() ? static_cast<int>(settings.traces) : 1;
    for (int k = 0; k < count; ++k) {
        traceSim::SimTrace trace;
        std::string error;
        const bool ok = settings.links.empty() ? simulator.randomTrace(k, trace, error)
                                               : simulator.drive(settings.links, k, trace, error);
        if (!ok) return fail(error);
        if (!traceSim::writeTrace(trace, options, settings.outDir, settings.truthDir, error))
            return fail(error);
        if (!settings.quiet) {
            double length = 0.0;
            for (int l : trace.route) length += map.links.at(l).length;
            std::cout << trace.name << ": " << trace.fixes.size() << " fixes, " << trace.route.size()
                      << " links, " << length / 1000.0 << " km\n";
        }
    }
    return 0;
}

int programMain(int argc, char** argv) {
    toolCli::ignoreFileSizeSignal();
    const toolCli::CommandLine line = toolCli::parseCommandLine(argc, argv, optionSpecs());
    if (const auto status = toolCli::settleStandardOptions(line, "karvel-sim", printUsage)) return *status;
    if (!line.operands.empty()) return toolCli::usageError("unexpected argument " + line.operands[0]);
    Settings settings;
    for (const auto& [name, value] : line.options)
        if (const std::string problem = apply(settings, name, value); !problem.empty())
            return toolCli::usageError(problem);
    if (!settings.links.empty() && !settings.durationGiven) settings.options.duration = 604800.0;
    if (settings.truthDir.empty()) settings.truthDir = settings.outDir;
    if (const std::string problem = settings.options.validate(); !problem.empty())
        return toolCli::usageError(problem);
    return run(settings);
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
