// The HTML view: the figures and data a page carries, the roads it draws, the files of several
// traces, and the page opened in headless Chromium (no script error, the numbers it drew, a
// screenshot that shows the route).
#include "app/html_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/result_writer.h"
#include "headless_browser.h"
#include "small_run.h"
#include "test_support.h"
#include "traces/trace_time.h"

using matchApp::ResultFormat;
using matchApp::ResultWriter;
using matchApp::TraceOnMap;

namespace {

using nlohmann::json;

// The small run with its fixes 10 s apart and a name that must not end the page's script.
struct DrawnRun : karvel_test::SmallRun {
    explicit DrawnRun(const std::string& name = "run \"7\" </script>") : SmallRun(name, 10) {}
    TraceOnMap laid() const {
        const auto map = mapRepresentation::CompactMap::build(world.map);
        return matchApp::layOnMap(route, paths, map, mapRepresentation::LinkGraph::fromMap(map));
    }
    std::string page() const {
        const TraceOnMap l = laid();
        std::ostringstream out;
        htmlView::writePage(out, htmlView::summarize(route, l),
                            htmlView::pageData(route, l, mapRepresentation::CompactMap::build(world.map)));
        return out.str();
    }
};

// The JSON a page hands its script.
json pageJson(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=\"karvel-data\">";
    const size_t from = page.find(open) + open.size();
    return json::parse(page.substr(from, page.find("</script>", from) - from));
}

}  // namespace

TEST(HtmlView, SummaryAndWhatThePageCarries) {
    const DrawnRun run;
    const htmlView::TraceSummary s = htmlView::summarize(run.route, run.laid());
    EXPECT_EQ(s.fixes, 7u);
    EXPECT_EQ(s.placed, 6u);
    EXPECT_EQ(s.pieces, 2u);
    EXPECT_NEAR(s.lengthMetres, 280.0 + 60.0, 0.5);  // x = 10 to 290, and 20 to 80 on the lone road
    EXPECT_EQ(s.seconds, 60u);
    EXPECT_EQ(s.start, "2020-06-01T12:00:00Z");

    const std::string page = run.page();
    const auto back = htmlView::summaryOfPage(page);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, run.route.name);
    EXPECT_EQ(back->placed, 6u);
    EXPECT_EQ(back->seconds, 60u);
    EXPECT_NEAR(back->lengthMetres, s.lengthMetres, 0.05);
    EXPECT_FALSE(htmlView::summaryOfPage("<html></html>"));
    // The name's "</script>" ends no element: only the page's four scripts close.
    EXPECT_EQ(karvel_test::occurrences(page, "</script>"), 4u);
    EXPECT_NE(page.find("<h1>run &quot;7&quot; &lt;/script&gt;</h1>"), std::string::npos);
    EXPECT_NE(page.find("<td>6 (85.7 %)</td>"), std::string::npos);
    EXPECT_NE(page.find("<td>0:01:00</td>"), std::string::npos);
    // Offline: nothing is loaded from elsewhere, and the library is inline.
    EXPECT_EQ(page.find(" src="), std::string::npos);
    EXPECT_EQ(page.find("<link"), std::string::npos);
    EXPECT_NE(page.find(".leaflet-container"), std::string::npos);

    const json data = pageJson(page);
    const auto& fixes = data["fixes"];
    EXPECT_EQ(fixes["link"], json::parse("[1,1,3,3,0,6,6]"));
    EXPECT_EQ(fixes["piece"], json::parse("[0,0,0,0,-1,1,1]"));
    EXPECT_EQ(fixes["t"][0], 1591012800);  // seconds since 1970, then the steps
    EXPECT_EQ(fixes["t"][1], 10);
    EXPECT_EQ(fixes["dist"][0],
              51);  // decimetres to the road (the fixture's fix is 5 m off in its own plane)
    EXPECT_EQ(fixes["dist"][4], 0);
    // Positions are steps of millionths of a degree: the first two add up to the second fix.
    EXPECT_NEAR((fixes["lat"][0].get<double>() + fixes["lat"][1].get<double>()) / 1e6,
                run.route.nodes[1].position.lat, 1e-6);
    EXPECT_NEAR((fixes["lon"][0].get<double>() + fixes["lon"][1].get<double>()) / 1e6,
                run.route.nodes[1].position.lon, 1e-6);
    EXPECT_EQ(data["pieces"].size(), 2u);
}

// Roads within the trace's box and a margin, each drawn once: the two links of the last stretch
// (3 and 5) are one two-way road; the rest are one-way; the road 5 km away is left out.
TEST(HtmlView, RoadsAroundTheTraceWithOneWaysMarked) {
    const DrawnRun run;
    const json links = pageJson(run.page())["roads"]["links"];
    ASSERT_EQ(links.size(), 5u * 4);  // id, origin, destination, the other way's id (0: one-way)
    std::map<int, int> otherWay;
    for (size_t k = 0; k < links.size(); k += 4) otherWay[links[k].get<int>()] = links[k + 3].get<int>();
    EXPECT_EQ(otherWay, (std::map<int, int>{{1, 0}, {2, 0}, {3, 5}, {4, 0}, {6, 0}}));
}

// Several traces: a page each beside the index (names made safe and unique), the index last; on a
// stream only one page fits.
TEST(HtmlView, SeveralTracesGetAPageEachAndAnIndex) {
    const DrawnRun a("a/b"), b("a:b");
    karvel_test::TempDir dir;
    ResultWriter writer(ResultFormat::Html, a.world.map);
    writer.add(a.route, a.paths, a.unmatched);
    EXPECT_EQ(writer.streamProblem(), "");
    std::string error;
    ASSERT_TRUE(writer.writeFile(dir / "one.html", error)) << error;
    EXPECT_TRUE(htmlView::summaryOfPage(dir.read("one.html")));

    writer.add(b.route, b.paths, b.unmatched);
    EXPECT_NE(writer.streamProblem(), "");
    ASSERT_TRUE(writer.writeFile(dir / "run.html", error)) << error;
    const std::string index = dir.read("run.html");
    EXPECT_NE(index.find("<a href=\"run-a_b.html\">a/b</a>"), std::string::npos) << index;
    EXPECT_NE(index.find("<a href=\"run-a_b-2.html\">a:b</a>"), std::string::npos) << index;
    EXPECT_NE(index.find("<td>2 traces</td><td>14</td><td>85.7 %</td>"), std::string::npos) << index;
    EXPECT_EQ(htmlView::summaryOfPage(dir.read("run-a_b-2.html"))->name, "a:b");

    EXPECT_FALSE(writer.writeFile(dir / "missing/run.html", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos);

    // An index over pages written elsewhere, as a merge of several runs makes it.
    std::filesystem::create_directories(dir / "merged");
    ASSERT_TRUE(htmlView::writeIndexOfPages(dir / "merged/all.html",
                                            {dir / "run-a_b-2.html", dir / "one.html"}, error))
        << error;
    const std::string merged = dir.read("merged/all.html");
    EXPECT_LT(merged.find("<a href=\"../run-a_b-2.html\">a:b</a>"),
              merged.find("<a href=\"../one.html\">a/b</a>"));
    EXPECT_FALSE(htmlView::writeIndexOfPages(dir / "merged/bad.html", {dir / "run.html"}, error));
    EXPECT_EQ(error, "not a page of a matched trace: " + dir / "run.html");
    EXPECT_FALSE(std::filesystem::exists(dir / "merged/bad.html"));
}

// Chromium opens the page from disk with no network: the script ran without error and drew every
// fix, placed point and piece; the screenshot shows the first piece's colour and the unmatched fix.
TEST(HtmlView, PageDrawsInARealBrowser) {
    const DrawnRun run;
    karvel_test::TempDir dir;
    dir.write("page.html", run.page());
    const karvel_test::BrowserPage page = karvel_test::renderedDom(dir / "page.html");
    if (!page.ok) {
        if (const auto why = karvel_test::browserUnavailable()) GTEST_SKIP() << *why;
        FAIL() << "Chromium could not show the page: " << page.log;
    }
    const auto attribute = [&](const char* name) { return karvel_test::bodyAttribute(page.dom, name); };
    EXPECT_EQ(attribute("data-error"), std::nullopt);
    EXPECT_EQ(attribute("data-status"), "drawn") << page.log;
    EXPECT_EQ(attribute("data-fixes"), "7");
    EXPECT_EQ(attribute("data-placed"), "6");
    EXPECT_EQ(attribute("data-unmatched"), "1");
    EXPECT_EQ(attribute("data-pieces"), "2");
    EXPECT_EQ(attribute("data-roads"), "5");
    EXPECT_EQ(attribute("data-painted"), "7");

    const auto shot = karvel_test::screenshot(dir / "page.html", 900, 600);
    ASSERT_TRUE(shot);
    // Left of the panel (whose legend shows the same colours): the first piece and the unmatched fix.
    EXPECT_GT(shot->count(0xd7, 0x19, 0x1c, 900 - 330), 50u);
    EXPECT_GT(shot->count(0xff, 0x2d, 0x2d, 900 - 330), 10u);
}

// Through the result writer the popups of roads with a row in the link table carry its way, name and
// speed limit; roads without one carry nothing.
TEST(HtmlView, RoadNotesComeFromTheLinkTable) {
    const DrawnRun run;
    mapRepresentation::LinkTable table;
    mapRepresentation::LinkAttributes a;
    a.wayId = 4242;
    a.name = "Rua Nova";
    a.maxspeed = 50;
    table.set(2, a);
    ResultWriter writer(ResultFormat::Html, run.world.map);
    writer.useLinkTable(&table);
    writer.add(run.route, run.paths, run.unmatched);
    std::ostringstream out;
    writer.write(out);
    const json notes = pageJson(out.str())["notes"];
    EXPECT_EQ(notes, json::parse(R"({"2": {"way": 4242, "name": "Rua Nova", "speed": 50.0}})"))
        << notes.dump();
}
