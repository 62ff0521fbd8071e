#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "base/Wobbly.h"
#include "dsp/Window.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace {

using namespace DSP;

constexpr double kPi = 3.141592653589793;

// I0 by its power series, in long double (independent of Boost).
double seriesI0(double x) {
    long double term = 1, sum = 1, q = static_cast<long double>(x) * x / 4;
    for (int k = 1; k < 500 && term > sum * 1e-21L; ++k) {
        term *= q / (static_cast<long double>(k) * k);
        sum += term;
    }
    return static_cast<double>(sum);
}

double betaOf(const Window& w) {
    return static_cast<const Windows::Kaiser*>(w.shape())->beta;
}

FIR::BandSpec noKernel() {
    return FIR::BandSpec::lowpass(0.0);
}  // k(x) = 1

std::vector<double> sampled(const Window& w, double start, unsigned count,
                            const FIR::BandSpec& kernel = noKernel()) {
    std::vector<double> out(count);
    w.sample(out.data(), out.data() + count, kernel, start, count);
    return out;
}

TEST(KaiserWindow, BetaFollowsTheThreeAttenuationRanges) {
    const auto w21 = kaiserWindows->create(21);
    EXPECT_EQ(betaOf(*w21), 0.0);
    EXPECT_EQ(w21->shape()->attenuation, 21.0);
    EXPECT_DOUBLE_EQ(w21->shape()->integral, 2.0);
    EXPECT_DOUBLE_EQ(w21->shape()->peak, 1.0);
    EXPECT_EQ(betaOf(*kaiserWindows->create(0)), 0.0);

    EXPECT_NEAR(betaOf(*kaiserWindows->create(50)), 4.5335, 1e-4);
    EXPECT_NEAR(betaOf(*kaiserWindows->create(51)), 0.1102 * 42.3, 1e-12);
    EXPECT_NEAR(betaOf(*kaiserWindows->create(164)), 17.11406, 1e-9);

    // The attenuation of the block inverts the rule.
    EXPECT_NEAR(kaiserWindows->create(51)->attenuation, 51.0, 1e-9);
    EXPECT_NEAR(kaiserWindows->create(170)->attenuation, 170.0, 1e-9);
    for (unsigned a : {30u, 40u, 50u}) EXPECT_NEAR(kaiserWindows->create(a)->attenuation, a, 0.5);

    const auto w = kaiserWindows->create(100);
    EXPECT_EQ(w->stretch, 1.0);
    EXPECT_EQ(w->scale, 1.0);
    EXPECT_EQ(w->lengthSamples, 2.0);
    EXPECT_TRUE(w->adjustable);
    EXPECT_NEAR(w->shape()->peak, seriesI0(betaOf(*w)), 1e-12 * w->shape()->peak);
    EXPECT_TRUE(std::isnan(w->shape()->energy));
    EXPECT_NEAR(w->ripple, 20 * std::log(1 + std::pow(10.0, -w->attenuation / 20)), 1e-18);
}

TEST(KaiserWindow, SampledValuesFollowTheBesselShapeAndVanishOutside) {
    const auto w = kaiserWindows->create(120)->scaled(10.0, 0.5);  // 20 samples long
    const double beta = betaOf(*w);
    const auto v = sampled(*w, -12.0, 25);
    for (unsigned i = 0; i < 25; ++i) {
        const double x = -12.0 + i;
        const double want =
            std::fabs(x) > 10.0 ? 0.0 : 0.5 * seriesI0(beta * std::sqrt(1 - (x / 10) * (x / 10)));
        EXPECT_NEAR(v[i], want, 1e-13 * w->peak) << x;
    }
    EXPECT_EQ(v[0], 0.0);
    EXPECT_EQ(v[1], 0.0);
    EXPECT_EQ(v[2], 0.5);  // the edge, x = -10: I0(0) * scale
}

TEST(KaiserWindow, WidthAndAdjustKeepTheFirstNull) {
    const auto w1 = kaiserWindows->create(150);
    const auto w2 = w1->forWidth({0.01, FirstNull});
    EXPECT_NEAR(w2->responsePoint(FirstNull), 0.005, 1e-15);
    EXPECT_EQ(w2->responsePoint(Minus3dB), w2->responsePoint(FirstNull));
    EXPECT_EQ(w2->scale, 1.0);
    EXPECT_NEAR(w2->nullSpacing * w2->responsePoint(FirstNull), 1.0, 1e-15);

    const double n = std::ceil(w2->lengthSamples) + 3;
    const auto w3 = w2->adjust(FirstNull, n);
    EXPECT_GT(betaOf(*w3), betaOf(*w2));
    EXPECT_DOUBLE_EQ(w3->lengthSamples, n);
    EXPECT_NEAR(w3->responsePoint(FirstNull), 0.005, 1e-15);
    EXPECT_GT(w3->attenuation, w2->attenuation);

    // Shorter, down to beta 0, still keeps it; shorter than that cannot.
    const double shortest = w2->lengthSamples / std::sqrt(1 + std::pow(betaOf(*w2) / kPi, 2));
    EXPECT_NEAR(betaOf(*w2->adjust(FirstNull, shortest * 1.000001)), 0.0, 0.02);
    EXPECT_THROW(w2->adjust(FirstNull, w2->lengthSamples * 0.1), std::invalid_argument);
    EXPECT_THROW(w2->adjust(FirstNull, 0.0), std::invalid_argument);
    EXPECT_THROW(w2->forWidth({0.0, FirstNull}), std::invalid_argument);
    EXPECT_THROW(w2->forWidth({-0.1, FirstNull}), std::invalid_argument);
    EXPECT_THROW(w2->forWidth({NAN, FirstNull}), std::invalid_argument);
    EXPECT_THROW(w2->responsePoint(static_cast<ResponsePoint>(7)), std::invalid_argument);
}

TEST(KaiserWindow, TransformMatchesNumericIntegral) {
    // F(beta, u) = integral over [-1, 1] of I0(beta sqrt(1 - t^2)) cos(u t) dt.
    auto integral = [](double beta, double u) {
        const int n = 20000;  // Simpson
        long double sum = 0;
        for (int i = 0; i <= n; ++i) {
            const double t = -1.0 + 2.0 * i / n;
            const double f = seriesI0(beta * std::sqrt(std::max(0.0, 1 - t * t))) * std::cos(u * t);
            sum += f * (i == 0 || i == n ? 1 : (i % 2 ? 4 : 2));
        }
        return static_cast<double>(sum * (2.0L / n) / 3);
    };
    for (double beta : {0.0, 0.01, 3.0, 12.0}) {
        for (double u : {0.0, 0.02, 1.0, beta, beta + 0.01, beta + 5.0, 30.0}) {
            const double want = integral(beta, u);
            EXPECT_NEAR(Windows::KaiserTransform(beta, u), want, 1e-9 * std::max(1.0, want))
                << beta << " " << u;
        }
    }
    const auto w = kaiserWindows->create(90)->scaled(8.0, 3.0);
    const Math::complex s = w->spectrum(0.25);
    EXPECT_DOUBLE_EQ(s.real, 3.0 * Windows::KaiserTransform(betaOf(*w), 8.0 * 0.25));
    EXPECT_EQ(s.imag, 0.0);
}

TEST(KaiserWindow, BesselOverflowPropagates) {
    try {
        Windows::kaiserBlock(800.0);
        FAIL() << "no exception";
    } catch (const std::overflow_error& e) {
        EXPECT_NE(std::string(e.what()).find("cyl_bessel_i"), std::string::npos) << e.what();
    }
    // A tiny window adjusted to a long length needs a huge beta.
    const auto w = kaiserWindows->create(100)->forWidth({1e4, FirstNull});
    EXPECT_THROW(w->adjust(FirstNull, 2.0), std::overflow_error);
}

TEST(Window, IntegerLengthRounding) {
    const auto base = kaiserWindows->create(100);
    const auto w992 = base->scaled(49.6, 1.0);  // 99.2 samples
    const auto w100 = base->scaled(50.0, 1.0);
    EXPECT_EQ(w992->integerLength(Even), 100u);
    EXPECT_EQ(w100->integerLength(Even), 100u);
    EXPECT_EQ(w100->integerLength(Odd), 101u);
    EXPECT_EQ(w992->integerLength(Odd), 101u);
    EXPECT_EQ(w100->integerLength(PowerOfTwo), 128u);
    EXPECT_EQ(w100->integerLength(PowerOfTwo | Odd), 129u);
    EXPECT_EQ(base->scaled(64.0, 1.0)->integerLength(PowerOfTwo), 128u);
    EXPECT_EQ(w992->integerLength(0), 100u);
    EXPECT_EQ(base->scaled(50.5, 1.0)->integerLength(Even), 102u);
    EXPECT_THROW(base->scaled(1e12, 1.0)->integerLength(Even), std::invalid_argument);
    EXPECT_THROW(base->scaled(-3.0, 1.0)->integerLength(Even), std::invalid_argument);
}

TEST(Window, SampleAppliesTheKernelAndZeroFills) {
    const auto w = kaiserWindows->create(100)->scaled(20.0, 2.0);
    const auto kernel = FIR::BandSpec::make(0.05, 0.2);
    std::vector<double> buf(50, 7.0);
    w->sample(buf.data(), buf.data() + 50, kernel, -20.5, 41);
    const auto plain = sampled(*w, -20.5, 41);
    for (unsigned i = 0; i < 41; ++i) {
        const double x = -20.5 + i;
        const double k =
            std::sin(kernel.sincOmega * x) / (kernel.sincOmega * x) * std::cos(2 * kPi * 0.05 * x);
        EXPECT_NEAR(buf[i], plain[i] * k, 1e-14 * w->peak) << x;
    }
    for (unsigned i = 41; i < 50; ++i) EXPECT_EQ(buf[i], 0.0);

    // Centre sample of a low-pass: sinc(0) = 1.
    std::vector<double> one(1);
    w->sample(one.data(), one.data() + 1, FIR::BandSpec::lowpass(0.3), 0.0, 1);
    EXPECT_DOUBLE_EQ(one[0], w->peak);

    std::vector<double> zeros(5, 1.0);
    w->sample(zeros.data(), zeros.data() + 5, kernel, 0.0, 0);
    for (double z : zeros) EXPECT_EQ(z, 0.0);

    EXPECT_THROW(w->sample(buf.data(), buf.data() + 10, kernel, 0.0, 11), std::length_error);
}

TEST(Window, SumsAndEnergyMatchTheSamples) {
    const auto w = kaiserWindows->create(80)->scaled(7.3, 1.5);
    const auto v = sampled(*w, -9.25, 20);
    double sum = 0, energy = 0;
    for (double x : v) sum += x, energy += x * x;
    EXPECT_NEAR(w->sampleSum({20, -9.25}), sum, 1e-13 * sum);
    EXPECT_NEAR(w->sampleEnergy({20, -9.25}), energy, 1e-13 * energy);
    EXPECT_EQ(w->sampleSum({0, 0.0}), 0.0);
}

TEST(Window, SamplingRestoresTheCallersFloatingPointMode) {
#if defined(__x86_64__) || defined(__i386__)
    const unsigned before = _mm_getcsr();
    _mm_setcsr((before & ~0x8040u) | 0x2000u);  // round down, denormals kept
    const unsigned mine = _mm_getcsr();
    const auto w = kaiserWindows->create(100)->scaled(10.0, 1.0);
    sampled(*w, -10.0, 21);
    w->sampleSum({21, -10.0});
    const unsigned after = _mm_getcsr();
    _mm_setcsr(before);
    // Control bits only: the sticky exception flags (bits 0-5) record any
    // inexact result computed after the mode was restored.
    EXPECT_EQ(after & ~0x3Fu, mine & ~0x3Fu);
#else
    GTEST_SKIP() << "x86 only";
#endif
}

TEST(Window, GainAndPeakScale) {
    const auto w = kaiserWindows->create(100)->scaled(12.0, 1.0);
    const auto p = w->withPeak(0.25);
    EXPECT_DOUBLE_EQ(p->peak, 0.25);
    EXPECT_EQ(p->stretch, 12.0);
    const auto g = p->withGain(-2.0);
    EXPECT_DOUBLE_EQ(g->peak, -0.5);
    EXPECT_DOUBLE_EQ(g->scale, -2.0 * p->scale);
    EXPECT_DOUBLE_EQ(sampled(*g, 0.0, 1)[0], -0.5);
}

TEST(PowerOfCosineWindow, ShapeFactoryAndWidths) {
    const auto low = powerOfCosineWindows->create(10);
    const auto floor = powerOfCosineWindows->create(28);
    const auto& lowBlock = *static_cast<const Windows::PowerOfCosine*>(low->shape());
    EXPECT_EQ(lowBlock.halfPower,
              static_cast<const Windows::PowerOfCosine*>(floor->shape())->halfPower);
    const auto w = powerOfCosineWindows->create(90);
    const double hp = static_cast<const Windows::PowerOfCosine*>(w->shape())->halfPower;
    EXPECT_GT(hp, 0.0);
    EXPECT_NEAR(w->lengthSamples, 2 * kPi, 1e-15);
    EXPECT_NEAR(w->peak, std::pow(2.0, hp), 1e-12 * w->peak);

    const auto s = w->scaled(10.0, 1.0);  // 20 pi samples
    const auto v = sampled(*s, -40.0, 81);
    for (unsigned i = 0; i < 81; ++i) {
        const double x = -40.0 + i;
        const double want = std::fabs(x) > 10 * kPi ? 0.0 : std::pow(1 + std::cos(x / 10), hp);
        EXPECT_NEAR(v[i], want, 1e-12 * w->peak) << x;
    }

    const auto f = w->forWidth({0.02, FirstNull});
    EXPECT_NEAR(f->responsePoint(FirstNull), 0.01, 1e-15);
    EXPECT_EQ(f->responsePoint(Minus6dB), 0.0);
    const auto a = f->adjust(FirstNull, std::ceil(f->lengthSamples) + 5);
    EXPECT_NEAR(a->responsePoint(FirstNull), 0.01, 1e-15);
    EXPECT_GT(static_cast<const Windows::PowerOfCosine*>(a->shape())->halfPower, hp);
    EXPECT_THROW(f->forWidth({0.02, Minus3dB}), std::invalid_argument);
    EXPECT_THROW(f->adjust(FirstNull, f->lengthSamples / 100), std::invalid_argument);
    EXPECT_THROW(f->spectrum(0.1), Wobbly);
}

TEST(FixedWindows, RectangularAndPolynomial) {
    const Windows::Rectangular& r = Windows::rectangularBlock();
    EXPECT_EQ(&r, &Windows::rectangularBlock());
    EXPECT_EQ(r.attenuation, 13.0);
    EXPECT_NEAR(r.ripple, Windows::rippleFor(13.0), 1e-15);

    WindowInstance<Windows::Rectangular> rect(r, 16.0, 0.5);
    EXPECT_FALSE(rect.adjustable);
    EXPECT_EQ(rect.nullSpacing, 16.0);
    EXPECT_DOUBLE_EQ(rect.responsePoint(FirstNull), 1.0 / 16);
    // The -6 dB point of the rectangular response sin(pi f N)/(pi f N).
    const double f6 = rect.responsePoint(Minus6dB) * 16;
    EXPECT_NEAR(std::sin(kPi * f6) / (kPi * f6), std::pow(10.0, -6.0 / 20), 1e-12);
    const double f3 = rect.responsePoint(Minus3dB) * 16;
    EXPECT_NEAR(std::sin(kPi * f3) / (kPi * f3), std::pow(10.0, -3.0 / 20), 1e-12);
    EXPECT_NEAR(rect.forWidth({0.25, Minus6dB})->responsePoint(Minus6dB), 0.125, 1e-15);
    EXPECT_EQ(sampled(rect, -8.0, 17), std::vector<double>(17, 0.5));
    EXPECT_THROW(rect.adjust(FirstNull, 20.0),
                 WindowInstance<Windows::Rectangular>::WindowNotAdjustable);
    EXPECT_THROW(rect.spectrum(0.0), Wobbly);

    WindowInstance<Windows::Polynomial> poly(Windows::blackmanHarrisBlock(), 10.0, 1.0);
    EXPECT_NEAR(poly.peak, 1.0, 1e-12);
    EXPECT_NEAR(sampled(poly, 10 * kPi - 1e-9, 1)[0], 0.35875 - 0.48829 + 0.14128 - 0.01168, 1e-9);
    EXPECT_NEAR(poly.responsePoint(FirstNull), 4.0 / (20 * kPi), 1e-15);
    EXPECT_THROW(poly.adjust(FirstNull, 100.0),
                 WindowInstance<Windows::Polynomial>::WindowNotAdjustable);
    EXPECT_THROW(poly.spectrum(0.0), Wobbly);
}

}  // namespace
