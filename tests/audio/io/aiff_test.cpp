// The AIFF/AIFF-C reader against files of other programs and hand-built
// edge cases, and the AIFF writer read back.

#include <gtest/gtest.h>

#include <set>

#include "audio/format/Translator.h"
#include "audio/io/AIFFParser.h"
#include "audio/io/AIFFWriter.h"
#include "audio/io/WAVParser.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::Format;
using Audio::IO::AIFFParser;

namespace {

// A "COMM" payload; an AIFF-C one when `compression` is given.
Bytes Comm(std::uint16_t channels, std::uint32_t frames, std::uint16_t bits, double rate,
           const char* compression = nullptr) {
    Builder c{{}, true};
    c.u16(channels).u32(frames).u16(bits);
    const auto rate80 = Audio::IO::iFileWriter_AIFF::Extended80(rate);
    c.raw(Bytes(rate80.begin(), rate80.end()));
    if (compression) c.id(compression).u8(3).id("abc");  // name: Pascal "abc", even
    return c.b;
}

Bytes Ssnd(const Bytes& samples, std::uint32_t offset = 0, std::uint32_t blockSize = 0) {
    Builder s{{}, true};
    s.u32(offset).u32(blockSize).raw(Bytes(offset, 0xEE)).raw(samples);
    return s.b;
}

Bytes Form(const char* type, const std::vector<Bytes>& chunks) {
    return Group("FORM", type, chunks, true);
}

// The samples as doubles, through the translator a conversion uses.
Bytes AsDoubles(Audio::Stream::Wrapper<Stream::iOver> s) {
    return ReadAll(
        *Audio::FormatTranslator::MakeAndApply(s, Format::FromBytes(0x48, 1, 0, 0, 0.0f), 0));
}

class AIFFReader : public ::testing::Test {
protected:
    std::string Put(const Bytes& bytes, const char* name = "in.aiff") {
        const std::string p = dir.file(name);
        WriteFile(p, bytes);
        return p;
    }
    // The message opening `bytes` fails with.
    std::string Failure(const Bytes& bytes, const char* name = "in.aiff") {
        try {
            AIFFParser::Open(Put(bytes, name), nullptr);
        } catch (const AIFFParser::exception& e) {
            EXPECT_EQ(e.code(), 0);
            return e.what();
        }
        return "(opened)";
    }
    TempDir dir;
};

TEST_F(AIFFReader, FilesOfOtherProgramsDecodeLikeTheirWav) {
    struct ToolCase {
        const char* tool;
        const char* wav;   // makes w.wav
        const char* aiff;  // makes `name` from w.wav
        const char* name;
    };
    const ToolCase cases[] = {
        {"sox", "sox -n -r 44100 -c 2 -b 16 w.wav synth 0.2 sine 440 sine 1000", "sox w.wav a.aiff",
         "a.aiff"},
        {"sox", "sox -n -r 48000 -c 1 -b 24 w.wav synth 0.2 sine 300", "sox w.wav a.aif", "a.aif"},
        {"sox", "sox -n -r 44100 -c 2 -e float -b 32 w.wav synth 0.2 sine 500", "sox w.wav a.aifc",
         "a.aifc"},
        {"ffmpeg", "ffmpeg -f lavfi -i sine=f=440:d=0.2 -ac 2 -c:a pcm_s16le w.wav",
         "ffmpeg -i w.wav -c:a pcm_s16be a.aiff", "a.aiff"},
        {"ffmpeg", "ffmpeg -f lavfi -i sine=f=440:d=0.2 -c:a pcm_s24le w.wav",
         "ffmpeg -i w.wav -c:a pcm_s24be a.aiff", "a.aiff"},
        {"ffmpeg", "ffmpeg -f lavfi -i sine=f=440:d=0.2 -ac 2 -c:a pcm_s16le w.wav",
         "ffmpeg -i w.wav -c:a pcm_s16le a.aifc", "a.aifc"},  // sowt
        {"ffmpeg", "ffmpeg -f lavfi -i sine=f=440:d=0.2 -c:a pcm_f32le w.wav",
         "ffmpeg -i w.wav -c:a pcm_f32be a.aifc", "a.aifc"},
        // Unsigned bytes, AIFF-C 'raw ' (it was refused).
        {"ffmpeg", "ffmpeg -f lavfi -i sine=f=440:d=0.2 -c:a pcm_u8 w.wav",
         "ffmpeg -i w.wav -c:a pcm_u8 a.aifc", "a.aifc"},
    };
    int ran = 0;
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.aiff);
        if (!HaveTool(c.tool)) continue;
        TempDir work;
        const std::string cd = "cd '" + work.path().string() + "' && ";
        const std::string quiet = std::string(c.tool) == "ffmpeg" ? " -loglevel error" : "";
        auto run = [&](std::string command) {
            command.insert(std::string(c.tool).size(), quiet);
            return std::system((cd + command + " >/dev/null 2>&1").c_str());
        };
        ASSERT_EQ(run(c.wav), 0);
        ASSERT_EQ(run(c.aiff), 0);
        ++ran;
        auto wav = Audio::IO::WAVParser::Open(work.file("w.wav"), nullptr);
        Audio::IO::InputDetails details;
        auto aiff = AIFFParser::Open(work.file(c.name), nullptr, &details);
        EXPECT_EQ(details.warnings, std::vector<std::string>{});
        EXPECT_EQ(aiff.format().channels(), wav.format().channels());
        EXPECT_EQ(aiff.format().sampleRate, wav.format().sampleRate);
        EXPECT_EQ(aiff.format().bitsPerSample(), wav.format().bitsPerSample());
        const Bytes expected = AsDoubles(wav);
        EXPECT_GT(expected.size(), 0u);
        EXPECT_EQ(AsDoubles(aiff), expected);
    }
    if (ran == 0) GTEST_SKIP() << "neither sox nor ffmpeg is installed";
}

// Hand-built files: where the samples are, their format, and how many.
TEST_F(AIFFReader, EdgeCases) {
    const Bytes s8 = Sequence(40, 3);  // 40 bytes of samples
    struct Case {
        const char* name;
        Bytes file;
        Bytes samples;  // what the stream holds
        std::uint32_t bytes, scale, padding, channels;
        bool isFloat, bigEndian;
        const char* warning;
    };
    const Case cases[] = {
        {"16-bit stereo",
         Form("AIFF", {Chunk("COMM", Comm(2, 10, 16, 44100), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 2, 16, 0, 2, false, true, nullptr},
        {"SSND offset and block size",
         Form("AIFF", {Chunk("COMM", Comm(1, 20, 16, 44100), true),
                       Chunk("SSND", Ssnd(s8, 6, 4096), true)}),
         s8, 2, 16, 0, 1, false, true, nullptr},
        {"COMM after SSND, odd chunk with its pad byte between",
         Form("AIFF",
              {Chunk("SSND", Ssnd(s8), true), Chunk("ANNO", Bytes(5, 'x'), true),
               Chunk("COMM", Comm(1, 20, 16, 44100), true), Chunk("MARK", Bytes(3, 0), true)}),
         s8, 2, 16, 0, 1, false, true, nullptr},
        {"SSND's size counts its pad byte",
         Form("AIFF", {Chunk("COMM", Comm(1, 39, 8, 8000), true), Chunk("SSND", Ssnd(s8), true)}),
         Bytes(s8.begin(), s8.begin() + 39), 1, 8, 0, 1, false, true, nullptr},
        {"8-bit is signed",
         Form("AIFF", {Chunk("COMM", Comm(1, 40, 8, 8000), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 1, 8, 0, 1, false, true, nullptr},
        {"12-bit in two bytes",
         Form("AIFF", {Chunk("COMM", Comm(1, 20, 12, 8000), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 2, 12, 4, 1, false, true, nullptr},
        {"COMM frames limit",
         Form("AIFF", {Chunk("COMM", Comm(2, 3, 16, 44100), true), Chunk("SSND", Ssnd(s8), true)}),
         Bytes(s8.begin(), s8.begin() + 12), 2, 16, 0, 2, false, true,
         "the sound data holds 7 frames more than the header's 3: they are left out"},
        {"SSND size limits",
         Form("AIFF",
              {Chunk("COMM", Comm(2, 1000, 16, 44100), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 2, 16, 0, 2, false, true, "input cut short: 10 of 1000 frames"},
        {"AIFC NONE 24-bit",
         Form("AIFC",
              {Chunk("COMM", Comm(1, 13, 24, 96000, "NONE"), true), Chunk("SSND", Ssnd(s8), true)}),
         Bytes(s8.begin(), s8.begin() + 39), 3, 24, 0, 1, false, true, nullptr},
        {"AIFC sowt",
         Form("AIFC",
              {Chunk("COMM", Comm(2, 10, 16, 48000, "sowt"), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 2, 16, 0, 2, false, false, nullptr},
        {"AIFC FL32",
         Form("AIFC",
              {Chunk("COMM", Comm(1, 10, 0, 48000, "FL32"), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 4, 1, 0, 1, true, true, nullptr},
        {"no frames, no SSND",
         Form("AIFF", {Chunk("COMM", Comm(1, 0, 16, 44100), true)}),
         {},
         2,
         16,
         0,
         1,
         false,
         true,
         nullptr},
        {"AIFC fl64",
         Form("AIFC",
              {Chunk("COMM", Comm(1, 5, 64, 48000, "fl64"), true), Chunk("SSND", Ssnd(s8), true)}),
         s8, 8, 1, 0, 1, true, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Audio::IO::PropertyList props;
        Audio::IO::InputDetails details;
        auto s = AIFFParser::Open(Put(c.file), &props, &details);
        const Format f = s.format();
        EXPECT_EQ(f.bytesPerSample(), c.bytes);
        EXPECT_EQ(f.scaleExponent(), c.scale);
        EXPECT_EQ(f.paddingBits(), c.padding);
        EXPECT_EQ(f.channels(), c.channels);
        EXPECT_EQ(f.isFloat(), c.isFloat);
        EXPECT_EQ(f.isBigEndian(), c.bigEndian);
        EXPECT_FALSE(f.isUnsigned());
        EXPECT_EQ(ReadAll(*s), c.samples);
        EXPECT_EQ(details.warnings,
                  c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
        ASSERT_EQ(props.size(), 9u);
        EXPECT_EQ(props[1].value, "audio/x-aiff");
        EXPECT_EQ(props[4].value, std::to_string(c.samples.size() / (c.bytes * c.channels)));
    }
}

// A file that holds fewer frames than COMM declares, whether the file ends
// inside SSND or SSND itself is smaller: the whole frames present, and one
// warning with both counts. More sound than COMM declares: COMM's frames, and
// a warning.
TEST_F(AIFFReader, CutShortOpensWithTheFramesPresent) {
    const struct {
        const char* name;
        std::uint32_t commFrames;
        std::size_t ssndBytes, keep;  // SSND's sample bytes, and those left in the file
        std::int64_t frames;
        const char* warning;
        std::int64_t ssndSize = -1;  // SSND's size field, when not the true one
    } cases[] = {
        {"file ends in SSND", 2000, 8000, 1234 * 4 + 3, 1234,
         "input cut short: 1234 of 2000 frames"},
        {"SSND smaller than COMM", 2000, 1234 * 4, 1234 * 4, 1234,
         "input cut short: 1234 of 2000 frames"},
        {"both", 3000, 8000, 1234 * 4, 1234, "input cut short: 1234 of 3000 frames"},
        {"whole", 2000, 8000, 8000, 2000, nullptr},
        {"SSND larger than COMM", 1500, 8000, 8000, 1500,
         "the sound data holds 500 frames more than the header's 1500: they are left out"},
        {"one frame more", 1999, 8000, 8000, 1999,
         "the sound data holds 1 frame more than the header's 1999: it is left out"},
        // A writer that could not seek back: sizes near 2 GiB (those of sox on a pipe).
        {"placeholder", 0x0FE00000, 8000, 8000, 2000, nullptr, 0x7F000008},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file =
            Form("AIFF", {Chunk("COMM", Comm(2, c.commFrames, 16, 44100), true),
                          Chunk("SSND", Ssnd(Sequence(c.ssndBytes, 5)), true, c.ssndSize)});
        const std::size_t header = file.size() - c.ssndBytes;
        file.resize(header + c.keep);
        Audio::IO::InputDetails details;
        auto s = AIFFParser::Open(Put(file), nullptr, &details);
        ExpectFramesAndWarning(*s, details.warnings, file, header, c.frames, 4, c.warning);
    }
}

// A header written for an empty file and never updated (COMM's frame count
// 0, SSND's size 0 or 8, FORM's 0 or stopping at SSND): the sound data that
// follows is the audio, the chunks after it are not; an empty file stays empty.
TEST_F(AIFFReader, NoFramesInCommReadsTheSoundData) {
    const Bytes comm = Chunk("COMM", Comm(2, 0, 16, 44100), true);
    const Bytes audio = Sequence(600 * 4, 4);
    const Bytes anno = Chunk("ANNO", Bytes(5, 'x'), true);
    Bytes audioThenAnno = audio;
    audioThenAnno.insert(audioThenAnno.end(), anno.begin(), anno.end());
    const std::int64_t formToSsnd = 4 + std::int64_t(comm.size()) + 16;
    const struct {
        const char* name;
        std::vector<Bytes> chunks;
        std::int64_t formSize;  // -1: the right one
        std::int64_t frames;
    } cases[] = {
        {"SSND size right", {comm, Chunk("SSND", Ssnd(audio), true), anno}, -1, 600},
        {"SSND and FORM size 0", {comm, Chunk("SSND", Ssnd(audio), true, 0)}, 0, 600},
        {"SSND size 8, FORM stops at it",
         {comm, Chunk("SSND", Ssnd(audioThenAnno), true, 8)},
         formToSsnd,
         600},
        {"SSND size 8, a chunk after the audio",
         {comm, Chunk("SSND", Ssnd(audioThenAnno), true, 8)},
         -1,
         600},
        {"empty SSND, then a chunk", {comm, Chunk("SSND", Ssnd({}), true), anno}, -1, 0},
        {"empty SSND, FORM size 0", {comm, Chunk("SSND", Ssnd({}), true, 0)}, 0, 0},
        {"SSND size 0, then a chunk", {comm, Chunk("SSND", {}, true), anno}, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Audio::IO::InputDetails details;
        auto s = AIFFParser::Open(Put(Group("FORM", "AIFF", c.chunks, true, c.formSize)), nullptr,
                                  &details);
        ExpectFramesAndWarning(*s, details.warnings, audio, 0, c.frames, 4,
                               c.frames ? "the header gives the audio a size of 0, but 600 frames "
                                          "follow it: they are converted"
                                        : nullptr);
    }
}

// An ID3v2 tag in an "ID3 " or "id3 " chunk (as ffmpeg writes it after the
// sound data) gives the common tags.
TEST_F(AIFFReader, Id3ChunkGivesTheTags) {
    auto frame = [](const char* id, char text) {
        return Builder{{}, true}.id(id).u32(2).u16(0).u8(0).u8(std::uint8_t(text)).b;
    };
    // ID3v2.3, 36 bytes of frames; TSSE, the program that encoded the input, is not named as
    // a frame not read.
    Bytes tagged = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 36};
    for (const Bytes& f : {frame("TPE1", 'A'), frame("TALB", 'B'), frame("TSSE", 'L')})
        tagged.insert(tagged.end(), f.begin(), f.end());
    const Bytes comm = Chunk("COMM", Comm(1, 2, 16, 44100), true);
    const Bytes ssnd = Chunk("SSND", Ssnd(Bytes(4, 1)), true);
    const Bytes afterSsnd = Form("AIFF", {comm, ssnd, Chunk("ID3 ", tagged, true)});
    const Bytes beforeSsnd = Form("AIFF", {comm, Chunk("id3 ", tagged, true), ssnd});
    for (const Bytes* file : {&afterSsnd, &beforeSsnd}) {
        Audio::IO::InputDetails details;
        AIFFParser::Open(Put(*file), nullptr, &details);
        EXPECT_EQ(details.metadata.info,
                  (std::vector<std::pair<std::string, std::string>>{{"IART", "A"}, {"IPRD", "B"}}));
        EXPECT_TRUE(details.warnings.empty());
    }
}

// Annotations and COMT comments become the comment tag, a line each (a second ANNO was
// dropped); sox's stamp is not one, and chunks not read are named (a PEAK chunk, the input's
// own peaks, only fills). sox's stamp warned on every file.
TEST_F(AIFFReader, CommentsAreReadAndOtherChunksNamed) {
    auto comment = [](const std::string& text) {
        Builder b{{}, true};
        b.u32(0).u16(0).u16(static_cast<std::uint16_t>(text.size()));
        b.raw(Bytes(text.begin(), text.end()));
        if (text.size() & 1) b.u8(0);
        return b.b;
    };
    Bytes comt = {0, 2};
    for (const char* text : {"Processed by SoX", "Take 3"}) {
        const Bytes c = comment(text);
        comt.insert(comt.end(), c.begin(), c.end());
    }
    const Bytes file =
        Form("AIFF", {Chunk("COMM", Comm(1, 2, 16, 44100), true), Chunk("ANNO", {'A', '1'}, true),
                      Chunk("ANNO", {'A', '2'}, true), Chunk("COMT", comt, true),
                      Chunk("PEAK", Bytes(12, 0), true), Chunk("APPL", Bytes(6, 1), true),
                      Chunk("SSND", Ssnd(Bytes(4, 1)), true)});
    Audio::IO::InputDetails details;
    AIFFParser::Open(Put(file), nullptr, &details);
    EXPECT_EQ(details.metadata.info,
              (std::vector<std::pair<std::string, std::string>>{{"ICMT", "A1\nA2\nTake 3"}}));
    EXPECT_EQ(details.unreadChunks, std::vector<std::string>{"APPL"});
    EXPECT_TRUE(details.warnings.empty());

    // An odd last text without its pad, and a count beyond the chunk: the reading stops at
    // the chunk's end (it went past it) and says the chunk is malformed.
    Bytes cut = {0, 3};
    for (const char* text : {"Take 3", "abc"}) {
        const Bytes c = comment(text);
        cut.insert(cut.end(), c.begin(), c.end());
    }
    cut.pop_back();
    Audio::IO::InputDetails damaged;
    AIFFParser::Open(
        Put(Form("AIFF", {Chunk("COMM", Comm(1, 2, 16, 44100), true), Chunk("COMT", cut, true),
                          Chunk("SSND", Ssnd(Bytes(4, 1)), true)})),
        nullptr, &damaged);
    ASSERT_EQ(damaged.warnings.size(), 1u);
    EXPECT_NE(damaged.warnings[0].find("COMT"), std::string::npos) << damaged.warnings[0];
}

TEST_F(AIFFReader, RefusedFilesSayWhy) {
    const Bytes comm = Chunk("COMM", Comm(1, 4, 16, 44100), true);
    const Bytes ssnd = Chunk("SSND", Ssnd(Bytes(8, 1)), true);
    auto aifc = [&](const char* compression) {
        return Form("AIFC", {Chunk("COMM", Comm(1, 4, 8, 8000, compression), true), ssnd});
    };
    Bytes ssndFirstCut = Form("AIFF", {ssnd, comm});
    ssndFirstCut.resize(30);  // SSND's offset and block size, part of its samples
    const struct {
        const char* name;
        Bytes file;
        std::string message;
    } cases[] = {
        {"ulaw", aifc("ulaw"), "AIFF-C compression 'ulaw' is not supported"},
        {"alaw", aifc("alaw"), "AIFF-C compression 'alaw' is not supported"},
        {"ima4", aifc("ima4"), "AIFF-C compression 'ima4' is not supported"},
        {"WAV named .aiff", Wav(FmtPayload(1, 1, 44100, 2, 16), Bytes(8)),
         "not an AIFF or AIFF-C file"},
        {"other FORM", Form("8SVX", {comm, ssnd}), "not an AIFF or AIFF-C file"},
        {"no COMM", Form("AIFF", {ssnd}), "AIFF file without a COMM chunk"},
        {"SSND cut short before COMM", ssndFirstCut, "AIFF file without a COMM chunk"},
        {"no SSND", Form("AIFF", {comm}), "AIFF file without an SSND chunk"},
        {"short COMM", Form("AIFF", {Chunk("COMM", Bytes(16), true), ssnd}), "Malformed AIFF file"},
        {"short AIFC COMM", Form("AIFC", {comm, ssnd}), "Malformed AIFF file"},
        {"SSND offset past its end",
         Form("AIFF", {comm, Chunk("SSND", Builder{{}, true}.u32(1).u32(0).b, true)}),
         "Malformed AIFF file"},
        {"no channels", Form("AIFF", {Chunk("COMM", Comm(0, 4, 16, 44100), true), ssnd}),
         "AIFF file with 0 channels"},
        {"33 bits", Form("AIFF", {Chunk("COMM", Comm(1, 4, 33, 44100), true), ssnd}),
         "AIFF samples of 33 bits"},
        {"rate 0", Form("AIFF", {Chunk("COMM", Comm(1, 4, 16, 0), true), ssnd}),
         "AIFF file without a valid sample rate"},
        {"empty", {}, "Unexpected end of IFF stream"},
    };
    for (const auto& c : cases) EXPECT_EQ(Failure(c.file), c.message) << c.name;

    // Infinite and NaN rates (exponent all ones).
    Bytes comm80 = Comm(1, 4, 16, 44100);
    comm80[8] = 0x7F;
    comm80[9] = 0xFF;
    EXPECT_EQ(Failure(Form("AIFF", {Chunk("COMM", comm80, true), ssnd})),
              "AIFF file without a valid sample rate");
}

TEST(Extended80, StoresRatesExactly) {
    const struct {
        double value;
        Bytes bytes;
    } cases[] = {
        {44100, {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}},
        {48000, {0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}},
        {8000, {0x40, 0x0B, 0xFA, 0x00, 0, 0, 0, 0, 0, 0}},
        {1, {0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {22050.5, {0x40, 0x0D, 0xAC, 0x45, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const auto e = Audio::IO::iFileWriter_AIFF::Extended80(c.value);
        EXPECT_EQ(Bytes(e.begin(), e.end()), c.bytes) << c.value;
        EXPECT_EQ(AIFFParser::Extended80(c.bytes.data()), c.value);
    }
}

// Every sample type through the writer and back through the reader: the
// same values, the header other programs expect.
TEST(AIFFWriter, WritesWhatTheReaderReadsBack) {
    TempDir dir;
    const struct {
        std::uint32_t bytes;
        Format::SampleType type;
        std::uint32_t scale;
        const char* form;
        std::size_t commSize;
    } cases[] = {
        {1, Format::Integer, 8, "AIFF", 18},  {2, Format::Integer, 16, "AIFF", 18},
        {3, Format::Integer, 24, "AIFF", 18}, {4, Format::Integer, 32, "AIFF", 18},
        {4, Format::Float, 1, "AIFC", 44},    {8, Format::Float, 1, "AIFC", 44},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes * 8);
        const std::uint32_t channels = 3, frames = 1001;  // odd: 8-bit data gets a pad byte
        const Format f = MakeFormat(c.bytes, c.type, c.scale, channels, 48000);
        Bytes data = Sequence(std::size_t{frames} * channels * c.bytes, c.bytes);
        if (c.type == Format::Float)  // normal numbers below 1 in magnitude
            for (std::size_t i = c.bytes - 1; i < data.size(); i += c.bytes)
                data[i] = static_cast<std::uint8_t>((data[i] & 0x9E) | 0x20);
        const std::string path = dir.file("out.aiff");
        WriteThrough(Audio::IO::kAiffWriter, data, f, 0, path);

        const Bytes file = ReadFile(path);
        ASSERT_GT(file.size(), 12u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), Bytes({'F', 'O', 'R', 'M'}));
        EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 12), c.form);
        EXPECT_EQ(file.size() % 2, 0u);
        Builder formSize{{}, true};
        formSize.u32(static_cast<std::uint32_t>(file.size() - 8));
        EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 8), formSize.b);

        Audio::IO::PropertyList props;
        auto s = AIFFParser::Open(path, &props);
        EXPECT_EQ(s.format().sampleRate, 48000.0f);
        EXPECT_EQ(s.format().channels(), channels);
        EXPECT_EQ(props[4].value, std::to_string(frames));
        // Stored big-endian: each sample's bytes reversed.
        Bytes expected = data;
        for (std::size_t i = 0; i < expected.size(); i += c.bytes)
            std::reverse(expected.begin() + std::ptrdiff_t(i),
                         expected.begin() + std::ptrdiff_t(i + c.bytes));
        EXPECT_EQ(ReadAll(*s), expected);
    }
}

TEST(AIFFWriter, RefusesWhatAiffCannotHold) {
    using Writer = Audio::IO::iFileWriter_AIFF;
    EXPECT_THROW(Writer::AdaptFormat(MakeFormat(5, Format::Integer, 40, 1, 8000)),
                 Audio::IO::iFileWriter::IrredeemableFormat);
    EXPECT_THROW(Writer::AdaptFormat(MakeFormat(2, Format::Float, 1, 1, 8000)),
                 Audio::IO::iFileWriter::IrredeemableFormat);
    // WAVE's offset-binary bytes become signed, little-endian big-endian.
    const Format adapted = Writer::AdaptFormat(MakeFormat(1, Format::Integer, 8, 1, 8000, true));
    EXPECT_FALSE(adapted.isUnsigned());
    EXPECT_TRUE(adapted.isBigEndian());
}

}  // namespace

namespace {

using Audio::IO::Metadata;

// "INST" with its loops (mode, begin marker, end marker) against markers 1 at 100 and 2 at 200.
TEST(AiffInstrument, LoopsResolveThroughTheMarkers) {
    struct Case {
        const char* name;
        Bytes inst;
        const char* warning;
        std::vector<std::array<std::uint32_t, 3>> loops;  // type, start, end
    } const cases[] = {
        {"sustain forward, release back and forth",
         Builder{{60, 0xFE, 10, 100, 1, 127}, true}
             .u16(0xFFFD)
             .u16(1)
             .u16(1)
             .u16(2)
             .u16(2)
             .u16(1)
             .u16(2)
             .b,
         "",
         {{0, 100, 199}, {1, 100, 199}}},
        {"no looping",
         Builder{{60, 0, 0, 127, 1, 127}, true}.u16(0).u16(0).u16(1).u16(2).u16(0).u16(0).u16(0).b,
         "",
         {}},
        {"unknown marker",
         Builder{{60, 0, 0, 127, 1, 127}, true}.u16(0).u16(1).u16(1).u16(9).u16(0).u16(0).u16(0).b,
         "",
         {}},
        {"end before begin",
         Builder{{60, 0, 0, 127, 1, 127}, true}.u16(0).u16(1).u16(2).u16(1).u16(0).u16(0).u16(0).b,
         "",
         {}},
        {"short", Bytes(19, 0), "metadata: INST chunk malformed, dropped", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Metadata m;
        m.cues = {{1, 100, 100}, {2, 200, 200}};
        EXPECT_EQ(Audio::IO::ReadAiffInstrument(c.inst.data(), c.inst.size(), m, 48000.0),
                  c.warning);
        std::vector<std::array<std::uint32_t, 3>> loops;
        if (m.sampler)
            for (const auto& l : m.sampler->loops) loops.push_back({l.type, l.start, l.end});
        EXPECT_EQ(loops, c.loops);
        EXPECT_EQ(m.instrument.has_value(), c.warning[0] == 0);
    }
    Metadata m;
    m.cues = {{1, 100, 100}, {2, 200, 200}};
    const Bytes gain = Builder{{60, 0, 0, 127, 1, 127}, true}.u16(0xFF00).raw(Bytes(12, 0)).b;
    Audio::IO::ReadAiffInstrument(gain.data(), gain.size(), m, 48000.0);
    EXPECT_EQ(static_cast<std::int8_t>((*m.instrument)[2]), -128);  // -256 dB held at the floor
}

// Writing: a loop end without a marker gets one, a marked one reuses it; read back the same.
TEST(AiffInstrument, WrittenLoopsReadBack) {
    Metadata m;
    m.cues = {{5, 100, 100}};
    m.instrument = std::array<std::uint8_t, 7>{62, 3, 0xFA, 10, 90, 2, 120};
    m.sampler.emplace();
    m.sampler->loops = {{7, 0, 100, 299, 0, 0}, {8, 1, 300, 399, 0, 0}};
    Metadata written = m;
    const Bytes inst = Audio::IO::EncodeAiffInstrument(written);
    ASSERT_EQ(inst.size(), 20u);
    std::vector<std::uint32_t> at;
    for (const auto& c : written.cues) at.push_back(c.sampleOffset);
    EXPECT_EQ(at, (std::vector<std::uint32_t>{100, 300, 400}));
    Metadata back;
    back.cues = written.cues;
    EXPECT_EQ(Audio::IO::ReadAiffInstrument(inst.data(), inst.size(), back, 44100.0), "");
    EXPECT_EQ(back.instrument, m.instrument);
    ASSERT_TRUE(back.sampler);
    ASSERT_EQ(back.sampler->loops.size(), 2u);
    EXPECT_EQ(back.sampler->loops[0].start, 100u);
    EXPECT_EQ(back.sampler->loops[0].end, 299u);
    EXPECT_EQ(back.sampler->loops[1].type, 1u);
    EXPECT_EQ(back.sampler->loops[1].end, 399u);
}

// Cue ids that AIFF cannot hold (0, past 32767, repeated) get free marker ids: every marker keeps
// its own label and the loop its own markers through a write and a read. (0 and 1 both became
// marker 1, moving the loop onto the first one; an id past 32767 dropped every loop.)
TEST(AiffInstrument, CueIdsOutsideTheMarkerRangeKeepTheirLoopsAndLabels) {
    const std::vector<std::vector<std::uint32_t>> idSets = {
        {0, 1, 2}, {1, 50000, 32767}, {7, 7, 40000}};
    for (const auto& ids : idSets) {
        SCOPED_TRACE(::testing::PrintToString(ids));
        Metadata m;
        const std::uint32_t at[] = {100, 1000, 1500};
        for (std::size_t i = 0; i < 3; ++i) {
            m.cues.push_back({ids[i], at[i], at[i]});
            Audio::IO::CueText label;
            label.kind = {'l', 'a', 'b', 'l'};
            label.cueId = ids[i];
            label.text = "cue " + std::to_string(i);
            m.cueTexts.push_back(label);
        }
        m.sampler.emplace();
        m.sampler->loops = {{0, 0, 1000, 1999, 0, 0}};
        Metadata written = m;
        const Bytes inst = Audio::IO::EncodeAiffInstrument(written);
        const Bytes mark = Audio::IO::EncodeAiffMarkers(written);
        Metadata back;
        ASSERT_EQ(Audio::IO::ReadAiffMarkers(mark.data(), mark.size(), back), "");
        ASSERT_EQ(Audio::IO::ReadAiffInstrument(inst.data(), inst.size(), back, 48000.0), "");
        std::set<std::uint32_t> unique;
        std::vector<std::uint32_t> where;
        for (const auto& c : back.cues) unique.insert(c.id), where.push_back(c.sampleOffset);
        EXPECT_EQ(unique.size(), back.cues.size());
        EXPECT_EQ(where, (std::vector<std::uint32_t>{100, 1000, 1500, 2000}));
        for (const auto& c : back.cues)
            EXPECT_LE(std::count_if(back.cueTexts.begin(), back.cueTexts.end(),
                                    [&](const auto& t) { return t.cueId == c.id; }),
                      1);
        for (std::size_t i = 0; i < 3; ++i) {  // each its own label, a repeated id's too
            const auto label =
                std::find_if(back.cueTexts.begin(), back.cueTexts.end(),
                             [&](const auto& t) { return t.cueId == back.cues[i].id; });
            ASSERT_NE(label, back.cueTexts.end());
            EXPECT_EQ(label->text, "cue " + std::to_string(i));
        }
        ASSERT_TRUE(back.sampler);
        ASSERT_EQ(back.sampler->loops.size(), 1u);
        EXPECT_EQ(back.sampler->loops[0].start, 1000u);
        EXPECT_EQ(back.sampler->loops[0].end, 1999u);
    }
}

// Without an "inst" chunk the sampler's fine tuning becomes the detune (it was written as 0).
TEST(AiffInstrument, TheSamplersFineTuningIsTheDetune) {
    const struct {
        std::uint32_t note, fraction;
        std::uint8_t base;
        std::int8_t detune;
    } rows[] = {{60, 0, 60, 0},
                {60, 0x40000000, 60, 25},
                {60, 0x80000000, 61, -50},
                {60, 0xC0000000, 61, -25},
                {127, 0x80000000, 127, 0},
                {200, 0, 127, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fraction);
        Metadata m;
        m.sampler.emplace();
        m.sampler->unityNote = r.note;
        m.sampler->pitchFraction = r.fraction;
        const Bytes inst = Audio::IO::EncodeAiffInstrument(m);
        ASSERT_EQ(inst.size(), 20u);
        EXPECT_EQ(inst[0], r.base);
        EXPECT_EQ(static_cast<std::int8_t>(inst[1]), r.detune);
    }
}

}  // namespace
