#include "tools/eval/report.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <set>

#include "traces/input_file.h"

namespace matchEval {

namespace {

// Reads a signed decimal integer at text[pos] (after optional blanks) and moves pos past it.
bool readInt(const std::string& text, size_t& pos, int& value) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (pos >= text.size()) return false;
    const char* begin = text.c_str() + pos;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    pos += static_cast<size_t>(end - begin);
    value = static_cast<int>(v);
    return true;
}

// Reads the integer that follows `label` in the line.
bool intAfter(const std::string& line, const std::string& label, int& value) {
    const size_t at = line.find(label);
    if (at == std::string::npos) return false;
    size_t pos = at + label.size();
    return readInt(line, pos, value);
}

bool expect(const std::string& text, size_t& pos, char c) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

bool parsePath(const std::string& line, ReportPath& path) {
    if (!intAfter(line, " Start: ", path.start) || !intAfter(line, " Last: ", path.last)) return false;
    const size_t at = line.find(" Links: ");
    if (at == std::string::npos) return false;
    size_t pos = at + 8;
    while (true) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        if (pos >= line.size()) return true;
        int point = 0, link = 0;
        if (!expect(line, pos, '(') || !readInt(line, pos, point) || !expect(line, pos, ',') ||
            !readInt(line, pos, link) || !expect(line, pos, ')'))
            return false;
        path.pairs.emplace_back(point, link);
    }
}

bool parseUnmatched(const std::string& line, ReportUnmatched& u) {
    return intAfter(line, "Start node: ", u.startNode) && intAfter(line, " End node: ", u.endNode) &&
           intAfter(line, " Last Match: ", u.lastMatch) && intAfter(line, " Next Match: ", u.nextMatch) &&
           intAfter(line, " Last Path: ", u.lastPath) && intAfter(line, " Next Path: ", u.nextPath);
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

Report parseReport(std::istream& in) {
    Report report;
    std::string line;
    ReportTrace* current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (startsWith(line, "\tRoute #")) {
            ReportTrace trace;
            size_t pos = 8;
            if (!readInt(line, pos, trace.number)) trace.number = -1;
            const size_t colon = line.find(": ", 8);
            if (colon != std::string::npos) trace.name = line.substr(colon + 2);
            report.traces.push_back(trace);
            current = &report.traces.back();
            report.complete = false;
        } else if (startsWith(line, "Score: ")) {
            if (current == nullptr) continue;
            ReportPath path;
            if (parsePath(line, path))
                current->paths.push_back(std::move(path));
            else
                ++current->malformedLines;
        } else if (startsWith(line, "Start node: ")) {
            if (current == nullptr) continue;
            ReportUnmatched u;
            if (parseUnmatched(line, u))
                current->unmatched.push_back(u);
            else
                ++current->malformedLines;
        } else if (startsWith(line, "Overall processing time: ")) {
            const std::string number = line.substr(25);
            char* end = nullptr;
            const double v = std::strtod(number.c_str(), &end);
            if (end != number.c_str()) report.overallSeconds = v;
            current = nullptr;
        } else if (startsWith(line, "Finished running Ostrand.")) {
            current = nullptr;
        } else if (startsWith(line, "Unmatched Info: ")) {
            // Every block has this line after its paths (karvel-match prints no closing lines).
            if (current != nullptr) report.complete = true;
        }
        if (in.eof()) report.complete = false;  // the last line has no line end: cut mid-line
    }
    return report;
}

namespace {

// The name of a trace the report holds twice, if any.
const std::string* repeatedTrace(const Report& report) {
    std::set<std::string> names;
    for (const ReportTrace& trace : report.traces)
        if (!names.insert(trace.name).second) return &trace.name;
    return nullptr;
}

}  // namespace

bool loadReport(const std::string& path, Report& report, std::string& error) {
    // A FIFO would block the reading and a device would feed it without end.
    if (const std::string why = inputFile::unreadable(path); !why.empty()) {
        error = "cannot read the report " + path + ": " + why;
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the report " + path;
        return false;
    }
    report = parseReport(in);
    // An empty, cut or binary file would otherwise score every trace as unmatched and look like a
    // result.
    if (report.traces.empty()) {
        error = "the report " + path + " holds no route";
        return false;
    }
    if (!report.complete) {
        error = "the report " + path + " is cut off in its last route";
        return false;
    }
    if (const std::string* name = repeatedTrace(report)) {
        error = "the report " + path + " holds the trace \"" + inputFile::printable(*name) + "\" twice";
        return false;
    }
    return true;
}

}  // namespace matchEval
