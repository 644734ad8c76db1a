// Helpers for the test programs: scratch working directories, file I/O and running the real binaries.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace karvel_test {

// A fresh directory under the system temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return dir; }
    std::string str() const { return dir.string(); }
    // Path of a file or folder inside the directory.
    std::string operator/(const std::string& rel) const { return (dir / rel).string(); }

private:
    std::filesystem::path dir;
};

// A scratch folder (with data/ unless asked otherwise) made the working directory for the life of
// the object: the programs and the writers use relative paths under data/.
class WorkDir {
public:
    explicit WorkDir(bool withData = true);
    ~WorkDir();
    std::string file(const std::string& rel) const { return dir / rel; }

private:
    TempDir dir;
    std::filesystem::path previous;
};

// What `f` prints to standard output while it runs.
template <typename F>
std::string printed(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

struct CommandResult {
    int exitCode = -1;
    std::string out;  // standard output only
};

// Runs a shell command line in `workDir` and captures its standard output.
CommandResult runCommand(const std::string& commandLine, const std::string& workDir = ".");

// Path of a program built into build/bin (karvel, karvel-*).
std::string binaryPath(const std::string& program = "karvel");

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// Absolute path of an entry of the shared real-data folder, or "" when the folder is absent.
std::string sharedData(const std::string& rel);

// Absolute path of a file in tests/ (golden files and fixtures).
std::string testFile(const std::string& rel);

}  // namespace karvel_test

// Skips the current test when the shared real-data entry is missing.
#define KARVEL_REQUIRE_SHARED(var, rel)                     \
    const std::string var = ::karvel_test::sharedData(rel); \
    if (var.empty()) GTEST_SKIP() << "shared data not available: " << rel
