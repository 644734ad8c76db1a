// The hidden-Markov matcher on hand-drawn maps whose right answer is plain. Viterbi against
// exhaustive search: on tiny random street grids, the sequence of candidates the matcher picks costs
// as little as the cheapest of all sequences, priced with the matcher's own emission, transition and
// outlier costs; and when a route turns back on its road. The rules of the matcher's parameters: one
// function judges karvel-match's options and the library's callers, so its ranges and texts are what
// both show.
#include "matching/hmm_matcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <tuple>

#include "local_world.h"
#include "matching/hmm_params.h"

namespace {

using Links = std::vector<int>;

// A hand-drawn case: `driven` (if given) is the drive of every piece, each link once; `links` (if
// given) the link of every fix; `records` the unmatched stretches as the hybrid reports them.
struct Case {
    size_t pieces = 1;
    Links driven, links;
    local_world::Records records;
    local_world::World w;
    Route r;

    void fix(double x, double y, uint32_t seconds = 1) {
        r.nodes.push_back(local_world::point(x, y));
        r.nodes.back().arrivalTime = r.nodes.size() == 1 ? 1000 : r.nodes.end()[-2].arrivalTime + seconds;
    }
    // A two-way street along y from x0 to x1 in steps; returns {east links, west links}, in driving order.
    std::pair<Links, Links> twoWay(double x0, double x1, double step, double y) {
        std::vector<uint32_t> nodes;
        for (double x = x0; x <= x1 + 1e-9; x += step) nodes.push_back(w.node(x, y));
        const Links east = w.road(nodes);
        return {east, w.road({nodes.rbegin(), nodes.rend()})};
    }
};

// Deterministic small noise, so that fixes are never exactly on a road.
const auto wobble = [](int i, double size) { return size * std::sin(i * 2.3); };

void uTurnAtADeadEnd(Case& c) {
    const auto [east, west] = c.twoWay(0, 300, 50, 0);
    c.driven = east;
    c.driven.insert(c.driven.end(), west.begin(), west.end());
    for (int i = 0; i <= 29; ++i) c.fix(5 + i * 10, wobble(i, 3));
    for (int i = 0; i <= 28; ++i) c.fix(295 - i * 10, wobble(i + 40, 3));
}

// Neither the mirror link nor the other road, though the fixes lean towards it.
void twoWayStreetDrivenOneWayBesideAnother(Case& c) {
    c.driven = c.twoWay(0, 600, 100, 0).first;
    c.twoWay(0, 600, 100, 15);
    for (int i = 0; i <= 55; ++i) c.fix(10 + i * 10, 5 + wobble(i, 3));
}

void thirtySecondsRoundABlock(Case& c) {
    const uint32_t a = c.w.node(0, 0), b = c.w.node(300, 0), d = c.w.node(300, 300), e = c.w.node(0, 300);
    c.driven = {c.w.link(a, b), c.w.link(b, d), c.w.link(d, e), c.w.link(e, a)};
    c.driven.push_back(c.driven.front());
    c.w.road({a, e, d, b, a});  // and the other way round
    for (const auto& [x, y] :
         std::vector<std::pair<double, double>>{{50, 2}, {298, 50}, {250, 302}, {2, 250}, {50, -2}})
        c.fix(x, y, 30);  // 10 m/s anticlockwise
}

void aGapBridgedByTheRoad(Case& c) {
    const Links road = c.w.chain(0, 3000, 100, 0);
    c.driven.assign(road.begin(), road.begin() + 24);
    for (int i = 0; i < 40; ++i) c.fix((i < 20 ? 10 : 1800) + i * 15, wobble(i, 3), i == 20 ? 120 : 1);
}

void standingStillMakesNoDetour(Case& c) {  // with the receiver repeating seconds while it stands
    const Links east = c.twoWay(0, 400, 50, 0).first;
    c.driven.assign(east.begin(), east.begin() + 5);
    for (int i = 0; i < 10; ++i) c.fix(20 + i * 10, wobble(i, 2));
    for (int i = 0; i < 60; ++i) c.fix(120 + wobble(i, 3), wobble(i + 3, 3), i % 2);
    for (int i = 0; i < 10; ++i) c.fix(130 + i * 10, wobble(i, 2));
}

// One fix thrown 75 m back onto the link before: left out, not driven to by turning round twice.
void aFixThrownBackMakesNoZigzag(Case& c) {
    c.driven = c.twoWay(0, 600, 50, 0).first;
    for (int i = 0; i <= 18; ++i) c.fix(i == 6 ? 95 : 20 + i * 30, wobble(i, 2), 3);
}

// Short links and fixes scattered along the road as much as across it: the nearest link is often the
// wrong one, the position along the drive is not.
void fixesScatteredAlongShortLinks(Case& c) {
    const Links road = c.w.chain(0, 800, 20, 0);
    for (int i = 0; i < 70; ++i) c.fix(5 + i * 10 + wobble(i, 6), wobble(i + 5, 6));
    for (int i = 0; i < 70; ++i) c.links.push_back(road[static_cast<size_t>(i / 2)]);
}

void aFixFarFromEveryRoadSplitsThePieces(Case& c) {
    const Links road = c.w.chain(0, 1000, 100, 0);
    for (int i = 0; i < 30; ++i) c.fix(10 + i * 10, i == 15 ? 900 : wobble(i, 2));
    c.pieces = 2;
    c.records = {{15, 15, road[1], road[1], 0, 1}};
}

// The drive goes on where the map ends: the fixes more than the radius (50 m) beyond its last node are
// not matched, though the wider searches still reach them, and the piece ends at the last fix within it.
void aMapThatEndsLeavesTheFixesBeyondIt(Case& c) {
    c.driven = c.w.chain(0, 500, 100, 0);
    for (int i = 0; i <= 88; ++i) c.fix(5 + i * 10, wobble(i, 2));
    for (int i = 0; i <= 88; ++i)
        c.links.push_back(i <= 54 ? c.driven[static_cast<size_t>(std::min(4, i / 10))] : -1);
    c.records = {{55, 88, c.driven.back(), -1, 0, -1}};
}

// Inside a piece, fixes 60-70 m beside the road (the widened search reaches them) are left unmatched,
// but the drive goes on through them.
void fixesBesideTheRoadInsideAPiece(Case& c) {
    c.driven = c.w.chain(0, 600, 100, 0);
    for (int i = 0; i < 58; ++i) c.fix(5 + i * 10, i >= 20 && i < 25 ? 65 : wobble(i, 2));
    for (int i = 0; i < 58; ++i)
        c.links.push_back(i >= 20 && i < 25 ? -1 : c.driven[static_cast<size_t>(i / 10)]);
}

// Creeping 17 m into a dead end and out between fixes 10 s apart: each fix there lies within the
// thinning spacing of the one before the turn, yet the sparse fixes are kept and show the turn.
void aTurnInADeadEndBetweenSparseFixes(Case& c) {
    const uint32_t j = c.w.node(200, 0), end = c.w.node(200, 19);
    c.driven = {c.w.link(c.w.node(0, 0), j), c.w.link(j, end), c.w.link(end, j),
                c.w.link(j, c.w.node(400, 0))};
    for (const auto& [x, y] : std::vector<std::pair<double, double>>{
             {20, 0}, {100, 0}, {195, 0}, {201, 9}, {200, 17}, {199, 9}, {210, 0}, {300, 0}, {390, 0}})
        c.fix(x, y, 10);
}

void noRoadNearAnyFix(Case& c) {
    c.w.chain(0, 100, 50, 0);
    c.fix(5000, 5000);
    c.fix(5010, 5000);
    c.pieces = 0;
    c.records = {{0, 1, -1, -1, -1, -1}};
}

class HmmScenario : public testing::TestWithParam<std::pair<const char*, void (*)(Case&)>> {};

TEST_P(HmmScenario, MatchesTheDrive) {
    Case c;
    GetParam().second(c);
    const mapRepresentation::RoadGraph graph(c.w.map);
    MapMatching::HmmMatcher m(graph, MapMatching::kHmmDefaults);
    m.run(c.r);
    const auto paths = m.getMatched();
    ASSERT_EQ(paths.size(), c.pieces);
    EXPECT_EQ(local_world::records(m), c.records);
    EXPECT_TRUE(c.links.empty() || m.matchedLinks() == c.links) << testing::PrintToString(m.matchedLinks());
    ASSERT_EQ(m.drivenRoutes().size(), paths.size());
    for (size_t k = 0; k < paths.size(); ++k) {  // every piece is a drive, and the route it reports
        const auto& path = paths[k];
        Links driven;
        for (const auto& [point, link] : path->links) {
            if (!driven.empty() && driven.back() == link) continue;
            EXPECT_TRUE(driven.empty() || c.w.map.isConnected(driven.back(), link)) << link;
            driven.push_back(link);
        }
        EXPECT_TRUE(c.driven.empty() || driven == c.driven) << testing::PrintToString(driven);
        EXPECT_EQ(m.drivenRoutes()[k], driven);
    }
}

#define HMM_CASE(f) std::pair<const char*, void (*)(Case&)>(#f, f)
INSTANTIATE_TEST_SUITE_P(
    HandDrawn, HmmScenario,
    testing::Values(HMM_CASE(twoWayStreetDrivenOneWayBesideAnother), HMM_CASE(uTurnAtADeadEnd),
                    HMM_CASE(thirtySecondsRoundABlock), HMM_CASE(aGapBridgedByTheRoad),
                    HMM_CASE(standingStillMakesNoDetour), HMM_CASE(fixesScatteredAlongShortLinks),
                    HMM_CASE(aFixThrownBackMakesNoZigzag), HMM_CASE(aFixFarFromEveryRoadSplitsThePieces),
                    HMM_CASE(aMapThatEndsLeavesTheFixesBeyondIt), HMM_CASE(fixesBesideTheRoadInsideAPiece),
                    HMM_CASE(aTurnInADeadEndBetweenSparseFixes), HMM_CASE(noRoadNearAnyFix)),
    [](const auto& info) { return std::string(info.param.first); });

}  // namespace

namespace {

using mapRepresentation::RoadGraph;

using Lattice =
    std::tuple<int, int, int, int>;  // grid side, fixes, candidates per fix, seconds between fixes

class HmmViterbi : public testing::TestWithParam<Lattice> {};

TEST_P(HmmViterbi, PicksTheCheapestSequenceOfAll) {
    const auto [side, fixes, candidates, period] = GetParam();
    MapMatching::HmmParams params = MapMatching::kHmmDefaults;
    params.radius = 1000.0;  // every fix gets its `candidates` nearest links
    params.candidates = candidates;
    params.thinning = 0.0;  // every fix in the lattice
    params.maxSpeed = 1e4;  // and every step allowed
    params.detourSlack = 1e6;
    params.runSeconds = 0.0;  // runs stepped over whole depend on the decoding so far: tested apart
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed * 7919u + static_cast<unsigned>(fixes * 31 + candidates));
        // A jittered square grid of two-way streets (so every step is possible), some diagonals too.
        std::uniform_real_distribution<double> jitter(-25.0, 25.0), anywhere(0.0, (side - 1) * 100.0);
        local_world::World w;
        for (int i = 0; i < side * side; ++i)
            w.node(i % side * 100.0 + jitter(rng), i / side * 100.0 + jitter(rng));
        for (int i = 1; i <= side * side; ++i)
            for (const int j :
                 {i % side ? i + 1 : 0, i + side, i % side && rng() % 3 == 0 ? i + side + 1 : 0})
                if (j > 0 && j <= side * side)
                    w.road({static_cast<uint32_t>(i), static_cast<uint32_t>(j), static_cast<uint32_t>(i)});
        Route r;
        for (int i = 0; i < fixes; ++i) {
            r.nodes.push_back(local_world::point(anywhere(rng), anywhere(rng)));
            r.nodes.back().arrivalTime = static_cast<uint32_t>(1000 + period * i);
        }
        const RoadGraph g(w.map);
        MapMatching::HmmMatcher m(g, params);
        m.run(r);
        std::vector<std::vector<RoadGraph::Near>> cands(r.nodes.size());
        for (size_t t = 0; t < r.nodes.size(); ++t)
            g.nearLinks({r.nodes[t].easting, r.nodes[t].northing}, params.radius, candidates, cands[t]);
        mapRepresentation::RouteSearch search(g);
        // A choice per fix: a candidate index, or cands[t].size() for an inner fix left out as an outlier
        // (never two in a row: a step passes over one fix at most).
        auto allowed = [&](const std::vector<size_t>& choice) {
            for (size_t t = 0; t < choice.size(); ++t)
                if (choice[t] == cands[t].size() &&
                    (t == 0 || t + 1 == choice.size() || choice[t - 1] == cands[t - 1].size()))
                    return false;
            return true;
        };
        auto costOf = [&](const std::vector<size_t>& choice) {
            double c = m.emissionCost(cands[0][choice[0]].distance);
            for (size_t p = 0, t = 1; t < choice.size(); ++t) {
                if (choice[t] == cands[t].size()) continue;
                const RoadGraph::Near &a = cands[p][choice[p]], &b = cands[t][choice[t]];
                // The driving distance without bounds (none binds here); a little back on one link is noise.
                double d = -(a.offset - b.offset);
                bool turns = false;
                if (a.link != b.link || d >= 0.0 || -d > params.backTolerance) {
                    search.run(a.link, a.offset, std::numeric_limits<double>::max(), {g.link(b.link).origin});
                    d = search.distanceTo(b.link, b.offset);
                    turns = search.turnsBack(b.link, b.offset);
                }
                const double straight = std::hypot(r.nodes[t].easting - r.nodes[p].easting,
                                                   r.nodes[t].northing - r.nodes[p].northing);
                const double steps = static_cast<double>(t - p);
                c += (steps - 1.0) * m.outlierCost() +
                     m.transitionCost(d, straight, steps * m.scale(period), turns) +
                     m.emissionCost(b.distance);
                p = t;
            }
            return c;
        };
        // Every combination, counting in mixed radix; and the matcher's pick as candidate indices.
        std::vector<size_t> choice(r.nodes.size(), 0), picked(r.nodes.size(), 0);
        double best = std::numeric_limits<double>::infinity();
        for (size_t t = 0; t < choice.size();) {
            if (allowed(choice)) best = std::min(best, costOf(choice));
            for (t = 0; t < choice.size() && ++choice[t] == cands[t].size() + 1; ++t) choice[t] = 0;
        }
        for (size_t t = 0; t < r.nodes.size(); ++t) {  // the candidate Viterbi chose (the last if none)
            if (m.decodedLink(t) < 0) {
                picked[t] = cands[t].size();
                continue;
            }
            while (picked[t] + 1 < cands[t].size() && g.link(cands[t][picked[t]].link).id != m.decodedLink(t))
                ++picked[t];
        }
        EXPECT_NEAR(costOf(picked), best, 1e-9 * (1.0 + best)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(TinyLattices, HmmViterbi,
                         testing::Values(Lattice{3, 2, 4, 1}, Lattice{3, 4, 3, 5}, Lattice{4, 5, 3, 10},
                                         Lattice{4, 4, 4, 30}, Lattice{3, 6, 2, 2}));

// A turn back onto the road just driven, where the road goes on; not at a dead end, and not going on.
TEST(RouteSearch, TellsATurnBackFromADeadEndAndFromGoingOn) {
    local_world::World w;
    const uint32_t a = w.node(0, 0), b = w.node(100, 0), c = w.node(200, 0), d = w.node(100, 100);
    const auto ab = w.road({a, b, c}), ba = w.road({c, b, a}), bd = w.road({b, d});
    const RoadGraph g(w.map);
    mapRepresentation::RouteSearch search(g);
    auto at = [&](int id) { return static_cast<uint32_t>(g.indexOf(id)); };
    const std::tuple<int, int, bool> rows[] = {
        {ab[0], ba[1], true}, {ab[0], ab[1], false}, {ab[0], bd[0], false}, {ab[1], ba[0], false},
        {ba[0], ab[1], true}, {ab[1], ba[1], false}, {ab[0], ab[0], true}};
    for (const auto& [from, to, turns] : rows) {
        search.run(at(from), 50.0, 1e9, {g.link(at(to)).origin});
        EXPECT_EQ(search.turnsBack(at(to), 10.0), turns) << from << " to " << to;
    }
}

}  // namespace

using MapMatching::HmmParams;
using MapMatching::kHmmDefaults;

// The edges of each option's range and the inner settings: accepted ("") or refused with the text the
// user sees.
TEST(HmmParamsRules, EachRangeAcceptsItsEdgesAndRefusesWithTheOptionsText) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        std::function<void(HmmParams&)> change;
        const char* problem;  // nullptr: any refusal
    } rows[] = {
        {[](HmmParams&) {}, ""},
        {[](HmmParams& p) { p = p.withRadius(1); }, ""},
        {[](HmmParams& p) { p = p.withRadius(10000); }, ""},
        {[](HmmParams& p) { p.sigma = 0; }, ""},
        {[](HmmParams& p) { p.sigma = 1000; }, ""},
        {[](HmmParams& p) { p.candidates = 1; }, ""},
        {[](HmmParams& p) { p.candidates = 64; }, ""},
        {[](HmmParams& p) { p = p.withRadius(0.5); }, "bad --radius 0.5 (metres, 1 to 10000)"},
        {[](HmmParams& p) { p = p.withRadius(10001); }, "bad --radius 10001 (metres, 1 to 10000)"},
        {[nan](HmmParams& p) { p = p.withRadius(nan); }, "bad --radius nan (metres, 1 to 10000)"},
        {[](HmmParams& p) { p.sigma = -0.5; }, "bad --sigma -0.5 (metres, 0 to 1000)"},
        {[](HmmParams& p) { p.sigma = 1000.5; }, "bad --sigma 1000.5 (metres, 0 to 1000)"},
        {[](HmmParams& p) { p.candidates = 0; }, "bad --candidates 0 (1 to 64)"},
        {[](HmmParams& p) { p.candidates = 65; }, "bad --candidates 65 (1 to 64)"},
        // Bounds the wrong way round; a retry that searches no wider; a route shorter than the line.
        {[](HmmParams& p) { p.sigmaMax = p.sigmaMin - 1; },
         "bad matcher parameter sigmaMax 9 (sigmaMin to 1000)"},
        {[](HmmParams& p) { p.retryRadius = p.radius - 1; }, nullptr},
        {[](HmmParams& p) { p.detourFactor = 0.5; }, nullptr},
        {[](HmmParams& p) { p.outlier = -1; }, "bad matcher parameter outlier -1 (0 to 1000000)"},
    };
    for (const auto& row : rows) {
        HmmParams p = kHmmDefaults;
        row.change(p);
        const std::string problem = p.problem();
        if (row.problem == nullptr)
            EXPECT_NE(problem, "");
        else
            EXPECT_EQ(problem, row.problem);
    }
    // A value that is no number is shown as written.
    EXPECT_EQ(HmmParams::refusal("radius", "ten"), "bad --radius ten (metres, 1 to 10000)");
}

TEST(HmmParamsRules, TheWiderSearchesKeepTheirProportionToTheRadius) {
    const HmmParams small = kHmmDefaults.withRadius(20), wide = kHmmDefaults.withRadius(200);
    // Never below the defaults; nothing else moves.
    EXPECT_EQ(std::tuple(small.radius, small.retryRadius, small.reachRadius),
              std::tuple(20.0, kHmmDefaults.retryRadius, kHmmDefaults.reachRadius));
    EXPECT_EQ(std::tuple(wide.retryRadius, wide.reachRadius, wide.sigma, wide.candidates),
              std::tuple(1200.0, 600.0, kHmmDefaults.sigma, kHmmDefaults.candidates));
}
