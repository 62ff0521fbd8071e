// The common text tags cross containers: each writer stores those its
// container names, each reader maps them back, and a faulty text chunk only
// costs a warning.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "audio/io/OpenFile.h"
#include "job/Conversion.h"
#include "support/IOTestUtil.h"
#include "support/MetadataConversion.h"
#include "support/MetadataFiles.h"

using Audio::Format;
using IOTest::Builder;
using IOTest::Bytes;
using IOTest::Chunk;
using Tags = std::vector<std::pair<std::string, std::string>>;

namespace {

// Every common tag in INFO terms, in file order.
const Tags kAll = {{"INAM", "Title"},   {"IART", "Artist"},     {"IPRD", "Album"},
                   {"ICMT", "Comment"}, {"ICRD", "2024"},       {"IGNR", "Genre"},
                   {"ITRK", "7"},       {"ICOP", "(C) Someone"}};
// What AIFF keeps of them.
const Tags kAiff = {
    {"INAM", "Title"}, {"IART", "Artist"}, {"ICMT", "Comment"}, {"ICOP", "(C) Someone"}};

Bytes InfoWav() {
    Builder list;
    list.id("INFO");
    for (const auto& [key, value] : kAll) {
        Bytes text(value.begin(), value.end());
        text.push_back(0);
        list.raw(Chunk(key.c_str(), text));
    }
    list.raw(Chunk("ISFT", {'x', 0}));  // not a common tag: WAV only
    return IOTest::Group("RIFF", "WAVE",
                         {Chunk("fmt ", IOTest::FmtPayload(1, 1, 44100, 2, 16)),
                          Chunk("LIST", list.b), Chunk("data", Bytes(2000, 0))});
}

// A mono 16-bit AIFF of 10 frames with the chunks `extra` after its sound.
Bytes Aiff(const std::vector<Bytes>& extra) {
    Builder comm{{}, true};
    comm.u16(1).u32(10).u16(16).raw({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0});  // 44100 Hz
    std::vector<Bytes> chunks = {Chunk("COMM", comm.b, true),
                                 Chunk("NAME", {'G', 'o', 'o', 'd'}, true),
                                 Chunk("SSND", Bytes(28, 0), true)};
    chunks.insert(chunks.end(), extra.begin(), extra.end());
    return IOTest::Group("FORM", "AIFF", chunks, true);
}

struct Hop {
    int writerId;
    const char* extension;
    const Tags* expected;  // the output's tags
};

class TagConversion : public ::testing::Test {
protected:
    // Converts `in` to int24 44.1 kHz through writer `hop`; the output's path.
    std::string Convert(const std::string& in, int writerId, const char* extension,
                        bool copyMetadata = true, std::vector<std::string>* warnings = nullptr,
                        float rate = 44100.0f) {
        ConversionSettings s;
        s.copyMetadata = copyMetadata;
        return MetaTest::ConvertInto(dir.file("out" + std::to_string(++outputs)), in, writerId,
                                     extension, rate, s, warnings);
    }
    static Audio::IO::Metadata ReadMetadata(const std::string& path) {
        return MetaTest::ReadMetadataOf(path);
    }
    static Tags Read(const std::string& path) { return ReadMetadata(path).info; }
    std::string Input(const Bytes& bytes, const char* name) {
        const std::string path = dir.file(name);
        IOTest::WriteFile(path, bytes);
        return path;
    }
    IOTest::TempDir dir;
    int outputs = 0;
};

TEST_F(TagConversion, TagsCrossEveryContainer) {
    struct Chain {
        const char* name;
        std::vector<Hop> hops;
    } const chains[] = {
        {"WAV>FLAC>AIFF>WV>WAV",
         {{5, ".flac", &kAll}, {4, ".aiff", &kAiff}, {0, ".wv", &kAiff}, {1, ".wav", &kAiff}}},
        {"WAV>WV>FLAC>WAV", {{0, ".wv", &kAll}, {5, ".flac", &kAll}, {1, ".wav", &kAll}}},
    };
    for (const Chain& c : chains) {
        std::string file = Input(InfoWav(), "in.wav");
        for (const Hop& h : c.hops) {
            SCOPED_TRACE(std::string(c.name) + " at " + h.extension);
            file = Convert(file, h.writerId, h.extension);
            EXPECT_EQ(Read(file), *h.expected);
        }
    }
}

TEST_F(TagConversion, NoMetadataWritesNoTags) {
    const std::string in = Input(InfoWav(), "in.wav");
    for (const Hop& h :
         {Hop{5, ".flac", nullptr}, Hop{4, ".aiff", nullptr}, Hop{0, ".wv", nullptr}}) {
        SCOPED_TRACE(h.extension);
        EXPECT_TRUE(Read(Convert(in, h.writerId, h.extension, false)).empty());
    }
}

TEST_F(TagConversion, FaultyChunkAfterTheSoundCostsAtMostAWarning) {
    struct Fault {
        const char* name;
        Bytes chunk;
        const char* warning;  // null: none asked for
    } const faults[] = {
        {"runs past the end", Chunk("ANNO", {'x', 'y'}, true, 0x7FFFFFF0), "ANNO chunk truncated"},
        {"a cut chunk after them", Chunk("JUNK", {'a', 'b'}, true, 1000), nullptr},
        {"more markers than bytes", Chunk("MARK", {0, 5, 0, 1, 0, 0, 0, 1, 0}, true),
         "MARK chunk malformed"},
        {"too large", Chunk("ANNO", Bytes((1 << 20) + 2, 'a'), true), "ANNO chunk too large"},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        std::vector<std::string> warnings;
        const std::string out =
            Convert(Input(Aiff({f.chunk}), "in.aiff"), 1, ".wav", true, &warnings);
        EXPECT_EQ(Read(out), (Tags{{"INAM", "Good"}}));
        if (f.warning) {
            EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [&](const std::string& w) {
                return w.find(f.warning) != std::string::npos;
            }));
        }
    }
}

// WAV cue points become AIFF markers and back, rescaled as every position
// is (44.1 -> 48 -> 44.1 kHz restores them; the late one is clamped to the end);
// the instrument and its loop go by "INST", the loop's ends named by markers.
TEST_F(TagConversion, AiffMarkersCarryCuePointsBothWays) {
    struct Step {
        int writerId;
        const char* extension;
        float rate;
        std::vector<std::uint32_t> offsets;
        std::uint32_t loopStart, loopEnd;
    } const steps[] = {{4, ".aiff", 48000.0f, {24000, 1088, 48000}, 1088, 47999},
                       {1, ".wav", 44100.0f, {22050, 1000, 44100}, 1000, 44099}};
    std::string file = Input(MetaTest::RichWav(44100, 44100), "cues.wav");
    for (const Step& s : steps) {
        SCOPED_TRACE(s.extension);
        file = Convert(file, s.writerId, s.extension, true, nullptr, s.rate);
        const Audio::IO::Metadata m = ReadMetadata(file);
        std::vector<std::uint32_t> offsets;
        for (const Audio::IO::CuePoint& c : m.cues) offsets.push_back(c.sampleOffset);
        EXPECT_EQ(offsets, s.offsets);
        ASSERT_EQ(m.cueTexts.size(), 1u);  // AIFF names markers; notes and lengths are WAV's
        EXPECT_EQ(m.cueTexts[0].cueId, 1u);
        EXPECT_EQ(m.cueTexts[0].text, "half");
        EXPECT_EQ(m.instrument, (std::array<std::uint8_t, 7>{60, 0xFE, 3, 10, 100, 1, 127}));
        ASSERT_TRUE(m.sampler && m.sampler->loops.size() == 1);
        EXPECT_EQ(m.sampler->loops[0].start, s.loopStart);
        EXPECT_EQ(m.sampler->loops[0].end, s.loopEnd);
    }
}

// Files tagged by other tools keep their title, which ffprobe reads back
// from every output.
TEST_F(TagConversion, OtherToolsTitlesSurvive) {
    if (!IOTest::HaveTool("flac") || !IOTest::HaveTool("ffmpeg") || !IOTest::HaveTool("ffprobe"))
        GTEST_SKIP() << "flac, ffmpeg or ffprobe missing";
    const std::string wav = Input(InfoWav(), "plain.wav");
    struct Source {
        std::string command;
        const char* file;
    } const sources[] = {
        {"flac -s -f -T TITLE=Flac\\ title -o ", "t.flac"},
        {"ffmpeg -v error -y -i " + wav + " -metadata title=Ffmpeg\\ title ", "t.wv"},
        {"ffmpeg -v error -y -i " + wav + " -metadata title=Ffmpeg\\ title ", "t.aiff"},
    };
    for (const Source& s : sources) {
        SCOPED_TRACE(s.file);
        const std::string in = dir.file(s.file);
        const bool flac = s.command.rfind("flac", 0) == 0;
        ASSERT_EQ(std::system((s.command + in + (flac ? " " + wav : "") + " 2>/dev/null").c_str()),
                  0);
        const std::string title = flac ? "Flac title" : "Ffmpeg title";
        const Tags tags = Read(in);
        EXPECT_NE(
            std::find(tags.begin(), tags.end(), std::pair<std::string, std::string>{"INAM", title}),
            tags.end());
        for (const Hop& h : {Hop{1, ".wav", nullptr}, Hop{5, ".flac", nullptr},
                             Hop{4, ".aiff", nullptr}, Hop{0, ".wv", nullptr}}) {
            SCOPED_TRACE(h.extension);
            std::string probe = IOTest::CommandOutput("ffprobe -v error -show_format '" +
                                                      Convert(in, h.writerId, h.extension) + "'");
            std::transform(probe.begin(), probe.end(), probe.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            std::string want = "tag:title=" + title;
            std::transform(want.begin(), want.end(), want.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            EXPECT_NE(probe.find(want), std::string::npos) << probe;
        }
    }
}

}  // namespace
