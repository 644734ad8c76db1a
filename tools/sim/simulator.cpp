#include "tools/sim/simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <optional>
#include <set>

#include "geometry/ellipsoid.h"
#include "map/atomic_file.h"

using mapRepresentation::AtomicFile;

namespace traceSim {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTick = 0.1;                 // seconds per simulation step
constexpr double kAcceleration = 1.5;         // m/s^2
constexpr double kDeceleration = 2.5;         // m/s^2
constexpr double kLateralAcceleration = 2.5;  // m/s^2 in a turn
constexpr double kTurnRadiusScale = 8.0;      // metres: the radius of a right-angle turn
constexpr double kJunctionFactor = 0.7;       // share of the cruise speed kept through a junction
constexpr double kCreepSpeed = 0.5;           // m/s: the slowest a moving vehicle goes
constexpr size_t kMaxRouteLinks = 200000;
constexpr double kWgs84A = wgs84::kEquatorialRadius;
constexpr double kWgs84E2 = wgs84::kEccentricitySquared;

// Random streams of one trace; each concern draws from its own so that changing one setting
// leaves the others' draws unchanged.
enum Stream : uint64_t {
    kRouteStream = 0,
    kMotionStream = 1,
    kNoiseStream = 2,
    kGapStream = 3,
    kSkyStream = 4,
    kBurstStream = 5
};

uint64_t streamId(int index, Stream s) {
    return static_cast<uint64_t>(index) * 8 + s;
}

struct Leg {
    int link = -1;
    double start = 0.0;  // metres from the start of the route
    double length = 0.0;
    double lat0 = 0.0, lon0 = 0.0, lat1 = 0.0, lon1 = 0.0;
    double heading = 0.0;  // radians
};

// A speed limit at a point of the route; stops hold the vehicle still for `dwell` seconds.
struct Constraint {
    double at = 0.0;
    double speed = 0.0;
    bool stop = false;
    double dwell = 0.0;
    bool end = false;
};

int distinctNeighbours(const mapRepresentation::Map& map, uint32_t node) {
    const auto g = map.graph.find(node);
    if (g == map.graph.end()) return 0;
    std::set<uint32_t> around;
    for (int l : g->second.forwardLinks) {
        const auto it = map.links.find(l);
        if (it != map.links.end()) around.insert(it->second.destination);
    }
    for (int l : g->second.backwardLinks) {
        const auto it = map.links.find(l);
        if (it != map.links.end()) around.insert(it->second.origin);
    }
    return static_cast<int>(around.size());
}

// Speed at which a turn by `angle` radians is taken comfortably.
double turnSpeed(double angle) {
    if (!std::isfinite(angle) || angle < 1e-3) return std::numeric_limits<double>::infinity();
    const double radius = kTurnRadiusScale / std::tan(std::min(angle, kPi - 1e-6) / 2.0);
    return std::max(2.0, std::sqrt(kLateralAcceleration * radius));
}

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

}  // namespace

std::string SimOptions::validate() const {
    auto inRange = [](double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; };
    if (!inRange(duration, 1.0, 604800.0)) return "the duration must lie between 1 s and 7 days";
    if (period < 1 || period > 3600) return "the period must be a whole number of seconds from 1 to 3600";
    if (!inRange(sigma, 0.0, 1000.0)) return "the noise sigma must lie between 0 and 1000 m";
    if (!inRange(correlationSeconds, 0.0, 86400.0))
        return "the noise correlation time must lie between 0 and 1 day";
    if (!inRange(outlierRate, 0.0, 1.0)) return "the outlier rate must lie between 0 and 1";
    if (!inRange(outlierDistance, 0.0, 100000.0)) return "the outlier distance must lie between 0 and 100 km";
    if (!inRange(dropoutRate, 0.0, 1.0)) return "the dropout rate must lie between 0 and 1";
    if (!inRange(dropoutSeconds, 1.0, 86400.0))
        return "the mean dropout length must lie between 1 s and 1 day";
    if (!inRange(cruiseSpeed, 1.0, 70.0)) return "the cruise speed must lie between 1 and 70 m/s";
    if (!inRange(stopProbability, 0.0, 1.0)) return "the stop probability must lie between 0 and 1";
    if (!inRange(longestStop, 2.0, 86400.0)) return "the longest stop must lie between 2 s and 1 day";
    if (!inRange(burstRate, 0.0, 1.0)) return "the burst rate must lie between 0 and 1";
    if (date.year < 2000 || date.year > 2099 || date.month < 1 || date.month > 12 || date.day < 1 ||
        date.day > 28)
        return "the date must lie in 2000-2099 with a day from 1 to 28";
    if (!inRange(startSecond, 0.0, 86399.0)) return "the start time must lie within one day";
    if (namePrefix.empty() || namePrefix.find_first_of("/ \t\n") != std::string::npos)
        return "the name prefix must be one word without slashes";
    return "";
}

void metresPerDegree(double lat, double& perLat, double& perLon) {
    const double phi = lat * kPi / 180.0;
    const double s = std::sin(phi);
    const double w = 1.0 - kWgs84E2 * s * s;
    const double meridian = kWgs84A * (1.0 - kWgs84E2) / (w * std::sqrt(w));
    const double normal = kWgs84A / std::sqrt(w);
    perLat = meridian * kPi / 180.0;
    perLon = std::max(1e-6, normal * std::cos(phi) * kPi / 180.0);
}

Random::Random(uint64_t seed, uint64_t stream) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                      static_cast<uint32_t>(stream), static_cast<uint32_t>(stream >> 32)};
    engine.seed(seq);
}

double Random::uniform() {
    return static_cast<double>(engine() >> 11) * 0x1.0p-53;
}

double Random::uniform(double a, double b) {
    return a + (b - a) * uniform();
}

size_t Random::index(size_t n) {
    return std::min(n - 1, static_cast<size_t>(uniform() * static_cast<double>(n)));
}

double Random::normal() {
    if (haveSpare) {
        haveSpare = false;
        return spare;
    }
    // Box-Muller; 1 - u keeps the logarithm away from zero.
    const double r = std::sqrt(-2.0 * std::log(1.0 - uniform()));
    const double a = 2.0 * kPi * uniform();
    spare = r * std::sin(a);
    haveSpare = true;
    return r * std::cos(a);
}

Simulator::Simulator(const mapRepresentation::Map& map, const SimOptions& options)
    : map(map), options(options) {
    for (const auto& [id, link] : map.links)
        if (std::isfinite(link.length) && link.length >= 1.0) startLinks.push_back(id);
}

std::vector<int> Simulator::randomRoute(Random& rng) const {
    std::vector<int> route;
    if (startLinks.empty()) return route;
    const double target = options.cruiseSpeed * 1.1 * options.duration + 500.0;
    int current = startLinks[rng.index(startLinks.size())];
    route.push_back(current);
    std::set<int> used{current};
    double length = map.links.at(current).length;
    while (length < target && route.size() < kMaxRouteLinks) {
        const mapRepresentation::_mLink& last = map.links.at(current);
        const auto g = map.graph.find(last.destination);
        if (g == map.graph.end()) break;
        std::vector<int> ahead, fresh;
        for (int s : g->second.forwardLinks) {
            const auto it = map.links.find(s);
            if (it == map.links.end() || it->second.destination == last.origin) continue;  // no U-turns
            ahead.push_back(s);
            if (!used.count(s)) fresh.push_back(s);
        }
        if (ahead.empty()) {  // dead end: turn round if the road allows it
            for (int s : g->second.forwardLinks)
                if (map.links.count(s)) ahead.push_back(s);
            fresh.clear();
        }
        if (ahead.empty()) break;
        // Prefer roads not driven yet, so that drives explore rather than circle one block.
        const double u = rng.uniform();
        const std::vector<int>& pool = (!fresh.empty() && u < 0.8) ? fresh : ahead;
        current = pool[rng.index(pool.size())];
        route.push_back(current);
        used.insert(current);
        const double l = map.links.at(current).length;
        if (std::isfinite(l)) length += l;
    }
    return route;
}

bool Simulator::randomTrace(int index, SimTrace& out, std::string& error) const {
    const std::string problem = options.validate();
    if (!problem.empty()) return fail(error, problem);
    if (startLinks.empty()) return fail(error, "the map has no link to drive on");
    Random rng(options.seed, streamId(index, kRouteStream));
    // A start in a corner of the network that leads nowhere gives a stub of a drive; try elsewhere.
    std::vector<int> route;
    for (int attempt = 0; attempt < 20; ++attempt) {
        route = randomRoute(rng);
        double length = 0.0;
        for (int l : route) length += map.links.at(l).length;
        if (length >= std::min(200.0, options.cruiseSpeed * options.duration)) break;
    }
    return simulate(route, index, out, error);
}

bool Simulator::drive(const std::vector<int>& links, int index, SimTrace& out, std::string& error) const {
    const std::string problem = options.validate();
    if (!problem.empty()) return fail(error, problem);
    if (links.empty()) return fail(error, "no link to drive");
    std::vector<int> route;
    for (size_t i = 0; i < links.size(); ++i) {
        if (!map.links.count(links[i]))
            return fail(error, "link " + std::to_string(links[i]) + " is not in the map");
        if (i > 0) {
            const int from = links[i - 1], to = links[i];
            if (map.links.at(from).destination != map.links.at(to).origin) {
                const std::vector<int> between = map.getLinksBetween(from, to);
                if (between.empty())
                    return fail(error, "link " + std::to_string(to) + " cannot be reached from link " +
                                           std::to_string(from));
                route.insert(route.end(), between.begin(), between.end());
            }
        }
        route.push_back(links[i]);
    }
    return simulate(route, index, out, error);
}

namespace {

// The route as legs along one distance axis; false when a link lacks an end node.
bool legsOf(const mapRepresentation::Map& map, const std::vector<int>& route, std::vector<Leg>& legs,
            double& total, std::string& error) {
    for (int id : route) {
        const mapRepresentation::_mLink& link = map.links.at(id);
        const auto o = map.nodes.find(link.origin), d = map.nodes.find(link.destination);
        if (o == map.nodes.end() || d == map.nodes.end())
            return fail(error, "link " + std::to_string(id) + " has a missing node");
        Leg leg;
        leg.link = id;
        leg.start = total;
        leg.length = std::isfinite(link.length) ? link.length : 0.0;
        leg.lat0 = o->second.latitude;
        leg.lon0 = o->second.longitude;
        leg.lat1 = d->second.latitude;
        leg.lon1 = d->second.longitude;
        leg.heading = link.heading;
        legs.push_back(leg);
        total += leg.length;
    }
    return true;
}

// Speed limits where links meet: slow for the turn, slower through junctions, sometimes stop; the
// last one is the end of the route.
std::vector<Constraint> speedLimits(const mapRepresentation::Map& map, const std::vector<Leg>& legs,
                                    double total, double cruise, double stopProbability, double longestStop,
                                    Random& motion) {
    std::vector<Constraint> limits;
    int previous = -1;  // last leg with a direction
    for (size_t k = 0; k < legs.size(); ++k) {
        if (legs[k].length <= 0.0) continue;
        if (previous >= 0) {
            const Leg& before = legs[previous];
            double speed = std::min(cruise, turnSpeed(diffRadHeading(before.heading, legs[k].heading)));
            const bool junction = distinctNeighbours(map, map.links.at(legs[k].link).origin) >= 3;
            if (junction) speed = std::min(speed, kJunctionFactor * cruise);
            const double stopDraw = motion.uniform(), dwell = motion.uniform(2.0, longestStop);
            if (junction && stopDraw < stopProbability) {
                // Stop a little before the junction, still on the link that leads into it.
                Constraint c;
                c.at = legs[k].start - std::min(2.0, before.length / 2.0);
                c.stop = true;
                c.dwell = dwell;
                limits.push_back(c);
            }
            if (speed < cruise) limits.push_back(Constraint{legs[k].start, speed, false, 0.0, false});
        }
        previous = static_cast<int>(k);
    }
    limits.push_back(Constraint{total, 0.0, true, 0.0, true});
    std::stable_sort(limits.begin(), limits.end(),
                     [](const Constraint& a, const Constraint& b) { return a.at < b.at; });
    return limits;
}

// The vehicle: distance along the route, speed, time left standing, the next speed limit ahead.
struct Vehicle {
    double s = 0.0, v = 0.0, dwell = 0.0;
    size_t next = 0;
    bool finished = false;
};

// One step of driving: accelerate towards the cruise speed, brake in time for every limit within
// the braking horizon, and stand still for the dwell of a stop.
void driveStep(Vehicle& car, const std::vector<Constraint>& limits, double cruise, double horizon) {
    if (car.dwell > 0.0) {
        car.dwell -= kTick;
        return;
    }
    while (car.next < limits.size() && limits[car.next].at < car.s - 1e-9) ++car.next;
    double allowed = cruise;
    for (size_t j = car.next; j < limits.size() && limits[j].at - car.s <= horizon; ++j)
        allowed = std::min(allowed, std::sqrt(limits[j].speed * limits[j].speed +
                                              2.0 * kDeceleration * std::max(0.0, limits[j].at - car.s)));
    car.v = car.v < allowed ? std::min(allowed, car.v + kAcceleration * kTick) : allowed;
    car.v = std::max(car.v, kCreepSpeed);
    const double step = car.v * kTick;
    for (size_t j = car.next; j < limits.size() && limits[j].at <= car.s + step; ++j) {
        if (!limits[j].stop) continue;
        car.s = limits[j].at;
        car.v = 0.0;
        car.dwell = limits[j].dwell;
        car.finished = limits[j].end;
        car.next = j + 1;
        return;
    }
    car.s += step;
}

// The GPS receiver of one drive: the satellites it sees, its drifting position error and its
// signal losses.
class Receiver {
public:
    Receiver(const SimOptions& options, int index)
        : options(options),
          noise(options.seed, streamId(index, kNoiseStream)),
          gaps(options.seed, streamId(index, kGapStream)),
          sky(options.seed, streamId(index, kSkyStream)),
          bursts(options.seed, streamId(index, kBurstStream)),
          baseHdop(std::clamp(options.sigma / 4.0, 0.6, 25.0)),
          // Noise of consecutive fixes: e = rho * previous e + sqrt(1 - rho^2) * sigma * n keeps the
          // deviation at sigma.
          rho(options.correlationSeconds > 0 ? std::exp(-options.period / options.correlationSeconds) : 0.0),
          fresh(std::sqrt(1.0 - rho * rho)) {
        if (options.satellites) chooseSatellites();
    }

    // The fix logged at `tick` with the vehicle on `leg`, or nothing while the signal is lost.
    std::optional<SimFix> observe(long tick, double t, const Leg& leg, const Vehicle& car);

private:
    struct SkySatellite {
        Satellite s;
        double baseSnr;
    };

    const SimOptions& options;
    Random noise, gaps, sky, bursts;
    double baseHdop, rho, fresh;
    double east = 0.0, north = 0.0, gapUntil = -1.0;
    double burstUntil = -1.0, burstEast = 0.0, burstNorth = 0.0;  // the burst under way and its offset
    std::vector<SkySatellite> constellation;

    // Satellites in view for the whole drive (a short drive sees the sky barely change).
    void chooseSatellites();
};

void Receiver::chooseSatellites() {
    std::vector<int> prns;
    for (int p = 1; p <= 32; ++p) prns.push_back(p);
    const size_t count = 8 + sky.index(5);
    for (size_t i = 0; i < count; ++i) {
        const size_t pick = i + sky.index(prns.size() - i);
        std::swap(prns[i], prns[pick]);
        SkySatellite v;
        v.s.prn = prns[i];
        v.s.elevation = static_cast<int>(sky.uniform(5.0, 86.0));
        v.s.azimuth = static_cast<int>(sky.uniform(0.0, 360.0));
        v.baseSnr = 22.0 + 22.0 * v.s.elevation / 90.0 + 3.0 * sky.normal();
        constellation.push_back(v);
    }
    std::sort(constellation.begin(), constellation.end(),
              [](const SkySatellite& a, const SkySatellite& b) { return a.s.elevation > b.s.elevation; });
}

std::optional<SimFix> Receiver::observe(long tick, double t, const Leg& L, const Vehicle& car) {
    const double f = L.length > 0.0 ? std::clamp((car.s - L.start) / L.length, 0.0, 1.0) : 0.0;
    // Every draw is made for every fix, so fixes lost to a gap do not shift the others' noise.
    const double n1 = noise.normal(), n2 = noise.normal();
    east = tick == 0 ? options.sigma * n1 : rho * east + fresh * options.sigma * n1;
    north = tick == 0 ? options.sigma * n2 : rho * north + fresh * options.sigma * n2;
    const bool outlier = noise.uniform() < options.outlierRate;
    const double outAngle = noise.uniform(0.0, 2.0 * kPi);
    const double outDistance = options.outlierDistance * (1.0 + noise.uniform());
    const double speedError = noise.normal(), courseError = noise.normal(), hdopError = noise.normal();
    const double gapDraw = gaps.uniform(),
                 gapLength = -options.dropoutSeconds * std::log(1.0 - gaps.uniform());

    // Bursts draw from a stream of their own, so that drives without them stay as they were.
    const double burstDraw = bursts.uniform(), burstLength = bursts.uniform(5.0, 20.0),
                 burstDistance = bursts.uniform(30.0, 80.0), burstSide = bursts.uniform() < 0.5 ? -1.0 : 1.0;
    if (t >= burstUntil && burstDraw < options.burstRate) {
        const double across = (std::isfinite(L.heading) ? L.heading : 0.0) + burstSide * kPi / 2.0;
        burstUntil = t + burstLength;
        burstEast = burstDistance * std::sin(across);
        burstNorth = burstDistance * std::cos(across);
    }
    const bool inBurst = t < burstUntil;

    if (t < gapUntil) return std::nullopt;
    if (tick > 0 && gapDraw < options.dropoutRate) {
        gapUntil = t + std::max(static_cast<double>(options.period), gapLength);
        return std::nullopt;
    }
    SimFix fix;
    fix.seconds = t;
    fix.link = L.link;
    fix.trueLat = L.lat0 + f * (L.lat1 - L.lat0);
    fix.trueLon = L.lon0 + f * (L.lon1 - L.lon0);
    double dx = east, dy = north;
    if (outlier) {
        dx += outDistance * std::sin(outAngle);
        dy += outDistance * std::cos(outAngle);
    }
    if (inBurst) {
        dx += burstEast;
        dy += burstNorth;
    }
    double perLat = 0.0, perLon = 0.0;
    metresPerDegree(fix.trueLat, perLat, perLon);
    fix.lat = fix.trueLat + dy / perLat;
    fix.lon = fix.trueLon + dx / perLon;
    fix.outlier = outlier || inBurst;
    fix.speed = std::max(0.0, car.v + 0.2 * speedError);
    const double heading = std::isfinite(L.heading) ? L.heading * 180.0 / kPi : 0.0;
    fix.course = heading + (car.v > 1.0 ? 2.0 : 30.0) * courseError;
    fix.hdop = std::max(0.5, baseHdop * (1.0 + 0.05 * hdopError));
    for (const SkySatellite& sat : constellation) {
        Satellite now = sat.s;
        now.snr = static_cast<int>(std::lround(std::clamp(sat.baseSnr + 1.5 * sky.normal(), 12.0, 52.0)));
        fix.satellites.push_back(now);
    }
    return fix;
}

}  // namespace

bool Simulator::simulate(const std::vector<int>& route, int index, SimTrace& out, std::string& error) const {
    out = SimTrace{};
    out.name = traceName(options, index);
    if (route.empty()) return fail(error, "empty route");
    std::vector<Leg> legs;
    double total = 0.0;
    if (!legsOf(map, route, legs, total, error)) return false;

    Random motion(options.seed, streamId(index, kMotionStream));
    const double cruise = options.cruiseSpeed * motion.uniform(0.9, 1.1);
    const std::vector<Constraint> limits =
        speedLimits(map, legs, total, cruise, options.stopProbability, options.longestStop, motion);
    Receiver receiver(options, index);

    const double horizon = cruise * cruise / (2.0 * kDeceleration) + 5.0;
    const long ticksPerFix = static_cast<long>(options.period) * 10;
    Vehicle car;
    size_t leg = 0, lastWrittenLeg = 0;
    for (long tick = 0;; ++tick) {
        const double t = static_cast<double>(tick) * kTick;
        if (t > options.duration + 1e-9) break;
        if (tick % ticksPerFix == 0) {
            while (leg + 1 < legs.size() && car.s >= legs[leg].start + legs[leg].length) ++leg;
            if (std::optional<SimFix> fix = receiver.observe(tick, t, legs[leg], car)) {
                out.fixes.push_back(std::move(*fix));
                lastWrittenLeg = leg;
            }
        }
        // At the end of the route the vehicle stays parked until the receiver logs it there.
        if (car.finished) {
            if (tick % ticksPerFix == 0) break;
            continue;
        }
        driveStep(car, limits, cruise, horizon);
    }

    // The route ends on the link of the last fix.
    for (size_t k = 0; k <= lastWrittenLeg && k < legs.size(); ++k) out.route.push_back(legs[k].link);
    return true;
}

std::string traceName(const SimOptions& options, int index) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03d", index);
    return options.namePrefix + "_" + buf;
}

std::string nmeaLog(const SimTrace& trace, const SimOptions& options) {
    std::string out;
    for (const SimFix& f : trace.fixes) {
        Epoch e;
        e.seconds = options.startSecond + f.seconds;
        e.lat = f.lat;
        e.lon = f.lon;
        e.speed = f.speed;
        e.course = f.course;
        e.hdop = f.hdop;
        e.satellites = f.satellites;
        out += nmeaEpoch(options.date, e);
    }
    return out;
}

GroundTruth groundTruth(const SimTrace& trace) {
    GroundTruth t;
    t.name = trace.name;
    t.points = static_cast<int>(trace.fixes.size());
    t.route = trace.route;
    for (const SimFix& f : trace.fixes) t.fixes.push_back(FixTruth{f.link, f.trueLat, f.trueLon, f.outlier});
    return t;
}

bool writeTrace(const SimTrace& trace, const SimOptions& options, const std::string& nmeaDir,
                const std::string& truthDir, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(nmeaDir, ec);
    if (ec) return fail(error, "cannot create " + nmeaDir);
    fs::create_directories(truthDir, ec);
    if (ec) return fail(error, "cannot create " + truthDir);
    const std::string nmeaPath = (fs::path(nmeaDir) / (trace.name + ".txt")).string();
    // A log replaces the previous one only when complete: a full disk or a file-size limit must not
    // leave half a drive that karvel would match as if it were whole.
    AtomicFile nmea(nmeaPath);
    nmea.stream() << nmeaLog(trace, options);
    if (!nmea.commit()) return fail(error, "cannot write " + nmeaPath);
    return saveGroundTruth((fs::path(truthDir) / (trace.name + ".truth")).string(), groundTruth(trace),
                           error);
}

}  // namespace traceSim
