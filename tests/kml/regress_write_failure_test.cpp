// A match document that fails part-way is reported with an "ERROR: " line and never replaces the
// earlier document; a written one prints nothing.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "kml/kml.h"
#include "kml_test_util.h"

namespace fs = std::filesystem;
using karvel_test::TempDir;

namespace {

// Runs f in `dir` (the builder writes relative to the working folder) and returns what it printed.
template <typename F>
std::string inFolder(const TempDir& dir, F f) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    // Kept in memory: a captured-output file would fall under the tests' own file-size limit.
    std::ostringstream out;
    std::streambuf* const console = std::cout.rdbuf(out.rdbuf());
    f();
    std::cout.rdbuf(console);
    fs::current_path(previous);
    return out.str();
}

TEST(KmlWriteFailure, FailedWriteKeepsTheEarlierDocument) {
    TempDir dir;
    karvel_test::writeFile(dir / "data/match_ostrand_abc.kml", "earlier\n");
    mapRepresentation::Map map;
    const Route route = kml_test::smallRoute();
    kmlMatch::KMLBuilder builder(&map, &route, {-1, -1}, {}, "ostrand");

    // Nothing may grow past one byte: the document fails part-way (a limit stops root as well).
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 1;
    setrlimit(RLIMIT_FSIZE, &tiny);
    bool written = true;
    const std::string out = inFolder(dir, [&] { written = builder.buildKML(); });
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(
        out, "ERROR: could not write KML file data/match_ostrand_abc.kml; the previous file is unchanged.\n");
    EXPECT_EQ(karvel_test::readFile(dir / "data/match_ostrand_abc.kml"), "earlier\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "data"), fs::directory_iterator()), 1);

    // With room again the same builder writes, silently.
    const std::string again = inFolder(dir, [&] { written = builder.buildKML(); });
    EXPECT_TRUE(written);
    EXPECT_EQ(again, "");
    EXPECT_NE(karvel_test::readFile(dir / "data/match_ostrand_abc.kml"), "earlier\n");
}

}  // namespace
