// The shared batch loop: blocks and results in list order, and the same text whatever the number of
// threads.
#include "app/batch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

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
