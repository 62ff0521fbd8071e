#include <gtest/gtest.h>

#include <limits>

#include "audio/format/Translator.h"
#include "audio/io/IFFPlan.h"
#include "audio/io/InsertWriter.h"
#include "audio/io/WAVEWriter.h"
#include "audio/io/WAVParser.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::Format;
using Audio::IO::iFileWriter;

namespace {

// Byte output over memory. Bytes at or past `keep` are not stored (so that
// positions beyond 4 GiB can be simulated); `end` is the file length.
class MemoryOutput final : public Stream::iByteOutput {
public:
    std::int64_t Tell() override { return pos; }
    void Seek(std::int64_t p) override { pos = p; }
    void SeekRelative(std::int64_t o) override {
        pos += o;
        end = std::max(end, pos);
    }
    void Write(const std::uint8_t* b, const std::uint8_t* e, std::int32_t kind) override {
        const std::int64_t n = e - b;
        for (std::int64_t i = 0; i < n && pos + i < keep; ++i) {
            if (bytes.size() <= std::size_t(pos + i)) bytes.resize(std::size_t(pos + i) + 1);
            bytes[std::size_t(pos + i)] = kind == Stream::Samples ? b[i] : 0;
        }
        pos += n;
        end = std::max(end, pos);
    }
    Bytes bytes;
    std::int64_t pos = 0, end = 0;
    std::int64_t keep = std::numeric_limits<std::int64_t>::max();
};

struct Opened {
    sptr<iFileWriter> writer;
    MemoryOutput* out;

    // Writes n bytes of `value` as one block, as the insert stage does.
    void Block(std::size_t n, std::uint8_t value = 0x11) {
        Bytes b(n, value);
        writer->BeforeWrite(n);
        writer->output->Write(b.data(), b.data() + n, Stream::Samples);
    }
};

Opened OpenWave(Format f, std::int64_t expected = 0,
                std::shared_ptr<const Audio::IO::Metadata> metadata = nullptr) {
    auto w = Audio::IO::CreateFileWriter(Audio::IO::MakeWriterSpec(1, {0.0, f}), 1);
    w->metadata = std::move(metadata);
    auto* out = new MemoryOutput;
    w->output = w->Open(sptr<Stream::iByteOutput>(out), expected);
    return {std::move(w), out};
}

Bytes Header(std::uint32_t riffSize, const Bytes& fmt, std::uint32_t dataSize) {
    Builder h;
    h.id("RIFF").u32(riffSize).id("WAVE").id("fmt ").u32(std::uint32_t(fmt.size())).raw(fmt);
    h.id("data").u32(dataSize);
    return h.b;
}

Bytes Prefix(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + std::min(n, b.size()));
}

const Format kInt16Stereo = MakeFormat(2, Format::Integer, 16, 2, 44100);

TEST(WaveWriter, PcmHeaderAfterOpenAndAfterEveryBlock) {
    Opened o = OpenWave(kInt16Stereo);
    const Bytes fmt = FmtPayload(1, 2, 44100, 4, 16);
    EXPECT_EQ(o.out->bytes, Header(36, fmt, 0));
    EXPECT_EQ(o.out->end, 44);
    o.Block(2400);
    EXPECT_EQ(Prefix(o.out->bytes, 44), Header(36 + 2400, fmt, 2400));
    o.Block(1600, 0x22);
    EXPECT_EQ(Prefix(o.out->bytes, 44), Header(4036, fmt, 4000));
    ASSERT_EQ(o.out->bytes.size(), 4044u);
    EXPECT_EQ(o.out->bytes[44 + 2399], 0x11);
    EXPECT_EQ(o.out->bytes[44 + 2400], 0x22);
    auto* w = dynamic_cast<Audio::IO::iFileWriter_WAVE*>(o.writer.get());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->ID(), 1);
    EXPECT_EQ(w->fmtSize(), 16);
    EXPECT_FALSE(w->isRF64());
}

TEST(WaveWriter, ExtensibleHeaders) {
    struct Case {
        Format f;
        std::uint32_t rate, mask;
    };
    const Case cases[] = {
        {MakeFormat(3, Format::Integer, 24, 1, 48000), 48000, 0x4},
        {MakeFormat(4, Format::Integer, 32, 2, 44100), 44100, 0x3},
        {MakeFormat(2, Format::Integer, 16, 6, 44100), 44100, 0x3F},
        {MakeFormat(1, Format::Integer, 8, 3, 22050, true), 22050, 0},
        {MakeFormat(3, Format::Integer, 24, 8, 96000), 96000, 0x63F},
    };
    for (const Case& c : cases) {
        const std::uint32_t b = c.f.bytesPerSample(), ch = c.f.channels();
        SCOPED_TRACE(testing::Message() << b << " bytes x " << ch);
        Opened o = OpenWave(c.f);
        o.Block(b * ch * 5);
        Builder fmt;
        fmt.u16(0xFFFE).u16(ch).u32(c.rate).u32(c.rate * b * ch).u16(b * ch).u16(b * 8);
        fmt.u16(22).u16(b * 8).u32(c.mask);
        fmt.u32(1).u16(0).u16(0x10).raw({0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
        ASSERT_EQ(fmt.b.size(), 40u);
        EXPECT_EQ(Prefix(o.out->bytes, 68), Header(60 + b * ch * 5, fmt.b, b * ch * 5));
        EXPECT_EQ(o.out->end, 68 + b * ch * 5);
    }
}

TEST(WaveWriter, FloatHeaders) {
    for (std::uint32_t bytes : {4u, 8u}) {
        for (std::uint32_t ch : {1u, 2u}) {
            Opened o = OpenWave(MakeFormat(bytes, Format::Float, 1, ch, 96000));
            const std::uint32_t n = bytes * ch * 3;
            o.Block(n);
            Builder fmt;
            fmt.u16(3).u16(ch).u32(96000).u32(96000 * bytes * ch).u16(bytes * ch).u16(bytes * 8);
            fmt.u16(0);
            EXPECT_EQ(Prefix(o.out->bytes, 46), Header(38 + n, fmt.b, n));
            EXPECT_EQ(o.out->end, 46 + n);
        }
    }
}

TEST(WaveWriter, RateRoundsHalvesAwayFromZero) {
    for (auto [rate, stored] : {std::pair{44100.4f, 44100u}, std::pair{44100.5f, 44101u}}) {
        Format f = kInt16Stereo;
        f.sampleRate = rate;
        Opened o = OpenWave(f);
        EXPECT_EQ(Prefix(o.out->bytes, 44), Header(36, FmtPayload(1, 2, stored, 4, 16), 0));
    }
}

TEST(WaveWriter, OddDataHasNoPadByte) {
    Opened o = OpenWave(MakeFormat(1, Format::Integer, 8, 1, 8000, true));
    o.Block(7);
    EXPECT_EQ(o.out->end, 51);
    EXPECT_EQ(Prefix(o.out->bytes, 44), Header(43, FmtPayload(1, 1, 8000, 1, 8), 7));
}

TEST(WaveWriter, FormatAdapter) {
    using W = Audio::IO::iFileWriter_WAVE;
    Format signed8 = MakeFormat(1, Format::Integer, 8, 2, 44100);
    EXPECT_TRUE(W::AdaptFormat(signed8).isUnsigned());
    Format u16 = MakeFormat(2, Format::Integer, 3, 2, 44100, true);
    u16.setBigEndian(true);
    Format a = W::AdaptFormat(u16);
    EXPECT_FALSE(a.isUnsigned());
    EXPECT_FALSE(a.isBigEndian());
    EXPECT_EQ(a.scaleExponent(), 16u);
    Format padded = MakeFormat(4, Format::Integer, 32, 2, 44100);
    padded.setPaddingBits(8);
    EXPECT_EQ(W::AdaptFormat(padded).scaleExponent(), 24u);
    EXPECT_EQ(W::AdaptFormat(MakeFormat(8, Format::Float, 40, 1, 1)).scaleExponent(), 1u);
    Format none;
    EXPECT_THROW(W::AdaptFormat(none), iFileWriter::IrredeemableFormat);
    try {
        Audio::IO::MakeWriterSpec(1, {0.0, none});
        FAIL();
    } catch (const iFileWriter::IrredeemableFormat& e) {
        EXPECT_STREQ(e.what(), "bad write format");
    }
}

// Data that outgrows the 32-bit fields without warning fails before the
// block is written; the header stays that of the last good block.
TEST(WaveWriter, OverflowingRiffFails) {
    Opened o = OpenWave(kInt16Stereo);
    o.out->keep = 64;
    o.Block(4);
    const Bytes before = Prefix(o.out->bytes, 44);
    // Simulate 0xFFFFFFDB - 4 more bytes: RIFF size exactly 0xFFFFFFFF.
    o.writer->BeforeWrite(0xFFFFFFDBu - 4);
    o.out->SeekRelative(0xFFFFFFDBu - 4);
    EXPECT_EQ(Prefix(o.out->bytes, 44),
              Header(0xFFFFFFFFu, FmtPayload(1, 2, 44100, 4, 16), 0xFFFFFFDBu));
    const Bytes full = Prefix(o.out->bytes, 44);
    EXPECT_THROW(o.writer->BeforeWrite(4), IFF::Plan::SizeOverflow);
    EXPECT_EQ(Prefix(o.out->bytes, 44), full);
    EXPECT_NE(before, full);
}

TEST(WaveWriter, LargeExpectedSizeWritesRF64) {
    const std::int64_t expected = 5ll << 30;
    Opened o = OpenWave(kInt16Stereo, expected);
    auto* w = dynamic_cast<Audio::IO::iFileWriter_WAVE*>(o.writer.get());
    EXPECT_TRUE(w->isRF64());
    o.out->keep = 128;
    auto header = [](std::uint64_t data) {
        Builder h;
        h.id("RF64").u32(0xFFFFFFFF).id("WAVE");
        h.id("ds64").u32(28).u64(72 + data).u64(data).u64(data / 4).u32(0);
        h.id("fmt ").u32(16).raw(FmtPayload(1, 2, 44100, 4, 16));
        h.id("data").u32(0xFFFFFFFF);
        return h.b;
    };
    EXPECT_EQ(o.out->bytes, header(std::uint64_t(expected)));
    o.Block(40);
    EXPECT_EQ(Prefix(o.out->bytes, 80), header(40));
    const std::uint64_t big = 6ull << 30;
    o.writer->BeforeWrite(big);
    o.out->SeekRelative(std::int64_t(big));
    EXPECT_EQ(Prefix(o.out->bytes, 80), header(40 + big));
    EXPECT_EQ(o.out->end, std::int64_t(80 + 40 + big));
}

// A file of unknown length keeps a "JUNK" chunk where "ds64" goes and turns to RF64 with the
// block that would outgrow the 32-bit sizes; the chunks after it stay where they were.
TEST(WaveWriter, UnknownLengthTurnsToRF64InPlace) {
    auto tags = std::make_shared<Audio::IO::Metadata>();
    tags->info = {{"INAM", "abc"}};
    Opened o = OpenWave(kInt16Stereo, -1, tags);
    const std::int64_t start = o.out->end;  // of the samples
    auto riff = [](std::uint32_t size) {
        return Builder{}.id("RIFF").u32(size).id("WAVE").id("JUNK").u32(28).raw(Bytes(28, 0)).b;
    };
    auto tail = [&] { return Bytes(o.out->bytes.begin() + 48, o.out->bytes.begin() + start); };
    const Bytes chunks = tail();  // "fmt ", "LIST", "data" header
    EXPECT_EQ(Prefix(o.out->bytes, 48), riff(std::uint32_t(start - 8)));
    EXPECT_EQ(Bytes(chunks.end() - 8, chunks.end()), Builder{}.id("data").u32(0).b);
    o.out->keep = start;
    o.Block(40);
    // RIFF size exactly 0xFFFFFFFF: still RIFF.
    const std::int64_t fits = 0xFFFFFFFFll - (start - 8);
    o.writer->BeforeWrite(std::uint64_t(fits - 40));
    o.out->SeekRelative(fits - 40);
    auto withDataSize = [&](std::uint32_t size) {
        Bytes b = chunks;
        const Bytes field = Builder{}.u32(size).b;
        std::copy(field.begin(), field.end(), b.end() - 4);
        return b;
    };
    EXPECT_EQ(Prefix(o.out->bytes, 48), riff(0xFFFFFFFFu));
    EXPECT_EQ(tail(), withDataSize(std::uint32_t(fits)));
    // One frame more: RF64, nothing moved.
    o.writer->BeforeWrite(4);
    o.out->SeekRelative(4);
    const std::uint64_t data = std::uint64_t(fits) + 4;
    EXPECT_TRUE(dynamic_cast<Audio::IO::iFileWriter_WAVE&>(*o.writer).isRF64());
    Builder rf64;
    rf64.id("RF64").u32(0xFFFFFFFF).id("WAVE").id("ds64").u32(28);
    rf64.u64(std::uint64_t(start) - 8 + data).u64(data).u64(data / 4).u32(0);
    EXPECT_EQ(Prefix(o.out->bytes, 48), rf64.b);
    EXPECT_EQ(tail(), withDataSize(0xFFFFFFFFu));
    EXPECT_EQ(o.out->end, start + std::int64_t(data));
}

// Written in one pass (standard output), the header states the promised length before the
// audio: a stream that comes out shorter fails, one of that length does not.
TEST(WaveWriter, AStreamShorterThanItsHeaderFails) {
    for (const std::size_t written : {std::size_t{400}, std::size_t{396}}) {
        SCOPED_TRACE(written);
        auto w = Audio::IO::CreateFileWriter(Audio::IO::MakeWriterSpec(1, {0.0, kInt16Stereo}), 1);
        w->sequential = true;
        auto* out = new MemoryOutput;
        w->output = w->Open(sptr<Stream::iByteOutput>(out), 400);
        Opened o{std::move(w), out};
        o.Block(written);
        if (written == 400)
            EXPECT_NO_THROW(o.writer->Finish());
        else
            EXPECT_THROW(o.writer->Finish(), std::runtime_error);
    }
}

// AIFF: the pad after an odd "SSND" is counted in "FORM", which it may take past 32 bits
// where the audio alone did not (the size wrapped to 0 and the file was reported done).
TEST(AiffWriter, APadThatWouldWrapTheFormSizeFails) {
    const Format mono8 = MakeFormat(1, Format::Integer, 8, 1, 44100);
    // "FORM" holds 46 bytes of form type and headers, the audio and its pad.
    for (const auto& [data, fits] :
         {std::pair{0xFFFFFFFFll - 48, true}, {0xFFFFFFFFll - 46, false}}) {
        SCOPED_TRACE(data);
        auto w = Audio::IO::CreateFileWriter(
            Audio::IO::MakeWriterSpec(Audio::IO::kAiffWriter, {0.0, mono8}),
            Audio::IO::kAiffWriter);
        auto* out = new MemoryOutput;
        out->keep = 64;
        w->output = w->Open(sptr<Stream::iByteOutput>(out), 0);
        w->BeforeWrite(std::uint64_t(data));
        out->SeekRelative(data);
        if (!fits) {
            EXPECT_THROW(w->Finish(), IFF::Plan::SizeOverflow);
            continue;
        }
        w->Finish();
        const std::uint32_t form = std::uint32_t(46 + data + 1);
        EXPECT_EQ(Prefix(out->bytes, 8),
                  (Bytes{'F', 'O', 'R', 'M', std::uint8_t(form >> 24), std::uint8_t(form >> 16),
                         std::uint8_t(form >> 8), std::uint8_t(form)}));
    }
}

struct RoundTripCase {
    std::uint32_t bytes;
    Format::SampleType type;
    std::uint32_t scale;
};

// Writer then reader, for every output sample type and 1, 2 and 6 channels.
TEST(WaveWriter, RoundTripThroughTheReader) {
    TempDir dir;
    const RoundTripCase cases[] = {{1, Format::Integer, 8},  {2, Format::Integer, 16},
                                   {3, Format::Integer, 24}, {4, Format::Integer, 32},
                                   {4, Format::Float, 1},    {8, Format::Float, 1}};
    for (const RoundTripCase& c : cases) {
        for (std::uint32_t ch : {1u, 2u, 6u}) {
            for (std::int64_t expected :
                 {std::int64_t{0}, std::int64_t{5} << 30, std::int64_t{-1}}) {
                SCOPED_TRACE(testing::Message() << c.bytes << " bytes, type " << c.type << ", "
                                                << ch << " channels, expected " << expected);
                const Format f = MakeFormat(c.bytes, c.type, c.scale, ch, 48000);
                const std::size_t frames = 12345;
                Bytes data = Sequence(frames * f.bytesPerFrame(), c.bytes * 10 + ch);
                const std::string path = dir.file("rt.wav");
                {
                    auto* src = new AudioSource(data, f);
                    Audio::Stream::Wrapper<Stream::iOver> source(src);
                    auto chain = Audio::IO::InsertWriter(
                        source, Audio::IO::MakeFileWriter(1, source.tag(), path, expected));
                    EXPECT_EQ(ReadAll(*chain, 4096), data);
                }
                Audio::IO::PropertyList props;
                auto back = Audio::IO::WAVParser::Open(path, &props);
                Format want = Audio::IO::iFileWriter_WAVE::AdaptFormat(f);
                EXPECT_EQ(back.format(), want);
                EXPECT_EQ(props[4].value, std::to_string(frames));
                Bytes got = ReadAll(*back);
                if (c.bytes == 1)
                    for (auto& b : data) b ^= 0x80;  // stored offset binary
                EXPECT_EQ(got, data);
                const Bytes file = ReadFile(path);
                EXPECT_EQ(std::string(file.begin(), file.begin() + 4),
                          expected > 0 ? "RF64" : "RIFF");
                // An unknown length leaves room for "ds64".
                const char* second = expected < 0 ? "JUNK" : expected > 0 ? "ds64" : "fmt ";
                EXPECT_EQ(std::string(file.begin() + 12, file.begin() + 16), second);
            }
        }
    }
}

}  // namespace
