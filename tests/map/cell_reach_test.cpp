// The spatial index decides most cells by bounds in degrees instead of a UTM conversion. The decision
// must be the converting rule's own, cell for cell: a cell pruned that the rule visits loses nodes, a
// cell visited that the rule prunes changes nothing found but shows a bound that does not hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "geometry/geometry.h"
#include "map/quadtree.h"

using mapRepresentation::CellReach;

namespace {

// Where the positions are drawn: latitude and longitude ranges, and the radii asked.
struct Region {
    std::string name;
    double latLow, latHigh;
    double lonLow, lonHigh;
    double radiusLow, radiusHigh;  // drawn log-uniformly
};

class CellReachTest : public testing::TestWithParam<Region> {};

// Cells of the index at random depths, a few cells away from the one holding the position, as the
// walk meets them.
TEST_P(CellReachTest, DecidesEveryCellAsTheConversionDoes) {
    const Region& region = GetParam();
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> lat(region.latLow, region.latHigh),
        lon(region.lonLow, region.lonHigh);
    std::uniform_real_distribution<double> logRadius(std::log(region.radiusLow), std::log(region.radiusHigh));
    std::uniform_int_distribution<int> depth(0, 30), shift(-3, 3);
    int visited = 0, pruned = 0;
    for (int query = 0; query < 2000; ++query) {
        const _position pos{lat(rng), lon(rng)};
        const double radius = query % 50 == 0 ? 0.0 : std::exp(logRadius(rng));
        const CellReach reach(pos, positionToPoint(pos), radius);
        for (int c = 0; c < 40; ++c) {
            const double cells = std::ldexp(1.0, depth(rng));
            const double hw = 180.0 / cells, hh = 90.0 / cells;
            const double row =
                std::clamp(std::floor((pos.lat + 90.0) / (2 * hh)) + shift(rng), 0.0, cells - 1);
            const double col =
                std::clamp(std::floor((pos.lon + 180.0) / (2 * hw)) + shift(rng), 0.0, cells - 1);
            const _position centre{-90.0 + hh * (2 * row + 1), -180.0 + hw * (2 * col + 1)};
            const bool expected = reach.reachesByConversion(centre, hw, hh);
            ASSERT_EQ(reach.reaches(centre, hw, hh), expected)
                << "position " << pos.lat << ", " << pos.lon << " radius " << radius << " cell " << centre.lat
                << ", " << centre.lon << " depth " << cells;
            ++(expected ? visited : pruned);
        }
    }
    // Both answers occur often, so neither a bound that always prunes nor one that always visits passes.
    EXPECT_GT(visited, 8000);
    EXPECT_GT(pruned, 8000);
}

INSTANTIATE_TEST_SUITE_P(
    Regions, CellReachTest,
    testing::Values(Region{"CityRadii", 40.0, 42.0, -9.0, -7.0, 1.0, 3000.0},
                    Region{"Anywhere", -90.0, 90.0, -180.0, 180.0, 1.0, 1e6},
                    // The clamped point falls in the next zone, or on the line between two zones.
                    Region{"ZoneEdge", -60.0, 60.0, -6.0001, -5.9999, 1.0, 5000.0},
                    Region{"DateLine", -30.0, 30.0, 179.999, 180.0, 1.0, 5000.0},
                    // The northing jumps by ten thousand kilometres between the hemispheres.
                    Region{"Equator", -0.001, 0.001, 10.0, 12.0, 1.0, 5000.0},
                    // Where the upper bounds stop being used, and the poles themselves.
                    Region{"HighLatitude", 79.99, 80.01, 20.0, 30.0, 1.0, 5000.0},
                    Region{"NorthPole", 89.9, 90.0, -180.0, 180.0, 1.0, 50000.0},
                    Region{"SouthPole", -90.0, -89.9, -180.0, 180.0, 1.0, 50000.0},
                    Region{"LargestBoundedRadius", 40.0, 42.0, -9.0, -7.0, 40000.0, 60000.0}),
    [](const testing::TestParamInfo<Region>& info) { return info.param.name; });

}  // namespace
