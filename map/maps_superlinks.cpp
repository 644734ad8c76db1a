// The super-link layer: chains of links between super-nodes, kept up to date link by link.
#include <algorithm>
#include <iostream>
#include <vector>

#include "map/maps.h"

namespace mapRepresentation {

namespace {

using LinkList = LinkChain;

// Gives the links in [from, to) the super-link key and consecutive sequence numbers from seq.
void renumber(IdTable<int32_t, _mLink>& links, LinkList::iterator from, LinkList::iterator to, int key,
              int seq) {
    for (; from != to; ++from, ++seq) {
        const auto it = links.find(*from);
        if (it == links.end()) continue;  // already removed from the map by the caller
        it->second.superLinkKey = key;
        it->second.sequenceNumber = seq;
    }
}

// First link of the chain that starts at node, or end().
LinkList::iterator firstLeaving(const IdTable<int32_t, _mLink>& links, LinkList& chain, uint32_t node) {
    return std::find_if(chain.begin(), chain.end(), [&](int32_t id) {
        const auto it = links.find(id);
        return it != links.end() && it->second.origin == node;
    });
}

}  // namespace

bool Map::isPassThrough(uint32_t node) const {
    const auto it = graph.find(node);
    return it != graph.end() && it->second.backwardLinks.size() == 1 && it->second.forwardLinks.size() == 1;
}

_mSuperEdges& Map::requireSuperNode(uint32_t node, int key, int link, int innerLink) {
    const auto it = superNodes.find(node);
    if (it != superNodes.end()) return it->second;
    const auto s = superLinks.find(key);
    messageStream() << "ERROR: super node not found: " << node << " super-link: " << key
                    << " and link: " << link
                    << " dest: " << (s != superLinks.end() ? s->second.destination : 0u)
                    << " and inside link: " << innerLink << std::endl;
    return superNodes[node];
}

// ---------------------------------------------------------------------------------------------
// Upkeep on insertion

void Map::addLinkToSuperLayer(int id, _mLink& link, int inO, int outO, int inD, int outD) {
    const uint32_t o = link.origin;
    const uint32_t d = link.destination;

    // An end that only continued a road becomes a junction: cut its super-link there first.
    if (superNodes.find(o) == superNodes.end()) {
        const auto& out = graph[o].forwardLinks;
        if (!out.empty()) {
            const auto l = links.find(*out.begin());
            if (l == links.end())
                messageStream() << "Link not found: " << *out.begin() << std::endl;
            else
                cutSuperLink(l->second.superLinkKey, o, o, d);
        }
        superNodes.try_emplace(o);
    }
    if (superNodes.find(d) == superNodes.end()) {
        const auto& in = graph[d].backwardLinks;
        if (!in.empty()) {
            const auto l = links.find(*in.begin());
            if (l == links.end())
                messageStream() << "Link not found: " << *in.begin() << std::endl;
            else
                cutSuperLink(l->second.superLinkKey, d, o, d);
        }
        superNodes.try_emplace(d);
    }

    const bool originBecomesPassThrough = inO == 1 && outO == 0;
    const bool destinationBecomesPassThrough = inD == 0 && outD == 1;
    const auto only = [](const SortedIdSet<int32_t>& s) { return s.size() == 1 ? *s.begin() : -1; };

    if (originBecomesPassThrough && destinationBecomesPassThrough) {
        const int a = only(superNodes[o].backwardSuperLinks);
        const int b = only(superNodes[d].forwardSuperLinks);
        const auto sa = superLinks.find(a);
        const auto sb = superLinks.find(b);
        if (sa != superLinks.end() && sb != superLinks.end()) {
            _mSuperLink& A = sa->second;
            if (a == b) {
                // The new link closes a loop; it stays anchored at d.
                A.links.push_back(id);
                link.superLinkKey = a;
                link.sequenceNumber = static_cast<int>(A.links.size()) - 1;
                superNodes.erase(o);
                A.origin = d;
                A.destination = d;
                superNodes[d].backwardSuperLinks.insert(a);
                return;
            }
            _mSuperLink& B = sb->second;
            link.superLinkKey = a;
            link.sequenceNumber = static_cast<int>(A.links.size());
            renumber(links, B.links.begin(), B.links.end(), a, link.sequenceNumber + 1);
            superNodes.erase(o);
            superNodes.erase(d);
            auto& ends = superNodes[B.destination].backwardSuperLinks;
            ends.erase(b);
            ends.insert(a);
            A.destination = B.destination;
            A.links.push_back(id);
            A.links.splice(A.links.end(), B.links);
            superLinks.erase(sb);
            return;
        }
    }
    if (originBecomesPassThrough) {
        const int a = only(superNodes[o].backwardSuperLinks);
        const auto sa = superLinks.find(a);
        if (sa == superLinks.end()) {
            messageStream() << " Super Link " << a << " doesn't exist." << std::endl;
        } else {
            _mSuperLink& A = sa->second;
            A.links.push_back(id);
            link.superLinkKey = a;
            link.sequenceNumber = static_cast<int>(A.links.size()) - 1;
            A.destination = d;
            superNodes.erase(o);
            superNodes[d].backwardSuperLinks.insert(a);
            return;
        }
    }
    if (destinationBecomesPassThrough) {
        const int b = only(superNodes[d].forwardSuperLinks);
        const auto sb = superLinks.find(b);
        if (sb != superLinks.end()) {
            _mSuperLink& B = sb->second;
            B.links.push_front(id);
            renumber(links, std::next(B.links.begin()), B.links.end(), b, 1);
            link.superLinkKey = b;
            link.sequenceNumber = 0;
            B.origin = o;
            superNodes.erase(d);
            superNodes[o].forwardSuperLinks.insert(b);
            return;
        }
    }

    // Neither end continues an existing chain (or the layer was inconsistent): a super-link of its own.
    const int key = nextSuperLinkId++;
    superLinks.emplace(key, _mSuperLink{o, d, LinkList{id}});
    link.superLinkKey = key;
    link.sequenceNumber = 0;
    superNodes[o].forwardSuperLinks.insert(key);
    superNodes[d].backwardSuperLinks.insert(key);
}

// ---------------------------------------------------------------------------------------------
// Split and merge

void Map::splitSuperLink(int key, uint32_t node) {
    cutSuperLink(key, node, node, node);
}

void Map::cutSuperLink(int key, uint32_t node, uint32_t endA, uint32_t endB) {
    const auto sit = superLinks.find(key);
    if (sit == superLinks.end()) {
        messageStream() << "Invalid Link: " << key << std::endl;
        return;
    }
    _mSuperLink& S = sit->second;
    const auto cut = firstLeaving(links, S.links, node);
    if (cut == S.links.end()) return;  // node is not on this super-link

    if (S.origin == S.destination) {
        const uint32_t anchor = S.origin;
        if (anchor == node) return;
        if (isPassThrough(anchor) && anchor != endA && anchor != endB) {
            // A closed loop of pass-through nodes: only its anchor moves.
            superNodes.erase(anchor);
            auto& e = superNodes[node];
            e.backwardSuperLinks.insert(key);
            e.forwardSuperLinks.insert(key);
            S.origin = node;
            S.destination = node;
            S.links.splice(S.links.end(), S.links, S.links.begin(), cut);
            renumber(links, S.links.begin(), S.links.end(), key, 0);
            return;
        }
    } else if (cut == S.links.begin()) {
        return;  // node is already the origin
    }

    const int newKey = nextSuperLinkId++;
    const uint32_t formerDestination = S.destination;
    _mSuperLink tail{node, formerDestination, {}};
    tail.links.splice(tail.links.end(), S.links, cut, S.links.end());
    S.destination = node;
    renumber(links, tail.links.begin(), tail.links.end(), newKey, 0);
    superLinks.emplace(newKey, std::move(tail));

    auto& formerEnd = superNodes[formerDestination].backwardSuperLinks;
    formerEnd.erase(key);
    formerEnd.insert(newKey);
    auto& e = superNodes[node];
    e.backwardSuperLinks.insert(key);
    e.forwardSuperLinks.insert(newKey);
}

void Map::mergeSuperLinks(uint32_t node) {
    if (!isPassThrough(node)) return;
    const auto nit = superNodes.find(node);
    if (nit == superNodes.end() || nit->second.backwardSuperLinks.empty() ||
        nit->second.forwardSuperLinks.empty())
        return;
    const int a = *nit->second.backwardSuperLinks.begin();
    const int b = *nit->second.forwardSuperLinks.begin();
    if (a == b) return;  // a loop anchored here stays as it is
    const auto sa = superLinks.find(a);
    const auto sb = superLinks.find(b);
    if (sa == superLinks.end() || sb == superLinks.end()) return;
    _mSuperLink& A = sa->second;
    _mSuperLink& B = sb->second;

    renumber(links, B.links.begin(), B.links.end(), a, static_cast<int>(A.links.size()));
    superNodes.erase(nit);
    auto& ends = superNodes[B.destination].backwardSuperLinks;
    ends.erase(b);
    ends.insert(a);
    A.links.splice(A.links.end(), B.links);
    A.destination = B.destination;
    superLinks.erase(sb);
}

// ---------------------------------------------------------------------------------------------
// Full rebuild

void Map::buildSuperMap() {
    superLinks.clear();
    superNodes.clear();
    for (auto& [id, l] : links) {
        l.superLinkKey = -1;
        l.sequenceNumber = -1;
    }
    std::vector<uint32_t> starts;
    for (const auto& [id, e] : graph) {
        if (e.backwardLinks.size() == 1 && e.forwardLinks.size() == 1) continue;
        superNodes.emplace_hint(superNodes.end(), id, _mSuperEdges{});
        starts.push_back(id);
    }

    // Follows the chain from `first` through pass-through nodes until `stop` says it ends there.
    const auto chainFrom = [&](uint32_t origin, int first, auto stop) {
        const int key = nextSuperLinkId++;
        _mSuperLink s{origin, origin, {}};
        int seq = 0;
        int current = first;
        // Bounded by the link count, so an inconsistent graph cannot make it run forever.
        for (size_t guard = 0; guard <= links.size(); ++guard) {
            const auto it = links.find(current);
            if (it == links.end()) break;
            it->second.superLinkKey = key;
            it->second.sequenceNumber = seq++;
            s.links.push_back(current);
            s.destination = it->second.destination;
            if (stop(s.destination)) break;
            current = *graph[s.destination].forwardLinks.begin();
        }
        superNodes[s.origin].forwardSuperLinks.insert(key);
        superNodes[s.destination].backwardSuperLinks.insert(key);
        superLinks.emplace(key, std::move(s));
    };

    for (uint32_t node : starts) {
        for (int l : graph[node].forwardLinks)
            chainFrom(node, l, [&](uint32_t n) { return !isPassThrough(n); });
    }
    // What is left are closed loops of pass-through nodes: anchor each at the origin of its
    // smallest link, as the incremental upkeep does.
    for (const auto& [id, l] : links) {
        if (l.superLinkKey != -1) continue;
        const uint32_t anchor = l.origin;
        chainFrom(anchor, id, [&](uint32_t n) { return n == anchor || !isPassThrough(n); });
    }
}

// ---------------------------------------------------------------------------------------------
// Removal

void Map::deleteLinkFromSuperLink(int key, int link) {
    const auto sit = superLinks.find(key);
    if (sit == superLinks.end()) {
        messageStream() << "Invalid Link: " << key << std::endl;
        return;
    }
    _mSuperLink& S = sit->second;
    const auto pos = std::find(S.links.begin(), S.links.end(), link);
    if (pos == S.links.end()) return;

    const bool isFirst = pos == S.links.begin();
    const bool isLast = std::next(pos) == S.links.end();
    const int before = isFirst ? link : *std::prev(pos);
    const int after = isLast ? link : *std::next(pos);
    const uint32_t origin = S.origin;
    const uint32_t destination = S.destination;
    // The removed link's record is already gone: its ends are read from its neighbours.
    uint32_t removedOrigin = origin;
    uint32_t removedDestination = destination;
    if (!isFirst) {
        const auto it = links.find(before);
        if (it != links.end()) removedOrigin = it->second.destination;
    }
    if (!isLast) {
        const auto it = links.find(after);
        if (it != links.end()) removedDestination = it->second.origin;
    }

    // A loop whose anchor only continued the loop (degrees before the removal 1 and 1) was a pure
    // cycle: removing a link opens it into one chain.
    if (origin == destination && !(isFirst && isLast)) {
        const auto g = graph.find(origin);
        const size_t inBefore =
            (g != graph.end() ? g->second.backwardLinks.size() : 0) + (removedDestination == origin);
        const size_t outBefore =
            (g != graph.end() ? g->second.forwardLinks.size() : 0) + (removedOrigin == origin);
        if (inBefore == 1 && outBefore == 1) {
            LinkList opened;
            opened.splice(opened.end(), S.links, std::next(pos), S.links.end());
            opened.splice(opened.end(), S.links, S.links.begin(), pos);
            S.links.swap(opened);
            S.origin = removedDestination;
            S.destination = removedOrigin;
            _mSuperEdges& anchor = requireSuperNode(origin, key, link, link);
            anchor.backwardSuperLinks.erase(key);
            anchor.forwardSuperLinks.erase(key);
            if (origin != S.origin && origin != S.destination && anchor.backwardSuperLinks.empty() &&
                anchor.forwardSuperLinks.empty())
                superNodes.erase(origin);
            superNodes[S.origin].forwardSuperLinks.insert(key);
            superNodes[S.destination].backwardSuperLinks.insert(key);
            renumber(links, S.links.begin(), S.links.end(), key, 0);
            return;
        }
    }

    if (isFirst && isLast) {
        requireSuperNode(origin, key, link, link).forwardSuperLinks.erase(key);
        requireSuperNode(destination, key, link, link).backwardSuperLinks.erase(key);
        superLinks.erase(sit);
        mergeSuperLinks(origin);
        if (destination != origin) mergeSuperLinks(destination);
        return;
    }
    if (isFirst) {
        requireSuperNode(origin, key, link, after).forwardSuperLinks.erase(key);
        S.links.erase(pos);
        S.origin = removedDestination;
        superNodes[removedDestination].forwardSuperLinks.insert(key);
        renumber(links, S.links.begin(), S.links.end(), key, 0);
        mergeSuperLinks(origin);
        return;
    }
    if (isLast) {
        requireSuperNode(destination, key, link, before).backwardSuperLinks.erase(key);
        S.links.erase(pos);
        S.destination = removedOrigin;
        superNodes[removedOrigin].backwardSuperLinks.insert(key);
        mergeSuperLinks(destination);
        return;
    }

    // Inside: S keeps the links before, a new super-link takes the links after.
    const int newKey = nextSuperLinkId++;
    _mSuperLink tail{removedDestination, destination, {}};
    tail.links.splice(tail.links.end(), S.links, std::next(pos), S.links.end());
    S.links.erase(pos);
    S.destination = removedOrigin;
    renumber(links, tail.links.begin(), tail.links.end(), newKey, 0);
    superLinks.emplace(newKey, std::move(tail));
    auto& formerEnd = requireSuperNode(destination, key, link, after).backwardSuperLinks;
    formerEnd.erase(key);
    formerEnd.insert(newKey);
    superNodes[removedOrigin].backwardSuperLinks.insert(key);
    superNodes[removedDestination].forwardSuperLinks.insert(newKey);
}

// ---------------------------------------------------------------------------------------------
// Consistency report

bool Map::validateMap() const {
    std::ostream& out = messageStream();
    out << "Validating map..." << '\n';
    out << "Nodes: " << nodes.size() << "  graph: " << graph.size() << "  super-nodes: " << superNodes.size()
        << '\n';
    bool error = false;
    size_t counted = 0;
    for (const auto& [id, e] : graph) {
        const bool passThrough = e.backwardLinks.size() == 1 && e.forwardLinks.size() == 1;
        const bool isSuper = superNodes.find(id) != superNodes.end();
        if (passThrough && isSuper) {
            out << "This node " << id << " shouldn't be a super-node." << '\n';
            error = true;
        } else if (!passThrough && isSuper) {
            ++counted;
        }
    }
    if (counted != superNodes.size()) {
        out << "Both layers are inconsistent." << '\n';
        error = true;
    }
    for (const auto& [id, l] : links) {
        if (superLinks.find(l.superLinkKey) == superLinks.end()) {
            out << "Super-Link " << l.superLinkKey << " not found." << '\n';
            error = true;
        }
    }
    if (error) out << "ERROR: Validating map." << '\n';
    out.flush();
    return !error;
}

}  // namespace mapRepresentation
