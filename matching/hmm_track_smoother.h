// Positions along a known drive, smoothed over time: a vehicle moves on smoothly, its fixes scatter
// round it. A fixed-interval (Rauch-Tung-Striebel) smoother of position and speed whose speed drifts
// by a given acceleration; linear in the number of fixes, no allocation once its storage has grown.
#pragma once

#include <span>
#include <vector>

namespace MapMatching {

class TrackSmoother {
public:
    // Replaces positions[i] (metres along the drive, observed at seconds[i], with Gaussian noise of
    // `noise` metres) by the smoothed estimate. Times running backwards count as no time passing. A
    // position no such vehicle could reach (a detour the drive takes between two fixes) starts afresh
    // rather than being smeared over the fixes round it.
    void smooth(std::span<const double> seconds, std::span<double> positions, double noise, double accel);

private:
    struct State {  // position s and speed v with their covariance
        double s = 0.0, v = 0.0, ss = 0.0, sv = 0.0, vv = 0.0;
        bool fresh = false;  // started afresh here: nothing after it reaches back before it
    };
    std::vector<State> filtered;
    std::vector<State> predicted;

    void filter(std::span<const double> seconds, std::span<const double> positions, double r, double q);
};

}  // namespace MapMatching
