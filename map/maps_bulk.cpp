// Building a whole map in one go. Adding links one by one keeps the super-link layer up to date
// through lists, ordered sets and table lookups for every link; here the same steps run on flat
// arrays, and the map's tables are filled once at the end, in ascending id order.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "map/quadtree.h"

namespace mapRepresentation {

namespace {

constexpr int32_t kNone = -1;

// The super-link layer of a growing graph, with nodes and links as 0-based indices.
class ChainBuilder {
public:
    // `ends` holds the origin and destination index of every link, in pairs.
    ChainBuilder(size_t nodeCount, const std::vector<uint32_t>& ends)
        : ends(ends),
          in(nodeCount, 0),
          out(nodeCount, 0),
          firstIn(nodeCount, kNone),
          firstOut(nodeCount, kNone),
          isSuper(nodeCount, 1),
          key(ends.size() / 2, kNone),
          next(ends.size() / 2, kNone),
          prev(ends.size() / 2, kNone),
          chains(1) {}

    // Link l is added after all lower indices.
    void add(int32_t l);
    // The per-node counts are needed only while links are added.
    void releaseDegrees() {
        for (auto* v : {&in, &out, &firstIn, &firstOut}) std::vector<int32_t>().swap(*v);
    }

    struct Chain {
        int32_t head = kNone;
        int32_t tail = kNone;
        uint32_t origin = 0;
        uint32_t destination = 0;
        bool alive = false;
    };

    const std::vector<uint32_t>& ends;
    std::vector<int32_t> in, out, firstIn, firstOut;
    std::vector<uint8_t> isSuper;
    std::vector<int32_t> key, next, prev;
    std::vector<Chain> chains;  // by key; key 0 is never handed out

private:
    bool isPassThrough(uint32_t n) const { return in[n] == 1 && out[n] == 1; }
    int32_t newChain(uint32_t o, uint32_t d, int32_t head, int32_t tail) {
        chains.push_back({head, tail, o, d, true});
        return static_cast<int32_t>(chains.size() - 1);
    }
    void relabel(int32_t from, int32_t k) {
        for (int32_t l = from; l != kNone; l = next[l]) key[l] = k;
    }
    void append(Chain& c, int32_t l) {
        prev[l] = c.tail;
        next[c.tail] = l;
        c.tail = l;
    }
    void cut(int32_t k, uint32_t node, uint32_t endA, uint32_t endB);
};

void ChainBuilder::add(int32_t l) {
    const uint32_t o = ends[2 * l];
    const uint32_t d = ends[2 * l + 1];
    // An end that only continued a road becomes a junction: cut its chain there first.
    if (!isSuper[o]) {
        if (firstOut[o] != kNone) cut(key[firstOut[o]], o, o, d);
        isSuper[o] = 1;
    }
    if (!isSuper[d]) {
        if (firstIn[d] != kNone) cut(key[firstIn[d]], d, o, d);
        isSuper[d] = 1;
    }
    const bool originContinues = in[o] == 1 && out[o] == 0;
    const bool destinationContinues = in[d] == 0 && out[d] == 1;
    if (++in[d] == 1) firstIn[d] = l;
    if (++out[o] == 1) firstOut[o] = l;

    if (originContinues) {
        const int32_t a = key[firstIn[o]];
        Chain& A = chains[a];
        append(A, l);
        key[l] = a;
        isSuper[o] = 0;
        if (destinationContinues) {
            const int32_t b = key[firstOut[d]];
            if (a == b) {
                A.origin = d;  // a closed loop, anchored at d
                A.destination = d;
                return;
            }
            Chain& B = chains[b];
            relabel(B.head, a);
            next[l] = B.head;
            prev[B.head] = l;
            A.tail = B.tail;
            A.destination = B.destination;
            B.alive = false;
            isSuper[d] = 0;
            return;
        }
        A.destination = d;
        return;
    }
    if (destinationContinues) {
        const int32_t b = key[firstOut[d]];
        Chain& B = chains[b];
        next[l] = B.head;
        prev[B.head] = l;
        B.head = l;
        B.origin = o;
        key[l] = b;
        isSuper[d] = 0;
        return;
    }
    key[l] = newChain(o, d, l, l);
}

void ChainBuilder::cut(int32_t k, uint32_t node, uint32_t endA, uint32_t endB) {
    Chain& S = chains[k];
    // A node inside a chain has one link out, so that is where the chain is cut.
    int32_t at = firstOut[node];
    if (at == kNone || key[at] != k) {
        at = S.head;
        while (at != kNone && ends[2 * at] != node) at = next[at];
        if (at == kNone) return;
    }
    if (S.origin == S.destination) {
        const uint32_t anchor = S.origin;
        if (anchor == node) return;
        if (isPassThrough(anchor) && anchor != endA && anchor != endB) {
            // A closed loop of pass-through nodes: only its anchor moves, to the cut.
            isSuper[anchor] = 0;
            isSuper[node] = 1;
            S.origin = node;
            S.destination = node;
            next[S.tail] = S.head;
            prev[S.head] = S.tail;
            S.head = at;
            S.tail = prev[at];
            next[S.tail] = kNone;
            prev[at] = kNone;
            return;
        }
    } else if (at == S.head) {
        return;
    }
    const uint32_t formerDestination = S.destination;
    const int32_t formerTail = S.tail;
    S.tail = prev[at];
    S.destination = node;
    next[S.tail] = kNone;
    prev[at] = kNone;
    const int32_t tailKey = newChain(node, formerDestination, at, formerTail);
    relabel(at, tailKey);
    isSuper[node] = 1;
}

// Index of every link end among the nodes (ascending ids), or false when one is missing.
bool endIndices(const std::vector<BulkNode>& nodes, const std::vector<BulkLink>& links,
                std::vector<uint32_t>& ends) {
    const bool dense = !nodes.empty() && nodes.front().id == 1 && nodes.back().id == nodes.size();
    ends.resize(links.size() * 2);
    auto indexOf = [&](uint32_t id, uint32_t& index) {
        if (dense) {
            index = id - 1;
            return id >= 1 && id <= nodes.size();
        }
        const auto it = std::lower_bound(nodes.begin(), nodes.end(), id,
                                         [](const BulkNode& n, uint32_t v) { return n.id < v; });
        index = static_cast<uint32_t>(it - nodes.begin());
        return it != nodes.end() && it->id == id;
    };
    for (size_t k = 0; k < links.size(); ++k) {
        if (!indexOf(links[k].origin, ends[2 * k]) || !indexOf(links[k].destination, ends[2 * k + 1]))
            return false;
        if (ends[2 * k] == ends[2 * k + 1]) return false;
    }
    return true;
}

}  // namespace

namespace {

// The node records and empty adjacency entries; super-node entries where the layer has them.
// Returns the node ids by index.
std::vector<uint32_t> fillNodes(Map& map, const std::vector<BulkNode>& nodes, const ChainBuilder& layer,
                                std::vector<_mNode*>& records, std::vector<_mEdges*>& edges) {
    std::vector<uint32_t> ids(nodes.size());
    records.resize(nodes.size());
    edges.resize(nodes.size());
    // The map is empty: choosing its frame costs nothing yet.
    geo::GeoBox box;
    for (const BulkNode& n : nodes) box.add(_position{n.lat, n.lon});
    map.usePlaneFrame(box.frame());
    for (size_t i = 0; i < nodes.size(); ++i) {
        const BulkNode& n = nodes[i];
        const Point utm = map.toPlane(n.lat, n.lon);
        records[i] = &map.nodes.try_emplace(n.id, _mNode{n.lat, n.lon, utm.y, utm.x, n.averageSnr, n.hdop})
                          .first->second;
        edges[i] = &map.graph.try_emplace(n.id).first->second;
        if (layer.isSuper[i]) map.superNodes.try_emplace(n.id);
        ids[i] = n.id;
    }
    return ids;
}

// The link records and the adjacency; sequence numbers are the positions along each chain.
void fillLinks(Map& map, const std::vector<BulkLink>& links, ChainBuilder& layer,
               const std::vector<uint32_t>& ids, const std::vector<_mNode*>& records,
               const std::vector<_mEdges*>& edges) {
    std::vector<int32_t>& sequence = layer.prev;  // free to hold them now
    for (size_t k = 1; k < layer.chains.size(); ++k) {
        int32_t position = 0;
        if (layer.chains[k].alive)
            for (int32_t l = layer.chains[k].head; l != kNone; l = layer.next[l]) sequence[l] = position++;
    }
    for (size_t k = 0; k < links.size(); ++k) {
        const uint32_t o = layer.ends[2 * k];
        const uint32_t d = layer.ends[2 * k + 1];
        const Point a{records[o]->easting, records[o]->northing};
        const Point b{records[d]->easting, records[d]->northing};
        const int32_t id = static_cast<int32_t>(k + 1);
        map.links.try_emplace(id, _mLink{ids[o], ids[d], layer.key[k], sequence[k], calcHeading(a, b),
                                         distance2Points(a, b), links[k].speed, links[k].samples});
        edges[o]->forwardLinks.insert(id);
        edges[d]->backwardLinks.insert(id);
    }
}

// The super-links and their entries at both ends, in ascending key order.
void fillChains(Map& map, const ChainBuilder& layer, const std::vector<uint32_t>& ids) {
    for (size_t k = 1; k < layer.chains.size(); ++k) {
        const ChainBuilder::Chain& c = layer.chains[k];
        if (!c.alive) continue;
        const int32_t key = static_cast<int32_t>(k);
        _mSuperLink& s = map.superLinks.try_emplace(key).first->second;
        s.origin = ids[c.origin];
        s.destination = ids[c.destination];
        for (int32_t l = c.head; l != kNone; l = layer.next[l]) s.links.push_back(l + 1);
        map.superNodes[s.origin].forwardSuperLinks.insert(key);
        map.superNodes[s.destination].backwardSuperLinks.insert(key);
    }
}

}  // namespace

// The inputs go as soon as their part of the map is filled, so that the map can reuse their memory.
bool buildInBulk(Map& map, std::vector<BulkNode> nodes, std::vector<BulkLink> links) {
    if (!map.nodes.empty() || !map.links.empty() || map.nextLinkId != 1 || map.nextSuperLinkId != 1)
        return false;
    for (size_t i = 0; i < nodes.size(); ++i)
        if ((i > 0 && nodes[i].id <= nodes[i - 1].id) || !isOnGlobe(nodes[i].lat, nodes[i].lon)) return false;
    if (links.size() >= static_cast<size_t>(INT32_MAX)) return false;
    std::vector<uint32_t> ends;
    if (!endIndices(nodes, links, ends)) return false;

    ChainBuilder layer(nodes.size(), ends);
    for (size_t k = 0; k < links.size(); ++k) layer.add(static_cast<int32_t>(k));
    layer.releaseDegrees();

    std::vector<_mNode*> records;
    std::vector<_mEdges*> edges;
    const std::vector<uint32_t> ids = fillNodes(map, nodes, layer, records, edges);
    std::vector<BulkNode>().swap(nodes);
    fillLinks(map, links, layer, ids, records, edges);
    map.nextLinkId = static_cast<int32_t>(links.size() + 1);
    std::vector<BulkLink>().swap(links);
    std::vector<_mNode*>().swap(records);
    std::vector<_mEdges*>().swap(edges);
    for (auto* v : {&layer.key, &layer.prev}) std::vector<int32_t>().swap(*v);
    std::vector<uint32_t>().swap(ends);
    fillChains(map, layer, ids);
    map.nextSuperLinkId = static_cast<int32_t>(layer.chains.size());
    for (const uint32_t id : ids) map.quadTree->addNode(id);
    return true;
}

}  // namespace mapRepresentation
