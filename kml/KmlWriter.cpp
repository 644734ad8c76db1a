#include "kml/KmlWriter.h"

#include <iostream>
#include <set>
#include <sstream>

#include "geometry/GPSPoint.h"
#include "kml/kml_conventions.h"
#include "kml/link_chains.h"
#include "map/atomic_file.h"

using mapRepresentation::AtomicFile;

using mapRepresentation::_mLink;
using mapRepresentation::_mNode;
using mapRepresentation::Map;

namespace {

// Text of a number in the writer's format, for labels assembled before they are written.
std::string number(double v) {
    std::ostringstream s;
    kmlMatch::setKmlNumberFormat(s, kmlMatch::kKmlWriterDecimals);
    s << v;
    return s.str();
}

_position utmToPosition(double easting, double northing, int zone, char band) {
    const GPSPoint g = GPSPoint::convertUTMToWGS84(easting, northing, zone, band);
    return _position{g.latitude, g.longitude};
}

// The node record; a node the map lacks is reported and drawn as a zero record, so that its
// placemark (and those of its links) still appear in the document.
_mNode nodeOrZero(const Map& map, uint32_t id) {
    const auto it = map.nodes.find(id);
    if (it != map.nodes.end()) return it->second;
    std::cout << "ERROR: non existing node. (" << id << ")" << std::endl;
    return _mNode{};
}

const _mLink* findLink(const Map& map, int id) {
    const auto it = map.links.find(id);
    if (it != map.links.end()) return &it->second;
    std::cout << "ERROR: non existing link. (" << id << ")" << std::endl;
    return nullptr;
}

}  // namespace

KmlWriter::KmlWriter(const std::string& fileName)
    : colors{kmlMatch::kmlOpaqueColor(kmlMatch::kKmlWhite), kmlMatch::kmlOpaqueColor(kmlMatch::kKmlMagenta),
             kmlMatch::kmlOpaqueColor(kmlMatch::kKmlBlue), kmlMatch::kmlOpaqueColor(kmlMatch::kKmlGreen),
             kmlMatch::kmlOpaqueColor(kmlMatch::kKmlRed)},
      file(std::make_unique<AtomicFile>(fileName)) {
    // The stream writes through the temporary file's buffer, so the document reaches fileName
    // only as a whole.
    documentOpen = file->isOpen();
    if (documentOpen)
        std::ios::rdbuf(file->stream().rdbuf());
    else
        setstate(std::ios::badbit);
    kmlMatch::setKmlNumberFormat(*this, kmlMatch::kKmlWriterDecimals);
    kmlMatch::writeKmlDocumentHead(*this);
    *this << "\t<open>1</open>\n";
}

KmlWriter::~KmlWriter() {
    // Back to the stream's own (closed) buffer before the temporary file goes away; an unfinished
    // document is dropped with it.
    std::ios::rdbuf(std::ofstream::rdbuf());
}

bool KmlWriter::closeDocument() {
    kmlMatch::writeKmlDocumentEnd(*this);
    flush();
    const bool complete = good();
    std::ios::rdbuf(std::ofstream::rdbuf());
    setstate(std::ios::badbit);  // the document is finished: later writes go nowhere
    documentOpen = false;
    return complete && file->commit();
}

void KmlWriter::openFolder(const std::string& name) {
    kmlMatch::writeKmlFolderHead(*this, 1, name, name);
}

void KmlWriter::closeFolder() {
    *this << "\t</Folder>\n";
}

const std::string& KmlWriter::colorAt(int i) const {
    static const std::string white = kmlMatch::kmlOpaqueColor(kmlMatch::kKmlWhite);
    if (colors.empty()) return white;
    return colors[static_cast<unsigned>(i) % colors.size()];
}

std::string KmlWriter::getColor() const {
    return colorAt(0);
}

std::string KmlWriter::getColor(int i) const {
    return colorAt(i);
}

void KmlWriter::setColor(int) {}

int KmlWriter::getColorInt() const {
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Map

void KmlWriter::buildMap(const Map& map, const std::string& name, int colorIndex) {
    const std::string safeName = kmlMatch::kmlEscapeText(name);
    *this << "\t<Folder id=\"" << safeName << "\">\n"
          << "\t\t<name>" << safeName << "</name>\n"
          << "\t\t<open>0</open>\n";

    *this << "\t\t<Folder id=\"NODES\">\n"
          << "\t\t\t<name>Nodes</name>\n"
          << "\t\t\t<visibility>0</visibility>\n"
          << "\t\t\t<Style id=\"mapNodeIcon\">\n"
          << "\t\t\t\t<IconStyle>\n"
          << "\t\t\t\t\t<Icon><href>" << kmlMatch::kmlIconUrl(kmlMatch::kKmlIconSquare) << "</href></Icon>"
          << "\t\t\t\t\t<scale>0.50</scale>\n"
          << "\t\t\t\t</IconStyle>\n"
          << "\t\t\t</Style>\n";
    for (const auto& entry : map.graph) {
        const _mNode n = nodeOrZero(map, entry.first);
        *this << "    <Placemark>\n"
              << "        <description>" << entry.first << "<br/>xy: " << n.longitude << ',' << n.latitude
              << "<br/>dop: " << n.hdop << "<br/>snr: " << n.averageSnr << "<br/></description>\n"
              << "\t\t<visibility>0</visibility>\n"
              << "\t\t<styleUrl>#mapNodeIcon</styleUrl>\n"
              << "        <Point>\n"
              << "            <coordinates>" << n.longitude << ',' << n.latitude << ",0</coordinates>\n"
              << "        </Point>\n"
              << "    </Placemark>\n";
    }
    *this << "\t\t</Folder>\n";

    *this << "\t\t<Folder id=\"LINKS\">\n"
          << "\t\t\t<name>Links</name>\n";
    const std::string& color = colorAt(colorIndex);
    for (const auto& [id, link] : map.links) {
        const _mNode from = nodeOrZero(map, link.origin);
        const _mNode to = nodeOrZero(map, link.destination);
        *this << "    <Placemark>\n"
              << "        <name>Link: " << id << "</name>\n"
              << "        <description>" << id << "</description>\n"
              << "        <Style>\n"
              << "            <LineStyle>\n"
              << "                <color>" << color << "</color>\n"
              << "                <width>4</width>\n"
              << "            </LineStyle>\n"
              << "        </Style>\n"
              << "        <LineString>\n"
              << "            <tessellate>0</tessellate>\n"
              << "            <altitudeMode>clampedToGround</altitudeMode>\n"
              << "            <coordinates>\n"
              << "                " << from.longitude << ',' << from.latitude << ",0\n"
              << "                " << to.longitude << ',' << to.latitude << ",0\n"
              << "            </coordinates>\n"
              << "        </LineString>\n"
              << "    </Placemark>\n";
    }
    *this << "\t\t</Folder>\n";

    *this << "\t\t<Folder id=\"MAPLINKSINFO\">\n"
          << "\t\t\t<name>LinkInfo</name>\n"
          << "\t\t\t<visibility>1</visibility>\n"
          << "\t\t\t<open>0</open>\n";
    for (int id : getLinksToDraw(map)) writeLinkInfo(map, id);
    *this << "\t\t</Folder>\n"
          << "   </Folder>\n";
}

void KmlWriter::writeLinkInfo(const Map& map, int linkId) {
    const _mLink* link = findLink(map, linkId);
    if (link == nullptr) return;
    const _mNode from = nodeOrZero(map, link->origin);
    const _mNode to = nodeOrZero(map, link->destination);
    const _position mid = map.planeFrame().toGeographic(
        Point{(from.easting + to.easting) / 2, (from.northing + to.northing) / 2},
        {from.latitude, from.longitude});
    const double headingDeg = rad2deg(link->heading);
    *this << "\t\t\t<Placemark>\n"
          << "\t\t\t\t<description>\n"
          << "\t\t\t\t\t<br/>Link : " << linkId << "<br/>orID: " << link->origin
          << " destID: " << link->destination << "<br/>Length:" << link->length
          << "<br/>Heading: " << headingDeg << "<br/>PassCount: " << link->samples
          << "<br/>\t\t\t\t</description>\n"
          << "\t\t\t\t<Style>\n"
          << "\t\t\t\t\t<IconStyle>\n"
          << "\t\t\t\t\t\t<Icon><href>" << kmlMatch::kmlIconUrl(kmlMatch::kKmlIconArrow) << "</href></Icon>\n"
          << "\t\t\t\t\t\t<scale>0.40</scale>\n"
          << "\t\t\t\t\t\t<heading>" << headingDeg + 180 << "</heading>\n"
          << "\t\t\t\t\t</IconStyle>\n"
          << "\t\t\t\t</Style>\n";
    kmlMatch::writeKmlViewBlock(*this, 4, mid.lat, mid.lon);
    *this << "\t\t\t</Placemark>\n";
}

// ---------------------------------------------------------------------------------------------
// Where link information is drawn

std::vector<int> KmlWriter::navigateForward(const Map& map, int linkId) {
    return kmlMatch::walkLinkChain(map, linkId, true);
}

std::vector<int> KmlWriter::navigateBackward(const Map& map, int linkId) {
    return kmlMatch::walkLinkChain(map, linkId, false);
}

std::list<int> KmlWriter::selectLinksFromPath(const std::vector<int>& path) {
    std::list<int> selected;
    const size_t n = path.size();
    if (n == 0) return selected;
    const size_t step = n <= 9 ? 3 : n <= 19 ? 4 : n <= 99 ? 10 : 30;
    size_t last = 0;
    for (size_t pos = 0; pos < n; pos += step) {
        selected.push_back(path[pos]);
        last = pos;
    }
    if (n - last >= 6) selected.push_back(path.back());
    return selected;
}

std::list<int> KmlWriter::getLinksToDraw(const Map& map) {
    kmlMatch::SampleMergeList result;
    std::set<int> visited;
    for (const auto& [node, edges] : map.graph) {
        if (edges.backwardLinks.size() <= 1 && edges.forwardLinks.size() <= 1) continue;
        for (int link : edges.forwardLinks) {
            if (!visited.insert(link).second) continue;
            result.merge(selectLinksFromPath(navigateForward(map, link)));
        }
        for (int link : edges.backwardLinks) {
            const std::vector<int> chain = navigateBackward(map, link);
            if (!visited.insert(chain.back()).second) continue;
            result.merge(selectLinksFromPath(chain));
        }
    }
    return result.values();
}

// ---------------------------------------------------------------------------------------------
// Traces and diagnostics

void KmlWriter::buildTrace(const Route& route, const std::string& name, int colorIndex) {
    openFolder(name);
    *this << "\t\t<Placemark>\n"
          << "\t\t\t<name>" << kmlMatch::kmlEscapeText(name) << "</name>\n";
    kmlMatch::writeKmlLineStartColor(*this, 3, colorAt(colorIndex));
    std::string placemarks;
    for (size_t i = 0; i < route.nodes.size(); ++i) {
        const _node& n = route.nodes[i];
        kmlMatch::writeKmlVertex(*this, 5, n.position.lat, n.position.lon);
        placemarks += route.pointToKml(static_cast<int>(i));
        placemarks += '\n';
    }
    kmlMatch::writeKmlLineEnd(*this, 3);
    *this << "\t\t</Placemark>\n"
          << "\t\t<Folder id=\"NODES\">\n"
          << "\t\t\t<name>Nodes</name>\n"
          << placemarks << '\n'
          << "\t\t</Folder>\n"
          << "\t</Folder>\n";
}

void KmlWriter::writeIconPlacemark(const std::string& description, const char* iconPath,
                                   const _position& where) {
    *this << "\t\t<Placemark>\n"
          << "\t\t<description>" << description << "</description>\n"
          << "\t\t<Style><IconStyle><Icon><href>" << kmlMatch::kmlIconUrl(iconPath)
          << "</href></Icon><scale>0.50</scale></IconStyle></Style>\n"
          << "\t\t<Point>\n"
          << "\t\t\t<coordinates>" << where.lon << ',' << where.lat << ",0</coordinates>\n"
          << "\t\t</Point>\n"
          << "\t</Placemark>\n";
}

void KmlWriter::buildUnmatchedTrace(const Route& route, const std::vector<_unmatchinfo*>& unmatched,
                                    const std::string& name) {
    openFolder(name);
    const long count = static_cast<long>(route.nodes.size());
    for (const _unmatchinfo* u : unmatched) {
        if (u == nullptr || u->startNode < 0 || u->endNode < u->startNode) continue;
        // A stretch reaching past the trace is drawn as far as the trace goes.
        const long last = std::min<long>(u->endNode, count - 1);
        for (long k = u->startNode; k <= last; ++k) {
            const _position& p = route.nodes[static_cast<size_t>(k)].position;
            writeIconPlacemark(std::to_string(k) + "<br/>xy: " + number(p.lon) + "," + number(p.lat),
                               kmlMatch::kKmlIconUnmatched, p);
        }
    }
    closeFolder();
}

void KmlWriter::writeLineWithMarker(const std::string& lineName, const _position& a, const _position& b,
                                    const std::string& markerText) {
    *this << "\t\t<Placemark>\n"
          << "\t\t\t<name>" << kmlMatch::kmlEscapeText(lineName) << "</name>\n";
    kmlMatch::writeKmlLineStartColor(*this, 3, colorAt(3));
    kmlMatch::writeKmlVertex(*this, 5, a.lat, a.lon);
    kmlMatch::writeKmlVertex(*this, 5, b.lat, b.lon);
    kmlMatch::writeKmlLineEnd(*this, 3);
    *this << "\t\t</Placemark>\n";
    writeIconPlacemark(markerText, kmlMatch::kKmlIconBlueBlankPal3, b);
}

void KmlWriter::addMatchInfo(const std::pair<_position, _position>& match, double distance) {
    writeLineWithMarker("match: " + number(distance), match.first, match.second,
                        "distance: " + number(distance));
}

void KmlWriter::addDistanceInfo(int id1, const Point& p1, int id2, const Point& p2, double distance, int zone,
                                char band) {
    const std::string label =
        "distance(" + std::to_string(id1) + "," + std::to_string(id2) + "): " + number(distance);
    writeLineWithMarker(label, utmToPosition(p1.x, p1.y, zone, band), utmToPosition(p2.x, p2.y, zone, band),
                        label);
}

void KmlWriter::addPointWindow(const std::string& name, const std::vector<std::pair<Point, double>>& points,
                               int zone, char band) {
    openFolder(name);
    for (size_t i = 0; i < points.size(); ++i) {
        const _position p = utmToPosition(points[i].first.x, points[i].first.y, zone, band);
        writeIconPlacemark("index: " + std::to_string(i) + "distance to link start: " +
                               number(points[i].second) + "<br/>xy: " + number(p.lon) + " , " + number(p.lat),
                           kmlMatch::kKmlIconCircle, p);
    }
    closeFolder();
}
