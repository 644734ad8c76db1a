// The real programs against missing, special and shared files: honest exit statuses, only regular
// files read and written, modes and owners kept, links followed, updates of one map taking turns,
// and nothing left behind by a run killed while saving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "badinput_support.h"
#include "nmea_writer.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::readFile;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

const std::string kMap =
    "2\n1  -8.600000000  41.100000000 0.000000000 0.000000000\n"
    "2  -8.500000000  41.200000000 0.000000000 0.000000000\n"
    "2\n1  2 13.500000000 3\n2  1 13.500000000 3\n";

std::string trace() {
    return karvel_test::nmeaLog(karvel_test::fixesAlong(41.1, -8.6, 41.2, -8.5, 30));
}

void fill(const TempDir& dir) {
    writeFile(dir / "data/map.txt", kMap);
    writeFile(dir / "data/nmea/trace.txt", trace());
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> tempFilesIn(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".tmp-") != std::string::npos) found.push_back(e.path());
    return found;
}

// Every entry under dir with its kind, and the contents of regular files (a FIFO is never opened).
std::map<std::string, std::string> entries(const std::string& dir) {
    std::map<std::string, std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_symlink())
            found[rel] = "<link> " + fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
            found[rel] = readFile(e.path());
        else
            found[rel] = e.is_directory() ? "<dir>" : "<special>";
    }
    return found;
}

// A shell command line running a program of build/bin with a time limit.
std::string program(const std::string& name, const std::string& args) {
    return "timeout -s KILL 60 '" + karvel_test::binaryPath(name) + "' " + args;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---- Runs that cannot start: one ERROR line, exit status 1, nothing written ---------------------

struct StartCase {
    std::string name;
    std::function<void(const TempDir&)> setup;
    std::vector<std::string> args;
    std::string error;  // the ERROR line, after the start-up lines printed so far
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<StartCase> startCases() {
    const std::string noMap = "ERROR: cannot read map file data/map.txt: ";
    return {
        {"MissingMap",
         [](const TempDir& d) { writeFile(d / "data/nmea/trace.txt", trace()); },
         {},
         noMap + "No such file or directory\n"},
        {"MapIsAFolder",
         [](const TempDir& d) {
             fill(d);
             fs::remove(d / "data/map.txt");
             fs::create_directories(d / "data/map.txt");
         },
         {},
         noMap + "not a regular file\n"},
        {"MapIsAFifo",
         [](const TempDir& d) {
             fill(d);
             fs::remove(d / "data/map.txt");
             ::mkfifo((d / "data/map.txt").c_str(), 0644);
         },
         {},
         noMap + "not a regular file\n"},
        {"MissingTraceFolder",
         fill,
         {"-t", "data/none"},
         "ERROR: cannot open the trace folder data/none: No such file or directory\n"},
        {"TraceFolderIsAFile",
         fill,
         {"-t", "data/map.txt"},
         "ERROR: cannot open the trace folder data/map.txt: not a folder\n"},
    };
}

class CannotStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(CannotStart, SaysSoAndTouchesNothing) {
    const StartCase& c = GetParam();
    TempDir dir;
    c.setup(dir);
    const auto before = entries(dir.str());
    const KarvelRun r = runKarvel(dir.str(), c.args, {30, -1});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const std::string folder = c.args.empty() ? "data/nmea/" : c.args[1];
    const std::string head = has(c.error, "trace folder")
                                 ? startUp(folder).substr(0, startUp(folder).find("Loading Map..."))
                                 : startUp(folder);
    EXPECT_EQ(r.out, head + c.error);
    EXPECT_EQ(entries(dir.str()), before);
}

INSTANTIATE_TEST_SUITE_P(Matrix, CannotStart, ::testing::ValuesIn(startCases()),
                         [](const ::testing::TestParamInfo<StartCase>& info) { return info.param.name; });

// A map read only in part: the traces are still matched against it, the file stays, and the run
// ends with exit status 1. karvel-genetic goes through the same frame.
TEST(HonestStatus, PartlyReadMapEndsWithOne) {
    for (const std::string prog : {"karvel", "karvel-genetic"}) {
        TempDir dir;
        fill(dir);
        const std::string map = kMap + "1  2 13.500000000 3\n";  // one line more than counted
        writeFile(dir / "data/map.txt", map);
        const auto r = karvel_test::runCommand(program(prog, ""), dir.str());
        EXPECT_EQ(r.exitCode, 1) << prog;
        EXPECT_TRUE(has(r.out,
                        "ERROR: map file data/map.txt, line 7: more lines than the link count says; "
                        "loading stopped.\n"))
            << r.out;
        EXPECT_TRUE(has(r.out, "\tRoute #0: trace\nPaths: \n")) << prog;
        EXPECT_TRUE(endsNormally(r.out)) << prog;
        EXPECT_EQ(readFile(dir / "data/map.txt"), map) << prog;
    }
}

// ---- Special files among the traces -----------------------------------------------------------

TEST(SpecialTraces, AreSkippedAndTheRunEnds) {
    TempDir dir;
    fill(dir);
    ::mkfifo((dir / "data/nmea/fifo.txt").c_str(), 0644);
    fs::create_symlink("/dev/zero", dir / "data/nmea/zero.txt");
    fs::create_symlink("/dev/urandom", dir / "data/nmea/random.txt");
    fs::create_directories(dir / "data/nmea/folder.txt");
    fs::create_symlink("trace.txt", dir / "data/nmea/link.txt");  // a link to a regular file is read
    writeFile(dir / "data/nmea/two\nlines.txt", trace());
    const KarvelRun r = runKarvel(dir.str(), {}, {60, -1});
    ASSERT_FALSE(r.timedOut) << "a special file blocked the run";
    EXPECT_EQ(r.status, 1);
    for (const std::string name : {"fifo", "zero", "random", "folder"})
        EXPECT_TRUE(
            has(r.out, "ERROR: trace file data/nmea/" + name + ".txt: not a regular file; skipped.\n"))
            << name;
    EXPECT_TRUE(
        has(r.out, "ERROR: trace file data/nmea/two\\nlines.txt: a line break in the name; skipped.\n"));
    EXPECT_TRUE(has(r.out, ": trace\nPaths: \n"));
    EXPECT_TRUE(has(r.out, ": link\nPaths: \n"));
    EXPECT_FALSE(has(r.out, "Route #2"));
    EXPECT_TRUE(endsNormally(r.out));
    EXPECT_EQ(readFile(dir / "data/map.txt"), kMap);
}

// ---- Modes, links and owners of what is written -----------------------------------------------

TEST(WrittenFiles, FollowTheUmaskAndKeepTheMapsMode) {
    TempDir dir;
    fill(dir);
    ::chmod((dir / "data/map.txt").c_str(), 0640);
    const auto r = karvel_test::runCommand("umask 077 && " + program("karvel", "-M"), dir.str());
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(modeOf(dir / "data/match_ostrand_trace.kml"), 0600u);
    EXPECT_EQ(modeOf(dir / "data/map.txt"), 0640u);
    const auto r2 = karvel_test::runCommand(
        "umask 022 && " + program("karvel-mapbuild", "-o out/map.txt data/nmea"), dir.str());
    EXPECT_EQ(r2.exitCode, 0) << r2.out;
    EXPECT_EQ(modeOf(dir / "out/map.txt"), 0644u);
    EXPECT_EQ(modeOf(dir / "data/map.kml"), 0644u);
    EXPECT_EQ(tempFilesIn(dir / "data"), std::vector<std::string>{});
}

TEST(WrittenFiles, ASymlinkedMapStaysALink) {
    TempDir dir;
    fill(dir);
    fs::create_directories(dir / "maps");
    fs::rename(dir / "data/map.txt", dir / "maps/city.txt");
    writeFile(dir / "maps/city.txt", "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n1\n1 2 13.5 3\n");
    fs::create_symlink("../maps/city.txt", dir / "data/map.txt");
    const KarvelRun r = runKarvel(dir.str(), {}, {60, -1});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "data/map.txt"));
    EXPECT_EQ(fs::read_symlink(dir / "data/map.txt"), "../maps/city.txt");
    EXPECT_EQ(readFile(dir / "maps/city.txt"),
              "2\n1  -8.600000000  41.100000000 0.000000000 0.000000000\n"
              "2  -8.500000000  41.200000000 0.000000000 0.000000000\n1\n1  2 13.500000000 3\n");
    EXPECT_EQ(tempFilesIn(dir / "data"), std::vector<std::string>{});
    EXPECT_EQ(tempFilesIn(dir / "maps"), std::vector<std::string>{});
}

// Run as root on a user's private map, karvel leaves it the user's.
TEST(WrittenFiles, RootKeepsTheOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    TempDir dir;
    fill(dir);
    ASSERT_EQ(::chown((dir / "data/map.txt").c_str(), 1234, 2345), 0);
    ::chmod((dir / "data/map.txt").c_str(), 0600);
    const KarvelRun r = runKarvel(dir.str(), {}, {60, -1});
    EXPECT_EQ(r.status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "data/map.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 2345u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Outputs that are not regular files are refused and stay what they were: a FIFO, a link to a
// device, and (as root, on device nodes made for the test) the devices themselves.
TEST(WrittenFiles, SpecialOutputsAreRefused) {
    TempDir dir;
    fill(dir);
    ::mkfifo((dir / "fifo").c_str(), 0644);
    std::vector<std::string> targets{"fifo"};
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
        ASSERT_EQ(::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        fs::create_symlink("null", dir / "tonull");
        targets.insert(targets.end(), {"full", "tonull"});
    }
    for (const std::string& t : targets) {
        const auto r =
            karvel_test::runCommand(program("karvel-mapbuild", "-o " + t + " data/nmea"), dir.str());
        EXPECT_EQ(r.exitCode, 1) << t;
        EXPECT_TRUE(has(r.out, "ERROR: could not create map file " + t)) << r.out;
    }
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    if (::geteuid() == 0) {
        EXPECT_TRUE(fs::is_character_file(dir / "full"));
        EXPECT_TRUE(fs::is_symlink(dir / "tonull"));
        EXPECT_TRUE(fs::is_character_file(dir / "null"));
    }
}

// ---- Locked updates -----------------------------------------------------------------------------

// While another program holds the map's lock, karvel matches against the map as it is, says so,
// leaves the file alone and ends with exit status 1; karvel-mapbuild -a writes nothing.
TEST(MapLock, HeldElsewhereMeansHandsOff) {
    TempDir dir;
    fill(dir);
    writeFile(dir / "data/map.txt", "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n2\n1 2 13.5 3\n2 1 13.5 3\n");
    const int fd = ::open((dir / "data/map.txt").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto r = karvel_test::runCommand("KARVEL_LOCK_WAIT=0.5 " + program("karvel", ""), dir.str());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        has(r.out, "ERROR: map file data/map.txt is locked by another program; it is left as it is.\n"))
        << r.out;
    EXPECT_TRUE(has(r.out, "\tRoute #0: trace\nPaths: \nScore: ")) << r.out;
    const auto b = karvel_test::runCommand(
        "KARVEL_LOCK_WAIT=0.5 " + program("karvel-mapbuild", "-a data/nmea"), dir.str());
    EXPECT_EQ(b.exitCode, 1);
    EXPECT_TRUE(has(b.out, "ERROR: the map data/map.txt is locked by another program; nothing written"))
        << b.out;
    EXPECT_EQ(readFile(dir / "data/map.txt"),
              "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n2\n1 2 13.5 3\n2 1 13.5 3\n");
    EXPECT_FALSE(fs::exists(dir / "data/map.kml"));
    ::close(fd);
}

int nodeCount(const std::string& mapFile) {
    std::istringstream in(readFile(mapFile));
    int n = -1;
    in >> n;
    return n;
}

// Drives far apart, so that none is merged into another: every drive adds all its points.
TEST(MapLock, ConcurrentAppendsKeepEveryDrive) {
    TempDir dir;
    const int kDrives = 4;
    const int kPoints = 40;
    for (int i = 0; i < kDrives; ++i) {
        const double lat = 41.1 + 0.05 * i;
        writeFile(dir / ("drive" + std::to_string(i) + "/d.txt"),
                  karvel_test::nmeaLog(karvel_test::fixesAlong(lat, -8.6, lat, -8.59, kPoints)));
    }
    ASSERT_EQ(
        karvel_test::runCommand(program("karvel-mapbuild", "drive0") + " >/dev/null", dir.str()).exitCode, 0);
    const int base = nodeCount(dir / "data/map.txt");
    ASSERT_GT(base, 10);
    std::string both = "true; ";  // the runs start from the working folder, not a backgrounded "cd &&"
    for (int i = 1; i < kDrives; ++i)
        both += program("karvel-mapbuild",
                        "-a -k data/map" + std::to_string(i) + ".kml drive" + std::to_string(i)) +
                " >out" + std::to_string(i) + ".txt & ";
    const auto r = karvel_test::runCommand(both + "wait", dir.str());
    EXPECT_EQ(r.exitCode, 0);
    for (int i = 1; i < kDrives; ++i)
        EXPECT_TRUE(has(readFile(dir / ("out" + std::to_string(i) + ".txt")), "wrote data/map.txt")) << i;
    EXPECT_EQ(nodeCount(dir / "data/map.txt"), base * kDrives);
}

// ---- Killed while saving ------------------------------------------------------------------------

// A map of some megabytes, so that a kill often lands in its load or save.
std::string bigMap(int count) {
    std::ostringstream s;
    s << count << "\n";
    char line[96];
    for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "%d  -8.600000000  %.9f 0.000000000 0.000000000\n", i + 1,
                      41.1 + i * 0.00001);
        s << line;
    }
    s << count - 1 << "\n";
    for (int i = 1; i < count; ++i) s << i << "  " << i + 1 << " 10.000000000 1\n";
    return s.str();
}

TEST(KilledWhileSaving, LeavesTheMapWholeAndNoTemporaryFile) {
    const int tries = std::getenv("KARVEL_LONG_TESTS") != nullptr ? 100 : 8;
    TempDir dir;
    const std::string map = bigMap(60000);
    writeFile(dir / "data/map.txt", map);
    fs::create_directories(dir / "data/nmea");
    const KarvelRun whole = runKarvel(dir.str(), {}, {120, -1});
    ASSERT_EQ(whole.status, 0);
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> when(0.02, std::max(0.05, whole.seconds));
    int killed = 0, leftovers = 0;
    for (int i = 0; i < tries; ++i) {
        const KarvelRun r = runKarvel(dir.str(), {}, {when(gen), -1});
        killed += r.timedOut;
        EXPECT_EQ(readFile(dir / "data/map.txt"), map) << "try " << i;
        // The temporary file has a name only between two system calls before the rename, and the
        // next run removes a name left there: nothing piles up.
        const size_t left = tempFilesIn(dir / "data").size();
        EXPECT_LE(left, 1u) << "try " << i;
        leftovers += static_cast<int>(left);
    }
    std::printf("%d of %d runs killed; temporary files seen after them: %d\n", killed, tries, leftovers);
    EXPECT_GT(killed, 0);
    EXPECT_EQ(runKarvel(dir.str(), {}, {120, -1}).status, 0);
    EXPECT_EQ(tempFilesIn(dir / "data"), std::vector<std::string>{});
}

}  // namespace
