// The genetic stage's random numbers: exactly the sequence that the C library's rand() gives after
// srand(seed) on the target platform (glibc's additive feedback generator, x[i] = x[i-3] + x[i-31],
// seeded by the minimal standard generator and warmed up by 310 draws), without the lock and the
// library call that rand() costs on every draw.
#pragma once

#include <array>
#include <cstdint>

namespace MapMatching {

class CRandom {
public:
    static constexpr int kMax = 2147483647;  // RAND_MAX

    explicit CRandom(unsigned seed = 1) { reseed(seed); }

    void reseed(unsigned seed) {
        if (seed == 0) seed = 1;
        state[0] = static_cast<int32_t>(seed);
        // Schrage's method on a signed 32-bit word, as the library does (seeds of 2^31 and more
        // start negative).
        int32_t word = static_cast<int32_t>(seed);
        for (int i = 1; i < kDegree; ++i) {
            const int64_t hi = word / 127773;
            const int64_t lo = word % 127773;
            word = static_cast<int32_t>(16807 * lo - 2836 * hi);
            if (word < 0) word += 2147483647;
            state[static_cast<std::size_t>(i)] = word;
        }
        front = kSeparation;
        rear = 0;
        for (int i = 0; i < 10 * kDegree; ++i) next();
    }

    // The next value in [0, kMax].
    int next() {
        const uint32_t value = static_cast<uint32_t>(state[front]) + static_cast<uint32_t>(state[rear]);
        state[front] = static_cast<int32_t>(value);
        front = front + 1 == kDegree ? 0 : front + 1;
        rear = rear + 1 == kDegree ? 0 : rear + 1;
        return static_cast<int>(value >> 1);
    }

    // The smallest value v with v / 2147483647.0 >= p (kMax + 1 when there is none), so that a
    // uniform draw r = v / 2147483647.0 satisfies r < p exactly when v < threshold(p).
    static int64_t threshold(double p) {
        if (!(p > 0.0)) return 0;  // also NaN: r < NaN never holds
        int64_t lo = 0, hi = int64_t{kMax} + 1;
        while (lo < hi) {
            const int64_t mid = lo + (hi - lo) / 2;
            if (static_cast<double>(mid) / 2147483647.0 >= p)
                hi = mid;
            else
                lo = mid + 1;
        }
        return lo;
    }

private:
    static constexpr int kDegree = 31;
    static constexpr int kSeparation = 3;
    std::array<int32_t, kDegree> state{};
    int front = kSeparation;
    int rear = 0;
};

// The one generator of the genetic stage (the matchers are single-threaded, as rand() is global).
inline CRandom& geneticRandom() {
    static CRandom generator;
    return generator;
}

}  // namespace MapMatching
