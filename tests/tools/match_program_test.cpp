// The matching programs as a user meets them: karvel-match's exit codes and console, the same report
// on any number of threads, files they must leave alone, a seeded accuracy floor on a real street
// map scored by karvel-eval, the traces a user brings (any NMEA extension, files named on the command
// line, receivers that send only RMC or only GGA, a street across a UTM zone line), the same bytes from
// the text map and its compact file, pages and an index with --format html (that a page draws in a
// browser what it carries: html_writer_test.cpp), and whole runs of the genetic programs that repeat
// under one KARVEL_SEED.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "app/html_writer.h"
#include "map/compact_map.h"
#include "nmea_writer.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::occurrences;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

namespace {

namespace fs = std::filesystem;
const std::string kSampleMap = karvel_test::sampleMap();

// A working folder with the bundled street map (and a pristine copy beside it) and seeded simulated
// drives of it.
void prepareSample(const TempDir& dir, const std::string& simArgs) {
    karvel_test::makeWorkFolder(dir);
    fs::copy_file(kSampleMap, dir / "map.txt");
    ASSERT_EQ(dir.run("$S --map map.txt --out data/nmea --truth truth " + simArgs).exitCode, 0);
}

std::string withoutTiming(const std::string& report) {
    return std::regex_replace(report, std::regex("Overall processing time: [^\n]*\n"), "");
}

struct SampleRun {
    TempDir dir;
    std::string compact = dir / "data/map.txt.compact";
    SampleRun() { prepareSample(dir, "--traces 2 --seed 11 --duration 240 --period 2 --sigma 8 -q"); }
    // The document of one run; `fresh` removes the compact map first, so the run reads the text.
    std::string run(const std::string& args, const std::string& output, bool fresh) {
        if (fresh) fs::remove(compact);
        const auto r = runCommand(args + " -o " + output, dir.str());
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.out;
        return readFile(dir / output);
    }
};

struct CsvTrace {
    size_t fixes = 0, placed = 0;
    std::set<std::string> pieces;
};

// Rows per trace of karvel-match's CSV.
std::map<std::string, CsvTrace> csvTraces(const std::string& csv) {
    std::map<std::string, CsvTrace> traces;
    for (const auto& row : karvel_test::csvRows(csv)) {
        CsvTrace& t = traces[row.at("trace")];
        ++t.fixes;
        if (!row.at("link").empty()) {
            ++t.placed;
            t.pieces.insert(row.at("piece"));
        }
    }
    return traces;
}

// karvel, measured over six runs (its genetic stage draws differently each run): matched 98.1 %, on
// the true link 75.5-75.8 %, route mismatch 3.03-3.23 (it hops between the links of a junction for a
// point or two, and each hop implies a detour). The bounds leave a margin for the random draws.
// karvel-match prints the same report on one thread and never writes the map.
TEST(MatchPrograms, SeededDrivesOnARealMapMatchAboveAFloor) {
    const struct {
        const char* program;
        const char* simArgs;
        double matched, onTrue;
        const char* mismatch;  // a route mismatch figure of the evaluation
        double mismatchCeiling;
        const char* sameReport;  // the same program on one thread, or nothing
    } cases[] = {
        {"karvel-match --jobs 3 -M", "--traces 3 --seed 5 --duration 300 --period 5 --sigma 10 --satellites",
         98, 75, "as link sets mean", 0.10, "karvel-match --jobs=1"},
        {"karvel", "--traces 2 --seed 4 --duration 180", 95, 70, "route mismatch mean", 4.0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        TempDir dir;
        prepareSample(dir, c.simArgs);
        ASSERT_EQ(runCommand(binaryPath(c.program) + " > report.txt", dir.str()).exitCode, 0);
        const std::string label = std::string(c.program) + " / seeded";
        const auto scored = dir.run(
            "$V --report report.txt --map map.txt --truth truth -q --seconds 2 --tsv r.tsv --label '" +
            label + "'");
        ASSERT_EQ(scored.exitCode, 0) << scored.out;
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(scored.out, m, std::regex("matched ([0-9.]+) %; on true link ([0-9.]+) %")))
            << scored.out;
        EXPECT_GE(std::stod(m[1]), c.matched) << scored.out;
        EXPECT_GE(std::stod(m[2]), c.onTrue) << scored.out;
        ASSERT_TRUE(std::regex_search(scored.out, m, std::regex(std::string(c.mismatch) + " ([0-9.]+)")));
        EXPECT_LE(std::stod(m[1]), c.mismatchCeiling) << scored.out;
        // The result line keeps a label with blanks and a slash.
        const auto table = dir.run("$V --summarize r.tsv");
        EXPECT_NE(table.out.find("| " + label + " | "), std::string::npos) << table.out;
        if (c.sameReport == nullptr) continue;
        EXPECT_EQ(withoutTiming(runCommand(binaryPath(c.sameReport), dir.str()).out),
                  withoutTiming(dir.read("report.txt")));
        EXPECT_EQ(dir.read("data/map.txt"), readFile(kSampleMap));
    }
}

// A trace of another area is named on an ERROR line with its distance from the map, and fails the
// run; the trace on the map beside it is matched, its report carrying the driven links. A map or a
// named trace that cannot be read fails the run too. (Bad options: options_test.cpp.)
TEST(MatchExit, ATraceOfAnotherAreaFailsTheRun) {
    TempDir dir;
    karvel_test::makeWorkFolder(dir, "2\n1 -8.6 41.1 0 0\n2 -8.5 41.1 0 0\n1\n1 2 0 0\n");
    dir.write("data/nmea/far.txt",
              karvel_test::nmeaLog(karvel_test::fixesAlong(41.1, -8.3, 41.1, -8.299, 3)));
    dir.write("data/nmea/near.txt",
              karvel_test::nmeaLog(karvel_test::fixesAlong(41.1, -8.58, 41.1, -8.57, 5)));
    const auto r = dir.run("$M -q -M 2>&1");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: far: none of its 3 fixes lies within 50 m of a road; it is 16.8 km from "
                         "the map's area"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Route #1: near\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 4 Links: (0, 1)  (1, 1)  "
                         "(2, 1)  (3, 1)  (4, 1)  \n\nDriven links: 1\n\n"),
              std::string::npos)
        << r.out;
    // The drive's document draws the piece from the start of its first link, as the link itself is
    // drawn; a fix matched to no link gets no match line.
    const std::string link =
        "\t\t\t\t\t-8.600000000000,41.100000000000,0\n\t\t\t\t\t-8.500000000000,41.100000000000,0\n";
    const std::string near = dir.read("data/match_hmm_near.kml");
    EXPECT_EQ(karvel_test::occurrences(near, link), 2u) << near;
    EXPECT_EQ(karvel_test::occurrences(dir.read("data/match_hmm_far.kml"), "<name>Match: "), 0u);
    for (const auto& [args, error] :
         {std::pair{"--map missing.txt", "ERROR: cannot read map file missing.txt"},
          {"extra", "ERROR: extra: cannot be read"}}) {
        const auto bad = dir.run("$M " + std::string(args) + " 2>&1");
        EXPECT_EQ(bad.exitCode, 1) << args;
        EXPECT_NE(bad.out.find(error), std::string::npos) << bad.out;
    }
}

// What karvel-match prints where: standard output carries the results alone (nothing with -o), the
// loader's notes only with -v, its errors always, and standard error one closing summary unless -q.
TEST(MatchConsole, ResultsOnStdoutMessagesAsAsked) {
    TempDir dir;
    fs::copy(fs::path(kSampleMap).parent_path(), dir / "data", fs::copy_options::recursive);
    dir.write("data/nmea/broken.gpx", "<gpx><trk><trkseg><trkpt lat=\"x\"/>");
    const std::regex summary(
        "karvel-match: 3 traces, ([0-9]+) fixes, ([0-9.]+) % matched, [0-9.]+ s, [0-9]+ fixes/s\n");
    const auto plain = dir.run("$M --jobs 2");
    EXPECT_EQ(plain.exitCode, 1) << "a trace that gives no fix fails the run:\n" << plain.out;
    EXPECT_NE(plain.out.find("ERROR: trace data/nmea/broken.gpx gives no fix: "), std::string::npos);
    EXPECT_EQ(plain.out.rfind("ERROR: ", 0), 0U) << "the unreadable log first, in name order:\n" << plain.out;
    EXPECT_NE(plain.out.find("\n\tRoute #1: porto_east_north\n"), std::string::npos) << plain.out;
    for (const char* chatter : {"Ostrand", "Looking for", "Loading", "loading nmea file", "Overall"})
        EXPECT_EQ(plain.out.find(chatter), std::string::npos) << chatter;
    std::smatch figures;
    ASSERT_TRUE(std::regex_match(plain.err, figures, summary)) << plain.err;
    EXPECT_EQ(figures[1], "123");  // the two Porto drives; the broken log has none
    EXPECT_GT(std::stod(figures[2]), 90);

    const auto verbose = dir.run("$M -v");
    EXPECT_EQ(verbose.out.rfind("Traces: 3 files in data/nmea/\nMap: 16 nodes, ", 0), 0U) << verbose.out;
    EXPECT_NE(verbose.out.find("loading nmea file: "), std::string::npos);
    EXPECT_EQ(verbose.out.find("Ostrand"), std::string::npos);

    const auto quiet = dir.run("$M -q");
    EXPECT_EQ(quiet.out, plain.out);
    EXPECT_EQ(quiet.err, "");

    // With -o the report file holds the blocks alone and the error moves to standard error.
    const auto toFile = dir.run("$M -o report.txt");
    EXPECT_EQ(toFile.out, "");
    EXPECT_EQ(toFile.err.rfind("ERROR: ", 0), 0U) << toFile.err;
    EXPECT_EQ(std::count(toFile.err.begin(), toFile.err.end(), '\n'), 3) << toFile.err;
    EXPECT_NE(toFile.err.find("karvel-match: 3 traces, "), std::string::npos) << toFile.err;
    EXPECT_EQ(dir.read("report.txt"), plain.out.substr(plain.out.find("\tRoute #0: ")));

    const auto csv = dir.run("$M --format csv");
    EXPECT_EQ(csv.out.rfind("trace,point,time,", 0), 0U) << csv.out.substr(0, 200);
    EXPECT_EQ(csv.out.find("ERROR"), std::string::npos);
    EXPECT_EQ(csv.err.rfind("ERROR: ", 0), 0U) << csv.err;
}

// Both programs that run the genetic stage print the same report twice under one seed (the timing
// line aside), on the bundled sample whose genetic segments do draw random numbers, with an empty log
// beside it; a seed that is not one is reported and the clock seeds the run. karvel-genetic only reads
// the map. (Help before anything is read: the start-up shared with karvel, driver_test.cpp.)
TEST(GeneticPrograms, FixedSeedRepeatsWholeRuns) {
    for (const std::string program : {"karvel", "karvel-genetic"}) {
        SCOPED_TRACE(program);
        std::vector<std::string> outputs;
        for (const std::string seed : {"99", "99", "12a"}) {
            TempDir dir;
            fs::copy(fs::path(kSampleMap).parent_path(), dir / "data", fs::copy_options::recursive);
            dir.write("data/nmea/empty.txt", "");
            const auto r = runCommand("KARVEL_SEED=" + seed + " " + binaryPath(program) + " -M", dir.str());
            // The hybrid names a trace it loads no point from and fails the run; the genetic-only
            // program does not.
            EXPECT_EQ(std::pair(r.exitCode, r.out.find("ERROR: no point loaded from ") != std::string::npos),
                      std::pair(program == "karvel" ? 1 : 0, program == "karvel"));
            EXPECT_NE(r.out.find(": empty\nPaths: \n\n\nUnmatched Info: \n"), std::string::npos) << r.out;
            outputs.push_back(withoutTiming(r.out));
            if (program == "karvel-genetic") {
                EXPECT_TRUE(fs::exists(dir / "data/match_genetic_porto_loop.kml"));
                EXPECT_EQ(dir.read("data/map.txt"), readFile(kSampleMap)) << "the map is only read";
            }
        }
        EXPECT_EQ(outputs[1], outputs[0]);
        EXPECT_NE(outputs[2].find("ERROR: KARVEL_SEED is not an integer from 0 to 4294967295 (\"12a\"); the "
                                  "clock seeds the genetic stage.\n"),
                  std::string::npos);
    }
}

// The read-only programs on the compact map beside map.txt: the same bytes out whether they built it
// from the text or mapped it. Damage in a slice the run reaches (that of a link it matched) ends the
// run with an ERROR that says what to do, before any result is written; deleted, the file is made
// again. (Cut, stale and foreign files: compact_map_test.cpp.)
TEST(CompactMapPrograms, SameBytesFromTextAndCompactFileAndADamagedFileEndsTheRun) {
    SampleRun s;
    const std::string match = binaryPath("karvel-match") + " -q --jobs 1";
    ASSERT_EQ(runCommand(match + " > report.txt", s.dir.str()).exitCode, 0);
    std::string expected;
    for (const char* format : {"report", "geojson", "csv"}) {
        SCOPED_TRACE(format);
        const std::string args = match + " --format " + format;
        expected = s.run(args, std::string("text.") + format, true);
        ASSERT_TRUE(fs::exists(s.compact));
        const auto made = fs::last_write_time(s.compact);
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(s.run(args, std::string("file.") + format, false), expected);
        EXPECT_EQ(fs::last_write_time(s.compact), made);  // used, not made again
    }
    const std::string exportCsv = binaryPath("karvel-export") + " --report report.txt --map data/map.txt";
    EXPECT_EQ(s.run(exportCsv, "text.export.csv", true), s.run(exportCsv, "file.export.csv", false));

    const std::string args = match + " --format csv";
    std::string why;
    const auto map = mapRepresentation::CompactMap::open(s.compact, why);
    ASSERT_TRUE(map) << why;
    int matched = 0;
    for (const auto& row : karvel_test::csvRows(expected))
        if (matched == 0 && !row.at("link").empty()) matched = std::stoi(row.at("link"));
    const auto at = reinterpret_cast<const std::byte*>(map->findLink(matched)) - map->bytes().data();
    std::string damaged = readFile(s.compact);
    damaged[static_cast<size_t>(at) + offsetof(mapRepresentation::CompactLink, length)] ^= 1;
    karvel_test::writeFile(s.compact, damaged);
    const auto r = runCommand(args + " -o damaged.csv", s.dir.str());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("ERROR: the compact map data/map.txt.compact is damaged (the contents of slice "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("delete it, and the next start makes it again"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(s.dir / "damaged.csv"));
    fs::remove(s.compact);
    EXPECT_EQ(s.run(args, "remade.csv", false), expected);
    EXPECT_TRUE(fs::exists(s.compact));
}

TEST(HtmlFormat, PagesOfSimulatedDrivesAgreeWithTheCsv) {
    TempDir dir;
    prepareSample(dir, "--traces 2 --seed 3 --duration 150 --dropouts 0.01");
    const auto csv = dir.run("$M -q --format csv");
    ASSERT_EQ(csv.exitCode, 0);
    const auto traces = csvTraces(csv.out);
    ASSERT_EQ(traces.size(), 2u);

    fs::create_directories(dir / "view");
    ASSERT_EQ(dir.run("$M -q --format html -o view/drives.html").exitCode, 0);
    const std::string index = dir.read("view/drives.html");
    for (const auto& [name, t] : traces) {
        const std::string page = "drives-" + name + ".html";
        EXPECT_NE(index.find("<a href=\"" + page + "\">" + name + "</a>"), std::string::npos) << index;
        const auto summary = htmlView::summaryOfPage(dir.read(("view/" + page)));
        ASSERT_TRUE(summary) << page;
        EXPECT_EQ(std::tuple(summary->fixes, summary->placed, summary->pieces),
                  std::tuple(t.fixes, t.placed, t.pieces.size()));
    }
    // An index made afterwards from the finished pages (as a batch over several hosts makes it) is
    // the one the run wrote; something that is no such page leaves the index alone.
    std::string pages;
    for (const auto& [name, t] : traces) pages += " view/drives-" + name + ".html";
    const auto rebuilt = dir.run("$E --index view/again.html" + pages);
    EXPECT_EQ(rebuilt.exitCode, 0) << rebuilt.err;
    EXPECT_EQ(dir.read("view/again.html"), index);
    const auto stranger = dir.run("$E --index view/again.html data/map.txt" + pages);
    EXPECT_EQ(std::pair(stranger.exitCode, stranger.err),
              std::pair(1, std::string("ERROR: not a page of a matched trace: data/map.txt\n")));
    EXPECT_EQ(dir.read("view/again.html"), index);

    // Two pages cannot go to standard output; one can.
    const auto both = dir.run("$M -q --format html");
    EXPECT_NE(both.exitCode, 0);
    EXPECT_NE(both.err.find("ERROR: the HTML of 2 traces"), std::string::npos) << both.err;
    fs::remove(dir / ("data/nmea/" + traces.rbegin()->first + ".txt"));
    const auto one = dir.run("$M -q --format html > one.html");
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_EQ(htmlView::summaryOfPage(dir.read("one.html"))->name, traces.begin()->first);

    // The report of that run, exported.
    ASSERT_EQ(dir.run("$M -q > report.txt").exitCode, 0);
    const auto exported = dir.run("$E --report report.txt --map data/map.txt --format html -o exported.html");
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(htmlView::summaryOfPage(dir.read("exported.html"))->fixes, traces.begin()->second.fixes);
}

// karvel-match reads every receiver: any NMEA extension, GGA only (as from a receiver that never sends
// a date), folders and files named on the command line, and names a trace without a fix; karvel says
// which sentences the GGA-only trace lacked; karvel-genetic reports a stretch it cannot match.
TEST(MatchInputs, EveryReceiverIsReadAndATraceWithoutAFixIsNamed) {
    TempDir dir;
    karvel_test::makeWorkFolder(dir, karvel_test::roadMap(41.15, -8.62, 41.15, -8.60, 20, true));
    dir.write("data/nmea/a.nmea", karvel_test::nmeaAlong(41.15001, -8.619, 41.15001, -8.601, 30));
    const std::string drive = karvel_test::nmeaAlong(41.15001, -8.619, 41.15001, -8.601, 20);
    dir.write("data/nmea/b.txt", std::regex_replace(drive, std::regex(R"(\$GPRMC[^\n]*\n)"), ""));
    dir.write("more/empty.log", "$GPGGA,,,,,,0,,,,M,,M,,*66\n");

    const auto r = dir.run("$M -t data/nmea more/empty.log");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(occurrences(r.out, "ERROR: "), 1u) << r.out;
    EXPECT_NE(
        r.out.find("ERROR: trace more/empty.log gives no fix: none of its 1 RMC and GGA sentences gives a "
                   "valid position with a time.\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(occurrences(r.out, "Route #"), 3u) << r.out;
    // Every fix of a and b on a path: unmatched stretches only in the block of the empty trace.
    EXPECT_EQ(occurrences(r.out.substr(0, r.out.find("Route #2")), "Start node:"), 0u) << r.out;

    // Only the files named: the folder is not listed.
    const auto one = dir.run("$M data/nmea/b.txt");
    EXPECT_EQ(one.exitCode, 0) << one.out;
    EXPECT_EQ(occurrences(one.out, "Route #"), 1u) << one.out;

    const auto hybrid = dir.run("$K");
    EXPECT_EQ(hybrid.exitCode, 1) << hybrid.out;
    EXPECT_NE(hybrid.out.find("ERROR: no point loaded from data/nmea/b.txt: it has no RMC sentence with a "
                              "time, a date and a position (GGA sentences carry no date).\n"),
              std::string::npos)
        << hybrid.out;
    EXPECT_EQ(occurrences(hybrid.out, "ERROR: "), 1u) << hybrid.out;

    // karvel-genetic reports what it could not match, as the hybrid does: twenty fixes of the drive
    // moved 900 m north of the street.
    auto fixes = karvel_test::fixesAlong(41.15001, -8.619, 41.15001, -8.601, 60);
    for (size_t i = 20; i < 40; ++i) fixes[i].lat += 0.0081;
    dir.write("data/nmea/moved.txt", karvel_test::nmeaLog(fixes));
    const auto genetic = dir.run("$G");
    EXPECT_NE(genetic.out.find(": moved\nPaths: "), std::string::npos) << genetic.out;
    EXPECT_NE(genetic.out.find("Unmatched Info: \nStart node: "), std::string::npos) << genetic.out;
}

// A street across 12 deg E, driven end to end: every fix on it. Each point in its own zone put the
// street's middle link hundreds of kilometres long and the fixes beside it off the map.
TEST(MatchInputs, AStreetAcrossAZoneLine) {
    for (const char* program : {"karvel-match", "karvel"}) {
        SCOPED_TRACE(program);
        TempDir dir;
        karvel_test::makeWorkFolder(dir, karvel_test::roadMap(48.137, 11.994, 48.137, 12.006, 13, true));
        dir.write("data/nmea/a.txt", karvel_test::nmeaAlong(48.13703, 11.9945, 48.13703, 12.0055, 60));
        const auto r = runCommand(binaryPath(program), dir.str());
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("(0, "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("(59, "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Start node:"), std::string::npos) << r.out;
    }
}

}  // namespace
