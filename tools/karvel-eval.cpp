// karvel-eval: scores karvel's report against ground truth, and prepares Kubicka benchmark tracks.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "map/maps.h"
#include "tools/eval/evaluator.h"
#include "tools/eval/kubicka.h"

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
        << "  -h, --help             show this text\n";
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

}  // namespace

int main(int argc, char** argv) {
    std::string reportPath, mapPath, kubickaDir, prepareDir, outDir, tsvPath, label = "traces";
    std::vector<std::string> truthPaths, summaryFiles;
    double seconds = -1.0;
    bool quiet = false, summarizing = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc) return false;
            target = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help" || arg == "-help") {
            printUsage(std::cout);
            return 0;
        } else if (summarizing) {
            summaryFiles.push_back(arg);
        } else if (arg == "--report") {
            if (!value(reportPath)) return fail("--report needs a file");
        } else if (arg == "--map") {
            if (!value(mapPath)) return fail("--map needs a file");
        } else if (arg == "--truth") {
            if (!value(text)) return fail("--truth needs a file or a folder");
            truthPaths.push_back(text);
        } else if (arg == "--kubicka") {
            if (!value(kubickaDir)) return fail("--kubicka needs a track folder");
        } else if (arg == "--label") {
            if (!value(label) || label.empty() || label.find('\t') != std::string::npos)
                return fail("--label needs a text without tabs");
        } else if (arg == "--seconds") {
            std::istringstream s(value(text) ? text : std::string("x"));
            if (!(s >> seconds) || !std::isfinite(seconds) || seconds < 0)
                return fail("--seconds needs a number of seconds");
        } else if (arg == "--tsv") {
            if (!value(tsvPath)) return fail("--tsv needs a file");
        } else if (arg == "-q") {
            quiet = true;
        } else if (arg == "--prepare-kubicka") {
            if (!value(prepareDir)) return fail("--prepare-kubicka needs a track folder");
        } else if (arg == "--out") {
            if (!value(outDir)) return fail("--out needs a folder");
        } else if (arg == "--summarize") {
            summarizing = true;
        } else {
            printUsage(std::cout);
            return fail("unknown argument " + arg);
        }
    }

    if (summarizing) {
        if (summaryFiles.empty()) return fail("--summarize needs result files");
        return summarize(summaryFiles);
    }

    std::string error;
    if (!prepareDir.empty()) {
        if (outDir.empty()) return fail("--prepare-kubicka needs --out WORKDIR");
        matchEval::KubickaTrack track;
        if (!matchEval::loadKubickaTrack(prepareDir, track, error)) return fail(error);
        if (!matchEval::prepareKubickaWorkdir(track, outDir, error)) return fail(error);
        const auto selfLoops = std::count_if(track.arcs.begin(), track.arcs.end(),
                                             [](const auto& a) { return a.first == a.second; });
        if (selfLoops > 0)
            std::cout
                << "WARNING: " << track.name << " has " << selfLoops
                << " arcs from a node to itself; karvel refuses them and rewrites data/map.txt without them,"
                   " which renumbers the later links: run karvel once per prepared folder\n";
        if (!quiet)
            std::cout << track.name << ": " << track.nodes.size() << " nodes, " << track.arcs.size()
                      << " links, " << track.track.size() << " fixes, route of " << track.route.size()
                      << " links -> " << outDir << "\n";
        return 0;
    }

    if (reportPath.empty()) {
        printUsage(std::cout);
        return fail("--report is needed");
    }
    matchEval::Report report;
    if (!matchEval::loadReport(reportPath, report, error)) return fail(error);

    matchEval::LinkGraph graph;
    std::vector<traceSim::GroundTruth> truths;
    if (!kubickaDir.empty()) {
        matchEval::KubickaTrack track;
        if (!matchEval::loadKubickaTrack(kubickaDir, track, error)) return fail(error);
        graph = matchEval::kubickaGraph(track);
        truths.push_back(matchEval::kubickaTruth(track));
    } else {
        if (mapPath.empty() || truthPaths.empty()) return fail("give --map and --truth, or --kubicka");
        std::error_code ec;
        if (!fs::is_regular_file(mapPath, ec)) return fail("cannot read the map " + mapPath);
        graph = matchEval::LinkGraph::fromMap(mapRepresentation::Map(mapPath));
        for (const std::string& p : truthPaths)
            if (!collectTruth(p, truths, error)) return fail(error);
    }

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
        s.label = label;
        scores.push_back(s);
    }
    for (const matchEval::ReportTrace& t : report.traces) {
        const bool known =
            std::any_of(truths.begin(), truths.end(), [&](const auto& g) { return g.name == t.name; });
        if (!known) std::cout << "WARNING: " << t.name << " has no ground truth; not scored\n";
    }
    if (seconds >= 0) {
        long long points = 0;
        for (const auto& s : scores) points += s.points;
        for (auto& s : scores)
            s.seconds = points > 0 ? seconds * s.points / static_cast<double>(points) : seconds;
    }

    if (quiet) {
        std::ostringstream all;
        matchEval::printScores(all, scores);
        const std::string text = all.str();
        const size_t at = text.rfind("Overall: ");
        std::cout << (at == std::string::npos ? text : text.substr(at));
    } else {
        matchEval::printScores(std::cout, scores);
    }
    if (!tsvPath.empty()) {
        std::ofstream tsv(tsvPath, std::ios::app);
        for (const auto& s : scores) tsv << matchEval::tsvLine(s) << "\n";
        tsv.flush();
        if (!tsv) return fail("cannot write " + tsvPath);
    }
    return 0;
}
