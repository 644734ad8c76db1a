// Replacing files with either kind of temporary file: modes, links, refusals, and the removal of
// temporary files that killed runs left behind; the locks of files that are read and written back.
#include "map/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "map/file_lock.h"
#include "test_support.h"

using mapRepresentation::AtomicFile;
using mapRepresentation::FileLock;

namespace fs = std::filesystem;
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

// Both kinds of temporary file: the named one, and the unnamed one where the file system has them.
TEST(AtomicFile, ModesLinksAndRefusals) {
    for (const bool unnamed : {false, true}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        AtomicFile::allowUnnamedTemporaries(unnamed);
        TempDir dir;
        const mode_t mask = ::umask(027);
        EXPECT_TRUE(save(dir / "new", "x"));
        dir.write("real/kept", "old");
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
                             dir.read("real/kept"), dir.read("new")),
                  std::tuple(0640u, 0604u, true, "new", "x"));
        EXPECT_EQ(entries(dir.str()) + entries(dir / "real"), 4u);  // new, real, link; kept
        fs::create_directory(dir / "folder");
        EXPECT_FALSE(save(dir / "folder", "x"));
        EXPECT_EQ(AtomicFile(dir / "folder").error(), "not a regular file");
    }
    AtomicFile::allowUnnamedTemporaries(true);
}

// What a lock finds for each kind of path, how long it may wait, and the refusals of the lock that
// every writer of a map takes.
TEST(FileLock, StatesWaitsAndTheMapLock) {
    TempDir dir;
    dir.write("map.txt", "0\n");
    ::mkfifo((dir / "fifo").c_str(), 0644);
    const std::chrono::milliseconds now{0}, soon{100};
    using State = FileLock::State;
    EXPECT_EQ(std::tuple(FileLock(dir / "map.txt", now).state(), FileLock(dir / "none", now).state(),
                         FileLock(dir / "none", now, FileLock::IfMissing::LockFolder).state(),
                         FileLock(dir / "fifo", now).state()),
              std::tuple(State::Locked, State::Missing, State::Creating, State::NotRegular));
    const char* saved = std::getenv("KARVEL_LOCK_WAIT");
    const std::string before = saved != nullptr ? saved : "";
    const std::pair<const char*, bool> waits[] = {
        {"0.1", true}, {"86400", true}, {"86401", false}, {"-1", false}, {"5s", false}};
    for (const auto& [text, fine] : waits) {
        ::setenv("KARVEL_LOCK_WAIT", text, 1);
        EXPECT_EQ(!FileLock::waitSettingProblem().has_value(), fine) << text;
    }
    ::setenv("KARVEL_LOCK_WAIT", "0.1", 1);
    std::unique_ptr<FileLock> second;
    {
        const FileLock held(dir / "map.txt", now);
        EXPECT_EQ(FileLock(dir / "map.txt", soon).state(), State::Busy);
        EXPECT_EQ(mapRepresentation::lockMapForWriting(dir / "map.txt", second, false),
                  "the map " + (dir / "map.txt") + " is locked by another program");
    }
    EXPECT_EQ(mapRepresentation::lockMapForWriting(dir / "map.txt", second, true), "");
    EXPECT_TRUE(second->held());
    EXPECT_EQ(std::tuple(mapRepresentation::lockMapForWriting(dir / "fifo", second, true),
                         mapRepresentation::lockMapForWriting(dir / "fifo", second, false)),
              std::tuple("cannot read the map " + (dir / "fifo") + ": not a regular file", std::string()));
    saved != nullptr ? ::setenv("KARVEL_LOCK_WAIT", before.c_str(), 1) : ::unsetenv("KARVEL_LOCK_WAIT");
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
