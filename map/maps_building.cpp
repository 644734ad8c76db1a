#include "map/maps_building.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "geometry/geometry.h"

namespace mapRepresentation {

namespace {

// For every link from `firstNew` on: the older link it runs along, or -1.
std::vector<std::pair<int, int>> olderLinksAlong(const Map& map, int firstNew, double radius) {
    std::vector<std::pair<int, int>> along;  // (new link, older link)
    for (auto it = map.links.lower_bound(firstNew); it != map.links.end(); ++it) {
        const _mLink& x = it->second;
        const _position a = map.getNodePosition(x.origin);
        const _position b = map.getNodePosition(x.destination);
        int best = -1;
        double bestDistance = radius;
        for (const auto& [id, d] :
             map.getNearestLinksAndDistances((a.lat + b.lat) / 2, (a.lon + b.lon) / 2, radius)) {
            if (id >= firstNew || d > bestDistance) continue;
            if (diffRadHeading(map.links.at(id).heading, x.heading) >= kDriveMaxHeadingDifference) continue;
            best = id;
            bestDistance = d;
        }
        along.emplace_back(it->first, best);
    }
    return along;
}

// Groups consecutive new links on the same older link into (older link, path) pairs for mergePaths.
std::vector<std::pair<int, std::vector<int>>> runsAlong(const Map& map,
                                                        const std::vector<std::pair<int, int>>& along,
                                                        size_t& merged) {
    std::vector<std::pair<int, std::vector<int>>> pairs;
    int previousTarget = -1;
    for (const auto& [link, target] : along) {
        if (target < 0) {
            previousTarget = -1;
            continue;
        }
        if (target == previousTarget) {
            pairs.back().second.push_back(link);
            ++merged;
            continue;
        }
        // A run that follows straight on from a run on another link starts at that link's end. When
        // that is not where this link starts, the first new link stays as the connection between them,
        // so that two older nodes are never merged into one.
        const bool joinsOn = previousTarget >= 0;
        const bool adjacent =
            joinsOn && map.links.at(previousTarget).destination == map.links.at(target).origin;
        previousTarget = target;
        if (joinsOn && !adjacent) {
            pairs.push_back({target, {}});
            continue;
        }
        pairs.push_back({target, {link}});
        ++merged;
    }
    std::erase_if(pairs, [](const auto& p) { return p.second.empty(); });
    return pairs;
}

}  // namespace

Route usablePoints(const Route& trace) {
    Route kept;
    kept.name = trace.name;
    kept.sourceFile = trace.sourceFile;
    for (const _node& p : trace.nodes) {
        if (!p.valid || !(std::fabs(p.position.lat) <= 90.0) || !(std::fabs(p.position.lon) <= 180.0))
            continue;
        if (!kept.nodes.empty()) {
            const _node& last = kept.nodes.back();
            if (distance2Points(last.easting, last.northing, p.easting, p.northing) < kDriveMinSpacing)
                continue;
        }
        _node n = p;
        if (!std::isfinite(n.averageSnr)) n.averageSnr = 0.0;
        if (!(n.hdop >= 0.0)) n.hdop = 50.0;
        if (!std::isfinite(n.speed)) n.speed = 0.0;
        kept.nodes.push_back(n);
    }
    return kept;
}

size_t mergeTrace(Map& map, const Route& trace, double radius) {
    const int firstNew = map.nextLinkId;
    map.initMapFromRoute(trace);
    size_t merged = 0;
    const auto pairs = runsAlong(map, olderLinksAlong(map, firstNew, radius), merged);
    if (!pairs.empty()) map.mergePaths(pairs, 1);
    return merged;
}

DriveOutcome addDrive(Map& map, const Route& trace, double radius) {
    DriveOutcome outcome;
    outcome.points = trace.nodes.size();
    if (outcome.points < 2) return outcome;
    // Every point becomes a new node first (merging folds some of them away afterwards).
    const long long lastId =
        static_cast<long long>(map.nextNodeId) + static_cast<long long>(outcome.points) - 1;
    if (lastId > kLargestNodeId) {
        outcome.noIdsLeft = true;
        return outcome;
    }
    outcome.used = true;
    outcome.started = map.nodes.empty() && map.links.empty();
    if (outcome.started)
        map.initMapFromRoute(trace);
    else
        outcome.merged = mergeTrace(map, trace, radius);
    return outcome;
}

}  // namespace mapRepresentation
