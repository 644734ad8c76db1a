// A spatial index filled in one go. SQLite's R-tree module inserts row by row, choosing a subtree
// and splitting nodes as it goes; for a hundred thousand boxes that costs more than writing the
// rows themselves. Here the boxes are sorted into full nodes (sort-tile-recursive packing) and the
// nodes are written straight into the R-tree's own tables, which SQLite then reads and updates as
// if it had built them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace matchApp {

// A row's box: x from minX to maxX, y from minY to maxY.
struct RtreeBox {
    int64_t id = 0;
    double minX = 0.0, maxX = 0.0, minY = 0.0, maxY = 0.0;
};

// Replaces the contents of the two-dimensional R-tree `table` (a virtual table "USING rtree(id,
// minx, maxx, miny, maxy)" of `db`) with `boxes`, whose ids must be distinct (in ascending order
// they go in fastest). Call it before anything reads the table through this connection. False with
// `error` on failure.
bool fillRtree(sqlite3* db, const std::string& table, const std::vector<RtreeBox>& boxes, std::string& error);

}  // namespace matchApp
