#pragma once

// Reading IFF-family files (RIFF, RIFX, FORM, and the 64-bit RF64/BW64
// variant of RIFF): a parser walks the chunk tree from a file on disk and
// hands each chunk header to a visitor, which decides whether to descend,
// skip or stop. The parser knows nothing about the chunks' meaning.
//
// Units: positions and sizes are bytes, 64-bit. A chunk's `start` is the file
// offset of its payload; chunks start at even offsets (a pad byte follows an
// odd-sized chunk).

#include <bit>
#include <cstdio>
#include <cstdint>
#include <forward_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/Stream.h"

namespace IFF {

// A four-character chunk identifier. `value` holds the four characters in
// file order in memory, so it compares directly with the file's bytes in
// either container byte order.
struct ResType {
    std::uint32_t value = 0;

    constexpr ResType() = default;
    constexpr ResType(const char (&text)[5])  // NOLINT: implicit on purpose
        : value(Pack(text[0], text[1], text[2], text[3])) {}
    static ResType FromBytes(const std::uint8_t bytes[4]) {
        return ResType(Pack(char(bytes[0]), char(bytes[1]), char(bytes[2]), char(bytes[3])));
    }
    // The four characters, in file order.
    std::string text() const;
    friend constexpr bool operator==(ResType a, ResType b) { return a.value == b.value; }

private:
    constexpr explicit ResType(std::uint32_t v) : value(v) {}
    static constexpr std::uint32_t Pack(char a, char b, char c, char d) {
        auto u = [](char ch) { return std::uint32_t(static_cast<unsigned char>(ch)); };
        if constexpr (std::endian::native == std::endian::little)
            return u(a) | u(b) << 8 | u(c) << 16 | u(d) << 24;
        else
            return u(a) << 24 | u(b) << 16 | u(c) << 8 | u(d);
    }
};

// One open chunk. Records form a stack, newest first, linked by `next`.
struct ChunkInfo {
    enum Flags : std::uint32_t {
        kKindMask = 7,  // 1: group chunk (carries a form type), 0: plain chunk
        kGroup = 1,
        kHasFormType = 8,
        kBigEndian = 0x10,  // sizes inside this chunk are big-endian
        kVisited = 0x20,    // delivered to the visitor
        kOpenEnded = 0x40,  // size field 0xFFFFFFFF with no 64-bit size known:
                            // the chunk runs to the end of the file
        kRF64 = 0x80,       // an RF64/BW64 group (sizes may come from "ds64")
    };

    ChunkInfo* next = nullptr;  // enclosing chunk, null at top level
    std::uint32_t flags = 0;
    ResType id;              // for a group chunk: its form type, once read
    std::int64_t start = 0;  // file offset of the payload (after the form type)
    std::int64_t size = 0;   // payload bytes (a group's excludes its form type)

    bool isGroup() const { return (flags & kKindMask) == kGroup; }
    bool bigEndian() const { return flags & kBigEndian; }
    bool openEnded() const { return flags & kOpenEnded; }
};

// Failures of parsing. All carry a message and an integer code.
class exception : public std::runtime_error {
public:
    exception(const char* message, int code) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};
struct FileError : exception {
    FileError() : exception("???", 2) {}
    // What the system said (a read of a failing disk: "Input/output error").
    explicit FileError(const std::string& why) : exception(why.c_str(), 2) {}
};
struct ParseError : exception {
    ParseError() : exception("Error parsing IFF stream", 3) {}
};
struct UnexpectedEOF : exception {
    UnexpectedEOF() : exception("Unexpected end of IFF stream", 4) {}
    explicit UnexpectedEOF(const std::string& why) : exception(why.c_str(), 4) {}
};

// Visitor's answer for one chunk.
enum Action : int { Descend = 0, SkipChunk = 1, Stop = 2, StopError = 3 };

class VisitorBase {
public:
    // Called once per chunk header, with the position at the payload.
    virtual int Visit(ChunkInfo& chunk) = 0;
    // Called when a visited chunk closes.
    virtual void Leave() {}
    // Called once the file is open, before the first header is read.
    virtual void Begin(Stream::iOver& source) { (void)source; }
    virtual ~VisitorBase() = default;
};

// Walks one file; derive from it and implement Visit.
class VisitorParser : public VisitorBase {
public:
    VisitorParser();
    ~VisitorParser() override;
    VisitorParser(const VisitorParser&) = delete;
    VisitorParser& operator=(const VisitorParser&) = delete;

    // Opens `path` ("rb") and walks its top-level chunk. True: the chunk was
    // walked to its end; false: the visitor stopped (action 2 or 3). Bytes
    // after the top-level chunk are never read. Throws FileError, ParseError,
    // UnexpectedEOF; the visitor's exceptions pass through.
    bool Parse(const std::string& path);
    // Walks a file that is already open and takes it over (it is closed with
    // the source). It may be a pipe or a terminal: nothing is then sought,
    // skipped bytes are read and discarded, and a chunk of unknown size runs
    // to the end of the data. Throws as Parse(path) does.
    bool Parse(std::FILE* file);

    // The 64-bit sizes of an RF64/BW64 file's "ds64" chunk (-1 when absent).
    struct Ds64 {
        std::int64_t riffSize = -1;
        std::int64_t dataSize = -1;
        std::int64_t sampleCount = -1;
        std::vector<std::pair<ResType, std::int64_t>> table;
    };

protected:
    // Reads exactly n bytes at the current position; UnexpectedEOF if the
    // file ends first.
    void ReadExact(void* dest, std::size_t n);
    // Advances over n bytes; UnexpectedEOF past the end of the file.
    void Skip(std::int64_t n);
    // Current byte position in the file.
    std::int64_t Position() const;
    // Size of the file when it is a regular file, else -1.
    std::int64_t FileSize() const { return fileSize_; }
    // The file must hold data up to byte `end`: a read that meets the end of
    // a pipe before it throws UnexpectedEOF (a regular file's size is checked
    // against the chunks' sizes before they are read).
    void RequireUntil(std::int64_t end) { *requiredEnd_ = end; }
    // The byte source (null before Parse, and after a stopped Parse released it).
    Stream::Wrapper<Stream::iOver> Source() const { return source_; }
    const Ds64& ds64() const { return ds64_; }
    // Descriptor of the file being walked (-1 before Parse). Reading it with
    // pread leaves the walk's position alone.
    int Descriptor() const { return fd_; }

private:
    void ReadHeader();
    void ReadDs64(const ChunkInfo& chunk);
    std::int64_t EndOf(const ChunkInfo& chunk) const;

    Stream::Wrapper<Stream::iOver> source_;
    std::forward_list<ChunkInfo> stack_;
    std::int64_t fileSize_ = -1;
    // Shared with the byte source, which outlives the parser; -1: no requirement.
    std::shared_ptr<std::int64_t> requiredEnd_ = std::make_shared<std::int64_t>(-1);
    Ds64 ds64_;
    int fd_ = -1;
};

// Reads n bytes at offset `at` of descriptor `fd` without moving its
// position; false when the file ends first or a read fails.
bool ReadAt(int fd, std::int64_t at, std::uint8_t* dest, std::size_t n);

// True when a chunk header sits at `at`: an identifier of printable
// characters and a size whose chunk ends by `end` (the container's end).
bool ChunkHeaderAt(int fd, std::int64_t at, std::int64_t end, bool bigEndian);

// Where the longest chain of whole chunks that ends at `end` begins (before a
// few zero bytes left after it, its last pad byte missing or not), looked for
// in the last 16 MiB before it and not before `from` (the metadata a writer
// appends after the audio); `end` when none does.
std::int64_t TrailingChunksStart(int fd, std::int64_t from, std::int64_t end, bool bigEndian);

}  // namespace IFF
