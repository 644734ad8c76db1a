// The packed spatial index is one SQLite itself accepts: its own check passes, a window query finds
// exactly the boxes a plain scan finds (also points whose coordinates single precision cannot hold),
// and SQLite can go on inserting into and deleting from it.
#include "app/gpkg/gpkg_rtree.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

using matchApp::RtreeBox;

struct Db {
    sqlite3* db = nullptr;
    Db() {
        sqlite3_open(":memory:", &db);
        exec("CREATE VIRTUAL TABLE t USING rtree(id, minx, maxx, miny, maxy)");
    }
    ~Db() { sqlite3_close(db); }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    }
    std::string text(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        return out;
    }
    std::set<int64_t> ids(double x0, double x1, double y0, double y1) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "SELECT id FROM t WHERE maxx >= ? AND minx <= ? AND maxy >= ? AND miny <= ?",
                           -1, &s, nullptr);
        for (int i = 0; const double v : {x0, x1, y0, y1}) sqlite3_bind_double(s, ++i, v);
        std::set<int64_t> found;
        while (sqlite3_step(s) == SQLITE_ROW) found.insert(sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
        return found;
    }
};

// Fixes of a drive that goes back and forth over a few streets (ids as a layer gives them), and
// lines' boxes, at coordinates with more digits than single precision keeps.
std::vector<RtreeBox> boxes(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> at(0.0, 0.004), size(0.0, 0.0005);
    std::vector<RtreeBox> out;
    for (size_t i = 0; i < n; ++i) {
        const double x = -122.2871234567 + at(random), y = 37.8112345678 + at(random) * 0.75;
        const double w = i % 3 == 0 ? size(random) : 0.0, h = i % 3 == 0 ? size(random) : 0.0;
        out.push_back({static_cast<int64_t>(i + 1), x, x + w, y, y + h});
    }
    return out;
}

TEST(GpkgRtree, PackedIndexIsSqlitesOwn) {
    // No box, a root that is a leaf, a full root, one over (two levels) and three levels.
    for (const size_t n : {0, 1, 51, 52, 2602, 20000}) {
        SCOPED_TRACE(n);
        Db db;
        const std::vector<RtreeBox> given = boxes(n, static_cast<unsigned>(n));
        std::string error;
        ASSERT_TRUE(matchApp::fillRtree(db.db, "t", given, error)) << error;
        EXPECT_EQ(db.text("SELECT rtreecheck('t')"), "ok");
        EXPECT_EQ(db.text("SELECT count(*) FROM t"), std::to_string(n));
        EXPECT_EQ(db.text("SELECT count(*) FROM t_rowid"), std::to_string(n));
        // Each box's own corners find it: the stored box is rounded outwards, never inwards.
        for (size_t i = 0; i < given.size(); i += 97) {
            const RtreeBox& b = given[i];
            EXPECT_TRUE(db.ids(b.minX, b.minX, b.minY, b.minY).count(b.id)) << i;
            EXPECT_TRUE(db.ids(b.maxX, b.maxX, b.maxY, b.maxY).count(b.id)) << i;
        }
        // A window finds what a scan finds, give or take what lies within rounding of its edge.
        std::mt19937 random(7);
        for (int w = 0; w < 20; ++w) {
            const double x0 = -122.2871 + std::uniform_real_distribution<double>(0.0, 0.004)(random),
                         y0 = 37.8112 + std::uniform_real_distribution<double>(0.0, 0.003)(random);
            const double x1 = x0 + 0.0007, y1 = y0 + 0.0005, slack = 1e-5;
            const std::set<int64_t> found = db.ids(x0, x1, y0, y1);
            for (const RtreeBox& b : given) {
                const bool inside = b.maxX >= x0 && b.minX <= x1 && b.maxY >= y0 && b.minY <= y1;
                const bool near = b.maxX >= x0 - slack && b.minX <= x1 + slack && b.maxY >= y0 - slack &&
                                  b.minY <= y1 + slack;
                if (inside || !near) {
                    EXPECT_EQ(found.count(b.id), inside ? 1u : 0u) << b.id;
                }
            }
        }
        // SQLite goes on with the tree as if it had built it.
        db.exec("INSERT INTO t VALUES (1000000, -122.285, -122.284, 37.812, 37.813)");
        if (n > 0) db.exec("DELETE FROM t WHERE id = 1");
        for (int64_t id = 2; id < static_cast<int64_t>(n) && id < 400; id += 3)
            db.exec("DELETE FROM t WHERE id = " + std::to_string(id));
        EXPECT_EQ(db.text("SELECT rtreecheck('t')"), "ok");
        EXPECT_EQ(db.ids(-122.2845, -122.2845, 37.8125, 37.8125).count(1000000), 1u);
    }
}

TEST(GpkgRtree, TableWithoutRootIsRefused) {
    Db db;
    db.exec("DELETE FROM t_node");
    std::string error;
    EXPECT_FALSE(matchApp::fillRtree(db.db, "t", boxes(3, 1), error));
    EXPECT_NE(error.find("spatial index t"), std::string::npos) << error;
}

}  // namespace
