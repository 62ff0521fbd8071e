// Files other programs write, converted end to end: whatever surrounds the
// audio never reaches the output, every sample width a reader accepts
// converts, and damaged samples are reported.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "support/IOTestUtil.h"
#include "audio/io/OpenFile.h"
#include "job/Conversion.h"

namespace {

using namespace IOTest;
using Audio::Format;

struct Output {
    Format format;
    std::vector<double> samples;  // interleaved
};

// The converted file read back through our own reader, as doubles.
Output readBack(const Filesystem::Path& path) {
    auto s = Audio::IO::OpenFile(path);
    Output o{s.format(), {}};
    const Bytes b = ReadAll(*s);
    if (o.format.bytesPerSample() == 4 && o.format.isFloat()) {
        o.samples.resize(b.size() / 4);
        for (std::size_t i = 0; i < o.samples.size(); ++i) {
            float f;
            std::memcpy(&f, &b[4 * i], 4);
            o.samples[i] = f;
        }
    } else {
        ADD_FAILURE() << "expected a 32-bit float output";
    }
    return o;
}

double peak(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::isfinite(x) ? std::max(m, std::abs(x)) : HUGE_VAL;
    return m;
}

class InputCorrectness : public ::testing::Test {
protected:
    Filesystem::Path put(const std::string& name, const Bytes& bytes) {
        WriteFile(dir.file(name), bytes);
        return Filesystem::Path::Parse(dir.file(name), Filesystem::Path::Kind::File);
    }
    // Converts to `rate` Hz 32-bit float, the pre-ring cropped.
    Output convert(const Filesystem::Path& in, float rate,
                   std::vector<std::string>* warnings = nullptr) {
        ConversionSettings s;
        const Format request = Format::FromBytes(0x44, 1, 0, 0, rate);
        return readBack(ConvertFile(in, request, s, nullptr, {}, warnings));
    }
    TempDir dir;
};

// Two seconds of digital silence followed by a chunk of noise, as
// broadcast recorders and ffmpeg write "levl", "LIST" or "id3 " after the
// audio: every container variant, every kind of conversion.
TEST_F(InputCorrectness, ChunksAfterTheAudioNeverReachTheOutput) {
    const Bytes silence(2 * 44100 * 4, 0);
    const Bytes fmt = FmtPayload(1, 2, 44100, 4, 16);
    const Bytes trailer = Chunk("levl", Sequence(4000, 7));
    Builder ds;
    ds.u64(4 + (8 + 28) + (8 + 16) + (8 + silence.size())).u64(silence.size()).u64(88200).u32(0);
    const struct {
        const char* name;
        Bytes file;
    } files[] = {
        {"riff.wav", Group("RIFF", "WAVE", {Chunk("fmt ", fmt), Chunk("data", silence), trailer})},
        {"rifx.wav", Group("RIFX", "WAVE",
                           {Chunk("fmt ", FmtPayload(1, 2, 44100, 4, 16, true), true),
                            Chunk("data", silence, true), Chunk("levl", Sequence(4000, 7), true)},
                           true)},
        {"rf64.wav", Group("RF64", "WAVE",
                           {Chunk("ds64", ds.b), Chunk("fmt ", fmt),
                            Chunk("data", silence, false, 0xFFFFFFFF), trailer},
                           false, 0xFFFFFFFF)},
    };
    for (const auto& f : files) {
        const Filesystem::Path in = put(f.name, f.file);
        for (float rate : {48000.0f, 88200.0f, 22050.0f, 96000.0f, 32000.0f}) {
            const Output o = convert(in, rate);
            EXPECT_GT(o.samples.size(), 2 * rate * 2 - 4) << f.name << " " << rate;
            EXPECT_EQ(peak(o.samples), 0.0) << f.name << " " << rate;
        }
    }
}

// The same through files written by other programs, when they are here.
TEST_F(InputCorrectness, FilesWrittenByOtherProgramsConvertCleanly) {
    struct Tool {
        const char* name;
        std::string command;
    };
    const std::string out = dir.file("");
    const Tool tools[] = {
        {"ffmpeg.wav", "ffmpeg -loglevel error -f lavfi -i anullsrc=r=44100:cl=stereo -t 2 "
                       "-c:a pcm_s16le -write_bext 1 -write_peak on -metadata title=x '" +
                           out + "ffmpeg.wav'"},
        {"sox.wav", "sox -D -n -r 44100 -c 2 -b 24 '" + out + "sox.wav' trim 0 2"},
    };
    int ran = 0;
    for (const Tool& t : tools) {
        const std::string probe = std::string("command -v ") +
                                  t.command.substr(0, t.command.find(' ')) + " >/dev/null";
        if (std::system(probe.c_str()) != 0 || std::system(t.command.c_str()) != 0) continue;
        ++ran;
        const auto in = Filesystem::Path::Parse(dir.file(t.name), Filesystem::Path::Kind::File);
        for (float rate : {48000.0f, 22050.0f}) EXPECT_EQ(peak(convert(in, rate).samples), 0.0) << t.name;
    }
    if (ran == 0) GTEST_SKIP() << "neither ffmpeg nor sox is installed";
}

// 36-, 45-, 53- and 64-bit integers (5- to 8-byte containers) convert like
// the same signal at 16 bits; wider containers are refused with a reason.
TEST_F(InputCorrectness, WideIntegerSamplesConvert) {
    const std::uint32_t frames = 4410;
    auto file = [&](std::uint32_t bits) {
        const std::uint32_t width = (bits + 7) / 8;
        Bytes data;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::int64_t v16 = std::lround(16000 * std::sin(2 * M_PI * 1000.0 * i / 44100));
            // The 16-bit value at the top of the valid bits, padding zero (a
            // container wider than 8 bytes, only ever refused, keeps 64 bits).
            const std::uint64_t v = static_cast<std::uint64_t>(v16) << (std::min(width, 8u) * 8 - 16);
            for (std::uint32_t k = 0; k < width; ++k)
                data.push_back(k < 8 ? std::uint8_t(v >> (8 * k)) : std::uint8_t(0));
        }
        const std::uint16_t align = static_cast<std::uint16_t>(width);
        return Group("RIFF", "WAVE",
                     {Chunk("fmt ", FmtPayload(1, 1, 44100, align, static_cast<std::uint16_t>(bits))),
                      Chunk("data", data)});
    };
    const Output reference = convert(put("w16.wav", file(16)), 48000.0f);
    for (std::uint32_t bits : {36u, 45u, 53u, 64u}) {
        const Output o = convert(put("w" + std::to_string(bits) + ".wav", file(bits)), 48000.0f);
        ASSERT_EQ(o.samples.size(), reference.samples.size()) << bits;
        for (std::size_t i = 0; i < o.samples.size(); ++i)
            ASSERT_NEAR(o.samples[i], reference.samples[i], 1e-6) << bits << " " << i;
    }
    const Filesystem::Path wide = put("w72.wav", file(72));
    try {
        convert(wide, 48000.0f);
        ADD_FAILURE() << "a 72-bit file converted";
    } catch (const std::exception&) {
    }
    // --info opens the file through the same reader and meets the same refusal.
    EXPECT_THROW(Audio::IO::OpenFile(wide), Audio::IO::FileError);
}

// Every channel count the reader takes converts each channel as if it were
// alone: 33, 64 and 255 channels against mono files of the same samples.
TEST_F(InputCorrectness, EveryChannelOfAWideFileConvertsAsIfAlone) {
    const std::uint32_t frames = 1500;
    auto sample = [](std::uint32_t c, std::uint32_t i) -> std::int16_t {
        if (c % 4 == 3) return 0;  // some channels silent
        return static_cast<std::int16_t>(9000 * std::sin(0.001 * (c + 1) * i + c));
    };
    auto wav = [&](std::uint32_t channels, std::uint32_t only) {
        Bytes data;
        for (std::uint32_t i = 0; i < frames; ++i)
            for (std::uint32_t c = 0; c < channels; ++c) {
                const std::int16_t v = sample(channels == 1 ? only : c, i);
                data.push_back(std::uint8_t(v)), data.push_back(std::uint8_t(v >> 8));
            }
        const auto align = static_cast<std::uint16_t>(2 * channels);
        return Group("RIFF", "WAVE",
                     {Chunk("fmt ", FmtPayload(1, static_cast<std::uint16_t>(channels), 44100, align, 16)),
                      Chunk("data", data)});
    };
    for (std::uint32_t channels : {33u, 64u, 255u}) {
        const Output all = convert(put("wide.wav", wav(channels, 0)), 48000.0f);
        ASSERT_EQ(all.format.channels(), channels);
        for (std::uint32_t c : {0u, 3u, 31u, 32u, channels - 2, channels - 1}) {
            const Output one = convert(put("one.wav", wav(1, c)), 48000.0f);
            ASSERT_EQ(one.samples.size() * channels, all.samples.size());
            for (std::size_t i = 0; i < one.samples.size(); ++i)
                ASSERT_NEAR(all.samples[i * channels + c], one.samples[i], 1e-7)
                    << channels << " channels, channel " << c << ", frame " << i;
        }
    }
}

// NaN and infinity in a float file would ring through the filters as
// full-scale bursts: they are read as silence, and the result says so.
TEST_F(InputCorrectness, NonFiniteSamplesBecomeSilenceAndAreReported) {
    const std::uint32_t frames = 8000;
    std::vector<float> v(2 * frames);
    for (std::uint32_t i = 0; i < frames; ++i)
        v[2 * i] = v[2 * i + 1] = 0.25f * static_cast<float>(std::sin(2 * M_PI * 440.0 * i / 44100));
    v[2 * 3000 + 1] = std::numeric_limits<float>::quiet_NaN();
    v[2 * 5000] = -std::numeric_limits<float>::infinity();
    Bytes data(v.size() * 4);
    std::memcpy(data.data(), v.data(), data.size());
    const Filesystem::Path in = put(
        "nan.wav", Group("RIFF", "WAVE", {Chunk("fmt ", FmtPayload(3, 2, 44100, 8, 32)), Chunk("data", data)}));
    for (float rate : {48000.0f, 44100.0f}) {
        std::vector<std::string> warnings;
        const Output o = convert(in, rate, &warnings);
        EXPECT_LE(peak(o.samples), 0.5) << rate;
        ASSERT_EQ(warnings.size(), 1u) << rate;
        EXPECT_EQ(warnings[0],
                  "2 non-finite samples (NaN or infinity) in the input, the first at frame 3000 "
                  "of channel 2, converted as silence");
    }
    // A clean float file has nothing to say.
    std::vector<std::string> none;
    std::memset(data.data() + 8 * 3000, 0, 8);
    std::memset(data.data() + 8 * 5000, 0, 8);
    convert(put("clean.wav", Group("RIFF", "WAVE", {Chunk("fmt ", FmtPayload(3, 2, 44100, 8, 32)),
                                                    Chunk("data", data)})),
            48000.0f, &none);
    EXPECT_TRUE(none.empty());
}

}  // namespace
