#pragma once

// Byte ring of the pull adaptors, with virtual silence.
//
// Memory [begin, end), `size` bytes. Three positions, in ring order
// readPos <= dataEnd <= writePos (distances modulo size):
//   [readPos, dataEnd)   content: bytes really written;
//   [dataEnd, writePos)  committed silence, only counted, not yet written;
//   [writePos, readPos)  free; one byte always stays free, so at most
//                        size - 1 bytes are committed.
// Silence is written as zero bytes only when content is committed after it
// or a reader needs its bytes.

#include <cstdint>
#include <limits>

#include "stream/Stream.h"

namespace Stream {

class RingBuffer {
public:
    static constexpr std::uint32_t kAll = std::numeric_limits<std::uint32_t>::max();

    // Starts as reserve(0, discard): 8 bytes, all positions at begin.
    RingBuffer();
    ~RingBuffer();
    RingBuffer(RingBuffer&& o) noexcept;
    RingBuffer& operator=(RingBuffer&& o) noexcept;
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // New size = n rounded down to a multiple of 8, plus 8; memory is only
    // reallocated when that differs from `size`. With discard every
    // position goes to begin; without, content moves to the start of the
    // new memory and pending silence stays virtual. Throws Wobbly when the
    // committed bytes would not fit, or the size does not fit 32 bits.
    void reserve(std::uint64_t n, bool discard);
    // Moves the content to begin, contiguous; every position shifts by the
    // same amount.
    void linearize();
    // Drops everything: all positions to begin.
    void reset() { readPos_ = dataEnd_ = writePos_ = begin_; }

    // Marks n bytes at writePos as committed. silent: counted only, nothing
    // written. Otherwise the caller has written [writePos, writePos + n)
    // (within writableContiguous()); pending silence before it is written as
    // zeros first. Throws Wobbly when n exceeds the free space.
    void commit(std::uint32_t n, bool silent);

    // Up to n committed bytes from readPos (n == kAll: all of them).
    // With no content and at least n bytes of silence: one Silence block of
    // length n with a null begin. Otherwise pending silence up to n is
    // written as zeros and `first` is the contiguous piece from readPos,
    // `second` the part wrapped to begin.
    struct Readable {
        Block first;
        Block second;
    };
    Readable readable(std::uint32_t n = kAll);

    // Discards n committed bytes (n <= used(), else Wobbly). When no content
    // remains, the positions rotate so that readPos is at begin.
    void consume(std::uint32_t n);

    std::uint32_t used() const { return distance(readPos_, writePos_); }
    std::uint32_t content() const { return distance(readPos_, dataEnd_); }
    std::uint32_t silence() const { return distance(dataEnd_, writePos_); }
    std::uint32_t space() const { return size_ - 1 - used(); }
    // Free bytes from writePos before the ring wraps or meets readPos.
    std::uint32_t writableContiguous() const;
    // Bytes from readPos to the end of the memory.
    std::uint32_t toEnd() const { return static_cast<std::uint32_t>(end_ - readPos_); }

    std::uint8_t* begin() const { return begin_; }
    std::uint8_t* end() const { return end_; }
    std::uint32_t size() const { return size_; }
    std::uint8_t* readPos() const { return readPos_; }
    std::uint8_t* dataEnd() const { return dataEnd_; }
    std::uint8_t* writePos() const { return writePos_; }

private:
    std::uint32_t distance(const std::uint8_t* from, const std::uint8_t* to) const {
        return static_cast<std::uint32_t>(to >= from ? to - from : to - from + size_);
    }
    std::uint8_t* advance(std::uint8_t* p, std::uint32_t n) const {
        std::uint32_t left = static_cast<std::uint32_t>(end_ - p);
        return n < left ? p + n : begin_ + (n - left);
    }
    // Writes up to n bytes of pending silence (from dataEnd) as zeros.
    void realize(std::uint32_t n);
    // Zeroes [from, from + n) with wrap-around.
    void zero(std::uint8_t* from, std::uint32_t n);
    // Copies the content, in order, to `to` (which has room for it).
    void copyContent(std::uint8_t* to) const;
    void release();

    std::uint8_t* begin_ = nullptr;
    std::uint8_t* end_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint8_t* readPos_ = nullptr;
    std::uint8_t* dataEnd_ = nullptr;
    std::uint8_t* writePos_ = nullptr;
};

}  // namespace Stream
