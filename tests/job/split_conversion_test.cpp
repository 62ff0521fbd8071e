// A conversion whose chain is split over an idle worker (OutputOptions::beside) writes the
// bytes a one-thread conversion writes, prevent-clipping passes included, and an abort mid-way
// leaves no file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "job/Conversion.h"
#include "job/Request.h"
#include "support/IOTestUtil.h"
#include "support/StopAt.h"
#include "support/WavFiles.h"
#include "threads/Pool.h"

namespace fs = std::filesystem;
using IOTest::Bytes;
using IOTest::ReadFile;
using IOTest::TempDir;

namespace {

struct Case {
    const char* name;
    std::uint32_t inRate;
    std::uint16_t channels;
    float outRate;
    double gain;
    bool preventClipping;
    SampleType type = SampleType::Int24;
};

Audio::Format typeAt(float rate, SampleType type = SampleType::Int24) {
    const OutputFormatBytes f = SampleTypeEntry(type).format;
    return Audio::Format::FromBytes(f.lowByte, f.scaleExponent, f.thirdByte, 0, rate);
}

// A different tone per channel, near full scale.
void writeInput(const fs::path& p, const Case& c, std::uint32_t seconds = 2) {
    TestSupport::writeWav16(
        p, c.inRate, c.channels, c.inRate * seconds, [](std::uint16_t ch, std::uint32_t i) {
            return static_cast<std::int16_t>(30000 * std::sin(i * (0.01 + 0.013 * ch)));
        });
}

// A pool of one worker offered to conversions; each launch first waits for the worker to be
// back from its last task, so that every pass is split.
struct IdleWorker {
    Stream::Launcher launcher() {
        Stream::Launcher l;
        l.launch = [this](std::function<void()> task) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (pool.Idle() == 0 && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            const bool taken = pool.SubmitToIdle(1, std::move(task));
            if (taken) ++launched;
            return taken;
        };
        return l;
    }
    Threads::Pool pool{1};
    std::atomic<int> launched = 0;
};

using TestSupport::StopAt;

OutputOptions into(const fs::path& dir) {
    OutputOptions o;
    o.directory = Filesystem::Path::Parse(dir.string(), Filesystem::Path::Kind::Directory);
    o.createDirectory = true;
    return o;
}

class SplitConversion : public ::testing::TestWithParam<Case> {};

TEST_P(SplitConversion, WritesTheBytesOfAOneThreadConversion) {
    const Case c = GetParam();
    TempDir dir;
    writeInput(dir.path() / "in.wav", c);
    const auto input = Filesystem::Path::Parse(dir.file("in.wav"), Filesystem::Path::Kind::File);
    ConversionSettings s;
    s.ditherSeed = 7;
    s.gain = c.gain;
    s.preventClipping = c.preventClipping;
    PeakFigures one, two;
    const Filesystem::Path a = ConvertFile(input, typeAt(c.outRate, c.type), s, nullptr,
                                           into(dir.path() / "one"), nullptr, nullptr, &one);
    IdleWorker worker;
    OutputOptions split = into(dir.path() / "two");
    split.beside = worker.launcher();
    const Filesystem::Path b =
        ConvertFile(input, typeAt(c.outRate, c.type), s, nullptr, split, nullptr, nullptr, &two);
    EXPECT_EQ(worker.launched.load(), c.preventClipping ? 2 : 1);
    EXPECT_EQ(one.passes, two.passes);
    EXPECT_EQ(a.Leaf(), b.Leaf());
    const Bytes x = ReadFile(a.NativeText()), y = ReadFile(b.NativeText());
    EXPECT_GT(x.size(), 100000u);
    EXPECT_TRUE(x == y) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, SplitConversion,
    ::testing::Values(Case{"up_44100_48000", 44100, 2, 48000.0f, 1.0, false},
                      Case{"down_96000_44100", 96000, 2, 44100.0f, 1.0, false},
                      Case{"six_channels", 48000, 6, 44100.0f, 1.0, false},
                      Case{"power_of_two", 96000, 2, 48000.0f, 1.0, false},
                      Case{"second_pass", 44100, 2, 48000.0f, 2.0, true},
                      // Without dither every last bit of the filters shows.
                      Case{"float_up", 44100, 2, 48000.0f, 1.0, false, SampleType::Float64},
                      Case{"float_down_six", 96000, 6, 44100.0f, 1.0, false, SampleType::Float64}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitConversionAbort, StopsMidwayAndLeavesNoFile) {
    TempDir dir;
    const Case c{"", 44100, 2, 48000.0f, 1.0, false};
    writeInput(dir.path() / "in.wav", c, 10);
    IdleWorker worker;
    OutputOptions split = into(dir.path() / "out");
    split.beside = worker.launcher();
    StopAt stop(2);
    EXPECT_THROW(
        ConvertFile(Filesystem::Path::Parse(dir.file("in.wav"), Filesystem::Path::Kind::File),
                    typeAt(48000.0f), ConversionSettings{}, &stop, split),
        ConversionAborted);
    EXPECT_EQ(worker.launched.load(), 1);
    EXPECT_TRUE(fs::is_empty(dir.path() / "out"));
}

}  // namespace
