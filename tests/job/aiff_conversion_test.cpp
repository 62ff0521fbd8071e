// AIFF through the conversion job: WAV -> AIFF -> WAV keeps every sample of
// every integer type, a file cut short converts with its warning, and files
// that are not AIFF, or outputs too large for it, leave nothing behind.

#include <gtest/gtest.h>

#include <filesystem>

#include "audio/io/FileWriter.h"
#include "audio/io/OpenFile.h"
#include "job/Conversion.h"
#include "job/JobQueue.h"
#include "support/IOTestUtil.h"

namespace {

using namespace IOTest;
using Audio::Format;

Filesystem::Path PathOf(const std::string& text) {
    return Filesystem::Path::Parse(text, Filesystem::Path::Kind::File);
}

std::size_t FilesIn(const std::filesystem::path& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                  std::filesystem::directory_iterator()));
}

TEST(AiffConversion, WavToAiffToWavKeepsEverySample) {
    ConversionRequest aiffRequest;
    aiffRequest.container = Container::Aiff;
    const OutputOptions toAiff = OutputOptionsFor(aiffRequest);
    EXPECT_EQ(toAiff.writerId, Audio::IO::kAiffWriter);
    EXPECT_EQ(toAiff.extension, ".aiff");
    EXPECT_EQ(ParseContainer("aiff"), Container::Aiff);

    const struct {
        SampleType type;
        std::uint16_t bytes;
    } cases[] = {{SampleType::Int8, 1},
                 {SampleType::Int16, 2},
                 {SampleType::Int24, 3},
                 {SampleType::Int32, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(SampleTypeName(c.type)));
        TempDir dir;
        const std::uint16_t channels = 2, align = static_cast<std::uint16_t>(c.bytes * channels);
        const Bytes data = Sequence(std::size_t{align} * 3001, c.bytes);
        WriteFile(dir.file("in.wav"),
                  Wav(FmtPayload(1, channels, 48000, align, c.bytes * 8), data));

        const OutputFormatBytes& o = SampleTypeEntry(c.type).format;
        const Format request = Format::FromBytes(o.lowByte, o.scaleExponent, o.thirdByte, 0, 48000);
        ConversionSettings s;
        const Filesystem::Path aiff =
            ConvertFile(PathOf(dir.file("in.wav")), request, s, nullptr, toAiff);
        EXPECT_EQ(aiff.Extension(), ".aiff");
        const Filesystem::Path wav = ConvertFile(aiff, request, s, nullptr, {});
        auto back = Audio::IO::OpenFile(wav);
        EXPECT_EQ(back.format().bytesPerSample(), c.bytes);
        EXPECT_EQ(ReadAll(*back), data);
    }
}

TEST(AiffConversion, CutShortInputConvertsWithItsWarning) {
    TempDir dir;
    Builder comm{{}, true};
    comm.u16(1).u32(2000).u16(16).u16(0x400E).u16(0xAC44).u32(0).u16(0);  // 44100 Hz
    Builder ssnd{{}, true};
    ssnd.u32(0).u32(0).raw(Sequence(4000, 2));
    Bytes file =
        Group("FORM", "AIFF", {Chunk("COMM", comm.b, true), Chunk("SSND", ssnd.b, true)}, true);
    file.erase(file.end() - (4000 - 2 * 1234), file.end());  // cut short
    WriteFile(dir.file("cut.aif"), file);
    std::vector<std::string> warnings;
    const Filesystem::Path out =
        ConvertFile(PathOf(dir.file("cut.aif")), Format::FromBytes(0x22, 16, 0, 0, 44100),
                    ConversionSettings{}, nullptr, {}, &warnings);
    EXPECT_EQ(warnings, std::vector<std::string>{"input cut short: 1234 of 2000 frames"});
    EXPECT_EQ(Audio::IO::OpenFile(out)->length, 1234 * 2);
}

TEST(AiffConversion, WhatIsNotAiffLeavesNoFile) {
    const struct {
        const char* name;
        Bytes file;
        const char* reason;
    } cases[] = {
        {"wave.aiff", Wav(FmtPayload(1, 1, 44100, 2, 16), Bytes(200)),
         "not an AIFF or AIFF-C file"},
        {"broken.aif", Group("FORM", "AIFF", {Chunk("COMM", Bytes(10), true)}, true),
         "Malformed AIFF file"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteFile(dir.file(c.name), c.file);
        try {
            ConvertFile(PathOf(dir.file(c.name)), Format::FromBytes(0x22, 16, 0, 0, 44100),
                        ConversionSettings{}, nullptr, {});
            ADD_FAILURE() << c.name;
        } catch (const Audio::IO::FileError& e) {
            try {
                std::rethrow_if_nested(e);
            } catch (const std::exception& inner) {
                EXPECT_STREQ(inner.what(), c.reason) << c.name;
            }
        }
        EXPECT_EQ(FilesIn(dir.path()), 1u) << c.name;
    }
}

}  // namespace

TEST(AiffConversion, AnOutputBeyondTheHeadersSizesFailsBeforeAnyWork) {
    // 30 million frames of 8000 Hz mono (a sparse file: the header, then a hole) would be
    // 5.8 GB as 192000 Hz fp64, past AIFF's 32-bit sizes; the same fits a WAVE file's RF64.
    TempDir dir;
    const std::uint32_t frames = 30'000'000;
    Bytes header = Wav(FmtPayload(1, 1, 8000, 2, 16), Bytes());
    const std::uint32_t data = frames * 2;
    for (int i = 0; i < 4; ++i) header[header.size() - 4 + i] = std::uint8_t(data >> (8 * i));
    const std::uint32_t riff = static_cast<std::uint32_t>(header.size()) - 8 + data;
    for (int i = 0; i < 4; ++i) header[4 + i] = std::uint8_t(riff >> (8 * i));
    WriteFile(dir.file("long.wav"), header);
    std::filesystem::resize_file(dir.file("long.wav"), header.size() + data);
    ConversionRequest request;
    request.container = Container::Aiff;
    try {
        ConvertFile(PathOf(dir.file("long.wav")), Format::FromBytes(0x48, 0xFF, 0, 0, 192000),
                    ConversionSettings{}, nullptr, OutputOptionsFor(request));
        ADD_FAILURE() << "converted";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(),
                     "the output is too large for the 32-bit sizes of its header (4 GiB)");
    }
    EXPECT_EQ(FilesIn(dir.path()), 1u);
}
