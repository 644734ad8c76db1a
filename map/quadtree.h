#pragma once

// Point quadtree over the map nodes, in geographic coordinates. The whole globe is the root cell;
// a leaf holding more than leafCapacity ids is split into four equal quarters.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/plane_frame.h"

namespace mapRepresentation {

class Map;

class QuadNode {
public:
    virtual ~QuadNode() = default;

    QuadNode(const QuadNode&) = delete;
    QuadNode& operator=(const QuadNode&) = delete;

    _position centre{};       // lat, lon in decimal degrees
    double halfWidth = 0.0;   // half the extent in longitude degrees
    double halfHeight = 0.0;  // half the extent in latitude degrees
    // Which of the two cell kinds this is, fixed at construction: the radius search tells them
    // apart on every cell it passes, so it must not pay for a dynamic_cast there.
    const bool leaf;

protected:
    QuadNode(bool leaf, _position centre, double halfWidth, double halfHeight)
        : centre(centre), halfWidth(halfWidth), halfHeight(halfHeight), leaf(leaf) {}
};

class QuadInnerNode : public QuadNode {
public:
    QuadInnerNode() : QuadNode(false, {}, 0.0, 0.0) {}
    QuadInnerNode(_position centre, double halfWidth, double halfHeight)
        : QuadNode(false, centre, halfWidth, halfHeight) {}

    // 0 north-west, 1 north-east, 2 south-west, 3 south-east
    std::array<std::unique_ptr<QuadNode>, 4> children;
};

// Planar point of an indexed node in the map's frame, as the map held it when it was indexed (or
// last reported moved).
struct QuadLeafPoint {
    double easting = 0.0;
    double northing = 0.0;
    uint32_t id = 0;  // the node, so that the search never has to touch mapNodes
};

class QuadLeafNode : public QuadNode {
public:
    QuadLeafNode() : QuadNode(true, {}, 0.0, 0.0) {}
    QuadLeafNode(_position centre, double halfWidth, double halfHeight)
        : QuadNode(true, centre, halfWidth, halfHeight) {}

    std::vector<uint32_t> mapNodes;  // in insertion order
    // points[i] belongs to mapNodes[i]. The radius search measures from these copies: looking every
    // candidate up in the map's node table costs far more than the whole rest of the search.
    std::vector<QuadLeafPoint> points;
};

// Whether a cell of the index may hold nodes within a radius of a position: it contains the position,
// or the point of its box nearest to the position (clamped in degrees) lies within the radius in metres
// of the map's frame. Cells farther than the radius by a lower bound in degrees are left out without
// a conversion (a transverse Mercator never shrinks distances below its central scale). reachesByConversion
// converts every other cell; reaches() gives the same answers but also settles most of those by bounds in
// degrees.
class CellReach {
public:
    // p is pos in `frame`; without a frame, pos's own zone.
    CellReach(_position pos, Point p, double radius, const geo::PlaneFrame& frame = geo::PlaneFrame());

    bool reaches(const _position& centre, double halfWidth, double halfHeight) const;
    bool reachesByConversion(const _position& centre, double halfWidth, double halfHeight) const;

    _position pos;
    Point p;  // the position in UTM metres
    double radius;
    geo::PlaneFrame frame;  // the map's

private:
    // The point of the box nearest to the position, clamped in degrees.
    _position nearestPoint(const _position& centre, double halfWidth, double halfHeight) const;
    bool withinByConversion(const _position& near) const;
    bool beyondByDegrees(double north, double east) const;

    double reach;               // radius on the ellipsoid that planar distances up to radius can span
    double lonMetresPerDegree;  // lower bound of the cost of a degree of longitude near the position
    // Upper bounds, for the cells the bounds can settle as within the radius (boundsHold only).
    bool boundsHold = false;
    double meridian = 0.0;  // central meridian of the position's conversion
    double lonMetresPerDegreeMax = 0.0;
};

class QuadTree {
public:
    static constexpr int leafCapacity = 10;

    // Identical positions cannot be separated by splitting. A leaf whose half height (latitude degrees)
    // is below this is never split and may hold more than leafCapacity ids. 1e-7 degrees is about 1 cm,
    // reached at depth 30, so the tree is at most 30 levels deep below the root.
    static constexpr double minSplitHalfHeight = 1e-7;

    explicit QuadTree(Map* map);
    ~QuadTree();

    // The index belongs to one map; a copied map builds its own.
    QuadTree(const QuadTree&) = delete;
    QuadTree& operator=(const QuadTree&) = delete;

    void addNode(uint32_t id);
    void removeNode(uint32_t id, _position where);
    void updateNodeLocation(uint32_t id, _position old);

    // (leaf, parent inner cell or null); (null, null) outside the globe.
    std::pair<QuadLeafNode*, QuadInnerNode*> findQuadrant(double lat, double lon) const;

    // All indexed nodes within radius metres of the position, in walk order (not sorted), measured
    // in the map's frame whatever zone each lies in.
    std::vector<std::pair<uint32_t, double>> findPointsLessThan(double lat, double lon, double radius) const;
    void findPoints(std::vector<std::pair<uint32_t, double>>* out, QuadNode* cell, _position pos, Point p,
                    double radius) const;

    // Same walk and order as findPointsLessThan, handing each hit (its id and planar point) to
    // visit(context, point, distance) instead of collecting it, so callers that only aggregate
    // allocate nothing.
    using PointVisitor = void (*)(void* context, const QuadLeafPoint& point, double distance);
    void visitPointsLessThan(double lat, double lon, double radius, PointVisitor visit, void* context) const;

    static bool isInside(_position centre, double halfWidth, double halfHeight, double lat, double lon);
    static bool isLeafNode(const QuadNode* cell);
    static QuadLeafNode* getQuadLeafNode(QuadNode* cell);
    static QuadInnerNode* getQuadInnerNode(QuadNode* cell);

    void navigateThroughAllNodes(QuadNode* cell, int depth);
    std::string getQuadTreeStatistics();
    // A KML picture of the leaves and their nodes (defined in the kml library, kml/quadtree_kml.cpp,
    // so that the map library never depends on KML output).
    std::string getQuadTreeKML() const;

    Map* map = nullptr;
    std::unique_ptr<QuadNode> root;

    // Statistics, filled by getQuadTreeStatistics only.
    int innerNodes = 0;
    int leafNodes = 0;
    int maxNodesInLeaf = 0;
    int maxDepth = 0;
    double maxWidth = 0.0;
    double maxWidthHeight = 0.0;
    double minWidth = 1000.0;
    double minWidthHeight = 1000.0;

private:
    struct Search;
    struct KmlFolders;

    void splitLeaf(QuadLeafNode* leaf, QuadInnerNode* parent);
    static void eraseFromLeaf(QuadLeafNode* leaf, uint32_t id);
    void walkPoints(const QuadNode* cell, const Search& search) const;
    void gatherKMLinformation(const QuadNode* cell, int depth, KmlFolders& folders) const;
};

}  // namespace mapRepresentation
