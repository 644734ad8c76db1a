#include "tools/eval/evaluator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

namespace matchEval {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double ratio(double a, double b) {
    return b > 0 ? a / b : kNaN;
}

std::string format(const char* fmt, double v) {
    if (!std::isfinite(v)) return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string percent(double fraction) {
    return std::isfinite(fraction) ? format("%.1f %%", 100.0 * fraction) : "n/a";
}

// Median of the defined values; NaN when there is none.
double medianOf(std::vector<double> values) {
    std::erase_if(values, [](double v) { return !std::isfinite(v); });
    if (values.empty()) return kNaN;
    std::sort(values.begin(), values.end());
    const size_t m = values.size() / 2;
    return values.size() % 2 == 1 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

// Mean of the defined values; NaN when there is none.
double meanOf(const std::vector<double>& values) {
    double sum = 0.0;
    int n = 0;
    for (double v : values)
        if (std::isfinite(v)) {
            sum += v;
            ++n;
        }
    return n > 0 ? sum / n : kNaN;
}

}  // namespace

double TraceScore::matchedFraction() const {
    return ratio(matched, points);
}
double TraceScore::onTrueFraction() const {
    return ratio(onTrueLink, checked);
}
double TraceScore::mismatch() const {
    return ratio(addedLength + missedLength, trueLength);
}
double TraceScore::setMismatch() const {
    return ratio(setAddedLength + setMissedLength, setTrueLength);
}
double TraceScore::pointsPerSecond() const {
    return seconds > 0 ? points / seconds : kNaN;
}

std::vector<int> matchedRoute(const ReportTrace& trace, const LinkGraph& graph) {
    std::vector<int> route;
    for (const ReportPath& path : trace.paths) {
        int previous = route.empty() ? -1 : route.back();
        if (!path.driven.empty()) {
            for (int link : path.driven)
                if (link != previous) route.push_back(previous = link);
            continue;
        }
        bool first = true;
        for (const auto& [point, link] : path.pairs) {
            if (link < 0) continue;
            if (link == previous) {
                first = false;
                continue;
            }
            if (!first && previous >= 0 && !graph.isConnected(previous, link)) {
                const std::vector<int> between = graph.linksBetween(previous, link);
                route.insert(route.end(), between.begin(), between.end());
            }
            route.push_back(link);
            previous = link;
            first = false;
        }
    }
    return route;
}

RouteDifference compareRoutes(const std::vector<int>& truth, const std::vector<int>& matched,
                              const LinkGraph& graph) {
    RouteDifference d;
    std::map<int, long long> balance;  // times driven minus times matched
    for (int l : truth) {
        ++balance[l];
        d.trueLength += graph.length(l);
        if (!graph.has(l)) ++d.unknownLinks;
    }
    for (int l : matched) {
        --balance[l];
        if (!graph.has(l)) ++d.unknownLinks;
    }
    for (const auto& [link, b] : balance) {
        const double length = graph.length(link);
        if (b > 0)
            d.missed += static_cast<double>(b) * length;
        else if (b < 0)
            d.added += static_cast<double>(-b) * length;
    }
    return d;
}

RouteDifference compareLinkSets(const std::vector<int>& truth, const std::vector<int>& matched,
                                const LinkGraph& graph) {
    const std::set<int> t(truth.begin(), truth.end());
    const std::set<int> m(matched.begin(), matched.end());
    RouteDifference d;
    for (int l : t) {
        d.trueLength += graph.length(l);
        if (!m.count(l)) d.missed += graph.length(l);
        if (!graph.has(l)) ++d.unknownLinks;
    }
    for (int l : m) {
        if (!t.count(l)) d.added += graph.length(l);
        if (!graph.has(l)) ++d.unknownLinks;
    }
    return d;
}

TraceScore scoreTrace(const ReportTrace& trace, const traceSim::GroundTruth& truth, const LinkGraph& graph) {
    TraceScore s;
    s.name = truth.name.empty() ? trace.name : truth.name;
    s.points = truth.points;
    if (s.points <= 0) {
        // No count in the truth: the report's last point is the last of the trace.
        int last = -1;
        for (const ReportPath& p : trace.paths)
            for (const auto& pair : p.pairs) last = std::max(last, pair.first);
        for (const ReportUnmatched& u : trace.unmatched) last = std::max(last, u.endNode);
        s.points = last + 1;
    }
    std::vector<int> linkOfPoint(static_cast<size_t>(std::max(0, s.points)), -1);
    for (const ReportPath& p : trace.paths)
        for (const auto& [point, link] : p.pairs) {
            if (point < 0 || point >= s.points) {
                ++s.badPoints;
                continue;
            }
            if (link >= 0) linkOfPoint[point] = link;
        }
    for (size_t i = 0; i < linkOfPoint.size(); ++i) {
        if (linkOfPoint[i] < 0) continue;
        ++s.matched;
        if (!graph.has(linkOfPoint[i])) ++s.unknownLinks;
        if (i < truth.fixes.size() && truth.fixes[i].link >= 0) {
            ++s.checked;
            if (truth.fixes[i].link == linkOfPoint[i]) ++s.onTrueLink;
        }
    }
    const std::vector<int> route = matchedRoute(trace, graph);
    const RouteDifference d = compareRoutes(truth.route, route, graph);
    s.trueLength = d.trueLength;
    s.addedLength = d.added;
    s.missedLength = d.missed;
    const RouteDifference sets = compareLinkSets(truth.route, route, graph);
    s.setTrueLength = sets.trueLength;
    s.setAddedLength = sets.added;
    s.setMissedLength = sets.missed;
    return s;
}

double Totals::pooledMatched() const {
    return ratio(static_cast<double>(matched), static_cast<double>(points));
}
double Totals::pooledOnTrue() const {
    return ratio(static_cast<double>(onTrueLink), static_cast<double>(checked));
}
double Totals::pooledMismatch() const {
    return ratio(wrongLength, trueLength);
}
double Totals::pointsPerSecond() const {
    return ratio(static_cast<double>(timedPoints), seconds);
}

Totals totals(const std::vector<TraceScore>& scores) {
    Totals t;
    std::vector<double> matched, onTrue, mismatch, setMismatch;
    for (const TraceScore& s : scores) {
        ++t.traces;
        t.points += s.points;
        t.matched += s.matched;
        t.checked += s.checked;
        t.onTrueLink += s.onTrueLink;
        t.trueLength += s.trueLength;
        t.wrongLength += s.addedLength + s.missedLength;
        if (s.seconds > 0) {
            t.seconds += s.seconds;
            t.timedPoints += s.points;
        }
        matched.push_back(s.matchedFraction());
        onTrue.push_back(s.onTrueFraction());
        mismatch.push_back(s.mismatch());
        setMismatch.push_back(s.setMismatch());
    }
    t.meanSetMismatch = meanOf(setMismatch);
    t.medianSetMismatch = medianOf(setMismatch);
    t.minMatched = kNaN;
    for (double m : matched)
        if (std::isfinite(m) && !(m >= t.minMatched)) t.minMatched = m;
    t.meanMatched = meanOf(matched);
    t.meanOnTrue = meanOf(onTrue);
    t.meanMismatch = meanOf(mismatch);
    return t;
}

void printScores(std::ostream& out, const std::vector<TraceScore>& scores) {
    char line[512];
    std::snprintf(line, sizeof line, "%-24s %8s %9s %13s %10s %10s %10s %12s %9s\n", "trace", "points",
                  "matched", "on true link", "mismatch", "added m", "missed m", "true route m", "points/s");
    out << line;
    for (const TraceScore& s : scores) {
        std::snprintf(line, sizeof line, "%-24s %8d %9s %13s %10s %10s %10s %12s %9s\n", s.name.c_str(),
                      s.points, percent(s.matchedFraction()).c_str(), percent(s.onTrueFraction()).c_str(),
                      format("%.4f", s.mismatch()).c_str(), format("%.1f", s.addedLength).c_str(),
                      format("%.1f", s.missedLength).c_str(), format("%.1f", s.trueLength).c_str(),
                      format("%.1f", s.pointsPerSecond()).c_str());
        out << line;
        if (s.unknownLinks > 0 || s.badPoints > 0)
            out << "  note: " << s.unknownLinks << " links not in the map, " << s.badPoints
                << " points outside the trace\n";
    }
    const Totals t = totals(scores);
    out << "Overall: " << t.traces << " traces, " << t.points << " points; matched "
        << percent(t.pooledMatched()) << "; on true link " << percent(t.pooledOnTrue()) << " (mean of traces "
        << percent(t.meanOnTrue) << "); route mismatch mean " << format("%.4f", t.meanMismatch) << ", pooled "
        << format("%.4f", t.pooledMismatch()) << "; " << format("%.1f", t.pointsPerSecond())
        << " points/s; as link sets mean " << format("%.4f", t.meanSetMismatch) << ", median "
        << format("%.4f", t.medianSetMismatch) << "; fewest matched " << percent(t.minMatched) << "\n";
}

std::string tsvLine(const TraceScore& s) {
    std::ostringstream o;
    o.precision(12);
    o << s.label << '\t' << s.name << '\t' << s.points << '\t' << s.matched << '\t' << s.checked << '\t'
      << s.onTrueLink << '\t' << s.trueLength << '\t' << s.addedLength << '\t' << s.missedLength << '\t'
      << s.unknownLinks << '\t' << s.badPoints << '\t' << s.seconds << '\t' << s.setTrueLength << '\t'
      << s.setAddedLength << '\t' << s.setMissedLength;
    return o.str();
}

bool parseTsvLine(const std::string& line, TraceScore& s) {
    std::vector<std::string> f;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, '\t')) f.push_back(cell);
    if (f.size() != 12 && f.size() != 15) return false;
    s = TraceScore{};
    s.label = f[0];
    s.name = f[1];
    try {
        size_t used = 0;
        auto integer = [&](const std::string& t, int& v) {
            v = std::stoi(t, &used);
            return used == t.size();
        };
        auto real = [&](const std::string& t, double& v) {
            v = std::stod(t, &used);
            return used == t.size();
        };
        return integer(f[2], s.points) && integer(f[3], s.matched) && integer(f[4], s.checked) &&
               integer(f[5], s.onTrueLink) && real(f[6], s.trueLength) && real(f[7], s.addedLength) &&
               real(f[8], s.missedLength) && integer(f[9], s.unknownLinks) && integer(f[10], s.badPoints) &&
               real(f[11], s.seconds) &&
               (f.size() == 12 || (real(f[12], s.setTrueLength) && real(f[13], s.setAddedLength) &&
                                   real(f[14], s.setMissedLength)));
    } catch (...) {  // std::stoi and std::stod throw on text that is not a number
        return false;
    }
}

std::string markdownTables(const std::vector<TraceScore>& scores) {
    std::vector<std::string> labels;
    std::map<std::string, std::vector<TraceScore>> byLabel;
    for (const TraceScore& s : scores) {
        if (!byLabel.count(s.label)) labels.push_back(s.label);
        byLabel[s.label].push_back(s);
    }
    std::ostringstream o;
    o << "| set | traces | points | matched | on true link (mean / pooled) | route mismatch (mean / pooled) "
         "| points/s | as link sets (mean / median) | fewest matched |\n";
    o << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const std::string& label : labels) {
        const Totals t = totals(byLabel[label]);
        o << "| " << label << " | " << t.traces << " | " << t.points << " | " << percent(t.pooledMatched())
          << " | " << percent(t.meanOnTrue) << " / " << percent(t.pooledOnTrue()) << " | "
          << format("%.4f", t.meanMismatch) << " / " << format("%.4f", t.pooledMismatch()) << " | "
          << format("%.1f", t.pointsPerSecond()) << " | " << format("%.4f", t.meanSetMismatch) << " / "
          << format("%.4f", t.medianSetMismatch) << " | " << percent(t.minMatched) << " |\n";
    }
    for (const std::string& label : labels) {
        o << "\n### " << label << "\n\n";
        o << "| trace | points | matched | on true link | route mismatch | as link sets | added m | missed m "
             "| true route m | seconds | points/s |\n";
        o << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        for (const TraceScore& s : byLabel[label])
            o << "| " << s.name << " | " << s.points << " | " << percent(s.matchedFraction()) << " | "
              << percent(s.onTrueFraction()) << " | " << format("%.4f", s.mismatch()) << " | "
              << format("%.4f", s.setMismatch()) << " | " << format("%.1f", s.addedLength) << " | "
              << format("%.1f", s.missedLength) << " | " << format("%.1f", s.trueLength) << " | "
              << format("%.2f", s.seconds > 0 ? s.seconds : kNaN) << " | "
              << format("%.1f", s.pointsPerSecond()) << " |\n";
        const Totals t = totals(byLabel[label]);
        o << "| **all** (mean of traces) | " << t.points << " | " << percent(t.meanMatched) << " | "
          << percent(t.meanOnTrue) << " | " << format("%.4f", t.meanMismatch) << " | "
          << format("%.4f", t.meanSetMismatch) << " | | | " << format("%.1f", t.trueLength) << " | "
          << format("%.2f", t.seconds > 0 ? t.seconds : kNaN) << " | " << format("%.1f", t.pointsPerSecond())
          << " |\n";
    }
    return o.str();
}

}  // namespace matchEval
