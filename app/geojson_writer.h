// GeoJSON results (RFC 7946) written as text straight away, feature by feature: a batch of long
// drives holds millions of values, and a document tree of them cost several times the matching.
// The text is laid out as nlohmann::json's dump(2) lays it out (two spaces a level, numbers with its
// shortest round-trip digits, invalid UTF-8 replaced), which is what earlier results hold, so files
// of old and new runs compare byte for byte.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/trace_rows.h"
#include "traces/route.h"

namespace matchApp {

// Appends JSON values to a string, indented as dump(2) indents them. The caller opens and closes
// objects and arrays in pairs and names every member of an object before its value.
class PrettyJson {
public:
    // `depth`: the level the first value is written at; `inArray`: that value is an element of an
    // array whose elements `elements` already holds (so a separator comes first).
    explicit PrettyJson(std::string& out, int depth = 0, bool inArray = false, size_t elements = 0);

    // Goes on in another string (between values).
    void continueIn(std::string& next) { out = &next; }

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view name);  // names the next member of the open object
    void string(std::string_view text);
    void number(double value);  // non-finite values are null
    void integer(int64_t value);
    void boolean(bool value);
    void null();

private:
    struct Level {
        bool array;
        size_t count;  // members or elements written
        int depth;     // of its brackets
    };
    std::string* out;
    std::vector<Level> levels;
    int base;

    int nextDepth() const;
    void beforeValue();
    void newLine(int depth);
    void open(char bracket, bool array);
    void close(char bracket);
    void quoted(std::string_view text);
};

// Text kept in pieces of about a megabyte: one string of a long drive's GeoJSON would be copied
// whole each time it grew. With a sink, full pieces go there and their room is used again.
class TextChunks {
public:
    std::string& last();                    // where to append; a new piece once the last one is full
    void writeTo(std::ostream& out) const;  // what is held
    void drainInto(std::ostream* sink) { drain = sink; }

private:
    std::vector<std::string> chunks;
    std::ostream* drain = nullptr;
};

// The features of one trace: a line per piece, then a line per driven link, then a point per fix.
// `depth` and `written` as for PrettyJson: the features go into the collection's array.
void addTraceFeatures(TextChunks& out, int depth, size_t written, const std::string& trace,
                      const Route& route, const TraceRows& rows);
// How many features addTraceFeatures writes for `rows`.
size_t traceFeatureCount(const TraceRows& rows);

}  // namespace matchApp
