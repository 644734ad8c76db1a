// karvel-export: turns the report of a karvel, karvel-genetic or karvel-match run into CSV or
// GeoJSON, with the traces it matched and the map it matched them on.
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/html_writer.h"
#include "app/output_check.h"
#include "app/result_writer.h"
#include "map/compact_map.h"
#include "tools/cli/command_line.h"
#include "tools/eval/report.h"
#include "tools/eval/report_export.h"

using matchApp::ResultFormat;
using matchApp::ResultWriter;

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: karvel-export --report FILE --map FILE [-t FOLDER] [--format csv|geojson|html|gpkg]\n"
        << "                     [-o FILE]\n"
        << "       karvel-export --index FILE PAGE...\n"
        << "\n"
        << "Writes the matched paths of a report (what karvel, karvel-genetic or karvel-match printed) as\n"
        << "CSV (one row per fix), GeoJSON (the driven line of every piece and a point per fix) or HTML\n"
        << "(a page per trace to look at in a browser, offline; several traces also get an index).\n"
        << "\n"
        << "  --report FILE   the report (the program's standard output)\n"
        << "  --map FILE      the map of that run: karvel rewrites data/map.txt when it starts, so take\n"
        << "                  data/map.txt as it is after the run (not a copy made before it)\n"
        << "  -t FOLDER       where the traces of the run are, .txt or .gpx (default data/nmea/)\n"
        << "  --format F      csv (default; with -o also FILE.links.csv, a row per driven link), geojson,\n"
        << "                  html or gpkg (GeoPackage: layers fixes and links); road attributes (OSM\n"
        << "                  way, name, class, speed limit) come from the link table MAP.links.csv\n"
        << "  -o FILE         write to FILE (replaced only when complete) instead of standard output;\n"
        << "                  HTML of several traces: FILE is the index, the pages go beside it\n"
        << "  --index FILE    write FILE, an index over the given HTML pages of matched traces (written\n"
        << "                  by other runs or hosts), in the order given, each linked relative to FILE\n"
        << "  -h, --help      show this text; --version shows the version\n"
        << "\n"
        << "Messages go to standard error. The exit status is 1 when a trace could not be exported,\n"
        << "2 when the command line cannot be run.\n";
}

struct Options {
    std::string report, map, folder = "data/nmea/", output, index;
    std::vector<std::string> pages;
    ResultFormat format = ResultFormat::Csv;
};

const std::vector<toolCli::OptionSpec> kOptions = {{"report", 0, true}, {"map", 0, true}, {"", 't', true},
                                                   {"format", 0, true}, {"", 'o', true},  {"index", 0, true}};

// An empty text when the command line can be run, the reason otherwise.
std::string settle(const toolCli::CommandLine& line, Options& o) {
    for (const auto& [name, value] : line.options) {
        if (name == "report") o.report = value;
        if (name == "map") o.map = value;
        if (name == "t") o.folder = value;
        if (name == "o") o.output = value;
        if (name == "index") o.index = value;
        if (name == "format") {
            const auto f = matchApp::resultFormatNamed(value);
            if (!f || *f == ResultFormat::Report)
                return "--format takes csv, geojson, html or gpkg, not " + value;
            o.format = *f;
        }
    }
    if (!o.index.empty()) {
        // An index is made from finished pages alone: options of an export have nothing to act on.
        if (!o.report.empty() || !o.map.empty() || !o.output.empty() || line.options.size() > 1)
            return "--index takes only the pages";
        if (line.operands.empty()) return "--index needs at least one page";
        o.pages = line.operands;
        return "";
    }
    if (!line.operands.empty()) return "unexpected argument " + line.operands[0];
    if (o.report.empty() || o.map.empty()) return "--report and --map are needed";
    return "";
}

int fail(const std::string& message) {
    std::cerr << "ERROR: " << message << "\n";
    return 1;
}

int programMain(int argc, char** argv) {
    toolCli::ignoreFileSizeSignal();
    const toolCli::CommandLine line = toolCli::parseCommandLine(argc, argv, kOptions);
    if (const auto status = toolCli::settleStandardOptions(line, "karvel-export", printUsage)) return *status;
    Options options;
    if (const std::string problem = settle(line, options); !problem.empty())
        return toolCli::usageError(problem);
    std::string error;
    if (!options.index.empty()) {
        if (!htmlView::writeIndexOfPages(options.index, options.pages, error)) return fail(error);
        return 0;
    }
    // The document alone goes to standard output; the map loader and trace loaders talk to std::cout,
    // so std::cout is turned to standard error.
    std::ostream document(std::cout.rdbuf());
    std::cout.rdbuf(std::cerr.rdbuf());
    matchEval::Report report;
    if (!matchEval::loadReport(options.report, report, error)) return fail(error);
    const mapRepresentation::ReadOnlyMap loaded = mapRepresentation::loadReadOnlyMap(options.map);
    if (loaded.loadError || !loaded.map || loaded.map->linkCount() == 0)
        return fail("cannot use the map " + options.map);
    const mapRepresentation::CompactMap& map = *loaded.map;

    ResultWriter writer(options.format, map);
    writer.useLinkTableBeside(options.map, std::cerr);
    const bool complete = matchEval::exportReport(report, options.folder, writer, map, std::cerr);
    if (options.output.empty()) {
        if (const std::string problem = writer.streamProblem(); !problem.empty()) return fail(problem);
        writer.write(document);
        if (!matchApp::standardOutputWritten(document)) return 1;
    } else if (!writer.writeFile(options.output, error)) {
        return fail(error);
    }
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(programMain(argc, argv));
}
