#include "kml/kml.h"

#include <algorithm>
#include <ctime>
#include <iostream>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "geometry/geometry.h"
#include "kml/kml_conventions.h"
#include "kml/link_chains.h"
#include "map/atomic_file.h"

using mapRepresentation::AtomicFile;

namespace kmlMatch {

namespace {

using mapRepresentation::_mLink;
using mapRepresentation::_mNode;
using mapRepresentation::Map;

// The node record, or a zero record after the error line when the map lacks it.
_mNode nodeRecord(const Map& map, uint32_t id) {
    const auto it = map.nodes.find(id);
    if (it != map.nodes.end()) return it->second;
    std::cout << "ERROR: non existing node. (" << id << ")" << std::endl;
    return _mNode{};
}

// Geographic position of a planar point of the map's frame (of the zone of `reference` without a map).
_position utmToPosition(const Map* map, double easting, double northing, const _position& reference) {
    const geo::PlaneFrame frame = map != nullptr ? map->planeFrame() : geo::PlaneFrame();
    return frame.toGeographic(Point{easting, northing}, reference);
}

// A point shows in the MATCH folder only when the map has its link; every other point shows in
// the UNMATCH folder, so that each point appears in one or the other.
bool drawnAsMatched(const Map* map, int linkId) {
    return linkId >= 0 && map != nullptr && map->links.find(linkId) != map->links.end();
}

// ctime text of a time, which carries its own line end.
const char* timeText(uint32_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    const char* text = std::ctime(&t);
    return text != nullptr ? text : "\n";
}

}  // namespace

KMLBuilder::KMLBuilder(const Map* map_, const Route* route_, std::vector<int> links_,
                       std::vector<std::pair<int, int>> segments_, std::string name_)
    : map(map_),
      route(route_),
      name(std::move(name_)),
      links(std::move(links_)),
      segments(std::move(segments_)) {}

namespace {

// A document that cannot be written is reported, never passed off as written; AtomicFile leaves
// any earlier file of the same name as it was.
bool openedForKml(const AtomicFile& file, const std::string& path) {
    if (file.isOpen()) return true;
    std::cout << "ERROR: could not create KML file " << path << "; the previous file is unchanged."
              << std::endl;
    return false;
}

bool committedKml(AtomicFile& file, const std::string& path) {
    if (file.commit()) return true;
    std::cout << "ERROR: could not write KML file " << path << "; the previous file is unchanged."
              << std::endl;
    return false;
}

}  // namespace

KMLBuilder::KMLBuilder(const Map* map_, const std::string& fileName) : map(map_) {
    AtomicFile file(fileName);
    if (!openedForKml(file, fileName)) return;
    std::ostream& out = file.stream();
    setKmlNumberFormat(out, kKmlMatchDecimals);
    writeKmlDocumentHead(out);
    buildLightMap(out);
    writeKmlDocumentEnd(out);
    committedKml(file, fileName);
}

KMLBuilder::KMLBuilder(const Route* route_, const std::vector<Route>& routes, const std::string& fileName)
    : route(route_) {
    AtomicFile file(fileName);
    if (!openedForKml(file, fileName)) return;
    std::ostream& out = file.stream();
    setKmlNumberFormat(out, kKmlMatchDecimals);
    writeKmlDocumentHead(out);
    if (route != nullptr) writeTraceFolder(out, *route);
    for (const Route& r : routes) writeTraceFolder(out, r);
    writeKmlDocumentEnd(out);
    committedKml(file, fileName);
}

std::string KMLBuilder::getFileName() const {
    const std::string routeName = route != nullptr ? route->name : std::string();
    if (name.empty()) return "data/match_" + routeName + ".kml";
    return "data/match_" + name + "_" + routeName + ".kml";
}

bool KMLBuilder::buildKML() {
    if (map == nullptr || route == nullptr) return false;
    // Written beside the target and renamed over it once complete: an interrupted run keeps the
    // previous document instead of leaving a truncated one.
    const std::string fileName = getFileName();
    AtomicFile file(fileName);
    if (!openedForKml(file, fileName)) return false;
    std::ostream& out = file.stream();
    setKmlNumberFormat(out, kKmlMatchDecimals);
    writeKmlDocumentHead(out);
    buildMap(out);
    buildTrace(out);
    buildMatched(out);
    buildUnmatched(out);
    buildSegments(out);
    writeKmlDocumentEnd(out);
    return committedKml(file, fileName);
}

void KMLBuilder::buildMap(std::ostream& out) {
    writeKmlFolderHead(out, 1, "MAP", "Map");

    writeKmlFolderHead(out, 2, "MAPNODES", "Nodes");
    out << "\t\t\t<Style id=\"nodeMapIcon\">\n"
        << "\t\t\t\t<IconStyle>\n"
        << "\t\t\t\t\t<Icon><href>" << kmlIconUrl(kKmlIconSquare) << "</href></Icon>\n"
        << "\t\t\t\t\t<scale>0.50</scale>\n"
        << "\t\t\t\t</IconStyle>\n"
        << "\t\t\t</Style>\n";
    if (map != nullptr) {
        for (const auto& entry : map->graph) {
            const _position p = map->getNodePosition(entry.first);
            out << "\t\t\t<Placemark>\n"
                << "\t\t\t\t<description>\n"
                << "\t\t\t\t\t<br/>xy: " << p.lon << ',' << p.lat << "<br/>\n"
                << "\t\t\t\t</description>\n"
                << "\t\t\t\t<styleUrl>#nodeMapIcon</styleUrl>\n";
            writeKmlViewBlock(out, 4, p.lat, p.lon);
            out << "\t\t\t</Placemark>\n";
        }
    }
    out << "\t\t</Folder>\n";

    writeMapLinksFolder(out);

    writeKmlFolderHead(out, 2, "MAPLINKSINFO", "LinkInfo");
    if (map != nullptr) {
        for (const auto& entry : map->links) out << builLinkInfo(entry.first);
    }
    out << "\t\t</Folder>\n";
    out << "   </Folder>\n";
}

void KMLBuilder::writeMapLinksFolder(std::ostream& out) {
    writeKmlFolderHead(out, 2, "MAPLINKS", "Links");
    if (map != nullptr) {
        for (const auto& [id, link] : map->links) {
            const _position from = map->getNodePosition(link.origin);
            const _position to = map->getNodePosition(link.destination);
            out << "\t\t\t<Placemark>\n"
                << "\t\t\t\t<description>\n"
                << "\t\t\t\t\t<br/>Link : " << id << "<br/>Heading: " << rad2deg(link.heading) << "<br/>\n"
                << "\t\t\t\t</description>\n"
                << "\t\t\t\t<name>Link: " << id << "</name>\n";
            writeKmlLineStart(out, 4, kKmlWhite);
            writeKmlVertex(out, 6, from.lat, from.lon);
            writeKmlVertex(out, 6, to.lat, to.lon);
            writeKmlLineEnd(out, 4);
            out << "\t\t\t</Placemark>\n";
        }
    }
    out << "\t\t</Folder>\n";
}

std::string KMLBuilder::builLinkInfo(int linkId) {
    if (map == nullptr) return std::string();
    const _mLink link = map->getLink(linkId);
    const _mNode origin = nodeRecord(*map, link.origin);
    const _mNode destination = nodeRecord(*map, link.destination);
    const _position mid = utmToPosition(map, (origin.easting + destination.easting) * 0.5,
                                        (origin.northing + destination.northing) * 0.5,
                                        _position{origin.latitude, origin.longitude});
    const double headingDeg = rad2deg(link.heading);

    std::ostringstream s;
    setKmlNumberFormat(s, kKmlMatchDecimals);
    s << "\t\t\t<Placemark>\n"
      << "\t\t\t\t<description>\n"
      << "\t\t\t\t\t<br/>Link: " << linkId << "<br/>Heading: " << headingDeg << "<br/>\n"
      << "\t\t\t\t\tLength: " << link.length << " m.<br/>Pass Count: " << link.samples << "<br/>\n"
      << "\t\t\t\t</description>\n"
      << "\t\t\t\t<Style>\n"
      << "\t\t\t\t\t<IconStyle>\n"
      << "\t\t\t\t\t\t<Icon><href>" << kmlIconUrl(kKmlIconArrow) << "</href></Icon>\n"
      << "\t\t\t\t\t\t<scale>0.40</scale>\n"
      << "\t\t\t\t\t\t<heading>" << headingDeg + 180.0 << "</heading>\n"
      << "\t\t\t\t\t</IconStyle>\n"
      << "\t\t\t\t</Style>\n";
    writeKmlViewBlock(s, 4, mid.lat, mid.lon);
    s << "\t\t\t</Placemark>\n";
    return s.str();
}

void KMLBuilder::buildTrace(std::ostream& out) {
    if (route != nullptr) {
        writeTraceFolder(out, *route);
    } else {
        writeTraceFolder(out, Route());
    }
}

void KMLBuilder::writeTraceFolder(std::ostream& out, const Route& trace) {
    writeKmlFolderHead(out, 1, "TRACE", "Trace");

    writeKmlFolderHead(out, 2, "TRACELINKS", "Links");
    out << "\t\t\t<Placemark>\n"
        << "\t\t\t\t<name>Trace</name>\n";
    writeKmlLineStart(out, 4, kKmlMagenta);
    for (const _node& n : trace.nodes) writeKmlVertex(out, 6, n.position.lat, n.position.lon);
    writeKmlLineEnd(out, 4);
    out << "\t\t\t</Placemark>\n"
        << "\t\t</Folder>\n";

    writeKmlFolderHead(out, 2, "TRACENODES", "Nodes");
    for (size_t i = 0; i < trace.nodes.size(); ++i) out << trace.pointToKml(static_cast<int>(i));
    out << "\t\t</Folder>\n";
    out << "\t</Folder>\n";
}

void KMLBuilder::buildMatched(std::ostream& out) {
    writeKmlFolderHead(out, 1, "MATCH", "Match");
    if (map != nullptr && route != nullptr) {
        const size_t count = std::min(links.size(), route->nodes.size());
        for (size_t i = 0; i < count; ++i) {
            const int linkId = links[i];
            if (linkId < 0) continue;
            if (map->links.find(linkId) == map->links.end()) {
                map->getLink(linkId);  // its error line; the point is drawn as unmatched
                continue;
            }
            const _node& n = route->nodes[i];
            const _mLink link = map->getLink(linkId);
            const Point q =
                getNearestPointFromLink(map->getNodePoint(link.origin), map->getNodePoint(link.destination),
                                        Point{n.easting, n.northing})
                    .first;
            const _position onLink = utmToPosition(map, q.x, q.y, map->getNodePosition(link.destination));
            out << "\t\t<Placemark>\n"
                << "\t\t\t<description>\n"
                << "\t\t\t\t\t<br/>Trace Point: " << i << "<br/>Map Link: " << linkId << "<br/>\n"
                << "\t\t\t</description>\n"
                << "\t\t\t<name>Match: " << i << "</name>\n";
            writeKmlLineStart(out, 3, kKmlBlue);
            writeKmlVertex(out, 5, n.position.lat, n.position.lon);
            writeKmlVertex(out, 5, onLink.lat, onLink.lon);
            writeKmlLineEnd(out, 3);
            out << "\t\t</Placemark>\n";
        }
    }
    out << "\t</Folder>\n";
}

void KMLBuilder::buildUnmatched(std::ostream& out) {
    writeKmlFolderHead(out, 1, "UNMATCH", "Unmatch");
    out << "\t\t<Style id=\"unmatchIcon\">\n"
        << "\t\t\t<IconStyle>\n"
        << "\t\t\t\t<Icon><href>" << kmlIconUrl(kKmlIconUnmatched) << "</href></Icon>\n"
        << "\t\t\t\t<scale>0.55</scale>\n"
        << "\t\t\t</IconStyle>\n"
        << "\t\t</Style>\n";
    if (route != nullptr) {
        // A point the result has no entry for is not matched either.
        for (size_t i = 0; i < route->nodes.size(); ++i) {
            if (i < links.size() && drawnAsMatched(map, links[i])) continue;
            const _node& n = route->nodes[i];
            out << "\t\t\t<Placemark>\n"
                << "\t\t\t\t<description>" << i << '\n'
                << "\t\t\t\t\t<br/>xy: " << n.position.lon << ',' << n.position.lat << '\n'
                << "\t\t\t\t\t<br/>Heading: " << rad2deg(n.heading) << '\n'
                << "\t\t\t\t\t<br/>Speed: " << n.speed << '\n'
                << "\t\t\t\t\t<br/>Date: " << timeText(n.arrivalTime) << "\t\t\t\t</description>\n"
                << "\t\t\t\t<styleUrl>#unmatchIcon</styleUrl>\n";
            writeKmlViewBlock(out, 4, n.position.lat, n.position.lon);
            out << "\t\t\t</Placemark>\n";
        }
    }
    out << "\t</Folder>\n";
}

void KMLBuilder::buildSegments(std::ostream& out) {
    writeKmlFolderHead(out, 1, "SEGMENTS", "Segments");
    out << "\t\t<Style id=\"flexSegIcon\">\n"
        << "\t\t\t<IconStyle>\n"
        << "\t\t\t\t<Icon><href>" << kmlIconUrl(kKmlIconBlueBlankPaddle) << "</href></Icon>\n"
        << "\t\t\t\t<scale>0.70</scale>\n"
        << "\t\t\t</IconStyle>\n"
        << "\t\t</Style>\n";
    if (route != nullptr) {
        const long pointCount = static_cast<long>(route->nodes.size());
        for (size_t k = 0; k + 1 < segments.size(); ++k) {
            const long p = segments[k].second;
            // A break needs a point on either side of it.
            if (p < 0 || p + 1 >= pointCount) continue;
            const _node& a = route->nodes[static_cast<size_t>(p)];
            const _node& b = route->nodes[static_cast<size_t>(p + 1)];
            const _position mid = utmToPosition(map, (a.easting + b.easting) * 0.5,
                                                (a.northing + b.northing) * 0.5, a.position);
            out << "\t\t<Placemark>\n"
                << "\t\t\t<description>" << k << '\n'
                << "\t\t\t\t<br/>Break between point: " << p << " and " << p + 1 << '\n'
                << "\t\t\t</description>\n"
                << "\t\t\t<styleUrl>#flexSegIcon</styleUrl>\n";
            writeKmlViewBlock(out, 3, mid.lat, mid.lon);
            out << "\t\t</Placemark>\n";
        }
    }
    out << "\t</Folder>\n";
}

void KMLBuilder::buildLightMap(std::ostream& out) {
    writeKmlFolderHead(out, 1, "MAP", "Map");
    writeMapLinksFolder(out);
    writeKmlFolderHead(out, 2, "MAPLINKSINFO", "LinkInfo");
    for (int id : getLinksToDraw()) out << builLinkInfo(id);
    out << "\t\t</Folder>\n";
    out << "   </Folder>\n";
}

std::vector<int> KMLBuilder::navigateForward(int linkId) {
    return map == nullptr ? std::vector<int>{} : walkLinkChain(*map, linkId, true);
}

std::vector<int> KMLBuilder::navigateBackward(int linkId) {
    return map == nullptr ? std::vector<int>{} : walkLinkChain(*map, linkId, false);
}

std::vector<int> KMLBuilder::selectLinksFromPath(const std::vector<int>& path) {
    std::vector<int> selected;
    const size_t m = path.size();
    if (m == 0) return selected;
    const size_t step = m <= 9 ? 3 : m <= 19 ? 4 : m <= 99 ? 10 : 30;
    size_t last = 0;
    for (size_t pos = 0; pos < m; pos += step) {
        selected.push_back(path[pos]);
        last = pos;
    }
    // The chain's last link always carries an arrow; it replaces a taken link that lies close to it.
    if (m - last < 5 && m != 2 && m != 3) {
        selected.back() = path.back();
    } else {
        selected.push_back(path.back());
    }
    return selected;
}

std::set<int> KMLBuilder::getLinksToDraw() {
    std::set<int> result;
    if (map == nullptr) return result;
    std::set<int> visited;
    for (const auto& [node, edges] : map->graph) {
        if (edges.backwardLinks.size() <= 1 && edges.forwardLinks.size() <= 1) continue;
        for (int linkId : edges.forwardLinks) {
            if (!visited.insert(linkId).second) continue;
            for (int l : selectLinksFromPath(navigateForward(linkId))) result.insert(l);
        }
        for (int linkId : edges.backwardLinks) {
            const std::vector<int> chain = navigateBackward(linkId);
            if (chain.empty() || !visited.insert(chain.back()).second) continue;
            for (int l : selectLinksFromPath(chain)) result.insert(l);
        }
    }
    return result;
}

}  // namespace kmlMatch
