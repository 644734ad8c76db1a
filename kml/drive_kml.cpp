#include "kml/drive_kml.h"

#include <set>

#include "geometry/GPSPoint.h"
#include "kml/kml_conventions.h"
#include "map/atomic_file.h"

using mapRepresentation::AtomicFile;

namespace kmlMatch {

namespace {

void writeTrace(std::ostream& out, const Route& route) {
    writeKmlFolderHead(out, 1, "TRACE", "Trace");
    out << "\t\t<Placemark>\n\t\t\t<name>Trace</name>\n";
    writeKmlLineStart(out, 3, kKmlMagenta);
    for (const _node& n : route.nodes) writeKmlVertex(out, 5, n.position.lat, n.position.lon);
    writeKmlLineEnd(out, 3);
    out << "\t\t</Placemark>\n\t</Folder>\n";
}

// One line per piece through the nodes of its links, in driving order.
void writePieces(std::ostream& out, const mapRepresentation::CompactMap& map, const DriveMatch& drive) {
    writeKmlFolderHead(out, 1, "DRIVE", "Drive");
    for (size_t i = 0; i < drive.pieces.size(); ++i) {
        const Path& piece = *drive.pieces[i];
        out << "\t\t<Placemark>\n\t\t\t<name>Piece " << i << ": points " << piece.startIndex << " to "
            << piece.lastIndex << "</name>\n";
        writeKmlLineStart(out, 3, kKmlGreen);
        int previous = -1;
        for (const auto& [point, link] : piece.links) {
            const mapRepresentation::CompactLink* l = link == previous ? nullptr : map.findLink(link);
            if (l == nullptr) continue;
            if (previous < 0) {
                const mapRepresentation::CompactNode& o = map.node(l->origin);
                writeKmlVertex(out, 5, o.latitude, o.longitude);
            }
            const _position d{map.node(l->destination).latitude, map.node(l->destination).longitude};
            writeKmlVertex(out, 5, d.lat, d.lon);
            previous = link;
        }
        writeKmlLineEnd(out, 3);
        out << "\t\t</Placemark>\n";
    }
    out << "\t</Folder>\n";
}

void writeMatches(std::ostream& out, const geo::PlaneFrame& frame, const Route& route,
                  const DriveMatch& drive) {
    writeKmlFolderHead(out, 1, "MATCH", "Match");
    for (size_t i = 0; i < route.nodes.size() && i < drive.links.size(); ++i) {
        if (drive.links[i] < 0) continue;
        const _node& n = route.nodes[i];
        const _position at = frame.toGeographic(drive.points[i], n.position);
        out << "\t\t<Placemark>\n\t\t\t<name>Match: " << i << "</name>\n\t\t\t<description>Trace Point: " << i
            << "<br/>Map Link: " << drive.links[i] << "</description>\n";
        writeKmlLineStart(out, 3, kKmlBlue);
        writeKmlVertex(out, 5, n.position.lat, n.position.lon);
        writeKmlVertex(out, 5, at.lat, at.lon);
        writeKmlLineEnd(out, 3);
        out << "\t\t</Placemark>\n";
    }
    out << "\t</Folder>\n";
}

void writeLinks(std::ostream& out, const mapRepresentation::CompactMap& map, const DriveMatch& drive) {
    std::set<int> used;
    for (const auto& piece : drive.pieces)
        for (const auto& pair : piece->links) used.insert(pair.second);
    writeKmlFolderHead(out, 1, "LINKS", "Links");
    for (int id : used) {
        const mapRepresentation::CompactLink* l = map.findLink(id);
        if (l == nullptr) continue;
        const _position o = map.nodePosition(map.originId(*l));
        const _position d = map.nodePosition(map.destinationId(*l));
        out << "\t\t<Placemark>\n\t\t\t<name>Link: " << id << "</name>\n";
        writeKmlLineStart(out, 3, kKmlWhite);
        writeKmlVertex(out, 5, o.lat, o.lon);
        writeKmlVertex(out, 5, d.lat, d.lon);
        writeKmlLineEnd(out, 3);
        out << "\t\t</Placemark>\n";
    }
    out << "\t</Folder>\n";
}

}  // namespace

bool writeDriveKml(const std::string& path, const mapRepresentation::CompactMap& map, const Route& route,
                   const DriveMatch& drive) {
    AtomicFile file(path);
    if (!file.isOpen()) return false;
    std::ostream& out = file.stream();
    setKmlNumberFormat(out, kKmlMatchDecimals);
    writeKmlDocumentHead(out);
    writeTrace(out, route);
    writePieces(out, map, drive);
    writeMatches(out, map.planeFrame(), route, drive);
    writeLinks(out, map, drive);
    writeKmlDocumentEnd(out);
    return file.commit();
}

}  // namespace kmlMatch
