// A conversion carries the input's metadata to its WAV output with every
// position rescaled exactly, and never fails because of it.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/io/WAVParser.h"
#include "job/Conversion.h"
#include "support/IOTestUtil.h"
#include "support/MetadataFiles.h"

using Audio::Format;
using Audio::IO::Metadata;
using namespace MetaTest;

namespace {

class MetadataConversion : public ::testing::Test {
protected:
    // Converts `file` to int24 at `rate`; the output's metadata and the job's warnings.
    Metadata Convert(const IOTest::Bytes& file, double rate, const ConversionSettings& s,
                     std::vector<std::string>* warnings = nullptr, std::string* name = nullptr) {
        const std::string in = dir.file("in.wav");
        IOTest::WriteFile(in, file);
        const Filesystem::Path out = ConvertFile(
            Filesystem::Path::Parse(in, Filesystem::Path::Kind::File),
            Format::FromBytes(0x23, 24, 0, 0, static_cast<float>(rate)), s, nullptr, {}, warnings);
        if (name) *name = out.Leaf();
        Audio::IO::InputDetails d;
        Audio::IO::WAVParser::Open(out.NativeText(), nullptr, &d);
        return d.metadata;
    }
    static ConversionSettings Settings(double speed = 1.0) {
        ConversionSettings s;
        s.snrDb = 145;
        s.speed = speed;
        return s;
    }
    IOTest::TempDir dir;
};

// Expected positions computed apart with exact fractions; inputs are 1 s long. A loop's end is
// inclusive: the frame after it scales (1000..44099 at 96 kHz is 19799 frames at 44.1 kHz,
// 459..20257; it came out a frame long).
struct Case {
    std::uint32_t in, out;
    double speed;
    std::uint32_t half, early, late, ltxt, loopEnd;
    std::uint64_t timeReference, stamp;
} const kCases[] = {
    {44100, 48000, 1.0, 24000, 1088, 48000, 480, 47999, 23373972767, 1196747363397},
    {48000, 44100, 1.0, 20258, 919, 44100, 405, 40516, 19730006935, 1010176319361},
    {96000, 44100, 1.0, 10129, 459, 44100, 203, 20257, 9865003467, 505088159681},
    {48000, 48000, 1.01, 21832, 990, 47525, 437, 43662, 21262215327, 1088625386258},
};

TEST_F(MetadataConversion, EveryFieldKeptEveryPositionRescaled) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::to_string(c.in) + " -> " + std::to_string(c.out) + " x" +
                     std::to_string(c.speed));
        const Metadata m = Convert(RichWav(c.in, c.in), c.out, Settings(c.speed));
        ASSERT_TRUE(m.bext && m.ixml && m.sampler && m.instrument);
        EXPECT_EQ(m.bext->description, "Scene 12 take 3");
        EXPECT_EQ(m.bext->timeReference, c.timeReference);
        EXPECT_EQ(m.bext->codingHistory, "A=ANALOGUE,M=mono\r\nA=PCM,F=" + std::to_string(c.out) +
                                             ",W=24,M=mono,T=Tessival\r\n");
        std::string ixml = Ixml(c.out);
        for (auto [from, to] : {std::pair{std::to_string(kStampHi), std::to_string(c.stamp >> 32)},
                                {std::to_string(kStampLo), std::to_string(c.stamp & 0xFFFFFFFF)}})
            ixml.replace(ixml.find(">" + from + "<") + 1, from.size(), to);
        EXPECT_EQ(*m.ixml, ixml);
        ASSERT_EQ(m.info.size(), 4u);
        EXPECT_EQ(m.info[0].second, "Title");
        ASSERT_EQ(m.cues.size(), 3u);
        EXPECT_EQ(m.cues[0].sampleOffset, c.half);
        EXPECT_EQ(m.cues[0].position, c.half);
        EXPECT_EQ(m.cues[1].sampleOffset, c.early);
        EXPECT_EQ(m.cues[2].sampleOffset, c.late);  // clamped to the output's length
        ASSERT_EQ(m.cueTexts.size(), 3u);
        EXPECT_EQ(m.cueTexts[0].text, "half");
        EXPECT_EQ(m.cueTexts[2].length, c.ltxt);
        ASSERT_EQ(m.sampler->loops.size(), 1u);
        EXPECT_EQ(m.sampler->loops[0].start, c.early);
        EXPECT_EQ(m.sampler->loops[0].end, c.loopEnd);
        EXPECT_EQ(m.sampler->samplePeriodNs, c.out == 48000 ? 20833u : 22676u);
        EXPECT_EQ((*m.instrument)[0], 60);
    }
}

// A relabelled rate (no output rate, a speed) keeps every frame, and so every marker, region
// and loop on its frame; the cue past the end stops at the output's end.
TEST_F(MetadataConversion, ARelabelKeepsEveryPosition) {
    const Metadata m = Convert(RichWav(44100, 44100), 0, Settings(1.25));
    ASSERT_TRUE(m.sampler);
    ASSERT_EQ(m.cues.size(), 3u);
    EXPECT_EQ(m.cues[0].sampleOffset, kCueHalf);
    EXPECT_EQ(m.cues[1].sampleOffset, kCueEarly);
    EXPECT_EQ(m.cues[2].sampleOffset, 44100u);
    ASSERT_EQ(m.cueTexts.size(), 3u);
    EXPECT_EQ(m.cueTexts[2].length, kLtxtLength);
    ASSERT_EQ(m.sampler->loops.size(), 1u);
    EXPECT_EQ(m.sampler->loops[0].start, kLoopStart);
    EXPECT_EQ(m.sampler->loops[0].end, kLoopEnd);
}

// The kept pre-ring puts d frames before the input's first moment: markers move d later
// (the same sound stays under them), the time of day of the first frame d earlier.
TEST_F(MetadataConversion, KeptPreRingShiftsPositions) {
    ConversionSettings s = Settings();
    s.cropPreRing = false;
    std::string name;
    const Metadata m = Convert(RichWav(44100, 44100), 48000, s, nullptr, &name);
    const std::size_t at = name.find("delay=");
    ASSERT_NE(at, std::string::npos);
    const auto d = static_cast<std::uint32_t>(std::lround(std::atof(name.c_str() + at + 6)));
    ASSERT_GT(d, 0u);
    ASSERT_EQ(m.cues.size(), 3u);
    EXPECT_EQ(m.cues[0].sampleOffset, 24000 + d);
    EXPECT_EQ(m.cues[2].sampleOffset, 48000 + d);
    EXPECT_EQ(m.bext->timeReference, 23373972767u - d);
}

// The input's loudness figures go with it at its own gain and speed; at another gain or speed
// (the speed was missed) they are marked as not computed.
TEST_F(MetadataConversion, LoudnessFiguresHoldOnlyAtTheSameGainAndSpeed) {
    const std::array<std::uint8_t, 10> measured{0x9C, 0xFF, 0xF4, 0x01, 0xF6, 0xFF, 0, 0, 0, 0};
    const std::array<std::uint8_t, 10> unknown{0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F,
                                               0xFF, 0x7F, 0xFF, 0x7F};
    for (const auto& [gain, speed] : {std::pair{1.0, 1.0}, {0.5, 1.0}, {1.0, 1.001}}) {
        ConversionSettings s = Settings();
        s.gain = gain;
        s.speed = speed;
        const Metadata m = Convert(RichWav(44100, 44100), 48000, s);
        ASSERT_TRUE(m.bext);
        EXPECT_EQ(m.bext->loudness, gain == 1.0 && speed == 1.0 ? measured : unknown)
            << gain << " " << speed;
    }
}

TEST_F(MetadataConversion, NoMetadataWritesNone) {
    ConversionSettings s = Settings();
    s.copyMetadata = false;
    EXPECT_TRUE(Convert(RichWav(44100, 44100), 48000, s).empty());
}

TEST_F(MetadataConversion, MalformedChunkConvertsWithAWarning) {
    std::vector<std::string> warnings;
    const Metadata m = Convert(RichWav(44100, 44100, IOTest::Chunk("cue ", {9, 0, 0, 0})), 48000,
                               Settings(), &warnings);
    EXPECT_EQ(warnings, std::vector<std::string>{"metadata: cue chunk malformed, dropped"});
    EXPECT_EQ(m.cues.size(), 3u);  // the good chunk before it stays
    // Without the metadata, what became of it is not said.
    ConversionSettings none = Settings();
    none.copyMetadata = false;
    warnings.clear();
    Convert(RichWav(44100, 44100, IOTest::Chunk("cue ", {9, 0, 0, 0})), 48000, none, &warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
}

// Chunks of another program's that no output gets are named (axml, cart, XMP went without a
// word); fillers are not.
TEST_F(MetadataConversion, ChunksNotReadAreNamed) {
    using IOTest::Chunk;
    const IOTest::Bytes text = {'<', 'x', '/', '>'};
    const IOTest::Bytes before = IOTest::Group(
        "RIFF", "WAVE",
        {Chunk("fmt ", IOTest::FmtPayload(1, 1, 44100, 2, 16)), Chunk("PAD ", IOTest::Bytes(6)),
         Chunk("_PMX", text), Chunk("data", IOTest::Bytes(200)), Chunk("cart", text)});
    IOTest::Bytes extra;
    for (const IOTest::Bytes& c : {Chunk("axml", text), Chunk("JUNK", IOTest::Bytes(8)),
                                   Chunk("cart", text), Chunk("axml", text)})
        extra.insert(extra.end(), c.begin(), c.end());
    const IOTest::Bytes after = RichWav(44100, 100, extra);
    const std::string said = "not kept in the output, chunks this program does not read: ";
    for (const auto& [file, names] : {std::pair{before, "_PMX, cart"}, {after, "axml, cart"}}) {
        std::vector<std::string> warnings;
        Convert(file, 48000, Settings(), &warnings);
        EXPECT_EQ(warnings, std::vector<std::string>{said + names});
        ConversionSettings none = Settings();
        none.copyMetadata = false;
        warnings.clear();
        Convert(file, 48000, none, &warnings);
        EXPECT_TRUE(warnings.empty());
    }
}

std::string Shell(const std::string& command) {
    std::string out;
    if (std::FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// A file written by another program keeps its title; that program's reader sees it in ours.
TEST_F(MetadataConversion, ThirdPartyFileKeepsItsTitle) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1"))
        GTEST_SKIP() << "ffmpeg not installed";
    const std::string in = dir.file("ff.wav");
    Shell(
        "ffmpeg -v error -f lavfi -i anullsrc=r=44100:cl=mono -t 0.5 -c:a pcm_s16le "
        "-write_bext 1 -metadata title=Dawn -metadata time_reference=441000 '" +
        in + "'");
    const Filesystem::Path out =
        ConvertFile(Filesystem::Path::Parse(in, Filesystem::Path::Kind::File),
                    Format::FromBytes(0x23, 24, 0, 0, 48000.0f), Settings(), nullptr);
    Audio::IO::InputDetails d;
    Audio::IO::WAVParser::Open(out.NativeText(), nullptr, &d);
    ASSERT_FALSE(d.metadata.info.empty());
    EXPECT_EQ(d.metadata.info[0], (std::pair<std::string, std::string>{"INAM", "Dawn"}));
    ASSERT_TRUE(d.metadata.bext);
    EXPECT_EQ(d.metadata.bext->timeReference, 480000u);
    const std::string probe = Shell("ffprobe -v error -show_format '" + out.NativeText() + "'");
    EXPECT_NE(probe.find("TAG:title=Dawn"), std::string::npos) << probe;
    EXPECT_NE(probe.find("TAG:time_reference=480000"), std::string::npos) << probe;
}

}  // namespace
