#include <gtest/gtest.h>
#include <sys/stat.h>
#include <wavpack/wavpack.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "audio/format/Translator.h"
#include "audio/io/InsertWriter.h"
#include "audio/io/OpenFile.h"
#include "audio/io/WVDecoder.h"
#include "audio/io/WavpackWriter.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::Format;
using Audio::IO::iFileWriter;
using Audio::IO::WVDecoder;

namespace {

// The library's block writer for a C file.
int writeToFile(void* id, void* data, std::int32_t n) {
    return int(std::fwrite(data, 1, std::size_t(n), static_cast<std::FILE*>(id)) == std::size_t(n));
}

// Packs interleaved 16-bit `samples` (8000 Hz) with the library itself;
// `declaredFrames` goes into the header (-1: not known).
void PackWavpack16(const std::string& path, int channels, std::uint32_t mask,
                   std::int64_t declaredFrames, std::vector<std::int32_t> samples) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    WavpackContext* ctx = WavpackOpenFileOutput(writeToFile, file, nullptr);
    WavpackConfig config{};
    config.bits_per_sample = 16;
    config.bytes_per_sample = 2;
    config.num_channels = channels;
    config.channel_mask = static_cast<std::int32_t>(mask);
    config.sample_rate = 8000;
    EXPECT_TRUE(WavpackSetConfiguration64(ctx, &config, declaredFrames, nullptr));
    EXPECT_TRUE(WavpackPackInit(ctx));
    const auto frames = static_cast<std::uint32_t>(samples.size() / std::size_t(channels));
    EXPECT_TRUE(WavpackPackSamples(ctx, samples.data(), frames));
    EXPECT_TRUE(WavpackFlushSamples(ctx));
    WavpackCloseFile(ctx);
    std::fclose(file);
}

// Interleaved samples of `bytes` bytes each, little-endian, random within
// the type's range (floats within +-1).
Bytes RandomSamples(std::size_t count, std::uint32_t bytes, bool isFloat, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(count * bytes);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t v;
        if (isFloat && bytes == 4) {
            float x = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
            std::uint32_t u;
            std::memcpy(&u, &x, 4);
            v = u;
        } else {
            v = rng();
            // Some runs of equal values and silence, as real audio has.
            if (i % 1000 < 50) v = 0;
        }
        for (std::uint32_t k = 0; k < bytes; ++k) out[i * bytes + k] = std::uint8_t(v >> (8 * k));
    }
    return out;
}

// The 32-bit container values a reader of 4-byte right-aligned samples
// gives for `samples` of `bytes` bytes.
std::vector<std::int32_t> Widen(const Bytes& samples, std::uint32_t bytes) {
    std::vector<std::int32_t> out(samples.size() / bytes);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint32_t u = 0;
        for (std::uint32_t k = 0; k < bytes; ++k)
            u |= std::uint32_t(samples[i * bytes + k]) << (8 * k);
        const int shift = 32 - 8 * int(bytes);
        out[i] = std::int32_t(u << shift) >> shift;
    }
    return out;
}

std::vector<std::int32_t> AsInt32(const Bytes& b) {
    std::vector<std::int32_t> out(b.size() / 4);
    std::memcpy(out.data(), b.data(), out.size() * 4);
    return out;
}

// Writes `data` in `format` through the registry's WavPack writer and the
// insert stage, then releases the chain (which finishes the file).
void WriteWavpack(const std::string& path, const Bytes& data, Format format, std::size_t block) {
    Audio::Stream::Wrapper<Stream::iOver> source(new AudioSource(data, format));
    auto chain = Audio::IO::InsertWriter(
        source, Audio::IO::MakeFileWriter(Audio::IO::kWavpackWriter, source.tag(), path));
    EXPECT_EQ(ReadAll(*chain, block).size(), data.size());
}

struct Case {
    std::uint32_t bytes;
    Format::SampleType type;
    std::uint32_t scale;
};

TEST(WavpackWriter, RoundTripThroughTheReader) {
    TempDir dir;
    const Case cases[] = {{1, Format::Integer, 8},
                          {2, Format::Integer, 16},
                          {3, Format::Integer, 24},
                          {4, Format::Integer, 32},
                          {4, Format::Float, 1}};
    for (const Case& c : cases) {
        for (std::uint32_t ch : {1u, 2u, 6u}) {
            SCOPED_TRACE(testing::Message()
                         << c.bytes << " bytes, type " << c.type << ", " << ch << " channels");
            const Format f = MakeFormat(c.bytes, c.type, c.scale, ch, 44100);
            const std::size_t frames = 70001;  // several library blocks
            const Bytes data = RandomSamples(frames * ch, c.bytes, c.type == Format::Float, ch);
            const std::string path = dir.file("rt.wv");
            WriteWavpack(path, data, f, 8192);

            Audio::IO::PropertyList props;
            auto back = WVDecoder::Open(path, &props);
            const Format g = back.format();
            EXPECT_EQ(g.bytesPerSample(), 4u);
            EXPECT_EQ(g.sampleType(), std::uint32_t(c.type));
            EXPECT_EQ(g.scaleExponent(), c.scale);
            EXPECT_EQ(g.channels(), ch);
            EXPECT_EQ(g.sampleRate, 44100.0f);
            EXPECT_EQ(back->length, std::int64_t(frames * 4 * ch));
            ASSERT_GE(props.size(), 9u);
            EXPECT_EQ(props[4].value, std::to_string(frames));
            // The file's own sample width, not the stream's 32-bit containers.
            EXPECT_EQ(props[5].value, std::to_string(8 * c.bytes));
            EXPECT_EQ(props[6].value, std::to_string(c.bytes));
            EXPECT_EQ(props[7].value, std::to_string(c.bytes * ch));
            const Bytes got = ReadAll(*back, 10000);
            if (c.type == Format::Float)
                EXPECT_EQ(got, data);
            else
                EXPECT_EQ(AsInt32(got), Widen(data, c.bytes));
        }
    }
}

TEST(WavpackWriter, FormatAdapterAndConfiguration) {
    using W = Audio::IO::iFileWriter_Wavpack;
    Format i24 = W::AdaptFormat(MakeFormat(3, Format::Integer, 24, 2, 48000));
    EXPECT_EQ(i24.bytesPerSample(), 4u);
    EXPECT_EQ(i24.scaleExponent(), 24u);
    Format i20 = MakeFormat(3, Format::Integer, 20, 2, 48000);
    i20.setPaddingBits(4).setUnsigned(true).setBigEndian(true);
    Format a20 = W::AdaptFormat(i20);
    EXPECT_EQ(a20.scaleExponent(), 24u);
    EXPECT_EQ(a20.paddingBits(), 0u);
    EXPECT_FALSE(a20.isUnsigned() || a20.isBigEndian());
    EXPECT_EQ(W::AdaptFormat(MakeFormat(4, Format::Float, 3, 2, 48000)).scaleExponent(), 1u);
    EXPECT_THROW(W::AdaptFormat(MakeFormat(8, Format::Float, 1, 2, 48000)),
                 iFileWriter::IrredeemableFormat);
    EXPECT_THROW(W::AdaptFormat(MakeFormat(8, Format::Integer, 64, 2, 48000)),
                 iFileWriter::IrredeemableFormat);
    TempDir dir;
    EXPECT_THROW(Audio::IO::MakeFileWriter(0, {0.0, MakeFormat(8, Format::Float, 1, 2, 48000)},
                                           dir.file("no.wv")),
                 iFileWriter::IrredeemableFormat);
    EXPECT_FALSE(std::filesystem::exists(dir.file("no.wv")));

    // What the library was told, read back through the library itself.
    struct Want {
        Format f;
        int bits, bytes, normExp, mask;
    };
    const Want wants[] = {{MakeFormat(3, Format::Integer, 24, 1, 48000), 24, 3, 0, 4},
                          {MakeFormat(2, Format::Integer, 16, 2, 48000), 16, 2, 0, 3},
                          {MakeFormat(4, Format::Float, 1, 6, 48000), 32, 4, 127, 0x3F}};
    for (const Want& w : wants) {
        const std::string path = dir.file("cfg.wv");
        WriteWavpack(path, Bytes(w.f.bytesPerFrame() * 100, 0), w.f, 4096);
        char error[128];
        WavpackContext* ctx = WavpackOpenFileInput(path.c_str(), error, 0, 0);
        ASSERT_NE(ctx, nullptr) << error;
        EXPECT_EQ(WavpackGetBitsPerSample(ctx), w.bits);
        EXPECT_EQ(WavpackGetBytesPerSample(ctx), w.bytes);
        if (w.normExp) {
            EXPECT_EQ(WavpackGetFloatNormExp(ctx), w.normExp);
        }
        EXPECT_EQ(WavpackGetChannelMask(ctx), w.mask);
        EXPECT_EQ(WavpackGetNumSamples64(ctx), 100);
        WavpackCloseFile(ctx);
    }
}

// An empty WavPack file cannot be made: the writer says so instead of
// leaving a file no reader opens. An expected size below one frame (a total
// of 0 for the library) must not fail or hang the writer's set-up.
TEST(WavpackWriter, EmptyAudioIsRefused) {
    TempDir dir;
    const Format f = MakeFormat(2, Format::Integer, 16, 2, 44100);
    for (const std::int64_t expected : {0, 2}) {
        auto w = Audio::IO::CreateFileWriter(
            Audio::IO::MakeWriterSpec(Audio::IO::kWavpackWriter, {0.0, f}),
            Audio::IO::kWavpackWriter);
        Audio::IO::OpenFileWriter(dir.file("empty.wv"), *w, expected);
        try {
            w->Finish();
            FAIL() << expected;
        } catch (const Audio::IO::iFileWriter_Wavpack::NoSamples& e) {
            EXPECT_STREQ(e.what(), "a WavPack file needs at least one sample: the audio is empty");
        }
    }
}

// The first block at offset 0 carries the count packed so far after every
// write, and the final count once finished.
TEST(WavpackWriter, FirstBlockCountFollowsTheFile) {
    TempDir dir;
    const std::string path = dir.file("grow.wv");
    const Format f = MakeFormat(4, Format::Integer, 16, 2, 44100);
    auto w = Audio::IO::CreateFileWriter(Audio::IO::MakeWriterSpec(0, {0.0, f}), 0);
    w->output = w->Open(Stream::OpenStdioOutput(path), 0);
    auto total = [&] {
        const Bytes file = ReadFile(path);
        if (file.size() < 32) return std::int64_t{-2};
        EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "wvpk");
        WavpackHeader h;
        std::memcpy(&h, file.data(), sizeof h);
        WavpackLittleEndianToNative(&h, const_cast<char*>(WavpackHeaderFormat));
        return std::int64_t{GET_TOTAL_SAMPLES(h)};
    };
    const Bytes block = RandomSamples(2 * 60000, 4, false, 3);
    std::vector<std::int32_t> samples = AsInt32(block);
    for (auto& s : samples) s >>= 16;  // 16-bit values
    auto* redirector = w->output.get();
    for (int i = 0; i < 3; ++i) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(samples.data());
        w->BeforeWrite(samples.size() * 4);
        redirector->Write(p, p + samples.size() * 4, Stream::Samples);
        if (i > 0) {
            const std::int64_t t = total();
            EXPECT_GT(t, 0);
            EXPECT_LE(t, 60000 * (i + 1));
        }
    }
    EXPECT_EQ(redirector->Tell(), -1);  // the count given to the library: unknown
    EXPECT_THROW(redirector->Seek(0), iFileWriter::InternalError);
    EXPECT_THROW(redirector->SeekRelative(4), iFileWriter::InternalError);
    // A silent block packs zeros whatever the memory holds.
    redirector->Write(block.data(), block.data() + 4 * 2 * 1000, Stream::Silence);
    static_cast<Audio::IO::iFileWriter_Wavpack&>(*w).Finish();
    EXPECT_EQ(total(), 181000);
    auto back = WVDecoder::Open(path, nullptr);
    const auto got = AsInt32(ReadAll(*back));
    ASSERT_EQ(got.size(), 2u * 181000);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.end() - 2000, got.end(), [](std::int32_t v) { return v == 0; }));
}

// A file whose header never got a sample count learns its length at the
// first short read.
TEST(WVDecoder, UnknownLengthIsLearnedAtTheEnd) {
    TempDir dir;
    const std::string path = dir.file("unknown.wv");
    std::vector<std::int32_t> samples(5000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::int32_t(i % 2000) - 1000;
    PackWavpack16(path, 1, 4, -1, samples);

    // From a seekable file the library finds the count in the last block;
    // through a pipe it cannot.
    const std::string fifo = dir.file("pipe.wv");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes bytes = ReadFile(path);
    std::thread feeder([&] {
        std::FILE* out = std::fopen(fifo.c_str(), "wb");
        if (!out) return;
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    });
    {
        auto s = WVDecoder::Open(fifo, nullptr);
        EXPECT_EQ(s->length, -1);
        EXPECT_EQ(AsInt32(ReadAll(*s, 4096)), samples);
        EXPECT_EQ(s->length, 20000);
    }
    feeder.join();
}

TEST(WVDecoder, SeekInsideAndPastTheEnd) {
    TempDir dir;
    const std::string path = dir.file("seek.wv");
    const Format f = MakeFormat(2, Format::Integer, 16, 2, 44100);
    const Bytes data = RandomSamples(2 * 30000, 2, false, 11);
    WriteWavpack(path, data, f, 16384);
    const auto all = Widen(data, 2);

    auto s = WVDecoder::Open(path, nullptr);
    s->seek(8 * 12345);
    s->position = 8 * 12345;
    const auto tail = AsInt32(ReadAll(*s, 8 * 1000));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), all.begin() + 2 * 12345));
    EXPECT_EQ(tail.size(), all.size() - 2 * 12345);

    s->seek(8 * 40000);
    s->position = 8 * 40000;
    Bytes buffer(800, 0x5A);
    auto blk = s->read(slice<std::uint8_t>(buffer.data(), buffer.size()), 800);
    EXPECT_EQ(blk.length(), 800u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; }));
}

// The stream format holds 255 channels: a valid file with more is refused
// with its reason, not read as some other layout.
TEST(WVDecoder, MoreChannelsThanTheFormatHoldsAreRefused) {
    TempDir dir;
    for (const int channels : {255, 256}) {
        const std::string path = dir.file("wide.wv");
        std::vector<std::int32_t> samples(10 * std::size_t(channels));
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = std::int32_t(i % 65536) - 32768;
        PackWavpack16(path, channels, 0, 10, samples);
        if (channels == 255) {
            auto s = WVDecoder::Open(path, nullptr);
            EXPECT_EQ(AsInt32(ReadAll(*s)), samples);
            continue;
        }
        try {
            WVDecoder::Open(path, nullptr);
            FAIL();
        } catch (const Audio::IO::WVParser::Unsupported& e) {
            EXPECT_STREQ(e.what(), "Wavpack file has 256 channels; at most 255 are supported");
        }
    }
}

TEST(WVDecoder, RefusesWhatIsNotWavpack) {
    TempDir dir;
    WriteFile(dir.file("junk.wv"), Sequence(5000));
    try {
        WVDecoder::Open(dir.file("junk.wv"), nullptr);
        FAIL();
    } catch (const Audio::IO::WVParser::Incomplete& e) {
        EXPECT_STREQ(e.what(), "Malformed Wavpack file");
        EXPECT_EQ(e.code(), 2);
    }
    // A file that cannot be opened says which and why.
    try {
        WVDecoder::Open(dir.file("missing.wv"), nullptr);
        FAIL();
    } catch (const Audio::IO::WVParser::exception& e) {
        EXPECT_EQ(e.what(), dir.file("missing.wv") + ": No such file or directory");
    }
}

// A file cut short says so: within its first block when opened, further on when read to the
// cut (it was "Malformed Wavpack file" either way).
TEST(WVDecoder, ACutFileSaysItIsCut) {
    TempDir dir;
    const std::string path = dir.file("whole.wv");
    std::vector<std::int32_t> samples(2 * 200000);
    std::uint32_t noise = 1;
    for (auto& v : samples)
        v = std::int32_t((noise = noise * 1664525u + 1013904223u) >> 17) - 16384;
    PackWavpack16(path, 2, 0, 200000, samples);
    const Bytes whole = ReadFile(path);
    const std::pair<std::size_t, std::string> cuts[] = {
        {whole.size() * 7 / 10, "truncated Wavpack file: it ends after "},
        {200, "Malformed Wavpack file: can't read all of WavPack file!"},
    };
    for (const auto& [keep, says] : cuts) {
        WriteFile(dir.file("cut.wv"), Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(keep)));
        try {
            ReadAll(*WVDecoder::Open(dir.file("cut.wv"), nullptr));
            ADD_FAILURE() << keep << " bytes read whole";
        } catch (const Audio::IO::WVParser::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind(says, 0), 0u) << e.what();
        }
    }
}

// Packs 16-bit stereo `samples` as a hybrid file of about 3 bits per sample
// at `path`, with its correction file at `path` + "c".
void WriteHybrid(const std::string& path, const std::vector<std::int32_t>& samples) {
    std::FILE* wv = std::fopen(path.c_str(), "wb");
    std::FILE* wvc = std::fopen((path + "c").c_str(), "wb");
    ASSERT_TRUE(wv && wvc);
    WavpackContext* ctx = WavpackOpenFileOutput(writeToFile, wv, wvc);
    WavpackConfig config{};
    config.bits_per_sample = 16;
    config.bytes_per_sample = 2;
    config.num_channels = 2;
    config.channel_mask = 3;
    config.sample_rate = 44100;
    config.flags = CONFIG_HYBRID_FLAG | CONFIG_CREATE_WVC;
    config.bitrate = 3.0f;
    const auto frames = static_cast<std::uint32_t>(samples.size() / 2);
    EXPECT_TRUE(WavpackSetConfiguration64(ctx, &config, frames, nullptr));
    EXPECT_TRUE(WavpackPackInit(ctx));
    EXPECT_TRUE(WavpackPackSamples(ctx, const_cast<std::int32_t*>(samples.data()), frames));
    EXPECT_TRUE(WavpackFlushSamples(ctx));
    WavpackCloseFile(ctx);
    std::fclose(wv);
    std::fclose(wvc);
}

// Lossless with the correction file beside `path`; the lossy part and a
// warning without it.
void CheckHybrid(const std::string& path, const std::vector<std::int32_t>& original) {
    {
        Audio::IO::InputDetails details;
        auto s = WVDecoder::Open(path, nullptr, &details);
        EXPECT_EQ(AsInt32(ReadAll(*s)), original);
        EXPECT_TRUE(details.warnings.empty());
    }
    const std::string moved = path + ".away";
    std::filesystem::rename(path + "c", moved);
    Audio::IO::InputDetails details;
    auto s = WVDecoder::Open(path, nullptr, &details);
    const auto lossy = AsInt32(ReadAll(*s));
    EXPECT_EQ(lossy.size(), original.size());
    EXPECT_NE(lossy, original);
    EXPECT_EQ(details.warnings, std::vector<std::string>{"hybrid WavPack without its correction "
                                                         "file (.wvc): decoding the lossy part"});
    // One that is there but cannot be opened (a link to itself) or read (a folder) is no
    // missing file: the lossy part came out "done".
    const std::pair<std::function<void()>, std::string> unreadable[] = {
        {[&] { std::filesystem::create_symlink(path + "c", path + "c"); },
         "cannot open the correction file " + path + "c: Too many levels of symbolic links"},
        {[&] { std::filesystem::create_directory(path + "c"); },
         "cannot read the input's correction file at byte 0: Is a directory"}};
    for (const auto& [make, says] : unreadable) {
        make();
        try {
            ReadAll(*WVDecoder::Open(path, nullptr, &details));
            ADD_FAILURE() << "read without its correction file: " << says;
        } catch (const Audio::IO::WVParser::exception& e) {
            EXPECT_EQ(e.what(), says);
        }
        std::filesystem::remove(path + "c");
    }
    std::filesystem::rename(moved, path + "c");
}

TEST(WVDecoder, HybridFileIsLosslessWithItsCorrectionFile) {
    TempDir dir;
    const auto original = Widen(RandomSamples(2 * 20000, 2, false, 5), 2);
    const std::string path = dir.file("hybrid.wv");
    WriteHybrid(path, original);
    CheckHybrid(path, original);

    // The correction file of other audio fails the blocks' checks.
    const std::string other = dir.file("other.wv");
    WriteHybrid(other, Widen(RandomSamples(2 * 20000, 2, false, 6), 2));
    std::filesystem::copy_file(other + "c", path + "c",
                               std::filesystem::copy_options::overwrite_existing);
    auto s = WVDecoder::Open(path, nullptr);
    EXPECT_THROW(ReadAll(*s), Audio::IO::WVParser::CorrectionMismatch);

    // Opened by name for a conversion, the correction file is watched with the file: another
    // program writing to either while they are read makes the job fail.
    for (const std::string& written : {path, path + "c"}) {
        SCOPED_TRACE(written);
        WriteHybrid(path, original);
        Audio::IO::InputDetails details;
        auto opened =
            Audio::IO::OpenFile(Filesystem::Path::Parse(path, Filesystem::Path::Kind::File),
                                nullptr, nullptr, &details);
        ASSERT_TRUE(details.watch);
        EXPECT_FALSE(details.watch->Changed());
        std::ofstream(written, std::ios::app) << "more";
        EXPECT_TRUE(details.watch->Changed());
    }
}

class WavpackTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("wavpack")) GTEST_SKIP() << "the wavpack command-line tool is not installed";
    }
    // Encodes a WAV file made here with the command-line tool.
    std::string Encode(const Bytes& wav, const std::string& options) {
        WriteFile(dir.file("in.wav"), wav);
        const std::string out = dir.file("out.wv");
        std::filesystem::remove(out);
        const std::string cmd = "wavpack -q -y " + options + " '" + dir.file("in.wav") + "' -o '" +
                                out + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return out;
    }
    TempDir dir;
};

TEST_F(WavpackTool, FilesFromTheToolReadBack) {
    struct ToolCase {
        const char* name;
        Bytes fmt;
        std::uint32_t bytes, channels;
        bool isFloat;
        std::uint32_t scale, bits;
    };
    const ToolCase cases[] = {
        {"16-bit stereo", FmtPayload(1, 2, 44100, 4, 16), 2, 2, false, 16, 16},
        {"24-bit 6 channels", ExtensiblePayload(6, 48000, 24, 24, 1), 3, 6, false, 24, 24},
        {"20-bit 3 channels", ExtensiblePayload(3, 48000, 24, 20, 1), 3, 3, false, 24, 20},
        {"32-bit stereo", ExtensiblePayload(2, 48000, 32, 32, 1), 4, 2, false, 32, 32},
        {"float stereo", FmtPayload(3, 2, 96000, 8, 32), 4, 2, true, 1, 32},
        {"8-bit mono", FmtPayload(1, 1, 8000, 1, 8), 1, 1, false, 8, 8},
    };
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t frames = 30011;
        Bytes data = RandomSamples(frames * c.channels, c.bytes, c.isFloat, c.channels + 40);
        // Bits below the valid ones are zero.
        const std::uint8_t low = static_cast<std::uint8_t>(0xFF << (c.bits % 8));
        if (c.bits % 8)
            for (std::size_t i = 0; i < data.size(); i += c.bytes) data[i] &= low;
        const std::string path = Encode(Wav(c.fmt, data), "");
        Audio::IO::PropertyList props;
        auto s = WVDecoder::Open(path, &props);
        const Format f = s.format();
        EXPECT_EQ(f.channels(), c.channels);
        EXPECT_EQ(f.scaleExponent(), c.scale);
        EXPECT_EQ(f.isFloat(), c.isFloat);
        EXPECT_EQ(props.size(), 9u);  // no tag
        EXPECT_EQ(props[5].value, std::to_string(c.bits));
        EXPECT_EQ(props[6].value, std::to_string(c.bytes));
        EXPECT_EQ(props[7].value, std::to_string(c.bytes * c.channels));
        const Bytes got = ReadAll(*s);
        if (c.isFloat) {
            EXPECT_EQ(got, data);
        } else if (c.bytes == 1) {
            // WAVE stores 8-bit samples offset binary; the decoder gives them signed.
            for (auto& b : data) b ^= 0x80;
            EXPECT_EQ(AsInt32(got), Widen(data, 1));
        } else {
            EXPECT_EQ(AsInt32(got), Widen(data, c.bytes));
        }
    }
}

TEST_F(WavpackTool, TagItemsFollowTheReaderProperties) {
    const std::string longValue(3000, 'x');
    const std::string path =
        Encode(Wav(FmtPayload(1, 2, 44100, 4, 16), Bytes(4000)),
               "-w 'Artist=Some One' -w 'TITLE=Take 2' -w 'Comment=" + longValue + "'");
    Audio::IO::PropertyList props;
    auto s = WVDecoder::Open(path, &props);
    ASSERT_EQ(props.size(), 12u);
    EXPECT_EQ(props[1].value, "audio/x-wv");
    EXPECT_EQ(props[4].value, "1000");
    std::map<std::string, std::string> tags;
    for (std::size_t i = 9; i < props.size(); ++i) {
        EXPECT_EQ(props[i].kind, 1);
        tags[props[i].key] = props[i].value;
    }
    EXPECT_EQ(tags["artist"], "Some One");
    EXPECT_EQ(tags["title"], "Take 2");
    EXPECT_EQ(tags["comment"], longValue);

    // Without a property list the tags are not read, and nothing changes.
    auto t = WVDecoder::Open(path, nullptr);
    EXPECT_EQ(ReadAll(*t), Bytes(8000, 0));
}

TEST_F(WavpackTool, HybridFilesFromTheTool) {
    const Bytes data = RandomSamples(2 * 20000, 2, false, 7);
    const std::string path = Encode(Wav(FmtPayload(1, 2, 44100, 4, 16), data), "-b3 -c");
    ASSERT_TRUE(std::filesystem::exists(path + "c"));
    CheckHybrid(path, Widen(data, 2));
}

// A DSD file (made from a DSF input) is refused by name, not as damage.
TEST_F(WavpackTool, DsdFilesAreRefused) {
    const std::uint32_t block = 4096, channels = 2;
    const Bytes bits = Sequence(block * channels, 9);
    Builder dsf;
    dsf.id("DSD ").u64(28).u64(28 + 52 + 12 + bits.size()).u64(0);
    dsf.id("fmt ").u64(52).u32(1).u32(0).u32(2).u32(channels).u32(2822400).u32(1);
    dsf.u64(block * 8).u32(block).u32(0);
    dsf.id("data").u64(12 + bits.size()).raw(bits);
    WriteFile(dir.file("in.dsf"), dsf.b);
    const std::string out = dir.file("dsd.wv");
    ASSERT_EQ(
        std::system(("wavpack -q -y '" + dir.file("in.dsf") + "' -o '" + out + "' >/dev/null 2>&1")
                        .c_str()),
        0);
    try {
        WVDecoder::Open(out, nullptr);
        FAIL();
    } catch (const Audio::IO::WVParser::Unsupported& e) {
        EXPECT_STREQ(e.what(), "DSD WavPack files are not supported");
    }
}

}  // namespace
