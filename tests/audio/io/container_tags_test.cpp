// Tags beyond the common ones and pictures: how Vorbis comments and APEv2
// items are kept, mapped between the two, named when an output cannot hold
// them, and carried through the FLAC and WavPack writers and readers.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "audio/io/FileWriter.h"
#include "audio/io/Metadata.h"
#include "audio/io/OpenFile.h"
#include "support/IOTestUtil.h"

using namespace Audio::IO;
using V = std::vector<std::string>;

namespace {

// A PNG's signature and IHDR of a 16 x 8 RGBA image of 8 bits, then a byte.
std::vector<std::uint8_t> Png() {
    return {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D',
            'R',  0,   0,   0,   16,   0,    0,    0,    8, 8, 6, 0,  0,   0,   0xAB};
}

Picture Cover(std::uint32_t type, const std::string& description) {
    Picture p;
    p.type = type;
    p.mime = "image/png";
    p.description = description;
    p.data = Png();
    return p;
}

// One of each kind the mapping treats apart.
Metadata Mixed() {
    Metadata m;
    m.info = {{"INAM", "T"}, {"IART", "A1"}};
    m.tags = {{TagScheme::Vorbis, "ARTIST", "A2"},
              {TagScheme::Vorbis, "CustomKey", "v"},
              {TagScheme::Vorbis, "CATALOGNUMBER", "c"},
              {TagScheme::Ape, "MyKey", "x"},
              {TagScheme::Ape, "A=B", "y"},  // '=' has no place in a Vorbis name
              {TagScheme::Ape, "Blob", std::string("\x01\x00\x02", 3), true}};
    m.pictures = {Cover(3, "front.png"), Cover(3, "again")};
    return m;
}

TEST(ContainerTags, EachSchemeWritesWhatItCanAndNamesTheRest) {
    const Metadata m = Mixed();
    const std::vector<std::uint8_t> png = Png();
    std::string cover = "front.png";
    cover += '\0';
    cover.append(png.begin(), png.end());
    struct Row {
        TagScheme scheme;
        std::vector<TagOut> written;
        V leftOut;
    } const rows[] = {
        {TagScheme::Vorbis,
         {{"TITLE", "T"},
          {"ARTIST", "A1"},
          {"ARTIST", "A2"},
          {"CustomKey", "v"},
          {"CATALOGNUMBER", "c"},
          {"MYKEY", "x"}},
         {"tag A=B", "binary item Blob"}},
        {TagScheme::Ape,
         {{"Title", "T"},
          {"Artist", std::string("A1\0A2", 5)},
          {"CustomKey", "v"},
          {"Catalog", "c"},
          {"MyKey", "x"},
          {"A=B", "y"},
          {"Blob", std::string("\x01\x00\x02", 3), true},
          {"Cover Art (Front)", cover, true}},
         {"picture (front cover)"}},  // one item per name
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.scheme));
        V left;
        EXPECT_EQ(ContainerTags(m, r.scheme, &left), r.written);
        EXPECT_EQ(left, r.leftOut);
    }
}

TEST(ContainerTags, LeftOutIsNamedPerOutput) {
    Metadata m = Mixed();
    m.info.emplace_back("IENG", "e");
    struct Row {
        int writerId;
        V leftOut;
    } const rows[] = {
        {kFlacWriter, {"INFO IENG", "tag A=B", "binary item Blob"}},
        {kWavpackWriter, {"INFO IENG", "picture (front cover)"}},
        {kWaveWriter,
         {"tag ARTIST (a further value)", "tag CustomKey", "tag CATALOGNUMBER", "tag MyKey",
          "tag A=B", "binary item Blob", "picture (front cover)", "picture (front cover)"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.writerId);
        EXPECT_EQ(MetadataLeftOut(m, r.writerId), r.leftOut);
    }
}

TEST(ContainerTags, ApeItemsSplitIntoValuesAndCoversIntoPictures) {
    Metadata m;
    EXPECT_EQ(KeepTag(m, TagScheme::Ape, "ARTIST", std::string("A1\0A2", 5)), "");
    const std::vector<std::uint8_t> png = Png();
    std::string cover = "b.png";
    cover += '\0';
    cover.append(png.begin(), png.end());
    EXPECT_EQ(KeepTag(m, TagScheme::Ape, "cover art (back)", cover, true), "");
    EXPECT_EQ(m.info, (std::vector<std::pair<std::string, std::string>>{{"IART", "A1"}}));
    ASSERT_EQ(m.tags.size(), 1u);
    EXPECT_EQ(m.tags[0].value, "A2");
    ASSERT_EQ(m.pictures.size(), 1u);
    const Picture& p = m.pictures[0];
    EXPECT_EQ(p.type, 4u);
    EXPECT_EQ(p.description, "b.png");
    EXPECT_EQ(p.mime, "image/png");
    EXPECT_EQ(p.data, Png());
    EXPECT_EQ(p.width, 16u);
    EXPECT_EQ(p.height, 8u);
    EXPECT_EQ(p.depth, 32u);
}

TEST(ContainerTags, WhatPassesTheCapIsDroppedWithAWarning) {
    Metadata m;
    m.carriedBytes = kMaxCarriedMetadata - 30;  // each tag counts its name and value, and 8
    EXPECT_EQ(KeepTag(m, TagScheme::Vorbis, "SHORT", "x"), "");
    EXPECT_NE(KeepTag(m, TagScheme::Vorbis, "LONGER", "0123456789").find("tag LONGER dropped"),
              std::string::npos);
    // Said once: nothing after the first dropped is kept, though it would fit.
    EXPECT_EQ(KeepTag(m, TagScheme::Vorbis, "S", ""), "");
    EXPECT_EQ(m.tags.size(), 1u);
}

TEST(ContainerTags, LoudnessTagsAreDroppedByName) {
    Metadata m;
    m.tags = {{TagScheme::Vorbis, "REPLAYGAIN_TRACK_GAIN", "-3 dB"},
              {TagScheme::Ape, "replaygain_album_peak", "0.9"},
              {TagScheme::Vorbis, "R128_TRACK_GAIN", "0"},
              {TagScheme::Ape, "MP3GAIN_MINMAX", "100,200"},
              {TagScheme::Vorbis, "REPLAYGAINX", "kept"}};
    EXPECT_EQ(DropLoudnessTags(m), (V{"REPLAYGAIN_TRACK_GAIN", "replaygain_album_peak",
                                      "R128_TRACK_GAIN", "MP3GAIN_MINMAX"}));
    ASSERT_EQ(m.tags.size(), 1u);
    EXPECT_EQ(m.tags[0].name, "REPLAYGAINX");
}

// Each writer stores its own scheme's tags and the pictures; its reader finds them again.
TEST(ContainerTags, FlacAndWavpackFilesKeepTagsAndPictures) {
    IOTest::TempDir dir;
    auto m = std::make_shared<Metadata>();
    m->info = {{"IART", "A1"}};
    const Audio::Format f = IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100);
    struct Row {
        int writerId;
        const char* file;
        ExtraTag tag;
    } const rows[] = {
        {kFlacWriter, "t.flac", {TagScheme::Vorbis, "ARTIST", "A2"}},
        {kWavpackWriter, "t.wv", {TagScheme::Ape, "MyKey", "x"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        m->tags = {r.tag};
        m->pictures = {Cover(3, "front.png"), Cover(4, "back.png")};
        const std::string path = dir.file(r.file);
        IOTest::WriteThrough(r.writerId, IOTest::Sequence(400), f, 0, path, m);
        InputDetails d;
        OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr, nullptr, &d);
        EXPECT_EQ(d.metadata.info, m->info);
        ASSERT_EQ(d.metadata.tags.size(), 1u);
        EXPECT_EQ(d.metadata.tags[0].name, r.tag.name);
        EXPECT_EQ(d.metadata.tags[0].value, r.tag.value);
        ASSERT_EQ(d.metadata.pictures.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(d.metadata.pictures[i].type, m->pictures[i].type);
            EXPECT_EQ(d.metadata.pictures[i].description, m->pictures[i].description);
            EXPECT_EQ(d.metadata.pictures[i].data, Png());
        }
        EXPECT_TRUE(d.warnings.empty());
        // Without WAV chunks, FLAC stores no RIFF header (WavPack's library always does).
        const IOTest::Bytes bytes = IOTest::ReadFile(path);
        const char riff[] = "RIFF";
        if (r.writerId == kFlacWriter) {
            EXPECT_EQ(std::search(bytes.begin(), bytes.end(), riff, riff + 4), bytes.end());
        }
    }
}

// A picture at the containers' limits (a FLAC block near 2^24 bytes, libwavpack's 16 MiB tag)
// is kept or named as left out, never lost: FLAC's encoder failed the file, WavPack's library
// dropped it without a word. Sizes are of the picture's data, on each side of the limit.
TEST(ContainerTags, PicturesAtTheSizeLimitsAreKeptOrNamed) {
    IOTest::TempDir dir;
    const Audio::Format f = IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100);
    // FLAC: the block's 32 bytes of fields, "image/png" and "f.png"; WavPack: the tag's 32-byte
    // footer, the item's 9 bytes and name ("Cover Art (Front)"), "f.png" and its NUL.
    const std::size_t flacLimit = (std::size_t{1} << 24) - 4 - 32 - 9 - 5;
    const std::size_t apeLimit = (std::size_t{1} << 24) - 32 - 9 - 17 - 6;
    const struct {
        int writerId;
        const char* file;
        std::size_t bytes;
        bool kept;
    } rows[] = {
        {kFlacWriter, "a.flac", flacLimit, true},
        {kFlacWriter, "b.flac", flacLimit + 1, false},
        {kWavpackWriter, "a.wv", apeLimit, true},
        {kWavpackWriter, "b.wv", apeLimit + 1, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        auto m = std::make_shared<Metadata>();
        m->pictures = {Cover(3, "f.png")};
        m->pictures[0].data.resize(r.bytes, 0);
        const std::string path = dir.file(r.file);
        IOTest::WriteThrough(r.writerId, IOTest::Sequence(400), f, 0, path, m);
        InputDetails d;
        OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr, nullptr, &d);
        EXPECT_EQ(d.metadata.pictures.size(), r.kept ? 1u : 0u);
        EXPECT_EQ(MetadataLeftOut(*m, r.writerId), r.kept ? V{} : V{"picture (front cover)"});
    }
}

// A damaged picture (its MIME type's length beyond its block) stopped the library's reading
// of the metadata, and the file was refused; its audio is whole: it opens without the picture.
TEST(ContainerTags, DamagedFlacTagsAndPicturesAreDroppedNotTheFile) {
    const struct {
        int blockType;
        std::size_t offset;  // of the length damaged, in the block's payload
        V info;              // the tags kept
        V warnings;
    } cases[] = {
        // The MIME type's length, after the picture type.
        {6, 4, {"IART", "A1", "INAM", "T"}, {"metadata: a damaged FLAC picture was dropped"}},
        // The second comment's length (after the vendor string and the count): the first is
        // kept, and the loss is said.
        {4,
         0,
         {"IART", "A1"},
         {"metadata: a damaged FLAC tag block was read up to its damage, the tags after it "
          "dropped"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.blockType);
        IOTest::TempDir dir;
        auto m = std::make_shared<Metadata>();
        m->info = {{"IART", "A1"}, {"INAM", "T"}};
        m->pictures = {Cover(3, "front.png")};
        const Audio::Format f = IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100);
        const std::string path = dir.file("p.flac");
        const IOTest::Bytes samples = IOTest::Sequence(400);
        IOTest::WriteThrough(kFlacWriter, samples, f, 0, path, m);
        IOTest::Bytes bytes = IOTest::ReadFile(path);
        // Metadata blocks from byte 4: a type (the top bit marks the last) and a 24-bit size.
        auto le32 = [&](std::size_t at) {
            return std::size_t{bytes[at]} | std::size_t{bytes[at + 1]} << 8 |
                   std::size_t{bytes[at + 2]} << 16 | std::size_t{bytes[at + 3]} << 24;
        };
        std::size_t at = 4;
        while (at + 4 <= bytes.size() && (bytes[at] & 0x7F) != c.blockType)
            at += 4 + (std::size_t{bytes[at + 1]} << 16 | std::size_t{bytes[at + 2]} << 8 |
                       bytes[at + 3]);
        ASSERT_LT(at + 12, bytes.size()) << "no such block";
        std::size_t offset = c.offset;
        if (c.blockType == 4) {
            const std::size_t count = 4 + le32(at + 4);  // after the vendor string
            ASSERT_EQ(le32(at + 4 + count), 2u);
            offset = count + 4 + 4 + le32(at + 4 + count + 4);  // past the first comment
        }
        bytes[at + 4 + offset + 3] = 0x7F;  // a length far past the block
        IOTest::WriteFile(path, bytes);
        InputDetails d;
        auto s = OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr,
                          nullptr, &d);
        EXPECT_EQ(IOTest::ReadAll(*s), samples);
        V info;
        for (const auto& [key, value] : d.metadata.info) info.insert(info.end(), {key, value});
        EXPECT_EQ(info, c.info);
        EXPECT_EQ(d.metadata.pictures.empty(), c.blockType == 6);
        EXPECT_EQ(d.warnings, c.warnings);
    }
}

// A cue sheet the FLAC encoder refuses (an input's own fault: index numbers 1 then 3, which
// the decoder reads) goes out as its indexes, one track each (it was dropped, markers and all).
TEST(ContainerTags, ACueSheetTheEncoderRefusesKeepsItsIndexes) {
    IOTest::TempDir dir;
    auto m = std::make_shared<Metadata>();
    CueSheet sheet;
    sheet.tracks = {{0, 1, "", true, false, {{0, 1}}},
                    {200, 2, "", true, false, {{200, 1}, {300, 3}}}};
    m->cues = CueSheetPoints(sheet);
    m->cuesFromSheet = true;
    m->cueSheet = sheet;
    const std::string path = dir.file("c.flac");
    IOTest::WriteThrough(kFlacWriter, IOTest::Sequence(4000),
                         IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100), 0, path, m);
    InputDetails d;
    OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr, nullptr, &d);
    std::vector<std::uint32_t> offsets;
    for (const CuePoint& c : d.metadata.cues) offsets.push_back(c.sampleOffset);
    EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 200, 300}));
    ASSERT_TRUE(d.metadata.cueSheet);
    EXPECT_EQ(d.metadata.cueSheet->tracks.size(), 3u);
}

}  // namespace
