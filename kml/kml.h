// The match document: one KML 2.0 file that shows the road map, a GPS trace and the result of
// matching that trace, for viewing in a globe viewer.
#pragma once

#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "map/maps.h"
#include "traces/route.h"

namespace kmlMatch {

class KMLBuilder {
public:
    // Borrowed; the builder only reads them.
    const mapRepresentation::Map* map = nullptr;
    const Route* route = nullptr;
    // Document name; part of the file name.
    std::string name;
    // Matched link per trace point, -1 (any negative value) for an unmatched point.
    std::vector<int> links;
    // Matching segments as (first point, last point); a break is drawn after each but the last.
    std::vector<std::pair<int, int>> segments;

    KMLBuilder() = default;
    // The form the matchers use: keeps the pointers and copies the result.
    KMLBuilder(const mapRepresentation::Map* map, const Route* route, std::vector<int> links,
               std::vector<std::pair<int, int>> segments, std::string name);
    // Writes a light map document (links and a few arrows, no nodes) to fileName at once.
    KMLBuilder(const mapRepresentation::Map* map, const std::string& fileName);
    // Writes a document with the trace of route and of every element of routes to fileName at once.
    KMLBuilder(const Route* route, const std::vector<Route>& routes, const std::string& fileName);
    KMLBuilder(const KMLBuilder&) = default;
    KMLBuilder& operator=(const KMLBuilder&) = default;
    ~KMLBuilder() = default;

    // Writes data/match_<name>_<route name>.kml (data/match_<route name>.kml without a name).
    // The file is replaced only once the new document is complete. False, with no message, when
    // it could not be written or the builder has no map or route.
    bool buildKML();
    // The file buildKML writes.
    std::string getFileName() const;

    // One top-level folder each.
    void buildMap(std::ostream& out);
    void buildTrace(std::ostream& out);
    void buildMatched(std::ostream& out);
    void buildUnmatched(std::ostream& out);
    void buildSegments(std::ostream& out);
    void buildLightMap(std::ostream& out);

    // The arrow placemark of one link.
    std::string builLinkInfo(int linkId);

    // The links that carry an arrow in the light map: a few per chain between junctions.
    std::set<int> getLinksToDraw();
    // The chain from linkId through nodes with one link in and one out, in walking order.
    std::vector<int> navigateForward(int linkId);
    std::vector<int> navigateBackward(int linkId);
    // A sparse choice of a chain's links, always including its first and last link.
    std::vector<int> selectLinksFromPath(const std::vector<int>& path);

private:
    void writeTraceFolder(std::ostream& out, const Route& trace);
    void writeMapLinksFolder(std::ostream& out);
};

}  // namespace kmlMatch
