// karvel-eval: scores karvel's report against ground truth, and prepares Kubicka benchmark tracks.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/output_check.h"
#include "map/atomic_file.h"
#include "map/compact_map.h"
#include "map/file_lock.h"
#include "map/maps.h"
#include "tools/cli/command_line.h"
#include "tools/eval/evaluator.h"
#include "tools/eval/kubicka.h"
#include "traces/input_file.h"

using mapRepresentation::AtomicFile;
using mapRepresentation::FileLock;

namespace {

namespace fs = std::filesystem;

void printUsage(std::ostream& out) {
    out << "Usage:\n"
        << "  karvel-eval --report FILE --map FILE --truth PATH [--truth PATH ...] [options]\n"
        << "  karvel-eval --report FILE --kubicka TRACKDIR [options]\n"
        << "  karvel-eval --prepare-kubicka TRACKDIR --out WORKDIR\n"
        << "  karvel-eval --summarize FILE.tsv [FILE.tsv ...]\n"
        << "\n"
        << "Scores what karvel printed (FILE: its standard output) against ground truth and prints, per\n"
        << "trace and overall: the fraction of fixes matched, the fraction of matched fixes on their true\n"
        << "link (when the truth has it per fix), and the route mismatch fraction of Newson and Krumm\n"
        << "(length wrongly added + length missed, over the length of the true route).\n"
        << "\n"
        << "  --map FILE             the map karvel ran on (a copy made before the run)\n"
        << "  --truth PATH           a .truth file (karvel-sim writes them) or a folder of them\n"
        << "  --kubicka TRACKDIR     a Kubicka et al. 2015 track folder (.nodes, .arcs, .track, .route)\n"
        << "  --label TEXT           the set these traces belong to, for --tsv (default: traces)\n"
        << "  --seconds S            the time karvel took (shared among the traces by their points)\n"
        << "  --tsv FILE             also append one tab-separated line per trace to FILE\n"
        << "  -q                     print only the overall line\n"
        << "  --prepare-kubicka DIR  write WORKDIR/data/map.txt (link id = arc index + 1),\n"
        << "                         data/nmea/NAME.txt and data/truth/NAME.truth for a karvel run\n"
        << "  --summarize FILES      print the lines of --tsv files as Markdown tables\n"
        << "  -h, --help             show this text\n"
        << "  --version              show the version\n";
}

int fail(const std::string& message) {
    std::cout << "ERROR: " << message << "\n";
    return 1;
}

bool collectTruth(const std::string& path, std::vector<traceSim::GroundTruth>& truths, std::string& error) {
    std::error_code ec;
    std::vector<std::string> files;
    if (fs::is_directory(path, ec)) {
        for (const auto& entry : fs::directory_iterator(path, ec))
            if (entry.path().extension() == ".truth") files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            error = "no .truth file in " + path;
            return false;
        }
    } else {
        files.push_back(path);
    }
    for (const std::string& f : files) {
        traceSim::GroundTruth t;
        if (!traceSim::loadGroundTruth(f, t, error)) return false;
        truths.push_back(std::move(t));
    }
    return true;
}

int summarize(const std::vector<std::string>& files) {
    std::vector<matchEval::TraceScore> scores;
    for (const std::string& f : files) {
        if (const std::string why = inputFile::unreadable(f); !why.empty())
            return fail("cannot read " + f + ": " + why);
        std::ifstream in(f);
        if (!in) return fail("cannot read " + f);
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (line.empty()) continue;
            matchEval::TraceScore s;
            if (!matchEval::parseTsvLine(line, s))
                return fail(f + ":" + std::to_string(number) + ": not a result line");
            scores.push_back(s);
        }
    }
    std::cout << matchEval::markdownTables(scores);
    return 0;
}

struct Settings {
    std::string reportPath, mapPath, kubickaDir, prepareDir, outDir, tsvPath, label = "traces";
    std::vector<std::string> truthPaths;
    double seconds = -1.0;
    bool quiet = false, summarizing = false;
};

// Applies one option; the message of a bad value, or "".
std::string apply(Settings& s, const std::string& name, const std::string& value) {
    if (name == "report") {
        s.reportPath = value;
    } else if (name == "map") {
        s.mapPath = value;
    } else if (name == "truth") {
        s.truthPaths.push_back(value);
    } else if (name == "kubicka") {
        s.kubickaDir = value;
    } else if (name == "label") {
        if (value.empty() || value.find('\t') != std::string::npos)
            return "--label needs a text without tabs";
        s.label = value;
    } else if (name == "seconds") {
        std::istringstream in(value);
        if (!(in >> s.seconds) || !std::isfinite(s.seconds) || s.seconds < 0)
            return "--seconds needs a number of seconds";
    } else if (name == "tsv") {
        s.tsvPath = value;
    } else if (name == "q") {
        s.quiet = true;
    } else if (name == "prepare-kubicka") {
        s.prepareDir = value;
    } else if (name == "out") {
        s.outDir = value;
    } else if (name == "summarize") {
        s.summarizing = true;
    }
    return "";
}

int prepare(const Settings& settings) {
    std::string error;
    matchEval::KubickaTrack track;
    if (!matchEval::loadKubickaTrack(settings.prepareDir, track, error)) return fail(error);
    if (!matchEval::prepareKubickaWorkdir(track, settings.outDir, error)) return fail(error);
    const auto selfLoops = std::count_if(track.arcs.begin(), track.arcs.end(),
                                         [](const auto& a) { return a.first == a.second; });
    if (selfLoops > 0)
        std::cout
            << "WARNING: " << track.name << " has " << selfLoops
            << " arcs from a node to itself; karvel refuses them and rewrites data/map.txt without them,"
               " which renumbers the later links: run karvel once per prepared folder\n";
    if (!settings.quiet)
        std::cout << track.name << ": " << track.nodes.size() << " nodes, " << track.arcs.size() << " links, "
                  << track.track.size() << " fixes, route of " << track.route.size() << " links -> "
                  << settings.outDir << "\n";
    return 0;
}

// The link graph and the ground truth the report is scored against; false with `error` set.
bool loadTruth(const Settings& settings, matchEval::LinkGraph& graph,
               std::vector<traceSim::GroundTruth>& truths, std::string& error) {
    if (!settings.kubickaDir.empty()) {
        matchEval::KubickaTrack track;
        if (!matchEval::loadKubickaTrack(settings.kubickaDir, track, error)) return false;
        graph = matchEval::kubickaGraph(track);
        truths.push_back(matchEval::kubickaTruth(track));
        return true;
    }
    std::error_code ec;
    if (!fs::is_regular_file(settings.mapPath, ec)) {
        error = "cannot read the map " + settings.mapPath;
        return false;
    }
    graph = matchEval::LinkGraph::fromMap(*mapRepresentation::loadReadOnlyMap(settings.mapPath).map);
    for (const std::string& p : settings.truthPaths)
        if (!collectTruth(p, truths, error)) return false;
    return true;
}

std::vector<matchEval::TraceScore> scoreAll(const Settings& settings, const matchEval::Report& report,
                                            const matchEval::LinkGraph& graph,
                                            const std::vector<traceSim::GroundTruth>& truths) {
    std::map<std::string, const matchEval::ReportTrace*> byName;
    for (const matchEval::ReportTrace& t : report.traces) byName.emplace(t.name, &t);
    std::vector<matchEval::TraceScore> scores;
    const matchEval::ReportTrace empty;
    for (const traceSim::GroundTruth& truth : truths) {
        const auto it = byName.find(truth.name);
        if (it == byName.end())
            std::cout << "WARNING: " << truth.name << " is not in the report; scored as unmatched\n";
        else if (it->second->malformedLines > 0)
            std::cout << "WARNING: " << truth.name << ": " << it->second->malformedLines
                      << " report lines could not be read\n";
        matchEval::TraceScore s =
            matchEval::scoreTrace(it == byName.end() ? empty : *it->second, truth, graph);
        s.label = settings.label;
        scores.push_back(s);
    }
    for (const matchEval::ReportTrace& t : report.traces) {
        const bool known =
            std::any_of(truths.begin(), truths.end(), [&](const auto& g) { return g.name == t.name; });
        if (!known) std::cout << "WARNING: " << t.name << " has no ground truth; not scored\n";
    }
    if (settings.seconds >= 0) {
        long long points = 0;
        for (const auto& s : scores) points += s.points;
        for (auto& s : scores)
            s.seconds =
                points > 0 ? settings.seconds * s.points / static_cast<double>(points) : settings.seconds;
    }
    return scores;
}

// Appends one line per trace to the --tsv file, replacing it whole so that a failed write leaves the
// earlier lines as they were.
bool appendTsv(const std::string& path, const std::vector<matchEval::TraceScore>& scores) {
    std::string before;
    std::error_code ec;
    if (fs::exists(path, ec)) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        before.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) return false;
    }
    AtomicFile file(path);
    if (!file.isOpen()) return false;
    file.stream() << before;
    for (const auto& s : scores) file.stream() << matchEval::tsvLine(s) << "\n";
    return file.commit();
}

int score(const Settings& settings) {
    std::string error;
    matchEval::Report report;
    if (!matchEval::loadReport(settings.reportPath, report, error)) return fail(error);
    matchEval::LinkGraph graph;
    std::vector<traceSim::GroundTruth> truths;
    if (!loadTruth(settings, graph, truths, error)) return fail(error);
    const std::vector<matchEval::TraceScore> scores = scoreAll(settings, report, graph, truths);
    // Links the map lacks mean the report was made on another map: its figures would be made up.
    for (const matchEval::TraceScore& s : scores)
        if (s.unknownLinks > 0)
            return fail(s.name + ": " + std::to_string(s.unknownLinks) +
                        " links of the report are not in the map (give the map of the run)");
    if (settings.quiet) {
        std::ostringstream all;
        matchEval::printScores(all, scores);
        const std::string text = all.str();
        const size_t at = text.rfind("Overall: ");
        std::cout << (at == std::string::npos ? text : text.substr(at));
    } else {
        matchEval::printScores(std::cout, scores);
    }
    if (!settings.tsvPath.empty() && !appendTsv(settings.tsvPath, scores))
        return fail("cannot write " + settings.tsvPath);
    return 0;
}

const std::vector<toolCli::OptionSpec> kOptions = {
    {"report", 0, true},          {"map", 0, true},     {"truth", 0, true}, {"kubicka", 0, true},
    {"label", 0, true},           {"seconds", 0, true}, {"tsv", 0, true},   {"", 'q'},
    {"prepare-kubicka", 0, true}, {"out", 0, true},     {"summarize"}};

int programMain(int argc, char** argv) {
    toolCli::ignoreFileSizeSignal();
    const toolCli::CommandLine line = toolCli::parseCommandLine(argc, argv, kOptions);
    if (const auto status = toolCli::settleStandardOptions(line, "karvel-eval", printUsage)) return *status;
    Settings settings;
    for (const auto& [name, value] : line.options)
        if (const std::string problem = apply(settings, name, value); !problem.empty())
            return toolCli::usageError(problem);
    if (settings.summarizing) {
        if (line.operands.empty()) return toolCli::usageError("--summarize needs result files");
        return summarize(line.operands);
    }
    if (!line.operands.empty()) return toolCli::usageError("unexpected argument " + line.operands[0]);
    if (!settings.prepareDir.empty()) {
        if (settings.outDir.empty()) return toolCli::usageError("--prepare-kubicka needs --out WORKDIR");
        if (const auto problem = FileLock::waitSettingProblem()) return fail(*problem + "; nothing written");
        return prepare(settings);
    }
    if (settings.reportPath.empty()) return toolCli::usageError("--report is needed");
    if (settings.kubickaDir.empty() && (settings.mapPath.empty() || settings.truthPaths.empty()))
        return toolCli::usageError("give --map and --truth, or --kubicka");
    return score(settings);
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
