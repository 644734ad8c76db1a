// Map editing and merging: maps built from traces, nodes inserted, moved, averaged and deleted,
// links re-attached and deleted, and paths of links merged into links. Every operation leaves the
// link graph, the super-link layer and the spatial index consistent.
#include <algorithm>
#include <iostream>
#include <set>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "map/quadtree.h"
#include "traces/route.h"

namespace mapRepresentation {

namespace {

Point pointOf(const _mNode& n) {
    return Point{n.easting, n.northing};
}

// Heading and length of a link from the current positions of its end nodes.
void refreshGeometry(Map& map, _mLink& link) {
    const auto o = map.nodes.find(link.origin);
    const auto d = map.nodes.find(link.destination);
    if (o == map.nodes.end() || d == map.nodes.end()) return;
    link.heading = calcHeading(pointOf(o->second), pointOf(d->second));
    link.length = distance2Points(pointOf(o->second), pointOf(d->second));
}

// Refreshes every link that starts or ends at node.
void refreshLinksAt(Map& map, uint32_t node) {
    const auto g = map.graph.find(node);
    if (g == map.graph.end()) return;
    for (const auto* set : {&g->second.backwardLinks, &g->second.forwardLinks}) {
        for (int id : *set) {
            const auto l = map.links.find(id);
            if (l != map.links.end()) refreshGeometry(map, l->second);
        }
    }
}

// Mean of two observation sets; with no observations at all the speed stays as it was.
void foldSpeed(_mLink& link, double speed, unsigned samples) {
    const double total = static_cast<double>(link.samples) + samples;
    if (total > 0) link.speed = (link.samples * link.speed + samples * speed) / total;
    link.samples += samples;
}

}  // namespace

std::ostream& Map::messageStream() const {
    return messages != nullptr ? *messages : std::cout;
}

Map::Map(const Route& route) : Map() {
    initMapFromRoute(route);
}

void Map::initMapFromRoute(const Route& route) {
    messageStream() << "initing map from route... " << std::endl;
    uint32_t previous = 0;
    for (size_t i = 0; i < route.nodes.size(); ++i) {
        const _node& p = route.nodes[i];
        const uint32_t id = addNodeToMap(p.position.lat, p.position.lon, p.averageSnr, p.hdop);
        if (i > 0) addLinkToNode(previous, id, p.speed, 1);
        previous = id;
    }
    messageStream() << "map initiated." << std::endl;
}

uint32_t Map::addNodeToMap(double lat, double lon, double averageSnr, double hdop) {
    const uint32_t id = nextNodeId++;
    return addNode(id, lat, lon, averageSnr, hdop);
}

uint32_t Map::addNodeInLink(int link, double lat, double lon, double averageSnr, double hdop) {
    if (links.find(link) == links.end()) {
        messageStream() << "ERROR: Link " << link << " not found." << std::endl;
        return 0;
    }
    // Checked before anything changes: a refused node would leave the split link pointing at it.
    if (!isOnGlobe(lat, lon)) {
        messageStream() << "ERROR: node position outside the globe (" << lat << ", " << lon << "); link "
                        << link << " not split." << std::endl;
        return 0;
    }
    const uint32_t n = addNodeToMap(lat, lon, averageSnr, hdop);
    // n lies inside the link's super-link, so it only continues the road.
    messageStream() << "deleting super node: " << n << std::endl;
    superNodes.erase(n);

    const int newId = nextLinkId++;
    _mLink& old = links[link];
    const uint32_t formerDestination = old.destination;
    old.destination = n;
    refreshGeometry(*this, old);

    _mLink added = old;
    added.origin = n;
    added.destination = formerDestination;
    added.sequenceNumber = old.sequenceNumber + 1;
    refreshGeometry(*this, added);
    const int key = old.superLinkKey;
    links.emplace(newId, added);

    _mEdges& at = graph[n];
    at.forwardLinks.insert(newId);
    at.backwardLinks.insert(link);
    auto& into = graph[formerDestination].backwardLinks;
    into.erase(link);
    into.insert(newId);

    const auto s = superLinks.find(key);
    if (s != superLinks.end()) {
        auto& chain = s->second.links;
        auto pos = std::find(chain.begin(), chain.end(), link);
        if (pos != chain.end()) {
            pos = chain.insert(std::next(pos), newId);
            for (++pos; pos != chain.end(); ++pos) {
                const auto l = links.find(*pos);
                if (l != links.end()) ++l->second.sequenceNumber;
            }
        }
    }
    return n;
}

void Map::updateNode(uint32_t id, _mNode record) {
    const auto it = nodes.find(id);
    if (it == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << id << ")" << std::endl;
        return;
    }
    const _position old{it->second.latitude, it->second.longitude};
    it->second = record;
    quadTree->updateNodeLocation(id, old);
    refreshLinksAt(*this, id);
}

_mNode Map::calcAvgNode(_mNode a, int wa, _mNode b, int wb) {
    const double da = wa;
    const double db = wb;
    const double sum = da + db;
    if (sum == 0) return a;  // nothing to average; a map caller reports it
    _mNode avg;
    avg.easting = (da * a.easting + db * b.easting) / sum;
    avg.northing = (da * a.northing + db * b.northing) / sum;
    const GPSPoint g = GPSPoint::convertUTMToWGS84(avg.easting, avg.northing, GPSPoint::getZone(a.longitude),
                                                   GPSPoint::getLatZone(a.latitude));
    avg.latitude = g.latitude;
    avg.longitude = g.longitude;
    avg.averageSnr = (da * a.averageSnr + db * b.averageSnr) / sum;
    avg.hdop = (da * a.hdop + db * b.hdop) / sum;
    return avg;
}

void Map::calcAvgNode(uint32_t a, int wa, uint32_t b, int wb) {
    const auto na = nodes.find(a);
    if (na == nodes.end()) {
        messageStream() << "ERROR: node from path 1 doesn't exist: " << a << std::endl;
        return;
    }
    if (a == b) {
        messageStream() << "node from path1 and path2 are the same: " << a << std::endl;
        return;
    }
    const auto nb = nodes.find(b);
    if (nb == nodes.end()) {
        messageStream() << "ERROR: node from path 2 doesn't exist: " << b << std::endl;
        return;
    }
    if (wa + wb == 0) {
        messageStream() << "ERROR: node weights add up to 0; node " << a << " is kept." << std::endl;
        return;
    }
    const _position old{na->second.latitude, na->second.longitude};
    _mNode avg = calcAvgNode(na->second, wa, nb->second, wb);
    // The records hold this map's planar points; read the average back in the map's frame where that
    // is not node a's own zone.
    if (frame != geo::PlaneFrame::around(old)) {
        const _position at = frame.toGeographic(Point{avg.easting, avg.northing}, old);
        avg.latitude = at.lat;
        avg.longitude = at.lon;
    }
    na->second = avg;
    quadTree->updateNodeLocation(a, old);
    // The links at a now start or end somewhere else.
    refreshLinksAt(*this, a);
}

void Map::updateLinkStats(int link, double speed, unsigned samples) {
    const auto it = links.find(link);
    if (it == links.end()) {
        messageStream() << "ERROR: non existing link " << link << "." << std::endl;
        return;
    }
    foldSpeed(it->second, speed, samples);
}

void Map::updateLink(int link, uint32_t origin, uint32_t destination) {
    const auto it = links.find(link);
    if (it == links.end()) {
        messageStream() << "ERROR: Link " << link << " not found." << std::endl;
        return;
    }
    const _mLink current = it->second;
    if (current.origin == origin && current.destination == destination) {
        messageStream() << "link " << link << " is being updated to the same nodes." << std::endl;
        return;
    }
    // Checked before anything is removed, so a refused update leaves the link where it was.
    if (origin == destination) {
        messageStream() << "ERROR: trying to add a link with the same start and end node." << std::endl;
        return;
    }
    const auto o = nodes.find(origin);
    const auto d = nodes.find(destination);
    if (o == nodes.end() || d == nodes.end()) {
        messageStream() << "ERROR: non existing node. (" << (o == nodes.end() ? origin : destination) << ")"
                        << std::endl;
        return;
    }
    // deleteLink drops an end node left without links; such a node comes back as it was.
    const _mNode originRecord = o->second;
    const _mNode destinationRecord = d->second;

    deleteLink(link);
    if (nodes.find(origin) == nodes.end())
        addNode(origin, originRecord.latitude, originRecord.longitude, originRecord.averageSnr,
                originRecord.hdop);
    if (nodes.find(destination) == nodes.end())
        addNode(destination, destinationRecord.latitude, destinationRecord.longitude,
                destinationRecord.averageSnr, destinationRecord.hdop);
    addLink(link, origin, destination, current.speed, current.samples);
}

void Map::deleteLink(int link) {
    const auto it = links.find(link);
    if (it == links.end()) {
        messageStream() << "ERROR: Link " << link << " not found." << std::endl;
        return;
    }
    const uint32_t origin = it->second.origin;
    const uint32_t destination = it->second.destination;
    const int key = it->second.superLinkKey;
    links.erase(it);
    const auto o = graph.find(origin);
    if (o != graph.end()) o->second.forwardLinks.erase(link);
    const auto d = graph.find(destination);
    if (d == graph.end() || d->second.backwardLinks.erase(link) == 0)
        messageStream() << "link " << link << " should exist here." << std::endl;

    deleteLinkFromSuperLink(key, link);

    if (getNodeDegree(origin) == 0) deleteNode(origin);
    if (getNodeDegree(destination) == 0) deleteNode(destination);
}

void Map::deleteNode(uint32_t id) {
    const auto it = nodes.find(id);
    if (it == nodes.end()) return;
    // Its links would be left pointing at nothing.
    const auto g = graph.find(id);
    if (g != graph.end() && (!g->second.backwardLinks.empty() || !g->second.forwardLinks.empty())) {
        messageStream() << "ERROR: node " << id << " still has links; it is not deleted." << std::endl;
        return;
    }
    const _position where{it->second.latitude, it->second.longitude};
    nodes.erase(it);
    graph.erase(id);
    superNodes.erase(id);
    quadTree->removeNode(id, where);
}

void Map::mergeEdges(uint32_t keep, uint32_t remove) {
    for (const uint32_t id : {keep, remove}) {
        if (nodes.find(id) == nodes.end()) {
            messageStream() << "Merging non existing node: " << id << std::endl;
            return;
        }
    }
    const bool keepMissing = graph.find(keep) == graph.end();
    const bool removeMissing = graph.find(remove) == graph.end();
    if (keepMissing || removeMissing) {
        messageStream() << "Nodes don't exist in graph: " << (keepMissing ? 1 : 0) << ' '
                        << (removeMissing ? 1 : 0) << std::endl;
        return;
    }

    // keep may just have been moved.
    refreshLinksAt(*this, keep);

    // Deleting a link between the two nodes can leave keep without links, and so remove it from
    // the map; the links still to be moved bring it back where it was.
    const _mNode kept = nodes[keep];
    const auto moveTo = [&](int id, uint32_t from, uint32_t to) {
        if (nodes.find(keep) == nodes.end())
            addNode(keep, kept.latitude, kept.longitude, kept.averageSnr, kept.hdop);
        updateLink(id, from, to);
    };

    const SortedIdSet<int32_t> incoming = graph[remove].backwardLinks;
    for (int id : incoming) {
        const auto l = links.find(id);
        if (l == links.end()) continue;
        const uint32_t from = l->second.origin;
        if (from == keep) {
            messageStream() << "\t\tor ID is nodeID1 deleting link: " << id << std::endl;
            deleteLink(id);
        } else {
            moveTo(id, from, keep);
        }
    }
    // remove may be gone already, with its last incoming link.
    const auto g = graph.find(remove);
    if (g == graph.end()) return;
    const SortedIdSet<int32_t> outgoing = g->second.forwardLinks;
    for (int id : outgoing) {
        const auto l = links.find(id);
        if (l == links.end()) continue;
        const uint32_t to = l->second.destination;
        if (to == keep)
            deleteLink(id);
        else
            moveTo(id, keep, to);
    }
}

void Map::mergeLinks(int link, std::vector<int> path, int weight) {
    messageStream() << "->Merging links " << link << std::endl;
    if (links.find(link) == links.end()) {
        messageStream() << "ERROR: merging non existing link: " << link << std::endl;
        return;
    }
    if (path.empty()) {
        messageStream() << "ERROR: empty path merged into link: " << link << std::endl;
        return;
    }
    const auto first = links.find(path.front());
    if (first == links.end()) {
        messageStream() << "ERROR: first link from path2 doesn't exist: " << path.front() << std::endl;
        return;
    }
    const auto last = links.find(path.back());
    if (last == links.end()) {
        messageStream() << "ERROR: last link from path2 doesn't exist: " << path.back() << std::endl;
        return;
    }

    {
        const _mLink l = links[link];
        const _mLink f = first->second;
        const _mLink e = last->second;
        const int lw = static_cast<int>(l.samples);
        if (weight >= 0) {
            if (l.origin != f.origin) calcAvgNode(l.origin, lw, f.origin, static_cast<int>(f.samples));
            if (l.destination != e.destination)
                calcAvgNode(l.destination, lw, e.destination, static_cast<int>(e.samples));
        } else {
            if (l.destination != f.destination)
                calcAvgNode(l.destination, lw, f.destination, static_cast<int>(f.samples));
            if (l.origin != e.origin) calcAvgNode(l.origin, lw, e.origin, static_cast<int>(e.samples));
        }
    }

    for (int x : path) {
        if (x == link) continue;
        // Merging can remove the target itself when the path runs through its far end.
        const auto l = links.find(link);
        if (l == links.end()) {
            messageStream() << "ERROR: merging non existing link: " << link << std::endl;
            return;
        }
        const auto xl = links.find(x);
        if (xl == links.end()) {
            messageStream() << "link 2 doesn't exist: " << x << std::endl;
            continue;
        }
        const uint32_t xOrigin = xl->second.origin;
        if (nodes.find(xOrigin) == nodes.end()) {
            messageStream() << "or node from link " << x << "doesn't exist : " << xOrigin << std::endl;
            continue;
        }
        // x is an observation of L either way; only a node that is already L's needs no merge.
        foldSpeed(l->second, xl->second.speed, xl->second.samples);
        if (xOrigin == l->second.origin) {
            messageStream() << "node 1 on link " << link << " and node 2 on link " << x
                            << " are the same: " << xOrigin << std::endl;
            continue;
        }
        mergeEdges(l->second.origin, xOrigin);
    }

    const auto l = links.find(link);
    const auto e = links.find(path.back());
    if (l == links.end() || e == links.end()) {
        messageStream() << "link 2 doesn't exist: " << (l == links.end() ? link : path.back()) << std::endl;
        return;
    }
    const uint32_t end = e->second.destination;
    if (nodes.find(end) == nodes.end()) {
        messageStream() << "dest node from link " << path.back() << "doesn't exist : " << end << std::endl;
        return;
    }
    if (end == l->second.destination) {
        messageStream() << "dest node from link " << path.back() << " and link " << link
                        << " are the same: " << end << std::endl;
        return;
    }
    mergeEdges(l->second.destination, end);
}

void Map::mergePaths(std::vector<std::pair<int, std::vector<int>>> pairs, int weight) {
    std::set<int> targets;
    for (const auto& [link, path] : pairs) {
        mergeLinks(link, path, weight);
        targets.insert(link);
    }
    // The path links are folded into their targets now. Links merging already removed need no
    // second removal, and a target listed in a path carries the merged observations, so it stays.
    for (const auto& [link, path] : pairs) {
        for (int x : path) {
            if (targets.count(x) == 0 && links.find(x) != links.end()) deleteLink(x);
        }
    }
}

}  // namespace mapRepresentation
