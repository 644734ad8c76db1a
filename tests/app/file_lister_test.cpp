#include "app/file_lister.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "test_support.h"

using karvel_test::writeFile;

TEST(FileLister, ListsOnlyExactTxtExtensionWhateverTheEntryType) {
    karvel_test::WorkDir dir(false);
    for (const char* name : {"a.txt", "b.TXT", "c.txt.bak", "noext", ".txt", "d.log", "e.b.txt"})
        writeFile(dir.file(name), "x");
    std::filesystem::create_directory(dir.file("sub.txt"));
    const std::string folder = dir.file("");
    const std::multiset<std::string> names{".txt", "a.txt", "e.b.txt", "sub.txt"};
    // With or without a trailing slash the paths are the same; "" lists the working folder, bare.
    for (const std::string& given : {folder.substr(0, folder.size() - 1), folder, std::string()}) {
        std::multiset<std::string> expected;
        for (const std::string& n : names) expected.insert(given.empty() ? n : folder + n);
        const std::vector<std::string> got = getFiles(given);
        EXPECT_EQ(std::multiset<std::string>(got.begin(), got.end()), expected) << given;
    }
    // A missing folder and a plain file list nothing.
    EXPECT_TRUE(getFiles(dir.file("missing")).empty());
    EXPECT_TRUE(getFiles(dir.file("a.txt")).empty());
}
