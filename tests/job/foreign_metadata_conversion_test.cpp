// FLAC and WavPack outputs carry a WAV's chunks the way those formats' own
// tools keep them (riff blocks, RIFF wrappers), rescaled like every position;
// FLAC outputs also carry the cue points as a CUESHEET.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "audio/io/OpenFile.h"
#include "audio/io/WAVParser.h"
#include "job/Conversion.h"
#include "support/IOTestUtil.h"
#include "support/MetadataConversion.h"
#include "support/MetadataFiles.h"
#include "support/WavFiles.h"

using Audio::Format;
using Audio::IO::Metadata;
using namespace MetaTest;

namespace {

class ForeignMetadata : public ::testing::Test {
protected:
    // Converts `in` to int24 at `rate` through writer `writerId`; the output's path.
    std::string Convert(const std::string& in, int writerId, const char* extension, float rate) {
        ConversionSettings s;
        s.snrDb = 145;
        return ConvertInto(dir.file("out" + std::to_string(++outputs)), in, writerId, extension,
                           rate, s);
    }
    static Metadata Read(const std::string& path, std::vector<std::string>* warnings = nullptr) {
        return ReadMetadataOf(path, warnings);
    }
    std::string Input() {
        const std::string path = dir.file("rich.wav");
        IOTest::WriteFile(path, RichWav(44100, 44100));
        return path;
    }
    IOTest::TempDir dir;
    int outputs = 0;
};

std::vector<std::uint32_t> Offsets(const Metadata& m) {
    std::vector<std::uint32_t> out;
    for (const auto& c : m.cues) out.push_back(c.sampleOffset);
    return out;
}

// The positions of RichWav(44100, 44100) at each rate (computed apart, exact fractions).
struct AtRate {
    float rate;
    std::uint64_t timeReference;
    std::vector<std::uint32_t> cues;
    std::uint32_t loopEnd;
};
const AtRate k48k{48000.0f, 23373972767, {24000, 1088, 48000}, 47999};
const AtRate k44k{44100.0f, kTimeReference, {kCueHalf, kCueEarly, 44100}, kLoopEnd};
const AtRate kAsWritten{44100.0f, kTimeReference, {kCueHalf, kCueEarly, kCueLate}, kLoopEnd};

void ExpectChunks(const Metadata& m, const AtRate& at) {
    ASSERT_TRUE(m.bext && m.ixml && m.sampler && m.instrument);
    EXPECT_EQ(m.bext->description, "Scene 12 take 3");
    EXPECT_EQ(m.bext->timeReference, at.timeReference);
    EXPECT_EQ(m.ixml->find("<FILE_SAMPLE_RATE>" + std::to_string(int(at.rate)) + "<"),
              m.ixml->find("<FILE_SAMPLE_RATE>"));
    EXPECT_EQ(Offsets(m), at.cues);
    ASSERT_EQ(m.cueTexts.size(), 3u);
    EXPECT_EQ(m.cueTexts[0].text, "half");
    ASSERT_EQ(m.sampler->loops.size(), 1u);
    EXPECT_EQ(m.sampler->loops[0].end, at.loopEnd);
    EXPECT_EQ((*m.instrument)[0], 60);
}

// WAV -> FLAC or WavPack at 48 kHz -> WAV at 44.1 kHz restores every chunk and position; the
// tags go by the container's own tags, and each output adds its coding-history line.
TEST_F(ForeignMetadata, FlacAndWavpackRoundTripsRestoreTheChunks) {
    for (const auto& [writerId, extension] : {std::pair{5, ".flac"}, {0, ".wv"}}) {
        SCOPED_TRACE(extension);
        const std::string middle = Convert(Input(), writerId, extension, 48000.0f);
        std::vector<std::string> warnings;
        const Metadata m = Read(middle, &warnings);
        EXPECT_TRUE(warnings.empty());
        ExpectChunks(m, k48k);
        EXPECT_EQ(m.info,
                  (decltype(m.info){{"INAM", "Title"}, {"IART", "Art"}, {"ICMT", "comment"}}));
        const std::string history = "A=ANALOGUE,M=mono\r\nA=PCM,F=48000,W=24,M=mono,T=Tessival\r\n";
        EXPECT_EQ(m.bext->codingHistory, history);

        const Metadata back = Read(Convert(middle, 1, ".wav", 44100.0f));
        ExpectChunks(back, k44k);
        EXPECT_EQ(back.bext->codingHistory, history + "A=PCM,F=44100,W=24,M=mono,T=Tessival\r\n");
    }
}

// The FLAC output's CUESHEET: one track per cue point, the lead-out at the end of the audio; as
// metaflac and ffprobe read it, and as the only source of cue points once the riff blocks go.
TEST_F(ForeignMetadata, FlacCueSheetHoldsTheCuePoints) {
    if (!IOTest::HaveTool("metaflac") || !IOTest::HaveTool("ffprobe"))
        GTEST_SKIP() << "metaflac or ffprobe missing";
    const std::string flac = Convert(Input(), 5, ".flac", 48000.0f);
    const std::string q = "'" + flac + "'";
    const std::string sheet = IOTest::CommandOutput("metaflac --export-cuesheet-to=- " + q);
    const std::string total = IOTest::CommandOutput("metaflac --show-total-samples " + q);
    for (const std::string& line : std::vector<std::string>{
             "TRACK 01 AUDIO\n    INDEX 01 1088\n", "TRACK 02 AUDIO\n    INDEX 01 24000\n",
             "TRACK 03 AUDIO\n    INDEX 01 48000\n", "REM FLAC__lead-out 255 " + total})
        EXPECT_NE(sheet.find(line), std::string::npos) << line << sheet;
    const std::string chapters =
        IOTest::CommandOutput("ffprobe -v error -show_chapters " + q + " | grep start=");
    EXPECT_EQ(chapters, "start=1088\nstart=24000\nstart=48000");

    ASSERT_EQ(std::system(("metaflac --remove --block-type=APPLICATION " + q).c_str()), 0);
    const Metadata m = Read(flac);
    EXPECT_FALSE(m.bext);
    EXPECT_EQ(Offsets(m), (std::vector<std::uint32_t>{1088, 24000, 48000}));
}

// A CD image's cue sheet (made by the flac tool) keeps its tracks, pre-gaps, codes and CD
// flag in a FLAC output at 44100 Hz, its offsets rescaled at another rate (no longer a CD's).
// Its pre-gap read as a track, and its codes dropped without a word, before.
TEST_F(ForeignMetadata, ACdImagesCueSheetKeepsItsTracks) {
    if (!IOTest::HaveTool("flac") || !IOTest::HaveTool("metaflac"))
        GTEST_SKIP() << "flac or metaflac missing";
    const std::string wav = dir.file("cd.wav"), cue = dir.file("cd.cue"), in = dir.file("cd.flac");
    TestSupport::writeWav16(wav, 44100, 2, 88200, [](unsigned, std::uint32_t i) {
        return static_cast<std::int16_t>(i % 1000);
    });
    std::ofstream(cue) << "CATALOG 1234567890123\nFILE \"cd.wav\" WAVE\n  TRACK 01 AUDIO\n"
                          "    ISRC USABC1234567\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n"
                          "    ISRC USABC1234568\n    INDEX 00 00:00:01\n    INDEX 01 00:01:00\n";
    ASSERT_EQ(
        std::system(("flac -s -f --cuesheet='" + cue + "' -o '" + in + "' '" + wav + "'").c_str()),
        0);
    auto sheet = [](const std::string& flac) {
        std::string text = IOTest::CommandOutput("metaflac --export-cuesheet-to=- '" + flac + "'");
        return text.erase(text.find("FILE"),
                          text.find('\n', text.find("FILE")) - text.find("FILE"));
    };
    const std::string original = sheet(in);
    EXPECT_NE(original.find("REM FLAC__lead-out 170 88200"), std::string::npos) << original;
    EXPECT_EQ(sheet(Convert(in, 5, ".flac", 44100.0f)), original);
    const std::string at48k = sheet(Convert(in, 5, ".flac", 48000.0f));
    for (const char* line : {"CATALOG 1234567890123",
                             "TRACK 02 AUDIO\n    ISRC USABC1234568\n"
                             "    INDEX 00 640\n    INDEX 01 48000\n",
                             "REM FLAC__lead-in 0\n"})
        EXPECT_NE(at48k.find(line), std::string::npos) << line << at48k;
    // Slowed down at 44100 Hz the offsets stay on sectors, but the filters' tail does not: a
    // plain sheet (a CD's was left with its lead-out off the sectors, which tools refuse).
    ConversionSettings slow;
    slow.speed = 0.5;
    const std::string slowed = sheet(ConvertInto(dir.file("slow"), in, 5, ".flac", 44100, slow));
    for (const char* line : {"INDEX 00 1176\n", "REM FLAC__lead-in 0\n", "lead-out 255 "})
        EXPECT_NE(slowed.find(line), std::string::npos) << line << slowed;
    // WAVE and WavPack outputs hold the indexes as cue points, and say what they cannot hold.
    for (const auto& [writer, extension] : {std::pair{1, ".wav"}, std::pair{0, ".wv"}}) {
        std::vector<std::string> warnings;
        const std::string out =
            ConvertInto(dir.file(extension + 1), in, writer, extension, 48000.0f, {}, &warnings);
        EXPECT_EQ(Offsets(Read(out)), (std::vector<std::uint32_t>{0, 640, 48000})) << extension;
        EXPECT_EQ(warnings,
                  (std::vector<std::string>{"not kept in the output, which has no place for "
                                            "it: CUESHEET catalog number, CUESHEET ISRCs"}))
            << extension;
    }
}

// The flac and WavPack tools' own round trips restore our chunks to a WAV, and we read the
// chunks those tools keep from a WAV.
TEST_F(ForeignMetadata, TheFormatsOwnToolsAndOursAgree) {
    if (!IOTest::HaveTool("flac") || !IOTest::HaveTool("wavpack") || !IOTest::HaveTool("wvunpack"))
        GTEST_SKIP() << "flac, wavpack or wvunpack missing";
    const std::string in = Input();
    struct Tool {
        int writerId;
        const char* extension;
        const char* unpack;  // %o the WAV made, %i our file
        const char* pack;    // %o their file, %i the WAV
    } const tools[] = {
        {5, ".flac", "flac -s -f -d --keep-foreign-metadata -o %o %i",
         "flac -s -f --keep-foreign-metadata -o %o %i"},
        {0, ".wv", "wvunpack -q -y %i -o %o", "wavpack -q -y %i -o %o"},
    };
    auto command = [](std::string text, const std::string& out, const std::string& in) {
        text.replace(text.find("%o"), 2, "'" + out + "'");
        text.replace(text.find("%i"), 2, "'" + in + "'");
        return text + " 2>/dev/null";
    };
    for (const Tool& t : tools) {
        SCOPED_TRACE(t.extension);
        const std::string unpacked = dir.file(std::string("unpacked") + t.extension + ".wav");
        ASSERT_EQ(
            std::system(command(t.unpack, unpacked, Convert(in, t.writerId, t.extension, 48000.0f))
                            .c_str()),
            0);
        Audio::IO::InputDetails d;
        Audio::IO::WAVParser::Open(unpacked, nullptr, &d);
        ExpectChunks(d.metadata, k48k);
        if (IOTest::HaveTool("ffprobe")) {
            const std::string probe =
                IOTest::CommandOutput("ffprobe -v error -show_format '" + unpacked + "'");
            EXPECT_NE(probe.find("TAG:time_reference=23373972767"), std::string::npos) << probe;
        }
        // The WAV made is whole: its RIFF size is the file's.
        const IOTest::Bytes bytes = IOTest::ReadFile(unpacked);
        ASSERT_GT(bytes.size(), 8u);
        EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16 | std::uint32_t(bytes[7]) << 24,
                  bytes.size() - 8);

        const std::string theirs = dir.file(std::string("theirs") + t.extension);
        ASSERT_EQ(std::system(command(t.pack, theirs, in).c_str()), 0);
        ExpectChunks(Read(theirs), kAsWritten);
    }

    // The chunks of an AIFF, which the tools keep as well ("aiff" blocks, an AIFF wrapper),
    // read as the AIFF's own, a chunk not read named (they were lost without a word).
    std::string aiff = ConvertInto(dir.file("aiff"), in, 4, ".aiff", 44100.0f, {});
    IOTest::Bytes bytes = IOTest::ReadFile(aiff);
    const IOTest::Bytes comment = IOTest::Chunk("APPL", {'a', 'b', 'c', 'd'}, true);
    bytes.insert(bytes.end(), comment.begin(), comment.end());
    const std::uint32_t form = static_cast<std::uint32_t>(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<std::uint8_t>(form >> (24 - 8 * i));
    IOTest::WriteFile(aiff = dir.file("in.aiff"), bytes);
    auto details = [](const std::string& path) {
        Audio::IO::InputDetails d;
        Audio::IO::OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr,
                            nullptr, &d);
        return d;
    };
    const Audio::IO::InputDetails aiffDetails = details(aiff);
    const Metadata& own = aiffDetails.metadata;
    ASSERT_FALSE(own.cues.empty());
    ASSERT_TRUE(own.sampler);
    EXPECT_EQ(aiffDetails.unreadChunks, std::vector<std::string>{"APPL"});
    for (const Tool& t : tools) {
        SCOPED_TRACE(t.extension);
        const std::string theirs = dir.file(std::string("theirs-aiff") + t.extension);
        ASSERT_EQ(std::system(command(t.pack, theirs, aiff).c_str()), 0);
        const Audio::IO::InputDetails d = details(theirs);
        EXPECT_EQ(d.metadata.info, own.info);
        EXPECT_EQ(Offsets(d.metadata), Offsets(own));
        ASSERT_TRUE(d.metadata.sampler);
        EXPECT_EQ(d.metadata.sampler->loops.size(), own.sampler->loops.size());
        EXPECT_EQ(d.unreadChunks, std::vector<std::string>{"APPL"});
    }

    // So with a WAV's chunk after its audio, in the tools' trailing blocks.
    bytes = IOTest::ReadFile(in);
    const IOTest::Bytes cart = IOTest::Chunk("cart", {'a', 'b', 'c'});
    bytes.insert(bytes.end(), cart.begin(), cart.end());
    const std::uint32_t riff = static_cast<std::uint32_t>(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<std::uint8_t>(riff >> (8 * i));
    const std::string wav = dir.file("cart.wav");
    IOTest::WriteFile(wav, bytes);
    EXPECT_EQ(details(wav).unreadChunks, std::vector<std::string>{"cart"});
    for (const Tool& t : tools) {
        SCOPED_TRACE(t.extension);
        const std::string theirs = dir.file(std::string("theirs-cart") + t.extension);
        ASSERT_EQ(std::system(command(t.pack, theirs, wav).c_str()), 0);
        EXPECT_EQ(details(theirs).unreadChunks, std::vector<std::string>{"cart"});
    }
}

}  // namespace
