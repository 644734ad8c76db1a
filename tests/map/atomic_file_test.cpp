// The atomic file every writer uses: the target changes only on commit, a new file is readable by
// all (mkstemp's private mode does not leak), a replaced file keeps its permissions, and no
// temporary file is ever left behind. (The writers' own failure reports are tested with them.)
#include "map/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;

TEST(AtomicFile, ReplacesOnlyOnCommitAndKeepsPermissions) {
    karvel_test::TempDir dir;
    const std::string target = dir / "f.txt";
    auto write = [&](const std::string& text, bool commit) {
        AtomicFile f(target);
        EXPECT_TRUE(f.isOpen());
        f.stream() << text;
        return commit && f.commit();
    };
    auto mode = [&] { return fs::status(target).permissions() & fs::perms::all; };
    auto entries = [&] { return std::distance(fs::directory_iterator(dir.path()), {}); };

    EXPECT_FALSE(write("abandoned", false));
    EXPECT_EQ(entries(), 0);
    ASSERT_TRUE(write("one", true));
    EXPECT_EQ(karvel_test::readFile(target), "one");
    EXPECT_EQ(mode(), fs::perms(0644));

    fs::permissions(target, fs::perms(0640));
    EXPECT_FALSE(write("abandoned", false));
    EXPECT_EQ(karvel_test::readFile(target), "one");
    ASSERT_TRUE(write("two", true));
    EXPECT_EQ(karvel_test::readFile(target), "two");
    EXPECT_EQ(mode(), fs::perms(0640));
    EXPECT_EQ(entries(), 1);

    AtomicFile twice(target);
    ASSERT_TRUE(twice.commit());
    EXPECT_FALSE(twice.commit());  // a committed file takes no second commit
    EXPECT_FALSE(AtomicFile(dir / "missing/f.txt").isOpen());
}
