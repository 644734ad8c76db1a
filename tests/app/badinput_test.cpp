// The real programs against input nobody controls and files they cannot write: broken map files and
// trace logs, entries that are not regular files, modes, owners, links and locks, a read-only
// folder, a file-size limit and a full disk. Every run must finish in bounded time and memory,
// without a sanitizer report, with the stated "ERROR: " lines and no other, and must leave a map file
// it could not read completely (or could not save) exactly as it was.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>

#include "nmea_writer.h"
#include "test_support.h"

namespace fs = std::filesystem;
using karvel_test::CommandResult;
using karvel_test::TempDir;

namespace {

long tempFilesIn(const std::string& dir) {
    return std::count_if(fs::directory_iterator(dir), fs::directory_iterator(),
                         [](const auto& e) { return e.path().string().find(".tmp-") != std::string::npos; });
}

// What every finished run shares: in time, nothing on standard error (sanitizers write there),
// bounded memory, and no temporary file of a save left in `dir`/data.
void expectClean(const CommandResult& r, const std::string& dir) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.maxRssKb, 1024 * 1024);
    EXPECT_EQ(fs::is_directory(dir + "/data") ? tempFilesIn(dir + "/data") : 0, 0);
}

// A read-only bind mount for the duration of a run (tests run as root, where permissions stop
// nothing); a target that is not `ok` where mounting is not allowed.
struct Mount {
    std::string target;
    bool ok = false;
    // `at` bound onto itself read-only.
    void readOnly(const std::string& at) {
        target = at;
        ok = ::mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (ok && ::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            ::umount2(at.c_str(), MNT_DETACH);
            ok = false;
        }
    }
    ~Mount() {
        if (ok) ::umount2(target.c_str(), MNT_DETACH);
    }
};

unsigned modeOf(const std::string& path) {
    return static_cast<unsigned>(fs::status(path).permissions());
}

std::string trace(double lat = 41.1) {
    return karvel_test::nmeaAlong(lat, -8.6, lat + 0.1, -8.5, 30);
}

const std::string kMap = karvel_test::roadMap(41.1, -8.6, 41.2, -8.5, 2);
// A road of Porto, 41.10..41.11 N, along which the trace cases run.
const std::string kRoad = karvel_test::roadMap(41.10, -8.60, 41.11, -8.60, 12, true);
const std::string kLooking =
    "Looking for Trace Files...\nLooking for NMEA files (with .txt extension) inside folder: ";
const std::string kStart = kLooking + "data/nmea/\nLoading Map...\nTrying to load map: data/map.txt\n";
const std::string kDone = "Finished running Ostrand.\n\n\n\nOverall processing time: ";
const std::string kMatched = "\tRoute #0: trace\nPaths: \n";
const std::string kEarlier = "an earlier document the user keeps\n";
const std::string kKeptAsIs = "ERROR: data/map.txt was not read completely; it is left as it is.\n";

std::string mapError(int line, const std::string& what, const std::string& outcome) {
    return "ERROR: map file data/map.txt, line " + std::to_string(line) + ": " + what + "; " + outcome +
           ".\n";
}
std::string saveError(const std::string& verb, const std::string& file) {
    return "ERROR: could not " + verb + " " + file + "; the previous file is unchanged.\n";
}
// The hybrid names a trace it loads no point from (and the run fails).
std::string noPoint(const std::string& name) {
    return "ERROR: no point loaded from data/nmea/" + name +
           ".txt: it has no RMC sentence with a time, a date and a position.\n";
}

std::string emptyRoute(const std::string& name) {
    return ": " + name +
           "\nPaths: \n\n\nUnmatched Info: \n"
           "Start node: 0 End node: -1 Last Match: -1 Next Match: -1 Last Path: -1 Next Path: -1\n";
}

struct Run {
    std::string name;
    std::string command;
    int status;
};

struct Case {
    Run run;
    // Each in the output, the first where it starts; every "ERROR" line must start with one of them.
    std::vector<std::string> parts;
    // Runs after data/map.txt (kMap) and data/nmea/trace.txt are written, and may mount over data/.
    std::function<void(const TempDir&, Mount&)> setup = nullptr;
    std::function<void(const TempDir&)> check = nullptr;  // what the files must be after the run
    bool rootOnly = false;
    long long fileSizeLimit = -1;
};

// The parts of a whole karvel run on data/nmea: its start-up block, then `parts`, then its closing lines.
std::vector<std::string> whole(std::vector<std::string> parts) {
    parts.insert(parts.begin(), kStart);
    parts.push_back(kDone);
    return parts;
}

// A map file karvel -M reads; the trace is matched whatever became of the map.
Case mapCase(const std::string& name, const std::string& map, std::vector<std::string> errors,
             const std::string& command = "$K -M") {
    const int status = errors.empty() ? 0 : 1;
    if (status != 0) errors.push_back(kKeptAsIs);
    errors.push_back(kMatched);
    return {{name, command, status},
            whole(errors),
            [map](const TempDir& d, auto&) { d.write("data/map.txt", map); },
            [](const TempDir& d) { EXPECT_TRUE(fs::exists(d / "data/match_ostrand_trace.kml")); }};
}

// Logs in place of the trace, beside `map`; each one that is not empty gets its document.
Case traceCase(const std::string& name, const std::string& map,
               const std::vector<std::pair<std::string, std::string>>& logs, std::vector<std::string> parts,
               int status = 0) {
    return {{name, "$K -M", status},
            whole(parts),
            [map, logs](const TempDir& d, auto&) {
                d.write("data/map.txt", map);
                fs::remove(d / "data/nmea/trace.txt");
                for (const auto& [log, text] : logs) d.write(("data/nmea/" + log + ".txt"), text);
                if (fs::exists(d / "data/nmea/locked.txt"))
                    fs::permissions(d / "data/nmea/locked.txt", fs::perms::none);
            },
            [logs](const TempDir& d) {
                for (const auto& [log, text] : logs)
                    EXPECT_TRUE(text.empty() || fs::exists(d / ("data/match_ostrand_" + log + ".kml")))
                        << log;
            }};
}

// karvel -M on a road of 20 nodes beside an earlier match document the user keeps: the report stays
// whole, each failed file is reported, and data/ holds what it held (a saved map is the same text).
Case writeCase(const std::string& name, std::vector<std::string> errors, long long fileSizeLimit,
               bool readOnly = false) {
    errors.insert(errors.end(), {"\tRoute #0: trace\n", "Paths: \nScore: "});  // the failures come between
    return {{name, "$K -M", 0},
            whole(errors),
            [readOnly](const TempDir& d, Mount& m) {
                d.write("data/map.txt", karvel_test::roadMap(41.1, -8.6, 41.1019, -8.6, 20));
                d.write("data/match_ostrand_trace.kml", kEarlier);
                d.write("data/nmea/trace.txt", karvel_test::nmeaAlong(41.1, -8.6, 41.101, -8.6, 12));
                if (readOnly) m.readOnly(d / "data");
            },
            [](const TempDir& d) {
                EXPECT_EQ(d.read("data/match_ostrand_trace.kml"), kEarlier);
                EXPECT_EQ(std::distance(fs::directory_iterator(d / "data"), fs::directory_iterator()), 3);
            },
            false,
            fileSizeLimit};
}

std::string binaryNoise() {
    std::string noise(256 * 1024, '\0');
    std::mt19937 gen(13);
    for (char& c : noise) c = static_cast<char>(gen() % 256);
    for (size_t at; (at = noise.find("$GP")) != std::string::npos;) noise[at] = '#';
    return noise;
}

std::string turnLog() {
    std::vector<karvel_test::Fix> fixes = karvel_test::fixesAlong(41.15, -8.6099, 41.15, -8.6065, 30);
    for (const auto& f : karvel_test::fixesAlong(41.15005, -8.6064, 41.1526, -8.6064, 25)) fixes.push_back(f);
    return karvel_test::nmeaLog(fixes);
}
std::string turnReport() {
    std::string report =
        "Ready to run Ostrand.\n\nloading nmea file: data/nmea/turn.txt\n\tRoute #0: turn\nPaths: "
        "\nScore: 0  Avg: 0 Start: 0 Last: 54 Links: ";
    for (int i = 0; i < 55; ++i) report += "(" + std::to_string(i) + ", " + (i < 30 ? "1" : "2") + ")  ";
    return report + "\n\n\n\nUnmatched Info: \nFinished running Ostrand.";
}

std::vector<Case> cases() {
    std::vector<std::pair<int, int>> chain;
    for (int i = 1; i < 10000; ++i) chain.emplace_back(i, i + 1);
    const std::string refused = "line refused";
    const std::string noMap = "ERROR: cannot read map file data/map.txt: ";
    const std::string mapWrite = saveError("write", "map file data/map.txt"),
                      kmlWrite = saveError("write", "KML file data/match_ostrand_trace.kml");
    using karvel_test::Fix;
    return {
        mapCase("TenThousandCoincidentNodes",
                karvel_test::mapText(std::vector(10000, std::pair{41.1, -8.6}), chain), {}),
        // Found by fuzzing: a node off the globe was kept in the graph but missing from the index. Only
        // the refused lines are left out (a refused link would shift the ids of every later one on save);
        // a line after the counted ones stops the loading. Both programs match against what was read.
        mapCase("RefusedLinesAndOneTooMany",
                "4\n1 -86.58 127 0 0\n2 -8.6 41.1 0 0\n3 -8.5 41.2 0 0\n3 -8.0 40.0 5 5\n"
                "3\n2 99 10 1\n77 3 10 1\n2 3 13.5 3\n\n\n9\n",
                {mapError(2, "position outside the globe (longitude then latitude expected)", refused),
                 "ERROR: trying to add a node with an existing key : 3\n",
                 mapError(5, "node id 3 given twice", refused), "ERROR: non existing node. (99)\n",
                 mapError(7, "link 2 -> 99 refused", refused), "ERROR: non existing node. (77)\n",
                 mapError(8, "link 77 -> 3 refused", refused),
                 mapError(12, "more lines than the link count says", "loading stopped"),
                 "ERROR: could not read the map data/map.txt; nothing written\n"},
                "$K -M; $G; $B -a data/nmea"),
        {{"MissingMap", "$K -M", 1},
         {kStart, noMap + "No such file or directory\n"},
         [](const TempDir& d, auto&) { fs::remove(d / "data/map.txt"); },
         [](const TempDir& d) { EXPECT_EQ(fs::directory_iterator(d / "data")->path().filename(), "nmea"); }},
        {{"MapIsAFifo", "$K", 1},
         {kStart, noMap + "not a regular file\n"},
         [](const TempDir& d, auto&) {
             fs::remove(d / "data/map.txt");
             ::mkfifo((d / "data/map.txt").c_str(), 0644);
         },
         [](const TempDir& d) { EXPECT_TRUE(fs::is_fifo(d / "data/map.txt")); }},
        {{"NoDataFolder", "$K -M", 1},
         {kLooking + "data/nmea/\n",
          "ERROR: cannot open the trace folder data/nmea/: No such file or directory\n"},
         [](const TempDir& d, auto&) { fs::remove_all(d / "data"); },
         [](const TempDir& d) { EXPECT_FALSE(fs::exists(d / "data")); }},
        // karvel-mapbuild names them as karvel does, before karvel's run.
        {{"SpecialTraces", "$B -o out.txt data/nmea; $K", 1},
         {"ERROR: trace file data/nmea/", kLooking + "data/nmea/\n",
          "ERROR: trace file data/nmea/fifo.txt: not a regular file; skipped.\n",
          "ERROR: trace file data/nmea/two\\nlines.txt: a line break in the name; skipped.\n", kMatched},
         [](const TempDir& d, auto&) {
             ::mkfifo((d / "data/nmea/fifo.txt").c_str(), 0644);
             d.write("data/nmea/two\nlines.txt", trace());
         }},
        {{"Umask077", "umask 077 && $K -M && $B -o out/map.txt data/nmea", 0},
         {kStart},
         [](const TempDir& d, auto&) { ::chmod((d / "data/map.txt").c_str(), 0640); },
         [](const TempDir& d) {
             EXPECT_EQ(modeOf(d / "data/match_ostrand_trace.kml"), 0600u);
             EXPECT_EQ(modeOf(d / "out/map.txt"), 0600u);
             EXPECT_EQ(modeOf(d / "data/map.txt"), 0640u);
         }},
        // A symbolic link stays one; the file it names is replaced, in its own folder.
        {{"SymlinkedMap", "$K", 0},
         {kStart},
         [](const TempDir& d, auto&) {
             d.write("maps/city.txt", "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n1\n1 2 10 1\n");
             fs::remove(d / "data/map.txt");
             fs::create_symlink("../maps/city.txt", d / "data/map.txt");
         },
         [](const TempDir& d) {
             EXPECT_EQ(fs::read_symlink(d / "data/map.txt"), "../maps/city.txt");
             EXPECT_EQ(d.read("maps/city.txt"), kMap);
             EXPECT_EQ(tempFilesIn(d / "maps"), 0);
         }},
        {"LockHeldElsewhere",
         "flock data/map.txt sh -c 'KARVEL_LOCK_WAIT=0.5 $K; KARVEL_LOCK_WAIT=0.5 $B -a data/nmea'",
         1,
         {kStart, "ERROR: map file data/map.txt is locked by another program; it is left as it is.\n",
          kMatched, "ERROR: the map data/map.txt is locked by another program; nothing written"},
         nullptr,
         [](const TempDir& d) { EXPECT_FALSE(fs::exists(d / "data/map.kml")); }},
        // Run as root on a user's private map, the map stays the user's.
        {{"RootKeepsTheOwner", "$K", 0},
         {kStart},
         [](const TempDir& d, auto&) { ::chown((d / "data/map.txt").c_str(), 1234, 2345); },
         [](const TempDir& d) {
             struct stat st {};
             ASSERT_EQ(::stat((d / "data/map.txt").c_str(), &st), 0);
             EXPECT_EQ(st.st_uid * 10000 + st.st_gid, 1234u * 10000 + 2345u);
         },
         true},
        // Outputs that are not regular files, named or behind a link, are refused and stay what they were.
        {{"SpecialOutputs", "$B -o fifo data/nmea; $B -o tofifo data/nmea", 1},
         {"", "ERROR: could not create map file fifo;", "ERROR: could not create map file tofifo;"},
         [](const TempDir& d, auto&) {
             ::mkfifo((d / "fifo").c_str(), 0644);
             fs::create_symlink("fifo", d / "tofifo");
         },
         [](const TempDir& d) { EXPECT_TRUE(fs::is_fifo(d / "fifo") && fs::is_symlink(d / "tofifo")); }},
        // No permission (root reads it all the same, as an empty trace), binary noise; times that
        // run backwards (the derived speeds are whatever the clock says, but the points lie on the road
        // and must match); a single point (one stretch, nothing past point 0).
        traceCase(
            "HostileLogs", kRoad,
            {{"locked", ""},
             {"noise", binaryNoise()},
             {"back", karvel_test::nmeaLog(karvel_test::fixesAlong(41.10, -8.60, 41.11, -8.60, 20), -1)},
             {"one", karvel_test::nmeaLog({Fix{41.105, -8.60}})}},
            {": back\nPaths: \nScore: ", noPoint("locked"), emptyRoute("locked"), noPoint("noise"),
             emptyRoute("noise"),
             ": one\nPaths: \n\n\nUnmatched Info: \nStart node: 0 End node: 0 Last Match: -1 "
             "Next Match: -1 Last Path: -1 Next Path: -1\n"},
            1),
        // Across the equator and the border of UTM zones 31 and 32 (6 degrees east): planar coordinates
        // jump there, but the points on both sides are matched in one path.
        traceCase("CrossingTheEquatorAndAZoneBorder",
                  karvel_test::roadMap(-0.002, 5.998, 0.002, 6.002, 40, true),
                  {{"cross", karvel_test::nmeaAlong(-0.0018, 5.9982, 0.0018, 6.0018, 40)}},
                  {"\tRoute #0: cross\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 39 Links: (0, ",
                   "(39, 38)  \n\n\n\nUnmatched Info: \nFinished"}),
        // A -> B east, then at B north to C rather than on east to D: one path, 30 points on link 1 and
        // 25 on link 2.
        traceCase(
            "TheObviousTurnAtAJunction",
            karvel_test::mapText({{41.15, -8.61}, {41.15, -8.6064}, {41.1527, -8.6064}, {41.15, -8.6028}},
                                 {{1, 2}, {2, 3}, {2, 4}}),
            {{"turn", turnLog()}}, {turnReport()}),
        // A zero file-size limit stops root too; 16 KB lies between the size of the map file and that of
        // the match document.
        writeCase("ReadOnlyDataFolder",
                  {saveError("create", "map file data/map.txt"),
                   saveError("create", "KML file data/match_ostrand_trace.kml")},
                  -1, true),
        writeCase("NoFileMayGrow", {mapWrite, kmlWrite}, 0),
        writeCase("LimitReachedWhileWritingTheDocument", {kmlWrite}, 16 * 1024),
        // A full standard output is a failed run, for the report as for a document.
        {{"FullStandardOutput",
          "$K >/dev/full 2>k.err; k=$?; $M -q --format csv >/dev/full 2>m.err; m=$?; $E --report report.txt "
          "--map data/map.txt >/dev/full 2>e.err; e=$?; cat k.err m.err e.err; exit $((k * 100 + m * 10 + "
          "e))",
          111},
         {"ERROR: cannot write to standard output: "},
         [](const TempDir& d, auto&) { d.write("report.txt", kMatched + "\n\nUnmatched Info: \n"); }},
        // Every writer of the map takes its lock, also while the map does not exist yet; a wait that
        // is not a number is said, not taken for two minutes.
        {{"EveryMapWriterTakesTheLock",
          "flock data/map.txt sh -c 'export KARVEL_LOCK_WAIT=0.5; $B data/nmea; $O -q -d . roads.osm'; "
          "KARVEL_LOCK_WAIT=abc $K; KARVEL_LOCK_WAIT=abc $B -a data/nmea",
          1},
         {"", "ERROR: the map data/map.txt is locked by another program; nothing written\n",
          "ERROR: the map ./data/map.txt is locked by another program; no map written\n",
          "ERROR: KARVEL_LOCK_WAIT is not a number of seconds from 0 to 86400 (\"abc\"); the map is not "
          "read.\n",
          "ERROR: KARVEL_LOCK_WAIT is not a number of seconds from 0 to 86400 (\"abc\"); nothing written\n"},
         [](const TempDir& d, auto&) {
             fs::copy_file(karvel_test::testFile("tools/data/directions.osm"), d / "roads.osm");
         },
         [](const TempDir& d) { EXPECT_FALSE(fs::exists(d / "data/map.kml")); }},
        // Ids at the top of their range would wrap to 0 and repeat: refused before anything is written.
        {{"NodeIdsAtTheTop", "$B -a data/nmea", 1},
         {"",
          "ERROR: the drives need more node ids than the map data/map.txt has left (ids run up to "
          "4294967294); nothing written\n"},
         [](const TempDir& d, auto&) {
             d.write("data/map.txt", "2\n1 -8.6 41.1 0 0\n4294967293 -8.5 41.2 0 0\n1\n1 4294967293 10 1\n");
         },
         [](const TempDir& d) { EXPECT_FALSE(fs::exists(d / "data/map.kml")); }},
        // FIFOs and devices named as input are refused at once (the test's time limit catches a hang).
        {{"SpecialInputsByName",
          "$B fifo.txt zero.txt; $V --report fifo.txt --map data/map.txt --truth zero.txt; "
          "$E --report zero.txt --map data/map.txt 2>&1",
          1},
         {"ERROR: fifo.txt: cannot be read: not a regular file\n",
          "ERROR: zero.txt: cannot be read: not a regular file\n",
          "ERROR: no usable trace; nothing written\n",
          "ERROR: cannot read the report fifo.txt: not a regular file\n",
          "ERROR: cannot read the report zero.txt: not a regular file\n"},
         [](const TempDir& d, auto&) {
             ::mkfifo((d / "fifo.txt").c_str(), 0644);
             fs::create_symlink("/dev/zero", d / "zero.txt");
         }},
        // A GPX log whose text would forge report lines, beside two logs of one trace name: the report
        // keeps one block per real trace, the clash is named, and the run fails.
        {{"HostileGpxAndANameClash", "$M --jobs 2 -q", 1},
         {"ERROR: trace file data/nmea/trace.",
          "ERROR: trace file data/nmea/trace.gpx: the same trace name \"trace\" as data/nmea/trace.txt; "
          "skipped.\n",
          "ERROR: trace file data/nmea/trace.txt: the same trace name \"trace\" as data/nmea/trace.gpx; "
          "skipped.\n",
          "ERROR: data/nmea/forged.gpx:1: unreadable time \"x\\nFinished running Ostrand.\\n\\tRoute #1: "
          "trace\"\n",
          "ERROR: trace data/nmea/forged.gpx gives no fix: it holds no track point with a valid position.\n",
          "\tRoute #0: forged\n"},
         [](const TempDir& d, auto&) {
             d.write("data/nmea/trace.gpx", "<gpx/>");
             d.write("data/nmea/forged.gpx",
                     "<gpx><trk><trkseg><trkpt lat=\"41.1\" lon=\"-8.6\"><time>x\nFinished running "
                     "Ostrand.\n\tRoute #1: trace</time></trkpt></trkseg></trk></gpx>");
         },
         [](const TempDir&) {}},
    };
}

class BadInput : public ::testing::TestWithParam<Case> {};

TEST_P(BadInput, FinishesWithTheStatedLinesAndFiles) {
    const Case& c = GetParam();
    if (c.rootOnly && ::geteuid() != 0) GTEST_SKIP() << "needs root (file ownership)";
    TempDir dir;
    dir.write("data/map.txt", kMap);
    dir.write("data/nmea/trace.txt", trace());
    Mount mount;
    if (c.setup) c.setup(dir, mount);
    if (!mount.target.empty() && !mount.ok)
        GTEST_SKIP() << "needs a bind mount (root, and a system that allows it)";
    const std::string map =
        fs::is_regular_file(fs::symlink_status(dir / "data/map.txt")) ? dir.read("data/map.txt") : "";

    const CommandResult r = dir.run(c.run.command, {60, c.fileSizeLimit});
    expectClean(r, dir.str());
    EXPECT_EQ(r.exitCode, c.run.status);
    EXPECT_EQ(r.out.rfind(c.parts.front(), 0), 0u) << r.out.substr(0, 3000);
    for (const std::string& part : c.parts) EXPECT_NE(r.out.find(part), std::string::npos) << part;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(
            !line.starts_with("ERROR") ||
            std::any_of(c.parts.begin(), c.parts.end(),
                        [&](auto& p) { return p.starts_with("ERROR") && (line + "\n").starts_with(p); }))
            << "unexpected: " << line;
    EXPECT_TRUE(map.empty() || dir.read("data/map.txt") == map);
    if (c.check) c.check(dir);
}

INSTANTIATE_TEST_SUITE_P(Matrix, BadInput, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.run.name; });

// Drives far apart, so none is merged into another: each run adds all its points, none is lost.
TEST(MapLock, ConcurrentAppendsKeepEveryDrive) {
    TempDir dir;
    for (int i = 0; i < 4; ++i) dir.write("d" + std::to_string(i) + "/d.txt", trace(41.1 + 0.05 * i));
    ASSERT_EQ(dir.run("$B d0").exitCode, 0);
    const int base = std::stoi(dir.read("data/map.txt"));
    const CommandResult r =
        dir.run("$B -a -k 1.kml d1 >/dev/null & $B -a -k 2.kml d2 >/dev/null & $B -a -k 3.kml d3 & wait");
    expectClean(r, dir.str());
    EXPECT_EQ(std::stoi(dir.read("data/map.txt")), base * 4);
    // The first writers of a map that does not exist yet take turns on its folder.
    fs::remove(dir / "data/map.txt");
    expectClean(dir.run("$B -a -k 1.kml d1 >/dev/null & $B -a -k 2.kml d2 & wait"), dir.str());
    EXPECT_EQ(std::stoi(dir.read("data/map.txt")), base * 2);
}

// The map stays whole, and the temporary file, named only between two system calls before the
// rename, never piles up (the next run removes a left one).
TEST(KilledWhileSaving, LeavesTheMapWholeAndNoTemporaryFile) {
    const int tries = std::getenv("KARVEL_LONG_TESTS") != nullptr ? 100 : 6;
    TempDir dir;
    // A map of some megabytes, so that a kill often lands in its load or save.
    const std::string map = karvel_test::roadMap(41.1, -8.6, 41.5, -8.6, 40000);
    dir.write("data/map.txt", map);
    fs::create_directories(dir / "data/nmea");
    const CommandResult whole = dir.run("$K", {120, -1});
    ASSERT_EQ(whole.exitCode, 0);
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> when(0.02, std::max(0.05, whole.seconds));
    int killed = 0;
    for (int i = 0; i < tries; ++i) {
        killed += dir.run("exec $K", {when(gen), -1}).timedOut;
        EXPECT_EQ(dir.read("data/map.txt"), map) << "try " << i;
        EXPECT_LE(tempFilesIn(dir / "data"), 1) << "try " << i;
    }
    EXPECT_GT(killed, 0);
    EXPECT_EQ(dir.run("$K", {120, -1}).exitCode, 0);
    EXPECT_EQ(tempFilesIn(dir / "data"), 0);
}

}  // namespace
