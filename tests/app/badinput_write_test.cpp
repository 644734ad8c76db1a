// The real karvel binary when its files cannot be written: a read-only data folder, a file-size
// limit and a full disk. The map save and the match document must each fail with an "ERROR: "
// line, leave the previous file exactly as it was and leave no temporary file behind, while the
// report on standard output stays complete. (Tests run as root, where permissions stop nothing.)
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>

#include "badinput_support.h"
#include "nmea_writer.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

const std::string kMapCreate =
    "ERROR: could not create map file data/map.txt; the previous file is unchanged.\n";
const std::string kMapWrite =
    "ERROR: could not write map file data/map.txt; the previous file is unchanged.\n";
const std::string kKmlCreate =
    "ERROR: could not create KML file data/match_ostrand_trace.kml; the previous file is unchanged.\n";
const std::string kKmlWrite =
    "ERROR: could not write KML file data/match_ostrand_trace.kml; the previous file is unchanged.\n";
const std::string kOldKml = "an earlier document the user keeps\n";

// A road of `count` nodes (the map file grows with it) and a trace along its first stretch.
std::string road(int count) {
    std::ostringstream s;
    s << count << "\n";
    char line[96];
    for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "%d  -8.600000000  %.9f 0.000000000 0.000000000\n", i + 1,
                      41.1 + i * 0.0001);
        s << line;
    }
    s << count - 1 << "\n";
    for (int i = 1; i < count; ++i) s << i << "  " << i + 1 << " 10.000000000 1\n";
    return s.str();
}

// The working folder: data/map.txt, the old match document and one trace.
void fill(const std::string& data, const std::string& map) {
    writeFile(data + "/map.txt", map);
    writeFile(data + "/match_ostrand_trace.kml", kOldKml);
    writeFile(data + "/nmea/trace.txt",
              karvel_test::nmeaLog(karvel_test::fixesAlong(41.1, -8.6, 41.101, -8.6, 12)));
}

// Runs karvel -M and checks the shared expectations; returns the output.
std::string runAndCheck(const TempDir& dir, long long fileSizeLimit = -1) {
    const KarvelRun r = runKarvel(dir.str(), {"-M"}, {60, fileSizeLimit});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.maxRssKb, 1024 * 1024);
    EXPECT_EQ(r.out.substr(0, startUp("data/nmea/").size()), startUp("data/nmea/"));
    // The report is whole; a failed document is reported inside it, before the paths.
    EXPECT_NE(r.out.find("\tRoute #0: trace\n"), std::string::npos) << r.out.substr(0, 1500);
    EXPECT_NE(r.out.find("Paths: \nScore: "), std::string::npos) << r.out.substr(0, 1500);
    EXPECT_TRUE(endsNormally(r.out));
    for (const auto& e : fs::directory_iterator(dir / "data")) {
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
    }
    return r.out;
}

struct WriteCase {
    std::string name;
    int roadNodes;  // the map file grows with the road
    enum How { FileSizeLimit, ReadOnly, SmallDisk } how;
    long long bytes;       // the file-size limit or the size of the disk
    std::string mapError;  // "" when the map is saved
    std::string kmlError;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

// A zero file-size limit stops root too; 16 KB lies between the size of the map file and that of
// the match document; the map file needs room twice (old and new) while it is saved.
const WriteCase kCases[] = {
    {"ReadOnlyDataFolder", 20, WriteCase::ReadOnly, 0, kMapCreate, kKmlCreate},
    {"NoFileMayGrow", 20, WriteCase::FileSizeLimit, 0, kMapWrite, kKmlWrite},
    {"LimitReachedWhileWritingTheDocument", 20, WriteCase::FileSizeLimit, 16 * 1024, "", kKmlWrite},
    {"DiskFullDuringTheMapSave", 3000, WriteCase::SmallDisk, 256 * 1024, kMapWrite, kKmlWrite},
    {"DiskFullDuringTheDocument", 200, WriteCase::SmallDisk, 64 * 1024, "", kKmlWrite},
};

class WriteFailures : public ::testing::TestWithParam<WriteCase> {};

// Whatever failed, the folder holds exactly what it held before (a saved map is the same text).
TEST_P(WriteFailures, EarlierFilesStayAndTheReportIsWhole) {
    const WriteCase& c = GetParam();
    TempDir dir;
    fs::create_directories(dir / "data");
    std::optional<ScopedMount> mount;
    if (c.how == WriteCase::SmallDisk) mount.emplace(ScopedMount::tmpfs(dir / "data", c.bytes));
    fill(dir / "data", road(c.roadNodes));
    if (c.how == WriteCase::ReadOnly) mount.emplace(ScopedMount::readOnly(dir / "data"));
    if (mount && !mount->ok()) GTEST_SKIP() << "cannot mount here: " << mount->error();
    const auto before = snapshot(dir / "data");
    const std::string out = runAndCheck(dir, c.how == WriteCase::FileSizeLimit ? c.bytes : -1);
    if (c.mapError.empty()) {
        EXPECT_EQ(out.find("map file data/map.txt; the previous"), std::string::npos) << out;
    } else {
        EXPECT_NE(out.find(c.mapError), std::string::npos) << out;
    }
    EXPECT_NE(out.find(c.kmlError), std::string::npos) << out;
    EXPECT_EQ(snapshot(dir / "data"), before);
}

INSTANTIATE_TEST_SUITE_P(Matrix, WriteFailures, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

}  // namespace
