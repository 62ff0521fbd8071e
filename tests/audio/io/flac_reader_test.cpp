// FLAC files written by other encoders (flac, ffmpeg; skipped where the tool
// is missing) decode to the samples of the WAVE file they were made from,
// with the digest their STREAMINFO states; damaged and foreign files fail
// with a message, a wrong audio MD5 is a warning.

#include <FLAC/metadata.h>
#include <gtest/gtest.h>

#include <random>

#include "audio/format/SampleDigest.h"
#include "audio/io/FLACDecoder.h"
#include "audio/io/OpenFile.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::Format;

namespace {

Filesystem::Path P(const std::string& s) {
    return Filesystem::Path::Parse(s, Filesystem::Path::Kind::File);
}

// A WAVE file of random samples: `valid` bits left-aligned in `bits`-bit
// containers (8-bit offset binary), extensible when not plain PCM.
Bytes SourceWav(std::uint16_t channels, std::uint16_t bits, std::uint16_t valid,
                std::uint32_t frames, std::uint32_t seed, Bytes* data = nullptr) {
    std::mt19937 rng(seed);
    const std::uint32_t bytes = bits / 8u;
    Bytes d(std::size_t{frames} * channels * bytes);
    for (std::size_t i = 0; i < d.size() / bytes; ++i) {
        std::uint64_t v = rng() << (bits - valid);
        if (i % 500 < 20) v = bits == 8 ? 0x80 : 0;  // runs of silence
        for (std::uint32_t k = 0; k < bytes; ++k) d[i * bytes + k] = std::uint8_t(v >> (8 * k));
    }
    if (data) *data = d;
    const std::uint32_t rate = 44100;
    if (valid == bits && bits <= 16 && channels <= 2)
        return Wav(FmtPayload(1, channels, rate, std::uint16_t(channels * bytes), bits), d);
    return Wav(ExtensiblePayload(channels, rate, bits, valid, 1, false, channels == 6 ? 0x3F : -1),
               d);
}

// The bytes and digest of a file decoded by our reader.
struct Decoded {
    Format format;
    std::int64_t length = 0;  // as opened
    Bytes bytes;
    MD5::Hash digest{};
    std::vector<std::string> warnings;
};

Decoded Decode(const std::string& path) {
    Decoded d;
    Audio::IO::InputDetails details;
    {
        auto s = Audio::Stream::HashSamples(
            d.digest, Audio::IO::OpenFile(P(path), nullptr, nullptr, &details));
        d.format = s.format();
        d.length = s->length;
        d.bytes = ReadAll(*s);
    }
    d.warnings = details.warnings;
    return d;
}

MD5::Hash StreamInfoMD5(const std::string& path) {
    FLAC__StreamMetadata info;
    MD5::Hash h{};
    if (FLAC__metadata_get_streaminfo(path.c_str(), &info))
        std::memcpy(h.data(), info.data.stream_info.md5sum, 16);
    return h;
}

// A hand-made ID3v2.3 tag with one title frame and padding.
Bytes Id3Tag() {
    Bytes body = {'T', 'I', 'T', '2', 0, 0, 0, 5, 0, 0, 3, 'a', 'b', 'c', 'd'};
    body.resize(40, 0);
    Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, std::uint8_t(body.size())};
    tag.insert(tag.end(), body.begin(), body.end());
    return tag;
}

enum class Maker { Flac, FlacPiped, FlacId3, Ffmpeg };

TEST(FLACReader, FilesOtherEncodersWroteDecodeToTheirSource) {
    const struct {
        const char* name;
        Maker maker;
        std::uint16_t channels, bits, valid;
    } cases[] = {
        {"16-bit stereo", Maker::Flac, 2, 16, 16},
        {"24-bit stereo", Maker::Flac, 2, 24, 24},
        {"8-bit mono", Maker::Flac, 1, 8, 8},
        {"12 bits in 16", Maker::Flac, 2, 16, 12},
        {"20 bits in 24", Maker::Flac, 1, 24, 20},
        {"6 channels", Maker::Flac, 6, 16, 16},
        {"32-bit", Maker::Flac, 2, 32, 32},
        {"piped: no total samples, no MD5", Maker::FlacPiped, 2, 16, 16},
        {"ID3v2 tag in front", Maker::FlacId3, 2, 16, 16},
        {"ffmpeg 16-bit", Maker::Ffmpeg, 2, 16, 16},
        {"ffmpeg 24-bit 6 channels", Maker::Ffmpeg, 6, 24, 24},
    };
    const bool haveFlac = HaveTool("flac"), haveFfmpeg = HaveTool("ffmpeg");
    if (!haveFlac && !haveFfmpeg) GTEST_SKIP() << "neither flac nor ffmpeg is installed";
    TempDir dir;
    std::uint32_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.maker == Maker::Ffmpeg ? !haveFfmpeg : !haveFlac)) continue;
        const std::string wav = dir.file("in.wav"), flac = dir.file("out.flac");
        Bytes data;
        WriteFile(wav, SourceWav(c.channels, c.bits, c.valid, 20000, ++seed, &data));
        std::string command;
        switch (c.maker) {
            case Maker::Flac:
            case Maker::FlacId3:
                command = "flac -s -f '" + wav + "' -o '" + flac + "'";
                break;
            case Maker::FlacPiped:  // raw samples through pipes: nothing can be written back
                WriteFile(dir.file("in.raw"), data);
                command = "cat '" + dir.file("in.raw") +
                          "' | flac -s -f --force-raw-format --endian=little --sign=signed "
                          "--channels=2 --bps=16 --sample-rate=44100 - -c 2>/dev/null | cat > '" +
                          flac + "'";
                break;
            case Maker::Ffmpeg:
                command =
                    "ffmpeg -nostdin -loglevel error -y -i '" + wav + "' -c:a flac '" + flac + "'";
                break;
        }
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        if (c.maker == Maker::FlacId3) {
            Bytes tagged = Id3Tag();
            const Bytes body = ReadFile(flac);
            tagged.insert(tagged.end(), body.begin(), body.end());
            WriteFile(flac, tagged);
        }

        const Decoded source = Decode(wav), got = Decode(flac);
        Bytes expected = source.bytes;
        if (c.bits == 8)
            for (auto& b : expected) b ^= 0x80;  // WAVE's offset binary
        EXPECT_EQ(got.bytes, expected);
        EXPECT_EQ(got.format.bitsPerSample(), c.valid);
        EXPECT_EQ(got.format.channels(), c.channels);
        EXPECT_EQ(got.format.sampleRate, 44100.0f);
        EXPECT_EQ(got.length, c.maker == Maker::FlacPiped ? -1 : std::int64_t(expected.size()));
        EXPECT_EQ(got.digest, source.digest);
        if (c.maker != Maker::FlacPiped) {
            EXPECT_EQ(got.digest, StreamInfoMD5(flac));
        }
        EXPECT_TRUE(got.warnings.empty());
    }
}

// The digest equals what ffmpeg's md5 muxer prints for 16-bit audio.
TEST(FLACReader, DigestMatchesFfmpegFor16Bit) {
    if (!HaveTool("ffmpeg") || !HaveTool("flac")) GTEST_SKIP() << "needs ffmpeg and flac";
    TempDir dir;
    const std::string wav = dir.file("in.wav"), flac = dir.file("in.flac");
    WriteFile(wav, SourceWav(2, 16, 16, 5000, 9));
    ASSERT_EQ(std::system(("flac -s -f '" + wav + "' -o '" + flac + "'").c_str()), 0);
    const std::string line =
        CommandOutput("ffmpeg -nostdin -loglevel error -i '" + flac + "' -f md5 -");
    std::string hex;
    char two[3];
    for (std::uint8_t b : Decode(flac).digest) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    EXPECT_EQ(line, "MD5=" + hex);
}

// One file of our own writer, read as it is or damaged in different ways.
class FLACFile : public ::testing::Test {
protected:
    void SetUp() override {
        const Format f = MakeFormat(2, Format::Integer, 16, 2, 44100);
        WriteThrough(Audio::IO::kFlacWriter, Sequence(30000 * 4, 3), f, 0, path);
        file = ReadFile(path);
        ASSERT_EQ(std::string(file.begin(), file.begin() + 4), "fLaC");
    }
    // The message of the reader's exception, nested in OpenFile's, from
    // opening and reading the file as it is now.
    std::string Failure() {
        WriteFile(path, file);
        try {
            Decode(path);
        } catch (const Audio::IO::FileError& e) {
            try {
                std::rethrow_if_nested(e);
            } catch (const std::exception& inner) {
                return inner.what();
            }
        } catch (const Audio::IO::FLACParser::exception& e) {
            return e.what();
        }
        return "";
    }
    TempDir dir;
    std::string path = dir.file("d.flac");
    Bytes file;
};

// Seeking lands on the frame asked for: inside a FLAC frame, on a frame
// boundary (our writer's frames hold 4096 samples), back to the start and
// at the end.
TEST_F(FLACFile, SeeksToAnyFrameOfAnIntactFile) {
    const Bytes source = Sequence(30000 * 4, 3);
    auto s = Audio::IO::OpenFile(P(path));
    for (const std::int64_t frame : {12345, 4096, 0, 29999, 4095, 30000, 1}) {
        SCOPED_TRACE(frame);
        s->seek(std::uint64_t(frame) * 4);
        s->position = frame * 4;
        const Bytes got = ReadAll(*s, 4000, 4000);
        const std::size_t at = std::size_t(frame) * 4;
        EXPECT_EQ(got,
                  Bytes(source.begin() + at, source.begin() + std::min(at + 4000, source.size())));
    }
}

TEST_F(FLACFile, WrongAudioMD5IsAWarning) {
    file[8 + 18] ^= 0x01;  // first byte of STREAMINFO's MD5
    WriteFile(path, file);
    const Decoded d = Decode(path);
    EXPECT_EQ(d.bytes, Sequence(30000 * 4, 3));
    ASSERT_EQ(d.warnings.size(), 1u);
    EXPECT_EQ(d.warnings[0], "audio MD5 does not match the file's STREAMINFO");
}

TEST_F(FLACFile, TruncatedFileFails) {
    file.resize(file.size() * 2 / 3);
    EXPECT_EQ(Failure().rfind("truncated FLAC file: it ends after ", 0), 0u) << Failure();
}

TEST_F(FLACFile, FlippedAudioByteFails) {
    file[file.size() / 2] ^= 0x10;
    EXPECT_EQ(Failure().rfind("damaged FLAC file: ", 0), 0u) << Failure();
}

TEST_F(FLACFile, WaveFileNamedFlacFails) {
    file = SourceWav(2, 16, 16, 100, 1);
    EXPECT_EQ(Failure(), "not a FLAC file (no FLAC stream header found)");
    // Ogg FLAC (flac --ogg) is named as such: its first page (27 bytes, a segment table of one)
    // holds the "\x7FFLAC" mapping header; another Ogg stream is no FLAC file.
    file.assign(28, 0);
    file[0] = 'O', file[1] = 'g', file[2] = 'g', file[3] = 'S', file[5] = 2, file[26] = 1;
    file[27] = 51;
    const Bytes oggFlac = {0x7F, 'F', 'L', 'A', 'C', 1, 0, 0, 1, 'f', 'L', 'a', 'C'};
    const Bytes vorbis = {1, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, 2, 0x44, 0xAC};
    const Bytes page = file;
    file.insert(file.end(), oggFlac.begin(), oggFlac.end());
    EXPECT_EQ(Failure(),
              "an Ogg file: FLAC in an Ogg container is not read (flac -d makes a WAV of it)");
    file = page;
    file.insert(file.end(), vorbis.begin(), vorbis.end());
    EXPECT_EQ(Failure(), "not a FLAC file (no FLAC stream header found)");
}

TEST_F(FLACFile, HeaderWithoutStreamInfoFails) {
    file.resize(12);  // "fLaC" and part of the STREAMINFO block
    EXPECT_EQ(Failure(), "damaged FLAC header: no complete STREAMINFO block");
}

}  // namespace
