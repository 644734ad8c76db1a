// Scores a karvel report against ground truth: how many fixes were matched, how many matched fixes
// lie on their true link, and the route mismatch fraction of Newson and Krumm (2009).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "map/link_graph.h"
#include "tools/eval/report.h"
#include "tools/sim/ground_truth.h"

namespace matchEval {

using mapRepresentation::LinkGraph;

struct TraceScore {
    std::string label;  // the set the trace belongs to, e.g. "kubicka" or "sim 1 s / 5 m"
    std::string name;
    int points = 0;             // trace points
    int matched = 0;            // points the report puts on a link
    int checked = 0;            // matched points whose true link is known
    int onTrueLink = 0;         // of those, the ones on their true link
    double trueLength = 0.0;    // metres of the driven route
    double addedLength = 0.0;   // metres of matched route that was not driven
    double missedLength = 0.0;  // metres of driven route that was not matched
    // The same with the routes taken as sets of directed links (a link counts once however often
    // it is driven): the figure other matchers publish.
    double setTrueLength = 0.0;
    double setAddedLength = 0.0;
    double setMissedLength = 0.0;
    int unknownLinks = 0;   // report links that are not in the map
    int badPoints = 0;      // report pairs whose point index lies outside the trace
    double seconds = -1.0;  // time karvel took for the trace; negative when unknown

    // NaN when undefined (no points, no checked points, an empty true route, unknown time).
    double matchedFraction() const;
    double onTrueFraction() const;
    double mismatch() const;
    double setMismatch() const;
    double pointsPerSecond() const;
};

// The route a report implies: per path, its driven links where the report has them; otherwise the
// links of its pairs in order, with the links crossed between two consecutive pairs whose links do
// not meet filled in by the fewest links. Paths are
// not joined to each other (the stretch between them is unmatched), but a path that starts on the
// link the previous one ended on does not drive that link a second time.
std::vector<int> matchedRoute(const ReportTrace& trace, const LinkGraph& graph);

// Lengths of the route mismatch: the routes are compared as multisets of links, so a link driven
// twice must be matched twice. Breaks in either route need no special care.
struct RouteDifference {
    double trueLength = 0.0;
    double added = 0.0;
    double missed = 0.0;
    int unknownLinks = 0;  // links of either route not in the graph (they count with length 0)
};
RouteDifference compareRoutes(const std::vector<int>& truth, const std::vector<int>& matched,
                              const LinkGraph& graph);

// The route mismatch with both routes taken as sets of directed links.
RouteDifference compareLinkSets(const std::vector<int>& truth, const std::vector<int>& matched,
                                const LinkGraph& graph);

TraceScore scoreTrace(const ReportTrace& trace, const traceSim::GroundTruth& truth, const LinkGraph& graph);

// Figures over several traces.
struct Totals {
    int traces = 0;
    long long points = 0, matched = 0, checked = 0, onTrueLink = 0;
    double trueLength = 0.0, wrongLength = 0.0;
    double meanMatched = 0.0, meanOnTrue = 0.0,
           meanMismatch = 0.0;  // means of the per-trace fractions (NaN: none)
    double meanSetMismatch = 0.0, medianSetMismatch = 0.0;
    double minMatched = 0.0;  // the lowest per-trace matched fraction
    double seconds = 0.0;     // of the traces with a known time
    long long timedPoints = 0;

    double pooledMatched() const;
    double pooledOnTrue() const;
    double pooledMismatch() const;
    double pointsPerSecond() const;
};
Totals totals(const std::vector<TraceScore>& scores);

// Per-trace lines and an overall line, for the console.
void printScores(std::ostream& out, const std::vector<TraceScore>& scores);

// One tab-separated line per trace (no line end), and back; the label must not hold tabs. Lines
// written before the link-set figures existed (12 fields) still read, without them.
std::string tsvLine(const TraceScore& score);
bool parseTsvLine(const std::string& line, TraceScore& score);

// Markdown: a summary table with one row per label, then one table per label with a row per trace.
std::string markdownTables(const std::vector<TraceScore>& scores);

}  // namespace matchEval
