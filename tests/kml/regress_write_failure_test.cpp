// A match document that fails part-way is reported with an "ERROR: " line and never replaces the
// earlier document; a written one prints nothing.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "kml/kml.h"
#include "kml_test_util.h"

namespace fs = std::filesystem;

TEST(KmlWriteFailure, FailedWriteKeepsTheEarlierDocument) {
    kml_test::WorkDir dir;
    const std::string doc = dir.file("data/match_ostrand_abc.kml");
    karvel_test::writeFile(doc, "earlier\n");
    mapRepresentation::Map map;
    const Route route = kml_test::smallRoute();
    kmlMatch::KMLBuilder builder(&map, &route, {-1, -1}, {}, "ostrand");
    // Printed text is kept in memory: a captured-output file would fall under the file-size limit.
    std::ostringstream out;
    std::streambuf* const console = std::cout.rdbuf(out.rdbuf());

    // Nothing may grow past one byte: the document fails part-way (a limit stops root as well).
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 1;
    setrlimit(RLIMIT_FSIZE, &tiny);
    const bool writtenUnderLimit = builder.buildKML();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    const std::string printedUnderLimit = out.str();
    EXPECT_EQ(karvel_test::readFile(doc), "earlier\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("data")), fs::directory_iterator()), 1);

    // With room again the same builder writes, silently.
    const bool written = builder.buildKML();
    std::cout.rdbuf(console);
    EXPECT_FALSE(writtenUnderLimit);
    EXPECT_EQ(
        printedUnderLimit,
        "ERROR: could not write KML file data/match_ostrand_abc.kml; the previous file is unchanged.\n");
    EXPECT_TRUE(written);
    EXPECT_EQ(out.str(), printedUnderLimit);
    EXPECT_NE(karvel_test::readFile(doc), "earlier\n");
}
