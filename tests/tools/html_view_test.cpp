// --format html as a user meets it: karvel-match and karvel-export write a page per simulated drive
// and an index, and each page's figures agree with the CSV of the same run. (That a page draws in a
// browser what it carries: html_writer_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "app/html_writer.h"
#include "test_support.h"

using karvel_test::binaryPath;
using karvel_test::readFile;
using karvel_test::runCommand;
using karvel_test::TempDir;

namespace {

namespace fs = std::filesystem;

struct CsvTrace {
    size_t fixes = 0, placed = 0;
    std::set<std::string> pieces;
};

// Rows per trace of karvel-match's CSV.
std::map<std::string, CsvTrace> csvTraces(const std::string& csv) {
    std::map<std::string, CsvTrace> traces;
    for (const auto& row : karvel_test::csvRows(csv)) {
        CsvTrace& t = traces[row.at("trace")];
        ++t.fixes;
        if (!row.at("link").empty()) {
            ++t.placed;
            t.pieces.insert(row.at("piece"));
        }
    }
    return traces;
}

}  // namespace

TEST(HtmlFormat, PagesOfSimulatedDrivesAgreeWithTheCsv) {
    TempDir dir;
    karvel_test::makeWorkFolder(dir);
    ASSERT_EQ(dir.run("$S --out data/nmea --truth truth --traces 2 --seed 3 --duration 150 --dropouts 0.01")
                  .exitCode,
              0);
    const auto csv = dir.run("$M -q --format csv");
    ASSERT_EQ(csv.exitCode, 0);
    const auto traces = csvTraces(csv.out);
    ASSERT_EQ(traces.size(), 2u);

    fs::create_directories(dir / "view");
    ASSERT_EQ(dir.run("$M -q --format html -o view/drives.html").exitCode, 0);
    const std::string index = dir.read("view/drives.html");
    for (const auto& [name, t] : traces) {
        const std::string page = "drives-" + name + ".html";
        EXPECT_NE(index.find("<a href=\"" + page + "\">" + name + "</a>"), std::string::npos) << index;
        const auto summary = htmlView::summaryOfPage(dir.read(("view/" + page)));
        ASSERT_TRUE(summary) << page;
        EXPECT_EQ(summary->fixes, t.fixes);
        EXPECT_EQ(summary->placed, t.placed);
        EXPECT_EQ(summary->pieces, t.pieces.size());
    }
    // An index made afterwards from the finished pages (as a batch over several hosts makes it) is
    // the one the run wrote; something that is no such page leaves the index alone.
    std::string pages;
    for (const auto& [name, t] : traces) pages += " view/drives-" + name + ".html";
    const auto rebuilt = dir.run("$E --index view/again.html" + pages);
    EXPECT_EQ(rebuilt.exitCode, 0) << rebuilt.err;
    EXPECT_EQ(dir.read("view/again.html"), index);
    const auto stranger = dir.run("$E --index view/again.html data/map.txt" + pages);
    EXPECT_EQ(stranger.exitCode, 1);
    EXPECT_EQ(stranger.err, "ERROR: not a page of a matched trace: data/map.txt\n");
    EXPECT_EQ(dir.read("view/again.html"), index);

    // Two pages cannot go to standard output; one can.
    const auto both = dir.run("$M -q --format html");
    EXPECT_NE(both.exitCode, 0);
    EXPECT_NE(both.err.find("ERROR: the HTML of 2 traces"), std::string::npos) << both.err;
    fs::remove(dir / ("data/nmea/" + traces.rbegin()->first + ".txt"));
    const auto one = dir.run("$M -q --format html > one.html");
    EXPECT_EQ(one.exitCode, 0);
    EXPECT_EQ(htmlView::summaryOfPage(dir.read("one.html"))->name, traces.begin()->first);

    // The report of that run, exported.
    ASSERT_EQ(dir.run("$M -q > report.txt").exitCode, 0);
    const auto exported = dir.run("$E --report report.txt --map data/map.txt --format html -o exported.html");
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(htmlView::summaryOfPage(dir.read("exported.html"))->fixes, traces.begin()->second.fixes);
}
