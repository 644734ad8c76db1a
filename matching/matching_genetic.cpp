#include "matching/matching_genetic.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <utility>

namespace MapMatching {

namespace {

std::optional<unsigned> g_fixedSeed;

void reseed() {
    geneticRandom().reseed(g_fixedSeed ? *g_fixedSeed : static_cast<unsigned>(time(nullptr)));
}

// A segment whose trace length is not positive still divides by something.
constexpr double kMinSegmentLength = 1e-9;
// Smallest distance of a matched run before its first gene is measured.
constexpr double kRunMinStart = 1000.0;

}  // namespace

void setFixedRandomSeed(std::optional<unsigned> seed) {
    g_fixedSeed = seed;
}
std::optional<unsigned> fixedRandomSeed() {
    return g_fixedSeed;
}

// ---------------------------------------------------------------------------------------------
// Individual

Individual::Individual(int count)
    : genes(static_cast<size_t>(std::max(count, 0)), -1), geneCount(std::max(count, 0)) {}

std::string Individual::toString() const {
    std::ostringstream out;
    out << "maxMinDist = " << maxMinDist << " m.   maxDist = " << maxDist << " m.  avgDist = " << avgDist
        << " m.  uncoveredDist = " << uncoveredDist << " m.  gapDist = " << gapDist
        << " m.  continuityLength = " << continuityLength << " m.  smallsDist = " << smallsDist
        << " m.  infDist = " << infDist << " m.  avgDiscDist = " << avgDiscDist
        << " m.  maxDiscDist = " << maxDiscDist << " m.  Score: " << score << "  invScore: " << invScore
        << "    ";
    for (int g = 0; g < geneCount && g < static_cast<int>(genes.size()); ++g)
        out << genes[static_cast<size_t>(g)] << " ";
    out << "\n";
    return out.str();
}

// ---------------------------------------------------------------------------------------------
// Population

Population::Population(mapRepresentation::Map* map_, Route* route_, Distances* distances_,
                       const _params& params_, int firstPoint_, int chromosomeLength_, std::ofstream* log_)
    : map(map_), route(route_), distances(distances_), params(params_), log(log_) {
    // At least one individual, so that every generation has a best one.
    populationSize = std::max(1, params.populationSize);

    // The chromosome must lie on the trace: the fitness reads the trace at every gene.
    int points = distances ? static_cast<int>(distances->traceDistances.size()) : 0;
    if (route) points = std::min(points, static_cast<int>(route->nodes.size()));
    firstPoint = std::clamp(firstPoint_, 0, points);
    chromosomeLength = std::clamp(chromosomeLength_, 0, points - firstPoint);

    segmentLength = chromosomeLength > 0 ? traceAt(chromosomeLength - 1) - traceAt(0) : 0.0;
    if (!(segmentLength > 0.0)) segmentLength = kMinSegmentLength;
    if (log)
        *log << "Segment Length: " << segmentLength << " m."
             << "\n";

    // The elites, then an even number of individuals bred in pairs.
    // Clamped before the conversion: a ratio outside [0, 1] (or NaN) must not overflow the int.
    double elites = populationSize * params.directPassRatio;
    if (!(elites > 0.0)) elites = 0.0;
    if (elites > populationSize) elites = populationSize;
    directPass = static_cast<int>(elites);
    if ((populationSize - directPass) % 2 != 0) directPass += 1;

    individuals.assign(static_cast<size_t>(populationSize), Individual());
    nextIndividuals.assign(static_cast<size_t>(populationSize), Individual());
}

double Population::traceAt(int k) const {
    return distances->traceDistances[static_cast<size_t>(firstPoint + k)];
}

void Population::initializePopulation(const std::set<int>& fixedPoints) {
    reseed();
    const time_t start = time(nullptr);
    buildWheels(&fixedPoints, false, 0, 0);
    if (log)
        *log << "Roulettes built in " << difftime(time(nullptr), start) << " seconds."
             << "\n";
    drawIndividuals();
    fitness(true);
}

void Population::initializePopulation(bool fixOne, int point, int link) {
    reseed();
    const time_t start = time(nullptr);
    buildWheels(nullptr, fixOne, point, link);
    if (log)
        *log << "Roulettes built in " << difftime(time(nullptr), start) << " seconds."
             << "\n";
    drawIndividuals();
    fitness(true);
}

void Population::buildWheels(const std::set<int>* fixedPoints, bool fixOne, int point, int link) {
    wheels.clear();
    geneTables.assign(static_cast<size_t>(chromosomeLength), GeneTable());
    for (int g = 0; g < chromosomeLength; ++g) {
        const int p = firstPoint + g;
        const std::vector<int> valid = distances->getValidLinks(p);
        std::vector<std::pair<double, int>> items;
        if (fixOne && p == point) {
            items.emplace_back(1.0, link);
        } else if (valid.empty()) {
            items.emplace_back(1.0, -1);
        } else if (fixedPoints && fixedPoints->count(p)) {
            items.emplace_back(1.0, valid.front());
        } else {
            items.emplace_back(params.nonValidProbability, -1);
            const double share = (1.0 - params.nonValidProbability) / static_cast<double>(valid.size());
            for (int l : valid) items.emplace_back(share, l);
        }
        wheels.push_back(std::make_unique<RouletteWheel<int>>(items));

        GeneTable& table = geneTables[static_cast<size_t>(g)];
        for (const auto& item : items)
            if (item.second != -1) table.links.push_back(item.second);
        std::sort(table.links.begin(), table.links.end());
        table.links.erase(std::unique(table.links.begin(), table.links.end()), table.links.end());
        for (int l : table.links) table.distances.push_back(distances->getDistanceFromPointToLink(p, l));
    }
    reachable.assign(static_cast<size_t>(std::max(chromosomeLength - 1, 0)), std::vector<signed char>());
    for (int g = 0; g + 1 < chromosomeLength; ++g)
        reachable[static_cast<size_t>(g)].assign(geneTables[static_cast<size_t>(g)].links.size() *
                                                     geneTables[static_cast<size_t>(g + 1)].links.size(),
                                                 -1);
}

void Population::drawIndividuals() {
    for (int k = 0; k < populationSize; ++k) {
        Individual& individual = individuals[static_cast<size_t>(k)];
        individual = Individual(chromosomeLength);
        for (int g = 0; g < chromosomeLength; ++g)
            individual.genes[static_cast<size_t>(g)] = wheels[static_cast<size_t>(g)]->getSelected();
    }
}

int Population::linkIndex(int g, int link) const {
    if (g < 0 || g >= static_cast<int>(geneTables.size())) return -1;
    const std::vector<int>& links = geneTables[static_cast<size_t>(g)].links;
    const auto it = std::lower_bound(links.begin(), links.end(), link);
    return (it != links.end() && *it == link) ? static_cast<int>(it - links.begin()) : -1;
}

double Population::geneDistance(int g, int link) {
    const int index = linkIndex(g, link);
    if (index >= 0) return geneTables[static_cast<size_t>(g)].distances[static_cast<size_t>(index)];
    return distances->getDistanceFromPointToLink(firstPoint + g, link);
}

bool Population::neighbourReachable(int g, int from, int to) {
    const int a = linkIndex(g, from);
    const int b = linkIndex(g + 1, to);
    if (a < 0 || b < 0 || g >= static_cast<int>(reachable.size())) return isAchiveableLink(from, to);
    const size_t width = geneTables[static_cast<size_t>(g + 1)].links.size();
    signed char& known =
        reachable[static_cast<size_t>(g)][static_cast<size_t>(a) * width + static_cast<size_t>(b)];
    if (known < 0) known = isAchiveableLink(from, to) ? 1 : 0;
    return known == 1;
}

bool Population::isAchiveableLink(int from, int to) {
    if (from == to) return true;
    // -1 is no link: nothing follows it and it follows nothing.
    if (from == -1 || to == -1 || !map) return false;
    const int fromSuperLink = map->getSuperLinkKey(from);
    const int toSuperLink = map->getSuperLinkKey(to);
    const int toSequence = map->getSequenceNumber(to);
    if (fromSuperLink == toSuperLink) {
        const int between = toSequence - map->getSequenceNumber(from) - 1;
        return between >= 0 && between <= params.maxLinkJump;
    }
    auto it = reachableSuperLinks.find(fromSuperLink);
    if (it == reachableSuperLinks.end())
        it = reachableSuperLinks
                 .emplace(fromSuperLink, map->getAllAchievableSuperLinks(
                                             fromSuperLink, params.maxSuperLinkJump + 1, params.maxLinkJump))
                 .first;
    return it->second.count(toSuperLink) > 0 && toSequence <= params.maxLinkJump + 1;
}

std::vector<int> Population::getIndividualGaps(const Individual& individual) {
    std::vector<int> gaps;
    const int count = std::min(individual.geneCount, static_cast<int>(individual.genes.size()));
    for (int g = 0; g + 1 < count; ++g) {
        const int a = individual.genes[static_cast<size_t>(g)];
        const int b = individual.genes[static_cast<size_t>(g + 1)];
        if (a != -1 && b != -1 && a != b && !isAchiveableLink(a, b)) gaps.push_back(g);
    }
    return gaps;
}

void Population::evaluate(Individual& individual) {
    const int L =
        std::min({individual.geneCount, static_cast<int>(individual.genes.size()), chromosomeLength});
    const int* gene = individual.genes.data();
    const double D = params.D_LIMIT;

    double uncoveredDist = 0.0, gapDist = 0.0, continuityLength = 0.0, maxDiscDist = 0.0;
    double sumDist = 0.0, maxDist = 0.0, maxMinDist = 0.0, sumDisc = 0.0;
    int nDisc = 0;

    int i = 0;
    while (i < L) {
        if (gene[i] != -1) {
            // A matched run: consecutive links that can follow each other.
            double runMin = kRunMinStart;
            int j = i;
            bool broken = false;
            for (;;) {
                const double d = geneDistance(j, gene[j]);
                sumDist += d;
                if (d > maxDist) maxDist = d;
                if (d < runMin) runMin = d;
                if (j + 1 >= L || gene[j + 1] == -1) break;
                if (gene[j + 1] != gene[j] && !neighbourReachable(j, gene[j], gene[j + 1])) {
                    broken = true;
                    break;
                }
                ++j;
            }
            if (runMin > maxMinDist) maxMinDist = runMin;
            const double length = traceAt(j) - traceAt(i);
            continuityLength += length * length;
            if (broken) gapDist += distances->getDistanceBetweenLinks(gene[j], gene[j + 1]);
            i = j + 1;
        } else {
            // An unmatched run, measured from the last matched point before it to the first after it.
            int e = i;
            while (e + 1 < L && gene[e + 1] == -1) ++e;
            if (i > 0) {
                const double d = geneDistance(i, gene[i - 1]);
                sumDisc += d;
                ++nDisc;
                if (d > maxDiscDist) maxDiscDist = d;
            }
            for (int k = i; k <= e; ++k) sumDist += D;
            if (e + 1 < L) {
                const double d = geneDistance(e, gene[e + 1]);
                sumDisc += d;
                ++nDisc;
                if (d > maxDiscDist) maxDiscDist = d;
            }
            const int s = i > 0 ? i - 1 : i;
            const int t = e + 1 < L ? e + 1 : e;
            const double length = traceAt(t) - traceAt(s);
            uncoveredDist += length;
            continuityLength += length * length;
            i = e + 1;
        }
    }

    individual.uncoveredDist = uncoveredDist;
    individual.gapDist = gapDist;
    individual.continuityLength = continuityLength;
    individual.maxDiscDist = maxDiscDist;
    individual.avgDist = L > 0 ? sumDist / L : 0.0;
    individual.maxDist = maxDist;
    individual.maxMinDist = maxMinDist;
    individual.avgDiscDist = nDisc > 0 ? sumDisc / nDisc : 0.0;

    const double S = segmentLength;
    individual.score = params.W_AVG * individual.avgDist / D + params.W_MAX_MIN * individual.maxMinDist / D +
                       params.W_MAX * individual.maxDist / D + params.W_UNCOV * individual.uncoveredDist / S +
                       params.W_GAP * individual.gapDist / (3 * D) +
                       params.W_CONTLEN * (S * S / individual.continuityLength - 1) +
                       params.W_AVGDISC * individual.avgDiscDist / (3 * D) +
                       params.W_MAXDISC * individual.maxDiscDist / (3 * D);
    individual.invScore = individual.score >= 1e-9 ? 1 / individual.score : 1e9;
}

void Population::fitness(bool all) {
    // Bred individuals whose genes came through unchanged still carry their parent's measures.
    const bool known = !all && changed.size() == static_cast<size_t>(populationSize);
    for (int k = all ? 0 : directPass; k < populationSize; ++k)
        if (!known || changed[static_cast<size_t>(k)]) evaluate(individuals[static_cast<size_t>(k)]);
    sumScore = 0.0;
    sumInvScore = 0.0;
    for (const Individual& individual : individuals) {
        sumScore += individual.score;
        sumInvScore += individual.invScore;
    }
}

void Population::crossOver() {
    std::vector<std::pair<double, Individual*>> entries;
    entries.reserve(individuals.size());
    for (Individual& individual : individuals) entries.emplace_back(individual.score, &individual);
    Tournament<Individual*> tournament(entries, 1, params.tournamentProbability);
    CRandom& random = geneticRandom();
    const int64_t recombination = CRandom::threshold(params.recombinationProbability);
    changed.assign(static_cast<size_t>(populationSize), 0);

    for (int k = directPass; k + 1 < populationSize; k += 2) {
        Individual& first = nextIndividuals[static_cast<size_t>(k)];
        Individual& second = nextIndividuals[static_cast<size_t>(k + 1)];
        first = *tournament.getSelected();
        second = *tournament.getSelected();
        if (random.next() < recombination && first.geneCount > 0) {
            const int cut = random.next() % first.geneCount;
            const auto from = first.genes.begin() + cut;
            const auto to = first.genes.begin() + first.geneCount;
            if (!std::equal(from, to, second.genes.begin() + cut)) {
                std::swap_ranges(from, to, second.genes.begin() + cut);
                changed[static_cast<size_t>(k)] = 1;
                changed[static_cast<size_t>(k + 1)] = 1;
            }
        }
    }
}

void Population::mutation() {
    CRandom& random = geneticRandom();
    const int64_t threshold = CRandom::threshold(params.mutationProbability);
    if (changed.size() != static_cast<size_t>(populationSize))
        changed.assign(static_cast<size_t>(populationSize), 1);
    for (int k = directPass; k < populationSize; ++k) {
        Individual& individual = nextIndividuals[static_cast<size_t>(k)];
        const int count = std::min(individual.geneCount, static_cast<int>(wheels.size()));
        for (int g = 0; g < count; ++g) {
            if (random.next() >= threshold) continue;
            int& gene = individual.genes[static_cast<size_t>(g)];
            const int drawn = wheels[static_cast<size_t>(g)]->getSelected();
            if (drawn != gene) changed[static_cast<size_t>(k)] = 1;
            gene = drawn;
        }
    }
}

void Population::nextGeneration() {
    generation += 1;
    {
        RankedPopulation ranking(&individuals);
        for (int k = 0; k < directPass; ++k)
            nextIndividuals[static_cast<size_t>(k)] = *ranking.order()[static_cast<size_t>(k)];
    }
    crossOver();
    mutation();
    std::swap(individuals, nextIndividuals);
    fitness(false);

    RankedPopulation current(&individuals);
    RankedPopulation previous(&nextIndividuals);
    const Individual& best = *current.order().front();
    bestPerGeneration.push_back(best);
    if (generation < 2 || bestGeneration < 1) {
        bestGeneration = generation < 2 ? 1 : generation;
    } else if (best.score < bestPerGeneration[static_cast<size_t>(bestGeneration - 1)].score) {
        bestGeneration = generation;
    }

    const auto& now = current.order();
    const auto& before = previous.order();
    sumDiff = 0.0;
    for (size_t r = 0; r < now.size(); ++r) {
        const double delta = now[r]->score - before[r]->score;
        const double d = delta * delta;
        if (r == 0) {
            bestDiff = d;
            minDiff = d;
            maxDiff = d;
        }
        if (d < minDiff) minDiff = d;
        if (d > maxDiff) maxDiff = d;
        worstDiff = d;
        sumDiff += d;
    }
}

// ---------------------------------------------------------------------------------------------
// Log printers

void Population::printPopulationStatistics() const {
    if (!log) return;
    *log << "\n"
         << "### Population Statistics ###"
         << "\n"
         << "Size: " << populationSize << "\n"
         << "Direct Pass: " << directPass << "  (" << 100 * params.directPassRatio << "%)"
         << "\n"
         << "Chromosome size: " << (route ? route->nodes.size() : 0) << "\n"
         << "Probabilities: Recombination = " << params.recombinationProbability
         << "  Mutation = " << params.mutationProbability
         << "  Non valid link (-1) = " << params.nonValidProbability << "\n"
         << "Segment Length: " << segmentLength << " m."
         << "\n"
         << "Weights: W_MAX_MIN = " << params.W_MAX_MIN << "  W_AVG = " << params.W_AVG
         << "  W_MAX = " << params.W_MAX << "  W_UNCOV = " << params.W_UNCOV << "  W_GAP = " << params.W_GAP
         << "  W_CONTLEN = " << params.W_CONTLEN << "  W_AVGDISC = " << params.W_AVGDISC
         << "  W_MAXDISC = " << params.W_MAXDISC << "\n"
         << "D_LIMIT = " << params.D_LIMIT << "  MAX_DIST_LINK = " << kMaxDistLink << "\n"
         << "\n";
}

void Population::printGeneration() {
    if (!log) return;
    *log << "Population: " << generation << "\n";
    RankedPopulation ranking(&individuals);
    while (ranking.hasNext()) *log << ranking.next()->toString();
    *log << "\n";
}

void Population::printGenerationStatistics() {
    if (!log) return;
    *log << "\n"
         << "### Generation Statistics ###"
         << "\n"
         << "Generation: " << generation << "\n"
         << "Best individuals from this generation:"
         << "\n";
    RankedPopulation ranking(&individuals);
    for (int r = 0; ranking.hasNext(); ++r) {
        const Individual* individual = ranking.next();
        if (r < 5) *log << individual->toString();
        if (r == 5)
            *log << "Worst individuals from this generation:"
                 << "\n";
        if (r >= populationSize - 5) *log << individual->toString();
    }
    *log << "\n"
         << "Population avgScore = " << sumScore / populationSize << "\n"
         << "\n"
         << "Score diferences between current and previous generation"
         << "\n"
         << "minDiff = " << minDiff << "  avgDiff = " << sumDiff / populationSize << "  maxDiff = " << maxDiff
         << "\n"
         << "Diff from best indiviuals " << bestDiff << "\n"
         << "Diff from worst indiviuals " << worstDiff << "\n"
         << "\n";
}

void Population::printBestIndividuals() const {
    if (!log) return;
    *log << "Best Individual from ever : generation = " << bestGeneration << "\n";
    // Before the first generation there is no best individual to show.
    if (bestGeneration >= 1 && bestGeneration <= static_cast<int>(bestPerGeneration.size()))
        *log << bestPerGeneration[static_cast<size_t>(bestGeneration - 1)].toString();
    *log << "\n"
         << "Best from each generation:"
         << "\n";
    for (size_t g = 1; g <= bestPerGeneration.size(); ++g)
        *log << g << " -> " << bestPerGeneration[g - 1].toString();
}

}  // namespace MapMatching
