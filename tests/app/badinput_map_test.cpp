// The real karvel binary against broken map files: every case must finish in bounded time and
// memory, without a sanitizer report, with the stated "ERROR: " line, and must leave a map file it
// could not read completely exactly as it was (and then end with exit status 1).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "badinput_support.h"
#include "nmea_writer.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

// Two nodes 8 km apart with a link each way, and a trace along them.
const std::string kGoodNodes = "2\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n";
const std::string kGoodMap = kGoodNodes + "2\n1 2 13.5 3\n2 1 13.5 3\n";

std::string trace() {
    return karvel_test::nmeaLog(karvel_test::fixesAlong(41.1, -8.6, 41.2, -8.5, 30));
}

std::string readError(int line, const std::string& what, const std::string& outcome = "loading stopped") {
    return "ERROR: map file data/map.txt, line " + std::to_string(line) + ": " + what + "; " + outcome +
           ".\n";
}
const std::string kKeptAsIs = "ERROR: data/map.txt was not read completely; it is left as it is.\n";

struct MapCase {
    std::string name;
    std::function<void(const TempDir&)> setup;  // writes data/map.txt (or what stands in its place)
    std::vector<std::string> expectedLines;     // each must appear in the output
    bool keptAsIs;                              // the map must not be written back
    std::string mapAfter;                       // expected data/map.txt after a completed run ("" = skip)
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MapCase& c, std::ostream* os) {
    *os << c.name;
}

void mapText(const TempDir& d, const std::string& text) {
    writeFile(d / "data/map.txt", text);
}

std::vector<MapCase> cases() {
    std::string hugeLine = "1 -8.6 41.1 0 ";
    hugeLine.append(1 << 20, '7');
    std::ostringstream coincident;
    coincident << 10000 << "\n";
    for (int i = 1; i <= 10000; ++i)
        coincident << i << "  -8.600000000  41.100000000 0.000000000 0.000000000\n";
    coincident << 9999 << "\n";
    for (int i = 1; i < 10000; ++i) coincident << i << "  " << i + 1 << " 10.000000000 1\n";
    const std::string coincidentMap = coincident.str();

    return {
        // An empty file is an empty map, written back as such.
        {"Empty", [](const TempDir& d) { mapText(d, ""); }, {}, false, "0\n0\n"},
        {"TruncatedMidLine",
         [](const TempDir& d) { mapText(d, "2\n1 -8.6 41.1 0 0\n2 -8.5 4"); },
         {readError(3, "expected 5 fields: id longitude latitude averageSnr hdop"), kKeptAsIs},
         true,
         ""},
        {"TruncatedInTheLinks",
         [](const TempDir& d) { mapText(d, kGoodNodes + "2\n1 2 13.5 3\n2 1 1"); },
         {readError(6, "expected 4 fields: origin destination speed samples"), kKeptAsIs},
         true,
         ""},
        {"NodeCountBeyondTheLines",
         [](const TempDir& d) { mapText(d, "5\n1 -8.6 41.1 0 0\n2 -8.5 41.2 0 0\n"); },
         {readError(4, "file ends before the expected node line"), kKeptAsIs},
         true,
         ""},
        {"LinkCountBeyondTheLines",
         [](const TempDir& d) { mapText(d, kGoodNodes + "4000000\n1 2 13.5 3\n"); },
         {readError(6, "file ends before the expected link line"), kKeptAsIs},
         true,
         ""},
        {"NonNumericField",
         [](const TempDir& d) { mapText(d, "2\n1 -8.6 north 0 0\n2 -8.5 41.2 0 0\n0\n"); },
         {readError(2, "expected 5 fields: id longitude latitude averageSnr hdop"), kKeptAsIs},
         true,
         ""},
        {"NonNumericCount",
         [](const TempDir& d) { mapText(d, "two\n1 -8.6 41.1 0 0\n"); },
         {readError(1, "expected the node count (one number)"), kKeptAsIs},
         true,
         ""},
        {"OneMegabyteLine",
         [hugeLine](const TempDir& d) { mapText(d, "2\n" + hugeLine + "\n2 -8.5 41.2 0 0\n0\n"); },
         {readError(2, "line longer than 1022 characters"), kKeptAsIs},
         true,
         ""},
        // Found by fuzzing: a node off the globe was kept in the graph but missing from the index.
        // Only that node is refused; the rest of the map is read (and matched against).
        {"NodeOffTheGlobe",
         [](const TempDir& d) { mapText(d, "2\n1 -86.58 127 0 0\n2 -8.5 41.2 0 0\n0\n"); },
         {readError(2, "position outside the globe (longitude then latitude expected)", "line refused"),
          kKeptAsIs},
         true,
         ""},
        // A refused line would vanish on save and shift the ids of every later link.
        {"LinksToUnknownNodes",
         [](const TempDir& d) { mapText(d, kGoodNodes + "3\n1 99 10 1\n77 2 10 1\n1 2 13.5 3\n"); },
         {"ERROR: non existing node. (99)\n", readError(5, "link 1 -> 99 refused", "line refused"),
          "ERROR: non existing node. (77)\n", kKeptAsIs},
         true,
         ""},
        // The first of two nodes with one id wins; the second is reported and kept in the file.
        {"DuplicateNodes",
         [](const TempDir& d) { mapText(d, "3\n1 -8.6 41.1 0 0\n1 -8.0 40.0 5 5\n2 -8.5 41.2 0 0\n0\n"); },
         {"ERROR: trying to add a node with an existing key : 1\n",
          readError(3, "node id 1 given twice", "line refused"), kKeptAsIs},
         true,
         ""},
        {"TenThousandCoincidentNodes",
         [coincidentMap](const TempDir& d) { mapText(d, coincidentMap); },
         {},
         false,
         coincidentMap},
    };
}

class BadMap : public ::testing::TestWithParam<MapCase> {};

TEST_P(BadMap, FinishesAndKeepsWhatItCouldNotRead) {
    const MapCase& c = GetParam();
    TempDir dir;
    writeFile(dir / "data/nmea/trace.txt", trace());
    c.setup(dir);
    const auto before = snapshot(dir / "data/map.txt");
    const std::string beforeFile =
        fs::is_regular_file(dir / "data/map.txt") ? karvel_test::readFile(dir / "data/map.txt") : "";

    const KarvelRun r = runKarvel(dir.str(), {"-M"}, {60, -1});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, c.keptAsIs ? 1 : 0);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.maxRssKb, 1024 * 1024);
    EXPECT_EQ(r.out.substr(0, startUp("data/nmea/").size()), startUp("data/nmea/"));
    for (const std::string& line : c.expectedLines) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out.substr(0, 2000);
    }
    EXPECT_EQ(r.out.find(kKeptAsIs) != std::string::npos, c.keptAsIs);
    // The traces are matched whatever became of the map.
    EXPECT_NE(r.out.find("\tRoute #0: trace\nPaths: \n"), std::string::npos);
    EXPECT_TRUE(endsNormally(r.out));
    EXPECT_TRUE(fs::exists(dir / "data/match_ostrand_trace.kml"));

    if (c.keptAsIs) {
        EXPECT_EQ(snapshot(dir / "data/map.txt"), before);
        if (!beforeFile.empty()) {
            EXPECT_EQ(karvel_test::readFile(dir / "data/map.txt"), beforeFile);
        }
    }
    if (!c.mapAfter.empty()) {
        EXPECT_EQ(karvel_test::readFile(dir / "data/map.txt"), c.mapAfter);
    }
    // No temporary file of the save is left behind.
    for (const auto& e : fs::directory_iterator(dir / "data")) {
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, BadMap, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<MapCase>& info) { return info.param.name; });

// Without a data folder there is no map: the run says so and stops; nothing is created.
TEST(BadMap, MissingDataFolder) {
    TempDir dir;
    const KarvelRun r = runKarvel(dir.str(), {"-M"}, {60, -1});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Looking for Trace Files...\n"
              "Looking for NMEA files (with .txt extension) inside folder: data/nmea/\n"
              "ERROR: cannot open the trace folder data/nmea/: No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir / "data"));
}

}  // namespace
