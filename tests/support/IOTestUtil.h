#pragma once

// Helpers for the file input/output tests: a temporary directory, byte-level
// builders for IFF chunks, a memory audio source and a reader that pulls a
// stream to its end the way a consumer does.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/format/Format.h"
#include "audio/io/FileWriter.h"
#include "audio/io/InsertWriter.h"
#include "stream/Stream.h"

namespace IOTest {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory, removed with its contents at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessival-io-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

inline Bytes ReadFile(const std::string& path) {
    Bytes out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Little- or big-endian integers appended to a byte vector.
struct Builder {
    Bytes b;
    bool bigEndian = false;

    Builder& u8(std::uint32_t v) {
        b.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Builder& u16(std::uint32_t v) { return put(v, 2); }
    Builder& u32(std::uint32_t v) { return put(v, 4); }
    Builder& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Builder& id(const char* four) {
        b.insert(b.end(), four, four + 4);
        return *this;
    }
    Builder& raw(const Bytes& bytes) {
        b.insert(b.end(), bytes.begin(), bytes.end());
        return *this;
    }

private:
    Builder& put(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            b.push_back(static_cast<std::uint8_t>(v >> (8 * (bigEndian ? width - 1 - i : i))));
        return *this;
    }
};

// A chunk: id, size (the payload's, or `size` when given), payload, pad byte.
inline Bytes Chunk(const char* id, const Bytes& payload, bool bigEndian = false,
                   std::int64_t size = -1) {
    Builder c{{}, bigEndian};
    c.id(id).u32(size >= 0 ? static_cast<std::uint32_t>(size)
                           : static_cast<std::uint32_t>(payload.size()));
    c.raw(payload);
    if (payload.size() & 1) c.u8(0);
    return c.b;
}

// A container: id, size (4 + children, or `size`), form type, children.
inline Bytes Group(const char* id, const char* form, const std::vector<Bytes>& children,
                   bool bigEndian = false, std::int64_t size = -1) {
    Bytes body;
    for (const Bytes& c : children) body.insert(body.end(), c.begin(), c.end());
    Builder g{{}, bigEndian};
    g.id(id).u32(size >= 0 ? static_cast<std::uint32_t>(size)
                           : static_cast<std::uint32_t>(body.size() + 4));
    g.id(form).raw(body);
    return g.b;
}

// A WAVE file of a "fmt " payload and the sample bytes.
inline Bytes Wav(const Bytes& fmt, const Bytes& data) {
    return Group("RIFF", "WAVE", {Chunk("fmt ", fmt), Chunk("data", data)});
}

// A 16-byte (or 18 with cbSize) WAVEFORMATEX payload.
inline Bytes FmtPayload(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                        std::uint16_t blockAlign, std::uint16_t bits, bool bigEndian = false) {
    Builder f{{}, bigEndian};
    f.u16(tag).u16(channels).u32(rate).u32(rate * blockAlign).u16(blockAlign).u16(bits);
    return f.b;
}

// A 40-byte WAVE_FORMAT_EXTENSIBLE payload with sub-format 0000000<sub>-...
// and channel mask `mask` (-1: 0x3 for stereo, else 0x4).
inline Bytes ExtensiblePayload(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                               std::uint16_t validBits, std::uint32_t subFormat,
                               bool bigEndian = false, std::int64_t mask = -1) {
    const std::uint16_t align = static_cast<std::uint16_t>(bits / 8 * channels);
    Builder f{{}, bigEndian};
    f.u16(0xFFFE).u16(channels).u32(rate).u32(rate * align).u16(align).u16(bits);
    f.u16(22).u16(validBits);
    f.u32(mask >= 0 ? static_cast<std::uint32_t>(mask) : channels == 2 ? 3 : 4);
    f.u32(subFormat).u16(0).u16(0x10);
    const std::uint8_t tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    f.b.insert(f.b.end(), tail, tail + 8);
    return f.b;
}

inline Bytes Sequence(std::size_t n, std::uint32_t seed = 1) {
    Bytes v(n);
    std::uint32_t x = seed * 2654435761u + 12345;
    for (auto& c : v) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<std::uint8_t>(x >> 24);
    }
    return v;
}

// Pulls a stream from its position to its length (or, while the length is
// unknown, until `limit` bytes) in reads of about `block` bytes, as a
// consumer does: bytes at or past the length are not used; Silence reads
// as zeros. Returns the content.
inline Bytes ReadAll(Stream::iOver& s, std::size_t block = 16384, std::size_t limit = 1 << 26) {
    Bytes out;
    const std::size_t g = std::max<std::uint32_t>(s.granularity, 1);
    const std::size_t n = std::max(block / g, std::size_t{1}) * g;
    std::vector<std::uint8_t> buffer(n * std::max<std::uint32_t>(s.expansion, 1) + 64);
    while (out.size() < limit) {
        if (s.length >= 0 && s.position >= s.length) break;
        const std::int64_t P = s.position;
        Stream::Block blk = s.read(slice<std::uint8_t>(buffer.data(), n),
                                   static_cast<std::uint32_t>(buffer.size()));
        EXPECT_EQ(blk.begin, buffer.data());
        EXPECT_EQ(blk.length(), n);
        s.position += static_cast<std::int64_t>(blk.length());
        std::size_t keep = blk.length();
        if (s.length >= 0)
            keep = static_cast<std::size_t>(std::clamp<std::int64_t>(s.length - P, 0, keep));
        if (blk.kind == Stream::Silence)
            out.insert(out.end(), keep, 0);
        else
            out.insert(out.end(), blk.begin, blk.begin + keep);
        if (s.length < 0 && blk.length() == 0) break;
    }
    return out;
}

// A reader opened on `file` (whose samples start at byte `header`) holds exactly the `frames`
// whole frames of `frameBytes` there, and warned `warning` alone (nothing when null).
inline void ExpectFramesAndWarning(Stream::iOver& s, const std::vector<std::string>& warnings,
                                   const Bytes& file, std::size_t header, std::int64_t frames,
                                   std::size_t frameBytes, const char* warning) {
    const std::size_t end = header + static_cast<std::size_t>(frames) * frameBytes;
    EXPECT_EQ(s.length, static_cast<std::int64_t>(end - header));
    EXPECT_EQ(ReadAll(s), Bytes(file.begin() + std::ptrdiff_t(header),
                                file.begin() + std::ptrdiff_t(end)));
    EXPECT_EQ(warnings, warning ? std::vector<std::string>{warning} : std::vector<std::string>{});
}

// An audio source over memory bytes with a given format.
class AudioSource final : public Stream::iOver, public Stream::Source {
public:
    AudioSource(Bytes bytes, Audio::Format f) : data(std::move(bytes)) {
        granularity = std::max<std::uint32_t>(f.bytesPerFrame(), 1);
        length = static_cast<std::int64_t>(data.size());
        setTag(Audio::Stream::Tag{0.0, f});
    }
    void seek(std::uint64_t p) override { cursor = p; }
    Stream::Block read(slice<std::uint8_t> dest, std::uint32_t) override {
        const std::size_t n = dest.length();
        const std::size_t have =
            cursor < data.size() ? std::min<std::size_t>(n, data.size() - cursor) : 0;
        if (have) std::memcpy(dest.begin, data.data() + cursor, have);
        std::memset(dest.begin + have, 0, n - have);
        cursor += n;
        return {dest.begin, dest.end, n ? Stream::Samples : Stream::Silence};
    }
    Bytes data;
    std::uint64_t cursor = 0;
};

inline Audio::Format MakeFormat(std::uint32_t bytes, Audio::Format::SampleType type,
                                std::uint32_t scale, std::uint32_t channels, float rate,
                                bool isUnsigned = false) {
    Audio::Format f;
    f.setBytesPerSample(bytes)
        .setSampleType(type)
        .setScaleExponent(scale)
        .setPaddingBits(0)
        .setUnsigned(isUnsigned)
        .setBigEndian(false)
        .setChannels(channels);
    f.sampleRate = rate;
    return f;
}

// Whether a command-line tool is on the PATH.
inline bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The standard output of a shell command, without its last line break.
inline std::string CommandOutput(const std::string& command) {
    std::string out;
    if (std::FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// Writes `data` (format `f`) to `path` through the registry's writer `id`
// as a job does: the speaker layout `mask` set before Open, the file pulled
// through the insert stage, then finished (which throws what Finish throws).
// `metadata`, when given, is the writer's.
inline void WriteThrough(int id, const Bytes& data, Audio::Format f, std::uint32_t mask,
                         const std::string& path,
                         std::shared_ptr<const Audio::IO::Metadata> metadata = nullptr) {
    auto writer = Audio::IO::CreateFileWriter(Audio::IO::MakeWriterSpec(id, {0.0, f}), id);
    writer->channelMask = mask;
    writer->metadata = std::move(metadata);
    Audio::IO::OpenFileWriter(path, *writer, 0);
    Audio::IO::iFileWriter* w = writer.get();
    Audio::Stream::Wrapper<Stream::iOver> source(new AudioSource(data, f));
    auto chain = Audio::IO::InsertWriter(source, std::move(writer));
    EXPECT_EQ(ReadAll(*chain, 8192).size(), data.size());
    w->Finish();
}

}  // namespace IOTest
