#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "dsp/FIRDesign.h"

namespace {

using namespace DSP;
using namespace DSP::FIR;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;

double betaOf(const Window& w) {
    return static_cast<const Windows::Kaiser*>(w.shape())->beta;
}

TEST(BandEdges, DocumentedCases) {
    auto e = bandEdges(145, 500, false, kInf, kInf, 44100, 48000);
    EXPECT_EQ(e.stopbandMin, 22050.0);
    EXPECT_EQ(e.basebandMax, 21550.0);
    EXPECT_EQ(e.snrDb, 145u);

    e = bandEdges(145, 500, true, kInf, kInf, 44100, 48000);
    EXPECT_EQ(e.basebandMax, 21550.0);
    EXPECT_EQ(e.stopbandMin, 22550.0);

    e = bandEdges(145, 500, true, 20000, kInf, 44100, 48000);
    EXPECT_EQ(e.basebandMax, 20000.0);
    EXPECT_EQ(e.stopbandMin, 24100.0);

    e = bandEdges(400, 500, false, 20000, kInf, 96000, 44100);  // m is the output rate
    EXPECT_EQ(e.snrDb, 324u);
    EXPECT_EQ(e.basebandMax, 20000.0);
    EXPECT_EQ(e.stopbandMin, 22050.0);

    e = bandEdges(97, 500, false, 18000, 19000, 44100, 44100);
    EXPECT_EQ(e.basebandMax, 18000.0);
    EXPECT_EQ(e.stopbandMin, 19000.0);
    e = bandEdges(97, 500, false, 18800, 19000, 44100, 44100);  // transition kept >= 500
    EXPECT_EQ(e.basebandMax, 18500.0);
}

TEST(BandEdges, SettingsThatLeaveNoPassBandAreRejected) {
    // T below the minimum transition would give B' = -400 and a filter of
    // inverted sign.
    EXPECT_THROW(bandEdges(97, 500, false, kInf, 100, 44100, 48000), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, -5, kInf, 44100, 48000), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, kInf, kInf, 800, 800), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, NAN, kInf, 44100, 48000), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, kInf, kInf, 0, 48000), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, kInf, kInf, 44100, -1), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, kInf, kInf, kInf, 48000), std::invalid_argument);
    // B' = 0 keeps DC alone: no pass band either, from a stop band or from the rate.
    EXPECT_THROW(bandEdges(97, 500, false, kInf, 500, 44100, 48000), std::invalid_argument);
    EXPECT_THROW(bandEdges(97, 500, false, kInf, kInf, 1000, 8000), std::invalid_argument);
    // The edge of what is allowed.
    const auto e = bandEdges(97, 500, false, kInf, 501, 44100, 48000);
    EXPECT_EQ(e.basebandMax, 1.0);
    EXPECT_EQ(e.stopbandMin, 501.0);
}

TEST(BandEdges, InvariantsOverRandomSettings) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> hz(-1000.0, 100000.0);
    const double rates[] = {800, 8000, 32000, 44100, 48000, 88200, 96000, 192000, 3072000};
    for (int i = 0; i < 20000; ++i) {
        const double b = rng() % 5 == 0 ? kInf : hz(rng);
        const double t = rng() % 5 == 0 ? kInf : hz(rng);
        const unsigned mt = rng() % 3000;
        const bool guard = rng() & 1;
        const double fsIn = rates[rng() % 9], fsOut = rates[rng() % 9];
        try {
            const auto e = bandEdges(rng() % 500, mt, guard, b, t, fsIn, fsOut);
            const double m = std::min(fsIn, fsOut);
            EXPECT_GT(e.basebandMax, 0.0);
            EXPECT_GE(e.stopbandMin - e.basebandMax, static_cast<double>(mt));
            EXPECT_LE(e.basebandMax, b);
            EXPECT_LE(e.stopbandMin, t);
            EXPECT_LE(e.basebandMax, m / 2);
            EXPECT_LE(e.stopbandMin, guard ? m : m / 2);
            EXPECT_LE(e.snrDb, 324u);
        } catch (const std::invalid_argument&) {
            // only when no pass band is left
            EXPECT_LE(std::min({b, t - mt, std::min(fsIn, fsOut) / 2 - mt}), 0.0);
        }
    }
}

TEST(DesignWindow, DocumentedFullDesign) {
    // 44100 -> 48000, snrDb 145, two stages: FFT stage at 44100 with margin 19.
    const auto w = designWindow(145 + kMarginFFTTwoStage, 500.0 / 44100, LengthPolicy::Even);
    EXPECT_EQ(w->lengthSamples, 978.0);
    EXPECT_NEAR(w->responsePoint(FirstNull), 250.0 / 44100, 1e-15);
    const auto continuous = kaiserWindows->create(164)->forWidth({500.0 / 44100, FirstNull});
    EXPECT_NEAR(betaOf(*kaiserWindows->create(164)), 17.11406, 1e-9);
    EXPECT_NEAR(continuous->lengthSamples, 977.009, 1e-3);

    const BandpassGen gen(BandSpec::lowpass((22050.0 + 21550.0) / 44100), *w, 1);
    EXPECT_EQ(gen.taps, 1955u);
    EXPECT_EQ(gen.start, -977.0);
    EXPECT_DOUBLE_EQ(gen.bandwidth, 43600.0 / 88200);
    EXPECT_DOUBLE_EQ(gen.sincOmega, kPi * 43600.0 / 88200);
    EXPECT_DOUBLE_EQ(gen.window->lengthSamples, 1956.0);

    // Polyphase stage: margin 25, transition (fs2 - T' - B') / fs2.
    const auto p = designWindow(145 + kMarginPolyphase, 44600.0 / 88200, LengthPolicy::Ceiling);
    EXPECT_NEAR(betaOf(*kaiserWindows->create(170)), 17.77526, 1e-9);
    EXPECT_NEAR(kaiserWindows->create(170)->forWidth({44600.0 / 88200, FirstNull})->lengthSamples,
                22.725, 1e-3);
    EXPECT_EQ(p->lengthSamples, 23.0);
}

TEST(DesignWindow, BadWidthsFailCleanly) {
    EXPECT_THROW(designWindow(100, 0.0, LengthPolicy::Even), std::invalid_argument);
    EXPECT_THROW(designWindow(100, -0.01, LengthPolicy::Even), std::invalid_argument);
    // An absurdly wide transition asks for an enormous beta.
    EXPECT_THROW(designWindow(100, 1e6, LengthPolicy::Even), std::overflow_error);
}

// The kernel of a generator, read back through the inverse transform.
std::vector<double> kernelTaps(const BandpassGen& gen, const OOURA::FFT::R2C& fft, double gain,
                               unsigned* delay, std::vector<Math::complex>* spectrum = nullptr) {
    std::vector<Math::complex> bins(fft.n / 2 + 1);
    *delay = gen(fft, bins.data(), gain);
    if (spectrum) *spectrum = bins;
    std::vector<double> taps(fft.n);
    fft.Inverse(taps.data(), bins.data());
    for (double& t : taps) t *= 2.0 / fft.n;
    return taps;
}

TEST(BandpassGen, SingleStageLengthTapsAndDelay) {
    // A width whose continuous length is 99.2 samples.
    const auto w1 = kaiserWindows->create(97 + kMarginFFTSingleStage);
    const double z = std::sqrt(1 + std::pow(betaOf(*w1) / kPi, 2));
    const auto w = designWindow(97 + kMarginFFTSingleStage, 2 * z / 99.2, LengthPolicy::Even);
    EXPECT_EQ(w->lengthSamples, 100.0);
    const BandpassGen gen(BandSpec::lowpass(0.4), *w, 0);
    EXPECT_EQ(gen.taps, 99u);
    EXPECT_EQ(gen.start, -49.0);

    unsigned delay = 0;
    const auto taps = kernelTaps(gen, OOURA::FFT::R2C::ForSize(256), 1.0, &delay);
    EXPECT_EQ(delay, 49u);
    for (unsigned i = 0; i < 49; ++i) EXPECT_NEAR(taps[i], taps[98 - i], 1e-15) << i;
    for (unsigned i = 99; i < 256; ++i) EXPECT_NEAR(taps[i], 0.0, 1e-15) << i;
    EXPECT_NEAR(taps[49], 0.4, 1e-15);  // centre tap = bandwidth
}

// Frequency response of a designed low-pass: pass band flat within the
// ripple, stop band below the target, for single-rate and rate-changing
// stages.
TEST(BandpassGen, ResponseMeetsTheTarget) {
    struct Case {
        double fsIn, fsOut, gain;
        int e;
    };
    for (const Case c : {Case{48000, 48000, 1.0, 0}, Case{44100, 88200, 0.5, 1},
                         Case{96000, 48000, 2.0, -1}, Case{44100, 176400, 1.0, 2}}) {
        SCOPED_TRACE(c.e);
        const unsigned snr = 120;
        const auto edges = bandEdges(snr, 2000, false, 18000, kInf, c.fsIn, c.fsOut);
        const double fsD = std::min(c.fsIn, c.fsOut), fsF = std::max(c.fsIn, c.fsOut);
        const auto w =
            designWindow(edges.snrDb + kMarginFFTSingleStage,
                         (edges.stopbandMin - edges.basebandMax) / fsD, LengthPolicy::Even);
        const BandpassGen gen(BandSpec::lowpass((edges.stopbandMin + edges.basebandMax) / fsD), *w,
                              c.e);
        const auto& fft = OOURA::FFT::R2C::ForSize(4 * gen.taps);
        unsigned delay = 0;
        std::vector<Math::complex> bins;
        const auto taps = kernelTaps(gen, fft, c.gain, &delay, &bins);
        EXPECT_EQ(delay, (gen.taps - 1) / 2);

        double sum = 0;
        for (unsigned i = 0; i < gen.taps; ++i) sum += taps[i];
        EXPECT_NEAR(sum, c.gain, 1e-6 * c.gain);
        EXPECT_NEAR(bins[0].real, sum, 1e-9);

        const double ripple = std::pow(10.0, -double(snr) / 20);
        double passWorst = 0, stopWorst = 0;
        for (std::size_t k = 0; k <= static_cast<std::size_t>(fft.n / 2); ++k) {
            const double f = fsF * static_cast<double>(k) / fft.n;
            const double mag = std::hypot(bins[k].real, bins[k].imag) / c.gain;
            if (f <= edges.basebandMax) passWorst = std::max(passWorst, std::fabs(mag - 1));
            if (f >= edges.stopbandMin) stopWorst = std::max(stopWorst, mag);
        }
        EXPECT_LT(passWorst, ripple);
        EXPECT_LT(stopWorst, ripple);
    }
}

TEST(BandpassGen, TapsMustFitTheTransformAndBindSharesTheRecord) {
    const auto w = designWindow(100, 0.05, LengthPolicy::Even);
    BandpassGen gen(BandSpec::lowpass(0.45), *w, 0);
    std::vector<Math::complex> small(9);
    EXPECT_THROW(gen(OOURA::FFT::R2C::ForSize(16), small.data(), 1.0), std::length_error);

    const auto& fft = OOURA::FFT::R2C::ForSize(512);
    std::vector<Math::complex> direct(257), viaFunction(257);
    const unsigned d1 = gen(fft, direct.data(), 0.7);
    KernelGenerator f = BandpassGen::bind(std::move(gen));
    KernelGenerator copy = f;
    EXPECT_EQ(copy(fft, viaFunction.data(), 0.7), d1);
    for (std::size_t k = 0; k < 257; ++k) {
        EXPECT_EQ(direct[k].real, viaFunction[k].real);
        EXPECT_EQ(direct[k].imag, viaFunction[k].imag);
    }
    EXPECT_THROW(BandpassGen(BandSpec::lowpass(0.4), *w, 40), std::invalid_argument);
}

}  // namespace
