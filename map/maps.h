// The road map: a directed graph of nodes and one-way links, the super-link layer that chains links
// between junctions, and a spatial index of the nodes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/plane_frame.h"
#include "map/id_table.h"

class Route;

namespace mapRepresentation {

// Node ids run up to one below the top of their range, so that the next free id still fits.
inline constexpr long long kLargestNodeId = static_cast<long long>(UINT32_MAX) - 1;

class QuadTree;

// One map node. northing/easting are derived from latitude/longitude when the node is added.
struct _mNode {
    double latitude = 0.0;
    double longitude = 0.0;
    double northing = 0.0;
    double easting = 0.0;
    double averageSnr = 0.0;  // carried through the map file, not used for matching
    double hdop = 0.0;        // carried through the map file, not used for matching
};

// One directed link from origin to destination.
struct _mLink {
    uint32_t origin = 0;
    uint32_t destination = 0;
    int32_t superLinkKey = -1;    // super-link holding this link
    int32_t sequenceNumber = -1;  // 0-based position inside that super-link
    double heading = 0.0;         // radians clockwise from north, origin -> destination
    double length = 0.0;          // metres
    double speed = 0.0;           // running mean of observed speeds
    uint32_t samples = 0;         // observations behind speed
};

// The links at one node.
struct _mEdges {
    SortedIdSet<int32_t> backwardLinks;  // links ending here
    SortedIdSet<int32_t> forwardLinks;   // links starting here
};

// A chain of links between two super-nodes through pass-through nodes.
struct _mSuperLink {
    uint32_t origin = 0;
    uint32_t destination = 0;
    LinkChain links;  // in driving order
};

// The super-links at one super-node.
struct _mSuperEdges {
    SortedIdSet<int32_t> backwardSuperLinks;  // super-links ending here
    SortedIdSet<int32_t> forwardSuperLinks;   // super-links starting here
};

// A latitude and longitude that name a place (NaN and out-of-range values do not).
bool isOnGlobe(double lat, double lon);

// How a walk along a road decides that the road goes on past the node it reaches.
enum class RoadRule {
    // On while the node leaves exactly one way on (forward: one outgoing link, so roads merging in
    // do not stop it; backward: one incoming link). A ring is walked round again until the limit.
    SingleWayOn,
    // On only through nodes with exactly one link in and one out; the walk ends before its start
    // link would come round again.
    PassThrough,
};

// The links a walk along a road moved onto, and why it stopped.
struct RoadWalk {
    enum class End { Junction, BackAtStart, Limit, MissingLink, MissingNode };
    std::vector<int> links;  // in walking order; the start link is not included
    End end = End::Junction;
    int64_t missing = -1;  // the link or node id the tables lacked (MissingLink, MissingNode)
};

class Map {
public:
    IdTable<uint32_t, _mSuperEdges> superNodes;
    IdTable<int32_t, _mSuperLink> superLinks;
    IdTable<uint32_t, _mEdges> graph;
    IdTable<uint32_t, _mNode> nodes;
    IdTable<int32_t, _mLink> links;
    uint32_t nextNodeId = 1;
    int32_t nextLinkId = 1;
    int32_t nextSuperLinkId = 1;
    std::unique_ptr<QuadTree> quadTree;

    Map();
    explicit Map(std::string path);
    // Copies get their own index, built over the copied nodes; an index is never shared.
    Map(const Map& other);
    Map& operator=(const Map& other);
    // Moves take the tables and their index along; the source is left an empty, valid map.
    Map(Map&& other);
    Map& operator=(Map&& other);
    ~Map();

    // Reads a map file into this map (see saveMap for the layout).
    void initMap(std::string path);
    // True when the last initMap met a file it could not read completely; the map then holds only
    // what was read before the fault and must not be written back over that file.
    bool hadLoadError() const { return loadError; }

    // Graph building.
    uint32_t addNode(uint32_t id, double lat, double lon, double averageSnr, double hdop);
    int addLinkToNode(uint32_t origin, uint32_t destination, double speed, uint32_t samples);
    int addLink(int id, uint32_t origin, uint32_t destination, double speed, uint32_t samples);

    // The plane every node, link and query of this map measures in: the frame spanning the nodes read
    // from a file, or the own zone of the first node added to an empty map. Traces are matched in it.
    const geo::PlaneFrame& planeFrame() const { return frame; }
    Point toPlane(double lat, double lon) const { return frame.toPlane(_position{lat, lon}); }
    // Measures the map in another frame: every node, link heading and length, and the index.
    void usePlaneFrame(const geo::PlaneFrame& other);

    // Lookups. A missing id prints an error line and gives a default value (-1 for integers).
    Point getNodePoint(uint32_t id) const;
    _position getNodePosition(uint32_t id) const;
    _mLink getLink(int id) const;
    int getNodeIndegree(uint32_t id) const;
    int getNodeOutdegree(uint32_t id) const;
    int getNodeDegree(uint32_t id) const;
    int getSuperLinkKey(int linkId) const;
    int getSequenceNumber(int linkId) const;

    // Files and dumps. The saves replace the target only after a complete write; false on failure.
    bool saveMap(std::string path) const;
    bool saveMapForPelorn(std::string path) const;
    void showGraph() const;
    void mapInfo() const;

    // Super-link layer.
    void splitSuperLink(int key, uint32_t node);
    void mergeSuperLinks(uint32_t node);
    void buildSuperMap();
    void deleteLinkFromSuperLink(int key, int link);
    // Prints the check of both layers; false when it found them inconsistent ("ERROR: Validating map.").
    bool validateMap() const;

    // Reachability queries.
    bool isConnected(int a, int b) const;
    bool areMirrored(int a, int b) const;
    bool belongSameSuperLink(int a, int b) const;
    std::vector<int> getLinksUntilNextJunction(int link, int count) const;
    std::vector<int> getLinksUntilPreviousJunction(int link, int count) const;
    // The one walk along a road from `link` (forward with the traffic, or backward against it),
    // moving onto at most maxLinks links. Silent: the caller decides what a missing id means.
    RoadWalk followRoad(int link, bool forward, RoadRule rule, size_t maxLinks) const;
    std::set<int> getAllAchievableLinks(int link, int depth) const;
    std::set<int> getAllFormerLinks(int link, int depth) const;
    std::set<int> getAllAchievableSuperLinks(int superLink, int depth, int maxLinks) const;
    std::vector<int> getLinksBetween(int from, int to) const;
    std::pair<bool, std::vector<int>> isAchievableWithoutAmbiguity(int from, int to, int maxSteps) const;
    std::pair<bool, std::vector<int>> isAchievableWithAmbiguity(int from, int to, int maxLinks) const;

    // Nearest search over the spatial index.
    std::vector<std::pair<uint32_t, double>> getNearestPointsAndDistances(double lat, double lon,
                                                                          double radius) const;
    std::vector<uint32_t> getNearestPoints(double lat, double lon, double radius) const;
    std::vector<std::pair<int, double>> getNearestLinksAndDistances(double lat, double lon,
                                                                    double radius) const;
    std::vector<int> getNearestLinks(double lat, double lon, double radius) const;

    // ---- Map editing ---------------------------------------------------------------------------
    // Building maps from traces, moving, inserting and deleting nodes and links, and merging paths
    // of links into links. Every operation keeps both layers and the index consistent; a missing
    // node or link prints a message and changes nothing. (map/maps_editing.cpp)

    // A map of one trace: a node per point, a link between consecutive points.
    explicit Map(const Route& route);
    void initMapFromRoute(const Route& route);
    // Adds a node under the next free id and returns the id.
    uint32_t addNodeToMap(double lat, double lon, double averageSnr, double hdop);
    // Splits a link at a new node, which is returned (0, nothing changed, when the link is missing
    // or the position is off the globe).
    uint32_t addNodeInLink(int link, double lat, double lon, double averageSnr, double hdop);
    // Replaces a node's record (all fields as given) and refreshes its links' heading and length.
    void updateNode(uint32_t id, _mNode record);
    // Weighted average of two node records in UTM; a zero weight sum gives a unchanged.
    static _mNode calcAvgNode(_mNode a, int wa, _mNode b, int wb);
    // Moves node a to the weighted average of nodes a and b.
    void calcAvgNode(uint32_t a, int wa, uint32_t b, int wb);
    // Folds `samples` observations of `speed` into the link's mean speed.
    void updateLinkStats(int link, double speed, unsigned samples);
    // Re-attaches a link to other end nodes under the same id.
    void updateLink(int link, uint32_t origin, uint32_t destination);
    // Removes a link, and its end nodes when they are left without links.
    void deleteLink(int link);
    // Removes a node without links from the tables and the index.
    void deleteNode(uint32_t id);
    // Moves every link of node `remove` to node `keep`; links that would become loops are deleted.
    void mergeEdges(uint32_t keep, uint32_t remove);
    // Collapses a path of links onto one link; a negative weight means the path runs against it.
    void mergeLinks(int link, std::vector<int> path, int weight);
    // mergeLinks for every pair, then deletes the merged path links.
    void mergePaths(std::vector<std::pair<int, std::vector<int>>> pairs, int weight);
    // Writes the map as a KML document (defined in the kml library); false when it could not be written.
    bool saveToKml(std::string path) const;
    // Where every message of the map and its index goes (loading, saving, lookups, editing, the
    // checks): standard output unless a tool gathers or filters them.
    // The stream belongs to whoever holds the map, so copies and moves do not take it along.
    void setMessageStream(std::ostream& out) { messages = &out; }
    std::ostream& messageStream() const;
    // ---- end of map editing --------------------------------------------------------------------

private:
    bool loadError = false;
    geo::PlaneFrame frame;
    std::ostream* messages = nullptr;  // standard output when null

    // A node with exactly one link in and one out only continues a road.
    bool isPassThrough(uint32_t node) const;
    // Keeps the super-link layer up to date for a link about to be inserted (degrees taken before it).
    void addLinkToSuperLayer(int id, _mLink& link, int inO, int outO, int inD, int outD);
    // splitSuperLink, where a loop anchored at endA or endB keeps its anchor: that node is about to
    // become a junction even though its degrees do not show it yet.
    void cutSuperLink(int key, uint32_t node, uint32_t endA, uint32_t endB);
    // The super-node entry of an end the layer relies on; reports and recreates a missing one.
    _mSuperEdges& requireSuperNode(uint32_t node, int key, int link, int innerLink);
    void copyFrom(const Map& other);
    void moveFrom(Map& other);
    void rebuildIndex();
};

// A node and a link for buildInBulk.
struct BulkNode {
    uint32_t id = 0;
    double lat = 0.0;
    double lon = 0.0;
    double averageSnr = 0.0;
    double hdop = 0.0;
};
struct BulkLink {
    uint32_t origin = 0;
    uint32_t destination = 0;
    double speed = 0.0;
    uint32_t samples = 0;
};

// Fills an empty map with `nodes` (ascending ids) and `links` (ids 1, 2, ... in their order): the
// map that addNode for every node and then addLinkToNode for every link would give, super-link keys
// included, without paying the per-link upkeep of the tables. False, with the map unchanged, for input
// those calls would refuse or report: unordered or repeated node ids, a position off the globe, a link
// end that is no node, a link from a node to itself. nextNodeId is left to the caller.
bool buildInBulk(Map& map, std::vector<BulkNode> nodes, std::vector<BulkLink> links);

// Hands a map over to live until the process ends. A program that loads a map once lets the exit
// reclaim its memory instead of freeing millions of entries one by one; the map stays reachable
// from a static list, so leak checkers do not report it.
Map& keepUntilExit(Map&& map);

}  // namespace mapRepresentation
