#include "stream/RingBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace Stream {

namespace {

constexpr std::align_val_t kAlign{64};

std::uint8_t* allocate(std::uint32_t n) {
    return static_cast<std::uint8_t*>(::operator new(n, kAlign));
}

void deallocate(std::uint8_t* p) {
    if (p) ::operator delete(p, kAlign);
}

}  // namespace

RingBuffer::RingBuffer() {
    reserve(0, true);
}

RingBuffer::~RingBuffer() {
    release();
}

RingBuffer::RingBuffer(RingBuffer&& o) noexcept
    : begin_(std::exchange(o.begin_, nullptr)),
      end_(std::exchange(o.end_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      readPos_(std::exchange(o.readPos_, nullptr)),
      dataEnd_(std::exchange(o.dataEnd_, nullptr)),
      writePos_(std::exchange(o.writePos_, nullptr)) {}

RingBuffer& RingBuffer::operator=(RingBuffer&& o) noexcept {
    if (this != &o) {
        release();
        begin_ = std::exchange(o.begin_, nullptr);
        end_ = std::exchange(o.end_, nullptr);
        size_ = std::exchange(o.size_, 0);
        readPos_ = std::exchange(o.readPos_, nullptr);
        dataEnd_ = std::exchange(o.dataEnd_, nullptr);
        writePos_ = std::exchange(o.writePos_, nullptr);
    }
    return *this;
}

void RingBuffer::release() {
    deallocate(begin_);
    begin_ = end_ = readPos_ = dataEnd_ = writePos_ = nullptr;
    size_ = 0;
}

void RingBuffer::reserve(std::uint64_t n, bool discard) {
    std::uint64_t newSize = (n & ~std::uint64_t{7}) + 8;
    if (newSize > std::numeric_limits<std::uint32_t>::max())
        throw WobblyBecause("a stage asked for more than the largest buffer (4 GiB)");
    if (newSize == size_) {
        if (discard) reset();
        return;
    }
    std::uint32_t s = static_cast<std::uint32_t>(newSize);
    if (discard) {
        std::uint8_t* mem = allocate(s);
        release();
        begin_ = mem;
        end_ = mem + s;
        size_ = s;
        reset();
        return;
    }
    std::uint32_t content = this->content(), silence = this->silence();
    if (std::uint64_t{content} + silence > s - 1) throw Wobbly{};
    std::uint8_t* mem = allocate(s);
    copyContent(mem);
    release();
    begin_ = mem;
    end_ = mem + s;
    size_ = s;
    readPos_ = begin_;
    dataEnd_ = begin_ + content;
    writePos_ = dataEnd_ + silence;
}

void RingBuffer::copyContent(std::uint8_t* to) const {
    std::uint32_t n = content(), first = std::min(n, toEnd());
    std::memcpy(to, readPos_, first);
    if (n > first) std::memcpy(to + first, begin_, n - first);
}

void RingBuffer::linearize() {
    if (readPos_ == begin_) return;
    std::uint32_t content = this->content(), silence = this->silence();
    std::uint32_t lenA = toEnd();
    if (content <= lenA) {
        std::memmove(begin_, readPos_, content);
    } else {
        // Wrapped: A = [readPos, end), B = [begin, dataEnd). Shift B up by
        // |A| and put A in front when that leaves A's bytes untouched;
        // otherwise copy both into fresh memory of the same size.
        std::uint32_t lenB = content - lenA;
        if (std::uint64_t{lenA} + lenB <= static_cast<std::uint64_t>(readPos_ - begin_)) {
            std::memmove(begin_ + lenA, begin_, lenB);
            std::memcpy(begin_, readPos_, lenA);
        } else {
            std::uint8_t* mem = allocate(size_);
            copyContent(mem);
            deallocate(begin_);
            begin_ = mem;
            end_ = mem + size_;
        }
    }
    readPos_ = begin_;
    dataEnd_ = begin_ + content;
    writePos_ = dataEnd_ + silence;
}

std::uint32_t RingBuffer::writableContiguous() const {
    if (writePos_ >= readPos_) {
        std::uint32_t toMemEnd = static_cast<std::uint32_t>(end_ - writePos_);
        return readPos_ == begin_ ? toMemEnd - 1 : toMemEnd;
    }
    return static_cast<std::uint32_t>(readPos_ - writePos_) - 1;
}

void RingBuffer::zero(std::uint8_t* from, std::uint32_t n) {
    std::uint32_t left = static_cast<std::uint32_t>(end_ - from);
    if (n <= left) {
        std::memset(from, 0, n);
    } else {
        std::memset(from, 0, left);
        std::memset(begin_, 0, n - left);
    }
}

void RingBuffer::commit(std::uint32_t n, bool silent) {
    if (n > space()) throw Wobbly{};
    if (silent) {
        writePos_ = advance(writePos_, n);
        return;
    }
    zero(dataEnd_, silence());
    writePos_ = advance(writePos_, n);
    dataEnd_ = writePos_;
}

void RingBuffer::realize(std::uint32_t n) {
    std::uint32_t z = std::min(n, silence());
    zero(dataEnd_, z);
    dataEnd_ = advance(dataEnd_, z);
}

RingBuffer::Readable RingBuffer::readable(std::uint32_t n) {
    if (n == kAll) n = used();
    if (readPos_ == dataEnd_ && silence() >= n) {
        // Only silence ahead: hand out its length, no memory.
        Block s;
        s.end = reinterpret_cast<std::uint8_t*>(std::uintptr_t{n});
        return {s, Block{}};
    }
    std::uint32_t content = this->content();
    if (content < n) {
        realize(n - content);
        content = this->content();
    }
    std::uint32_t avail = std::min(n, content);
    std::uint32_t first = std::min(avail, toEnd());
    Readable r;
    r.first = Block{readPos_, readPos_ + first, first ? Samples : Silence};
    r.second = Block{begin_, begin_ + (avail - first), avail > first ? Samples : Silence};
    return r;
}

void RingBuffer::consume(std::uint32_t n) {
    if (n > used()) throw Wobbly{};
    std::uint32_t content = this->content();
    readPos_ = advance(readPos_, n);
    if (n >= content) dataEnd_ = readPos_;
    if (readPos_ == dataEnd_) {
        std::uint32_t silence = this->silence();
        readPos_ = dataEnd_ = begin_;
        writePos_ = begin_ + silence;
    }
}

}  // namespace Stream
