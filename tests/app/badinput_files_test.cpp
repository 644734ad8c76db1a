// The real programs against missing, special and shared files: honest exit statuses, only regular
// files read and written, modes, owners and links kept, updates of one map taking turns, and
// nothing left behind by a run killed while saving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "badinput_support.h"
#include "nmea_writer.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::readFile;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

const std::string kMap = karvel_test::roadMap(41.1, -8.6, 41.2, -8.5, 2);

std::string trace(double lat = 41.1) {
    return karvel_test::nmeaAlong(lat, -8.6, lat + 0.1, -8.5, 30);
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs a shell line of the programs in dir; returns "<status>\n<standard output>".
std::string run(const TempDir& dir, const std::string& line) {
    const CommandResult r = runKarvel(dir.str(), line);
    expectClean(r, dir.str());
    return std::to_string(r.exitCode) + "\n" + r.out;
}

struct FileCase {
    std::string name;
    std::string command;
    std::vector<std::string> expected;  // parts of "<status>\n<output>", the first its start
    // After data/map.txt and data/nmea/trace.txt are written; then what the files must be after
    // the run (a map file that is still a regular file must be unchanged in any case).
    std::function<void(const TempDir&)> setup = nullptr, check = nullptr;
    bool rootOnly = false;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

void replaceMap(const TempDir& d, const std::function<void(const std::string&)>& make) {
    fs::remove(d / "data/map.txt");
    make(d / "data/map.txt");
}

const std::string kLooking =
    "1\nLooking for Trace Files...\nLooking for NMEA files (with .txt extension) inside folder: ";
const std::string kNoMap = kLooking +
                           "data/nmea/\nLoading Map...\nTrying to load map: data/map.txt\nERROR: cannot read "
                           "map file data/map.txt: ";
const std::string kMatched = "\tRoute #0: trace\nPaths: \nScore: ";

std::vector<FileCase> cases() {
    return {
        {"MissingMap",
         "$K -M",
         {kNoMap + "No such file or directory\n"},
         [](const TempDir& d) { fs::remove(d / "data/map.txt"); },
         [](const TempDir& d) { EXPECT_EQ(fs::directory_iterator(d / "data")->path().filename(), "nmea"); }},
        {"MapIsAFifo",
         "$K",
         {kNoMap + "not a regular file\n"},
         [](const TempDir& d) { replaceMap(d, [](auto& p) { ::mkfifo(p.c_str(), 0644); }); },
         [](const TempDir& d) { EXPECT_TRUE(fs::is_fifo(d / "data/map.txt")); }},
        {"MapIsAFolder",
         "$G",
         {kNoMap + "not a regular file\n"},
         [](const TempDir& d) { replaceMap(d, [](auto& p) { fs::create_directory(p); }); }},
        {"NoDataFolder",
         "$K -M",
         {kLooking +
          "data/nmea/\nERROR: cannot open the trace folder data/nmea/: No such file or directory\n"},
         [](const TempDir& d) { fs::remove_all(d / "data"); },
         [](const TempDir& d) { EXPECT_FALSE(fs::exists(d / "data")); }},
        {"MissingTraceFolder",
         "$K -t data/none",
         {kLooking +
          "data/none\nERROR: cannot open the trace folder data/none: No such file or directory\n"}},
        {"TraceFolderIsAFile",
         "$K -t data/map.txt",
         {"1\n", "ERROR: cannot open the trace folder data/map.txt: not a folder\n"}},
        // A line after the counted ones: matched against, left alone, status 1 at the end.
        {"PartlyReadMap",
         "$K; $G",
         {"1\n",
          "ERROR: map file data/map.txt, line 8: more lines than the link count says; loading stopped.\n",
          kMatched, "Finished running Ostrand."},
         [](const TempDir& d) { writeFile(d / "data/map.txt", kMap + "\n\n9\n"); }},
        {"SpecialTraces",
         "$K",
         {"1\n", "ERROR: trace file data/nmea/fifo.txt: not a regular file; skipped.\n",
          "ERROR: trace file data/nmea/random.txt: not a regular file; skipped.\n",
          "ERROR: trace file data/nmea/folder.txt: not a regular file; skipped.\n",
          "ERROR: trace file data/nmea/two\\nlines.txt: a line break in the name; skipped.\n", kMatched},
         [](const TempDir& d) {
             ::mkfifo((d / "data/nmea/fifo.txt").c_str(), 0644);
             fs::create_symlink("/dev/urandom", d / "data/nmea/random.txt");
             fs::create_directory(d / "data/nmea/folder.txt");
             writeFile(d / "data/nmea/two\nlines.txt", trace());
         }},
        {"Umask077",
         "umask 077 && $K -M && $B -o out/map.txt data/nmea",
         {"0\n"},
         [](const TempDir& d) { ::chmod((d / "data/map.txt").c_str(), 0640); },
         [](const TempDir& d) {
             EXPECT_EQ(modeOf(d / "data/match_ostrand_trace.kml"), 0600u);
             EXPECT_EQ(modeOf(d / "out/map.txt"), 0600u);
             EXPECT_EQ(modeOf(d / "data/map.txt"), 0640u);
         }},
        // A symbolic link stays one; the file it names is replaced, in its own folder.
        {"SymlinkedMap",
         "$K",
         {"0\n"},
         [](const TempDir& d) {
             writeFile(d / "maps/city.txt", "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n1\n1 2 10 1\n");
             replaceMap(d, [](auto& p) { fs::create_symlink("../maps/city.txt", p); });
         },
         [](const TempDir& d) {
             EXPECT_EQ(fs::read_symlink(d / "data/map.txt"), "../maps/city.txt");
             EXPECT_EQ(readFile(d / "maps/city.txt"), kMap);
             EXPECT_EQ(tempFilesIn(d / "maps"), 0);
         }},
        {"LockHeldElsewhere",
         "flock data/map.txt sh -c 'KARVEL_LOCK_WAIT=0.5 $K; KARVEL_LOCK_WAIT=0.5 $B -a data/nmea'",
         {"1\n", "ERROR: map file data/map.txt is locked by another program; it is left as it is.\n",
          kMatched, "ERROR: the map data/map.txt is locked by another program; nothing written"},
         nullptr,
         [](const TempDir& d) { EXPECT_FALSE(fs::exists(d / "data/map.kml")); }},
        // Run as root on a user's private map, the map stays the user's.
        {"RootKeepsTheOwner",
         "$K",
         {"0\n"},
         [](const TempDir& d) { ::chown((d / "data/map.txt").c_str(), 1234, 2345); },
         [](const TempDir& d) {
             struct stat st {};
             ASSERT_EQ(::stat((d / "data/map.txt").c_str(), &st), 0);
             EXPECT_EQ(st.st_uid * 10000 + st.st_gid, 1234u * 10000 + 2345u);
         },
         true},
        // Outputs that are not regular files are refused and stay what they were (device nodes made
        // for the test, so that a fault could never replace the machine's own).
        {"SpecialOutputs",
         "$B -o fifo data/nmea; $B -o full data/nmea; $B -o tofull data/nmea",
         {"1\n", "ERROR: could not create map file fifo;", "ERROR: could not create map file full;",
          "ERROR: could not create map file tofull;"},
         [](const TempDir& d) {
             ::mkfifo((d / "fifo").c_str(), 0644);
             ::mknod((d / "full").c_str(), S_IFCHR | 0666, makedev(1, 7));
             fs::create_symlink("full", d / "tofull");
         },
         [](const TempDir& d) {
             EXPECT_TRUE(fs::is_fifo(d / "fifo"));
             EXPECT_TRUE(fs::is_character_file(d / "full"));
             EXPECT_TRUE(fs::is_symlink(d / "tofull"));
         },
         true},
    };
}

class FileMatrix : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileMatrix, StatusMessagesAndFilesAfter) {
    const FileCase& c = GetParam();
    if (c.rootOnly && ::geteuid() != 0) GTEST_SKIP() << "needs root";
    TempDir dir;
    writeFile(dir / "data/map.txt", kMap);
    writeFile(dir / "data/nmea/trace.txt", trace());
    if (c.setup) c.setup(dir);
    const std::string map =
        fs::is_regular_file(fs::symlink_status(dir / "data/map.txt")) ? readFile(dir / "data/map.txt") : "";
    const std::string out = run(dir, c.command);
    EXPECT_EQ(out.rfind(c.expected.front(), 0), 0u) << out;
    for (const std::string& part : c.expected) EXPECT_NE(out.find(part), std::string::npos) << part << out;
    EXPECT_TRUE(map.empty() || readFile(dir / "data/map.txt") == map);
    if (c.check) c.check(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, FileMatrix, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; });

// Drives far apart, so none is merged into another: each run adds all its points, none is lost.
TEST(MapLock, ConcurrentAppendsKeepEveryDrive) {
    TempDir dir;
    for (int i = 0; i < 4; ++i) writeFile(dir / ("d" + std::to_string(i) + "/d.txt"), trace(41.1 + 0.05 * i));
    ASSERT_EQ(run(dir, "$B d0 >/dev/null").substr(0, 2), "0\n");
    const int base = std::stoi(readFile(dir / "data/map.txt"));
    EXPECT_EQ(run(dir,
                  "$B -a -k 1.kml d1 >/dev/null & $B -a -k 2.kml d2 >/dev/null & $B -a -k 3.kml d3 "
                  ">/dev/null & wait"),
              "0\n");
    EXPECT_EQ(std::stoi(readFile(dir / "data/map.txt")), base * 4);
}

// The map stays whole, and the temporary file, named only between two system calls before the
// rename, never piles up (the next run removes a left one).
TEST(KilledWhileSaving, LeavesTheMapWholeAndNoTemporaryFile) {
    const int tries = std::getenv("KARVEL_LONG_TESTS") != nullptr ? 100 : 6;
    TempDir dir;
    // A map of some megabytes, so that a kill often lands in its load or save.
    const std::string map = karvel_test::roadMap(41.1, -8.6, 41.5, -8.6, 40000);
    writeFile(dir / "data/map.txt", map);
    fs::create_directories(dir / "data/nmea");
    const CommandResult whole = runKarvel(dir.str(), "$K", {120, -1});
    ASSERT_EQ(whole.exitCode, 0);
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> when(0.02, std::max(0.05, whole.seconds));
    int killed = 0, leftovers = 0;
    for (int i = 0; i < tries; ++i) {
        killed += runKarvel(dir.str(), "exec $K", {when(gen), -1}).timedOut;
        EXPECT_EQ(readFile(dir / "data/map.txt"), map) << "try " << i;
        EXPECT_LE(tempFilesIn(dir / "data"), 1) << "try " << i;
        leftovers += tempFilesIn(dir / "data");
    }
    std::printf("%d of %d runs killed; temporary files seen after them: %d\n", killed, tries, leftovers);
    EXPECT_GT(killed, 0);
    EXPECT_EQ(runKarvel(dir.str(), "$K", {120, -1}).exitCode, 0);
    EXPECT_EQ(tempFilesIn(dir / "data"), 0);
}

}  // namespace
