// WAV metadata: chunk readers, rescaling of positions, and the WAVE writer's
// metadata chunks read back by the reader.

#include "audio/io/Metadata.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/format/Translator.h"
#include "audio/io/FileWriter.h"
#include "audio/io/WAVEWriter.h"
#include "audio/io/WAVParser.h"
#include "support/IOTestUtil.h"
#include "support/MetadataFiles.h"

using namespace IOTest;
using namespace MetaTest;
using namespace Audio::IO;

namespace {

// Expected values computed apart, with exact fractions: floor(p x out / (in x speed) + 1/2).
TEST(MetadataScale, PositionsRoundExactly) {
    struct Case {
        double in, out, speed;
        std::int64_t p, expected;
    } cases[] = {
        {44100, 48000, 1.0, 22050, 24000},
        {44100, 48000, 1.0, 44099, 47999},
        {44100, 48000, 1.0, 21474837480, 23373972767},  // above 2^32
        {48000, 44100, 1.0, 1000, 919},
        {48000, 44100, 1.0, 1099511640121, 1010176319361},
        {96000, 44100, 1.0, 441, 203},
        {96000, 44100, 1.0, 21474837480, 9865003467},
        {48000, 48000, 1.01, 22050, 21832},
        {48000, 48000, 1.01, 21474837480, 21262215327},
        {2, 1, 1.0, 1, 1},  // an exact half rounds up
        {44100, 48000, 1.0, 0, 0},
        {44100, 48000, 1.0, -5, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScalePosition(c.p, c.in, c.out, c.speed), c.expected)
            << c.p << " at " << c.in << " -> " << c.out << " x" << c.speed;
}

TEST(MetadataScale, LeadingFramesMoveMarkersLaterAndStampsEarlier) {
    PositionMap map{44100, 48000, 1.0, 37, 48037};
    EXPECT_EQ(MapFramePosition(22050, map), 24037);
    EXPECT_EQ(MapFramePosition(4000000, map), 48037);  // clamped to the output
    EXPECT_EQ(MapTimeReference(21474837480ull, map), 23373972767ull - 37);
    EXPECT_EQ(MapTimeReference(10, map), 86400u * 48000 + 11 - 37);  // the day before
}

// A marker stays on the nearest frame of its sound: the delay's fraction (a sync offset's
// remainder) counts, and a frame of the input stays a frame of the output. A time of day stays
// within the day when a slower speed stretches it past midnight.
TEST(MetadataScale, MarkersFollowTheirSoundAndStampsStayInTheDay) {
    struct Case {
        PositionMap map;
        std::int64_t p, position;
        std::uint64_t t, stamp;
    } cases[] = {
        // Clicks at 500 and 734 in the output (a delay of -0.5, and 233.5 with the pre-ring).
        {{44100, 22050, 1.0, -0.5, 22050, 0, 1.0, 44100}, 1001, 500, 1001, 501},
        {{44100, 22050, 1.0, 233.5, 22284, 0, 1.0, 44100}, 1001, 734, 1001, 267},
        // The input's last frame, on the output's length at half the rate; its end after it.
        {{44100, 22050, 1.0, 0, 44100, 0, 1.0, 88200}, 88199, 44099, 0, 0},
        {{44100, 22050, 1.0, 0, 44100, 0, 1.0, 88200}, 88200, 44100, 0, 0},
        // 14:00 at half speed is 28:00: 04:00 of the next day. 12345 days, a count: kept.
        {{48000, 48000, 0.5}, 0, 0, 2419200000, 691200000},
        {{48000, 48000, 0.5}, 0, 0, 51194880000000, 102389760000000},
        // 23:30 relabelled 5 % slower (45600 Hz): 24:44:12.6 of the relabelled samples.
        {{45600, 45600, 1.0, 0, -1, 48000}, 0, 0, 4060800000, 120960000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MapFramePosition(c.p, c.map), c.position) << c.p;
        EXPECT_EQ(MapTimeReference(c.t, c.map), c.stamp) << c.t;
    }
    // The time reference as FLAC and WavPack files made from a broadcast WAV keep it, a tag.
    Metadata m;
    m.tags = {{TagScheme::Vorbis, "time_reference", "1000000"},
              {TagScheme::Ape, "Time_Reference", " 1000000 "},
              {TagScheme::Vorbis, "time_reference", "soon"}};
    const Metadata out = RescaleMetadata(m, PositionMap{44100, 48000});
    EXPECT_EQ(out.tags[0].value, "1088435");
    EXPECT_EQ(out.tags[1].value, "1088435");
    EXPECT_EQ(out.tags[2].value, "soon");
}

TEST(MetadataScale, IxmlKeepsEverythingButTheStampAndRates) {
    const std::string in = Ixml(44100);
    const std::string out = RescaleIxml(in, PositionMap{44100, 48000, 1.0, 0, -1});
    // 2^40 + 12345 at 44100 Hz is 1196747363397 at 48000 Hz: HI 278, LO 2746455109.
    std::string expected = in;
    for (auto [from, to] : {std::pair<std::string, std::string>{">44100<", ">48000<"},
                            {">44100<", ">48000<"},
                            {">256<", ">278<"},
                            {">12345<", ">2746455109<"}})
        expected.replace(expected.find(from), from.size(), to);
    EXPECT_EQ(out, expected);
}

// Stamps and sync points of an iXML text move as the file's samples do: through a relabelled
// rate (the stamp's samples are the file's: it keeps its count, as the bext time reference
// does), and with a kept pre-ring (a point in the file moves later, a time of day earlier).
TEST(MetadataScale, IxmlStampsAndSyncPointsFollowTheSamples) {
    auto ixml = [](std::uint32_t rate, std::uint64_t stamp, const char* type, std::uint64_t point,
                   std::uint64_t duration) {
        const std::string r = std::to_string(rate);
        return "<BWFXML><SPEED><TIMESTAMP_SAMPLE_RATE>" + r +
               "</TIMESTAMP_SAMPLE_RATE><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>0"
               "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>" +
               std::to_string(stamp) +
               "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO></SPEED><SYNC_POINT_LIST>"
               "<SYNC_POINT_COUNT>1</SYNC_POINT_COUNT><SYNC_POINT><SYNC_POINT_TYPE>" +
               type + "</SYNC_POINT_TYPE><SYNC_POINT_LOW>" + std::to_string(point) +
               "</SYNC_POINT_LOW><SYNC_POINT_HIGH>0</SYNC_POINT_HIGH><SYNC_POINT_EVENT_DURATION>" +
               std::to_string(duration) +
               "</SYNC_POINT_EVENT_DURATION></SYNC_POINT>"
               "</SYNC_POINT_LIST></BWFXML>";
    };
    struct Case {
        const char* what;
        PositionMap map;
        std::string in, expected;
    } cases[] = {
        {"a rate change with the pre-ring kept", PositionMap{44100, 48000, 1.0, 136, -1},
         ixml(44100, 1000000, "RELATIVE", 44100, 4410),
         ixml(48000, 1088299, "RELATIVE", 48136, 4800)},
        {"a time of day as a sync point", PositionMap{44100, 48000, 1.0, 136, -1},
         ixml(44100, 1000000, "ABSOLUTE", 1000000, 0),
         ixml(48000, 1088299, "ABSOLUTE", 1088299, 0)},
        {"a pull-down by relabelling 48000 Hz as 47952 Hz",
         PositionMap{47952, 47952, 1.0, 0, -1, 48000},
         ixml(48000, 1728000000, "RELATIVE", 48000, 100),
         ixml(47952, 1728000000, "RELATIVE", 48000, 100)},
    };
    for (const Case& c : cases) EXPECT_EQ(RescaleIxml(c.in, c.map), c.expected) << c.what;
}

// A CD image's cue sheet kept as text times its tracks: a speed change stretches them (they
// pointed at the wrong audio); names and other lines stay.
TEST(MetadataScale, TextCueSheetsStretchWithTheSpeed) {
    const std::string in =
        "TITLE \"Take 00:01:00\"\r\nFILE \"cd.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n"
        "    INDEX 01 00:00:00\r\n  TRACK 02 AUDIO\r\n    PREGAP 00:00:30\r\n"
        "    INDEX 01 00:02:00\r\n  TRACK 03 AUDIO\r\n    INDEX 01 59:59:74\r\n"
        "    INDEX 02 -1:00:00";  // damaged: as it is (it became 4772185883:20:00)
    const std::string out =
        "TITLE \"Take 00:01:00\"\r\nFILE \"cd.wav\" WAVE\r\n  TRACK 01 AUDIO\r\n"
        "    INDEX 01 00:00:00\r\n  TRACK 02 AUDIO\r\n    PREGAP 00:00:60\r\n"
        "    INDEX 01 00:04:00\r\n  TRACK 03 AUDIO\r\n    INDEX 01 119:59:73\r\n"
        "    INDEX 02 -1:00:00";
    EXPECT_EQ(StretchCueSheetText(in, 2.0), out);
    Metadata m;
    m.tags = {{TagScheme::Ape, "Cuesheet", in}, {TagScheme::Vorbis, "COMMENT", in}};
    for (const PositionMap& map :
         {PositionMap{44100, 44100, 0.5}, PositionMap{22050, 22050, 1.0, 0, -1, 44100}}) {
        const Metadata o = RescaleMetadata(m, map);
        EXPECT_EQ(o.tags[0].value, out);
        EXPECT_EQ(o.tags[1].value, in);
    }
    EXPECT_EQ(RescaleMetadata(m, PositionMap{44100, 48000}).tags[0].value, in);
}

// A writer may leave out the HI element while a count fits in 32 bits, and indent values: the
// rescaled count gets its HI element when it needs one. The bit depth is the output's.
TEST(MetadataScale, IxmlCountsGetTheirHighHalfWhenTheyNeedIt) {
    const std::string in =
        "<BWFXML><SPEED><AUDIO_BIT_DEPTH>24</AUDIO_BIT_DEPTH><TIMESTAMP_SAMPLE_RATE>\n\t48000\n"
        "</TIMESTAMP_SAMPLE_RATE><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>\n\t2419200000 "
        "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO></SPEED><SYNC_POINT><SYNC_POINT_TYPE>ABSOLUTE"
        "</SYNC_POINT_TYPE><SYNC_POINT_LOW>2419200000</SYNC_POINT_LOW></SYNC_POINT></BWFXML>";
    // 14:00 at 96 kHz is 4838400000 = 2^32 + 543432704.
    const std::string expected =
        "<BWFXML><SPEED><AUDIO_BIT_DEPTH>16</AUDIO_BIT_DEPTH><TIMESTAMP_SAMPLE_RATE>96000"
        "</TIMESTAMP_SAMPLE_RATE><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO>543432704"
        "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO><TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>1"
        "</TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI></SPEED><SYNC_POINT><SYNC_POINT_TYPE>ABSOLUTE"
        "</SYNC_POINT_TYPE><SYNC_POINT_LOW>543432704</SYNC_POINT_LOW><SYNC_POINT_HIGH>1"
        "</SYNC_POINT_HIGH></SYNC_POINT></BWFXML>";
    PositionMap map{48000, 96000};
    map.outputBits = 16;
    EXPECT_EQ(RescaleIxml(in, map), expected);
    // An empty HI element written self-closed takes the value (a second one was added).
    std::string selfClosed = in;
    selfClosed.insert(selfClosed.find("</SPEED>"), "<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI/>");
    const std::string out = RescaleIxml(selfClosed, map);
    EXPECT_EQ(out.find("_HI/>"), std::string::npos) << out;
    EXPECT_EQ(out.find("<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>1<"),
              out.rfind("<TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI>"))
        << out;
}

// A speed change moves the pitch of what is played: a sampler's root note ("smpl" in semitones
// and 2^-32 of one up, "inst" in semitones and cents) moves with it, key ranges stay.
TEST(MetadataScale, SamplerRootNotesFollowTheSpeed) {
    struct Case {
        double speed;
        std::uint32_t unity;
        double fraction;  // of a semitone
        std::uint8_t note;
        int cents;
    } cases[] = {
        {2.0, 72, 0.0, 72, 0},        {0.5, 48, 0.0, 48, 0}, {1.01, 60, 0.172262, 60, 17},
        {0.97, 59, 0.472680, 59, 47}, {1.0, 60, 0.0, 60, 0},
    };
    for (const Case& c : cases) {
        Metadata m;
        m.sampler = SamplerChunk{};
        m.sampler->unityNote = 60;
        m.instrument = std::array<std::uint8_t, 7>{60, 0, 0, 10, 100, 1, 127};
        PositionMap map{44100, 44100, c.speed};
        map.pitch = c.speed;
        const Metadata out = RescaleMetadata(m, map);
        EXPECT_EQ(out.sampler->unityNote, c.unity) << c.speed;
        EXPECT_NEAR(std::ldexp(out.sampler->pitchFraction, -32), c.fraction, 1e-5) << c.speed;
        EXPECT_EQ((*out.instrument)[0], c.note) << c.speed;
        EXPECT_EQ(static_cast<std::int8_t>((*out.instrument)[1]), c.cents) << c.speed;
        EXPECT_EQ((*out.instrument)[3], 10);
        EXPECT_EQ((*out.instrument)[4], 100);
    }
}

// A loop's end names its last frame: one that rounds onto the frame after the output's last
// (88199 of 88200 at half the rate) or lies past a cut-short end names the last frame instead.
TEST(MetadataScale, LoopEndsStayInsideTheOutput) {
    Metadata m;
    m.sampler = SamplerChunk{};
    m.sampler->loops = {SamplerLoop{1, 0, 100, 88199, 0, 0}, SamplerLoop{2, 0, 90000, 95000, 0, 0}};
    const Metadata out = RescaleMetadata(m, PositionMap{44100, 22050, 1.0, 0, 44100});
    EXPECT_EQ(out.sampler->loops[0].start, 50u);
    EXPECT_EQ(out.sampler->loops[0].end, 44099u);
    EXPECT_EQ(out.sampler->loops[1].end, 44099u);
    EXPECT_LE(out.sampler->loops[1].start, out.sampler->loops[1].end);
}

// A marker or loop moved past the last frame 32 bits count is left out and named (it was put on
// frame 4294967295, a day early in a long recording); its texts go with it.
TEST(MetadataScale, PositionsPast32BitsAreLeftOutAndNamed) {
    Metadata m;
    m.cues = {{1, 1000, 1000}, {2, 2199990000u, 2199990000u}};
    m.cueTexts = {{{'l', 'a', 'b', 'l'}, 1, 0, {}, "start"},
                  {{'l', 'a', 'b', 'l'}, 2, 0, {}, "end"}};
    m.sampler = SamplerChunk{};
    m.sampler->loops = {SamplerLoop{1, 0, 100, 200, 0, 0},
                        SamplerLoop{7, 0, 2147483648u, 2147490000u, 0, 0}};
    std::vector<std::string> lost;
    const Metadata out = RescaleMetadata(m, PositionMap{8000, 16000}, &lost);
    ASSERT_EQ(out.cues.size(), 1u);
    EXPECT_EQ(out.cues[0].sampleOffset, 2000u);
    ASSERT_EQ(out.cueTexts.size(), 1u);
    EXPECT_EQ(out.cueTexts[0].text, "start");
    ASSERT_EQ(out.sampler->loops.size(), 1u);
    EXPECT_EQ(out.sampler->loops[0].id, 1u);
    EXPECT_EQ(lost, (std::vector<std::string>{"marker 2 at frame 4399980000",
                                              "sampler loop 7 at frame 4294967296"}));
}

// What a container cannot hold is named, so that the job can say it was left out.
TEST(MetadataScale, WhatAContainerCannotHoldIsNamed) {
    Metadata m;
    m.bext = BextChunk{};
    m.ixml = "<BWFXML/>";
    // IPRT: the track number in ffmpeg's WAV files (said to have no place in FLAC). ISFT, the
    // program that wrote the input, is nothing of the audio's (every ffmpeg file warned).
    m.info = {{"INAM", "Title"}, {"IENG", "Engineer"}, {"IPRT", "3"}, {"ISFT", "Lavf59"}};
    m.cues.push_back(CuePoint{});
    CueText region;
    std::memcpy(region.kind.data(), "ltxt", 4);
    m.cueTexts.push_back(region);
    m.sampler = SamplerChunk{};
    m.sampler->loops.resize(3);
    using V = std::vector<std::string>;
    EXPECT_EQ(MetadataLeftOut(m, kWaveWriter), V{});
    EXPECT_EQ(MetadataLeftOut(m, kFlacWriter), V{"INFO IENG"});
    EXPECT_EQ(MetadataLeftOut(m, kWavpackWriter), V{"INFO IENG"});
    EXPECT_EQ(MetadataLeftOut(m, kAiffWriter), (V{"bext", "iXML", "INFO IENG", "INFO IPRT",
                                                  "region lengths", "loops past the second"}));
    EXPECT_EQ(MetadataLeftOut(m, kRawWriter),
              (V{"bext", "iXML", "INFO INAM", "INFO IENG", "INFO IPRT", "markers", "instrument"}));
    EXPECT_EQ(MetadataLeftOut(Metadata{}, kRawWriter), V{});
    // A FLAC CUESHEET holds a track for each of 254 cue points; more were cut without a word.
    Metadata many;
    for (std::uint32_t i = 1; i <= 255; ++i) many.cues.push_back({i, i * 10, i * 10});
    EXPECT_EQ(MetadataLeftOut(many, kFlacWriter), V{"CUESHEET tracks past the 254th cue point"});
    many.cues.pop_back();
    EXPECT_EQ(MetadataLeftOut(many, kFlacWriter), V{});
}

class MetadataFile : public ::testing::Test {
protected:
    Metadata Read(const Bytes& file, InputDetails* details = nullptr) {
        InputDetails own;
        InputDetails& d = details ? *details : own;
        const std::string p = dir.file("in.wav");
        WriteFile(p, file);
        auto s = WAVParser::Open(p, nullptr, &d);
        EXPECT_EQ(s->length, 2000);  // the audio is untouched
        EXPECT_EQ(ReadAll(*s), Bytes(2000, 0));
        return d.metadata;
    }
    TempDir dir;
};

TEST_F(MetadataFile, EveryChunkBeforeAndAfterTheDataIsRead) {
    const Metadata m = Read(RichWav(44100, 1000));
    ASSERT_TRUE(m.bext);
    EXPECT_EQ(m.bext->description, "Scene 12 take 3");
    EXPECT_EQ(m.bext->originator, "Recorder");
    EXPECT_EQ(m.bext->originatorReference, "REF-42");
    EXPECT_EQ(m.bext->originationDate, "2026-03-04");
    EXPECT_EQ(m.bext->originationTime, "10:00:00");
    EXPECT_EQ(m.bext->timeReference, kTimeReference);
    EXPECT_EQ(m.bext->version, 2);
    EXPECT_EQ(m.bext->umid[63], 64);
    EXPECT_EQ(m.bext->loudness[0], 0x9C);
    EXPECT_EQ(m.bext->codingHistory, "A=ANALOGUE,M=mono\r\n");
    EXPECT_EQ(m.ixml, Ixml(44100));
    const decltype(m.info) info = {
        {"INAM", "Title"}, {"IART", "Art"}, {"ICMT", "comment"}, {"ISFT", "x"}};
    EXPECT_EQ(m.info, info);
    ASSERT_EQ(m.cues.size(), 3u);
    EXPECT_EQ(m.cues[0].sampleOffset, kCueHalf);
    EXPECT_EQ(m.cues[2].position, kCueLate);
    ASSERT_EQ(m.cueTexts.size(), 3u);
    EXPECT_EQ(m.cueTexts[1].text, "early");
    EXPECT_EQ(m.cueTexts[2].length, kLtxtLength);
    ASSERT_TRUE(m.sampler && m.sampler->loops.size() == 1);
    EXPECT_EQ(m.sampler->loops[0].end, kLoopEnd);
    EXPECT_EQ(m.sampler->samplerData, (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(m.instrument, (std::array<std::uint8_t, 7>{60, 0xFE, 3, 10, 100, 1, 127}));
}

// One fixture per fault, after the data: the audio opens, the chunk is dropped with its warning.
TEST_F(MetadataFile, FaultyChunksAreDroppedWithAWarning) {
    struct Case {
        const char* name;
        Bytes chunk;
        const char* warning;
    } cases[] = {
        {"cue count beyond the chunk", Chunk("cue ", Builder{}.u32(1000).u32(1).b),
         "metadata: cue chunk malformed, dropped"},
        {"short bext", Chunk("bext", Bytes(100, 'x')), "metadata: bext chunk malformed, dropped"},
        {"loops beyond smpl", Chunk("smpl", Builder{}.raw(Bytes(28, 0)).u32(9).u32(0).b),
         "metadata: smpl chunk malformed, dropped"},
        {"INFO entry past its list", Chunk("LIST", Builder{}.id("INFO").id("INAM").u32(99).b),
         "metadata: LIST chunk malformed, dropped"},
        {"iXML declared 4 GiB", Chunk("iXML", Bytes(16, '<'), false, 0xFFFFFFF0),
         "metadata: iXML chunk truncated, dropped"},
        {"short inst", Chunk("inst", Bytes(3, 0)), "metadata: inst chunk malformed, dropped"},
    };
    for (const Case& c : cases) {
        Bytes file = Group("RIFF", "WAVE",
                           {Chunk("fmt ", FmtPayload(1, 1, 44100, 2, 16)),
                            Chunk("data", Bytes(2000, 0)), c.chunk});
        InputDetails d;
        const Metadata m = Read(file, &d);
        EXPECT_TRUE(m.empty()) << c.name;
        EXPECT_EQ(d.warnings, std::vector<std::string>{c.warning}) << c.name;
    }
}

TEST_F(MetadataFile, InfoTextWithoutTerminatorEndsAtItsChunk) {
    const Bytes list = Builder{}.id("INFO").raw(Chunk("INAM", {'a', 'b', 'c'})).b;
    const Metadata m = Read(Group("RIFF", "WAVE",
                                  {Chunk("fmt ", FmtPayload(1, 1, 44100, 2, 16)),
                                   Chunk("LIST", list), Chunk("data", Bytes(2000, 0))}));
    ASSERT_EQ(m.info.size(), 1u);
    EXPECT_EQ(m.info[0].second, "abc");
}

// The writer's chunks, read back by the reader: every field, the history line appended,
// the container's sizes right in RIFF and in RF64 (chosen for a large expected size), and
// past the "JUNK" chunk of an unknown length.
TEST_F(MetadataFile, WrittenChunksReadBack) {
    const Metadata in = Read(RichWav(44100, 1000));
    Metadata expected = in;
    expected.bext->codingHistory += "A=PCM,F=48000,W=24,M=stereo,T=Tessival\r\n";
    for (const std::int64_t promised :
         {std::int64_t{60}, std::int64_t{5} << 30, std::int64_t{-1}}) {
        const Audio::Format f = Audio::Format::FromBytes(0x23, 24, 0, 2, 48000.0f);
        auto writer =
            CreateFileWriter(MakeWriterSpec(kWaveWriter, Audio::Stream::Tag{0.0, f}), kWaveWriter);
        writer->metadata = std::make_shared<const Metadata>(in);
        const std::string out = dir.file("out.wav");
        const Bytes samples(60, 7);
        OpenFileWriter(out, *writer, promised);
        writer->BeforeWrite(samples.size());
        writer->output->Write(samples.data(), samples.data() + samples.size(), Stream::Samples);
        writer->Finish();

        const Bytes file = ReadFile(out);
        ASSERT_GE(file.size(), 8u);
        const bool rf64 = promised > 0xFFFFFFFF;
        EXPECT_EQ(std::string(file.begin(), file.begin() + 4), rf64 ? "RF64" : "RIFF");
        if (!rf64) {
            EXPECT_EQ(file[4] | file[5] << 8 | file[6] << 16 | std::uint32_t(file[7]) << 24,
                      file.size() - 8);
        }
        InputDetails d;
        auto s = WAVParser::Open(out, nullptr, &d);
        EXPECT_EQ(ReadAll(*s), samples) << promised;
        EXPECT_EQ(EncodeMetadata(d.metadata), EncodeMetadata(expected)) << promised;
        EXPECT_TRUE(d.warnings.empty());
    }
}

}  // namespace

TEST(MetadataTags, EachContainerNameMapsToOneInfoKey) {
    using Audio::IO::TagScheme;
    struct Row {
        TagScheme scheme;
        const char* name;  // as a file may store it
        const char* key;   // "" when not a common tag
        const char* back;  // the name written for `key`, null when none
    } const rows[] = {
        {TagScheme::Vorbis, "title", "INAM", "TITLE"},
        {TagScheme::Vorbis, "TrackNumber", "ITRK", "TRACKNUMBER"},
        {TagScheme::Vorbis, "ENCODER", "", nullptr},
        {TagScheme::Aiff, "(c) ", "ICOP", "(c) "},
        {TagScheme::Aiff, "ANNO", "ICMT", "ANNO"},
        {TagScheme::Aiff, "anno", "", nullptr},  // chunk ids are exact
        {TagScheme::Ape, "YEAR", "ICRD", "Year"},
        {TagScheme::Ape, "Album", "IPRD", "Album"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Audio::IO::InfoKeyForTag(r.scheme, r.name), r.key);
        const char* back = Audio::IO::TagNameForInfoKey(r.scheme, r.key);
        EXPECT_STREQ(back, r.back);
    }
    // AIFF has no album, date, genre or track.
    for (const char* key : {"IPRD", "ICRD", "IGNR", "ITRK"})
        EXPECT_EQ(Audio::IO::TagNameForInfoKey(TagScheme::Aiff, key), nullptr) << key;
}

TEST(MetadataTags, TextBecomesUtf8) {
    EXPECT_EQ(Audio::IO::TagTextAsUtf8("Caf\xC3\xA9"), "Caf\xC3\xA9");                // kept
    EXPECT_EQ(Audio::IO::TagTextAsUtf8("Caf\xE9"), "Caf\xC3\xA9");                    // Latin-1
    EXPECT_EQ(Audio::IO::TagTextAsUtf8("\xC3"), "\xC3\x83");                          // cut short
    EXPECT_EQ(Audio::IO::TagTextAsUtf8("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // surrogate
}
