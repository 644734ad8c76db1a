// Nearest nodes and links around a position, through the spatial index.

#include <algorithm>
#include <iostream>

#include "map/maps.h"
#include "map/quadtree.h"

namespace mapRepresentation {

namespace {

// Links are looked for among those touching a node within this many radii of the position.
constexpr double kNodeSearchFactor = 10.0;

// A node found near the position, with its planar point and its rank in the search's order.
struct FoundNode {
    uint32_t id;
    uint32_t rank;
    bool missing;  // no adjacency entry in the map
    Point point;
};

// A link met at one of the found nodes, with that node's planar point.
struct LinkEnd {
    int link;
    uint32_t node;
    bool isOrigin;
    Point point;
};

void collectFoundNode(void* context, const QuadLeafPoint& found, double /*distance*/) {
    auto* nodes = static_cast<std::vector<FoundNode>*>(context);
    nodes->push_back(
        {found.id, static_cast<uint32_t>(nodes->size()), false, Point{found.easting, found.northing}});
}

}  // namespace

std::vector<std::pair<uint32_t, double>> Map::getNearestPointsAndDistances(double lat, double lon,
                                                                           double radius) const {
    if (!quadTree) return {};
    return quadTree->findPointsLessThan(lat, lon, radius);
}

std::vector<uint32_t> Map::getNearestPoints(double lat, double lon, double radius) const {
    const auto found = getNearestPointsAndDistances(lat, lon, radius);
    std::vector<uint32_t> ids;
    ids.reserve(found.size());
    for (const auto& f : found) ids.push_back(f.first);
    return ids;
}

// The hot spot of matching. Table lookups dominate its cost, so the end points already known from
// the index are not looked up again, and the candidates are kept in a per-thread buffer that is
// reused from call to call: apart from the result nothing is allocated once it has grown.
std::vector<std::pair<int, double>> Map::getNearestLinksAndDistances(double lat, double lon,
                                                                     double radius) const {
    std::vector<std::pair<int, double>> result;
    if (!quadTree) return result;

    thread_local std::vector<FoundNode> found;
    thread_local std::vector<LinkEnd> ends;
    found.clear();
    ends.clear();
    quadTree->visitPointsLessThan(lat, lon, kNodeSearchFactor * radius, collectFoundNode, &found);
    if (found.empty()) return result;

    // Adjacency lookups in ascending id: neighbouring ids share pages of the tables.
    std::sort(found.begin(), found.end(), [](const FoundNode& a, const FoundNode& b) { return a.id < b.id; });
    bool anyMissing = false;
    for (FoundNode& f : found) {
        const auto it = graph.find(f.id);
        if (it == graph.end()) {
            f.missing = anyMissing = true;
            continue;
        }
        for (const int l : it->second.forwardLinks) ends.push_back({l, f.id, true, f.point});
        for (const int l : it->second.backwardLinks) ends.push_back({l, f.id, false, f.point});
    }
    if (anyMissing) {  // reported in the order the nodes were found
        std::sort(found.begin(), found.end(),
                  [](const FoundNode& a, const FoundNode& b) { return a.rank < b.rank; });
        for (const FoundNode& f : found) {
            if (f.missing) messageStream() << "ERROR: non existing graph node " << f.id << "." << std::endl;
        }
    }
    if (ends.empty()) return result;
    std::sort(ends.begin(), ends.end(), [](const LinkEnd& a, const LinkEnd& b) { return a.link < b.link; });

    // Planar point of a link end: from the gathered ends when that node was found, else from the table.
    auto endPoint = [this](const LinkEnd* first, const LinkEnd* last, uint32_t node, bool isOrigin,
                           Point& out) {
        for (const LinkEnd* e = first; e != last; ++e) {
            if (e->node == node && e->isOrigin == isOrigin) {
                out = e->point;
                return true;
            }
        }
        const auto it = nodes.find(node);
        if (it == nodes.end()) {
            getNodePoint(node);  // reports the missing node
            return false;
        }
        out = Point{it->second.easting, it->second.northing};
        return true;
    };

    const Point q = toPlane(lat, lon);
    for (size_t i = 0; i < ends.size();) {
        size_t j = i + 1;
        while (j < ends.size() && ends[j].link == ends[i].link) ++j;
        const int id = ends[i].link;
        const LinkEnd* first = ends.data() + i;
        const LinkEnd* last = ends.data() + j;
        i = j;

        // A link met at both its ends (the usual case) has both points at hand: the adjacency
        // sets and the link's own ends agree, so its entry is not read, only checked to exist.
        const LinkEnd* origin = nullptr;
        const LinkEnd* destination = nullptr;
        for (const LinkEnd* e = first; e != last; ++e) (e->isOrigin ? origin : destination) = e;
        Point a, b;
        if (origin != nullptr && destination != nullptr) {
            if (!links.contains(id)) {
                messageStream() << "ERROR: non existing link. (" << id << ")" << std::endl;
                continue;
            }
            a = origin->point;
            b = destination->point;
        } else {
            const auto link = links.find(id);
            if (link == links.end()) {
                messageStream() << "ERROR: non existing link. (" << id << ")" << std::endl;
                continue;
            }
            if (!endPoint(first, last, link->second.origin, true, a)) continue;
            if (!endPoint(first, last, link->second.destination, false, b)) continue;
        }
        const double d = getNearestPointFromLink(a, b, q).second;
        if (d <= radius) result.emplace_back(id, d);
    }
    return result;
}

std::vector<int> Map::getNearestLinks(double lat, double lon, double radius) const {
    const auto found = getNearestLinksAndDistances(lat, lon, radius);
    std::vector<int> ids;
    ids.reserve(found.size());
    for (const auto& f : found) ids.push_back(f.first);
    return ids;
}

}  // namespace mapRepresentation
