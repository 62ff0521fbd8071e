#include <gtest/gtest.h>
#include <sys/stat.h>

#include "audio/io/InsertWriter.h"
#include "audio/io/OpenFile.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::IO::OpenFile;

namespace {

Filesystem::Path P(const std::string& text) {
    return Filesystem::Path::Parse(text, Filesystem::Path::Kind::File);
}

// The message of the exception nested in `e`, or "" when there is none.
std::string NestedMessage(const std::exception& e) {
    try {
        std::rethrow_if_nested(e);
    } catch (const std::exception& inner) {
        return inner.what();
    }
    return "";
}

class OpenFileTest : public ::testing::Test {
protected:
    OpenFileTest() {
        wav = Group("RIFF", "WAVE",
                    {Chunk("fmt ", FmtPayload(1, 2, 44100, 4, 16)), Chunk("data", data)});
    }
    Bytes data = Sequence(4 * 3000, 21);
    Bytes wav;
    TempDir dir;
};

TEST_F(OpenFileTest, ChoosesTheReaderByExtensionInAnyCase) {
    for (const char* name : {"take.wav", "TAKE.WAV", "Take.Wav"}) {
        WriteFile(dir.file(name), wav);
        Audio::IO::PropertyList props;
        auto s = OpenFile(P(dir.file(name)), &props);
        EXPECT_EQ(ReadAll(*s), data) << name;
        EXPECT_EQ(props[0].value, ".wav");
    }
    // The same samples as AIFF, stored big-endian.
    Bytes be = data;
    for (std::size_t i = 0; i < be.size(); i += 2) std::swap(be[i], be[i + 1]);
    Builder comm{{}, true};
    comm.u16(2).u32(3000).u16(16).u16(0x400E).u16(0xAC44).u32(0).u16(0);
    Builder ssnd{{}, true};
    ssnd.u32(0).u32(0).raw(be);
    const Bytes aiff =
        Group("FORM", "AIFF", {Chunk("COMM", comm.b, true), Chunk("SSND", ssnd.b, true)}, true);
    for (const char* name : {"take.aif", "TAKE.AIFF", "Take.Aifc"}) {
        WriteFile(dir.file(name), aiff);
        Audio::IO::PropertyList props;
        auto s = OpenFile(P(dir.file(name)), &props);
        EXPECT_EQ(ReadAll(*s), be) << name;
        EXPECT_EQ(props[1].value, "audio/x-aiff");
    }
    for (const char* name : {"take.mp3", "take.wav.bak", "take"}) {
        WriteFile(dir.file(name), wav);
        try {
            OpenFile(P(dir.file(name)));
            FAIL() << name;
        } catch (const Audio::IO::OpenError& e) {
            EXPECT_STREQ(e.what(), "Could not open file");
            EXPECT_EQ(e.code(), 4);
        }
    }
}

TEST_F(OpenFileTest, ReaderFailuresKeepTheirReason) {
    // A WavPack file named .wav.
    const std::string wv = dir.file("real.wv");
    {
        Audio::Stream::Wrapper<Stream::iOver> source(
            new AudioSource(data, MakeFormat(2, Audio::Format::Integer, 16, 2, 44100)));
        auto chain = Audio::IO::InsertWriter(
            source, Audio::IO::MakeFileWriter(Audio::IO::kWavpackWriter, source.tag(), wv));
        ReadAll(*chain);
    }
    EXPECT_EQ(OpenFile(P(wv)).format().channels(), 2u);
    std::filesystem::copy_file(wv, dir.file("fake.wav"));

    Bytes badFormat = wav;
    badFormat[20] = 2;  // ADPCM
    WriteFile(dir.file("adpcm.wav"), badFormat);
    WriteFile(dir.file("text.wv"), Sequence(100));
    WriteFile(dir.file("fake.aiff"), wav);
    // Names that stopped being regular files after a walk found them: a FIFO (whose open would
    // wait for a writer, and hung the batch) and a folder.
    ASSERT_EQ(::mkfifo(dir.file("pipe.flac").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.wav"));

    const std::pair<std::string, std::string> cases[] = {
        {dir.file("fake.wav"), "Unexpected end of IFF stream"},
        {dir.file("adpcm.wav"), "RIFF_WAVE file contains non-PCM data"},
        // A file that cannot be opened: which, and the system's reason.
        {dir.file("missing.wav"), dir.file("missing.wav") + ": No such file or directory"},
        {dir.file("missing.wv"), dir.file("missing.wv") + ": No such file or directory"},
        {dir.file("text.wv"), "Malformed Wavpack file"},
        {dir.file("fake.aiff"), "not an AIFF or AIFF-C file"},
        {dir.file("pipe.flac"), dir.file("pipe.flac") + ": not a regular file"},
        {dir.file("folder.wav"), dir.file("folder.wav") + ": not a regular file"},
    };
    for (const auto& [path, reason] : cases) {
        try {
            OpenFile(P(path));
            FAIL() << path;
        } catch (const Audio::IO::FileError& e) {
            EXPECT_STREQ(e.what(), "???") << path;
            EXPECT_EQ(e.code(), 1);
            EXPECT_EQ(NestedMessage(e), reason) << path;
        }
    }
}

TEST_F(OpenFileTest, DigestCoversFormatAndSamples) {
    const std::string path = dir.file("hash.wav");
    WriteFile(path, wav);
    MD5::Hash digest{};
    {
        auto s = OpenFile(P(path), nullptr, &digest);
        EXPECT_EQ(ReadAll(*s, 1000), data);  // reads of odd sizes
    }
    MD5::Hash expected{};
    MD5 md5(expected);
    const std::uint8_t prefix[8] = {0x22, 0x10, 0, 0x02, 0, 0x44, 0x2C, 0x47};  // 44100.0f
    md5.Update(prefix, prefix + 8);
    md5.Update(data.data(), data.data() + data.size());
    md5.Final();
    EXPECT_EQ(digest, expected);
}

}  // namespace
