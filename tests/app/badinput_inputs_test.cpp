// The real karvel binary against broken map files and trace logs nobody controls: every case must
// finish in bounded time and memory, without a sanitizer report, with the stated "ERROR: " lines or
// report, and must leave a map file it could not read completely exactly as it was (and then end
// with exit status 1). (Entries that are not regular files: badinput_files_test.cpp.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "badinput_support.h"
#include "nmea_writer.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::readFile;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

const std::string kGoodNodes = "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n";

std::string readError(int line, const std::string& what, const std::string& outcome = "loading stopped") {
    return "ERROR: map file data/map.txt, line " + std::to_string(line) + ": " + what + "; " + outcome +
           ".\n";
}
std::string fields(int line, bool node) {
    return readError(line, node ? "expected 5 fields: id longitude latitude averageSnr hdop"
                                : "expected 4 fields: origin destination speed samples");
}
const std::string kKeptAsIs = "ERROR: data/map.txt was not read completely; it is left as it is.\n";

struct MapCase {
    std::string name;
    std::string map;
    std::vector<std::string> lines;  // each in the output; none: the map is read and written back
};

void PrintTo(const MapCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<MapCase> mapCases() {
    std::string hugeLine = "1 -8.6 41.1 0 ";
    hugeLine.append(1 << 20, '7');
    std::vector<std::pair<int, int>> chain;
    for (int i = 1; i < 10000; ++i) chain.emplace_back(i, i + 1);
    const std::string coincident = karvel_test::mapText(std::vector(10000, std::pair{41.1, -8.6}), chain);
    return {
        {"Empty", "", {}},
        {"TruncatedMidLine", "2\n1 -8.6 41.1 0 0\n2 -8.5 4", {fields(3, true)}},
        {"TruncatedInTheLinks", kGoodNodes + "2\n1 2 13.5 3\n2 1 1", {fields(6, false)}},
        {"NodeCountBeyondTheLines",
         "5" + kGoodNodes.substr(1),
         {readError(4, "file ends before the expected node line")}},
        {"LinkCountBeyondTheLines",
         kGoodNodes + "4000000\n1 2 13.5 3\n",
         {readError(6, "file ends before the expected link line")}},
        {"NonNumericField", "2\n1 -8.6 north 0 0\n2 -8.5 41.2 0 0\n0\n", {fields(2, true)}},
        {"NonNumericCount", "two\n1 -8.6 41.1 0 0\n", {readError(1, "expected the node count (one number)")}},
        {"OneMegabyteLine",
         "2\n" + hugeLine + "\n2 -8.5 41.2 0 0\n0\n",
         {readError(2, "line longer than 1022 characters")}},
        // Found by fuzzing: a node off the globe was kept in the graph but missing from the index.
        // Only that node is refused; the rest of the map is read (and matched against).
        {"NodeOffTheGlobe",
         "2\n1 -86.58 127 0 0\n2 -8.5 41.2 0 0\n0\n",
         {readError(2, "position outside the globe (longitude then latitude expected)", "line refused")}},
        // A refused line would vanish on save and shift the ids of every later link.
        {"LinksToUnknownNodes",
         kGoodNodes + "3\n1 99 10 1\n77 2 10 1\n1 2 13.5 3\n",
         {"ERROR: non existing node. (99)\n", readError(5, "link 1 -> 99 refused", "line refused"),
          "ERROR: non existing node. (77)\n"}},
        // The first of two nodes with one id wins; the second is reported and kept in the file.
        {"DuplicateNodes",
         "3\n1 -8.6 41.1 0 0\n1 -8.0 40.0 5 5\n2 -8.5 41.2 0 0\n0\n",
         {"ERROR: trying to add a node with an existing key : 1\n",
          readError(3, "node id 1 given twice", "line refused")}},
        {"TenThousandCoincidentNodes", coincident, {}},
    };
}

class BadMap : public ::testing::TestWithParam<MapCase> {};

TEST_P(BadMap, FinishesAndKeepsWhatItCouldNotRead) {
    const MapCase& c = GetParam();
    const bool keptAsIs = !c.lines.empty();
    TempDir dir;
    writeFile(dir / "data/nmea/trace.txt", karvel_test::nmeaAlong(41.1, -8.6, 41.2, -8.5, 30));
    writeFile(dir / "data/map.txt", c.map);
    const CommandResult r = runKarvel(dir.str(), "$K -M");
    expectClean(r, dir.str());
    EXPECT_EQ(r.exitCode, keptAsIs ? 1 : 0);
    expectWholeReport(r.out, "data/nmea/");
    for (const std::string& line : c.lines) EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(r.out.find(kKeptAsIs) != std::string::npos, keptAsIs);
    // The traces are matched whatever became of the map.
    EXPECT_NE(r.out.find("\tRoute #0: trace\nPaths: \n"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "data/match_ostrand_trace.kml"));
    EXPECT_EQ(readFile(dir / "data/map.txt"), keptAsIs || !c.map.empty() ? c.map : "0\n0\n");
}

INSTANTIATE_TEST_SUITE_P(Matrix, BadMap, ::testing::ValuesIn(mapCases()),
                         [](const ::testing::TestParamInfo<MapCase>& info) { return info.param.name; });

// Runs karvel -M on data/nmea beside a road; what every trace case shares: a clean, whole run.
CommandResult runOnTraces(const TempDir& dir, const std::string& map, double seconds = 60,
                          long maxRssMb = 1024) {
    writeFile(dir / "data/map.txt", map);
    const CommandResult r = runKarvel(dir.str(), "$K -M", {seconds, -1});
    expectClean(r, dir.str(), maxRssMb);
    EXPECT_EQ(r.exitCode, 0);
    expectWholeReport(r.out, "data/nmea/");
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out.substr(0, 3000);
    return r;
}

// A road of Porto, 41.10..41.11 N, along which the traces run.
const std::string kRoad = karvel_test::roadMap(41.10, -8.60, 41.11, -8.60, 12, true);

std::string emptyRoute(const std::string& name) {
    return ": " + name +
           "\nPaths: \n\n\nUnmatched Info: \n"
           "Start node: 0 End node: -1 Last Match: -1 Next Match: -1 Last Path: -1 Next Path: -1\n";
}

std::string binaryNoise() {
    std::string noise(256 * 1024, '\0');
    std::mt19937 gen(13);
    for (char& c : noise) c = static_cast<char>(gen() % 256);
    for (size_t at; (at = noise.find("$GP")) != std::string::npos;) noise[at] = '#';
    return noise;
}

struct TraceCase {
    std::string name;
    std::string map;
    std::vector<std::pair<std::string, std::string>> logs;  // data/nmea/<name>.txt; "locked" unreadable
    std::vector<std::string> expected;                      // each in the output
};

void PrintTo(const TraceCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<TraceCase> traceCases() {
    using karvel_test::Fix;
    return {
        // No permission (root reads it all the same, as an empty trace), empty, binary noise.
        {"UnreadableEmptyAndNoise",
         kRoad,
         {{"locked", ""}, {"empty", ""}, {"noise", binaryNoise()}},
         {emptyRoute("locked"), emptyRoute("empty"), emptyRoute("noise")}},
        // Times that run backwards: the derived speeds are whatever the clock says, but the points
        // lie on the road and must match.
        {"TimesRunningBackwards",
         kRoad,
         {{"back", karvel_test::nmeaLog(karvel_test::fixesAlong(41.10, -8.60, 41.11, -8.60, 20), -1)}},
         {"\tRoute #0: back\nPaths: \nScore: "}},
        // One point on the road: one stretch, nothing past point 0.
        {"OnePoint",
         kRoad,
         {{"one", karvel_test::nmeaLog({Fix{41.105, -8.60}})}},
         {"\tRoute #0: one\nPaths: \n\n\nUnmatched Info: \nStart node: 0 End node: 0 Last Match: -1 "
          "Next Match: -1 Last Path: -1 Next Path: -1\nFinished"}},
        // Across the equator and the border of UTM zones 31 and 32 (6 degrees east): planar
        // coordinates jump there, but the points on both sides are matched in one path.
        {"CrossingTheEquatorAndAZoneBorder",
         karvel_test::roadMap(-0.002, 5.998, 0.002, 6.002, 40, true),
         {{"cross", karvel_test::nmeaAlong(-0.0018, 5.9982, 0.0018, 6.0018, 40)}},
         {"\tRoute #0: cross\nPaths: \nScore: 0  Avg: 0 Start: 0 Last: 39 Links: (0, ",
          "(39, 38)  \n\n\n\nUnmatched Info: \nFinished"}},
    };
}

class BadTraces : public ::testing::TestWithParam<TraceCase> {};

TEST_P(BadTraces, FinishWithTheStatedReport) {
    const TraceCase& c = GetParam();
    TempDir dir;
    for (const auto& [name, text] : c.logs) writeFile(dir / ("data/nmea/" + name + ".txt"), text);
    if (fs::exists(dir / "data/nmea/locked.txt"))
        fs::permissions(dir / "data/nmea/locked.txt", fs::perms::none);
    const CommandResult r = runOnTraces(dir, c.map);
    for (const std::string& part : c.expected)
        EXPECT_NE(r.out.find(part), std::string::npos) << part << r.out;
    for (const auto& [name, text] : c.logs)
        EXPECT_TRUE(text.empty() || fs::exists(dir / ("data/match_ostrand_" + name + ".kml"))) << name;
}

INSTANTIATE_TEST_SUITE_P(Matrix, BadTraces, ::testing::ValuesIn(traceCases()),
                         [](const ::testing::TestParamInfo<TraceCase>& info) { return info.param.name; });

// At least 100 MB of log: a whole day of distinct epochs along the road and back, with receiver
// chatter between the fixes. Long: run with KARVEL_LONG_TESTS=1.
TEST(BadTracesLong, HundredMegabyteLog) {
    if (std::getenv("KARVEL_LONG_TESTS") == nullptr) GTEST_SKIP() << "long check: set KARVEL_LONG_TESTS=1";
    TempDir dir;
    fs::create_directories(dir / "data/nmea");
    const std::string chatter =
        "$GPGSV,3,1,12,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45*75\r\n"
        "$GPGSV,3,2,12,15,40,083,46,16,17,308,41,17,07,344,39,18,22,228,45*75\r\n"
        "$GPGSV,3,3,12,19,40,083,46,20,17,308,41,21,07,344,39,22,22,228,45*75\r\n"
        "$GPGSA,A,3,01,02,12,14,15,16,17,18,,,,,2.5,1.3,2.1*39\r\n$PGRME,15.0,M,45.0,M,25.0,M*00\r\n";
    const auto along = karvel_test::fixesAlong(41.10, -8.60, 41.11, -8.60, 200);
    std::ofstream out(dir / "data/nmea/big.txt", std::ios::binary);
    for (long second = 0; out.tellp() < (100 << 20); ++second) {
        for (int k = 0; k < 9; ++k) out << chatter;
        if (second < 86400)
            out << karvel_test::nmeaLog({along[std::min(second % 400, 399 - second % 400)]}, 1, second);
    }
    out.close();
    const CommandResult r = runOnTraces(dir, kRoad, 1800, 4096);
    std::printf("100 MB log: %.1f s, peak memory %ld MB\n", r.seconds, r.maxRssKb / 1024);
    EXPECT_NE(r.out.find("\tRoute #0: big\nPaths: \nScore: "), std::string::npos);
}

}  // namespace
