// FLAC through the conversion API: WAV -> FLAC -> WAV is bit-exact at the
// same rate for every integer type; the --info digest of the same audio is
// the same in WAV, WavPack and FLAC and equals the FLAC file's STREAMINFO MD5;
// damaged FLAC inputs end without an output file (a float type for FLAC: see
// the command-line tests).

#include <FLAC/metadata.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "audio/io/OpenFile.h"
#include "job/Conversion.h"
#include "job/InputReport.h"
#include "job/JobQueue.h"
#include "support/IOTestUtil.h"

namespace {

using namespace IOTest;
using Audio::Format;

Filesystem::Path P(const std::string& s) {
    return Filesystem::Path::Parse(s, Filesystem::Path::Kind::File);
}

// Same-rate conversion of `in` to `type` in `container`, into `folder`.
Filesystem::Path Convert(const std::string& in, SampleType type, Container container,
                         const std::string& folder) {
    ConversionRequest r;
    r.sampleType = type;
    r.container = container;
    r.outputFolder = P(folder);
    Validate(r);
    const OutputFormatBytes b = SampleTypeEntry(type).format;
    const Format request = Format::FromBytes(b.lowByte, b.scaleExponent, b.thirdByte, 0, 44100.0f);
    return ConvertFile(P(in), request, ConversionSettings{}, nullptr, OutputOptionsFor(r));
}

Bytes Samples(const std::string& path) {
    auto s = Audio::IO::OpenFile(P(path));
    return ReadAll(*s);
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", p[i]);
        out += two;
    }
    return out;
}

std::string StreamInfoMD5(const std::string& path) {
    FLAC__StreamMetadata info;
    if (!FLAC__metadata_get_streaminfo(path.c_str(), &info)) return "no STREAMINFO";
    return Hex(info.data.stream_info.md5sum, 16);
}

TEST(FLACConversion, RoundTripsThroughAiffAndDigestsAgreeForEveryIntegerType) {
    const struct {
        SampleType type;
        std::uint16_t bytes;
    } types[] = {{SampleType::Int8, 1},
                 {SampleType::Int16, 2},
                 {SampleType::Int24, 3},
                 {SampleType::Int32, 4}};
    for (const auto& t : types) {
        SCOPED_TRACE(SampleTypeName(t.type));
        TempDir dir;
        const std::string in = dir.file("in.wav"), aiffDir = dir.file("aiff"),
                          flacDir = dir.file("flac"), backDir = dir.file("back"),
                          wvDir = dir.file("wv");
        for (const std::string& d : {aiffDir, flacDir, backDir, wvDir})
            std::filesystem::create_directory(d);
        const std::uint16_t align = 2 * t.bytes;
        WriteFile(in, Wav(FmtPayload(1, 2, 44100, align, std::uint16_t(8 * t.bytes)),
                          Sequence(std::size_t{30011} * align, t.bytes)));

        // WAV -> AIFF -> FLAC -> WAV at the same rate gives back every sample.
        const std::string aiff = Convert(in, t.type, Container::Aiff, aiffDir).NativeText();
        const std::string flac = Convert(aiff, t.type, Container::Flac, flacDir).NativeText();
        EXPECT_EQ(flac.substr(flac.size() - 5), ".flac");
        const std::string back = Convert(flac, t.type, Container::Wave, backDir).NativeText();
        EXPECT_EQ(Samples(back), Samples(in));
        if (HaveTool("flac")) {
            EXPECT_EQ(std::system(("flac -s -t '" + flac + "'").c_str()), 0);
        }

        const std::string wv = Convert(in, t.type, Container::WavPack, wvDir).NativeText();
        const InputReport report = Inspect(P(flac));
        EXPECT_EQ(report.md5, StreamInfoMD5(flac));
        EXPECT_EQ(Inspect(P(in)).md5, report.md5);
        EXPECT_EQ(Inspect(P(wv)).md5, report.md5);
        EXPECT_TRUE(report.warnings.empty());
    }
}

// Inputs that must fail: each leaves the output folder empty.
class FLACInputFailure : public ::testing::Test {
protected:
    // Converting `in` to 16-bit WAV fails with a message holding `text`.
    void ExpectFailure(const Bytes& file, const std::string& text) {
        const std::string in = dir.file("in.flac"), out = dir.file("out");
        WriteFile(in, file);
        std::filesystem::create_directory(out);
        try {
            Convert(in, SampleType::Int16, Container::Wave, out);
            ADD_FAILURE() << "converted";
        } catch (const std::exception& e) {
            std::string message = e.what();
            try {
                std::rethrow_if_nested(e);
            } catch (const std::exception& inner) {
                message += std::string(": ") + inner.what();
            }
            EXPECT_NE(message.find(text), std::string::npos) << message;
        }
        EXPECT_TRUE(std::filesystem::is_empty(out));
    }
    // A FLAC file of 16-bit stereo made by our own writer.
    Bytes GoodFlac() {
        const std::string wav = dir.file("src.wav"), folder = dir.file("made");
        std::filesystem::create_directory(folder);
        WriteFile(wav, Wav(FmtPayload(1, 2, 44100, 4, 16), Sequence(40000 * 4, 5)));
        return ReadFile(Convert(wav, SampleType::Int16, Container::Flac, folder).NativeText());
    }
    TempDir dir;
};

TEST_F(FLACInputFailure, TruncatedFile) {
    Bytes f = GoodFlac();
    f.resize(f.size() / 2);
    ExpectFailure(f, "truncated FLAC file");
}

TEST_F(FLACInputFailure, WaveFileNamedFlac) {
    ExpectFailure(Wav(FmtPayload(1, 2, 44100, 4, 16), Sequence(4000, 5)), "not a FLAC file");
}

}  // namespace
