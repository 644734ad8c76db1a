// Replacing files: what a save leaves behind (modes, owners, links, temporary files) on either kind
// of temporary file, and which targets it refuses.
#include "map/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "test_support.h"

namespace fs = std::filesystem;
using karvel_test::readFile;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

bool save(const std::string& path, const std::string& text) {
    AtomicFile file(path);
    if (!file.isOpen()) return false;
    file.stream() << text;
    return file.commit();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Names in `dir` other than the given ones.
std::vector<std::string> strays(const TempDir& dir, std::vector<std::string> expected) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end()) found.push_back(name);
    }
    return found;
}

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous); }

private:
    mode_t previous;
};

// Every case runs with the unnamed temporary file and with the named fallback.
class AtomicFileBothWays : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { AtomicFile::allowUnnamedTemporaries(GetParam()); }
    void TearDown() override { AtomicFile::allowUnnamedTemporaries(true); }
};

TEST_P(AtomicFileBothWays, NewFilesFollowTheUmaskAndReplacedOnesKeepTheirMode) {
    TempDir dir;
    for (const mode_t mask : {022, 077, 002}) {
        ScopedUmask m(mask);
        const std::string path = dir / ("new" + std::to_string(mask));
        ASSERT_TRUE(save(path, "x\n"));
        EXPECT_EQ(modeOf(path) & 07777, 0666 & ~mask) << std::oct << mask;
    }
    ScopedUmask m(022);
    writeFile(dir / "kept", "old\n");
    ::chmod((dir / "kept").c_str(), 0640);
    ASSERT_TRUE(save(dir / "kept", "new\n"));
    EXPECT_EQ(modeOf(dir / "kept") & 07777, 0640u);
    EXPECT_EQ(readFile(dir / "kept"), "new\n");
    EXPECT_EQ(strays(dir, {"new18", "new63", "new2", "kept"}), std::vector<std::string>{});
}

// A link stays a link; the file it points to (in another folder) is replaced there.
TEST_P(AtomicFileBothWays, WritesThroughSymbolicLinks) {
    TempDir dir;
    fs::create_directories(dir / "real");
    fs::create_directories(dir / "data");
    writeFile(dir / "real/map.txt", "old\n");
    ::chmod((dir / "real/map.txt").c_str(), 0600);
    fs::create_symlink("../real/map.txt", dir / "data/map.txt");
    fs::create_symlink("map.txt", dir / "data/again.txt");  // a link to the link
    ASSERT_TRUE(save(dir / "data/again.txt", "new\n"));
    EXPECT_TRUE(fs::is_symlink(dir / "data/map.txt"));
    EXPECT_TRUE(fs::is_symlink(dir / "data/again.txt"));
    EXPECT_EQ(readFile(dir / "real/map.txt"), "new\n");
    EXPECT_EQ(modeOf(dir / "real/map.txt") & 07777, 0600u);
    // A dangling link gets its file created where it points.
    fs::create_symlink("../real/fresh.txt", dir / "data/fresh.txt");
    ASSERT_TRUE(save(dir / "data/fresh.txt", "x\n"));
    EXPECT_TRUE(fs::is_symlink(dir / "data/fresh.txt"));
    EXPECT_EQ(readFile(dir / "real/fresh.txt"), "x\n");
}

// Devices, FIFOs and folders are never replaced, directly or through a link.
TEST_P(AtomicFileBothWays, RefusesWhatIsNotARegularFile) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directories(dir / "folder");
    fs::create_symlink("/dev/null", dir / "null");
    for (const std::string& path : {dir / "fifo", dir / "folder", dir / "null", std::string("/dev/null")}) {
        AtomicFile file(path);
        EXPECT_FALSE(file.isOpen()) << path;
        EXPECT_EQ(file.error(), "not a regular file") << path;
    }
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(fs::is_symlink(dir / "null"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Run as root on someone else's file, the save hands it back to its owner.
TEST_P(AtomicFileBothWays, KeepsOwnerAndGroup) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    TempDir dir;
    writeFile(dir / "map.txt", "old\n");
    ASSERT_EQ(::chown((dir / "map.txt").c_str(), 4321, 8765), 0);
    ::chmod((dir / "map.txt").c_str(), 0600);
    ASSERT_TRUE(save(dir / "map.txt", "new\n"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "map.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_P(AtomicFileBothWays, AnUnfinishedFileLeavesNothing) {
    TempDir dir;
    writeFile(dir / "map.txt", "old\n");
    {
        AtomicFile file(dir / "map.txt");
        ASSERT_TRUE(file.isOpen());
        file.stream() << "half";
    }
    EXPECT_EQ(readFile(dir / "map.txt"), "old\n");
    EXPECT_EQ(strays(dir, {"map.txt"}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Temporaries, AtomicFileBothWays, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Unnamed" : "Named";
                         });

// A process killed while writing leaves its named temporary file; the next save in that folder
// removes it, but never the temporary file of a process that still runs.
TEST(AtomicFile, NextRunRemovesStaleTemporaries) {
    TempDir dir;
    fs::create_directories(dir / "data");
    const pid_t child = fork();
    if (child == 0) {
        AtomicFile::allowUnnamedTemporaries(false);
        AtomicFile file(dir / "data/map.txt");
        file.stream() << "half" << std::flush;
        _exit(0);  // skips the destructor, as a kill would
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string live = dir / ("data/other.kml.tmp-karvel-" + std::to_string(::getppid()) + "-1");
    writeFile(live, "someone else's");
    ASSERT_EQ(strays(dir, {"data"}).size(), 0u);
    size_t before = 0;
    for (const auto& e : fs::directory_iterator(dir / "data"))
        before += e.path().string().find(".tmp-") != std::string::npos;
    EXPECT_EQ(before, 2u);

    ASSERT_TRUE(save(dir / "data/map.txt", "new\n"));
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir / "data")) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"map.txt", fs::path(live).filename().string()}));
}

}  // namespace
