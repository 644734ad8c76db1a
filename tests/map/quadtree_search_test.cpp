// Radius searches: agreement with a brute-force scan (nodes, and links whose end nodes lie within ten
// radii), and tables that disagree.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "geometry/GPSPoint.h"
#include "map/maps.h"
#include "map/quadtree.h"

using mapRepresentation::Map;

namespace {

constexpr double kLat = 41.15, kLon = -8.61;
// Degrees per metre near the query point, close enough to place test nodes.
constexpr double kDegLatPerM = 1.0 / 111000.0;
constexpr double kDegLonPerM = 1.0 / 84000.0;

uint32_t addAt(Map& m, uint32_t id, double northM, double eastM) {
    return m.addNode(id, kLat + northM * kDegLatPerM, kLon + eastM * kDegLonPerM, 0, 0);
}

}  // namespace

TEST(NearestLinks, InconsistentTablesAreReportedAndSkipped) {
    Map m;
    addAt(m, 1, 0, -10);
    addAt(m, 2, 0, 10);
    addAt(m, 3, 5, 10);
    const int a = m.addLinkToNode(1, 2, 0, 0);
    const int b = m.addLinkToNode(2, 3, 0, 0);
    m.graph.erase(1);
    m.links.erase(b);
    testing::internal::CaptureStdout();
    const auto result = m.getNearestLinks(kLat, kLon, 20);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, std::vector<int>{a});
    EXPECT_TRUE(m.getNearestLinksAndDistances(kLat, kLon, -5).empty());
    EXPECT_EQ(out,
              "ERROR: non existing graph node 1.\nERROR: non existing link. (" + std::to_string(b) + ")\n");
}

namespace {

// Brute force: ids within the radius, split into those that must be found and those so close to
// the radius that the search's pruning (clamped in degrees, measured in UTM) may miss them.
template <typename Id>
struct Expected {
    std::map<Id, double> must, may;
    void add(Id id, double d, double radius) {
        if (d <= radius) may[id] = d;
        if (d <= radius * (1 - 1e-3)) must[id] = d;
    }
    void check(const std::vector<std::pair<Id, double>>& found) const {
        std::set<Id> seen;
        for (const auto& [id, d] : found) {
            EXPECT_TRUE(seen.insert(id).second) << id << " reported twice";
            const auto it = may.find(id);
            ASSERT_NE(it, may.end()) << id << " is not within the radius";
            EXPECT_EQ(d, it->second);
        }
        for (const auto& [id, d] : must) EXPECT_TRUE(seen.count(id)) << "missed " << id << " at " << d;
    }
};

// Every node of the query's UTM zone, measured in planar metres.
Expected<uint32_t> nearNodes(const Map& m, double lat, double lon, double radius) {
    Expected<uint32_t> e;
    const Point p = positionToPoint({lat, lon});
    for (const auto& [id, n] : m.nodes) {
        if (GPSPoint::getZone(n.longitude) == GPSPoint::getZone(lon))
            e.add(id, distance2Points({n.easting, n.northing}, p), radius);
    }
    return e;
}

void expectAgreement(const Map& m, double lat, double lon, double radius) {
    SCOPED_TRACE(testing::Message() << lat << "," << lon << " radius " << radius);
    nearNodes(m, lat, lon, radius).check(m.getNearestPointsAndDistances(lat, lon, radius));
    if (radius > 300) return;

    const auto links = m.getNearestLinksAndDistances(lat, lon, radius);
    for (size_t i = 1; i < links.size(); ++i) EXPECT_LT(links[i - 1].first, links[i].first);
    const Expected<uint32_t> near = nearNodes(m, lat, lon, 10.0 * radius);
    const Point q = positionToPoint({lat, lon});
    Expected<int> e;
    for (const auto& [id, d] : near.may) {
        const auto& edges = m.graph.at(id);
        for (const auto* set : {&edges.forwardLinks, &edges.backwardLinks}) {
            for (const int l : *set) {
                const auto& link = m.links.at(l);
                const double dl =
                    getNearestPointFromLink(m.getNodePoint(link.origin), m.getNodePoint(link.destination), q)
                        .second;
                if (dl <= radius) e.may[l] = dl;
                if (dl <= radius && near.must.count(id)) e.must[l] = dl;
            }
        }
    }
    e.check(links);
}

// Roads as random walks of ~30 m steps, with some nodes doubled at one position and some on
// cell borders of the index, inside the given box.
void buildRandomMap(Map& m, std::mt19937& rng, double lat0, double lat1, double lon0, double lon1,
                    int nodeCount) {
    std::uniform_real_distribution<double> lat(lat0, lat1), lon(lon0, lon1), unit(0, 1);
    uint32_t id = 1;
    while (static_cast<int>(id) <= nodeCount) {
        double la = lat(rng), lo = lon(rng);
        if (unit(rng) < 0.1) {  // snap to a 1/1024 degree grid: borders of index cells
            la = std::round(la * 1024) / 1024;
            lo = std::round(lo * 1024) / 1024;
        }
        const double heading = unit(rng) * 6.283185307179586;
        const int length = 1 + static_cast<int>(unit(rng) * 30);
        uint32_t previous = 0;
        for (int k = 0; k < length && static_cast<int>(id) <= nodeCount; ++k) {
            const double step = unit(rng) < 0.05 ? 0.0 : 30.0;
            la += step * std::cos(heading) * kDegLatPerM;
            lo += step * std::sin(heading) * kDegLonPerM;
            m.addNode(id, la, lo, 0, 0);
            if (previous != 0) {
                m.addLinkToNode(previous, id, 0, 0);
                if (unit(rng) < 0.5) m.addLinkToNode(id, previous, 0, 0);
            }
            previous = id++;
        }
    }
}

void runRandomQueries(const Map& m, std::mt19937& rng, double lat0, double lat1, double lon0, double lon1,
                      int queries) {
    std::uniform_real_distribution<double> lat(lat0, lat1), lon(lon0, lon1), unit(0, 1);
    for (int i = 0; i < queries; ++i) {
        double la = lat(rng), lo = lon(rng);
        if (i % 7 == 0) {  // exactly on a node
            auto it = m.nodes.begin();
            std::advance(it, static_cast<long>(unit(rng) * (m.nodes.size() - 1)));
            la = it->second.latitude;
            lo = it->second.longitude;
        }
        const double radius = i % 11 == 0 ? 0.0 : std::pow(10.0, unit(rng) * 3.5);
        expectAgreement(m, la, lo, radius);
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace

TEST(RadiusSearchProperty, AgreesWithBruteForceInACity) {
    for (const unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        Map m;
        buildRandomMap(m, rng, 41.10, 41.20, -8.70, -8.55, 3000);
        runRandomQueries(m, rng, 41.09, 41.21, -8.71, -8.54, 300);
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(RadiusSearchProperty, AgreesWithBruteForceAcrossAZoneBorder) {
    std::mt19937 rng(7);
    Map m;
    // Zone 29 / zone 30 border at longitude -6.
    buildRandomMap(m, rng, 40.0, 40.3, -6.2, -5.8, 3000);
    runRandomQueries(m, rng, 40.0, 40.3, -6.05, -5.95, 300);
}
