#include "app/gpkg/gpkg_rtree.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace matchApp {

namespace {

// A cell as SQLite's R-tree stores it: a row id (or, above the leaves, a child node's number) and
// the box in single precision.
struct Cell {
    int64_t id;
    float box[4];        // minX, maxX, minY, maxY
    float key = 0.0f;    // what the cells are being sorted by
    uint32_t index = 0;  // of a row: its place among the boxes given
};

constexpr size_t kCellBytes = 8 + 4 * 4;

// Single precision rounded outwards, as the R-tree module rounds, so that a box still holds its row.
float down(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -INFINITY);
    return f;
}
float up(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, INFINITY);
    return f;
}

// Node blobs are big-endian.
void put16(unsigned char* at, uint16_t value) {
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value & 0xFF);
}
void put32(unsigned char* at, uint32_t value) {
    value = __builtin_bswap32(value);
    std::memcpy(at, &value, 4);
}
void put64(unsigned char* at, uint64_t value) {
    value = __builtin_bswap64(value);
    std::memcpy(at, &value, 8);
}

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

std::string quoted(const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + '"';
}

class Writer {
public:
    Writer(sqlite3* db, const std::string& table, size_t nodeSize)
        : db(db), table(table), nodeSize(nodeSize) {
        node = prepare("INSERT INTO " + quoted(table + "_node") + "(nodeno, data) VALUES (?, ?)");
        rowid = prepare("INSERT INTO " + quoted(table + "_rowid") + "(rowid, nodeno) VALUES (?, ?)");
        parent = prepare("INSERT INTO " + quoted(table + "_parent") + "(nodeno, parentnode) VALUES (?, ?)");
    }
    bool ok() const { return node && rowid && parent && !failed; }

    // Node `number` with `cells`, which are rows (depth 0) or child nodes; the depth is written to the
    // root only, as the module keeps it.
    void write(int64_t number, int depth, const Cell* cells, size_t count) {
        blob.assign(nodeSize, 0);
        put16(blob.data(), static_cast<uint16_t>(number == 1 ? depth : 0));
        put16(blob.data() + 2, static_cast<uint16_t>(count));
        unsigned char* at = blob.data() + 4;
        for (size_t i = 0; i < count; ++i, at += kCellBytes) {
            put64(at, static_cast<uint64_t>(cells[i].id));
            for (int k = 0; k < 4; ++k) {
                uint32_t bits;
                std::memcpy(&bits, &cells[i].box[k], 4);
                put32(at + 8 + 4 * k, bits);
            }
            if (depth == 0)
                leafOf[cells[i].index] = number;
            else
                run(parent, cells[i].id, number);
        }
        sqlite3_bind_int64(node.get(), 1, number);
        sqlite3_bind_blob(node.get(), 2, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        step(node);
    }

    // The rows' leaves, in the order of the boxes given (inserts in key order only ever append to the
    // table), many to a statement.
    void writeLeaves(const std::vector<RtreeBox>& boxes) {
        constexpr size_t kPerInsert = 100;
        size_t at = 0;
        const auto leaves = [&](size_t i) { return std::pair{boxes[i].id, leafOf[i]}; };
        if (boxes.size() >= kPerInsert) {
            std::string sql = "INSERT INTO " + quoted(table + "_rowid") + "(rowid, nodeno) VALUES (?, ?)";
            for (size_t i = 1; i < kPerInsert; ++i) sql += ", (?, ?)";
            Statement many = prepare(sql);
            if (!many) failed = true;
            for (; many && at + kPerInsert <= boxes.size(); at += kPerInsert) {
                for (size_t i = 0; i < kPerInsert; ++i) {
                    sqlite3_bind_int64(many.get(), static_cast<int>(2 * i + 1), leaves(at + i).first);
                    sqlite3_bind_int64(many.get(), static_cast<int>(2 * i + 2), leaves(at + i).second);
                }
                step(many);
            }
        }
        for (; at < boxes.size(); ++at) run(rowid, leaves(at).first, leaves(at).second);
    }

private:
    sqlite3* db;
    std::string table;
    size_t nodeSize;
    std::vector<unsigned char> blob;

public:
    std::vector<int64_t> leafOf;  // per box given, the leaf node that holds it

private:
    Statement node, rowid, parent;
    bool failed = false;

    Statement prepare(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
        return Statement(s);
    }
    void run(Statement& s, int64_t a, int64_t b) {
        sqlite3_bind_int64(s.get(), 1, a);
        sqlite3_bind_int64(s.get(), 2, b);
        step(s);
    }
    void step(Statement& s) {
        if (sqlite3_step(s.get()) != SQLITE_DONE) failed = true;
        sqlite3_reset(s.get());
    }
};

// Sort-tile-recursive order: vertical slices of whole nodes by x, each slice by y, so that every run
// of `perNode` cells is a compact tile.
void tileOrder(std::vector<Cell>& cells, size_t perNode) {
    const size_t nodes = (cells.size() + perNode - 1) / perNode;
    const size_t slice = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(nodes)))) * perNode;
    // By the centres along an axis, each worked out once.
    const auto sort = [](auto from, auto to, int axis) {
        for (auto c = from; c != to; ++c) c->key = c->box[2 * axis] / 2 + c->box[2 * axis + 1] / 2;
        std::sort(from, to, [](const Cell& a, const Cell& b) { return a.key < b.key; });
    };
    sort(cells.begin(), cells.end(), 0);
    for (size_t at = 0; at < cells.size(); at += slice)
        sort(cells.begin() + static_cast<ptrdiff_t>(at),
             cells.begin() + static_cast<ptrdiff_t>(std::min(at + slice, cells.size())), 1);
}

Cell around(int64_t id, const Cell* cells, size_t count) {
    Cell c{id, {cells[0].box[0], cells[0].box[1], cells[0].box[2], cells[0].box[3]}, 0.0f, 0};
    for (size_t i = 1; i < count; ++i)
        for (int k = 0; k < 4; k += 2) {
            c.box[k] = std::min(c.box[k], cells[i].box[k]);
            c.box[k + 1] = std::max(c.box[k + 1], cells[i].box[k + 1]);
        }
    return c;
}

}  // namespace

bool fillRtree(sqlite3* db, const std::string& table, const std::vector<RtreeBox>& boxes,
               std::string& error) {
    // The node size is fixed when the table is made; the empty root shows it.
    size_t nodeSize = 0;
    {
        sqlite3_stmt* s = nullptr;
        const std::string sql = "SELECT length(data) FROM " + quoted(table + "_node") + " WHERE nodeno = 1";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            nodeSize = static_cast<size_t>(sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
    }
    const size_t perNode = nodeSize > 4 ? (nodeSize - 4) / kCellBytes : 0;
    if (perNode < 2) {
        error = "the spatial index " + table + " has no usable root node";
        return false;
    }
    for (const char* part : {"_node", "_rowid", "_parent"}) {
        const std::string sql = "DELETE FROM " + quoted(table + part);
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            error = "cannot fill the spatial index " + table + ": " + sqlite3_errmsg(db);
            return false;
        }
    }
    std::vector<Cell> level;
    level.reserve(boxes.size());
    for (const RtreeBox& b : boxes)
        level.push_back({b.id,
                         {down(b.minX), up(b.maxX), down(b.minY), up(b.maxY)},
                         0.0f,
                         static_cast<uint32_t>(level.size())});

    Writer writer(db, table, nodeSize);
    writer.leafOf.resize(boxes.size());
    // Full nodes level by level from the rows up, until one node (the root, number 1) holds the rest.
    int depth = 0;
    int64_t next = 2;
    while (level.size() > perNode && writer.ok()) {
        tileOrder(level, perNode);
        std::vector<Cell> above;
        for (size_t at = 0; at < level.size(); at += perNode) {
            const size_t count = std::min(perNode, level.size() - at);
            writer.write(next, depth, &level[at], count);
            above.push_back(around(next++, &level[at], count));
        }
        level = std::move(above);
        ++depth;
    }
    writer.write(1, depth, level.data(), level.size());
    writer.writeLeaves(boxes);
    if (!writer.ok()) {
        error = "cannot fill the spatial index " + table + ": " + sqlite3_errmsg(db);
        return false;
    }
    return true;
}

}  // namespace matchApp
