// What a delivery needs from a job: its peaks measured and reported, clipping
// prevented or failed on request, exact lengths, reproducible dither.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numbers>
#include <ranges>
#include <string_view>

#include "audio/format/Translator.h"
#include "audio/io/OpenFile.h"
#include "job/Conversion.h"
#include "job/JobQueue.h"
#include "support/IOTestUtil.h"
#include "support/JobRows.h"
#include "support/TruePeakReference.h"
#include "support/WavFiles.h"

namespace fs = std::filesystem;
using Audio::Format;

namespace {

constexpr double kPi = std::numbers::pi;
const Format kInt24 = Format::FromBytes(0x23, 24, 0, 0, 48000.0f);
const Format kFp64 = Format::FromBytes(0x48, 1, 0, 0, 48000.0f);

double db(double v) {
    return 20 * std::log10(v);
}

// The int24 design (the settings model fills snrDb in the same way).
ConversionSettings settings() {
    ConversionSettings s;
    s.snrDb = 145;
    return s;
}

class Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tessival_delivery_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    Filesystem::Path path(const std::string& leaf) const {
        return Filesystem::Path::Parse((dir / leaf).string(), Filesystem::Path::Kind::File);
    }
    // Mono 64-bit float input of `frames` frames at `rate`.
    Filesystem::Path input(const std::string& leaf, std::uint32_t rate, std::uint32_t frames,
                           std::function<double(std::uint32_t)> gen) {
        TestSupport::writeWavF64(dir / leaf, rate, frames, gen);
        return path(leaf);
    }
    // The samples of an output, full scale 1.0.
    static std::vector<double> samples(const Filesystem::Path& file) {
        auto s = Audio::IO::OpenFile(file, nullptr, nullptr);
        Format f = s.format();
        auto d = Audio::FormatTranslator::MakeAndApply(
            std::move(s), Format::FromBytes(0x48, 1, 0, f.channels(), f.sampleRate), 1);
        const auto bytes = IOTest::ReadAll(*d);
        std::vector<double> v(bytes.size() / 8);
        if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 8);  // (null when empty)
        return v;
    }
    static std::string bytesOf(const Filesystem::Path& file) {
        std::ifstream f(file.NativeText(), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    fs::path dir;
};

// Records the shares of the bar a job reports.
struct Progress final : Stream::iDrainProgress {
    bool progress(std::uint32_t done, std::uint32_t total, bool) override {
        if (total) shares.push_back(double(done) / total);
        return true;
    }
    void finished() override { ++ends; }
    std::vector<double> shares;
    int ends = 0;
};

// Raised-cosine fade over the first and last 64 frames of n.
double fade(std::uint32_t i, std::uint32_t n) {
    const double t = std::min({1.0, i / 64.0, (n - 1 - i) / 64.0});
    return 0.5 - 0.5 * std::cos(kPi * t);
}

TEST_F(Delivery, PeaksAndClampsOfKnownSignals) {
    constexpr std::uint32_t n = 2646;
    struct Case {
        const char* name;
        std::function<double(std::uint32_t)> gen;  // at 44100 Hz
        double truePeakDbtp;                       // analytic; NaN: the reference alone
    } cases[] = {
        // Samples at +-1, peaks of sqrt(2) between them.
        {"11025 Hz at 45 degrees",
         [](std::uint32_t i) { return fade(i, n) * std::sqrt(2.0) * std::sin(kPi * i / 2 + kPi / 4); },
         3.0103},
        {"full-scale step", [](std::uint32_t i) { return i < n / 2 ? -1.0 : 1.0; }, NAN},
        {"full-scale DC", [](std::uint32_t) { return 1.0; }, NAN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto in = input("in.wav", 44100, n, c.gen);
        PeakFigures f64, i24;
        const std::vector<double> x = samples(ConvertFile(in, kFp64, settings(), nullptr, {}, nullptr, nullptr, &f64));
        ConvertFile(in, kInt24, settings(), nullptr, {}, nullptr, nullptr, &i24);
        double peak = 0;
        std::uint64_t over = 0, near = 0;
        for (double v : x) {
            peak = std::max(peak, std::fabs(v));
            // Clamped in int24 unless dither (one step) pulls it back, and the other way round.
            const double units = v * 8388608.0;
            over += units >= 8388606.5 || units < -8388608.5;
            near += std::fabs(std::fabs(units) - 8388607.5) <= 1.5;
        }
        EXPECT_NEAR(f64.overallSamplePeakDbfs, db(peak), 1e-9);
        EXPECT_NEAR(f64.truePeakDbtp, db(TestSupport::ReferenceTruePeak(x)), 0.05);
        if (!std::isnan(c.truePeakDbtp)) {
            EXPECT_NEAR(f64.truePeakDbtp, c.truePeakDbtp, 0.05);
        }
        EXPECT_EQ(f64.clampedSamples, 0u);
        EXPECT_NEAR(i24.truePeakDbtp, f64.truePeakDbtp, 1e-6);
        EXPECT_NEAR(static_cast<double>(i24.clampedSamples), static_cast<double>(over),
                    static_cast<double>(near));
        EXPECT_EQ(i24.clampedSamples > 0, peak > 1.0);
        EXPECT_EQ(f64.worthTelling(), peak > 1.0 || f64.truePeakDbtp > 0);
    }
}

TEST_F(Delivery, PreventClippingLowersTheGainJustEnough) {
    constexpr std::uint32_t n = 441000;  // progress is reported once per mebibyte
    const auto in = input("tone.wav", 44100, n, [](std::uint32_t i) {
        return fade(i, n) * std::sqrt(2.0) * std::sin(kPi * i / 2 + kPi / 4);
    });
    PeakFigures first;
    fs::remove(ConvertFile(in, kFp64, settings(), nullptr, {}, nullptr, nullptr, &first).NativeText());
    const double samplePeak = std::pow(10.0, first.overallSamplePeakDbfs / 20);
    const double truePeak = std::pow(10.0, first.truePeakDbtp / 20);
    struct Case {
        std::optional<double> ceiling;
        double limit;  // of the measured peak, linear
        bool onTruePeak;
    } cases[] = {{std::nullopt, (8388608.0 - 1.5) / 8388608.0, false}, {-1.0, std::pow(10, -0.05), true}};
    for (const Case& c : cases) {
        ConversionSettings s = settings();
        s.preventClipping = true;
        s.ceilingDbtp = c.ceiling;
        PeakFigures got;
        Progress progress;
        std::vector<std::string> warnings;
        const Filesystem::Path out =
            ConvertFile(in, kInt24, s, &progress, {}, &warnings, nullptr, &got);
        // The cut is told as made, however small ("0.00" for a cut of 0.0009 dB would not be).
        ASSERT_EQ(warnings.size(), 1u);
        double told = 0;
        ASSERT_EQ(std::sscanf(warnings[0].c_str(), "gain lowered by %lf dB", &told), 1)
            << warnings[0];
        EXPECT_NEAR(told, -20 * std::log10(got.gain), 0.006) << warnings[0];
        EXPECT_GT(told, 0.0) << warnings[0];
        // One bar over both passes: never backwards, one end.
        EXPECT_TRUE(std::is_sorted(progress.shares.begin(), progress.shares.end()));
        EXPECT_GT(progress.shares.size(), 1u);
        EXPECT_LE(progress.shares.back(), 1.0);
        EXPECT_EQ(progress.ends, 1);
        const double g = c.limit / (c.onTruePeak ? truePeak : samplePeak);
        EXPECT_EQ(got.passes, 2);
        EXPECT_LE(got.gain, g);
        EXPECT_GT(got.gain, g - std::pow(10.0, std::floor(std::log10(g)) - 3));  // 4 digits
        EXPECT_EQ(got.clampedSamples, 0u);
        if (c.ceiling) {
            EXPECT_LE(got.truePeakDbtp, *c.ceiling);
        }
        char name[32];
        std::snprintf(name, sizeof name, "gain=%.4g ", got.gain);
        EXPECT_NE(out.Leaf().find(name), std::string::npos) << out.Leaf();
        double peak = 0;
        for (double v : samples(out)) peak = std::max(peak, std::fabs(v));
        EXPECT_LT(peak * 8388608.0, 8388607.0);
        fs::remove(out.NativeText());
    }
    // Only the input is left: the first passes' files are gone.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// At 8 bits a step is 0.8 % of full scale: the second pass keeps the peak 1.5 steps below it
// (dither and rounding), so it clamps nothing and no third pass is needed.
TEST_F(Delivery, PreventClippingHoldsAtEightBits) {
    const auto in =
        input("loud.wav", 44100, 44100, [](std::uint32_t i) { return 1.2 * std::sin(i * 0.05); });
    ConversionSettings s = settings();
    s.preventClipping = true;
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        s.ditherSeed = seed;
        PeakFigures got;
        fs::remove(ConvertFile(in, Format::FromBytes(0x21, 8, 0, 0, 48000.0f), s, nullptr, {},
                               nullptr, nullptr, &got)
                       .NativeText());
        EXPECT_EQ(got.passes, 2) << seed;
        EXPECT_EQ(got.clampedSamples, 0u) << seed;
    }
}

// At the same rate a job with nothing to filter writes the input's samples: a whole sync offset
// changes nothing, and a gain (asked for, or --prevent-clipping's second pass) scales them (it
// went through the filter, cut above 20 kHz and 113 frames longer).
TEST_F(Delivery, AtTheSameRateNothingIsFilteredButWhatIsAsked) {
    constexpr std::uint32_t n = 4410;
    // Full-band noise (a filter would change every sample) beyond full scale.
    std::uint32_t state = 1;
    std::vector<double> x(n);
    for (double& v : x) {
        state = state * 1664525u + 1013904223u;
        v = std::ldexp(static_cast<double>(state >> 8), -23) - 1.0;
    }
    for (std::uint32_t i = 100; i < 110; ++i) x[i] = 1.25;  // a float master's overs
    const auto in = input("noise.wav", 44100, n, [&](std::uint32_t i) { return x[i]; });
    const Format int24 = Format::FromBytes(0x23, 24, 0, 0, 0.0f);  // the input's rate
    struct Case {
        const char* what;
        std::function<void(ConversionSettings&)> set;
        bool lowered;  // by --prevent-clipping
    } cases[] = {
        {"a whole sync offset", [](ConversionSettings& s) { s.syncOffset = 3; }, false},
        {"a negative one", [](ConversionSettings& s) { s.syncOffset = -2.5; }, false},
        {"the second pass", [](ConversionSettings& s) { s.preventClipping = true; }, true},
        // A gain asked for went through the filters: 63 frames longer, cut above 20 kHz.
        {"a gain", [](ConversionSettings& s) { s.gain = 0.5; }, false},
        {"a gain, then the second pass",
         [](ConversionSettings& s) { s.gain = 0.9, s.preventClipping = true; }, true},
    };
    for (const Case& c : cases) {
        ConversionSettings s = settings();
        s.ditherSeed = 5;
        c.set(s);
        PeakFigures peaks;
        const Filesystem::Path out =
            ConvertFile(in, int24, s, nullptr, {}, nullptr, nullptr, &peaks);
        const std::vector<double> y = samples(out);
        ASSERT_EQ(y.size(), n) << c.what;
        const double g = c.lowered ? peaks.gain : s.gain;
        if (c.lowered) {
            EXPECT_LT(g, 1.0) << c.what;
        }
        double worst = 0;
        for (std::uint32_t i = 0; i < n; ++i)
            worst = std::max(worst, std::fabs(y[i] - std::min(g * x[i], 1.0 - 0x1p-23)));
        EXPECT_LT(worst * 8388608.0, 2.0) << c.what << ": the input's samples within the dither";
        fs::remove(out.NativeText());
    }
}

// A ceiling holds in the file written, quantisation included: one step of an int8 output is
// 0.07 dB at -1 dBFS (the file's true peak was 0.12 dB above the ceiling). The warning says
// what lowered the gain: above 0 dBTP an integer output's clipping may have (it named the
// ceiling alone), and a ceiling of -0 reads +0.00.
TEST_F(Delivery, TheCeilingHoldsInTheQuantisedFile) {
    constexpr std::uint32_t n = 2400;
    const auto in = input("tones.wav", 48000, n, [](std::uint32_t i) {
        return 0.499 * (std::sin(2 * kPi * 997 * i / 48000) + std::sin(2 * kPi * 1499 * i / 48000));
    });
    const struct {
        double gain, ceiling;
        const char* said;
    } rows[] = {
        {1.0, -1.0, "so that the true peak stays at or below -1.00 dBTP"},
        {1.5, 2.0, "so that the output does not clip and its true peak stays at or below +2.00"},
        {1.5, -0.0, "so that the true peak stays at or below +0.00 dBTP"},
        // Under an 8-bit step no gain reaches it: the file is kept as it is, and said so (it
        // was "done" without a word); one that clipped is kept from clipping.
        {1.0, -45.0, "the true peak was not brought under the ceiling (peak "},
        {1.5, -45.0,
         "above the ceiling of -45.00 dBTP): no lower gain reaches the limit with this sample "
         "type's steps|so that the output does not clip"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.said);
        ConversionSettings s;
        s.snrDb = 49;
        s.gain = r.gain;
        s.preventClipping = true;
        s.ceilingDbtp = r.ceiling;
        s.ditherSeed = 2;
        std::vector<std::string> warnings;
        const Filesystem::Path out = ConvertFile(in, Format::FromBytes(0x21, 8, 0, 0, 48000.0f), s,
                                                 nullptr, {}, &warnings, nullptr, nullptr);
        const double peak = db(TestSupport::ReferenceTruePeak(samples(out)));
        if (r.ceiling > -40)
            EXPECT_LE(peak, r.ceiling);
        else
            EXPECT_GT(peak, -1.0);  // at full level, not lowered towards the ceiling
        // Every part of `said` (between '|') in one of the warnings.
        std::string all;
        for (const std::string& w : warnings) all += w + "\n";
        for (const auto part : std::views::split(std::string_view(r.said), '|'))
            EXPECT_NE(all.find(std::string_view(part.begin(), part.end())), std::string::npos)
                << all;
        fs::remove(out.NativeText());
    }
}

// An earlier output of the first pass's name (gain=1.00, clipped) is not what this job writes:
// --if-exists skip and fail look at the name the job ends with. (Skip reported the clipped file
// as the result, fail refused a file that did not exist.)
TEST_F(Delivery, PreventClippingChecksTheNameItEndsWith) {
    const auto in =
        input("loud.wav", 44100, 4410, [](std::uint32_t i) { return 1.5 * std::sin(i * 0.1); });
    const Filesystem::Path clipped = ConvertFile(in, kInt24, settings(), nullptr);
    ConversionSettings s = settings();
    s.preventClipping = true;
    for (IfExists how : {IfExists::Skip, IfExists::Fail}) {
        OutputOptions o;
        o.ifExists = how;
        const Filesystem::Path out = ConvertFile(in, kInt24, s, nullptr, o);
        EXPECT_NE(out.NativeText(), clipped.NativeText());
        EXPECT_TRUE(fs::exists(clipped.NativeText()));
        // Now the name it ends with is taken.
        if (how == IfExists::Skip)
            EXPECT_THROW(ConvertFile(in, kInt24, s, nullptr, o), OutputExists);
        else
            EXPECT_THROW(ConvertFile(in, kInt24, s, nullptr, o), std::runtime_error);
        fs::remove(out.NativeText());
    }
}

TEST_F(Delivery, FailOnClipLeavesNoFile) {
    const auto in = input("loud.wav", 44100, 4410, [](std::uint32_t i) { return 1.5 * std::sin(i * 0.1); });
    ConversionSettings s;
    s.failOnClip = true;
    try {
        ConvertFile(in, kInt24, s, nullptr);
        FAIL() << "converted";
    } catch (const ClippedOutput& e) {
        EXPECT_EQ(std::string(e.what()).rfind("failed, clipped ", 0), 0u) << e.what();
        EXPECT_GT(e.peaks.clampedSamples, 0u);
    }
    // A float output does not clamp, but its overs clip as well, and the reason says so.
    try {
        ConvertFile(in, kFp64, s, nullptr);
        ADD_FAILURE() << "converted";
    } catch (const ClippedOutput& e) {
        EXPECT_NE(std::string(e.what()).find("samples above full scale"), std::string::npos)
            << e.what();
    }
    // One clamped sample is enough (at the input's rate nothing spreads it).
    const auto one = input("one.wav", 44100, 4410, [](std::uint32_t i) {
        return i == 2000 ? 1.5 : 0.25 * std::sin(i * 0.1);
    });
    try {
        ConvertFile(one, Format::FromBytes(0x23, 24, 0, 0, 0.0f), s, nullptr);
        ADD_FAILURE() << "converted";
    } catch (const ClippedOutput& e) {
        EXPECT_EQ(std::string(e.what()).rfind("failed, clipped 1 sample", 0), 0u) << e.what();
        EXPECT_EQ(e.peaks.clampedSamples, 1u);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    // A float master that peaks at full scale exactly does not clip.
    const auto full = input("full.wav", 44100, 4410, [](std::uint32_t i) {
        return i == 100 ? 1.0 : 0.5 * std::sin(i * 0.1);
    });
    EXPECT_NO_THROW(fs::remove(
        ConvertFile(full, Format::FromBytes(0x48, 1, 0, 0, 0.0f), s, nullptr).NativeText()));
    // A ceiling of the user's own is then the limit, above full scale too (+3.5 dBFS here).
    s.ceilingDbtp = 6.0;
    EXPECT_NO_THROW(fs::remove(ConvertFile(in, kFp64, s, nullptr).NativeText()));
    s.ceilingDbtp = 3.0;
    EXPECT_THROW(ConvertFile(in, kFp64, s, nullptr), ClippedOutput);
    // --prevent-clipping then brings the true peak to that ceiling, not the samples to full scale.
    s.failOnClip = false;
    s.preventClipping = true;
    PeakFigures got;
    fs::remove(ConvertFile(in, kFp64, s, nullptr, {}, nullptr, nullptr, &got).NativeText());
    EXPECT_EQ(got.passes, 2);
    EXPECT_LE(got.truePeakDbtp, 3.0);
    EXPECT_GT(got.truePeakDbtp, 2.99);
}

TEST_F(Delivery, ExactLengths) {
    constexpr std::uint32_t n = 10007;
    const struct {
        std::uint32_t in;
        float out;
        double speed;
        std::int64_t frames;  // round(n out / (in speed))
    } cases[] = {{44100, 48000, 1.0, 10892},  {96000, 44100, 1.0, 4597}, {48000, 44100, 1.0, 9194},
                 {44100, 88200, 1.0, 20014}, {44100, 44100, 1.01, 9908}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ExactOutputFrames(n, c.in, c.out, c.speed), c.frames);
        const auto in = input("x.wav", c.in, n, [](std::uint32_t i) { return 0.5 * std::sin(i * 0.05); });
        ConversionSettings s;
        s.speed = c.speed;
        s.exactLength = true;
        Format req = kInt24;
        req.sampleRate = c.out;
        const auto out = ConvertFile(in, req, s, nullptr);
        EXPECT_EQ(static_cast<std::int64_t>(samples(out).size()), c.frames);
        s.exactLength = false;  // today's length: the post-ring stays
        EXPECT_GT(static_cast<std::int64_t>(samples(ConvertFile(in, req, s, nullptr)).size()),
                  c.frames);
    }
    // One frame in, one out.
    const auto one = input("one.wav", 44100, 1, [](std::uint32_t) { return 1.0; });
    ConversionSettings s;
    s.exactLength = true;
    PeakFigures p;
    EXPECT_EQ(samples(ConvertFile(one, kInt24, s, nullptr, {}, nullptr, nullptr, &p)).size(), 1u);
    EXPECT_TRUE(std::isfinite(p.truePeakDbtp));
    // Nothing in, nothing out (the filters' tail of silence and dither was kept).
    const auto none = input("none.wav", 96000, 0, [](std::uint32_t) { return 0.0; });
    for (float rate : {44100.0f, 48000.0f, 192000.0f}) {
        Format req = kInt24;
        req.sampleRate = rate;
        EXPECT_EQ(samples(ConvertFile(none, req, s, nullptr)).size(), 0u) << rate;
    }
    // A kept pre-ring is the whole of it: what one frame in gives, less that frame's share (an
    // empty file gave what the chain made of nothing, 9 frames at 48000 Hz, where a pipe gave
    // the pre-ring).
    s.cropPreRing = false;
    const auto oneAt96k = input("one96.wav", 96000, 1, [](std::uint32_t) { return 0.5; });
    for (float rate : {8000.0f, 48000.0f, 88200.0f}) {
        Format req = kInt24;
        req.sampleRate = rate;
        const std::size_t preRing = samples(ConvertFile(oneAt96k, req, s, nullptr)).size() -
                                    std::size_t(ExactOutputFrames(1, 96000, rate, 1.0));
        EXPECT_GT(preRing, 0u) << rate;
        EXPECT_EQ(samples(ConvertFile(none, req, s, nullptr)).size(), preRing) << rate;
    }
}

// A relabelled rate (no output rate asked for) copies every frame: the exact length is the
// input's. The float rate, 44100 x 0.7437 = 32797.171875, is not exactly the rate meant, and
// gave 9000001 frames of 9000000 (one more every 9 million).
TEST_F(Delivery, ARelabelKeepsItsLength) {
    constexpr std::uint32_t n = 9000000;
    const IOTest::Bytes bytes =
        IOTest::Group("RIFF", "WAVE",
                      {IOTest::Chunk("fmt ", IOTest::FmtPayload(1, 1, 44100, 2, 16)),
                       IOTest::Chunk("data", IOTest::Bytes(2 * n, 1))});
    std::ofstream(dir / "long.wav", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ConversionSettings s;
    s.speed = 0.7437;
    s.exactLength = true;
    const auto out =
        ConvertFile(path("long.wav"), Format::FromBytes(0x22, 16, 0, 0, 0.0f), s, nullptr);
    EXPECT_EQ(Audio::IO::OpenFile(out, nullptr, nullptr)->length, std::int64_t{2} * n);
}

// The figures describe the frames written: the tail that --exact-length cuts is not measured
// (it made a good one-frame output "clipped 1 sample, peak +3.34 dBFS", deleted by
// --fail-on-clip). A step at the very end of the input rings in the tail.
TEST_F(Delivery, PeaksAreThoseOfTheFramesWritten) {
    const auto in = input("end.wav", 384000, 60, [](std::uint32_t i) {
        return i == 58 ? -0.9 : i == 59 ? 0.9 : 0.0;
    });
    for (bool exact : {false, true})
        for (bool keep : {false, true}) {
            SCOPED_TRACE(testing::Message() << "exact " << exact << ", pre-ring kept " << keep);
            ConversionSettings s;
            s.exactLength = exact;
            s.cropPreRing = !keep;
            Format req = kFp64;
            req.sampleRate = 8000.0f;
            PeakFigures p;
            const Filesystem::Path out = ConvertFile(in, req, s, nullptr, {}, nullptr, nullptr, &p);
            double peak = 0;
            for (double v : samples(out)) peak = std::max(peak, std::fabs(v));
            EXPECT_NEAR(p.overallSamplePeakDbfs, 20 * std::log10(peak), 1e-9);
            fs::remove(out.NativeText());
        }
    // A copy of steady DC reads its level as its true peak: the block read past the end (silence
    // the writer never writes) is not measured as a drop to silence (+1.1 dB).
    const auto dc = input("dc.wav", 44100, 5000, [](std::uint32_t) { return 0.5; });
    for (bool exact : {false, true}) {
        ConversionSettings s;
        s.exactLength = exact;
        Format req = kFp64;
        req.sampleRate = 0.0f;
        PeakFigures p;
        fs::remove(ConvertFile(dc, req, s, nullptr, {}, nullptr, nullptr, &p).NativeText());
        EXPECT_NEAR(p.truePeakDbtp, 20 * std::log10(0.5), 1e-6) << "exact " << exact;
    }
    // A fractional sync offset at the same rate: the crop's first read passes over pre-ring
    // frames it does not write. Measured, they took the place of the last frames written (an
    // end that rings to +0.18 dBFS read +0.07) and hid the step from the first value held
    // into the ringing (DC at 0.5 read 0.3 dB low).
    const auto ends =
        input("ends.wav", 44100, 1500, [](std::uint32_t i) { return i < 1440 ? 0.1 : 0.9; });
    for (bool exact : {false, true}) {
        SCOPED_TRACE(testing::Message() << "sync offset, exact " << exact);
        ConversionSettings s;
        s.exactLength = exact;
        s.syncOffset = 0.5;
        Format req = kFp64;
        req.sampleRate = 0.0f;
        PeakFigures p;
        const Filesystem::Path out = ConvertFile(ends, req, s, nullptr, {}, nullptr, nullptr, &p);
        const std::vector<double> x = samples(out);
        double peak = 0;
        for (double v : x) peak = std::max(peak, std::fabs(v));
        EXPECT_NEAR(p.overallSamplePeakDbfs, db(peak), 1e-9);
        EXPECT_NEAR(p.truePeakDbtp, db(TestSupport::ReferenceTruePeak(x)), 0.03);
        fs::remove(out.NativeText());
    }
}

// 32-bit floats end near +770 dBFS: an output beyond would hold infinities, reported "done".
TEST_F(Delivery, AFloatOutputBeyondItsRangeFails) {
    const auto in =
        input("f.wav", 44100, 4410, [](std::uint32_t i) { return 0.5 * std::sin(i * 0.1); });
    ConversionSettings s;
    s.gain = 1e40;
    try {
        ConvertFile(in, Format::FromBytes(0x44, 1, 0, 0, 48000.0f), s, nullptr);
        ADD_FAILURE() << "converted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("beyond the range of 32-bit floats"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_NO_THROW(ConvertFile(in, kFp64, s, nullptr));  // doubles hold it
}

TEST_F(Delivery, SeedMakesTheDitherReproducible) {
    const auto in = input("d.wav", 44100, 4410, [](std::uint32_t i) { return 0.3 * std::sin(i * 0.01); });
    ConversionSettings s;
    Format req = Format::FromBytes(0x22, 16, 0, 0, 44100.0f);
    auto run = [&] { return bytesOf(ConvertFile(in, req, s, nullptr)); };
    const std::string a = run(), b = run();
    EXPECT_NE(a, b);
    s.ditherSeed = 7;
    const std::string c = run(), d = run();
    EXPECT_EQ(c, d);
    s.ditherSeed = 8;
    EXPECT_NE(run(), c);
}

TEST_F(Delivery, TheStateTextTellsOfClipsAndBadSamples) {
    // Overs, and a NaN that is converted as silence.
    const auto in = input("bad.wav", 44100, 4410, [](std::uint32_t i) {
        return i == 100 ? std::nan("") : 1.5 * std::sin(i * 0.1);
    });
    JobQueue queue(1u);
    TestSupport::TestRow kept(in), failed(in);
    ConversionRequest request;
    request.outputRate = 48000;
    request.sampleType = SampleType::Int24;
    request.settings.snrDb = 145;
    queue.Submit(kept, request);
    ASSERT_TRUE(queue.WaitIdle(std::chrono::seconds(60)));
    request.settings.failOnClip = true;
    queue.Submit(failed, request);
    ASSERT_TRUE(queue.WaitIdle(std::chrono::seconds(60)));
    EXPECT_EQ(kept.state, JobState::Finished);
    EXPECT_EQ(kept.text().rfind("done, clipped ", 0), 0u) << kept.text();
    EXPECT_NE(kept.text().find(" dBTP; 1 non-finite sample (NaN or infinity)"), std::string::npos)
        << kept.text();
    EXPECT_EQ(failed.state, JobState::Failed);
    EXPECT_EQ(failed.text().rfind("failed, clipped ", 0), 0u) << failed.text();
}

}  // namespace
