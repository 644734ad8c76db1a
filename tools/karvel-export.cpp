// karvel-export: turns the report of a karvel, karvel-genetic or karvel-match run into CSV or
// GeoJSON, with the traces it matched and the map it matched them on.
#include <csignal>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/result_writer.h"
#include "map/maps.h"
#include "tools/eval/report.h"
#include "tools/eval/report_export.h"

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: karvel-export --report FILE --map FILE [-t FOLDER] [--format csv|geojson] [-o FILE]\n"
        << "\n"
        << "Writes the matched paths of a report (what karvel, karvel-genetic or karvel-match printed) as\n"
        << "CSV (one row per fix) or GeoJSON (the driven line of every piece and a point per fix).\n"
        << "\n"
        << "  --report FILE   the report (the program's standard output)\n"
        << "  --map FILE      the map of that run: karvel rewrites data/map.txt when it starts, so take\n"
        << "                  data/map.txt as it is after the run (not a copy made before it)\n"
        << "  -t FOLDER       where the traces of the run are, .txt or .gpx (default data/nmea/)\n"
        << "  --format F      csv (default) or geojson\n"
        << "  -o FILE         write to FILE (replaced only when complete) instead of standard output\n"
        << "  -h, --help      show this text\n"
        << "\n"
        << "Messages go to standard error. The exit status is 1 when a trace could not be exported.\n";
}

struct Options {
    std::string report, map, folder = "data/nmea/", output;
    ResultFormat format = ResultFormat::Csv;
    bool help = false;
};

bool parse(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            return true;
        }
        if (i + 1 >= argc) {
            error = "unknown option or missing value: " + arg;
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--report") {
            o.report = value;
        } else if (arg == "--map") {
            o.map = value;
        } else if (arg == "-t") {
            o.folder = value;
        } else if (arg == "-o") {
            o.output = value;
        } else if (arg == "--format") {
            const auto f = resultFormatNamed(value);
            if (!f || *f == ResultFormat::Report) {
                error = "--format takes csv or geojson, not " + value;
                return false;
            }
            o.format = *f;
        } else {
            error = "unknown option: " + arg;
            return false;
        }
    }
    if (o.report.empty() || o.map.empty()) error = "--report and --map are needed";
    return error.empty();
}

int fail(const std::string& message) {
    std::cerr << "ERROR: " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGXFSZ, SIG_IGN);  // a write past a file-size limit must fail, not kill the program
    // The document alone goes to standard output; the map loader and trace loaders talk to std::cout,
    // so std::cout is turned to standard error.
    std::ostream document(std::cout.rdbuf());
    std::cout.rdbuf(std::cerr.rdbuf());

    Options options;
    std::string error;
    if (!parse(argc, argv, options, error)) {
        printUsage(std::cerr);
        return fail(error);
    }
    if (options.help) {
        printUsage(document);
        return 0;
    }
    matchEval::Report report;
    if (!matchEval::loadReport(options.report, report, error)) return fail(error);
    if (report.traces.empty()) return fail("no \"Route #\" block in the report " + options.report);
    const mapRepresentation::Map map(options.map);
    if (map.hadLoadError() || map.links.empty()) return fail("cannot use the map " + options.map);

    ResultWriter writer(options.format, map);
    const bool complete = matchEval::exportReport(report, options.folder, writer, map, std::cerr);
    if (options.output.empty()) {
        writer.write(document);
        document.flush();
        if (!document) return fail("cannot write to standard output");
    } else if (!writer.writeFile(options.output, error)) {
        return fail(error);
    }
    return complete ? 0 : 1;
}
