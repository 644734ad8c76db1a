#include "matching/hmm_track_smoother.h"

#include <algorithm>

namespace MapMatching {

namespace {

// m/s: how little is known of the speed before the first fix.
constexpr double kInitialSpeedSpread = 30.0;
// A position this many standard deviations off the prediction starts the smoothing afresh.
constexpr double kGate = 5.0;

double stepSeconds(std::span<const double> seconds, size_t i) {
    return std::max(0.0, seconds[i] - seconds[i - 1]);
}

}  // namespace

// Forward pass: the prediction before and the estimate after each fix.
void TrackSmoother::filter(std::span<const double> seconds, std::span<const double> positions, double r,
                           double q) {
    const size_t n = positions.size();
    filtered.resize(n);
    predicted.resize(n);
    const State start{0.0, 0.0, r, 0.0, kInitialSpeedSpread * kInitialSpeedSpread, true};
    State x = start;
    x.s = positions[0];
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            const State& p = filtered[i - 1];
            const double dt = stepSeconds(seconds, i);
            x.s = p.s + dt * p.v;
            x.v = p.v;
            x.ss = p.ss + 2.0 * dt * p.sv + dt * dt * p.vv + q * dt * dt * dt / 3.0;
            x.sv = p.sv + dt * p.vv + q * dt * dt / 2.0;
            x.vv = p.vv + q * dt;
            x.fresh = false;
        }
        if (const double miss = positions[i] - x.s; miss * miss > kGate * kGate * (x.ss + r)) {
            x = start;
            x.s = positions[i];
        }
        predicted[i] = x;
        const double gs = x.ss / (x.ss + r), gv = x.sv / (x.ss + r);
        const double innovation = positions[i] - x.s;
        filtered[i] = State{x.s + gs * innovation, x.v + gv * innovation, x.ss - gs * x.ss,
                            x.sv - gs * x.sv,      x.vv - gv * x.sv,      x.fresh};
    }
}

void TrackSmoother::smooth(std::span<const double> seconds, std::span<double> positions, double noise,
                           double accel) {
    if (positions.empty() || !(noise > 0.0) || !(accel > 0.0)) return;
    filter(seconds, positions, noise * noise, accel * accel);
    // Backward pass: gain C = P F' (predicted P)^-1; the smoothed state is the filtered one plus C
    // times the correction the later fixes made to the prediction.
    State later = filtered.back();
    positions.back() = later.s;
    for (size_t i = positions.size() - 1; i-- > 0;) {
        const State& f = filtered[i];
        const State& p = predicted[i + 1];
        const double dt = stepSeconds(seconds, i + 1);
        const double det = p.ss * p.vv - p.sv * p.sv;
        if (det > 0.0 && !p.fresh) {
            const double ds = later.s - p.s, dv = later.v - p.v;
            const double is = (p.vv * ds - p.sv * dv) / det, iv = (p.ss * dv - p.sv * ds) / det;
            later =
                State{f.s + (f.ss + dt * f.sv) * is + f.sv * iv, f.v + (f.sv + dt * f.vv) * is + f.vv * iv};
        } else {
            later = f;  // a fresh start, or no uncertainty left to share out
        }
        positions[i] = later.s;
    }
}

}  // namespace MapMatching
