#include "audio/io/IFF.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "audio/io/InputDetails.h"

namespace IFF {

namespace {

// Sizes and positions above this are refused, so that start + size never
// overflows a signed 64-bit value.
constexpr std::int64_t kMaxSize = std::int64_t{1} << 62;
constexpr std::uint32_t kSizeUnknown = 0xFFFFFFFFu;

std::int64_t RegularFileSize(std::FILE* f) {
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) return st.st_size;
    return -1;
}

std::uint32_t Load32(const std::uint8_t* p, bool bigEndian) {
    if (bigEndian)
        return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
               p[3];
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

std::uint64_t Load64LE(const std::uint8_t* p) {
    return std::uint64_t(Load32(p + 4, false)) << 32 | Load32(p, false);
}

// Byte source over a C file: granularity 1; the length becomes known at the
// first short read. Bytes past the end of the file read as zeros. A regular
// file that shrinks while it is read (cut short by another program) throws
// UnexpectedEOF rather than reading as zeros.
// A pipe cannot seek: there a seek to where the source already is succeeds
// and any other fails.
class File final : public Stream::iOver, public Stream::Source {
public:
    File(std::FILE* f, std::shared_ptr<const std::int64_t> requiredEnd)
        : file_(f), openSize_(RegularFileSize(f)), requiredEnd_(std::move(requiredEnd)) {
        // Reads of a few kilobytes from the stages, one system call per buffer: the stream's
        // default buffer would make one call per 4 KiB. The buffer outlives the stream: the
        // destructor closes it before the members go.
        buffer_ = std::make_unique<char[]>(kBufferBytes);
        if (std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferBytes) != 0) buffer_.reset();
        granularity = 1;
        position = ftello(f);
        if (position < 0) position = 0;
        offset_ = position;
    }
    ~File() override { std::fclose(file_); }

    void seek(std::uint64_t p) override {
        if (p == std::uint64_t(offset_)) return;
        if (p > std::uint64_t(std::numeric_limits<off_t>::max()))
            throw FileError("cannot seek in the input to byte " + std::to_string(p));
        if (fseeko(file_, static_cast<off_t>(p), SEEK_SET) != 0) {
            const int error = errno;
            throw FileError("cannot seek in the input to byte " + std::to_string(p) + ": " +
                            std::strerror(error));
        }
        offset_ = static_cast<std::int64_t>(p);
    }

    Stream::Block read(slice<std::uint8_t> dest, std::uint32_t) override {
        const std::size_t want = dest.length();
        const std::size_t got = want ? std::fread(dest.begin, 1, want, file_) : 0;
        offset_ += static_cast<std::int64_t>(got);
        if (got < want) {
            if (std::ferror(file_)) {
                const int error = errno;
                throw FileError(Audio::IO::ReadRefusedText(offset_, error));
            }
            if (const std::int64_t now = RegularFileSize(file_); openSize_ >= 0 && now < openSize_)
                throw UnexpectedEOF("the file shrank from " + std::to_string(openSize_) + " to " +
                                    std::to_string(now) + " bytes while it was read");
            if (offset_ < *requiredEnd_)  // a pipe cut short
                throw UnexpectedEOF("the stream ended after " + std::to_string(offset_) +
                                    " bytes, before the end of the audio its header gives (" +
                                    std::to_string(*requiredEnd_) + " bytes)");
            if (length < 0) {
                std::int64_t size = RegularFileSize(file_);
                length = size >= 0 ? size : offset_;
            }
        }
        Stream::Block head{dest.begin, dest.begin + got, got ? Stream::Samples : Stream::Silence};
        Stream::Block tail{dest.begin + got, dest.end, Stream::Silence};
        return Stream::join(head, tail);
    }

private:
    static constexpr std::size_t kBufferBytes = 256 * 1024;
    std::unique_ptr<char[]> buffer_;  // the stream's buffer (null: its own)
    std::FILE* file_;
    const std::int64_t openSize_;  // -1: not a regular file
    std::int64_t offset_ = 0;      // bytes from the start of the file to the next read
    std::shared_ptr<const std::int64_t> requiredEnd_;
};

}  // namespace

std::string ResType::text() const {
    char c[4];
    if constexpr (std::endian::native == std::endian::little) {
        for (int i = 0; i < 4; ++i) c[i] = static_cast<char>(value >> (8 * i));
    } else {
        for (int i = 0; i < 4; ++i) c[i] = static_cast<char>(value >> (24 - 8 * i));
    }
    return std::string(c, 4);
}

VisitorParser::VisitorParser() = default;
VisitorParser::~VisitorParser() = default;

std::int64_t VisitorParser::Position() const {
    return source_->position;
}

void VisitorParser::ReadExact(void* dest, std::size_t n) {
    if (n == 0) return;
    Stream::iOver& s = *source_;
    const std::int64_t from = s.position;
    auto* p = static_cast<std::uint8_t*>(dest);
    s.read(slice<std::uint8_t>(p, n), static_cast<std::uint32_t>(n));
    s.position += static_cast<std::int64_t>(n);
    if (s.length >= 0 && from + static_cast<std::int64_t>(n) > s.length) throw UnexpectedEOF();
}

void VisitorParser::Skip(std::int64_t n) {
    if (n <= 0) return;
    Stream::iOver& s = *source_;
    if (fileSize_ >= 0) {
        if (n > fileSize_ - s.position) throw UnexpectedEOF();
        const std::int64_t to = s.position + n;
        s.seek(static_cast<std::uint64_t>(to));
        s.position = to;
        return;
    }
    // Not a regular file: read and discard in bounded pieces.
    std::vector<std::uint8_t> scratch(std::min<std::int64_t>(n, 65536));
    while (n > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::int64_t>(n, 65536));
        ReadExact(scratch.data(), piece);
        n -= static_cast<std::int64_t>(piece);
    }
}

std::int64_t VisitorParser::EndOf(const ChunkInfo& chunk) const {
    if (chunk.openEnded())
        return fileSize_ >= 0 ? fileSize_ : std::numeric_limits<std::int64_t>::max();
    return chunk.start + chunk.size;
}

void VisitorParser::ReadDs64(const ChunkInfo& chunk) {
    if (chunk.openEnded() || chunk.size < 28) throw ParseError();
    std::uint8_t fixed[28];
    ReadExact(fixed, sizeof fixed);
    const std::uint64_t riff = Load64LE(fixed), data = Load64LE(fixed + 8),
                        samples = Load64LE(fixed + 16);
    if (riff > std::uint64_t(kMaxSize) || data > std::uint64_t(kMaxSize)) throw ParseError();
    ds64_.riffSize = static_cast<std::int64_t>(riff);
    ds64_.dataSize = static_cast<std::int64_t>(data);
    // The sample count only repeats what the sizes say: one past any size (ffmpeg writes
    // 2^63 + 1 in an empty file's) is unknown.
    ds64_.sampleCount = samples > std::uint64_t(kMaxSize) ? -1 : static_cast<std::int64_t>(samples);
    ds64_.table.clear();
    // Only a bounded number of table entries is kept.
    std::int64_t entries = std::min<std::int64_t>(
        {Load32(fixed + 24, false), (chunk.size - 28) / 12, std::int64_t{64}});
    for (; entries > 0; --entries) {
        std::uint8_t entry[12];
        ReadExact(entry, sizeof entry);
        const std::uint64_t size = Load64LE(entry + 4);
        if (size > std::uint64_t(kMaxSize)) throw ParseError();
        ds64_.table.emplace_back(ResType::FromBytes(entry), static_cast<std::int64_t>(size));
    }
    // A pipe cannot go back: its visitor finds the position past the sizes read.
    if (fileSize_ < 0) return;
    source_->seek(static_cast<std::uint64_t>(chunk.start));
    source_->position = chunk.start;
}

void VisitorParser::ReadHeader() {
    ChunkInfo* parent = stack_.empty() ? nullptr : &stack_.front();
    const bool inheritedBigEndian = parent ? parent->bigEndian() : true;
    stack_.emplace_front();
    ChunkInfo& c = stack_.front();
    c.next = parent;

    std::uint8_t bytes[4];
    ReadExact(bytes, 4);
    c.id = ResType::FromBytes(bytes);
    if (c.id == ResType("RIFF"))
        c.flags = 0x29;
    else if (c.id == ResType("RF64") || c.id == ResType("BW64"))
        c.flags = 0x29 | ChunkInfo::kRF64;
    else if (c.id == ResType("FORM") || c.id == ResType("RIFX"))
        c.flags = 0x39;
    else
        c.flags = inheritedBigEndian ? 0x30 : 0x20;

    ReadExact(bytes, 4);
    const std::uint32_t raw = Load32(bytes, c.bigEndian());
    c.size = raw;
    // A container of size 0 (too small for its form type) is one whose writer
    // did not know the size, as is 0xFFFFFFFF: streamed to a pipe.
    if (raw == kSizeUnknown || (raw == 0 && (c.flags & ChunkInfo::kHasFormType))) {
        c.flags |= ChunkInfo::kOpenEnded;
        if (!c.isGroup() && ds64_.riffSize >= 0) {
            // RF64: the 64-bit size comes from "ds64".
            std::int64_t known = -1;
            if (c.id == ResType("data")) known = ds64_.dataSize;
            for (const auto& [id, size] : ds64_.table)
                if (id == c.id) known = size;
            if (known >= 0) {
                c.size = known;
                c.flags &= ~std::uint32_t(ChunkInfo::kOpenEnded);
            }
        }
    }
    if (c.flags & ChunkInfo::kHasFormType) {
        ReadExact(bytes, 4);
        c.id = ResType::FromBytes(bytes);
        c.size -= 4;
    }
    c.start = Position();

    if (parent && (parent->flags & ChunkInfo::kRF64) && !c.isGroup() && c.id == ResType("ds64")) {
        ReadDs64(c);
        if (parent->openEnded() && ds64_.riffSize >= 4) {
            parent->size = ds64_.riffSize - 4;
            parent->flags &= ~std::uint32_t(ChunkInfo::kOpenEnded);
        }
    }
}

bool VisitorParser::Parse(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        const int error = errno;
        try {
            throw std::runtime_error(path + ": " + std::strerror(error));
        } catch (...) {
            std::throw_with_nested(FileError());
        }
    }
    return Parse(f);
}

bool VisitorParser::Parse(std::FILE* f) {
    if (!f) throw FileError();
    fileSize_ = RegularFileSize(f);
    fd_ = fileno(f);
    *requiredEnd_ = -1;
    source_ = Stream::Wrapper<Stream::iOver>(new File(f, requiredEnd_));
    stack_.clear();
    ds64_ = Ds64{};
    Begin(*source_);

    for (;;) {
        ReadHeader();
        ChunkInfo& c = stack_.front();
        switch (Visit(c)) {
            case SkipChunk:
                Skip(EndOf(c) - Position());
                break;
            case Stop:
            case StopError:
                source_.reset();
                stack_.clear();
                return false;
            default:
                break;
        }
        // Close every chunk that has ended; read the next header inside the
        // innermost one that has not.
        for (;;) {
            if (stack_.empty()) return true;
            if (Position() & 1) Skip(1);  // pad byte
            const std::int64_t remaining = EndOf(stack_.front()) - Position();
            // -1: the pad byte of a last odd-sized child that the container's
            // size leaves out.
            if (remaining < -1) throw ParseError();
            if (remaining > 0) break;
            Leave();
            stack_.pop_front();
        }
    }
}

bool ReadAt(int fd, std::int64_t at, std::uint8_t* dest, std::size_t n) {
    while (n > 0) {
        const ssize_t got = pread(fd, dest, n, static_cast<off_t>(at));
        if (got <= 0) return false;
        dest += got;
        n -= static_cast<std::size_t>(got);
        at += got;
    }
    return true;
}

namespace {

bool IsChunkId(const std::uint8_t* id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 0x20 || id[i] >= 0x7f) return false;
    return true;
}

}  // namespace

bool ChunkHeaderAt(int fd, std::int64_t at, std::int64_t end, bool bigEndian) {
    std::uint8_t header[8];
    if (end - at < 8 || !ReadAt(fd, at, header, 8)) return false;
    return IsChunkId(header) && at + 8 + std::int64_t{Load32(header + 4, bigEndian)} <= end;
}

std::int64_t TrailingChunksStart(int fd, std::int64_t from, std::int64_t end, bool bigEndian) {
    // Tag blocks with pictures run to several MiB.
    constexpr std::int64_t kWindow = 16 << 20;
    // Zero bytes a writer may leave after the last chunk.
    constexpr std::int64_t kTrailingZeros = 16;
    const std::int64_t lo = std::max(from, end - kWindow);
    if (end - lo < 8) return end;
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(end - lo));
    if (!ReadAt(fd, lo, tail.data(), tail.size())) return end;
    // Every start found so far begins a chain to the end; a chunk that ends at any of them (its
    // pad byte included or, as some writers leave it, missing) begins a longer one. Not only
    // at the latest: the last sub-chunk of a LIST ends where the LIST does, and is found first.
    std::vector<std::int64_t> starts{end};  // decreasing
    for (std::int64_t e = end; e > lo + 8 && end - e < kTrailingZeros && tail[e - 1 - lo] == 0;)
        starts.push_back(--e);
    auto isStart = [&starts](std::int64_t p) {
        return std::binary_search(starts.rbegin(), starts.rend(), p);
    };
    std::int64_t chain = end;
    for (std::int64_t at = starts.back() - 8; at >= lo; --at) {
        const std::uint8_t* h = tail.data() + (at - lo);
        if (!IsChunkId(h)) continue;
        const std::int64_t body = Load32(h + 4, bigEndian);
        const std::int64_t next = at + 8 + body;
        if (isStart(next + (body & 1)) || isStart(next)) {
            starts.push_back(at);
            chain = at;
        }
    }
    return chain;
}

}  // namespace IFF
