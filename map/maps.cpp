#include "map/maps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <type_traits>

#include "geometry/GPSPoint.h"
#include "map/atomic_file.h"
#include "map/map_text.h"
#include "map/quadtree.h"

using mapRepresentation::AtomicFile;

namespace mapRepresentation {

Map::Map() : quadTree(std::make_unique<QuadTree>(this)) {}

Map::Map(std::string path) : Map() {
    initMap(path);
}

Map::Map(const Map& other) {
    copyFrom(other);
}

Map& Map::operator=(const Map& other) {
    if (this != &other) copyFrom(other);
    return *this;
}

Map::Map(Map&& other) {
    moveFrom(other);
}

Map& Map::operator=(Map&& other) {
    if (this != &other) moveFrom(other);
    return *this;
}

Map::~Map() = default;

void Map::copyFrom(const Map& other) {
    superNodes = other.superNodes;
    superLinks = other.superLinks;
    graph = other.graph;
    nodes = other.nodes;
    links = other.links;
    nextNodeId = other.nextNodeId;
    nextLinkId = other.nextLinkId;
    nextSuperLinkId = other.nextSuperLinkId;
    loadError = other.loadError;
    frame = other.frame;
    rebuildIndex();
}

void Map::moveFrom(Map& other) {
    superNodes = std::move(other.superNodes);
    superLinks = std::move(other.superLinks);
    graph = std::move(other.graph);
    nodes = std::move(other.nodes);
    links = std::move(other.links);
    nextNodeId = other.nextNodeId;
    nextLinkId = other.nextLinkId;
    nextSuperLinkId = other.nextSuperLinkId;
    loadError = other.loadError;
    frame = other.frame;
    // The index describes exactly the nodes that moved, so it moves with them and is re-pointed
    // at its new owner; the emptied source gets a fresh empty index of its own.
    quadTree = std::move(other.quadTree);
    if (quadTree)
        quadTree->map = this;
    else
        rebuildIndex();
    other.frame = geo::PlaneFrame();
    other.superNodes.clear();
    other.superLinks.clear();
    other.graph.clear();
    other.nodes.clear();
    other.links.clear();
    other.nextNodeId = 1;
    other.nextLinkId = 1;
    other.nextSuperLinkId = 1;
    other.loadError = false;
    other.rebuildIndex();
}

Map& keepUntilExit(Map&& map) {
    static std::vector<Map*>& kept = *std::make_unique<std::vector<Map*>>().release();
    kept.push_back(std::make_unique<Map>(std::move(map)).release());
    return *kept.back();
}

void Map::rebuildIndex() {
    quadTree.reset();
    quadTree = std::make_unique<QuadTree>(this);
}

// ---------------------------------------------------------------------------------------------
// Map file

bool isOnGlobe(double lat, double lon) {
    return std::fabs(lat) <= 90.0 && std::fabs(lon) <= 180.0;
}

namespace {

// The editable map as the reader's sink: the reader's refusals and this map's own reports together
// give the messages the map file has always given.
class MapSink final : public MapTextSink {
public:
    explicit MapSink(Map& map) : map(map) {}
    bool hasNode(uint32_t id) const override { return map.nodes.count(id) != 0; }
    void addNode(uint32_t id, double lat, double lon, double snr, double hdop) override {
        map.addNode(id, lat, lon, snr, hdop);
    }
    // The frame spanning every node, so that a map across zone lines measures in one plane.
    void nodesRead(uint32_t nextNodeId) override {
        map.nextNodeId = nextNodeId;
        geo::GeoBox box;
        for (const auto& [id, n] : map.nodes) box.add(_position{n.latitude, n.longitude});
        if (!box.empty) map.usePlaneFrame(box.frame());
    }
    void skipLinkId() override { ++map.nextLinkId; }
    bool addLink(uint32_t origin, uint32_t destination, double speed, uint32_t samples) override {
        return map.addLinkToNode(origin, destination, speed, samples) >= 0;
    }

private:
    Map& map;
};

bool finishSave(AtomicFile& file, const std::string& path, std::ostream& messages) {
    if (file.commit()) return true;
    messages << "ERROR: could not write map file " << path << "; the previous file is unchanged."
             << std::endl;
    return false;
}

bool openForSave(const AtomicFile& file, const std::string& path, std::ostream& messages) {
    if (file.isOpen()) return true;
    messages << "ERROR: could not create map file " << path << "; the previous file is unchanged."
             << std::endl;
    return false;
}

}  // namespace

void Map::initMap(std::string path) {
    MapSink sink(*this);
    loadError = readMapText(path, sink, messageStream());
}

bool Map::saveMap(std::string path) const {
    AtomicFile file(path);
    if (!openForSave(file, path, messageStream())) return false;
    {
        MapTextWriter out(file.stream());
        out.count(nodes.size());
        for (const auto& [id, n] : nodes) out.node(id, n.latitude, n.longitude, n.averageSnr, n.hdop);
        out.count(links.size());
        for (const auto& [id, l] : links) out.link(l.origin, l.destination, l.speed, l.samples);
    }
    return finishSave(file, path, messageStream());
}

bool Map::saveMapForPelorn(std::string path) const {
    AtomicFile file(path);
    if (!openForSave(file, path, messageStream())) return false;
    {
        MapTextWriter out(file.stream());
        out.count(nodes.size());
        for (const auto& [id, n] : nodes) out.node(id, n.latitude, n.longitude, n.easting, n.northing);
        out.count(links.size());
        for (const auto& [id, l] : links)
            out.link(id, l.origin, l.destination, l.heading, l.length, l.speed, l.samples);
    }
    return finishSave(file, path, messageStream());
}

void Map::showGraph() const {
    std::ostream& out = messageStream();
    out << "\n\n";
    out << "Node's Location : " << nodes.size() << '\n';
    for (const auto& [id, n] : nodes)
        out << "ID: " << id << "   Lat: " << n.latitude << "  Lon: " << n.longitude << '\n';
    out << "\nGraph connections: " << graph.size() << '\n';
    for (const auto& [id, e] : graph) {
        out << "ID: " << id << "  Forward links: ";
        for (int l : e.forwardLinks) out << l << ' ';
        out << " Backward links: ";
        for (int l : e.backwardLinks) out << l << ' ';
        out << '\n';
    }
    out << "\nLink information: " << links.size() << '\n';
    for (const auto& [id, l] : links)
        out << "ID: " << id << "  Or: " << l.origin << "  Dest: " << l.destination << '\n';
    out << "\n\n";
    out.flush();
}

void Map::mapInfo() const {
    messageStream() << quadTree->getQuadTreeStatistics();
}

// ---------------------------------------------------------------------------------------------
// Graph building

uint32_t Map::addNode(uint32_t id, double lat, double lon, double averageSnr, double hdop) {
    // The spatial index covers the globe only; a node it cannot hold would be invisible to the
    // nearest searches while the graph still used it.
    if (!isOnGlobe(lat, lon)) {
        messageStream() << "ERROR: node " << id << " lies outside the globe (" << lat << ", " << lon
                        << "); not added." << std::endl;
        return id;
    }
    if (!frame.isSet()) frame = geo::PlaneFrame::around(_position{lat, lon});
    const Point utm = toPlane(lat, lon);
    if (!nodes.try_emplace(id, _mNode{lat, lon, utm.y, utm.x, averageSnr, hdop}).second) {
        messageStream() << "ERROR: trying to add a node with an existing key : " << id << std::endl;
        return id;
    }
    graph.try_emplace(id);
    superNodes.try_emplace(id);
    quadTree->addNode(id);
    return id;
}

int Map::addLinkToNode(uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    const int id = nextLinkId++;
    return addLink(id, origin, destination, speed, samples);
}

int Map::addLink(int id, uint32_t origin, uint32_t destination, double speed, uint32_t samples) {
    if (origin == destination) {
        messageStream() << "ERROR: trying to add a link with the same start and end node." << std::endl;
        return -1;
    }
    // Re-using an id would orphan the old link in the adjacency sets and the super-link layer.
    if (links.count(id) != 0) {
        messageStream() << "ERROR: trying to add a link with an existing key : " << id << std::endl;
        return -1;
    }
    // A link to a node that is not in the map would leave half-filled adjacency entries behind.
    const auto oNode = nodes.find(origin);
    const auto dNode = nodes.find(destination);
    if (oNode == nodes.end() || dNode == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << (oNode == nodes.end() ? origin : destination)
                        << ")" << std::endl;
        return -1;
    }
    const Point a{oNode->second.easting, oNode->second.northing};
    const Point b{dNode->second.easting, dNode->second.northing};

    _mLink link;
    link.origin = origin;
    link.destination = destination;
    link.superLinkKey = -1;
    link.sequenceNumber = -1;
    link.heading = calcHeading(a, b);
    link.length = distance2Points(a, b);
    link.speed = speed;
    link.samples = samples;

    _mEdges& oEdges = graph[origin];
    _mEdges& dEdges = graph[destination];
    const int inO = static_cast<int>(oEdges.backwardLinks.size());
    const int outO = static_cast<int>(oEdges.forwardLinks.size());
    const int inD = static_cast<int>(dEdges.backwardLinks.size());
    const int outD = static_cast<int>(dEdges.forwardLinks.size());

    addLinkToSuperLayer(id, link, inO, outO, inD, outD);

    links.try_emplace(id, link);
    oEdges.forwardLinks.insert(id);
    dEdges.backwardLinks.insert(id);
    return id;
}

void Map::usePlaneFrame(const geo::PlaneFrame& other) {
    if (other == frame) return;
    frame = other;
    for (auto& [id, n] : nodes) {
        const Point q = toPlane(n.latitude, n.longitude);
        n.easting = q.x;
        n.northing = q.y;
    }
    for (auto& [id, link] : links) {
        const Point from = getNodePoint(link.origin);
        const Point to = getNodePoint(link.destination);
        link.heading = calcHeading(from, to);
        link.length = distance2Points(from, to);
    }
    rebuildIndex();
}

// ---------------------------------------------------------------------------------------------
// Lookups

Point Map::getNodePoint(uint32_t id) const {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << id << ")" << std::endl;
        return Point{};
    }
    return Point{it->second.easting, it->second.northing};
}

_position Map::getNodePosition(uint32_t id) const {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << id << ")" << std::endl;
        return _position{};
    }
    return _position{it->second.latitude, it->second.longitude};
}

_mLink Map::getLink(int id) const {
    const auto it = links.find(id);
    if (it == links.end()) {
        messageStream() << "ERROR: non existing link. (" << id << ")" << std::endl;
        return _mLink{};
    }
    return it->second;
}

namespace {

const _mEdges* findEdges(const IdTable<uint32_t, _mEdges>& graph, uint32_t id, std::ostream& messages) {
    const auto it = graph.find(id);
    if (it == graph.end()) {
        messages << "ERROR: There's no node in the map with key: " << id << std::endl;
        return nullptr;
    }
    return &it->second;
}

const _mLink* findLinkForKey(const IdTable<int32_t, _mLink>& links, int id, std::ostream& messages) {
    const auto it = links.find(id);
    if (it == links.end()) {
        messages << "ERROR: There's no link in the map with key: " << id << std::endl;
        return nullptr;
    }
    return &it->second;
}

}  // namespace

int Map::getNodeIndegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id, messageStream());
    return e ? static_cast<int>(e->backwardLinks.size()) : -1;
}

int Map::getNodeOutdegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id, messageStream());
    return e ? static_cast<int>(e->forwardLinks.size()) : -1;
}

int Map::getNodeDegree(uint32_t id) const {
    const _mEdges* e = findEdges(graph, id, messageStream());
    return e ? static_cast<int>(e->backwardLinks.size() + e->forwardLinks.size()) : -1;
}

int Map::getSuperLinkKey(int linkId) const {
    const _mLink* l = findLinkForKey(links, linkId, messageStream());
    return l ? l->superLinkKey : -1;
}

int Map::getSequenceNumber(int linkId) const {
    const _mLink* l = findLinkForKey(links, linkId, messageStream());
    return l ? l->sequenceNumber : -1;
}

}  // namespace mapRepresentation
