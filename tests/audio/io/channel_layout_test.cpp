// Speaker layouts (WAVE channel masks) from the readers through the writers.

#include <gtest/gtest.h>

#include "audio/io/ChannelLayout.h"
#include "audio/io/OpenFile.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::Format;

namespace {

Filesystem::Path P(const std::string& text) {
    return Filesystem::Path::Parse(text, Filesystem::Path::Kind::File);
}

std::uint32_t Le(const Bytes& b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) v |= std::uint32_t(b[at + i]) << (8 * i);
    return v;
}

constexpr std::uint32_t kPCM = 1, kFloat = 3, kExtensible = 0xFFFE;

TEST(WaveWriter, LayoutChoosesTheFormatChunk) {
    const Format i16x1 = MakeFormat(2, Format::Integer, 16, 1, 48000);
    const Format i16x2 = MakeFormat(2, Format::Integer, 16, 2, 48000);
    const Format i16x3 = MakeFormat(2, Format::Integer, 16, 3, 48000);
    const Format i16x6 = MakeFormat(2, Format::Integer, 16, 6, 48000);
    const Format i24x8 = MakeFormat(3, Format::Integer, 24, 8, 48000);
    const Format f32x1 = MakeFormat(4, Format::Float, 1, 1, 48000);
    const Format f32x2 = MakeFormat(4, Format::Float, 1, 2, 48000);
    const Format f32x6 = MakeFormat(4, Format::Float, 1, 6, 48000);
    const Format f64x6 = MakeFormat(8, Format::Float, 1, 6, 48000);
    struct Case {
        const char* name;
        Format f;
        std::uint32_t given, tag, mask;  // mask: stored when extensible
    };
    const Case cases[] = {
        {"mono, none stated", i16x1, 0, kPCM, 0},
        {"stereo, none stated", i16x2, 0, kPCM, 0},
        {"stereo stated", i16x2, 0x3, kPCM, 0},
        {"stereo, more positions than channels", i16x2, 0x3F, kPCM, 0},
        {"side pair", i16x2, 0x600, kExtensible, 0x600},
        {"3.0", i16x3, 0x7, kExtensible, 0x7},
        {"3 channels, none stated", i16x3, 0, kExtensible, 0},
        {"5.1 side", i16x6, 0x60F, kExtensible, 0x60F},
        {"6 channels, 3 positioned", i16x6, 0x7, kExtensible, 0x7},
        {"7.1", i24x8, 0x63F, kExtensible, 0x63F},
        {"8 channels, none stated", i24x8, 0, kExtensible, 0x63F},
        {"float stereo", f32x2, 0, kFloat, 0},
        {"float mono side left", f32x1, 0x200, kExtensible, 0x200},
        {"float 5.1 side", f32x6, 0x60F, kExtensible, 0x60F},
        {"double 6 channels, none stated", f64x6, 0, kExtensible, 0x3F},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("layout.wav");
        WriteThrough(Audio::IO::kWaveWriter, Sequence(c.f.bytesPerFrame() * 10), c.f, c.given,
                     path);
        const Bytes file = ReadFile(path);
        ASSERT_GT(file.size(), 60u);
        EXPECT_EQ(Le(file, 20, 2), c.tag);
        Audio::IO::InputDetails details;
        Audio::IO::OpenFile(P(path), nullptr, nullptr, &details);
        if (c.tag == kExtensible) {
            EXPECT_EQ(Le(file, 16, 4), 40u);                            // "fmt " size
            EXPECT_EQ(Le(file, 44, 4), c.f.isFloat() ? kFloat : kPCM);  // sub-format
            // An extensible mask of 0 reads as "no positions", not "none stated".
            EXPECT_EQ(details.channelMask, c.mask ? c.mask : Audio::IO::kNoPositions);
        }
    }
}

// A WAVE input's layout reaches WAVE, WavPack and (integer) FLAC outputs as a job passes it,
// and reads back from each: FLAC states a layout other than its own for the count in a
// comment (2.1 came back as 3.0, 5.1 with side speakers as 5.1 with back ones).
TEST(ChannelLayout, WaveInputLayoutReachesEveryOutput) {
    struct Case {
        const char* layout;  // as ffprobe names it
        std::uint16_t channels, bits;
        std::uint32_t subFormat, mask;
    };
    const Case cases[] = {
        {"7.1", 8, 24, kPCM, 0x63F},
        {"3.0", 3, 16, kPCM, 0x7},
        {"5.1(side)", 6, 32, kFloat, 0x60F},
        {"2.1", 3, 16, kPCM, 0xB},
        {"5.1(side)", 6, 24, kPCM, 0x60F},
        // FLAC leaves unsaid the side pair of 5.0 and 5.1 (as players read it): back speakers
        // are stated (they came back as side ones to every player).
        {"5.1", 6, 16, kPCM, 0x3F},
        {"5.0", 5, 24, kPCM, 0x37},
        // Stems: six channels that say they have no positions stay so (they came out as 5.1;
        // ffprobe names no layout for them, and takes FLAC's default instead of its comment).
        {nullptr, 6, 24, kPCM, 0},
        // A pair or a single channel at other than the count's usual place (the AIFF output
        // stated no layout for them: they came back as front left and right, or centre).
        {nullptr, 2, 24, kPCM, 0x600},
        {nullptr, 1, 16, kPCM, 0x100},
    };
    const bool probe = HaveTool("ffprobe");
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.layout ? c.layout : "no positions") << ", " << c.bits << " bits");
        const std::string in = dir.file("in.wav");
        WriteFile(in, Wav(ExtensiblePayload(c.channels, 48000, c.bits, c.bits, c.subFormat, false,
                                            c.mask),
                          Sequence(c.bits / 8 * c.channels * 1000)));
        Audio::IO::InputDetails input;
        auto source = Audio::IO::OpenFile(P(in), nullptr, nullptr, &input);
        const std::uint32_t stated = c.mask ? c.mask : Audio::IO::kNoPositions;
        ASSERT_EQ(input.channelMask, stated);
        const Bytes samples = ReadAll(*source);
        for (const char* name : {"out.wav", "out.wv", "out.flac", "out.aiff"}) {
            const std::string out = dir.file(name);
            if (out.ends_with(".flac") && c.subFormat == kFloat) continue;
            const int id = out.ends_with(".wv")     ? Audio::IO::kWavpackWriter
                           : out.ends_with(".flac") ? Audio::IO::kFlacWriter
                           : out.ends_with(".aiff") ? Audio::IO::kAiffWriter
                                                    : Audio::IO::kWaveWriter;
            WriteThrough(id, samples, source.format(), input.channelMask, out);
            Audio::IO::InputDetails back;
            Audio::IO::OpenFile(P(out), nullptr, nullptr, &back);
            EXPECT_EQ(back.channelMask, stated) << name;
            if (probe && c.layout) {
                EXPECT_EQ(CommandOutput("ffprobe -v error -show_entries stream=channel_layout "
                                        "-of csv=p=0 '" +
                                        out + "'"),
                          c.layout)
                    << name;
            }
        }
    }
    if (!probe) GTEST_SKIP() << "ffprobe is not installed: layouts checked by the readers only";
}

// ffmpeg states most layouts in an AIFF "CHAN" chunk by a layout tag: read as ffmpeg reads
// them back (3.1 and 4.0 came out as quad, 5.1 with side speakers as back ones). A tag not
// known here states no positions rather than the count's convention, but for one or two
// channels.
TEST(ChannelLayout, AiffLayoutTagsReadAsFfmpegWritesThem) {
    struct Case {
        std::uint32_t tag, channels, mask;
    } const cases[] = {
        {136u << 16 | 4, 4, 0xF},   {115u << 16 | 4, 4, 0x107},
        {121u << 16 | 6, 6, 0x60F}, {126u << 16 | 8, 8, 0x6CF},
        {133u << 16 | 3, 3, 0xB},   {124u << 16 | 6, 6, Audio::IO::kNoPositions},
        {108u << 16 | 4, 4, 0x33},  {104u << 16 | 2, 2, 0},  // mid-side: the count's own
        {121u << 16 | 6, 5, 0},                              // not the file's count
    };
    for (const Case& c : cases) {
        Bytes payload;
        for (const std::uint32_t v : {c.tag, 0u, 0u})
            for (int shift = 24; shift >= 0; shift -= 8)
                payload.push_back(std::uint8_t(v >> shift));
        EXPECT_EQ(Audio::IO::ReadAiffChannelLayout(payload.data(), payload.size(), c.channels),
                  c.mask)
            << (c.tag >> 16);
    }
    if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: its files not tried";
    TempDir dir;
    for (const auto& [layout, mask] : {std::pair{"3.1", 0xFu}, std::pair{"5.1(side)", 0x60Fu}}) {
        const std::string aiff = dir.file("in.aiff");
        ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i 'anullsrc=cl=" +
                               std::string(layout) + "' -t 0.01 -c:a pcm_s16be '" + aiff + "'")
                                  .c_str()),
                  0);
        Audio::IO::InputDetails details;
        Audio::IO::OpenFile(P(aiff), nullptr, nullptr, &details);
        EXPECT_EQ(details.channelMask, mask) << layout;
    }
}

// More than two channels of which nothing is stated take the first positions in a WavPack
// file, as the WavPack tool gives them: players refused the file ("unassigned speakers").
TEST(ChannelLayout, WavpackGivesUnstatedChannelsPositions) {
    const bool probe = HaveTool("ffprobe");
    TempDir dir;
    for (const auto& [channels, mask] : {std::pair{3u, 0x7u}, {5u, 0x1Fu}, {7u, 0x7Fu}}) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        const Format f = MakeFormat(2, Format::Integer, 16, channels, 44100);
        const std::string out = dir.file("out.wv");
        WriteThrough(Audio::IO::kWavpackWriter, Sequence(2 * channels * 100), f, 0, out);
        Audio::IO::InputDetails back;
        Audio::IO::OpenFile(P(out), nullptr, nullptr, &back);
        EXPECT_EQ(back.channelMask, mask);
        if (probe) {
            EXPECT_EQ(CommandOutput("ffprobe -v error -show_entries stream=channels -of csv=p=0 '" +
                                    out + "' 2>&1"),
                      std::to_string(channels));
        }
    }
    // Channels stated to have no positions stay so.
    EXPECT_EQ(Audio::IO::WavpackChannelMask(Audio::IO::kNoPositions, 5), 0u);
}

}  // namespace
