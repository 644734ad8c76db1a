// Helpers for the test programs: scratch working directories, file I/O, working-folder builders and
// running the real binaries.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace karvel_test {

struct CommandResult {
    int exitCode = -1;  // -1 when killed by a signal or the time limit
    std::string out;
    std::string err;  // the programs write nothing there off a terminal; sanitizers do
    bool timedOut = false;
    long maxRssKb = 0;  // peak memory of the largest process of the run
    double seconds = 0;
};

struct RunLimits {
    double seconds = 300;          // then every process of the run is killed
    long long fileSizeBytes = -1;  // RLIMIT_FSIZE of the run; -1: none
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

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
    // Runs a shell line here (see runPrograms).
    CommandResult run(const std::string& line, RunLimits limits = {}) const;
    std::string read(const std::string& rel) const { return readFile(*this / rel); }
    void write(const std::string& rel, const std::string& content) const { writeFile(*this / rel, content); }

private:
    std::filesystem::path dir;
};

// A scratch folder (with data/ unless asked otherwise) made the working directory for the life of
// the object: the programs and the writers use relative paths under data/.
class WorkDir {
public:
    explicit WorkDir(bool withData = true);
    ~WorkDir() { std::filesystem::current_path(previous); }
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

// Runs a shell command line in `workDir`, standard output and standard error captured apart.
CommandResult runCommand(const std::string& commandLine, const std::string& workDir = ".",
                         RunLimits limits = {});

// Path of a program built into build/bin (karvel, karvel-*).
std::string binaryPath(const std::string& program = "karvel");

// runCommand with the programs named short: $K, $G, $B, $M, $E, $V, $O and $S stand for karvel,
// karvel-genetic, karvel-mapbuild, karvel-match, karvel-export, karvel-eval, karvel-osm2map and karvel-sim.
CommandResult runPrograms(const std::string& workDir, std::string line, RunLimits limits = {});

// The bundled sample's street map (sample/data/map.txt).
std::string sampleMap();
// A work folder as the programs expect it: data/nmea/ and data/map.txt, the given text or the sample's.
void makeWorkFolder(const TempDir& dir, const std::string& map = "");
// How often `what` occurs in `text`.
size_t occurrences(const std::string& text, const std::string& what);
// CSV rows as column name -> text (quoted fields without line ends).
std::vector<std::map<std::string, std::string>> csvRows(const std::string& text);

// A map file in the map writer's own layout: nodes 1..N at (latitude, longitude), the given links.
std::string mapText(const std::vector<std::pair<double, double>>& nodes,
                    const std::vector<std::pair<int, int>>& links);
// A straight road of `count` nodes from (lat0, lon0) to (lat1, lon1), driven one way or both.
std::string roadMap(double lat0, double lon0, double lat1, double lon1, int count, bool bothWays = false);

// Absolute path of an entry of the shared real-data folder, or "" when the folder is absent.
std::string sharedData(const std::string& rel);

// Absolute path of a file in tests/ (golden files and fixtures).
std::string testFile(const std::string& rel);
// Compares with the golden file tests/`rel`; KARVEL_UPDATE_GOLDEN=1 rewrites it instead (then read the diff).
void expectGolden(const std::string& actual, const std::string& rel);

inline CommandResult TempDir::run(const std::string& line, RunLimits limits) const {
    return runPrograms(str(), line, limits);
}

}  // namespace karvel_test

// Skips the current test when the shared real-data entry is missing.
#define KARVEL_REQUIRE_SHARED(var, rel)                     \
    const std::string var = ::karvel_test::sharedData(rel); \
    if (var.empty()) GTEST_SKIP() << "needs ../shared/data/" << rel << " (real data beside the clone)"
