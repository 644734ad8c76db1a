// The GeoPackage writer behind openGpkgWriter, built as the module karvel-gpkg.so. Every file starts
// as a copy of the empty GeoPackage that GDAL/OGR made at build time (gpkg_layers.h); the rows go in
// through SQLite, many to a statement, with the triggers that keep the spatial index set aside,
// and the index is packed in one go at the end (gpkg_rtree.h). Through OGR, one feature and one
// index insert at a time, the file cost more than the matching itself on a long drive.
#include <sqlite3.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/gpkg/gpkg_layers.h"
#include "app/gpkg/gpkg_rtree.h"
#include "app/gpkg_writer.h"
#include "traces/trace_time.h"

using matchApp::FixOnMap;
using matchApp::FixRow;
using matchApp::GpkgWriter;
using matchApp::LinkRow;
using matchApp::TraceRows;

namespace fs = std::filesystem;
using mapRepresentation::LinkAttributes;
using matchApp::RtreeBox;
namespace gpkg = matchApp::gpkg;

namespace {

// Rows per insert statement: a statement's own work (running it, updating the table's id sequence)
// then costs little beside the rows'.
constexpr size_t kRowsPerInsert = 50;

// The UTC clock fields of a trace time. Undoing the trace time's zone asks the C library for the
// zone's offset, which reads the zone file on every call; within a minute the offset cannot
// change, so a minute's fields are kept and their seconds moved.
std::tm utcFields(uint32_t time) {
    thread_local uint32_t minute = traces::kTraceNoTime;
    thread_local std::tm start{};
    const uint32_t into = time % 60;
    if (time / 60 != minute) {
        minute = time / 60;
        start = traces::utcFromTraceTime(time - into);
    }
    std::tm fields = start;
    fields.tm_sec += static_cast<int>(into);
    return fields.tm_sec < 60 ? fields : traces::utcFromTraceTime(time);
}

// `width` digits of `value`, with leading zeros.
void digits(std::string& to, int value, int width) {
    char text[4];
    for (int i = width - 1; i >= 0; --i, value /= 10) text[i] = static_cast<char>('0' + value % 10);
    to.append(text, static_cast<size_t>(width));
}

// A trace time with fractions as GeoPackage date-time text, "YYYY-MM-DDThh:mm:ss.sssZ" in UTC.
void timeText(std::string& to, double time) {
    const auto millis = static_cast<uint64_t>(std::llround(time * 1000.0));
    const std::tm t = utcFields(static_cast<uint32_t>(millis / 1000));
    to.clear();
    digits(to, t.tm_year + 1900, 4);
    to += '-';
    digits(to, t.tm_mon + 1, 2);
    to += '-';
    digits(to, t.tm_mday, 2);
    to += 'T';
    digits(to, t.tm_hour, 2);
    to += ':';
    digits(to, t.tm_min, 2);
    to += ':';
    digits(to, t.tm_sec, 2);
    to += '.';
    digits(to, static_cast<int>(millis % 1000), 3);
    to += 'Z';
}

// Geometries in the GeoPackage's binary form: "GP", version, flags, SRS id, for a line its
// envelope, then little-endian WKB.
void putU32(std::string& to, uint32_t v) {
    for (int i = 0; i < 4; ++i, v >>= 8) to += static_cast<char>(v & 0xFF);
}
void putDouble(std::string& to, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i, bits >>= 8) to += static_cast<char>(bits & 0xFF);
}
void pointBlob(std::string& to, const _position& p) {
    to.assign({'G', 'P', '\0', '\x01'});  // little-endian, no envelope (a point is its own)
    putU32(to, gpkg::kWgs84);
    to += '\x01';
    putU32(to, 1);
    putDouble(to, p.lon);
    putDouble(to, p.lat);
}
void lineBlob(std::string& to, const std::vector<_position>& points, const RtreeBox& box) {
    to.assign({'G', 'P', '\0', '\x03'});  // little-endian, envelope minx, maxx, miny, maxy
    putU32(to, gpkg::kWgs84);
    for (const double v : {box.minX, box.maxX, box.minY, box.maxY}) putDouble(to, v);
    to += '\x01';
    putU32(to, 2);
    putU32(to, static_cast<uint32_t>(points.size()));
    for (const _position& p : points) {
        putDouble(to, p.lon);
        putDouble(to, p.lat);
    }
}

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

// A column's value of a row waiting for its insert.
struct Value {
    enum Kind { Null, Integer, Real, Text, Blob } kind = Null;
    int64_t integer = 0;
    double real = 0.0;
    std::string bytes;  // text or blob; kept, so that its room is reused row after row
};

// One row being filled: column 0 is the fid, 1 the geometry, field i is column i + 2; a column not
// set is null.
class Row {
public:
    explicit Row(Value* columns) : columns(columns) {}
    void null(int field) { columns[field + 2].kind = Value::Null; }
    void integer(int field, int64_t v) { set(field + 2, Value::Integer).integer = v; }
    void real(int field, double v) { set(field + 2, Value::Real).real = v; }
    void real(int field, const std::optional<double>& v) { v ? real(field, *v) : null(field); }
    void text(int field, const std::string& v) {
        if (v.empty()) return null(field);
        set(field + 2, Value::Text).bytes.assign(v);
    }
    void id(int field, int64_t v) { v != 0 ? integer(field, v) : null(field); }
    void time(int field, const std::optional<double>& v) {
        if (!v) return null(field);
        timeText(set(field + 2, Value::Text).bytes, *v);
    }
    std::string& geometry() { return set(1, Value::Blob).bytes; }
    // way_id, from_osm_node, to_osm_node, name, ref, highway and maxspeed_kmh from field `first` on.
    void attributes(int first, const LinkAttributes* a) {
        static const LinkAttributes none;
        const LinkAttributes& known = a != nullptr ? *a : none;
        id(first, known.wayId);
        id(first + 1, known.fromNode);
        id(first + 2, known.toNode);
        text(first + 3, known.name);
        text(first + 4, known.ref);
        text(first + 5, known.highway);
        real(first + 6, known.maxspeed);
    }

private:
    Value* columns;
    Value& set(int column, Value::Kind kind) {
        columns[column].kind = kind;
        return columns[column];
    }
};

// A layer's rows on their way in, with what the end needs: the boxes for the spatial index and the
// layer's extent.
class Layer {
public:
    template <size_t N>
    Layer(std::string table, const std::array<gpkg::Field, N>& fields)
        : table(std::move(table)), width(N + 2), pending(kRowsPerInsert * width) {
        for (const gpkg::Field& f : fields) names.emplace_back(f.name);
    }
    const std::string table;

    // The next row to fill, `box` its geometry's (none for no geometry).
    Row next(const RtreeBox* box) {
        const int64_t fid = ++rows;
        Value* columns = &pending[waiting * width];
        for (size_t i = 1; i < width; ++i) columns[i].kind = Value::Null;  // not what a row before left
        columns[0].kind = Value::Integer;
        columns[0].integer = fid;
        if (box != nullptr) {
            boxes.push_back({fid, box->minX, box->maxX, box->minY, box->maxY});
            extent.minX = std::min(extent.minX, box->minX);
            extent.maxX = std::max(extent.maxX, box->maxX);
            extent.minY = std::min(extent.minY, box->minY);
            extent.maxY = std::max(extent.maxY, box->maxY);
        }
        return Row(columns);
    }
    // Counts the filled row in; a full batch goes into the table. False on failure.
    bool filled(sqlite3* db) { return ++waiting < kRowsPerInsert || insert(db); }
    // The rows still waiting go in.
    bool flush(sqlite3* db) { return waiting == 0 || insert(db); }

    int64_t count() const { return rows; }
    void release() { full.reset(); }
    std::vector<RtreeBox> takeBoxes() { return std::move(boxes); }
    RtreeBox extent{0, INFINITY, -INFINITY, INFINITY, -INFINITY};

private:
    size_t width;  // columns per row
    std::vector<std::string> names;
    std::vector<Value> pending;  // kRowsPerInsert rows of `width` columns
    size_t waiting = 0;          // rows filled in `pending`
    int64_t rows = 0;
    Statement full;  // the insert of kRowsPerInsert rows
    std::vector<RtreeBox> boxes;

    Statement prepare(sqlite3* db, size_t count) const {
        std::string sql = "INSERT INTO \"" + table + "\" (\"fid\", \"geom\"";
        for (const std::string& name : names) sql += ", \"" + name + '"';
        sql += ") VALUES ";
        for (size_t row = 0; row < count; ++row) {
            sql += row == 0 ? "(?" : ", (?";
            for (size_t column = 1; column < width; ++column) sql += ", ?";
            sql += ')';
        }
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
        return Statement(s);
    }
    bool insert(sqlite3* db) {
        Statement partial;
        if (waiting < kRowsPerInsert) {
            partial = prepare(db, waiting);
        } else if (!full) {
            full = prepare(db, kRowsPerInsert);
        }
        sqlite3_stmt* s = waiting < kRowsPerInsert ? partial.get() : full.get();
        if (s == nullptr) return false;
        for (size_t i = 0; i < waiting * width; ++i) {
            const Value& v = pending[i];
            const int at = static_cast<int>(i) + 1;
            switch (v.kind) {
                case Value::Null:
                    sqlite3_bind_null(s, at);
                    break;
                case Value::Integer:
                    sqlite3_bind_int64(s, at, v.integer);
                    break;
                case Value::Real:
                    sqlite3_bind_double(s, at, v.real);
                    break;
                case Value::Text:
                    sqlite3_bind_text(s, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
                    break;
                case Value::Blob:
                    sqlite3_bind_blob(s, at, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_STATIC);
                    break;
            }
        }
        waiting = 0;
        const bool done = sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
        return done;
    }
};

struct Impl {
    fs::path folder;  // a scratch folder, when the file is not built in place
    std::string file;
    sqlite3* db = nullptr;
    Layer fixes{"fixes", gpkg::kFixFields}, links{"links", gpkg::kLinkFields};
    std::vector<std::string> triggers;  // of the two tables, set aside while the rows go in
    std::string error;
    bool closed = false;

    ~Impl() { close(); }
    void open(const std::string& target);
    void close() {
        fixes.release();
        links.release();
        if (db != nullptr) sqlite3_close_v2(db);
        db = nullptr;
    }
    bool exec(const std::string& sql) {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ||
               fail("cannot write the GeoPackage");
    }
    bool fail(const std::string& what) {
        if (error.empty()) error = what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot open it");
        return false;
    }
    void addFix(const std::string& trace, const _node& n, const FixRow& row);
    void addLink(const std::string& trace, const LinkRow& row);
    bool finish();
};

void Impl::open(const std::string& target) {
    file = target;
    if (file.empty()) {
        std::error_code ec;
        std::string pattern = (fs::temp_directory_path(ec) / "karvel-gpkg-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            error = "cannot make a temporary folder for the GeoPackage";
            return;
        }
        folder = pattern;
        file = folder / "results.gpkg";
    }
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(gpkg::kTemplate),
                  static_cast<std::streamsize>(gpkg::kTemplateSize));
        if (!out.flush()) {
            error = "cannot write the GeoPackage";
            return;
        }
    }
    // The connection is this writer's alone (no locking between threads). The file is a temporary
    // one, put in place only when complete: no journal, no syncing, and a small page cache, since rows
    // are only ever added at the end (a large one costs more in fresh memory than it saves).
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        fail("cannot open the GeoPackage");
        return;
    }
    if (!exec("PRAGMA synchronous = OFF; PRAGMA journal_mode = OFF; PRAGMA locking_mode = EXCLUSIVE;"
              "PRAGMA cache_size = -1024; BEGIN"))
        return;
    // The triggers keep the spatial index and the feature counts row by row (through functions that
    // only GDAL defines); they come back once the index is packed and the counts set.
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND tbl_name IN ('fixes', "
                       "'links')",
                       -1, &s, nullptr);
    std::vector<std::string> names;
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        triggers.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)));
    }
    sqlite3_finalize(s);
    for (const std::string& name : names)
        if (!exec("DROP TRIGGER \"" + name + "\"")) return;
}

void Impl::addFix(const std::string& trace, const _node& n, const FixRow& row) {
    const FixOnMap& fix = row.fix;
    const bool matched = fix.link >= 0;
    const _position& at = matched ? fix.snapped : n.position;
    const RtreeBox box{0, at.lon, at.lon, at.lat, at.lat};
    Row r = fixes.next(&box);
    pointBlob(r.geometry(), at);
    r.text(gpkg::kFixTrace, trace);
    r.integer(gpkg::kFixPoint, fix.point);
    r.time(gpkg::kFixTime,
           n.arrivalTime != traces::kTraceNoTime ? std::optional<double>(n.arrivalTime) : std::nullopt);
    r.real(gpkg::kFixLatitude, n.position.lat);
    r.real(gpkg::kFixLongitude, n.position.lon);
    r.integer(gpkg::kFixMatched, matched ? 1 : 0);
    const auto orNull = [&](auto value) { return matched ? std::optional<double>(value) : std::nullopt; };
    if (matched) r.integer(gpkg::kFixLink, fix.link);
    r.attributes(gpkg::kFixAttributes, matched ? row.attributes : nullptr);
    r.real(gpkg::kFixSnappedLatitude, orNull(fix.snapped.lat));
    r.real(gpkg::kFixSnappedLongitude, orNull(fix.snapped.lon));
    r.real(gpkg::kFixDistance, orNull(fix.distance));
    r.real(gpkg::kFixOffset, orNull(row.offset));
    r.real(gpkg::kFixRouteDistance, matched ? row.routeDistance : std::nullopt);
    r.real(gpkg::kFixSpeed, matched ? row.speed : std::nullopt);
    if (matched) r.integer(gpkg::kFixPiece, fix.piece);
    if (!fixes.filled(db)) fail("cannot write a fix to the GeoPackage");
}

void Impl::addLink(const std::string& trace, const LinkRow& row) {
    RtreeBox box{0, INFINITY, -INFINITY, INFINITY, -INFINITY};
    for (const _position& p : row.line) {
        box.minX = std::min(box.minX, p.lon);
        box.maxX = std::max(box.maxX, p.lon);
        box.minY = std::min(box.minY, p.lat);
        box.maxY = std::max(box.maxY, p.lat);
    }
    Row r = links.next(row.line.empty() ? nullptr : &box);
    if (!row.line.empty()) lineBlob(r.geometry(), row.line, box);
    r.text(gpkg::kLinkTrace, trace);
    r.integer(gpkg::kLinkPiece, row.piece);
    r.integer(gpkg::kLinkLink, row.link);
    r.attributes(gpkg::kLinkAttributes, row.attributes);
    if (row.attributes != nullptr && row.attributes->oneway)
        r.integer(gpkg::kLinkOneway, *row.attributes->oneway ? 1 : 0);
    r.time(gpkg::kLinkEntered, row.entered);
    r.time(gpkg::kLinkLeft, row.left);
    r.real(gpkg::kLinkDriven, row.metres);
    r.real(gpkg::kLinkSpeed, row.speed);
    if (!links.filled(db)) fail("cannot write a link to the GeoPackage");
}

// The last rows, the spatial indexes, the layers' extents, counts and times of change, and the
// triggers back; then the file is closed.
bool Impl::finish() {
    for (Layer* layer : {&fixes, &links}) {
        const std::string& table = layer->table;
        if (!layer->flush(db)) return fail("cannot write the GeoPackage's " + table);
        if (!matchApp::fillRtree(db, "rtree_" + table + "_geom", layer->takeBoxes(), error)) return false;
        std::string sql = "UPDATE gpkg_ogr_contents SET feature_count = " + std::to_string(layer->count()) +
                          " WHERE lower(table_name) = '" + table + "'; ";
        sql += "UPDATE gpkg_contents SET last_change = strftime('%Y-%m-%dT%H:%M:%fZ', 'now')";
        if (layer->count() > 0) {
            const RtreeBox& e = layer->extent;
            char extent[160];
            std::snprintf(extent, sizeof extent,
                          ", min_x = %.17g, min_y = %.17g, max_x = %.17g, max_y = %.17g", e.minX, e.minY,
                          e.maxX, e.maxY);
            sql += extent;
        }
        if (!exec(sql + " WHERE lower(table_name) = '" + table + "'")) return false;
    }
    for (const std::string& trigger : triggers)
        if (!exec(trigger)) return false;
    if (!exec("COMMIT")) return false;
    close();
    return true;
}

class SqliteGpkgWriter : public GpkgWriter {
public:
    explicit SqliteGpkgWriter(const std::string& file) : impl(std::make_unique<Impl>()) { impl->open(file); }
    ~SqliteGpkgWriter() override {
        impl->close();
        std::error_code ec;
        if (!impl->folder.empty()) fs::remove_all(impl->folder, ec);
    }
    void add(const Route& route, const TraceRows& rows) override;
    bool finishInto(std::ostream& out, std::string& error) override;

private:
    std::unique_ptr<Impl> impl;
};

void SqliteGpkgWriter::add(const Route& route, const TraceRows& rows) {
    if (!impl->error.empty() || impl->closed) return;
    for (const FixRow& row : rows.fixes) impl->addFix(route.name, route.nodes[row.fix.point], row);
    for (const LinkRow& row : rows.links) impl->addLink(route.name, row);
}

bool SqliteGpkgWriter::finishInto(std::ostream& out, std::string& error) {
    if (!impl->closed && impl->error.empty()) {
        impl->finish();
        impl->closed = true;
    }
    if (!impl->error.empty()) {
        error = impl->error;
        return false;
    }
    if (impl->folder.empty()) return true;  // built in place
    // In pieces of a mebibyte: the streams' own buffers would make it thousands of system calls.
    std::ifstream in(impl->file, std::ios::binary);
    std::vector<char> piece(size_t{1} << 20);
    while (in && out) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        out.write(piece.data(), in.gcount());
    }
    if (!in.eof() || !out.flush()) {
        error = "cannot copy the GeoPackage";
        return false;
    }
    return true;
}

}  // namespace

extern "C" void karvelOpenGpkgWriter(std::unique_ptr<GpkgWriter>& writer, const std::string& file) {
    writer = std::make_unique<SqliteGpkgWriter>(file);
}
