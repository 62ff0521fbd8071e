#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "support/ChainSupport.h"
#include "dsp/FFTFilter.h"
#include "dsp/Polyphase.h"
#include "dsp/ResamplingChain.h"

namespace {

using namespace ChainTest;
using DSP::ResamplingPlan;
using DSP::ResamplingSettings;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kMinus1dB = std::pow(10.0, -1.0 / 20.0);

ResamplingSettings defaults145() {
    ResamplingSettings s;
    s.snrDb = 145;
    return s;
}

// The stages of a chain, last first.
struct Stages {
    DSP::FIR::VFIRFilter* polyphase = nullptr;
    ::iStream* fft = nullptr;
    int fftKind = -1;  // N of FFTFilter<N>
};

Stages stagesOf(const Audio::Stream::Wrapper<Stream::iVOver>& chain) {
    Stages st;
    auto look = [&](::iStream* s) {
        if (auto* p = dynamic_cast<DSP::FIR::VFIRFilter*>(s)) st.polyphase = p;
        if (dynamic_cast<DSP::FFTFilter<0>*>(s)) st.fft = s, st.fftKind = 0;
        if (dynamic_cast<DSP::FFTFilter<1>*>(s)) st.fft = s, st.fftKind = 1;
        if (dynamic_cast<DSP::FFTFilter<2>*>(s)) st.fft = s, st.fftKind = 2;
        return false;
    };
    look(chain.get());
    chain->visit([&](int, ::iStream* s) { return look(s); }, 0);
    return st;
}

template <int N>
DSP::FFTFilter<N>* fftStage(const Stages& st) {
    return dynamic_cast<DSP::FFTFilter<N>*>(st.fft);
}

// ---------------------------------------------------------------- quality

struct ToneCase {
    float in, out;
    // An approximated ratio (within 1e-9) leaves a frequency error that the fit at the exact
    // frequency counts as residual: 1e-9 of the tone's phase over the fitted stretch.
    double maxResidualDb = -140.0;
    double speed = 1.0;  // the input's rate is in x speed
};

class ChainQuality : public ::testing::TestWithParam<ToneCase> {};

// A 997 Hz tone at -1 dBFS, one second long. Over the middle half of the
// output it must be the same tone, delayed by exactly the reported origin.
TEST_P(ChainQuality, ToneKeepsAmplitudePhaseAndPurity) {
    const ToneCase k = GetParam();
    DSP::ResamplingSettings settings = defaults145();
    settings.speed = k.speed;
    const double f = 997.0 * k.speed;  // the tone's frequency after the speed change
    auto chain = DSP::makeResamplingChain(
        source({tone(std::size_t(k.in), 997.0 / k.in, kMinus1dB)}, k.in), settings, k.out);
    const Audio::Stream::Tag tag = chain.tag();
    ASSERT_EQ(tag.format.sampleRate, k.out);
    const double origin = tag.origin;
    const std::size_t n = std::size_t(k.out + origin) + 100;
    const ReadResult r = readAll(*chain, n);

    const auto at = [&](double seconds) { return std::size_t(origin + seconds * k.out); };
    const ToneFit whole = fitTone(r.data[0], at(0.25), at(0.75), f / k.out, origin);
    const ToneFit early = fitTone(r.data[0], at(0.2), at(0.35), f / k.out, origin);
    const ToneFit late = fitTone(r.data[0], at(0.65), at(0.8), f / k.out, origin);
    const double ampDb = 20 * std::log10(whole.amplitude / kMinus1dB);
    std::printf(
        "%g -> %g: origin %.4f, amplitude error %.2e dB, THD+N %.1f dB, delay error %.2e "
        "samples (early %.2e, late %.2e)\n",
        k.in, k.out, origin, ampDb, whole.residualDb, whole.delayError, early.delayError,
        late.delayError);
    EXPECT_LT(std::abs(ampDb), 0.001);
    EXPECT_LT(whole.residualDb, k.maxResidualDb);
    EXPECT_LT(std::abs(whole.delayError), 0.01);
    // No drift: the tone keeps its exact frequency.
    EXPECT_LT(std::abs(late.delayError - early.delayError), 1e-4);
}

// 44101 Hz needs tens of thousands of phases; so do the rates of 44100 Hz at speeds of
// 100.01 % and 100.001 % (their ratios to 44100 are approximated within 1e-9). At 99.6 % the
// input rate, 43923.6 Hz, is not a float: the ratio meant (36603/40000) is taken, not the
// float's.
INSTANTIATE_TEST_SUITE_P(Rates, ChainQuality,
                         ::testing::Values(ToneCase{44100, 48000}, ToneCase{96000, 44100},
                                           ToneCase{44100, 88200}, ToneCase{48000, 48000},
                                           ToneCase{44100, 44101},
                                           ToneCase{44104.41f, 44100, -120.0},
                                           ToneCase{44100.441f, 44100, -120.0},
                                           ToneCase{44100, 48000, -140.0, 0.996}));

TEST(ChainQuality, ALongCycleReadInPiecesOfAnySizeGivesTheSameSamples) {
    // 44101 Hz: a polyphase cycle of 44101 outputs over 88200 inputs, consumed as it goes.
    const float in = 44100, out = 44101;
    std::vector<Signal> first;
    for (std::size_t chunk : {16384u, 4096u, 1000u, 37u}) {
        auto chain = DSP::makeResamplingChain(
            source({tone(std::size_t(in), 997.0 / in, kMinus1dB),
                    tone(std::size_t(in), 3001.0 / in, kMinus1dB)},
                   in),
            defaults145(), out);
        const ReadResult r = readAll(*chain, std::size_t(out) + 200, chunk);
        if (first.empty()) {
            first = r.data;
            continue;
        }
        for (std::size_t c = 0; c < 2; ++c)
            for (std::size_t i = 0; i < first[c].size(); ++i)
                ASSERT_NEAR(r.data[c][i], first[c][i], 1e-12)
                    << "chunk " << chunk << " channel " << c << " at " << i;
    }
}

TEST(ChainQuality, ToneAboveTheOutputBandIsRemoved) {
    const float in = 96000, out = 44100;
    auto chain = DSP::makeResamplingChain(
        source({tone(std::size_t(in), 25000.0 / in, kMinus1dB)}, in), defaults145(), out);
    const double origin = chain.tag().origin;
    const ReadResult r = readAll(*chain, std::size_t(out + origin) + 100);
    const double level =
        peakDb(r.data[0], std::size_t(origin + 0.1 * out), std::size_t(origin + 0.9 * out));
    std::printf("25 kHz at -1 dBFS, 96000 -> 44100: peak %.1f dBFS\n", level);
    EXPECT_LT(level, -140.0);
}

TEST(ChainQuality, SyncOffsetPutsASampleThatFarBeforeTimeZero) {
    for (auto [in, out, sync] : {std::tuple{44100.0f, 48000.0f, 0.3},
                                 {44100.0f, 88200.0f, 0.25},
                                 {48000.0f, 48000.0f, 0.6},
                                 {96000.0f, 48000.0f, 0.7}}) {
        ResamplingSettings s = defaults145();
        s.syncOffset = sync;
        const double f = 997.0;
        auto chain = DSP::makeResamplingChain(
            source({tone(std::size_t(in / 2), f / in, kMinus1dB)}, in), s, out);
        const double origin = chain.tag().origin;
        EXPECT_NEAR(origin - sync, std::round(origin - sync), 1e-9) << in << " -> " << out;
        const ReadResult r = readAll(*chain, std::size_t(out / 2 + origin));
        const ToneFit t = fitTone(r.data[0], std::size_t(origin + 0.15 * out),
                                  std::size_t(origin + 0.35 * out), f / out, origin);
        EXPECT_LT(std::abs(t.delayError), 0.01) << in << " -> " << out;
        EXPECT_LT(t.residualDb, -140.0) << in << " -> " << out;
    }
}

// ---------------------------------------------------------------- design

TEST(ChainDesign, WorkedExample44100To48000) {
    ResamplingSettings s = defaults145();
    s.basebandMax = kInf;
    auto chain = DSP::makeResamplingChain(source({Signal(1000, 0.0)}, 44100), s, 48000);
    const Stages st = stagesOf(chain);
    ASSERT_NE(st.polyphase, nullptr);
    auto* fft = fftStage<2>(st);
    ASSERT_NE(fft, nullptr);
    // Stage 1: Kaiser for 164 dB, 978 samples at 44100, 1955 taps at 88200.
    EXPECT_EQ(fft->taps(), 1955u);
    EXPECT_EQ(fft->delay(), 977.0);
    EXPECT_EQ(fft->alignShift, 0.0);
    // Transform of 8L rounded up to a power of two: M = 16384, blocks of
    // (16384 - 1955 + 2) / 2 = 7215 input and 14430 output samples.
    EXPECT_EQ(fft->size(), 16384u);
    EXPECT_EQ(fft->inputBlock, 7215u);
    EXPECT_EQ(fft->outputBlock, 14430u);
    EXPECT_EQ(fft->getTag<Audio::Stream::Tag>().format.sampleRate, 88200.0f);
    // Stage 2: 170 dB, ~22.7 -> 23 taps per phase, the exact ratio 147/80.
    const DSP::FIR::FixedResampler& poly = *st.polyphase->resampler;
    EXPECT_EQ(poly.taps, 23u);
    EXPECT_DOUBLE_EQ(poly.halfLength, 11.5);
    EXPECT_EQ(poly.numerator, 147u);
    EXPECT_EQ(poly.denominator, 80u);
    EXPECT_EQ(poly.leadIn, 21);
    EXPECT_DOUBLE_EQ(chain.tag().origin, 537.0);
}

TEST(ChainDesign, StageChoice) {
    struct Row {
        float in, out;
        double speed;
        ResamplingPlan::Path path;
        int e;
        float fs2;
    };
    const Row rows[] = {
        {48000, 48000, 1.0, ResamplingPlan::SameRate, 0, 48000},
        {96000, 48000, 1.0, ResamplingPlan::PowerOfTwo, -1, 48000},
        {44100, 88200, 1.0, ResamplingPlan::PowerOfTwo, 1, 88200},
        {44100, 48000, 1.0, ResamplingPlan::TwoStage, 1, 88200},
        {192000, 44100, 1.0, ResamplingPlan::TwoStage, -1, 96000},
        {44100, 32000, 1.0, ResamplingPlan::TwoStage, 1, 88200},
        {96000, 44100, 1.0, ResamplingPlan::TwoStage, 0, 96000},
        {44100, 44100, 1.01, ResamplingPlan::TwoStage, 1, 89082},
    };
    for (const Row& row : rows) {
        ResamplingSettings s;
        s.basebandMax = kInf;
        s.speed = row.speed;
        auto chain = DSP::makeResamplingChain(source({Signal(100, 0.0)}, row.in), s, row.out);
        EXPECT_EQ(chain.tag().format.sampleRate, row.out);
        const float relabelled = float(double(row.in) * row.speed);
        const ResamplingPlan plan = DSP::planResampling(relabelled, s, row.out);
        EXPECT_EQ(plan.path, row.path) << row.in << " -> " << row.out;
        EXPECT_EQ(plan.exponent, row.e) << row.in << " -> " << row.out;
        EXPECT_EQ(plan.intermediateRate, row.fs2) << row.in << " -> " << row.out;
        const Stages st = stagesOf(chain);
        EXPECT_EQ(st.polyphase != nullptr, row.path == ResamplingPlan::TwoStage);
        EXPECT_EQ(st.fftKind, row.e < 0 ? 0 : row.e == 0 ? 1 : 2);
    }
    // 44100 -> 32000: T' = 16000, B' = 15500.
    ResamplingSettings s;
    s.basebandMax = kInf;
    const ResamplingPlan p = DSP::planResampling(44100, s, 32000);
    EXPECT_EQ(p.stopbandMin, 16000.0);
    EXPECT_EQ(p.basebandMax, 15500.0);
    // With the guard band, T' + B' = 44100 exactly: u = 2, e = 1.
    s.aliasGuardBand = true;
    s.basebandMax = 20000;
    EXPECT_EQ(DSP::planResampling(44100, s, 48000).exponent, 1);
}

TEST(ChainDesign, SpeedRelabelsTheInput) {
    ResamplingSettings s;
    s.speed = 1.01;
    auto in = source({Signal(100, 0.0)}, 44100);
    auto chain = DSP::makeResamplingChain(in, s, 44100);
    EXPECT_EQ(in.tag().format.sampleRate, 44541.0f);
    EXPECT_EQ(chain.tag().format.sampleRate, 44100.0f);
}

// ---------------------------------------------------------------- settings

TEST(ChainSettings, ImpossibleSettingsThrowClearly) {
    auto attempt = [](ResamplingSettings s, float in = 44100, float out = 48000) {
        DSP::makeResamplingChain(source({Signal(100, 0.0)}, in), s, out);
    };
    ResamplingSettings s;
    for (double speed : {0.0, -1.0, std::nan(""), kInf, 1e300}) {
        s = {};
        s.speed = speed;
        EXPECT_THROW(attempt(s), std::invalid_argument) << speed;
    }
    for (double gain : {std::nan(""), kInf, -kInf}) {
        s = {};
        s.gain = gain;
        EXPECT_THROW(attempt(s), std::invalid_argument) << gain;
    }
    for (double sync : {std::nan(""), kInf, 1e12}) {
        s = {};
        s.syncOffset = sync;
        EXPECT_THROW(attempt(s), std::invalid_argument) << sync;
    }
    s = {};
    s.stopbandMin = 100;  // below the 500 Hz minimum transition: no pass band left
    EXPECT_THROW(attempt(s), std::invalid_argument);
    s = {};
    s.basebandMax = std::nan("");
    EXPECT_THROW(attempt(s), std::invalid_argument);
    s = {};
    s.minTransitionHz = 0;  // no transition band at all
    s.basebandMax = kInf;
    EXPECT_THROW(attempt(s), std::invalid_argument);
    s = {};
    s.minTransitionHz = 1;  // a filter longer than the FFT allows
    s.basebandMax = kInf;
    EXPECT_THROW(attempt(s, 768000, 44100), std::length_error);
    EXPECT_THROW(attempt({}, 1.0f, 48000), std::invalid_argument);
    EXPECT_THROW(attempt({}, 44100, 1.0f), std::invalid_argument);
    EXPECT_THROW(attempt({}, 44100, 0.0f), std::invalid_argument);
    EXPECT_THROW(attempt({}, 44100, -48000.0f), std::invalid_argument);
    EXPECT_THROW(attempt({}, 44100, std::numeric_limits<float>::infinity()), std::invalid_argument);
    // A rate too low for the filters' minimum transition band says so (it blamed a stop band).
    try {
        attempt({}, 100, 44100);
        ADD_FAILURE() << "converted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("a rate of 100 Hz (after any speed change) is too low",
                                              0),
                  0u)
            << e.what();
    }
    // A ratio no table holds is told in the rates given, not the first stage's.
    try {
        attempt({}, 44100, 524287);
        ADD_FAILURE() << "converted";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("44100 Hz to 524287 Hz cannot be converted exactly", 0), 0u)
            << e.what();
    }
}

// Converts a 997 Hz tone and fits it over the middle.
ToneFit fitThrough(float in, float out, const ResamplingSettings& s, double seconds) {
    const double f = 997.0;
    auto chain = DSP::makeResamplingChain(
        source({tone(std::size_t(in * seconds), f / in, kMinus1dB)}, in), s, out);
    const double origin = chain.tag().origin;
    const ReadResult r = readAll(*chain, std::size_t(out * seconds + origin));
    for (double v : r.data[0]) EXPECT_TRUE(std::isfinite(v));
    return fitTone(r.data[0], std::size_t(origin + 0.3 * seconds * out),
                   std::size_t(origin + 0.7 * seconds * out), f / out, origin);
}

double toneThrough(float in, float out, const ResamplingSettings& s, double seconds = 0.5) {
    return fitThrough(in, out, s, seconds).amplitude;
}

TEST(ChainSettings, ExtremeButMeaningfulSettingsWork) {
    ResamplingSettings s;
    // Lowest target: short filters, and a polyphase window shorter than its
    // step (the input it never reaches is dropped instead of padded).
    s.snrDb = 0;
    int dropped = 0;
    for (int i = 0; i < 10; ++i) {
        s.syncOffset = 0.1 * i;  // moves the grid against the window
        auto chain = DSP::makeResamplingChain(source({Signal(100, 0.0)}, 175000), s, 48000);
        dropped += stagesOf(chain).polyphase->resampler->leadIn < 0;
        const ToneFit t = fitThrough(175000, 48000, s, 0.2);
        EXPECT_NEAR(t.amplitude, kMinus1dB, 0.2) << s.syncOffset;
        EXPECT_LT(std::abs(t.delayError), 0.01) << s.syncOffset;
    }
    EXPECT_GT(dropped, 0);
    // Targets above 324 dB design as 324.
    s.snrDb = 1000;
    EXPECT_NEAR(toneThrough(44100, 48000, s, 0.25), kMinus1dB, 1e-6);
    // Gain applies once, whatever the path; a negative gain inverts.
    s = {};
    s.gain = -0.5;
    EXPECT_NEAR(toneThrough(44100, 48000, s, 0.25), 0.5 * kMinus1dB, 1e-6);
    // Rates far from audio still convert.
    s = {};
    EXPECT_NEAR(toneThrough(1e7f, 44100, s, 0.05), kMinus1dB, 1e-4);
    EXPECT_NEAR(toneThrough(44100, 1e7f, s, 0.05), kMinus1dB, 1e-4);
}

}  // namespace

// ---------------------------------------------------------------- stream edges

struct EdgeCase {
    float in, out;
    double gain;
};

// Channels filtered in pairs or alone differ by rounding only.
constexpr double kRounding = 1e-13;

class ChainEdges : public ::testing::TestWithParam<EdgeCase> {
protected:
    Audio::Stream::Wrapper<Stream::iVOver> chain(std::vector<Signal> data, double pastEnd) {
        auto* src = new VSource(std::move(data), GetParam().in, 0.0, true);
        src->pastEnd = pastEnd;
        ResamplingSettings s = defaults145();
        s.gain = GetParam().gain;
        return DSP::makeResamplingChain(Audio::Stream::Wrapper<Stream::iVOver>(src), s,
                                        GetParam().out);
    }
};

// Whatever a source holds past its length (the chunks after a file's audio)
// never reaches the output: the filters' tails are computed on silence.
TEST_P(ChainEdges, NothingPastTheInputsEndIsUsed) {
    const std::vector<Signal> data{tone(3000, 0.01, 0.5), Signal(3000, 0.0)};
    auto clean = chain(data, 0.0), dirty = chain(data, 0.75);
    const std::size_t n = 3000 * GetParam().out / GetParam().in + 2000;
    const ReadResult a = readAll(*clean, n), b = readAll(*dirty, n);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_NEAR(a.data[c][i], b.data[c][i], kRounding) << c << " " << i;
}

// Every channel count a file may have converts each channel as if alone,
// silent channels and channels beyond the 32nd included.
TEST_P(ChainEdges, EveryChannelConvertsAsIfAlone) {
    constexpr std::uint32_t kChannels = 70;
    std::vector<Signal> data(kChannels);
    for (std::uint32_t c = 0; c < kChannels; ++c)
        data[c] = c % 3 == 0 ? Signal(1500, 0.0) : tone(1500, 0.003 * (c + 1), 0.4);
    const std::size_t n = 1500 * GetParam().out / GetParam().in + 500;
    const ReadResult all = readAll(*chain(data, 0.0), n, 1024);
    for (std::uint32_t c : {0u, 1u, 2u, 31u, 32u, 33u, 34u, 63u, 64u, 65u, 69u}) {
        const ReadResult one = readAll(*chain({data[c]}, 0.0), n, 1024);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_NEAR(all.data[c][i], one.data[0][i], kRounding) << "channel " << c << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, ChainEdges,
                         ::testing::Values(EdgeCase{44100, 48000, 1.0}, EdgeCase{96000, 44100, 1.0},
                                           EdgeCase{44100, 88200, 1.0},
                                           EdgeCase{48000, 24000, 1.0},
                                           EdgeCase{48000, 48000, 0.5}));
