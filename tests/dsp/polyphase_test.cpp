#include "dsp/Polyphase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

#include "dsp/fft/PerIsa.h"
#include "support/ChainSupport.h"

namespace {

using namespace ChainTest;
using boost::rational;
using DSP::FIR::planConvolution;
using DSP::FIR::polyphaseRatio;

TEST(PolyphaseRatio, ExactWhenTheReducedDenominatorFits) {
    EXPECT_EQ(polyphaseRatio(88200.0f, 48000.0f), rational<unsigned>(147, 80));
    EXPECT_EQ(polyphaseRatio(96000.0f, 44100.0f), rational<unsigned>(320, 147));
    EXPECT_EQ(polyphaseRatio(44100.0f, 48000.0f), rational<unsigned>(147, 160));
    EXPECT_EQ(polyphaseRatio(144000.0f, 48000.0f), rational<unsigned>(3, 1));
    // Fractional rates are exact floats.
    EXPECT_EQ(polyphaseRatio(1000.5f, 500.0f), rational<unsigned>(2001, 1000));
}

TEST(PolyphaseRatio, ExactWhileTheTableFitsElseWithinTheToleranceOrRefused) {
    // 44541 Hz (44100 x 1.01) doubled, to 48000: 14847/8000; the others need tens of
    // thousands of phases, which the table's budget holds at 24 taps.
    for (auto [in, out] : {std::pair{89082.0f, 48000.0f},
                           {96000.0f, 44101.0f},
                           {176400.0f, 47999.0f},
                           {88200.0f, 32001.0f}}) {
        const auto a = static_cast<unsigned>(in), b = static_cast<unsigned>(out);
        const unsigned g = std::gcd(a, b);
        EXPECT_EQ(polyphaseRatio(in, out, DSP::FIR::maxPhasesFor(24)),
                  rational<unsigned>(a / g, b / g))
            << in << "/" << out;
        // Fewer phases than that: no fraction comes close enough, and an output at a
        // slightly wrong pitch and length is refused rather than labelled `out`.
        try {
            polyphaseRatio(in, out, 2048);
            ADD_FAILURE() << in << "/" << out << " approximated with 2048 phases";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("needs more than 2048 filter phases"),
                      std::string::npos)
                << e.what();
        }
    }
    // A speed of 100.01 % after a doubling stage: the float rate's exact fraction needs
    // millions of phases; a fraction within the tolerance is taken.
    const float in = 88200.0f * 1.0001f, out = 44100.0f;
    const rational<unsigned> r = polyphaseRatio(in, out);
    const double x = double(in) / double(out);
    EXPECT_LE(std::abs(double(r.numerator()) / r.denominator() - x),
              DSP::FIR::kRatioTolerance * x);
    // Speeds whose float rate needs more phases than that even within the tolerance (64 of
    // the speeds 25.0 .. 120.0 % in steps of 0.1 were refused): the rate as computed before
    // it became a float gives the ratio meant. 44100 Hz at 99.6 % is 43923.6 Hz (the float
    // 43923.6015625), 36603/40000 of 48000; doubled by the first stage 36603/20000.
    for (auto [in, speed, p, q] : {std::tuple{44100.0, 0.996, 36603u, 40000u},
                                   {88200.0, 0.996, 36603u, 20000u},
                                   {44100.0, 1.017, 149499u, 160000u},
                                   {88200.0, 0.333, 48951u, 80000u}}) {
        const double exactIn = in * speed;
        EXPECT_EQ(polyphaseRatio(float(exactIn), 48000.0f, DSP::FIR::kMaxPhases, exactIn),
                  rational<unsigned>(p, q))
            << exactIn;
    }
    // The float's own ratio fits but misses the rate meant (by 1e-8 at 100.01 %: a drift of
    // 2.4 samples an hour): the fraction nearest the rate meant within the phases is taken.
    for (auto [speed, p, q] : {std::tuple{1.0001, 864u, 4751u}, {1.0003, 23484u, 129109u}}) {
        const double exactIn = 12345.0 * speed;
        EXPECT_EQ(polyphaseRatio(float(exactIn), 67890.0f, DSP::FIR::maxPhasesFor(24), exactIn),
                  rational<unsigned>(p, q))
            << exactIn;
    }
    // The budget: 32 MiB of phase blocks, at most kMaxPhases.
    EXPECT_EQ(DSP::FIR::maxPhasesFor(24), (32u << 20) / (25 * 8));
    EXPECT_EQ(DSP::FIR::maxPhasesFor(4), DSP::FIR::kMaxPhases);
    EXPECT_EQ(DSP::FIR::maxPhasesFor(200), (32u << 20) / (201 * 8));
}

TEST(PolyphaseRatio, RejectsRatesItCannotRepresent) {
    EXPECT_THROW(polyphaseRatio(0.0f, 48000.0f), std::invalid_argument);
    EXPECT_THROW(polyphaseRatio(44100.0f, -1.0f), std::invalid_argument);
    EXPECT_THROW(polyphaseRatio(NAN, 48000.0f), std::invalid_argument);
    EXPECT_THROW(polyphaseRatio(INFINITY, 48000.0f), std::invalid_argument);
    EXPECT_THROW(polyphaseRatio(1.0f, 1e7f), std::invalid_argument);  // needs 1e7 phases
    EXPECT_THROW(polyphaseRatio(1e38f, 1e-38f), std::invalid_argument);
    EXPECT_NO_THROW(polyphaseRatio(1e7f, 1.0f));
}

TEST(PolyphasePlan, WorkedExampleAfterTheFirstStage) {
    // 88200 -> 48000 behind a first stage with origin 977, 23-sample window.
    const auto p = planConvolution(977.0, 0.0, 23.0, rational<unsigned>(147, 80));
    EXPECT_EQ(p.plan.taps, 23u);
    EXPECT_EQ(p.plan.leadIn, 21);
    EXPECT_NEAR(p.plan.firstTapOffset, -11.2625, 1e-12);
    EXPECT_DOUBLE_EQ(p.plan.step, 1.8375);
    EXPECT_DOUBLE_EQ(p.outputOrigin, 537.0);
    // The first output's taps start at the first padded sample.
    EXPECT_NEAR(p.plan.base, -p.plan.firstTapOffset - 11.5, 1e-12);
    EXPECT_LE(p.plan.base, 0.0);
    EXPECT_GE(p.plan.base, -1.0);
}

TEST(PolyphasePlan, OnePhaseCoversEveryNonZeroTap) {
    // Even window, integer origin: taps at 1 - N/2 ... N/2 - 1.
    EXPECT_EQ(planConvolution(0.0, 0.0, 20.0, rational<unsigned>(3, 1)).plan.taps, 19u);
    // Odd window: the taps sit half-way, and all 21 of them are inside.
    EXPECT_EQ(planConvolution(0.0, 0.0, 21.0, rational<unsigned>(3, 1)).plan.taps, 21u);
}

TEST(PolyphasePlan, WindowShorterThanTheStepDropsUnreachedInput) {
    const auto p = planConvolution(3.0, 0.0, 1.5, rational<unsigned>(4, 1));
    EXPECT_EQ(p.plan.leadIn, -3);
    EXPECT_DOUBLE_EQ(p.outputOrigin, 0.0);
}

TEST(PolyphasePlan, SyncOffsetMovesTheGrid) {
    const auto a = planConvolution(977.0, 0.25, 23.0, rational<unsigned>(147, 80));
    // Output origin minus the sync offset is whole: a sample lies exactly
    // syncOffset samples before time zero.
    EXPECT_DOUBLE_EQ(a.outputOrigin - 0.25, std::round(a.outputOrigin - 0.25));
    const auto b = planConvolution(977.0, -3.0, 23.0, rational<unsigned>(147, 80));
    EXPECT_DOUBLE_EQ(b.outputOrigin, 537.0);  // negative offsets count as 0
    EXPECT_THROW(planConvolution(NAN, 0.0, 23.0, rational<unsigned>(147, 80)),
                 std::invalid_argument);
    EXPECT_THROW(planConvolution(0.0, 1e300, 23.0, rational<unsigned>(147, 80)),
                 std::invalid_argument);
}

// Hann-shaped test kernel of length N (any smooth function vanishing at
// the window edges will do).
double testKernel(double x, double N) {
    return std::abs(x) >= N / 2 ? 0.0 : std::pow(std::cos(std::numbers::pi * x / N), 2);
}

DSP::FIR::TapSampler sampler(double N) {
    return [N](double* begin, double* end, double start, unsigned count) {
        for (unsigned i = 0; i < count; ++i) begin[i] = testKernel(start + i, N);
        std::fill(begin + count, end, 0.0);
    };
}

Signal randomSignal(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Signal s(n);
    for (auto& v : s) v = u(gen);
    return s;
}

struct RateCase {
    float in, out;
    double N;
    double origin, sync;
};

// Every case on every instruction set.
using PolyphaseVsDirect = IsaTesting::PerIsa<std::tuple<RateCase, DSP::Isa>>;

TEST_P(PolyphaseVsDirect, EveryOutputIsTheKernelWeightedSumAtItsTime) {
    const RateCase k = std::get<0>(GetParam());
    // Two channels share the coefficient loads; a third runs alone.
    const std::vector<Signal> x = {randomSignal(2000, 11), randomSignal(2000, 12),
                                   randomSignal(2000, 13)};
    const rational<unsigned> ratio = polyphaseRatio(k.in, k.out);
    const double P = ratio.numerator(), Q = ratio.denominator();
    const std::size_t outLen = std::size_t(std::ceil(2000 * Q / P)) + 20;
    // Short reads run a few output cycles per call (fewer lanes and the
    // remainder), long ones groups of eight cycles.
    for (std::size_t chunk : {333, 4096}) {
        SCOPED_TRACE(testing::Message() << "reads of " << chunk);
        auto stage = DSP::FIR::makePolyphaseResampler(source(x, k.in, k.origin), k.N, sampler(k.N),
                                                      k.sync, k.out);
        const Audio::Stream::Tag tag = stage.tag();
        EXPECT_EQ(tag.format.sampleRate, k.out);
        const ReadResult r = readAll(*stage, outLen, chunk);

        // Output j lies at input time (j - origin_out) * P/Q after the input's
        // time zero, i.e. at input position origin_in + (j - origin_out) * P/Q.
        for (int c = 0; c < 3; ++c) {
            double worst = 0;
            for (std::size_t j = 0; j < outLen; ++j) {
                const double centre = k.origin + (double(j) - tag.origin) * P / Q;
                double ref = 0;
                for (long m = long(std::floor(centre - k.N / 2)); m <= long(centre + k.N / 2) + 1;
                     ++m)
                    if (m >= 0 && m < 2000) ref += x[c][m] * testKernel(double(m) - centre, k.N);
                worst = std::max(worst, std::abs(r.data[c][j] - ref));
            }
            EXPECT_LT(worst, 1e-9) << "channel " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, PolyphaseVsDirect,
    ::testing::Combine(::testing::Values(
                           RateCase{88200, 48000, 23, 977, 0}, RateCase{96000, 44100, 20, 0, 0},
                           RateCase{44100, 48000, 16, 3.5, 0.3}, RateCase{144000, 48000, 21, 0, 0},
                           RateCase{48000, 96000, 12, 10, 0}, RateCase{192000, 44100, 3, 7, 0},
                           RateCase{89082, 48000, 24, 5, 0.7}, RateCase{88200, 48000, 41, 977, 0},
                           RateCase{88200, 48000, 8, 0, 0}, RateCase{88200, 48000, 16, 0, 0},
                           RateCase{88200, 48000, 22, 0, 0}, RateCase{96000, 44100, 21, 0.5, 0}),
                       IsaTesting::kEveryIsa),
    IsaTesting::IsaName());

// Exposes the stage's resampler for the protocol tests.
DSP::FIR::VFIRFilter* firStage(const Audio::Stream::Wrapper<Stream::iVOver>& s) {
    auto* f = dynamic_cast<DSP::FIR::VFIRFilter*>(s.get());
    EXPECT_NE(f, nullptr);
    return f;
}

TEST(VFIRFilter, ReadsConsumeWholeStepsAndSeekSplitsPhase) {
    // P/Q = 3/4 (36000 -> 48000).
    auto s = DSP::FIR::makePolyphaseResampler(source({randomSignal(1000, 1)}, 36000, 0.0), 8.0,
                                              sampler(8.0), 0.0, 48000);
    DSP::FIR::VFIRFilter* f = firStage(s);
    ASSERT_EQ(f->resampler->numerator, 3u);
    ASSERT_EQ(f->resampler->denominator, 4u);
    Stream::Channels set(1);
    std::vector<double> buf(64);
    set[0] = reinterpret_cast<std::uint8_t*>(buf.data());
    auto& up = *f->upstream;

    const std::int64_t start = up.position;
    f->read({&set, 0, 0}, 0);
    EXPECT_EQ(f->phase, 0u);
    EXPECT_EQ(up.position, start);

    f->read({&set, 0, 5 * 8}, 5 * 8);
    EXPECT_EQ(f->phase, 1u);
    EXPECT_EQ(up.position - start, 3 * 8);

    f->seek(10 * 8);
    EXPECT_EQ(f->phase, 2u);
    EXPECT_EQ(up.position, 6 * 8);
}

TEST(VFIRFilter, LengthFollowsTheRatio) {
    // 397/432 (the direct 44100 -> 48000 grid ratio): 1000 input samples
    // give ceil(1000 x 432 / 397) = 1089 outputs. The stage adds its lead-in.
    auto s = DSP::FIR::makePolyphaseResampler(source({randomSignal(1000, 1)}, 39700, 0.0), 2.0,
                                              sampler(2.0), 0.0, 43200);
    DSP::FIR::VFIRFilter* f = firStage(s);
    const std::int64_t leadIn = f->resampler->leadIn;
    readAll(*s, 100);
    EXPECT_EQ(s->length, std::int64_t(std::ceil((1000.0 + leadIn) * 432 / 397)) * 8);
}

TEST(VFIRFilter, SilentInputGivesSilentOutputWithoutReadingIt) {
    // The source delivers Silence (and NaNs in the buffer) for all-zero runs;
    // a long silent stretch leads up to one impulse.
    Signal x(20000, 0.0);
    x[15000] = 1.0;
    auto s = DSP::FIR::makePolyphaseResampler(source({x}, 88200, 0.0, true), 23.0, sampler(23.0),
                                              0.0, 48000);
    const ReadResult r = readAll(*s, 10880, 256);
    EXPECT_GT(r.silentReads, 20);
    for (double v : r.data[0]) ASSERT_FALSE(std::isnan(v));
    double energy = 0;
    for (double v : r.data[0]) energy += v * v;
    EXPECT_GT(energy, 0.1);
}

}  // namespace

namespace {

// Accumulating adds exactly what storing writes, for one, two and three
// channels, run lengths that are not whole batches, on every instruction set.
using FixedResamplerKernels = IsaTesting::PerIsa<>;

TEST_P(FixedResamplerKernels, AccumulateAddsWhatStoreWrites) {
    const rational<unsigned> ratio(147, 80);
    const auto planned = planConvolution(0.0, 0.0, 23.0, ratio);
    Counted<DSP::FIR::FixedResampler> r(
        new DSP::FIR::FixedResampler(planned.plan, ratio, sampler(23.0)));
    // Outputs: groups of 8 and 4 cycles of Q = 80 sharing phases, then
    // runs of 4 and a remainder.
    const std::uint32_t n = 1003;
    const std::size_t inLen = r->inputNeeded(5, n) + 8;
    std::vector<Signal> in = {randomSignal(inLen, 1), randomSignal(inLen, 2),
                              randomSignal(inLen, 3)};
    // Past what the outputs need: not to be read (zero taps included).
    for (Signal& s : in) std::fill(s.begin() + r->inputNeeded(5, n), s.end(), std::nan(""));
    for (std::uint32_t channels = 1; channels <= 3; ++channels) {
        SCOPED_TRACE(testing::Message() << "channels " << channels);
        Stream::Channels source(channels), stored(channels), added(channels);
        std::vector<Signal> a(channels, Signal(n)), b(channels, Signal(n));
        for (std::uint32_t c = 0; c < channels; ++c) {
            source[c] = reinterpret_cast<std::uint8_t*>(in[c].data());
            b[c] = randomSignal(n, 10 + c);
            stored[c] = reinterpret_cast<std::uint8_t*>(a[c].data());
            added[c] = reinterpret_cast<std::uint8_t*>(b[c].data());
        }
        const std::vector<Signal> before = b;
        std::uint32_t p1 = 5, p2 = 5;
        DSP::FIR::ChannelSpan d1{&stored, 0, n, {}}, d2{&added, 0, n, {}};
        const std::uint32_t inBegin = 0, inEnd = static_cast<std::uint32_t>(inLen);
        const unsigned used1 = r->process(d1, source, inBegin, inEnd, {}, {}, p1, false);
        const unsigned used2 = r->process(d2, source, inBegin, inEnd, {}, {}, p2, true);
        EXPECT_EQ(used1, used2);
        EXPECT_EQ(p1, p2);
        EXPECT_EQ(p1, (5 + n) % 80);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < n; ++i)
                ASSERT_NEAR(b[c][i], before[c][i] + a[c][i], 1e-14) << c << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Isa, FixedResamplerKernels, IsaTesting::kEveryIsa, IsaTesting::IsaName());

// A 7.1 stage (four pairs, smaller peeks per channel) gives each channel
// what a stage of that channel alone gives.
using ManyChannels = IsaTesting::PerIsa<>;

TEST_P(ManyChannels, EachChannelAsAlone) {
    std::vector<Signal> x;
    for (unsigned c = 0; c < 8; ++c) x.push_back(randomSignal(30000, 20 + c));
    auto make = [](std::vector<Signal> in) {
        return DSP::FIR::makePolyphaseResampler(source(std::move(in), 88200, 0.0), 23.0,
                                                sampler(23.0), 0.0, 48000);
    };
    const std::size_t outLen = 16000;
    auto all = make(x);
    const ReadResult r = readAll(*all, outLen, 8192);
    for (unsigned c = 0; c < 8; ++c) {
        auto one = make({x[c]});
        const ReadResult alone = readAll(*one, outLen, 8192);
        for (std::size_t j = 0; j < outLen; ++j)
            ASSERT_NEAR(r.data[c][j], alone.data[0][j], 1e-12) << "channel " << c << " at " << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Isa, ManyChannels, IsaTesting::kEveryIsa, IsaTesting::IsaName());

}  // namespace
