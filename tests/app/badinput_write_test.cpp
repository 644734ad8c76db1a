// The real karvel binary when its files cannot be written: a read-only data folder, a file-size
// limit and a full disk. The map save and the match document must each fail with an "ERROR: "
// line, leave the previous file exactly as it was and leave no temporary file behind, while the
// report on standard output stays complete. (Tests run as root, where permissions stop nothing.)
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "badinput_support.h"
#include "nmea_writer.h"

namespace fs = std::filesystem;
using namespace karvel_badinput;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

std::string failure(const std::string& verb, const std::string& file) {
    return "ERROR: could not " + verb + " " + file + "; the previous file is unchanged.\n";
}
const std::string kMapCreate = failure("create", "map file data/map.txt");
const std::string kMapWrite = failure("write", "map file data/map.txt");
const std::string kKmlCreate = failure("create", "KML file data/match_ostrand_trace.kml");
const std::string kKmlWrite = failure("write", "KML file data/match_ostrand_trace.kml");

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
    writeFile(dir / "data/map.txt",
              karvel_test::roadMap(41.1, -8.6, 41.1 + (c.roadNodes - 1) * 1e-4, -8.6, c.roadNodes));
    writeFile(dir / "data/match_ostrand_trace.kml", "an earlier document the user keeps\n");
    writeFile(dir / "data/nmea/trace.txt", karvel_test::nmeaAlong(41.1, -8.6, 41.101, -8.6, 12));
    if (c.how == WriteCase::ReadOnly) mount.emplace(ScopedMount::readOnly(dir / "data"));
    if (mount && !mount->ok()) GTEST_SKIP() << "cannot mount here: " << mount->error();
    const auto before = snapshot(dir / "data");

    const CommandResult r =
        runKarvel(dir.str(), "$K -M", {60, c.how == WriteCase::FileSizeLimit ? c.bytes : -1});
    expectClean(r, dir.str());
    EXPECT_EQ(r.exitCode, 0);
    expectWholeReport(r.out, "data/nmea/");
    // The report is whole; a failed document is reported inside it, before the paths.
    EXPECT_NE(r.out.find("\tRoute #0: trace\n"), std::string::npos) << r.out.substr(0, 1500);
    EXPECT_NE(r.out.find("Paths: \nScore: "), std::string::npos) << r.out.substr(0, 1500);
    if (c.mapError.empty())
        EXPECT_EQ(r.out.find("map file data/map.txt; the previous"), std::string::npos) << r.out;
    else
        EXPECT_NE(r.out.find(c.mapError), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.kmlError), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(dir / "data"), before);
}

INSTANTIATE_TEST_SUITE_P(Matrix, WriteFailures, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

}  // namespace
