// The karvel driver: options, help, start-up and timing lines end to end, what counts as a seed in
// KARVEL_SEED, the trace files it lists, and the shared batch loop (blocks and results in list order,
// the same text whatever the number of threads).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "app/Main.h"
#include "app/batch.h"
#include "app/file_lister.h"
#include "app/random_seed.h"
#include "test_support.h"

// Unknown words, case variants and a trailing -t are ignored; the last trace folder wins. An empty
// batch prints the start-up and the timing block, and the map is written back in its own layout. Help
// anywhere stops everything: nothing is loaded or written.
TEST(Driver, OptionWordsHelpStartUpAndTiming) {
    karvel_test::TempDir dir;
    for (const char* args : {"-h", "-help", "-M -t x -h", "-h -t"}) {
        const auto r = karvel_test::runCommand(karvel_test::binaryPath() + " " + args, dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        EXPECT_EQ(
            r.out,
            "\t*****  KARVEL  *****\n\n -t [folder]  -> traces to load (the default folder is data/nmea)\n"
            "-> select trace points from a restricted area\n -M -> generate Map Matching .kml files\n"
            " -h -> help\n -help -> help\n\n")
            << args;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    for (const char* folder : {"data/nmea", "second"}) std::filesystem::create_directories(dir / folder);
    const std::regex timing(
        "\nReady to run Ostrand\\.\n\nFinished running Ostrand\\.\n\n\n\nOverall processing time: "
        "([0-9]+) sec\\.  \\(~= ([0-9.e-]+) min\\.\\)\n\n\n");
    for (const auto& [args, folder] : {std::pair{"", "data/nmea/"},
                                       {"-H --help -m -t", "data/nmea/"},
                                       {"-t first -t second", "second"},
                                       {"-t ''", ""}}) {
        dir.write("data/map.txt", " 0\n 0\n");
        const auto r = karvel_test::runCommand(karvel_test::binaryPath() + " " + args, dir.str());
        EXPECT_EQ(r.exitCode, 0) << args;
        const std::string header =
            std::string(
                "Looking for Trace Files...\nLooking for NMEA files (with .txt extension) inside folder: ") +
            folder + "\nLoading Map...\nTrying to load map: data/map.txt\n";
        ASSERT_EQ(r.out.substr(0, header.size()), header) << args;
        const std::string rest = r.out.substr(header.size());
        EXPECT_TRUE(std::regex_match(rest, timing)) << rest;
        EXPECT_EQ(dir.read("data/map.txt"), "0\n0\n");
    }
    // The minutes in the default number format.
    for (const auto& [seconds, text] :
         {std::pair{125, "125 sec.  (~= 2.08333 min.)"}, {0, "0 sec.  (~= 0 min.)"}}) {
        std::ostringstream out;
        matchApp::printOverallTime(out, seconds);
        EXPECT_EQ(out.str(), std::string("\n\nOverall processing time: ") + text + "\n\n\n");
    }
}

TEST(RandomSeed, OnlyPlainDecimalIntegersInRange) {
    EXPECT_EQ(matchApp::parseRandomSeed("0"), 0u);
    EXPECT_EQ(matchApp::parseRandomSeed("4294967295"), 4294967295u);
    for (const char* text : {"4294967296", "-1", "+3", " 7", "7x", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(matchApp::parseRandomSeed(text), std::nullopt) << (text ? text : "null");
}

TEST(FileLister, ListsOnlyExactTxtExtensionWhateverTheEntryType) {
    karvel_test::WorkDir dir(false);
    for (const char* name : {"a.txt", "b.TXT", "c.txt.bak", "noext", ".txt", "d.log", "e.b.txt"})
        karvel_test::writeFile(dir.file(name), "x");
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

namespace {

// A stand-in matcher whose traces finish in reverse order, so an unordered printer would show it.
matchApp::TraceMatcher slowFirstMatcher(size_t count) {
    matchApp::TraceMatcher m;
    m.load = [](const std::string& file, std::ostream& log) {
        log << "loading " << file << "\n";
        Route r;
        r.name = file;
        r.nodes.resize(file.size());
        return r;
    };
    m.match = [count](Route& route, std::ostream& log) {
        const int rank = std::stoi(route.name.substr(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * (count - rank)));
        log << "matching " << route.name << "\n";
        matchApp::TraceMatch result;
        auto path = std::make_unique<Path>();
        path->startIndex = path->lastIndex = rank;
        path->links = {{rank, rank + 100}};
        result.paths.push_back(std::move(path));
        auto gap = std::make_unique<_unmatchinfo>();
        gap->startNode = rank;
        result.unmatched.push_back(std::move(gap));
        return result;
    };
    return m;
}

// Also checks that each trace's result is handed over, as its own, in list order.
std::string runWith(unsigned jobs, const std::vector<std::string>& files) {
    matchApp::TraceMatcher matcher = slowFirstMatcher(files.size());
    std::vector<std::string> seen;
    matcher.finished = [&](const Route& route, const matchApp::TraceMatch& result) {
        EXPECT_EQ(result.paths.front()->startIndex, std::stoi(route.name.substr(1))) << "its own result";
        seen.push_back(route.name);
    };
    std::ostringstream out;
    matchApp::runBatch(files, matcher, jobs, out);
    EXPECT_EQ(seen, files) << jobs << " threads";
    return out.str();
}

}  // namespace

TEST(Batch, ThreadsPrintTheSameBlocksInListOrder) {
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i) files.push_back("t" + std::to_string(i));
    const std::string one = runWith(1, files);
    EXPECT_EQ(one.find("loading t0\n\tRoute #0: t0\nmatching t0\nPaths: \n"), 0u);
    EXPECT_LT(one.find("\tRoute #10: t10\n"), one.find("\tRoute #11: t11\n"));
    for (unsigned jobs : {2u, 3u, 16u}) EXPECT_EQ(runWith(jobs, files), one) << jobs << " threads";
    EXPECT_EQ(runWith(4, {}), "");
}
