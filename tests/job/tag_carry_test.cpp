// Tags beyond the common ones and pictures go from FLAC and WavPack inputs
// to outputs that hold them; what an output cannot hold, and loudness tags
// a gain makes wrong, are named in a warning.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/io/FileWriter.h"
#include "audio/io/Metadata.h"
#include "support/IOTestUtil.h"
#include "support/MetadataConversion.h"

using namespace Audio::IO;
using Pairs = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::vector<std::uint8_t> kImage = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};  // a JPEG's start

// The input's metadata in `scheme`'s names: two artists, a custom tag, a ReplayGain tag, the
// program that encoded it (as ffmpeg names it; not the output's, dropped without a word) and a
// front cover.
std::shared_ptr<Metadata> Tagged(TagScheme scheme) {
    auto m = std::make_shared<Metadata>();
    m->info = {{"INAM", "T"}, {"IART", "A1"}};
    const bool vorbis = scheme == TagScheme::Vorbis;
    m->tags = {{scheme, vorbis ? "ARTIST" : "Artist", "A2"},
               {scheme, vorbis ? "CUSTOMKEY" : "MyKey", "v"},
               {scheme, "REPLAYGAIN_TRACK_GAIN", "-3.00 dB"},
               {scheme, vorbis ? "encoder" : "Encoder", "Lavf59.27.100"}};
    Picture p;
    p.mime = "image/jpeg";
    p.description = "front.jpg";
    p.data = kImage;
    m->pictures = {p};
    return m;
}

Pairs TagsOf(const Metadata& m) {
    Pairs out;
    for (const ExtraTag& t : m.tags) out.emplace_back(t.name, t.value);
    return out;
}

TEST(TagCarry, OutputsKeepWhatTheyCanAndNameTheRest) {
    struct Row {
        const char* name;
        int inWriter;
        const char* inFile;
        int outWriter;
        const char* extension;
        double gain;
        Pairs tags;            // the output's, beyond the common ones
        std::size_t pictures;  // the output's
        std::string leftOut;   // part of a warning; empty: no warning of what is not kept
    } const rows[] = {
        {"FLAC>FLAC",
         kFlacWriter,
         "in.flac",
         kFlacWriter,
         ".flac",
         1.0,
         {{"ARTIST", "A2"}, {"CUSTOMKEY", "v"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}},
         1,
         ""},
        {"WV>WV",
         kWavpackWriter,
         "in.wv",
         kWavpackWriter,
         ".wv",
         1.0,
         {{"Artist", "A2"}, {"MyKey", "v"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}},
         1,
         ""},
        {"FLAC>WV",
         kFlacWriter,
         "in.flac",
         kWavpackWriter,
         ".wv",
         1.0,
         {{"Artist", "A2"}, {"CUSTOMKEY", "v"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}},
         1,
         ""},
        {"WV>FLAC",
         kWavpackWriter,
         "in.wv",
         kFlacWriter,
         ".flac",
         1.0,
         {{"ARTIST", "A2"}, {"MYKEY", "v"}, {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB"}},
         1,
         ""},
        {"FLAC>WAV",
         kFlacWriter,
         "in.flac",
         kWaveWriter,
         ".wav",
         1.0,
         {},
         0,
         ": tag ARTIST (a further value), tag CUSTOMKEY, tag REPLAYGAIN_TRACK_GAIN, picture (front "
         "cover)"},
        {"FLAC>FLAC at half gain",
         kFlacWriter,
         "in.flac",
         kFlacWriter,
         ".flac",
         0.5,
         {{"ARTIST", "A2"}, {"CUSTOMKEY", "v"}},
         1,
         "no longer holds for the output: REPLAYGAIN_TRACK_GAIN"},
    };
    IOTest::TempDir dir;
    int outputs = 0;
    const Audio::Format f = IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string in = dir.file(r.inFile);
        IOTest::WriteThrough(
            r.inWriter, IOTest::Sequence(4000), f, 0, in,
            Tagged(r.inWriter == kFlacWriter ? TagScheme::Vorbis : TagScheme::Ape));
        ConversionSettings s;
        s.gain = r.gain;
        std::vector<std::string> warnings;
        const std::string out =
            MetaTest::ConvertInto(dir.file("out" + std::to_string(++outputs)), in, r.outWriter,
                                  r.extension, 48000.0f, s, &warnings);
        const Metadata m = MetaTest::ReadMetadataOf(out);
        EXPECT_EQ(m.info, (Pairs{{"INAM", "T"}, {"IART", "A1"}}));
        EXPECT_EQ(TagsOf(m), r.tags);
        ASSERT_EQ(m.pictures.size(), r.pictures);
        if (r.pictures) {
            EXPECT_EQ(m.pictures[0].type, 3u);
            EXPECT_EQ(m.pictures[0].mime, "image/jpeg");
            EXPECT_EQ(m.pictures[0].description, "front.jpg");
            EXPECT_EQ(m.pictures[0].data, kImage);
        }
        const auto notKept = std::find_if(warnings.begin(), warnings.end(),
                                          [](const auto& w) { return w.starts_with("not kept"); });
        if (r.leftOut.empty()) {
            EXPECT_EQ(notKept, warnings.end()) << *notKept;
        } else {
            ASSERT_NE(notKept, warnings.end());
            EXPECT_NE(notKept->find(r.leftOut), std::string::npos) << *notKept;
        }
    }
}

// ffmpeg writes a comment into FLAC as DESCRIPTION and a year into WavPack as "date": outputs
// that keep only the common tags read them as those (they were dropped, with a warning); FLAC
// and WavPack outputs keep them by name, and a file that has the common tag too keeps both.
TEST(TagCarry, OtherNamesOfACommonTagFillIt) {
    struct Row {
        const char* name;
        int inWriter;
        Pairs inTags;
        int outWriter;
        Pairs info;  // the output's common tags
        Pairs tags;  // and the others
        const char* leftOut;  // in the warning of what is not kept; empty: no warning
    } const rows[] = {
        {"FLAC>WAV",
         kFlacWriter,
         {{"DESCRIPTION", "d"}},
         kWaveWriter,
         {{"INAM", "T"}, {"ICMT", "d"}},
         {},
         ""},
        {"WV>WAV",
         kWavpackWriter,
         {{"date", "2020"}},
         kWaveWriter,
         {{"INAM", "T"}, {"ICRD", "2020"}},
         {},
         ""},
        {"WV>AIFF",
         kWavpackWriter,
         {{"Comment", "c"}, {"Date", "2020"}},
         kAiffWriter,
         {{"INAM", "T"}, {"ICMT", "c"}},
         {},
         "tag Date"},
        {"FLAC>WAV with a comment too",
         kFlacWriter,
         {{"COMMENT", "c"}, {"DESCRIPTION", "d"}},
         kWaveWriter,
         {{"INAM", "T"}, {"ICMT", "c"}},
         {},
         "tag DESCRIPTION"},
        {"FLAC>FLAC",
         kFlacWriter,
         {{"DESCRIPTION", "d"}},
         kFlacWriter,
         {{"INAM", "T"}},
         {{"DESCRIPTION", "d"}},
         ""},
        {"WV>WV",
         kWavpackWriter,
         {{"date", "2020"}},
         kWavpackWriter,
         {{"INAM", "T"}},
         {{"date", "2020"}},
         ""},
    };
    IOTest::TempDir dir;
    int outputs = 0;
    const Audio::Format f = IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const TagScheme scheme = r.inWriter == kFlacWriter ? TagScheme::Vorbis : TagScheme::Ape;
        auto tagged = std::make_shared<Metadata>();
        tagged->info = {{"INAM", "T"}};
        for (const auto& [name, value] : r.inTags) KeepTag(*tagged, scheme, name, value);
        const std::string in = dir.file(r.inWriter == kFlacWriter ? "in.flac" : "in.wv");
        IOTest::WriteThrough(r.inWriter, IOTest::Sequence(4000), f, 0, in, tagged);
        const char* extension = r.outWriter == kWaveWriter   ? ".wav"
                                : r.outWriter == kAiffWriter ? ".aiff"
                                : r.outWriter == kFlacWriter ? ".flac"
                                                             : ".wv";
        std::vector<std::string> warnings;
        const std::string out =
            MetaTest::ConvertInto(dir.file("alias" + std::to_string(++outputs)), in, r.outWriter,
                                  extension, 48000.0f, ConversionSettings{}, &warnings);
        const Metadata m = MetaTest::ReadMetadataOf(out);
        EXPECT_EQ(m.info, r.info);
        EXPECT_EQ(TagsOf(m), r.tags);
        const auto notKept = std::find_if(warnings.begin(), warnings.end(),
                                          [](const auto& w) { return w.starts_with("not kept"); });
        if (*r.leftOut == 0) {
            EXPECT_EQ(notKept, warnings.end()) << *notKept;
        } else {
            ASSERT_NE(notKept, warnings.end());
            EXPECT_NE(notKept->find(r.leftOut), std::string::npos) << *notKept;
        }
    }
}

// ffmpeg keeps a broadcast WAV's time reference in FLAC and WavPack files as a tag: a WAVE
// output holds it in "bext" (it was dropped as having no place), rescaled to the output's rate.
TEST(TagCarry, ATimeReferenceTagBecomesTheBroadcastHeaders) {
    IOTest::TempDir dir;
    const Audio::Format f = IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100);
    for (const auto& [writer, extension] :
         {std::pair{kFlacWriter, ".flac"}, std::pair{kWavpackWriter, ".wv"}}) {
        SCOPED_TRACE(extension);
        auto tagged = std::make_shared<Metadata>();
        const TagScheme scheme = writer == kFlacWriter ? TagScheme::Vorbis : TagScheme::Ape;
        KeepTag(*tagged, scheme, "time_reference", "158760000");  // one hour at 44100 Hz
        KeepTag(*tagged, scheme, "origination_date", "2026-03-04");
        KeepTag(*tagged, scheme, "origination_time", "10:00:00:00");  // too long: a tag still
        const std::string in = dir.file(std::string("in") + extension);
        IOTest::WriteThrough(writer, IOTest::Sequence(4000), f, 0, in, tagged);
        std::vector<std::string> warnings;
        const std::string out =
            MetaTest::ConvertInto(dir.file(extension + 1), in, kWaveWriter, ".wav", 48000.0f,
                                  ConversionSettings{}, &warnings);
        const Metadata m = MetaTest::ReadMetadataOf(out);
        ASSERT_TRUE(m.bext);
        EXPECT_EQ(m.bext->timeReference, 172800000u);
        EXPECT_EQ(m.bext->originationDate, "2026-03-04");
        EXPECT_EQ(m.bext->originationTime, "");
        for (const std::string& w : warnings) EXPECT_EQ(w.find("time_reference"), w.npos) << w;
        const auto notKept = std::find_if(warnings.begin(), warnings.end(),
                                          [](const auto& w) { return w.starts_with("not kept"); });
        ASSERT_NE(notKept, warnings.end());
        EXPECT_NE(notKept->find("tag origination_time"), std::string::npos) << *notKept;
    }
}

// A broadcast WAV's time reference in FLAC and WavPack outputs: beside the header kept whole,
// the tag ffmpeg reads (it saw none); back in a WAVE file the tag is the header's copy, not a
// tag left out.
TEST(TagCarry, TheTimeReferenceIsAlsoATagInFlacAndWavpack) {
    IOTest::TempDir dir;
    auto m = std::make_shared<Metadata>();
    m->bext.emplace();
    m->bext->timeReference = 158760000;  // one hour at 44100 Hz
    const std::string in = dir.file("in.wav");
    IOTest::WriteThrough(kWaveWriter, IOTest::Sequence(4000),
                         IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100), 0, in, m);
    for (const auto& [writer, extension] :
         {std::pair{kFlacWriter, ".flac"}, std::pair{kWavpackWriter, ".wv"}}) {
        SCOPED_TRACE(extension);
        const std::string mid =
            MetaTest::ConvertInto(dir.file(extension + 1), in, writer, extension, 48000.0f, {});
        const Metadata tagged = MetaTest::ReadMetadataOf(mid);
        const auto tag = std::find_if(tagged.tags.begin(), tagged.tags.end(),
                                      [](const auto& t) { return t.name == "time_reference"; });
        ASSERT_NE(tag, tagged.tags.end());
        EXPECT_EQ(tag->value, "172800000");
        std::vector<std::string> warnings;
        const std::string back =
            MetaTest::ConvertInto(dir.file(std::string("back") + (extension + 1)), mid, kWaveWriter,
                                  ".wav", 44100.0f, ConversionSettings{}, &warnings);
        const Metadata m2 = MetaTest::ReadMetadataOf(back);
        ASSERT_TRUE(m2.bext);
        EXPECT_EQ(m2.bext->timeReference, 158760000u);
        for (const std::string& w : warnings) EXPECT_EQ(w.find("time_reference"), w.npos) << w;
    }
}

// WAV INFO text is often Latin-1; FLAC and WavPack hold UTF-8 (every FLAC output of such a
// file failed, "std::bad_alloc", and WavPack stored the byte as it was).
TEST(TagCarry, LatinOneTextOfAWavReachesFlacAndWavpackAsUtf8) {
    IOTest::TempDir dir;
    auto m = std::make_shared<Metadata>();
    m->info = {{"IART", "Caf\xE9"}};
    const std::string in = dir.file("in.wav");
    IOTest::WriteThrough(kWaveWriter, IOTest::Sequence(4000),
                         IOTest::MakeFormat(2, Audio::Format::Integer, 16, 2, 44100), 0, in, m);
    for (const auto& [writer, extension] :
         {std::pair{kFlacWriter, ".flac"}, std::pair{kWavpackWriter, ".wv"}}) {
        const std::string out =
            MetaTest::ConvertInto(dir.file(extension + 1), in, writer, extension, 48000.0f, {});
        EXPECT_EQ(MetaTest::ReadMetadataOf(out).info, (Pairs{{"IART", "Caf\xC3\xA9"}}))
            << extension;
    }
}

}  // namespace
