#pragma once

// Reference true peak for tests: the largest magnitude of a signal and of
// the points k/4 between its samples, from a Blackman-windowed sinc 1000
// samples each side, the signal's ends held (as the peak meter holds them),
// also between the held values within 12 samples of either end (where a sudden
// start or end rings).

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace TestSupport {

inline double ReferenceTruePeak(const std::vector<double>& x) {
    constexpr double pi = std::numbers::pi;
    const long n = static_cast<long>(x.size()), half = 1000;
    auto at = [&](long i) { return x[std::clamp(i, 0L, n - 1)]; };
    double peak = 0;
    for (long i = -12; i < n + 12; ++i) {
        peak = std::max(peak, std::fabs(at(i)));
        for (int p = 1; p < 4; ++p) {
            double y = 0, sum = 0;
            for (long k = -half + 1; k <= half; ++k) {
                const double d = k - p / 4.0;  // from the point to sample i + k
                const double w =
                    0.42 + 0.5 * std::cos(pi * d / half) + 0.08 * std::cos(2 * pi * d / half);
                const double h = std::sin(pi * d) / (pi * d) * w;
                y += h * at(i + k);
                sum += h;
            }
            peak = std::max(peak, std::fabs(y / sum));
        }
    }
    return peak;
}

}  // namespace TestSupport
