// Replacing files with the named temporary file, the fallback where a file system has no unnamed
// ones (the end-to-end cases in tests/app cover the unnamed kind): modes, links, refusals, and the
// removal of temporary files that killed runs left behind.
#include "map/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;
using karvel_test::readFile;
using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

bool save(const std::string& path, const std::string& text) {
    AtomicFile file(path);
    file.stream() << text;
    return file.isOpen() && file.commit();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

size_t entries(const std::string& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(AtomicFileNamed, ModesLinksAndRefusals) {
    AtomicFile::allowUnnamedTemporaries(false);
    TempDir dir;
    const mode_t mask = ::umask(027);
    EXPECT_TRUE(save(dir / "new", "x"));
    writeFile(dir / "real/kept", "old");
    ::chmod((dir / "real/kept").c_str(), 0604);
    fs::create_symlink("real/kept", dir / "link");
    EXPECT_TRUE(save(dir / "link", "new"));
    ::umask(mask);
    {
        AtomicFile abandoned(dir / "new");
        abandoned.stream() << "half";
    }
    // New files get the mode the umask allows; a replaced file keeps its own, behind its link.
    EXPECT_EQ(std::tuple(modeOf(dir / "new"), modeOf(dir / "real/kept"), fs::is_symlink(dir / "link"),
                         readFile(dir / "real/kept"), readFile(dir / "new")),
              std::tuple(0640u, 0604u, true, "new", "x"));
    EXPECT_EQ(entries(dir.str()) + entries(dir / "real"), 4u);  // new, real, link; kept
    fs::create_directory(dir / "folder");
    EXPECT_FALSE(save(dir / "folder", "x"));
    EXPECT_EQ(AtomicFile(dir / "folder").error(), "not a regular file");
    AtomicFile::allowUnnamedTemporaries(true);
}

// The next save in a folder removes the temporary files of processes that are gone, never those of
// one that still runs.
TEST(AtomicFileNamed, NextRunRemovesStaleTemporaries) {
    TempDir dir;
    if (fork() == 0) {
        AtomicFile::allowUnnamedTemporaries(false);
        AtomicFile file(dir / "map.txt");
        file.stream() << "half" << std::flush;
        _exit(0);  // skips the destructor, as a kill would
    }
    ::wait(nullptr);
    const std::string live = dir / ("other.kml.tmp-karvel-" + std::to_string(::getppid()) + "-1");
    writeFile(live, "a live writer's");
    EXPECT_EQ(entries(dir.str()), 2u);
    EXPECT_TRUE(save(dir / "map.txt", "new"));
    EXPECT_EQ(std::tuple(entries(dir.str()), fs::exists(live)), std::tuple(2u, true));  // map.txt, live file
}

}  // namespace
