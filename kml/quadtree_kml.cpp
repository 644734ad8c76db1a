// QuadTree::getQuadTreeKML lives in the kml library: the picture of the index is a KML document and
// follows the KML conventions, while the map library never depends on KML output.
#include <sstream>
#include <string>

#include "kml/kml_conventions.h"
#include "map/maps.h"
#include "map/quadtree.h"

namespace mapRepresentation {

namespace {

// Coordinates take the general writer's 9 decimals: deep leaves are far narrower than the 6
// significant digits of the default format could draw.
std::string coordinate(double v) {
    std::ostringstream out;
    kmlMatch::setKmlNumberFormat(out, kmlMatch::kKmlWriterDecimals);
    out << v;
    return out.str();
}

struct Coord {
    double lon, lat;
};
std::ostream& operator<<(std::ostream& out, Coord c) {
    return out << coordinate(c.lon) << ',' << coordinate(c.lat) << ",0";
}

// A one-line style and a line of vertices separated by blanks: the picture is compact, unlike the
// tab-indented placemarks of the other documents.
void writeLine(std::ostream& out, const char* bbggrr, int width, const Coord* points, size_t count) {
    out << "<Placemark>\n"
        << "<Style><LineStyle><color>" << kmlMatch::kmlOpaqueColor(bbggrr) << "</color><width>" << width
        << "</width></LineStyle></Style>\n"
        << "<LineString>\n<tessellate>1</tessellate>\n<altitudeMode>clampToGround</"
           "altitudeMode>\n<coordinates>";
    for (size_t i = 0; i < count; ++i) out << (i > 0 ? " " : "") << points[i];
    out << "</coordinates>\n</LineString>\n</Placemark>\n";
}

void writeIconStyle(std::ostream& out, const char* id, const char* iconPath, const char* scale) {
    out << "<Style id=\"" << id << "\">\n<IconStyle>\n<scale>" << scale << "</scale>\n<Icon><href>"
        << kmlMatch::kmlIconUrl(iconPath) << "</href></Icon>\n</IconStyle>\n</Style>\n";
}

}  // namespace

struct QuadTree::KmlFolders {
    std::ostringstream nodes, borders, diagonals, centres;
    int leafCount = 0;
};

void QuadTree::gatherKMLinformation(const QuadNode* cell, int depth, KmlFolders& folders) const {
    if (cell == nullptr) return;
    if (!cell->leaf) {
        for (const auto& child : static_cast<const QuadInnerNode*>(cell)->children) {
            gatherKMLinformation(child.get(), depth + 1, folders);
        }
        return;
    }
    const auto* leaf = static_cast<const QuadLeafNode*>(cell);
    const int leafId = ++folders.leafCount;

    if (map != nullptr) {
        for (const uint32_t id : leaf->mapNodes) {
            const auto it = map->nodes.find(id);
            if (it == map->nodes.end()) continue;
            const Coord at{it->second.longitude, it->second.latitude};
            const std::string lon = coordinate(at.lon);
            const std::string lat = coordinate(at.lat);
            folders.nodes << "<Placemark>\n<description>ID: " << id << " xy: " << lon << ',' << lat
                          << "</description>\n<styleUrl>#nodeMapIcon</styleUrl>\n"
                          << "<LookAt><longitude>" << lon << "</longitude><latitude>" << lat
                          << "</latitude><range>50.0</range><tilt>0.0</tilt></LookAt>\n"
                          << "<Point><coordinates>" << at << "</coordinates></Point>\n</Placemark>\n";
        }
    }

    const double n = cell->centre.lat + cell->halfHeight;
    const double s = cell->centre.lat - cell->halfHeight;
    const double w = cell->centre.lon - cell->halfWidth;
    const double e = cell->centre.lon + cell->halfWidth;
    const Coord nw{w, n}, ne{e, n}, se{e, s}, sw{w, s};
    const Coord ring[] = {nw, ne, se, sw, nw};
    writeLine(folders.borders, kmlMatch::kKmlBlack, 3, ring, 5);
    const Coord diagonal1[] = {nw, se};
    const Coord diagonal2[] = {ne, sw};
    writeLine(folders.diagonals, kmlMatch::kKmlRed, 1, diagonal1, 2);
    writeLine(folders.diagonals, kmlMatch::kKmlRed, 1, diagonal2, 2);

    folders.centres << "<Placemark>\n<description>ID: " << leafId << " Depth: " << depth
                    << " Nodes: " << leaf->mapNodes.size() << " Width: " << 2.0 * cell->halfWidth
                    << " Height: " << 2.0 * cell->halfHeight << "</description>\n"
                    << "<styleUrl>#centerLeafIcon</styleUrl>\n<Point><coordinates>"
                    << Coord{cell->centre.lon, cell->centre.lat} << "</coordinates></Point>\n</Placemark>\n";
}

std::string QuadTree::getQuadTreeKML() const {
    KmlFolders folders;
    gatherKMLinformation(root.get(), 0, folders);

    std::ostringstream out;
    kmlMatch::writeKmlDocumentHead(out);

    out << "<Folder id=\"MAPNODES\">\n<name>Nodes</name>\n";
    writeIconStyle(out, "nodeMapIcon", kmlMatch::kKmlIconSquare, "0.40");
    out << folders.nodes.str() << "</Folder>\n";

    out << "<Folder id=\"QUADBORDERS\">\n<name>Leaf Borders</name>\n"
        << folders.borders.str() << "</Folder>\n";
    out << "<Folder id=\"QUADDIAGONALS\">\n<name>Leaf Diagonals</name>\n"
        << folders.diagonals.str() << "</Folder>\n";

    out << "<Folder id=\"CENTERSPOTS\">\n<name>Center LeafNodes</name>\n";
    writeIconStyle(out, "centerLeafIcon", kmlMatch::kKmlIconCircle, "0.80");
    out << folders.centres.str() << "</Folder>\n";

    kmlMatch::writeKmlDocumentEnd(out);
    return out.str();
}

}  // namespace mapRepresentation
