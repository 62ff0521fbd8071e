// Statistics of the TPDF dither: its distribution, its independence between
// neighbouring samples and channels, and the quantisation error it leaves
// (mean 0 and variance 1/12 + 1/6 = 1/4 LSB^2 whatever the signal, and no
// correlation with it). Tolerances are about five standard errors.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "audio/format/ScaleDither.h"
#include "audio/format/Translator.h"
#include "translator_helpers.h"

using namespace Audio;
using fmt_test::floatFormat;
using fmt_test::intFormat;

namespace {

constexpr std::size_t kCount = std::size_t{1} << 18;

// Dither values alone: the step over zeros, without gain.
std::vector<double> ditherSamples(std::uint64_t seed) {
    std::vector<double> d(kCount, 0.0);
    ScaleDither<1, 0> s(0, seed);
    s.process({d.data(), d.size()});
    return d;
}

double mean(const std::vector<double>& x) {
    double sum = 0;
    for (double v : x) sum += v;
    return sum / static_cast<double>(x.size());
}

// Correlation coefficient of f(x[i]) and f(x[i + lag]).
template <class F>
double autocorrelation(const std::vector<double>& x, std::size_t lag, F f) {
    double sa = 0, sb = 0, sab = 0, saa = 0, sbb = 0;
    const std::size_t n = x.size() - lag;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = f(x[i]), b = f(x[i + lag]);
        sa += a, sb += b, sab += a * b, saa += a * a, sbb += b * b;
    }
    const double cov = sab / n - sa / n * sb / n;
    return cov / std::sqrt((saa / n - sa / n * sa / n) * (sbb / n - sb / n * sb / n));
}

// Quantisation error (output integer minus input) of `x`, in LSB, through the whole
// translator: doubles in 16-bit units to int16 with a fixed seed.
std::vector<double> quantisationError(const std::vector<double>& x) {
    FormatTranslator t(1, floatFormat(8, 1, 16), intFormat(2), {nullptr, 42, std::nullopt});
    std::vector<std::uint8_t> out(x.size() * 2);
    std::vector<std::uint8_t> in = fmt_test::doublesToBytes(x);
    t.Translate({in.data(), in.data() + in.size(), ::Stream::Samples}, out.data());
    std::vector<double> e(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::int16_t q;
        std::memcpy(&q, out.data() + 2 * i, 2);
        e[i] = q - x[i];
    }
    return e;
}

}  // namespace

// Histogram in 16 bins on (-1, 1) against the triangle's CDF, and the moments
// (variance 1/6, fourth moment 1/15; uniform dither would give 1/3 and 1/5).
TEST(DitherStatistics, TriangularOnPlusMinusOne) {
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}, SeedFromNumber(7)}) {
        const std::vector<double> d = ditherSamples(seed);
        constexpr int kBins = 16;
        std::vector<double> count(kBins, 0.0);
        double m2 = 0, m4 = 0;
        for (double v : d) {
            ASSERT_GT(v, -1.0);
            ASSERT_LT(v, 1.0);
            count[static_cast<int>((v + 1.0) * kBins / 2)] += 1;
            m2 += v * v, m4 += v * v * v * v;
        }
        auto cdf = [](double t) { return t < 0 ? (1 + t) * (1 + t) / 2 : 1 - (1 - t) * (1 - t) / 2; };
        double chi2 = 0;
        for (int b = 0; b < kBins; ++b) {
            const double p = cdf(-1.0 + 2.0 * (b + 1) / kBins) - cdf(-1.0 + 2.0 * b / kBins);
            const double expected = p * kCount;
            chi2 += (count[b] - expected) * (count[b] - expected) / expected;
        }
        EXPECT_LT(chi2, 50.0) << seed;  // 15 degrees of freedom: 50 is far in the tail
        EXPECT_NEAR(mean(d), 0.0, 0.004) << seed;
        EXPECT_NEAR(m2 / kCount, 1.0 / 6, 0.002) << seed;
        EXPECT_NEAR(m4 / kCount, 1.0 / 15, 0.002) << seed;
    }
}

// Lags 1..8 cover neighbouring samples of one channel and the channel stride of
// every layout up to 7.1; squares catch dependence the signs alone would hide.
TEST(DitherStatistics, NeighboursAndChannelsAreUncorrelated) {
    const std::vector<double> d = ditherSamples(SeedFromNumber(3));
    for (std::size_t lag : {1, 2, 3, 4, 5, 6, 7, 8, 16, 2048}) {
        EXPECT_NEAR(autocorrelation(d, lag, [](double v) { return v; }), 0.0, 0.01) << lag;
        EXPECT_NEAR(autocorrelation(d, lag, [](double v) { return v * v; }), 0.0, 0.01) << lag;
    }
}

// TPDF makes the first two moments of the error independent of the signal: every
// fraction of an LSB gives mean 0 and variance 1/4 (undithered or uniform dither would not).
TEST(DitherStatistics, ErrorMomentsDoNotDependOnTheLevel) {
    for (double level : {0.0, 0.125, 0.25, 0.5, 0.75, -0.9, 100.375}) {
        const std::vector<double> e = quantisationError(std::vector<double>(1 << 16, level));
        double m2 = 0;
        for (double v : e) m2 += v * v;
        EXPECT_NEAR(mean(e), 0.0, 0.01) << level;
        EXPECT_NEAR(m2 / e.size(), 0.25, 0.01) << level;
    }
}

// A sine below one LSB: the error correlates neither with it nor with its third
// harmonic (undithered rounding of this sine is all distortion).
TEST(DitherStatistics, ErrorIsUncorrelatedWithALowLevelSine) {
    const double w = 2 * std::numbers::pi * 997.0 / 48000.0;
    std::vector<double> x(kCount);
    for (std::size_t i = 0; i < kCount; ++i) x[i] = 0.7 * std::sin(w * i);
    const std::vector<double> e = quantisationError(x);
    for (int harmonic : {1, 3}) {
        double se = 0, ss = 0;
        for (std::size_t i = 0; i < kCount; ++i) {
            const double s = std::sin(harmonic * w * i);
            se += e[i] * s, ss += s * s;
        }
        // Correlation coefficient with the error's standard deviation of 1/2.
        EXPECT_NEAR(se / std::sqrt(ss * kCount * 0.25), 0.0, 0.015) << harmonic;
    }
}
