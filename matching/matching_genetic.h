// The genetic algorithm that decides which link each trace point of a stretch lies on: its
// parameters, the chromosome (Individual) and the evolving population with its fitness.
#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "map/maps.h"
#include "matching/matching_genetic_util.h"
#include "traces/route.h"

namespace MapMatching {

// Parameters of the genetic algorithm; the member defaults are the hybrid matcher's values.
struct _params {
    double D_LIMIT = 20.0;
    double nonValidProbability = 0.2;
    int populationSize = 50;
    double directPassRatio = 0.03;
    int maxStagnation = 75;
    int maxLinkJump = 5;
    int maxSuperLinkJump = 1;
    double recombinationProbability = 0.75;
    double mutationProbability = 0.01;
    double tournamentProbability = 0.6;
    double W_AVG = 0.7;
    double W_MAX = 1.0;
    double W_MAX_MIN = 0.8;
    double W_UNCOV = 5.5;
    double W_GAP = 1.5;
    double W_CONTLEN = 0.3;
    double W_AVGDISC = 1.0;
    double W_MAXDISC = 1.0;
};

// Every population initialisation reseeds the C library generator with the current time. Tests
// (and reproducible runs) fix the seed here; std::nullopt restores the time seed.
void setFixedRandomSeed(std::optional<unsigned> seed);
std::optional<unsigned> fixedRandomSeed();

// One chromosome: a link id per gene (-1 = no link) and its fitness measures.
class Individual {
public:
    std::vector<int> genes;
    int geneCount = 0;
    double avgDist = 0.0;
    double maxMinDist = 0.0;
    double maxDist = 0.0;
    double uncoveredDist = 0.0;
    double gapDist = 0.0;
    double continuityLength = 0.0;
    double smallsDist = 0.0;  // never computed, printed only
    double infDist = 0.0;     // never computed, printed only
    double avgDiscDist = 0.0;
    double maxDiscDist = 0.0;
    double score = 0.0;
    double invScore = 0.0;

    Individual() = default;
    // Genes start as -1 until drawn.
    explicit Individual(int count);

    // The measures, the score and the genes on one line, ending with a line end.
    std::string toString() const;
};

class Population {
public:
    mapRepresentation::Map* map = nullptr;
    Route* route = nullptr;
    Distances* distances = nullptr;
    _params params;  // a private copy: the caller's parameters need not outlive the population
    std::ofstream* log = nullptr;
    int populationSize = 0;
    int firstPoint = 0;
    int chromosomeLength = 0;
    double segmentLength = 0.0;
    int directPass = 0;
    int generation = 0;
    double sumScore = 0.0;
    double sumInvScore = 0.0;
    int bestGeneration = -1;
    double sumDiff = -1.0;
    double maxDiff = -1.0;
    double minDiff = -1.0;
    double bestDiff = -1.0;
    double worstDiff = -1.0;
    std::vector<Individual> individuals;
    std::vector<Individual> nextIndividuals;
    std::vector<std::unique_ptr<Selection<int>>> wheels;
    std::vector<Individual> bestPerGeneration;
    std::map<int, std::set<int>> reachableSuperLinks;

    Population(mapRepresentation::Map* map, Route* route, Distances* distances, const _params& params,
               int firstPoint, int chromosomeLength, std::ofstream* log);

    // Draws the first generation; genes at fixed points take their lowest valid link.
    void initializePopulation(const std::set<int>& fixedPoints);
    // Draws the first generation; with fixOne the gene of `point` always holds `link`.
    void initializePopulation(bool fixOne, int point, int link);
    void nextGeneration();
    // Evaluates the generation; with all false the elites, and the bred individuals whose genes
    // came through crossover and mutation unchanged, keep their stored measures.
    void fitness(bool all);
    // Whether link `to` may follow link `from` within the jump limits.
    bool isAchiveableLink(int from, int to);
    // Gene indices g where genes g and g+1 are different links that cannot follow each other.
    std::vector<int> getIndividualGaps(const Individual& individual);
    void crossOver();
    void mutation();

    void printPopulationStatistics() const;
    void printGeneration();
    void printGenerationStatistics();
    void printBestIndividuals() const;

    // Scores one individual (all measures and the score).
    void evaluate(Individual& individual);

private:
    // Per gene: the links its wheel can draw (ascending) and their distances from the gene's point,
    // so that the fitness reads both without a map lookup.
    struct GeneTable {
        std::vector<int> links;
        std::vector<double> distances;
    };
    std::vector<GeneTable> geneTables;
    // Per individual of the generation being bred: whether crossover or mutation changed its genes.
    std::vector<char> changed;
    // Per pair of neighbouring genes g, g+1: reachability of (link a of g, link b of g+1), stored at
    // a * (links of g+1) + b; -1 until asked.
    std::vector<std::vector<signed char>> reachable;

    void buildWheels(const std::set<int>* fixedPoints, bool fixOne, int point, int link);
    void drawIndividuals();
    void buildGeneTables();
    // Index of `link` in gene g's table, -1 when it is not there.
    int linkIndex(int g, int link) const;
    double geneDistance(int g, int link);
    bool neighbourReachable(int g, int from, int to);
    double traceAt(int k) const;
};

}  // namespace MapMatching
