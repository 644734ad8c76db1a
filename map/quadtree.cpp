#include "map/quadtree.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numbers>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "geometry/ellipsoid.h"
#include "map/maps.h"

namespace mapRepresentation {

namespace {

constexpr double kDegToRad = std::numbers::pi / 180.0;

// UTM scale is at least k0 = 0.9996 inside a zone, so a planar distance is at least 0.9996 times the
// distance on the ellipsoid. The extra 1 % covers the truncation of the conversion series.
constexpr double kMinPlanarScale = wgs84::kUtmScaleFactor * 0.99;
// Below 80 degrees of latitude and within 3 degrees of the central meridian the scale is at most
// 1.0011; the rest up to 2 % covers the series and rounding.
constexpr double kMaxPlanarScale = 1.02;
constexpr double kBoundedLatitude = 80.0;
// The largest radius of curvature of the ellipsoid, a / sqrt(1 - e^2) at the poles, rounded up.
constexpr double kMaxCurvatureRadius = 6399594.0;
// The upper bounds are only used for radii of matching scale, where the cells they settle are small.
constexpr double kLargestBoundedRadius = 50000.0;

// The zone whose central meridian the UTM conversion uses for a longitude (its own formula).
double conversionZone(double lon) {
    return lon < 0 ? std::trunc((lon + 180) / 6) + 1 : std::trunc(lon / 6) + 31;
}

const char kDegreeMark = '\xBA';

}  // namespace

// Everything fixed for one radius query.
struct QuadTree::Search {
    CellReach reach;
    PointVisitor visit;
    void* context;
};

QuadTree::QuadTree(Map* map) : map(map) {
    root = std::make_unique<QuadLeafNode>(_position{0.0, 0.0}, 180.0, 90.0);
    if (map == nullptr) return;
    for (const auto& entry : map->nodes) addNode(entry.first);
}

QuadTree::~QuadTree() = default;

bool QuadTree::isInside(_position centre, double halfWidth, double halfHeight, double lat, double lon) {
    return std::fabs(centre.lat - lat) <= halfHeight && std::fabs(centre.lon - lon) <= halfWidth;
}

// QuadNode can only be built as one of its two kinds, so the flag decides the type.
bool QuadTree::isLeafNode(const QuadNode* cell) {
    return cell != nullptr && cell->leaf;
}

QuadLeafNode* QuadTree::getQuadLeafNode(QuadNode* cell) {
    return isLeafNode(cell) ? static_cast<QuadLeafNode*>(cell) : nullptr;
}

QuadInnerNode* QuadTree::getQuadInnerNode(QuadNode* cell) {
    return cell != nullptr && !cell->leaf ? static_cast<QuadInnerNode*>(cell) : nullptr;
}

std::pair<QuadLeafNode*, QuadInnerNode*> QuadTree::findQuadrant(double lat, double lon) const {
    if (!root) return {nullptr, nullptr};
    if (!isInside(root->centre, root->halfWidth, root->halfHeight, lat, lon)) {
        (map != nullptr ? map->messageStream() : std::cout)
            << "ERROR: Point outside the whole map." << std::endl;
        return {nullptr, nullptr};
    }
    QuadNode* current = root.get();
    QuadInnerNode* parent = nullptr;
    while (QuadInnerNode* inner = getQuadInnerNode(current)) {
        QuadNode* next = nullptr;
        for (const auto& child : inner->children) {
            if (child && isInside(child->centre, child->halfWidth, child->halfHeight, lat, lon)) {
                next = child.get();
                break;
            }
        }
        // The children tile their parent, so this only happens to a damaged tree.
        if (next == nullptr) return {nullptr, nullptr};
        parent = inner;
        current = next;
    }
    return {getQuadLeafNode(current), parent};
}

void QuadTree::addNode(uint32_t id) {
    if (map == nullptr) return;
    const auto it = map->nodes.find(id);
    if (it == map->nodes.end()) {
        map->getNodePosition(id);  // reports the missing node
        return;
    }
    const auto [leaf, parent] = findQuadrant(it->second.latitude, it->second.longitude);
    if (leaf == nullptr) return;
    const _mNode& node = it->second;
    leaf->mapNodes.push_back(id);
    leaf->points.push_back({node.easting, node.northing, id});
    if (leaf->mapNodes.size() > static_cast<size_t>(leafCapacity) && leaf->halfHeight >= minSplitHalfHeight) {
        splitLeaf(leaf, parent);
    }
}

void QuadTree::splitLeaf(QuadLeafNode* leaf, QuadInnerNode* parent) {
    const std::vector<uint32_t> ids = std::move(leaf->mapNodes);  // their points are read again
    auto inner = std::make_unique<QuadInnerNode>(leaf->centre, leaf->halfWidth, leaf->halfHeight);
    QuadInnerNode* cell = inner.get();

    std::unique_ptr<QuadNode>* slot = &root;
    if (parent != nullptr) {
        for (auto& child : parent->children) {
            if (child.get() == leaf) slot = &child;
        }
    }
    *slot = std::move(inner);  // destroys the leaf

    const double hw = cell->halfWidth / 2.0;
    const double hh = cell->halfHeight / 2.0;
    const double lat = cell->centre.lat;
    const double lon = cell->centre.lon;
    cell->children[0] = std::make_unique<QuadLeafNode>(_position{lat + hh, lon - hw}, hw, hh);
    cell->children[1] = std::make_unique<QuadLeafNode>(_position{lat + hh, lon + hw}, hw, hh);
    cell->children[2] = std::make_unique<QuadLeafNode>(_position{lat - hh, lon - hw}, hw, hh);
    cell->children[3] = std::make_unique<QuadLeafNode>(_position{lat - hh, lon + hw}, hw, hh);

    for (const uint32_t id : ids) addNode(id);
}

void QuadTree::eraseFromLeaf(QuadLeafNode* leaf, uint32_t id) {
    auto& ids = leaf->mapNodes;
    const auto it = std::find(ids.begin(), ids.end(), id);
    if (it == ids.end()) return;
    const auto index = it - ids.begin();
    ids.erase(it);
    if (index < static_cast<std::ptrdiff_t>(leaf->points.size()))
        leaf->points.erase(leaf->points.begin() + index);
}

void QuadTree::removeNode(uint32_t id, _position where) {
    QuadLeafNode* leaf = findQuadrant(where.lat, where.lon).first;
    if (leaf != nullptr) eraseFromLeaf(leaf, id);
}

void QuadTree::updateNodeLocation(uint32_t id, _position old) {
    if (map == nullptr) return;
    QuadLeafNode* leaf = findQuadrant(old.lat, old.lon).first;
    if (leaf == nullptr) return;
    const auto node = map->nodes.find(id);
    if (node != map->nodes.end() && isInside(leaf->centre, leaf->halfWidth, leaf->halfHeight,
                                             node->second.latitude, node->second.longitude)) {
        // Same leaf, but the point the search measures from has moved.
        const auto it = std::find(leaf->mapNodes.begin(), leaf->mapNodes.end(), id);
        const auto index = static_cast<size_t>(it - leaf->mapNodes.begin());
        if (it != leaf->mapNodes.end() && index < leaf->points.size()) {
            const _mNode& n = node->second;
            leaf->points[index] = {n.easting, n.northing, id};
        }
        return;
    }
    eraseFromLeaf(leaf, id);
    // A node that has left the map is only dropped from the index.
    if (node != map->nodes.end()) addNode(id);
}

std::vector<std::pair<uint32_t, double>> QuadTree::findPointsLessThan(double lat, double lon,
                                                                      double radius) const {
    std::vector<std::pair<uint32_t, double>> out;
    const _position pos{lat, lon};
    findPoints(&out, root.get(), pos, map != nullptr ? map->toPlane(lat, lon) : positionToPoint(pos), radius);
    return out;
}

CellReach::CellReach(_position pos, Point p, double radius, const geo::PlaneFrame& frame)
    : pos(pos), p(p), radius(radius), frame(frame.isSet() ? frame : geo::PlaneFrame::around(pos)) {
    reach = radius / kMinPlanarScale;
    // Along a path that stays within this latitude band a degree of longitude costs at least
    // a * cos(band); leaving the band alone is longer than twice the radius.
    const double band = std::fabs(pos.lat) * kDegToRad + 2.0 * radius / wgs84::kMinMeridionalRadius;
    lonMetresPerDegree =
        band < std::numbers::pi / 2 ? kDegToRad * wgs84::kEquatorialRadius * std::cos(band) : 0.0;

    // The upper bounds hold near the central meridian only: in the position's own zone.
    boundsHold = radius > 0.0 && radius <= kLargestBoundedRadius && std::fabs(pos.lat) <= kBoundedLatitude &&
                 std::fabs(pos.lon) <= 180.0 && this->frame == geo::PlaneFrame::around(pos);
    if (!boundsHold) return;
    meridian = conversionZone(pos.lon);
    // A cell the latitude bound keeps lies within reach of the position's latitude, so a path to it
    // never comes nearer the equator than this, where a degree of longitude is the longest.
    const double nearest =
        std::max(0.0, std::fabs(pos.lat) * kDegToRad - 2.0 * reach / wgs84::kMinMeridionalRadius);
    lonMetresPerDegreeMax = kDegToRad * kMaxCurvatureRadius * std::cos(nearest);
}

_position CellReach::nearestPoint(const _position& c, double halfWidth, double halfHeight) const {
    _position near = pos;
    if (std::fabs(c.lat - pos.lat) > halfHeight)
        near.lat = pos.lat > c.lat ? c.lat + halfHeight : c.lat - halfHeight;
    if (std::fabs(c.lon - pos.lon) > halfWidth)
        near.lon = pos.lon > c.lon ? c.lon + halfWidth : c.lon - halfWidth;
    return near;
}

bool CellReach::withinByConversion(const _position& near) const {
    return distance2Points(frame.toPlane(near), p) <= radius;
}

// Lower bounds on the distance to the clamped point settle far cells: a latitude gap costs at least
// the smallest meridional radius per radian, a longitude gap at least lonMetresPerDegree per degree.
bool CellReach::beyondByDegrees(double north, double east) const {
    return north * wgs84::kMinMeridionalRadius > reach || east * lonMetresPerDegree > reach;
}

bool CellReach::reachesByConversion(const _position& c, double halfWidth, double halfHeight) const {
    if (QuadTree::isInside(c, halfWidth, halfHeight, pos.lat, pos.lon)) return true;
    const _position near = nearestPoint(c, halfWidth, halfHeight);
    if (beyondByDegrees(std::fabs(near.lat - pos.lat) * kDegToRad, std::fabs(near.lon - pos.lon)))
        return false;
    return withinByConversion(near);
}

// The same answer as reachesByConversion. Where the position and the clamped point share a zone and
// a hemisphere (the northing jumps at the equator), the straight path between them in degrees
// bounds the planar distance from both sides, which settles all but the cells at about the radius.
bool CellReach::reaches(const _position& c, double halfWidth, double halfHeight) const {
    if (QuadTree::isInside(c, halfWidth, halfHeight, pos.lat, pos.lon)) return true;
    const _position near = nearestPoint(c, halfWidth, halfHeight);
    const double north = std::fabs(near.lat - pos.lat) * kDegToRad;
    const double east = std::fabs(near.lon - pos.lon);
    if (beyondByDegrees(north, east)) return false;

    if (boundsHold && (near.lat < 0) == (pos.lat < 0) && std::fabs(near.lat) <= kBoundedLatitude &&
        conversionZone(near.lon) == meridian) {
        const double northLow = north * wgs84::kMinMeridionalRadius;
        const double eastLow = east * lonMetresPerDegree;
        if (northLow * northLow + eastLow * eastLow > reach * reach) return false;
        const double northHigh = north * kMaxCurvatureRadius;
        const double eastHigh = east * lonMetresPerDegreeMax;
        const double within = radius / kMaxPlanarScale;
        if (northHigh * northHigh + eastHigh * eastHigh <= within * within) return true;
    }
    return withinByConversion(near);
}

void QuadTree::findPoints(std::vector<std::pair<uint32_t, double>>* out, QuadNode* cell, _position pos,
                          Point p, double radius) const {
    if (out == nullptr || cell == nullptr || map == nullptr) return;
    const PointVisitor collect = [](void* context, const QuadLeafPoint& point, double distance) {
        static_cast<std::vector<std::pair<uint32_t, double>>*>(context)->emplace_back(point.id, distance);
    };
    const Search search{CellReach(pos, p, radius, map->planeFrame()), collect, out};
    if (search.reach.reaches(cell->centre, cell->halfWidth, cell->halfHeight)) walkPoints(cell, search);
}

void QuadTree::visitPointsLessThan(double lat, double lon, double radius, PointVisitor visit,
                                   void* context) const {
    if (!root || map == nullptr || visit == nullptr) return;
    const _position pos{lat, lon};
    const Search search{CellReach(pos, map->toPlane(lat, lon), radius, map->planeFrame()), visit, context};
    if (search.reach.reaches(root->centre, root->halfWidth, root->halfHeight)) walkPoints(root.get(), search);
}

// The hot spot of matching: no allocation, at most one UTM conversion per box, and a child cell's
// memory is only touched once its box (derived from the parent's, as the split made it) is in reach.
void QuadTree::walkPoints(const QuadNode* cell, const Search& s) const {
    if (cell->leaf) {
        const auto* leaf = static_cast<const QuadLeafNode*>(cell);
        const size_t count = leaf->mapNodes.size();
        if (leaf->points.size() == count) {
            for (const QuadLeafPoint& point : leaf->points) {
                const double d = distance2Points(point.easting, point.northing, s.reach.p.x, s.reach.p.y);
                if (d <= s.reach.radius) s.visit(s.context, point, d);
            }
            return;
        }
        // Ids placed without their points: measure from the map's table.
        for (const uint32_t id : leaf->mapNodes) {
            const auto it = map->nodes.find(id);
            if (it == map->nodes.end()) {
                map->getNodePoint(id);  // reports the stale id
                continue;
            }
            const _mNode& node = it->second;
            const QuadLeafPoint point{node.easting, node.northing, id};
            const double d = distance2Points(point.easting, point.northing, s.reach.p.x, s.reach.p.y);
            if (d <= s.reach.radius) s.visit(s.context, point, d);
        }
        return;
    }

    const auto* inner = static_cast<const QuadInnerNode*>(cell);
    const double hw = cell->halfWidth / 2.0;
    const double hh = cell->halfHeight / 2.0;
    const double lat = cell->centre.lat;
    const double lon = cell->centre.lon;
    const _position centres[4] = {
        {lat + hh, lon - hw}, {lat + hh, lon + hw}, {lat - hh, lon - hw}, {lat - hh, lon + hw}};
    for (int i = 0; i < 4; ++i) {
        if (!s.reach.reaches(centres[i], hw, hh)) continue;
        const QuadNode* child = inner->children[i].get();
        if (child == nullptr) continue;
        if (child->leaf && static_cast<const QuadLeafNode*>(child)->mapNodes.empty()) continue;
        walkPoints(child, s);
    }
}

void QuadTree::navigateThroughAllNodes(QuadNode* cell, int depth) {
    if (cell == nullptr) return;
    if (QuadInnerNode* inner = getQuadInnerNode(cell)) {
        ++innerNodes;
        for (const auto& child : inner->children) navigateThroughAllNodes(child.get(), depth + 1);
        return;
    }
    const QuadLeafNode* leaf = getQuadLeafNode(cell);
    if (leaf == nullptr) return;
    ++leafNodes;
    maxDepth = std::max(maxDepth, depth);
    maxNodesInLeaf = std::max(maxNodesInLeaf, static_cast<int>(leaf->mapNodes.size()));
    const double w = 2.0 * leaf->halfWidth;
    if (w > maxWidth) {
        maxWidth = w;
        maxWidthHeight = 2.0 * leaf->halfHeight;
    }
    if (w < minWidth) {
        minWidth = w;
        minWidthHeight = 2.0 * leaf->halfHeight;
    }
}

std::string QuadTree::getQuadTreeStatistics() {
    innerNodes = 0;
    leafNodes = 0;
    maxNodesInLeaf = 0;
    maxDepth = 0;
    maxWidth = 0.0;
    maxWidthHeight = 0.0;
    minWidth = 1000.0;
    minWidthHeight = 1000.0;
    navigateThroughAllNodes(root.get(), 0);

    const size_t total = map != nullptr ? map->nodes.size() : 0;
    const double perLeaf = leafNodes > 0 ? static_cast<double>(total) / leafNodes : 0.0;

    std::ostringstream out;
    out.precision(9);
    out << '\n'
        << "  ### QuadTree Statistics ###\n"
        << "Inner Nodes: " << innerNodes << "     LeafNodes: " << leafNodes << "     Max Depth: " << maxDepth
        << '\n'
        << "Max Nodes in a LeafNode: " << maxNodesInLeaf
        << "     Max Nodes allowed in a LeafNode: " << leafCapacity << '\n'
        << perLeaf << " nodes/QuadLeafNode     Total Nodes: " << total << '\n'
        << "Max Width: " << maxWidth << kDegreeMark << "  Max Height: " << maxWidthHeight << kDegreeMark
        << '\n'
        << "Min Width: " << minWidth << kDegreeMark << "  Min Height: " << minWidthHeight << kDegreeMark
        << '\n'
        << "  ###########################\n"
        << '\n';
    return out.str();
}

}  // namespace mapRepresentation
