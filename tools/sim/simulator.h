// Simulated GPS drives on a road map: a route (random or given), a speed profile that slows for
// turns and junctions and sometimes stops, fixes sampled at a fixed period with Gaussian noise,
// optional outliers and signal losses, written as an NMEA log with its ground truth.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "map/maps.h"
#include "tools/sim/ground_truth.h"
#include "tools/sim/nmea_sentences.h"

namespace traceSim {

struct SimOptions {
    uint64_t seed = 1;
    double duration = 600.0;  // seconds of driving; a drive also ends where its route ends
    int period = 1;           // whole seconds between fixes (the NMEA reader keeps whole seconds)
    double sigma = 5.0;       // metres: standard deviation of the noise on each axis (east, north)
    // Seconds over which the noise keeps its direction (first-order Gauss-Markov, the deviation stays
    // sigma); 0 draws every fix independently. Receivers' errors drift slowly, so real traces lie
    // between the two.
    double correlationSeconds = 0.0;
    double outlierRate = 0.0;       // fraction of fixes thrown far off
    double outlierDistance = 50.0;  // metres: outliers land between this and twice this from the truth
    double dropoutRate = 0.0;       // chance at each fix that the signal is lost
    double dropoutSeconds = 20.0;   // mean length of a signal loss
    // Multipath in town: the chance at each fix that a burst starts, in which every fix for 5-20 s
    // lies 30-80 m to one side of the road (the same side and distance throughout), plus the noise.
    double burstRate = 0.0;
    double cruiseSpeed = 13.9;       // m/s on open road (50 km/h)
    double stopProbability = 0.1;    // chance of a full stop before a junction
    double longestStop = 15.0;       // seconds: a stop lasts from 2 s to this long
    bool satellites = false;         // also write $GPGSA/$GPGSV
    NmeaDate date;                   // date of the drive
    double startSecond = 36000.0;    // time of day of the first fix (10:00:00)
    std::string namePrefix = "sim";  // traces are named prefix_000, prefix_001, ...

    // Empty when the options make sense; otherwise the reason.
    std::string validate() const;
};

// One fix of a simulated trace: what the receiver reported and where the vehicle really was.
struct SimFix {
    double seconds = 0.0;  // since the first fix
    double trueLat = 0.0, trueLon = 0.0;
    double lat = 0.0, lon = 0.0;  // reported
    double speed = 0.0;           // m/s, reported
    double course = 0.0;          // degrees, reported
    double hdop = 1.0;
    int link = -1;  // true link
    bool outlier = false;
    std::vector<Satellite> satellites;
};

struct SimTrace {
    std::string name;
    std::vector<int> route;  // links driven up to the last fix, in order
    std::vector<SimFix> fixes;
};

// Reproducible random numbers: the standard Mersenne Twister seeded through seed_seq, turned into
// uniform and normal variates here rather than by the library's distributions, whose algorithms
// differ between standard libraries.
class Random {
public:
    Random(uint64_t seed, uint64_t stream);
    double uniform();                    // [0, 1)
    double uniform(double a, double b);  // [a, b)
    size_t index(size_t n);              // [0, n), n > 0
    double normal();                     // mean 0, deviation 1

private:
    std::mt19937_64 engine;
    bool haveSpare = false;
    double spare = 0.0;
};

class Simulator {
public:
    // The map is borrowed and must outlive the simulator.
    Simulator(const mapRepresentation::Map& map, const SimOptions& options);

    // Random drive number `index`: it depends only on the map, the seed and the index (not on the
    // noise, sampling or dropout settings, which draw from streams of their own).
    bool randomTrace(int index, SimTrace& out, std::string& error) const;
    // Drives the given links in order; links that do not meet are joined by the fewest links
    // between them. Fails on an unknown link or one that cannot be reached from the one before.
    bool drive(const std::vector<int>& links, int index, SimTrace& out, std::string& error) const;

    // Driving route of a random drive long enough for the duration (exposed for tests).
    std::vector<int> randomRoute(Random& rng) const;

private:
    const mapRepresentation::Map& map;
    SimOptions options;
    std::vector<int> startLinks;  // links long enough to start a random drive on

    bool simulate(const std::vector<int>& route, int index, SimTrace& out, std::string& error) const;
};

std::string traceName(const SimOptions& options, int index);

// Metres per degree of latitude and of longitude at a latitude (WGS84 radii of curvature), for
// offsets of a few hundred metres at most.
void metresPerDegree(double lat, double& perLat, double& perLon);

// The NMEA log of a trace: one epoch per fix, from options.startSecond on options.date.
std::string nmeaLog(const SimTrace& trace, const SimOptions& options);
GroundTruth groundTruth(const SimTrace& trace);

// Writes nmeaDir/NAME.txt and truthDir/NAME.truth (folders are created).
bool writeTrace(const SimTrace& trace, const SimOptions& options, const std::string& nmeaDir,
                const std::string& truthDir, std::string& error);

}  // namespace traceSim
