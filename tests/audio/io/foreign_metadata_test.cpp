// WAV chunks kept outside a WAV file (FLAC "riff" blocks, WavPack wrappers),
// RIFX metadata read big-endian, and the tags of a WAV "ID3 " chunk.

#include <gtest/gtest.h>

#include "audio/format/Translator.h"
#include "audio/io/FileWriter.h"
#include "audio/io/Metadata.h"
#include "audio/io/WAVParser.h"
#include "support/IOTestUtil.h"
#include "support/MetadataFiles.h"

using namespace IOTest;
using namespace MetaTest;
using namespace Audio::IO;

namespace {

using Tags = std::vector<std::pair<std::string, std::string>>;

Metadata ReadWav(const TempDir& dir, const Bytes& file, std::vector<std::string>* warnings) {
    const std::string p = dir.file("in.wav");
    WriteFile(p, file);
    InputDetails d;
    WAVParser::Open(p, nullptr, &d);
    if (warnings) *warnings = d.warnings;
    return d.metadata;
}

// The chunks written for a store read back whole, as one run and as one block per chunk; the
// tags stay out (the store has its own), and the header's size counts every chunk and the data.
TEST(ForeignChunks, WrittenRunsReadBack) {
    TempDir dir;
    const Metadata in = ReadWav(dir, RichWav(44100, 1000), nullptr);
    Metadata expected = in;
    expected.info.clear();
    const auto chunks = EncodeRiffChunks(FmtPayload(1, 1, 44100, 2, 16), in, 2001);
    ASSERT_GE(chunks.size(), 3u);
    Bytes run;
    for (const Bytes& c : chunks) run.insert(run.end(), c.begin(), c.end());
    EXPECT_EQ(std::string(run.begin(), run.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(run.begin() + 12, run.begin() + 16), "fmt ");
    EXPECT_EQ(std::string(run.end() - 8, run.end() - 4), "data");
    EXPECT_EQ(run[4] | run[5] << 8 | run[6] << 16, int(run.size() - 8 + 2001 + 1));

    Metadata whole, blocks;
    bool bigEndian = false;
    std::vector<std::string> unread;
    EXPECT_TRUE(ReadRiffChunks(run.data(), run.size(), whole, bigEndian, unread).empty());
    for (const Bytes& c : chunks)
        EXPECT_TRUE(ReadRiffChunks(c.data(), c.size(), blocks, bigEndian, unread).empty());
    EXPECT_TRUE(unread.empty());
    EXPECT_EQ(EncodeMetadata(whole), EncodeMetadata(expected));
    EXPECT_EQ(EncodeMetadata(blocks), EncodeMetadata(expected));
}

TEST(ForeignChunks, FaultyRunsCostAWarning) {
    const Bytes bext = Chunk("bext", BextPayload(7, ""));
    struct Case {
        const char* name;
        Bytes run;
        bool bigEndian;
        std::vector<std::string> warnings;
        std::uint64_t timeReference;           // 0: no bext read
        std::vector<std::string> unread = {};  // chunks named as not read
    } const cases[] = {
        {"data header passed over", Builder{}.id("data").u32(99).raw(bext).b, false, {}, 7},
        {"declared past the end",
         Chunk("bext", Bytes(700, 0), false, 0x7FFFFFFF),
         false,
         {"metadata: bext chunk truncated, dropped"},
         0},
        {"too large",
         Chunk("iXML", Bytes((1 << 20) + 1, 'x')),
         false,
         {"metadata: iXML chunk too large, dropped"},
         0},
        {"short",
         Chunk("bext", Bytes(10, 0)),
         false,
         {"metadata: bext chunk malformed, dropped"},
         0},
        {"a RIFX header turns the run big-endian",
         Builder{}.id("RIFX").u32(0).id("WAVE").raw(Chunk("bext", BextPayload(0, ""), true)).b,
         false,
         {},
         0},
        {"half a header", Bytes{'b', 'e', 'x'}, false, {}, 0},
        {"a list of another type (a camera's)",
         Chunk("LIST", Builder{}.id("exif").raw(Chunk("ever", Bytes(4, '1'))).b),
         false,
         {"metadata: LIST exif chunk not read, dropped"},
         0},
        {"chunks not read are named, fillers not",
         Builder{}.raw(Chunk("cart", Bytes(5, 'x'))).raw(Chunk("JUNK", Bytes(4, 0))).raw(bext).b,
         false,
         {},
         7,
         {"cart"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Metadata m;
        bool bigEndian = c.bigEndian;
        std::vector<std::string> unread;
        EXPECT_EQ(ReadRiffChunks(c.run.data(), c.run.size(), m, bigEndian, unread), c.warnings);
        EXPECT_EQ(m.bext ? m.bext->timeReference : 0, c.timeReference);
        EXPECT_EQ(unread, c.unread);
    }
}

// A writer told no size at the start states the sizes of what it wrote once finished: the WAV
// that wvunpack makes is whole (an odd "data" chunk with its pad byte), the CUESHEET's lead-out
// is the FLAC file's length. Told an estimate past 4 GiB, the WavPack writer keeps an RF64
// header, which states the true sizes in the end (a RIFF header's were cut to 32 bits, and
// the WAV unpacked from a file that large lost its end).
TEST(ForeignChunks, SizesUnknownAtTheStartAreSetWhenFinished) {
    if (!HaveTool("wvunpack") || !HaveTool("metaflac"))
        GTEST_SKIP() << "wvunpack or metaflac missing";
    TempDir dir;
    Metadata m = ReadWav(dir, RichWav(44100, 1000), nullptr);
    m.cues.resize(1);
    const std::uint32_t frames = 1001;
    const std::int64_t large = std::int64_t{1} << 36;  // sample bytes of 32-bit containers
    for (const auto& [id, expected] :
         {std::pair{kWavpackWriter, std::int64_t{0}}, std::pair{kWavpackWriter, large},
          std::pair{kFlacWriter, std::int64_t{0}}}) {
        SCOPED_TRACE(testing::Message() << id << " " << expected);
        const Audio::Format f = Audio::Format::FromBytes(0x21, 8, 0, 1, 44100.0f);
        auto writer = CreateFileWriter(MakeWriterSpec(id, Audio::Stream::Tag{0.0, f}), id);
        writer->metadata = std::make_shared<const Metadata>(m);
        const std::string out = dir.file(id == kFlacWriter ? "u.flac" : "u.wv");
        OpenFileWriter(out, *writer, expected);
        const Bytes samples(frames * 4, 0);
        writer->BeforeWrite(samples.size());
        writer->output->Write(samples.data(), samples.data() + samples.size(), Stream::Samples);
        writer->Finish();
        if (id == kFlacWriter) {
            EXPECT_NE(CommandOutput("metaflac --export-cuesheet-to=- " + out)
                          .find("REM FLAC__lead-out 255 1001"),
                      std::string::npos);
            continue;
        }
        const std::string wav = dir.file("u.wav");
        ASSERT_EQ(std::system(("wvunpack -q -y " + out + " -o " + wav).c_str()), 0);
        const Bytes file = ReadFile(wav);
        ASSERT_GT(file.size(), 48u);
        if (expected == large) {
            // "RF64", then "ds64" with the RIFF size, the "data" size and the frames.
            EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RF64");
            EXPECT_EQ(std::string(file.begin() + 12, file.begin() + 16), "ds64");
            EXPECT_EQ(file[20] | file[21] << 8 | file[22] << 16, int(file.size() - 8));
            EXPECT_EQ(file[28] | file[29] << 8 | file[30] << 16, int(frames));
            EXPECT_EQ(file[36] | file[37] << 8 | file[38] << 16, int(frames));
        } else {
            EXPECT_EQ(file[4] | file[5] << 8 | file[6] << 16, int(file.size() - 8));
        }
        EXPECT_EQ(file.size() & 1, 0u);
        InputDetails d;
        auto s = WAVParser::Open(wav, nullptr, &d);
        EXPECT_EQ(s->length, frames);
        ASSERT_TRUE(d.metadata.bext);
        EXPECT_EQ(d.metadata.bext->timeReference, kTimeReference);
    }
}

// A RIFX file states every number of its metadata big-endian.
TEST(ForeignChunks, RifxMetadataIsReadBigEndian) {
    Builder bext{{}, true};
    bext.raw(Bytes(338, 0)).u32(0x89ABCDEF).u32(5).u16(2).raw(Bytes(64, 0)).u16(0xFF9C);
    bext.raw(Bytes(602 - bext.b.size(), 0));
    Builder cue{{}, true};
    cue.u32(1).u32(4).u32(300).id("data").u32(0).u32(0).u32(300);
    Builder smpl{{}, true};
    smpl.u32(0).u32(0).u32(22675).u32(60).u32(0).u32(0).u32(0).u32(1).u32(0);
    smpl.u32(9).u32(0).u32(100).u32(200).u32(0).u32(0);
    Builder ltxt{{}, true};
    ltxt.u32(4).u32(441).id("rgn ").u16(1).u16(2).u16(3).u16(4).raw({'r', 0});
    Builder adtl{{}, true};
    adtl.id("adtl").raw(Chunk("ltxt", ltxt.b, true));
    Builder fmt{{}, true};
    fmt.u16(1).u16(1).u32(44100).u32(88200).u16(2).u16(16);
    const Bytes file = Group("RIFX", "WAVE",
                             {Chunk("bext", bext.b, true), Chunk("fmt ", fmt.b, true),
                              Chunk("data", Bytes(2000, 0), true), Chunk("cue ", cue.b, true),
                              Chunk("LIST", adtl.b, true), Chunk("smpl", smpl.b, true)},
                             true);
    TempDir dir;
    std::vector<std::string> warnings;
    const Metadata m = ReadWav(dir, file, &warnings);
    EXPECT_TRUE(warnings.empty());
    ASSERT_TRUE(m.bext);
    EXPECT_EQ(m.bext->timeReference, (std::uint64_t{5} << 32) + 0x89ABCDEF);
    EXPECT_EQ(m.bext->version, 2);
    EXPECT_EQ(m.bext->loudness[0], 0x9C);  // kept as the little-endian WAV stores it
    ASSERT_EQ(m.cues.size(), 1u);
    EXPECT_EQ(m.cues[0].id, 4u);
    EXPECT_EQ(m.cues[0].sampleOffset, 300u);
    ASSERT_EQ(m.cueTexts.size(), 1u);
    EXPECT_EQ(m.cueTexts[0].length, 441u);
    EXPECT_EQ(m.cueTexts[0].ltxtRest[4], 1);  // country 1, little-endian
    ASSERT_TRUE(m.sampler && m.sampler->loops.size() == 1);
    EXPECT_EQ(m.sampler->loops[0].end, 200u);
}

// An ID3v2 tag of `version` (2, 3 or 4) holding `frames`.
Bytes Id3(int version, const Bytes& frames, std::uint8_t flags = 0) {
    const std::size_t n = frames.size();
    Bytes tag = {'I',
                 'D',
                 '3',
                 std::uint8_t(version),
                 0,
                 flags,
                 std::uint8_t(n >> 21 & 0x7F),
                 std::uint8_t(n >> 14 & 0x7F),
                 std::uint8_t(n >> 7 & 0x7F),
                 std::uint8_t(n & 0x7F)};
    tag.insert(tag.end(), frames.begin(), frames.end());
    return tag;
}

Bytes Frame(int version, const char* id, const Bytes& body) {
    Builder f{{}, true};
    const std::size_t n = body.size();
    if (version == 2) {
        f.raw(Bytes(id, id + 3)).u8(n >> 16).u8(n >> 8).u8(n);
    } else {
        f.id(id);
        if (version == 4)
            f.u8(n >> 21 & 0x7F).u8(n >> 14 & 0x7F).u8(n >> 7 & 0x7F).u8(n & 0x7F);
        else
            f.u32(static_cast<std::uint32_t>(n));
        f.u16(0);
    }
    return f.raw(body).b;
}

// A 0 after each 0xFF, as an unsynchronised tag stores it.
Bytes Unsynchronised(const Bytes& b) {
    Bytes out;
    for (std::uint8_t x : b) {
        out.push_back(x);
        if (x == 0xFF) out.push_back(0);
    }
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Id3Chunk, CommonTextFramesBecomeTags) {
    const Bytes utf16 = {1, 0xFF, 0xFE, 'A', 0, 0xE9, 0, 0x3D, 0xD8, 0x35, 0xDE, 0, 0};
    struct Case {
        const char* name;
        Bytes tag;
        Tags tags;
        const char* warning;
    } const cases[] = {
        {"v2.3",
         Id3(3, Cat({Frame(3, "TIT2", {0, 'T', 0xE9}), Frame(3, "TPE1", utf16),
                     Frame(3, "COMM", {0, 'e', 'n', 'g', 'd', 0, 'N', 'o', 't', 'e'}),
                     Frame(3, "TYER", {0, '1', '9', '9', '9'}), Frame(3, "TXXX", {0, 'x'}),
                     Bytes(20, 0)})),
         {{"INAM", "T\xC3\xA9"},
          {"IART", "A\xC3\xA9\xF0\x9F\x98\xB5"},
          {"ICMT", "Note"},
          {"ICRD", "1999"}},
         "metadata: ID3 frames not read: TXXX"},
        {"v2.4 sizes are syncsafe",
         Id3(4, Cat({Frame(4, "TALB", Cat({{3}, Bytes(200, 'a')})), Frame(4, "TRCK", {3, '7'})})),
         {{"IPRD", std::string(200, 'a')}, {"ITRK", "7"}},
         ""},
        {"v2.2",
         Id3(2, Cat({Frame(2, "TT2", {0, 'x'}), Frame(2, "TCO", {2, 0, 'R'})})),
         {{"INAM", "x"}, {"IGNR", "R"}},
         ""},
        {"unsynchronised",
         Id3(3, Unsynchronised(Frame(3, "TIT2", {0, 0xFF, 'b'})), 0x80),
         {{"INAM",
           "\xC3\xBF"
           "b"}},
         ""},
        {"frame past the tag",
         Id3(3, Cat({Frame(3, "TIT2", {0, 'x'}), Bytes{'T', 'P', 'E', '1', 0, 0, 1, 0, 0, 0}})),
         {},
         "metadata: ID3 chunk malformed, dropped"},
        {"tag past the chunk",
         Bytes{'I', 'D', '3', 3, 0, 0, 0, 0, 1, 0},
         {},
         "metadata: ID3 chunk malformed, dropped"},
        {"not ID3", Bytes(12, 'x'), {}, "metadata: ID3 chunk malformed, dropped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Metadata m;
        EXPECT_EQ(ReadMetadataChunk("id3 ", c.tag.data(), c.tag.size(), m), c.warning);
        EXPECT_EQ(m.info, c.tags);
    }
}

// A WAV with both: the first chunk's value of a tag stands.
TEST(Id3Chunk, InfoAndId3DoNotRepeatATag) {
    const Bytes list = Builder{}.id("INFO").raw(Chunk("INAM", {'I', 0})).b;
    const Bytes tag = Id3(3, Cat({Frame(3, "TIT2", {0, 'D'}), Frame(3, "TPE1", {0, 'A'})}));
    TempDir dir;
    const Metadata m =
        ReadWav(dir,
                Group("RIFF", "WAVE",
                      {Chunk("fmt ", FmtPayload(1, 1, 44100, 2, 16)), Chunk("LIST", list),
                       Chunk("data", Bytes(20, 0)), Chunk("id3 ", tag)}),
                nullptr);
    EXPECT_EQ(m.info, (Tags{{"INAM", "I"}, {"IART", "A"}}));
}

}  // namespace
