// Writer registry, byte output over stdio, raw writer and the insert stage.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/IOTestUtil.h"
#include "audio/io/FileWriter.h"
#include "audio/io/InsertWriter.h"

using Audio::Format;
using namespace Audio::IO;

namespace {

std::vector<std::uint8_t> fileBytes(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// 16-bit stereo source of `frames` frames: sample i is i, except that reads
// starting in [silentFrom, silentTo) (bytes) are Silence over junk. The length
// is known.
class Pcm16 final : public Stream::iOver, public Stream::Source {
public:
    explicit Pcm16(std::int64_t frames, std::uint64_t silentFrom = 0, std::uint64_t silentTo = 0)
        : silentFrom_(silentFrom), silentTo_(silentTo) {
        granularity = 4;
        length = frames * 4;
        setTag(Audio::Stream::Tag{0.0, Format::FromBytes(0x22, 16, 0, 2, 44100.0f)});
    }
    void seek(std::uint64_t p) override { at_ = p; }
    Stream::Block read(slice<std::uint8_t> d, std::uint32_t) override {
        const bool silent = at_ >= silentFrom_ && at_ < silentTo_;
        for (std::size_t i = 0; i < d.length(); i += 2) {
            std::int16_t v = silent ? 0x5A5A : static_cast<std::int16_t>((at_ + i) / 2);
            std::memcpy(d.begin + i, &v, 2);
        }
        at_ += d.length();
        return {d.begin, d.end, silent ? Stream::Silence : Stream::Samples};
    }

private:
    std::uint64_t at_ = 0;
    std::uint64_t silentFrom_, silentTo_;
};

void pull(Stream::iOver& s, std::size_t total, std::size_t step) {
    std::vector<std::uint8_t> buf(step * s.expansion + 64);
    for (std::size_t done = 0; done < total; done += step) {
        Stream::Block b = s.read({buf.data(), step}, static_cast<std::uint32_t>(buf.size()));
        s.position += static_cast<std::int64_t>(b.length());
    }
}

}  // namespace

TEST(WriterRegistry, UnknownIdCarriesTheId) {
    Audio::Stream::Tag t{0.0, Format::FromBytes(0x22, 16, 0, 2, 44100.0f)};
    try {
        MakeWriterSpec(2, t);
        FAIL();
    } catch (const iFileWriter::UnknownID& e) {
        EXPECT_EQ(e.id, 2);
    }
    const WriterEntry* raw = WriterRegistry::Instance().Find(kRawWriter);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->internalName, "IFW_raw");
    EXPECT_EQ(raw->displayName, "raw");
}

TEST(ByteOutput, SilenceIsWrittenAsZerosAndMissingFolderFails) {
    IOTest::TempDir dir;
    std::string p = dir.file("zeros.bin");
    {
        auto out = Stream::OpenStdioOutput(p);
        std::vector<std::uint8_t> junk(200000, 0x5A);
        out->Write(junk.data(), junk.data() + junk.size(), Stream::Silence);
        out->Write(junk.data(), junk.data() + 3, Stream::Samples);
        EXPECT_EQ(out->Tell(), 200003);
    }
    auto bytes = fileBytes(p);
    ASSERT_EQ(bytes.size(), 200003u);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + 200000, [](auto b) { return b == 0; }));
    EXPECT_EQ(bytes[200002], 0x5A);
    EXPECT_THROW(Stream::OpenStdioOutput("/nonexistent-folder/x.wav"),
                 Stream::iByteOutput::CannotOpen);
    try {
        Stream::OpenStdioOutput("/nonexistent-folder/x.wav");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "file creation failed");
    }
}

// A temporary output is created only under a new name: a file of that name (another
// process's) is neither truncated nor written into.
TEST(ByteOutput, ANewFileOnlyIsNeverAnotherProcesssFile) {
    IOTest::TempDir dir;
    const std::string p = dir.file("taken.part");
    std::ofstream(p, std::ios::binary) << "theirs";
    EXPECT_THROW(Stream::OpenStdioOutput(p, true), Stream::iByteOutput::CannotOpen);
    EXPECT_EQ(fileBytes(p).size(), 6u);
    const std::string q = dir.file("new.part");
    {
        auto out = Stream::OpenStdioOutput(q, true);
        const std::uint8_t b[3] = {1, 2, 3};
        out->Write(b, b + 3, Stream::Samples);
        out->Close();
    }
    EXPECT_EQ(fileBytes(q).size(), 3u);
}

TEST(ByteOutput, FullDiskFailsTheWrite) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP();
    auto out = Stream::OpenStdioOutput("/dev/full");
    std::uint8_t b[16] = {};
    EXPECT_THROW(out->Write(b, b + 16, Stream::Samples), Wobbly);
    EXPECT_THROW(out->Write(b, b + 16, Stream::Silence), Wobbly);
}

TEST(InsertWriter, RawWriterWritesExactlyTheStreamsBytes) {
    IOTest::TempDir dir;
    std::string p = dir.file("raw.bin");
    Audio::Stream::Wrapper<Stream::iOver> src(new Pcm16(1000));  // 4000 bytes
    {
        auto w = MakeFileWriter(kRawWriter, src.tag(), p);
        auto s = InsertWriter(src, std::move(w));
        EXPECT_EQ(s->expansion, 1u);  // nothing to convert
        pull(*s, 4096, 1024);         // reads run past the length
    }
    auto bytes = fileBytes(p);
    ASSERT_EQ(bytes.size(), 4000u);  // nothing past the stream's length
    std::int16_t v;
    std::memcpy(&v, &bytes[2 * 1234], 2);
    EXPECT_EQ(v, 1234);
}

TEST(InsertWriter, ConvertsForTheWriterAndReturnsTheOriginalBlock) {
    // A writer translator that converts: 16-bit stream into a big-endian 24-bit raw file.
    IOTest::TempDir dir;
    std::string p = dir.file("raw24.bin");
    Audio::Stream::Wrapper<Stream::iOver> src(new Pcm16(100));
    auto translator = std::make_unique<Audio::FormatTranslator>(
        0, src.format(), Format::FromBytes(0x23, 16, 0x80, 0, 0.0f));
    auto w = CreateFileWriter(std::move(translator), kRawWriter);
    OpenFileWriter(p, *w, 0);
    {
        auto s = InsertWriter(src, std::move(w));
        EXPECT_GT(s->expansion, 1u);
        std::vector<std::uint8_t> buf(400 * s->expansion);
        Stream::Block b = s->read({buf.data(), 400}, static_cast<std::uint32_t>(buf.size()));
        std::int16_t v;
        std::memcpy(&v, buf.data() + 2 * 7, 2);
        EXPECT_EQ(v, 7);  // the caller still sees 16-bit samples
        EXPECT_EQ(b.length(), 400u);
    }
    auto bytes = fileBytes(p);
    ASSERT_EQ(bytes.size(), 600u);
    // sample 7 big-endian 24-bit with scale 16: 00 00 07
    EXPECT_EQ(bytes[21], 0);
    EXPECT_EQ(bytes[22], 0);
    EXPECT_EQ(bytes[23], 7);
}

TEST(InsertWriter, BatchedBlocksGiveTheSameFile) {
    // Blocks gathered into batches of several sizes, a silent stretch among them, for a writer
    // that copies the blocks (WAVE, header updated per batch) and one that converts them on
    // the way (big-endian 24-bit raw).
    IOTest::TempDir dir;
    auto write = [&](bool convert, std::size_t batch) {
        const std::string p = dir.file("out.bin");
        Audio::Stream::Wrapper<Stream::iOver> src(new Pcm16(5000, 8000, 12000));
        sptr<iFileWriter> w;
        if (convert) {
            w = CreateFileWriter(std::make_unique<Audio::FormatTranslator>(
                                     0, src.format(), Format::FromBytes(0x23, 16, 0x80, 0, 0.0f)),
                                 kRawWriter);
            OpenFileWriter(p, *w, 0);
        } else {
            w = MakeFileWriter(kWaveWriter, src.tag(), p);
        }
        w->batchBytes = batch;
        iFileWriter* writer = w.get();
        auto s = InsertWriter(src, std::move(w));
        pull(*s, 20480, 1000);
        writer->FlushBatch();
        writer->Finish();
        s.reset();
        return fileBytes(p);
    };
    for (bool convert : {false, true}) {
        SCOPED_TRACE(convert ? "converting" : "copying");
        const std::vector<std::uint8_t> reference = write(convert, 0);
        ASSERT_EQ(reference.size(), convert ? 30000u : 20044u);
        for (std::size_t batch : {1u, 2500u, 7000u, 1u << 20})
            EXPECT_EQ(write(convert, batch), reference) << "batches of " << batch;
    }
}
