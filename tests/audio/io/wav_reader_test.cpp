#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/format/Translator.h"
#include "audio/io/WAVParser.h"
#include "support/IOTestUtil.h"

using namespace IOTest;
using Audio::IO::WAVParser;

namespace {

Bytes Wave(const Bytes& fmt, const Bytes& data, bool bigEndian = false,
           std::vector<Bytes> before = {}) {
    std::vector<Bytes> children = {Chunk("fmt ", fmt, bigEndian)};
    children.insert(children.end(), before.begin(), before.end());
    children.push_back(Chunk("data", data, bigEndian));
    return Group(bigEndian ? "RIFX" : "RIFF", "WAVE", children, bigEndian);
}

class WAVReader : public ::testing::Test {
protected:
    std::string Put(const Bytes& bytes, const char* name = "in.wav") {
        std::string p = dir.file(name);
        WriteFile(p, bytes);
        return p;
    }
    Audio::Stream::Wrapper<Stream::iOver> Open(const Bytes& bytes,
                                               Audio::IO::PropertyList* list = nullptr) {
        return WAVParser::Open(Put(bytes), list);
    }
    // The message of the WAVParser::exception opening `bytes` raises.
    std::string Failure(const Bytes& bytes) {
        try {
            Open(bytes);
        } catch (const WAVParser::exception& e) {
            EXPECT_EQ(e.code(), 0);
            return e.what();
        }
        return "(opened)";
    }
    TempDir dir;
};

struct Variant {
    const char* name;
    Bytes fmt;
    bool bigEndian;
    std::uint32_t bytes, type, scale, padding, channels;
    bool isUnsigned;
    const char* bitsProperty;
};

TEST_F(WAVReader, FormatsFromTheFmtChunk) {
    const Variant variants[] = {
        {"pcm16 stereo", FmtPayload(1, 2, 44100, 4, 16), false, 2, 1, 16, 0, 2, false, "16"},
        {"pcm8 mono", FmtPayload(1, 1, 8000, 1, 8), false, 1, 1, 8, 0, 1, true, "8"},
        {"pcm20 in 3 bytes", FmtPayload(1, 2, 48000, 6, 20), false, 3, 1, 20, 4, 2, false, "20"},
        {"float32", FmtPayload(3, 2, 96000, 8, 32), false, 4, 2, 1, 0, 2, false, "32"},
        {"float64 mono", FmtPayload(3, 1, 96000, 8, 64), false, 8, 2, 1, 0, 1, false, "64"},
        {"extensible 24 in 32", ExtensiblePayload(2, 48000, 32, 24, 1), false, 4, 1, 24, 8, 2,
         false, "24"},
        {"extensible float", ExtensiblePayload(6, 48000, 32, 32, 3), false, 4, 2, 1, 0, 6, false,
         "32"},
        {"extensible valid bits 0", ExtensiblePayload(1, 48000, 24, 0, 1), false, 3, 1, 24, 0, 1,
         false, "24"},
        {"RIFX pcm16", FmtPayload(1, 2, 44100, 4, 16, true), true, 2, 1, 16, 0, 2, false, "16"},
        {"RIFX extensible 24", ExtensiblePayload(2, 44100, 24, 24, 1, true), true, 3, 1, 24, 0, 2,
         false, "24"},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        const std::uint32_t frame = v.bytes * v.channels;
        Bytes data = Sequence(frame * 10 + frame / 2, 7);  // a partial frame at the end
        Audio::IO::PropertyList props;
        auto s = Open(Wave(v.fmt, data, v.bigEndian), &props);
        const Audio::Format f = s.format();
        EXPECT_EQ(f.bytesPerSample(), v.bytes);
        EXPECT_EQ(f.sampleType(), v.type);
        EXPECT_EQ(f.scaleExponent(), v.scale);
        EXPECT_EQ(f.paddingBits(), v.padding);
        EXPECT_EQ(f.channels(), v.channels);
        EXPECT_EQ(f.isUnsigned(), v.isUnsigned);
        EXPECT_EQ(f.isBigEndian(), v.bigEndian);
        EXPECT_EQ(s->granularity, frame);
        EXPECT_EQ(s.tag().origin, 0.0);
        EXPECT_EQ(s->length, 10 * frame);
        ASSERT_EQ(props.size(), 9u);
        EXPECT_EQ(props[4].key, "frame-count");
        EXPECT_EQ(props[4].value, "10");
        EXPECT_EQ(props[5].value, v.bitsProperty);
        Bytes got = ReadAll(*s);
        data.resize(10 * frame);
        EXPECT_EQ(got, data);  // the file's bytes, in the file's byte order
    }
}

TEST_F(WAVReader, PropertyList) {
    Audio::IO::PropertyList props;
    Open(Wave(FmtPayload(1, 2, 88200, 4, 16), Bytes(4000)), &props);
    const std::pair<const char*, const char*> expected[] = {
        {"filename-extension", ".wav"}, {"mime-type", "audio/x-wav"},
        {"sample-rate", "88200"},       {"channels", "2"},
        {"frame-count", "1000"},        {"bits-per-sample", "16"},
        {"bytes-per-sample", "2"},      {"bytes-per-frame", "4"},
        {"sample-type", "integer"}};
    ASSERT_EQ(props.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(props[i].kind, 0);
        EXPECT_EQ(props[i].key, expected[i].first);
        EXPECT_EQ(props[i].value, expected[i].second);
    }
}

// PCM and float data take their length from the data chunk: a "fact" count
// that contradicts it (stale, zero, too large) changes nothing. It only
// limits a streamed file, whose data size is unknown.
TEST_F(WAVReader, FactCountsOnlyWhereTheDataSizeIsUnknown) {
    const Bytes fmt = FmtPayload(1, 2, 44100, 4, 16);
    const Bytes data = Sequence(400);
    const Bytes after = Chunk("LIST", Sequence(40, 9));
    for (std::uint32_t frames : {0u, 10u, 60u, 100u, 5000u}) {
        Builder fact;
        fact.u32(frames);
        Bytes file = Wave(fmt, data, false, {Chunk("fact", fact.b)});
        file.insert(file.end(), after.begin(), after.end());
        auto s = Open(file);
        EXPECT_EQ(s->length, 400) << frames;
        EXPECT_EQ(ReadAll(*s), data) << frames;
    }
    Builder be{{}, true};
    be.u32(10);
    auto u = Open(Wave(FmtPayload(1, 2, 44100, 4, 16, true), data, true, {Chunk("fact", be.b, true)}));
    EXPECT_EQ(u->length, 400);

    // Streamed: data size 0xFFFFFFFF runs to the end, or to a smaller fact.
    auto streamed = [&](std::int64_t frames) {
        std::vector<Bytes> children = {Chunk("fmt ", fmt)};
        if (frames >= 0) {
            Builder f;
            f.u32(static_cast<std::uint32_t>(frames));
            children.push_back(Chunk("fact", f.b));
        }
        children.push_back(Chunk("data", data, false, 0xFFFFFFFF));
        return Group("RIFF", "WAVE", children, false, 0xFFFFFFFF);
    };
    EXPECT_EQ(Open(streamed(-1))->length, 400);
    EXPECT_EQ(Open(streamed(10))->length, 40);
    EXPECT_EQ(Open(streamed(5000))->length, 400);
    // A count of 0 is a placeholder never updated (a recorder that lost power; every float file
    // has a "fact"): the audio runs to the end, also on a pipe (it was an empty output, "done").
    // A smaller count that drops frames present says so.
    Audio::IO::InputDetails details;
    EXPECT_EQ(WAVParser::Open(Put(streamed(0)), nullptr, &details)->length, 400);
    EXPECT_EQ(details.warnings, std::vector<std::string>{});
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const Bytes bytes = streamed(0);  // far less than a pipe holds
    ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(ends[1]);
    std::FILE* pipe = ::fdopen(ends[0], "rb");
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(ReadAll(*WAVParser::Open(pipe, nullptr, nullptr)), data);
    WAVParser::Open(Put(streamed(10)), nullptr, &details);
    EXPECT_EQ(details.warnings,
              std::vector<std::string>{"the \"fact\" chunk gives the audio 10 frames, but 100 "
                                       "follow the header: only 10 are converted"});
}

TEST_F(WAVReader, SkipsOtherChunksAndHonoursPadBytes) {
    Bytes data = Sequence(64, 3);
    Bytes file = Wave(FmtPayload(1, 1, 44100, 2, 16), data, false,
                      {Chunk("LIST", Sequence(33)), Chunk("fmt ", FmtPayload(1, 2, 8000, 8, 32)),
                       Chunk("odd ", {1, 2, 3, 4, 5})});
    auto s = Open(file);
    EXPECT_EQ(s.format().channels(), 1u);  // the second "fmt " is ignored
    EXPECT_EQ(s.format().sampleRate, 44100.0f);
    EXPECT_EQ(ReadAll(*s), data);
}

TEST_F(WAVReader, StreamedFileReadsToTheEnd) {
    // Both the RIFF and the data size are 0xFFFFFFFF.
    Bytes data = Sequence(1000, 5);
    Bytes file = Group(
        "RIFF", "WAVE",
        {Chunk("fmt ", FmtPayload(1, 2, 44100, 4, 16)), Chunk("data", data, false, 0xFFFFFFFF)},
        false, 0xFFFFFFFF);
    Audio::IO::PropertyList props;
    auto s = Open(file, &props);
    EXPECT_EQ(s->length, 1000);
    EXPECT_EQ(props[4].value, "250");
    EXPECT_EQ(ReadAll(*s, 96), data);
}

// A file whose reads fail after `good` bytes (a failing disk): its bytes, then EIO.
struct FailingFile {
    Bytes bytes;
    std::size_t good;
    std::size_t at = 0;
};

std::FILE* OpenFailingFile(FailingFile& f) {
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buffer, std::size_t size) -> ssize_t {
        auto& file = *static_cast<FailingFile*>(cookie);
        if (file.at >= file.good) {
            errno = EIO;
            return -1;
        }
        const std::size_t n = std::min(size, file.good - file.at);
        std::memcpy(buffer, file.bytes.data() + file.at, n);
        file.at += n;
        return static_cast<ssize_t>(n);
    };
    return fopencookie(&f, "r", io);
}

TEST_F(WAVReader, AReadErrorSaysWhatTheSystemSaid) {
    FailingFile f{Wave(FmtPayload(1, 2, 44100, 4, 16), Sequence(40000, 3)), 20000};
    auto s = WAVParser::Open(OpenFailingFile(f), nullptr);
    std::string message = "(read to the end)";
    try {
        ReadAll(*s, 4096);
    } catch (const std::exception& e) {
        message = e.what();
    }
    EXPECT_NE(message.find("cannot read the input at byte"), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(EIO)), std::string::npos) << message;
}

TEST_F(WAVReader, SeekAndSmallReadsGiveTheSameBytes) {
    Bytes data = Sequence(6 * 1000, 9);
    auto s = Open(Wave(FmtPayload(1, 2, 44100, 6, 24), data));
    EXPECT_EQ(ReadAll(*s, 6), data);
    s->seek(600 * 6);
    s->position = 600 * 6;
    EXPECT_EQ(ReadAll(*s, 60), Bytes(data.begin() + 3600, data.end()));
}

// Sizes of 2 GiB and more are sizes, not "unknown". The file is sparse.
TEST_F(WAVReader, DataOfTwoGiBAndMore) {
    const std::uint32_t dataSize = 0x90000000u;
    Bytes header = Wave(FmtPayload(1, 2, 44100, 4, 16), {});
    header[4 + 0] = header[4 + 1] = header[4 + 2] = header[4 + 3] = 0;  // RIFF size below
    Builder size;
    size.u32(dataSize + 36);
    std::copy(size.b.begin(), size.b.end(), header.begin() + 4);
    Builder ds;
    ds.u32(dataSize);
    std::copy(ds.b.begin(), ds.b.end(), header.end() - 4);
    Bytes tail = Sequence(8, 2);
    std::string p = Put(header, "big.wav");
    {
        int fd = ::open(p.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t(header.size()) + dataSize), 0);
        ASSERT_EQ(::pwrite(fd, tail.data(), 8, off_t(header.size()) + dataSize - 8), 8);
        ::close(fd);
    }
    Audio::IO::PropertyList props;
    auto s = WAVParser::Open(p, &props);
    EXPECT_EQ(s->length, std::int64_t{dataSize});
    EXPECT_EQ(props[4].value, std::to_string(dataSize / 4));
    s->seek(dataSize - 16);
    s->position = dataSize - 16;
    Bytes last = ReadAll(*s);
    ASSERT_EQ(last.size(), 16u);
    EXPECT_EQ(Bytes(last.begin() + 8, last.end()), tail);
}

// Past 4 GiB the 32-bit sizes of a writer without RF64 wrap: the file runs a whole number of
// 4 GiB past them, and the audio is read whole, with a warning (it read a few bytes of it).
// So also with a pad byte after odd audio, and with a chunk after it (the container's size
// wrapped as the audio's did).
TEST_F(WAVReader, SizesThatWrappedPastFourGiBAreReadWhole) {
    const struct {
        std::int64_t audio;  // bytes of 8-bit mono
        Bytes after;         // a chunk after the audio (and its pad byte)
    } cases[] = {
        {(std::int64_t{1} << 32) + 8, {}},
        {(std::int64_t{1} << 32) + 9, {}},
        {(std::int64_t{1} << 32) + 9, Chunk("LIST", Bytes(12, 'i'))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.audio << " " << c.after.size());
        const std::int64_t pad = c.audio & 1;
        Bytes header = Wave(FmtPayload(1, 1, 44100, 1, 8), Bytes(8));
        header.resize(header.size() - 8);
        // The sizes as a 32-bit writer leaves them.
        Builder riff, data;
        riff.u32(std::uint32_t(header.size() - 8 + c.audio + pad + c.after.size()));
        data.u32(std::uint32_t(c.audio));
        std::copy(riff.b.begin(), riff.b.end(), header.begin() + 4);
        std::copy(data.b.begin(), data.b.end(), header.end() - 4);
        Bytes tail = Sequence(8, 1);
        tail.resize(8 + pad);
        tail.insert(tail.end(), c.after.begin(), c.after.end());
        const std::string p = Put(header, "wrapped.wav");
        {
            const int fd = ::open(p.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), off_t(header.size() + c.audio - 8)),
                      ssize_t(tail.size()));
            ::close(fd);
        }
        Audio::IO::InputDetails details;
        auto s = WAVParser::Open(p, nullptr, &details);
        EXPECT_EQ(s->length, c.audio);
        ASSERT_EQ(details.warnings.size(), 1u);
        EXPECT_EQ(details.warnings[0],
                  "the header's sizes are 1 x 4 GiB short of the file, as 32-bit sizes of a file "
                  "past 4 GiB wrap (a writer without RF64): the " +
                      std::to_string(c.audio) + " frames it holds are converted");
        s->seek(c.audio - 8);
        s->position = c.audio - 8;
        EXPECT_EQ(ReadAll(*s), Bytes(tail.begin(), tail.begin() + 8));
        ::unlink(p.c_str());
    }
}

TEST_F(WAVReader, RF64WithDs64) {
    // A small RF64 file: every size from ds64.
    Bytes data = Sequence(4 * 100, 4);
    Bytes fmt = FmtPayload(1, 2, 48000, 4, 16);
    Builder ds;
    const std::uint64_t riffSize = 4 + (8 + 28) + (8 + 16) + (8 + 12) + (8 + data.size());
    ds.u64(riffSize).u64(data.size()).u64(100).u32(0);
    Builder fact;
    fact.u32(0xFFFFFFFF);  // the count is in ds64
    Bytes file = Group("RF64", "WAVE",
                       {Chunk("ds64", ds.b), Chunk("fmt ", fmt), Chunk("fact", fact.b),
                        Chunk("data", data, false, 0xFFFFFFFF)},
                       false, 0xFFFFFFFF);
    // Trailing chunk that must not be read as samples.
    Bytes list = Chunk("LIST", Sequence(20));
    file.insert(file.end(), list.begin(), list.end());
    auto s = Open(file);
    EXPECT_EQ(s->length, 400);
    EXPECT_EQ(ReadAll(*s), data);

    // ffmpeg's sample count past any size (2^63 + 1, in its empty files): the sizes hold (the
    // file was refused).
    for (const std::size_t frames : {0, 3}) {
        const Bytes audio = Sequence(4 * frames, 4);
        Builder ds3;
        ds3.u64(4 + 36 + 24 + 8 + audio.size()).u64(audio.size()).u64(0x8000000000000001ull).u32(0);
        auto t = Open(Group(
            "RF64", "WAVE",
            {Chunk("ds64", ds3.b), Chunk("fmt ", fmt), Chunk("data", audio, false, 0xFFFFFFFF)},
            false, 0xFFFFFFFF));
        EXPECT_EQ(ReadAll(*t), audio);
    }

    // More than 4 GiB of (sparse) data.
    const std::uint64_t big = 0x140000000ull;
    Builder ds2;
    ds2.u64(4 + 36 + 24 + 8 + big).u64(big).u64(big / 4).u32(0);
    Bytes header =
        Group("BW64", "WAVE",
              {Chunk("ds64", ds2.b), Chunk("fmt ", fmt), Chunk("data", {}, false, 0xFFFFFFFF)},
              false, 0xFFFFFFFF);
    std::string p = Put(header, "rf64.wav");
    ASSERT_EQ(::truncate(p.c_str(), off_t(header.size() + big)), 0);
    Audio::IO::PropertyList props;
    auto t = WAVParser::Open(p, &props);
    EXPECT_EQ(t->length, std::int64_t(big));
    EXPECT_EQ(props[4].value, std::to_string(big / 4));
}

TEST_F(WAVReader, MalformedFiles) {
    const std::string malformed = "Malformed RIFF-WAVE file";
    const std::string nonPCM = "RIFF_WAVE file contains non-PCM data";
    const Bytes fmt = FmtPayload(1, 2, 44100, 4, 16);
    const Bytes data(16);
    // Structure.
    EXPECT_EQ(Failure(Group("RIFF", "AVI ", {Chunk("fmt ", fmt), Chunk("data", data)})), malformed);
    EXPECT_EQ(Failure(Group("RIFF", "WAVE", {Chunk("data", data), Chunk("fmt ", fmt)})), malformed);
    EXPECT_EQ(Failure(Group("RIFF", "WAVE", {Chunk("fmt ", fmt)})), malformed);
    // A PCM, float or extensible "fmt " over 40 bytes; other formats' longer ones are read.
    for (const std::uint16_t tag : {1, 3, 0xFFFE}) {
        Bytes longFmt = ExtensiblePayload(2, 44100, 16, 16, 1);
        longFmt.resize(42);
        longFmt[0] = tag & 0xFF, longFmt[1] = tag >> 8;
        EXPECT_EQ(Failure(Wave(longFmt, data)), malformed) << tag;
    }
    // Sizes running past the end of the file while parsing.
    EXPECT_EQ(
        Failure(Group("RIFF", "WAVE", {Chunk("fmt ", fmt), Chunk("LIST", {}, false, 0xFFFFFF00)})),
        "Unexpected end of IFF stream");
    Bytes cut = Wave(fmt, data);
    cut.resize(30);
    EXPECT_EQ(Failure(cut), "Unexpected end of IFF stream");
    EXPECT_EQ(Failure(Group("RIFF", "WAVE", {Chunk("fmt ", fmt), Chunk("data", data)}, false, 12)),
              "Error parsing IFF stream");
    EXPECT_EQ(Failure({}), "Unexpected end of IFF stream");
    try {
        WAVParser::Open(dir.file("missing.wav"), nullptr);
        FAIL();
    } catch (const WAVParser::exception& e) {
        EXPECT_EQ(e.what(), dir.file("missing.wav") + ": No such file or directory");
    }

    // Format descriptions that cannot be read.
    EXPECT_EQ(Failure(Wave(FmtPayload(2, 2, 44100, 4, 4), data)), nonPCM);     // ADPCM
    Bytes adpcm = FmtPayload(2, 2, 44100, 2048, 4);  // as written, with its 32 bytes of table
    adpcm.resize(50, 7);
    EXPECT_EQ(Failure(Wave(adpcm, data)), nonPCM);
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 2, 44100, 3, 16), data)), nonPCM);    // block align
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 0, 44100, 4, 16), data)), nonPCM);    // no channels
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 2, 0, 4, 16), data)), nonPCM);        // rate 0
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 2, 44100, 0, 16), data)), nonPCM);    // empty samples
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 2, 44100, 4, 24), data)), nonPCM);    // bits > container
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 1, 44100, 32, 256), data)), nonPCM);  // 32-byte samples
    EXPECT_EQ(Failure(Wave(FmtPayload(3, 1, 44100, 2, 16), data)), nonPCM);    // 16-bit float
    EXPECT_EQ(Failure(Wave(FmtPayload(1, 256, 44100, 512, 16), data)),
              "WAVE file has 256 channels; at most 255 are supported");  // PCM all the same
    EXPECT_EQ(Failure(Wave(ExtensiblePayload(2, 44100, 20, 20, 1), data)), nonPCM);
    EXPECT_EQ(Failure(Wave(ExtensiblePayload(2, 44100, 16, 16, 2), data)), nonPCM);
    EXPECT_EQ(Failure(Wave(ExtensiblePayload(300, 44100, 16, 16, 1), data)),
              "WAVE file has 300 channels; at most 255 are supported");
    EXPECT_EQ(Failure(Wave(ExtensiblePayload(1, 44100, 256, 24, 1), data)), nonPCM);
    Bytes contradicting = ExtensiblePayload(2, 44100, 24, 24, 1);
    contradicting[12] = 8;  // block align: two 4-byte containers, not 3-byte ones
    EXPECT_EQ(Failure(Wave(contradicting, data)), nonPCM);
}

// A header declaring more audio than the file holds (a recording that lost
// power): the whole frames present, and a warning with both counts.
TEST_F(WAVReader, CutShortOpensWithTheFramesPresent) {
    const Bytes fmt = FmtPayload(1, 2, 44100, 4, 16);
    const Bytes data = Sequence(2000 * 4, 9);
    Builder ds;
    ds.u64(4 + 36 + 24 + 8 + data.size()).u64(data.size()).u64(2000).u32(0);
    Builder fact;
    fact.u32(1500);  // smaller than the data: the data chunk's size holds
    const struct {
        const char* name;
        Bytes file;
        std::size_t keep;  // bytes of samples left in the file
        std::int64_t frames;
        const char* warning;
    } cases[] = {
        {"RIFF", Wave(fmt, data), 1234 * 4 + 3, 1234, "input cut short: 1234 of 2000 frames"},
        {"RIFF with fact", Wave(fmt, data, false, {Chunk("fact", fact.b)}), 1234 * 4, 1234,
         "input cut short: 1234 of 2000 frames"},
        {"RIFX", Wave(FmtPayload(1, 2, 44100, 4, 16, true), data, true), 1, 0,
         "input cut short: 0 of 2000 frames"},
        {"RF64",
         Group("RF64", "WAVE",
               {Chunk("ds64", ds.b), Chunk("fmt ", fmt), Chunk("data", data, false, 0xFFFFFFFF)},
               false, 0xFFFFFFFF),
         1999 * 4, 1999, "input cut short: 1999 of 2000 frames"},
        {"whole", Wave(fmt, data), 2000 * 4, 2000, nullptr},
        // A writer's "unknown" size, near 2 GiB (a stream saved to a file): not cut short.
        {"placeholder",
         Group("RIFF", "WAVE", {Chunk("fmt ", fmt), Chunk("data", data, false, 0x7ffff000)}, false,
               0x7ffff024),
         1234 * 4, 1234, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = c.file;
        const std::size_t header = file.size() - data.size();
        file.resize(header + c.keep);
        Audio::IO::InputDetails details;
        auto s = WAVParser::Open(Put(file), nullptr, &details);
        ExpectFramesAndWarning(*s, details.warnings, file, header, c.frames, 4, c.warning);
    }
}

// Less than one whole frame of data is an empty stream, not "to the end".
TEST_F(WAVReader, PartialFrameIsEmpty) {
    Bytes file = Wave(FmtPayload(1, 2, 44100, 4, 16), {1, 2});
    Bytes list = Chunk("LIST", Sequence(40));
    file.insert(file.end(), list.begin(), list.end());
    auto s = Open(file);
    EXPECT_EQ(s->length, 0);
    EXPECT_TRUE(ReadAll(*s).empty());
}

// A data size of 0 with audio after it (a header written for an empty file and never updated,
// or a writer that filled in only the container's size): the audio is read, with a warning, up
// to the chunks appended after it. A truly empty data chunk followed by the next chunk stays
// empty.
TEST_F(WAVReader, EmptyDataFollowedByAudioReadsTheAudio) {
    const Bytes fmt = FmtPayload(1, 2, 44100, 4, 16);
    const Bytes audio = Sequence(600 * 4, 4);
    const Bytes junk = Chunk("JUNK", Sequence(12)), odd = Chunk("odd ", Sequence(7));
    // A LIST's last sub-chunk ends where the LIST does: the LIST was read as 3 frames of audio.
    const Bytes list = Group("LIST", "INFO", {Chunk("INAM", Bytes{'T', 'a', 'k', 'e', 0, 0})});
    const Bytes stray{1, 2};  // less than a frame before the chunks
    auto followed = [&](std::vector<const Bytes*> chunks) {
        Bytes b = audio;
        for (const Bytes* c : chunks) b.insert(b.end(), c->begin(), c->end());
        return b;
    };
    const struct {
        const char* name;
        std::vector<Bytes> chunks;
        std::int64_t riffSize;  // -1: the right one
        std::int64_t frames;
        std::size_t warnings;
        const char* title;
    } cases[] = {
        {"audio after", {Chunk("fmt ", fmt), Chunk("data", audio, false, 0)}, -1, 600, 1, ""},
        {"never updated", {Chunk("fmt ", fmt), Chunk("data", audio, false, 0)}, 36, 600, 1, ""},
        {"audio, then chunks",
         {Chunk("fmt ", fmt), Chunk("data", followed({&junk, &odd}), false, 0)},
         -1,
         600,
         1,
         ""},
        {"a chunk after", {Chunk("fmt ", fmt), Chunk("data", {}), junk}, -1, 0, 0, ""},
        // A second "data" chunk is not read, and said (the audio was lost without a word).
        {"another data chunk after",
         {Chunk("fmt ", fmt), Chunk("data", {}), Chunk("data", audio)},
         -1,
         0,
         1,
         ""},
        {"a second take",
         {Chunk("fmt ", fmt), Chunk("data", audio), Chunk("data", audio)},
         -1,
         600,
         1,
         ""},
        {"audio, then a LIST",
         {Chunk("fmt ", fmt), Chunk("data", followed({&junk, &list}), false, 0)},
         -1,
         600,
         1,
         "Take"},
        {"never updated, then a LIST",
         {Chunk("fmt ", fmt), Chunk("data", followed({&list}), false, 0)},
         36,
         600,
         1,
         "Take"},
        // Sizes of 0 in both: a streamed file; the chunks after its audio are found as well.
        {"streamed, then a LIST",
         {Chunk("fmt ", fmt), Chunk("data", followed({&list}), false, 0)},
         0,
         600,
         0,
         "Take"},
        {"streamed, then part of a frame and a LIST",
         {Chunk("fmt ", fmt), Chunk("data", followed({&stray, &list}), false, 0)},
         0,
         600,
         0,
         "Take"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Audio::IO::InputDetails details;
        auto s = WAVParser::Open(Put(Group("RIFF", "WAVE", c.chunks, false, c.riffSize)), nullptr,
                                 &details);
        EXPECT_EQ(s->length, c.frames * 4);
        EXPECT_EQ(ReadAll(*s), Bytes(audio.begin(), audio.begin() + c.frames * 4));
        EXPECT_EQ(details.warnings.size(), c.warnings);
        const auto& info = details.metadata.info;
        EXPECT_EQ(info.empty() ? "" : info[0].second, std::string(c.title));
    }
}

// Chunks after audio whose size the header does not give, where writers leave them: after
// 8-bit mono audio of odd length with its pad byte (a 0, read as a full-scale sample) or
// without, after a tag block larger than a MiB (it was read as audio), with the last chunk's
// pad missing or zero bytes after it (they were read as audio too).
TEST_F(WAVReader, ChunksAfterAudioOfUnknownSizeAreFoundWhereTheyBegin) {
    const Bytes list = Group("LIST", "INFO", {Chunk("INAM", Bytes{'T', 'a', 'k', 'e', 0, 0})});
    const Bytes mono(1001, 0x90), stereo = Sequence(500 * 4, 4);
    const Bytes u8 = FmtPayload(1, 1, 8000, 1, 8), s16 = FmtPayload(1, 2, 44100, 4, 16);
    auto cat = [](std::vector<Bytes> parts) {
        Bytes b;
        for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    Bytes odd = Chunk("odd ", Bytes(7, 'x'));
    odd.pop_back();  // its pad byte left out
    const struct {
        const char* name;
        Bytes fmt, audio, after;
        const char* title;
    } cases[] = {
        {"8-bit mono, its pad byte", u8, mono, cat({{0}, list}), "Take"},
        {"8-bit mono, its pad byte, nothing after", u8, mono, {0}, ""},
        {"8-bit mono, no pad byte", u8, mono, list, "Take"},
        {"8-bit mono, no pad bytes, two chunks", u8, mono, cat({Chunk("JUNK", Bytes(6)), list}),
         "Take"},
        {"a MiB and a half of chunks", s16, stereo,
         cat({Chunk("JUNK", Bytes(1536 * 1024, 7)), list}), "Take"},
        {"the last pad byte missing", s16, stereo, cat({list, odd}), "Take"},
        {"zero bytes after the chunks", s16, stereo, cat({list, Bytes(5, 0)}), "Take"},
    };
    for (const auto& c : cases) {
        // The data's size 0, the container's size given, or 0 as well (a streamed file).
        for (std::int64_t riffSize : {-1, 0}) {
            SCOPED_TRACE(testing::Message() << c.name << ", RIFF size " << riffSize);
            const Bytes data = cat({{'d', 'a', 't', 'a', 0, 0, 0, 0}, c.audio, c.after});
            Audio::IO::InputDetails details;
            auto s = WAVParser::Open(
                Put(Group("RIFF", "WAVE", {Chunk("fmt ", c.fmt), data}, false, riffSize)), nullptr,
                &details);
            EXPECT_EQ(ReadAll(*s), c.audio);
            const auto& info = details.metadata.info;
            EXPECT_EQ(info.empty() ? "" : info[0].second, std::string(c.title));
        }
    }
}

// A tag block a program appended past the container without updating its size (or with a
// size a few bytes short) is read, as other readers take it, when it runs whole to the end of
// the file; bytes after the container that are no such chain (an ID3v1 tag) say nothing.
TEST_F(WAVReader, ChunksPastTheContainersSizeAreRead) {
    const Bytes audio = Sequence(400);
    const Bytes list = Group("LIST", "INFO", {Chunk("INAM", Bytes{'T', 'a', 'k', 'e', 0, 0})});
    Bytes id3v1 = {'T', 'A', 'G', 'A', 'b', 0, 0, 0};
    id3v1.resize(128);
    const struct {
        const char* name;
        Bytes after;
        std::int64_t riffSize;  // -1: the container ends with the audio
        const char* title;
    } cases[] = {
        {"a LIST past the container", list, -1, "Take"},
        {"a container 4 bytes short", list, 4 + 24 + 8 + 400 + 22, "Take"},
        {"an ID3v1 tag", id3v1, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = Group("RIFF", "WAVE",
                           {Chunk("fmt ", FmtPayload(1, 2, 44100, 4, 16)), Chunk("data", audio)},
                           false, c.riffSize);
        file.insert(file.end(), c.after.begin(), c.after.end());
        Audio::IO::InputDetails details;
        auto s = WAVParser::Open(Put(file), nullptr, &details);
        EXPECT_EQ(ReadAll(*s), audio);
        EXPECT_TRUE(details.warnings.empty()) << details.warnings[0];
        const auto& info = details.metadata.info;
        EXPECT_EQ(info.empty() ? "" : info[0].second, std::string(c.title));
    }
}

Audio::Stream::Wrapper<Stream::iOver> ALawFactory(int, Stream::Wrapper<Stream::iOver> data,
                                                  const void*, bool, std::int64_t factFrames,
                                                  std::int64_t dataLength) {
    Audio::Format f;
    f.setBytesPerSample(1).setSampleType(Audio::Format::Integer).setScaleExponent(8).setChannels(1);
    f.sampleRate = 8000;
    return Audio::IO::DecodeWaveData(0, data, &f, false, factFrames, dataLength);
}

TEST_F(WAVReader, SubFormatRegistry) {
    auto& registry = Audio::IO::SubFormatRegistry::Instance();
    const auto pcm = Audio::IO::GUID::Parse("00000001-0000-0010-8000-00AA00389B71");
    ASSERT_NE(registry.Find(pcm), nullptr);
    EXPECT_EQ(registry.Find(pcm)->name, "PCM");
    EXPECT_EQ(pcm, Audio::IO::GUID::FromFormatTag(1));
    EXPECT_EQ(registry.Find(Audio::IO::GUID::FromFormatTag(3))->name, "floating-point");
    EXPECT_THROW(Audio::IO::GUID::Parse("00000001-0000-0010-8000"), std::invalid_argument);

    // A decoder registered for another tag is used for it.
    const Bytes alaw = FmtPayload(6, 1, 8000, 1, 8);
    EXPECT_EQ(Failure(Wave(alaw, Bytes(10))), "RIFF_WAVE file contains non-PCM data");
    registry.Register(Audio::IO::GUID::FromFormatTag(6), "A-law", ALawFactory);
    auto s = Open(Wave(alaw, Sequence(10)));
    EXPECT_EQ(s.format().bytesPerSample(), 1u);
    EXPECT_FALSE(s.format().isUnsigned());
    EXPECT_EQ(ReadAll(*s), Sequence(10));
}

}  // namespace
