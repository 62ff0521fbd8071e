// The peak meter against a reference from a long windowed sinc
// (support/TruePeakReference.h), and against an analytic inter-sample peak.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

#include "audio/format/KernelIsa.h"
#include "audio/format/PeakMeter.h"
#include "support/TruePeakReference.h"

namespace {

constexpr double kPi = std::numbers::pi;

double db(double v) {
    return 20 * std::log10(v);
}

struct Case {
    const char* name;
    std::function<double(long)> signal;  // at 48 kHz, 1200 frames
    std::function<double(long)> other = nullptr;  // a second channel, where a test asks for one
};

TEST(PeakMeter, ReadsSampleAndTruePeaksOfKnownSignals) {
    auto tone = [](double hz, double amplitude, double phase) {
        return [=](long i) { return amplitude * std::sin(2 * kPi * hz * i / 48000.0 + phase); };
    };
    // A step and a tone whose band ends below 0.44 fs (the interpolator's flat band):
    // raised-cosine edges of 16 samples.
    auto edge = [](long i) {
        const double t = std::clamp((i - 600) / 16.0, 0.0, 1.0);
        return 0.5 - 0.5 * std::cos(kPi * t);
    };
    const Case cases[] = {
        {"11025 Hz at 45 degrees", tone(11025, std::sqrt(2.0), kPi / 4)},
        {"tone near the band edge",
         [&](long i) { return edge(i + 600) * edge(1799 - i) * tone(20000, 1.0, 0.3)(i); }},
        {"full-scale DC", [](long) { return 1.0; }},
        {"full-scale step", edge},
        {"faded-in tone", [&](long i) { return edge(i) * tone(11025, 1.2, 0.7)(i); }},
        // Samples at 0.8, then (after silence) samples at 0.71 with points at 1.0 between them: the
        // meter skips only what cannot pass the peak so far. Cut off at a crest, the file starting
        // or ending there: the reconstruction rings before the first and after the last sample.
        {"a tone faded in, to the last sample",
         [&](long i) { return edge(i) * tone(12000, 1.0, kPi / 4)(i); }},
        {"a tone from its first sample, faded out",
         [&](long i) { return edge(1199 - i) * tone(12000, 1.0, kPi / 4)(i); }},
        {"peak between lower samples",
         [&](long i) {
             return i < 300 ? tone(1000, 0.8, 0.0)(i) : i < 500 ? 0.0 : tone(12000, 1.0, kPi / 4)(i);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> x(1200);
        for (long i = 0; i < 1200; ++i) x[i] = c.signal(i);
        // Stereo: channel 1 is channel 0 at half the level, in odd-sized blocks.
        std::vector<double> frames;
        for (double v : x) frames.insert(frames.end(), {v, v / 2});
        Audio::PeakMeter meter;
        meter.configure(2, 1.0, false);
        for (std::size_t f = 0; f < x.size(); f += 333)
            meter.process(frames.data() + 2 * f, std::min<std::size_t>(333, x.size() - f));
        const Audio::PeakReading& r = meter.finish();
        double samplePeak = 0;
        for (double v : x) samplePeak = std::max(samplePeak, std::fabs(v));
        EXPECT_DOUBLE_EQ(r.samplePeak[0], samplePeak);
        EXPECT_DOUBLE_EQ(r.samplePeak[1], samplePeak / 2);
        const double reference = db(TestSupport::ReferenceTruePeak(x));
        EXPECT_NEAR(db(r.truePeak[0]), reference, 0.05);
        EXPECT_NEAR(db(r.truePeak[1]), reference - db(2), 0.05);
        EXPECT_EQ(db(r.overallTruePeak()), db(r.truePeak[0]));
    }
}

TEST(PeakMeter, TheInterSampleToneReadsPlusThreeDecibels) {
    // fs/4 at 45 degrees: samples at +-1, peaks of sqrt(2) halfway between them; faded in
    // and out over 64 samples, as the held ends would add their own overshoot.
    std::vector<double> x(4800);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double fade = std::min({1.0, i / 64.0, (x.size() - 1 - i) / 64.0});
        x[i] = fade * std::sqrt(2.0) * std::sin(kPi * i / 2 + kPi / 4);
    }
    Audio::PeakMeter meter;
    meter.configure(1, 1.0, false);
    meter.process(x.data(), x.size());
    EXPECT_NEAR(db(meter.finish().truePeak[0]), 3.0103, 0.01);
    EXPECT_NEAR(db(meter.finish().samplePeak[0]), 0.0, 1e-9);
}

TEST(PeakMeter, ReadsTonesAcrossTheBandWithinTwoHundredthsOfADecibel) {
    // Steady tones up to 0.42 fs with slow fades (so the ends add no content above the
    // band): the interpolator's ripple, not the grid, decides the error.
    const double tones[][2] = {{997, 0.1},   {11025, 0.7}, {15000, 2.0},
                               {18000, 0.4}, {19000, 1.1}, {20160, 2.6}};
    for (const auto& [hz, phase] : tones) {
        SCOPED_TRACE(hz);
        std::vector<double> x(1200);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double edge = std::min({1.0, i / 300.0, (x.size() - 1 - i) / 300.0});
            x[i] = (0.5 - 0.5 * std::cos(kPi * edge)) * std::sin(2 * kPi * hz * i / 48000.0 + phase);
        }
        Audio::PeakMeter meter;
        meter.configure(1, 1.0, false);
        meter.process(x.data(), x.size());
        EXPECT_NEAR(db(meter.finish().truePeak[0]), db(TestSupport::ReferenceTruePeak(x)), 0.02);
    }
}

}  // namespace

namespace {

// The same channel fed alone, in stereo (the stereo path) and among three channels, in
// blocks of several sizes: the readings are those of one block of mono.
TEST(PeakMeter, ReadsTheSameWhateverTheLayoutAndBlocks) {
    std::vector<double> x(5000);
    for (std::size_t i = 0; i < x.size(); ++i) {
        // A tone at 45 degrees, louder for 300 samples in the middle: the skipped stretches
        // and the computed ones meet inside rounds.
        const double level = i >= 2600 && i < 2900 ? 1.3 : 0.4;
        x[i] = level * std::sin(kPi * double(i) / 2 + kPi / 4);
    }
    auto read = [&](std::uint32_t channels, std::size_t block) {
        std::vector<double> frames;
        for (double v : x)
            for (std::uint32_t c = 0; c < channels; ++c) frames.push_back(c == 0 ? v : 0.25 * v);
        Audio::PeakMeter meter;
        meter.configure(channels, 1.0, false);
        for (std::size_t f = 0; f < x.size(); f += block)
            meter.process(frames.data() + channels * f, std::min(block, x.size() - f));
        return meter.finish();
    };
    const Audio::PeakReading mono = read(1, x.size());
    EXPECT_NEAR(db(mono.truePeak[0]), db(TestSupport::ReferenceTruePeak(x)), 0.05);
    const struct {
        std::uint32_t channels;
        std::size_t block;
    } rows[] = {{1, 1}, {1, 333}, {2, 1}, {2, 7}, {2, 333}, {2, 5000}, {3, 64}, {3, 5000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.channels << " channels, blocks of " << row.block);
        const Audio::PeakReading r = read(row.channels, row.block);
        EXPECT_EQ(r.samplePeak[0], mono.samplePeak[0]);
        EXPECT_EQ(r.truePeak[0], mono.truePeak[0]);
        if (row.channels > 1) {
            EXPECT_NEAR(r.truePeak[1], 0.25 * mono.truePeak[0], 1e-6);
        }
    }
}

// The gates skip points only where they cannot raise the peak: the readings equal those of
// a meter that works out every point, on signals made to come close to the bounds. A meter of
// the overall true peak reads it alike, with the louder channel's peaks gating the other's.
TEST(PeakMeter, SkipsNoPointThatWouldRaiseThePeak) {
    std::uint32_t noise = 7;
    auto white = [&] {
        noise = noise * 1664525u + 1013904223u;
        return double(noise >> 8) / 8388608.0 - 1.0;
    };
    double low = 0;
    const Case cases[] = {
        {"notes, low-passed noise, swells",
         [&](long i) {
             low = 0.97 * low + 0.03 * white();
             const double swell = 0.5 + 0.4 * std::sin(2 * kPi * 3 * i / 48000.0);
             return swell * (0.3 * std::sin(2 * kPi * 220 * i / 48000.0) +
                             0.2 * std::sin(2 * kPi * 1661 * i / 48000.0 + 1) + low);
         }},
        {"a burst of inter-sample peaks after a louder slow tone",
         [](long i) {
             if (i >= 12000 && i < 12064)
                 return 0.6 * std::sqrt(2.0) * std::sin(kPi * i / 2 + kPi / 4);
             return (i < 6000 ? 0.8 : 0.3) * std::sin(2 * kPi * 50 * i / 48000.0);
         }},
        {"a slow tone rising by a hundred-thousandth a cycle",
         [](long i) { return (0.5 + 1e-5 * (i / 960)) * std::sin(2 * kPi * 50 * i / 48000.0); }},
        {"noise whose level steps up and down",
         [&](long i) { return (i / 3000 % 3 == 1 ? 0.9 : 0.3) * white(); }},
        {"the quieter channel's inter-sample peaks pass the louder channel's samples",
         [](long i) { return 0.95 * std::sin(2 * kPi * 50 * i / 48000.0); },
         [](long i) {  // samples at 0.85, +3 dB between them
             return i >= 20000 && i < 20064 ? 1.2 * std::sin(kPi * i / 2 + kPi / 4) : 0.0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> frames;
        for (long i = 0; i < 30000; ++i) {
            const double v = c.signal(i);
            frames.push_back(v);
            frames.push_back(c.other ? c.other(i) : -0.5 * v);
        }
        auto read = [&](bool everyPoint, Audio::PeakMeter::Scope scope) {
            Audio::detail::computeEveryPoint(everyPoint);
            Audio::PeakMeter meter(true, scope);
            meter.configure(2, 1.0, false);
            for (std::size_t f = 0; f < 30000; f += 1000)
                meter.process(frames.data() + 2 * f, 1000);
            const Audio::PeakReading r = meter.finish();
            Audio::detail::computeEveryPoint(false);
            return r;
        };
        using Scope = Audio::PeakMeter::Scope;
        const Audio::PeakReading full = read(true, Scope::PerChannel);
        EXPECT_EQ(read(false, Scope::PerChannel).truePeak, full.truePeak);
        EXPECT_EQ(read(false, Scope::Overall).overallTruePeak(), full.overallTruePeak());
    }
}

// The gates' bounds are reached, around the interval from x[at] to x[at + 1], by its half-way
// point, above every other point; an earlier sample sets the peak just below that point, so a
// bound too small by 1 % skips it, on every kernel set and in every lane of a vector.
// - The taps' gain times the largest sample: the samples are +-A with the signs of their taps.
// - The cheaper bound: the samples beyond the central four step by d, each step with the sign
//   of its weight in the bound (the first differences' weights, the samples' tap sums from the
//   outside in), and the two middle samples lie d above the outer ones.
TEST(PeakMeter, ReadsPointsBuiltToReachTheGatesBounds) {
    const std::vector<double> h = Audio::detail::interpolatorTaps(2);
    const long taps = long(h.size()), half = taps / 2, lo = half - 2, hi = half + 1;
    auto weight = [&](long m) {  // of x(m) - x(m - 1), tap indices outside lo + 1 .. hi
        double w = 0;
        for (long j = 0; j < taps; ++j) w += m <= lo ? -(j < m) * h[j] : (j >= m) * h[j];
        return w;
    };
    constexpr double kLevel = 0.5, kStep = 0.05, kSign = 0.4;
    for (const bool cheaper : {false, true}) {
        for (long at = 4000; at < 4016; ++at) {
            std::vector<double> x(6000, cheaper ? kLevel : 0.0);
            auto tap = [&](long j) -> double& { return x[at + j + 1 - half]; };
            if (cheaper) {
                tap(lo + 1) = tap(lo + 2) = kLevel + kStep;
                for (long j = lo - 1; j >= 0; --j)
                    tap(j) = tap(j + 1) - std::copysign(kStep, weight(j + 1));
                for (long j = hi + 1; j < taps; ++j)
                    tap(j) = tap(j - 1) + std::copysign(kStep, weight(j));
            } else {
                for (long j = 0; j < taps; ++j) tap(j) = std::copysign(kSign, h[j]);
            }
            double point = 0;
            for (long j = 0; j < taps; ++j) point += h[j] * tap(j);
            x[2000] = point - 1e-4;

            for (Audio::KernelIsa isa :
                 {Audio::KernelIsa::Portable, Audio::KernelIsa::AVX2, Audio::KernelIsa::AVX512}) {
                if (!Audio::selectKernelIsa(isa)) continue;
                for (auto scope :
                     {Audio::PeakMeter::Scope::PerChannel, Audio::PeakMeter::Scope::Overall}) {
                    SCOPED_TRACE(testing::Message()
                                 << (cheaper ? "cheaper" : "gain") << " bound, at " << at
                                 << ", set " << static_cast<int>(isa) << ", scope "
                                 << static_cast<int>(scope));
                    Audio::PeakMeter meter(true, scope);
                    meter.configure(1, 1.0, false);
                    meter.process(x.data(), x.size());
                    EXPECT_NEAR(meter.finish().truePeak[0], point, 1e-6);
                }
            }
        }
    }
    Audio::resetKernelIsa();
}

TEST(PeakMeter, CountsNonFiniteSamplesOnEveryPath) {
    // Frames 3 (NaN) and 21 (infinity, in the stereo path's tail after 16 frames).
    for (std::uint32_t channels : {1u, 2u, 3u}) {
        SCOPED_TRACE(channels);
        std::vector<double> frames(21 * channels + channels, 0.5);
        frames[3 * channels + channels - 1] = std::nan("");
        frames[21 * channels] = INFINITY;
        Audio::PeakMeter meter;
        meter.configure(channels, 1.0, false);
        meter.process(frames.data(), 22);
        const Audio::PeakReading& r = meter.finish();
        EXPECT_EQ(r.nonFinite, 2u);
        EXPECT_EQ(r.samplePeak[0], INFINITY);
        if (channels > 1) {
            EXPECT_EQ(r.samplePeak[channels - 1], 0.5);  // the NaN is not a peak
        }
    }
}

// Every kernel set reads what the portable code reads: the same sample peaks, clamped and
// non-finite counts, true peaks up to float rounding (fused multiply-adds). Blocks of odd
// lengths leave every kernel a tail; the NaN and the infinity fall inside vectors; the
// clamp limits are passed in a few places only.
TEST(PeakMeter, EveryKernelSetReadsAlike) {
    std::uint32_t noise = 11;
    auto white = [&] {
        noise = noise * 1664525u + 1013904223u;
        return double(noise >> 8) / 8388608.0 - 1.0;
    };
    auto make = [&](std::uint32_t channels) {
        std::vector<double> frames;
        for (long i = 0; i < 4099; ++i)
            for (std::uint32_t c = 0; c < channels; ++c)
                frames.push_back((0.6 + 0.2 * c) * std::sin(2 * kPi * 3001 * i / 48000.0 + c) +
                                 0.5 * white());
        frames[77 * channels] = std::nan("");
        frames[1201 * channels + channels - 1] = -INFINITY;
        return frames;
    };
    const std::vector<double> input[] = {make(2), make(3)};
    auto read = [&](std::uint32_t channels) {
        const std::vector<double>& frames = input[channels - 2];
        Audio::PeakMeter meter;
        meter.configure(channels, 0.9, true);
        for (std::size_t f = 0, block = 1000; f < 4099; f += block, block = 1099 - block) {
            const std::size_t n = std::min<std::size_t>(block, 4099 - f);
            meter.process(frames.data() + channels * f, n, f);
            meter.countClamped(frames.data() + channels * f, channels * n, -1.2, 1.2, f);
        }
        return meter.finish();
    };
    ASSERT_TRUE(Audio::selectKernelIsa(Audio::KernelIsa::Portable));
    const Audio::PeakReading stereo = read(2), three = read(3);
    ASSERT_GT(stereo.clamped, 0u);
    ASSERT_LT(stereo.clamped, 400u);
    for (Audio::KernelIsa isa : {Audio::KernelIsa::AVX2, Audio::KernelIsa::AVX512}) {
        if (!Audio::selectKernelIsa(isa)) continue;
        SCOPED_TRACE(static_cast<int>(isa));
        for (const auto& [channels, ref] : {std::pair{2u, stereo}, std::pair{3u, three}}) {
            const Audio::PeakReading r = read(channels);
            EXPECT_EQ(r.samplePeak, ref.samplePeak);
            EXPECT_EQ(r.clamped, ref.clamped);
            EXPECT_EQ(r.nonFinite, ref.nonFinite);
            for (std::uint32_t c = 0; c + 1 < channels; ++c)  // the last holds the infinity
                EXPECT_NEAR(r.truePeak[c], ref.truePeak[c], 1e-5 * ref.truePeak[c]);
            EXPECT_EQ(r.truePeak[channels - 1], INFINITY);
        }
    }
    Audio::resetKernelIsa();
}

// Every kernel set counts one value out of range wherever it falls: in a vector, in the tail
// after the vectors, among NaNs.
TEST(PeakMeter, EveryKernelSetCountsALoneClamp) {
    for (Audio::KernelIsa isa :
         {Audio::KernelIsa::Portable, Audio::KernelIsa::AVX2, Audio::KernelIsa::AVX512}) {
        if (!Audio::selectKernelIsa(isa)) continue;
        for (std::size_t at : {0u, 7u, 8u, 20u, 22u}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(isa) << " at " << at);
            std::vector<double> values(22, 0.25);  // eleven stereo frames
            values[3] = std::nan("");
            if (at < values.size()) values[at] = at % 2 ? -1.5 : 1.0;
            Audio::PeakMeter meter;
            meter.configure(2, 1.0, true);
            meter.countClamped(values.data(), values.size(), -1.0, 1.0, 0);
            EXPECT_EQ(meter.finish().clamped, at < values.size() ? 1u : 0u);
        }
    }
    Audio::resetKernelIsa();
}

}  // namespace
