#include "app/file_lister.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "test_support.h"

using karvel_test::TempDir;
using karvel_test::writeFile;

namespace {

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(FileLister, ListsOnlyExactTxtExtensionWhateverTheEntryType) {
    TempDir dir;
    for (const char* name : {"a.txt", "b.TXT", "c.txt.bak", "noext", ".txt", "d.log", "e.b.txt"})
        writeFile(dir / name, "x");
    std::filesystem::create_directory(dir / "sub.txt");

    const std::string folder = dir.str();
    EXPECT_EQ(sorted(getFiles(folder)), (std::vector<std::string>{folder + "/.txt", folder + "/a.txt",
                                                                  folder + "/e.b.txt", folder + "/sub.txt"}));
}

TEST(FileLister, TrailingSlashGivesTheSamePaths) {
    TempDir dir;
    writeFile(dir / "t.txt", "x");
    EXPECT_EQ(getFiles(dir.str()), std::vector<std::string>{dir.str() + "/t.txt"});
    EXPECT_EQ(getFiles(dir.str() + "/"), std::vector<std::string>{dir.str() + "/t.txt"});
}

TEST(FileLister, MissingFolderAndPlainFileGiveNothing) {
    TempDir dir;
    writeFile(dir / "f.txt", "x");
    EXPECT_TRUE(getFiles(dir / "missing").empty());
    EXPECT_TRUE(getFiles(dir / "f.txt").empty());
}

TEST(FileLister, EmptyFolderNameListsWorkingDirectoryWithBareNames) {
    TempDir dir;
    writeFile(dir / "w.txt", "x");
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto files = getFiles("");
    std::filesystem::current_path(old);
    EXPECT_EQ(files, std::vector<std::string>{"w.txt"});
}
