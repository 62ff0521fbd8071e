#pragma once

// The pull-model stream framework.
//
// A chain is built back to front: a source, then stages that each hold a
// counted handle to the stream before them (their upstream). The consumer at
// the end drives it by asking the last stream for data. There are two
// families:
//  - iOver / iVOver: the caller lends a buffer and the stream fills it
//    (interleaved bytes, or one buffer per channel).
//  - iUnder / iVUnder: the stream keeps its own buffer and lets the caller
//    peek at it and consume from it (zero-copy).
//
// Units: byte streams count bytes; channel streams count bytes per channel.
// `length` -1 means unknown. The reader of a stream keeps its `position`.

#include <cstdint>
#include <cstring>
#include <functional>
#include <typeinfo>
#include <vector>

#include "base/RefCount.h"
#include "base/Wobbly.h"
#include "base/slice.h"
#include "base/sptr.h"

class iStream;

namespace Stream {

// Block kinds.
enum Kind : std::int32_t {
    Samples = 0,  // [begin, end) holds the content
    Silence = 1,  // content is silence; the bytes are undefined (not written)
    Zeros = 2,    // content is silence and the buffer holds zero bytes
};

// Result of iOver::read and iUnder::peek. An empty block is always Silence.
struct Block {
    std::uint8_t* begin = nullptr;
    std::uint8_t* end = nullptr;
    std::int32_t kind = Silence;

    std::size_t length() const { return static_cast<std::size_t>(end - begin); }
    bool empty() const { return begin == end; }
};

// One base pointer per channel buffer. Built once by whoever owns the
// buffers and reused for every request.
class Channels {
public:
    Channels() = default;
    explicit Channels(std::uint32_t n) : base_(n, nullptr) {}

    std::uint32_t count() const { return static_cast<std::uint32_t>(base_.size()); }
    void resize(std::uint32_t n) { base_.assign(n, nullptr); }
    std::uint8_t*& operator[](std::uint32_t i) { return base_[i]; }
    std::uint8_t* operator[](std::uint32_t i) const { return base_[i]; }

private:
    std::vector<std::uint8_t*> base_;
};

// Argument of iVOver::read: the byte range [begin, end) of every channel.
struct VSlice {
    Channels* channels = nullptr;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;

    std::uint32_t length() const { return end - begin; }
};

// One bit per channel, for every channel a stream may have (at most 255).
class ChannelMask {
public:
    static constexpr std::uint32_t kChannels = 256;

    constexpr ChannelMask() = default;
    static constexpr ChannelMask all() {
        ChannelMask m;
        for (std::uint64_t& w : m.words_) w = ~std::uint64_t{0};
        return m;
    }

    // Channels 0 to 63 from the bits of `bits`.
    static constexpr ChannelMask low(std::uint64_t bits) {
        ChannelMask m;
        m.words_[0] = bits;
        return m;
    }

    bool test(std::uint32_t i) const { return (words_[i >> 6] >> (i & 63)) & 1; }
    void set(std::uint32_t i) { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }
    bool none() const { return (words_[0] | words_[1] | words_[2] | words_[3]) == 0; }
    // Bits 0 to count - 1 are all set.
    bool covers(std::uint32_t count) const {
        for (std::uint32_t w = 0; w < 4 && count > 0; ++w, count = count > 64 ? count - 64 : 0) {
            const std::uint64_t want = count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
            if ((words_[w] & want) != want) return false;
        }
        return true;
    }

    ChannelMask& operator&=(const ChannelMask& o) {
        for (int w = 0; w < 4; ++w) words_[w] &= o.words_[w];
        return *this;
    }
    ChannelMask& operator|=(const ChannelMask& o) {
        for (int w = 0; w < 4; ++w) words_[w] |= o.words_[w];
        return *this;
    }
    friend ChannelMask operator&(ChannelMask a, const ChannelMask& b) { return a &= b; }
    friend ChannelMask operator|(ChannelMask a, const ChannelMask& b) { return a |= b; }
    friend bool operator==(const ChannelMask&, const ChannelMask&) = default;

private:
    std::uint64_t words_[4] = {};
};
constexpr ChannelMask kAllSilent = ChannelMask::all();

// Result of iVOver::read and iVUnder::peek. `silentMask` bit set: that
// channel's range is silence; `zeroedMask` (only with silentMask): the
// silence is present as zero bytes.
struct VBlock {
    Channels* channels = nullptr;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    ChannelMask silentMask;
    ChannelMask zeroedMask;

    std::uint32_t length() const { return end - begin; }
    bool allSilent(std::uint32_t channelCount) const;
};

// Concatenates two adjacent blocks (a.end == b.begin), writing zero bytes
// where a Silence part meets real content so that the result's kind is true.
Block join(Block a, Block b);
// The same per channel; may write zeros into either part.
VBlock join(VBlock a, VBlock b);

}  // namespace Stream

// The one common base of every stream (a virtual base everywhere): one
// reference count, one tag slot and one length per stream object.
class iStream : public InternalReferenceCount_virtual {
public:
    using VisitFn = std::function<bool(int depth, iStream* stream)>;

    // Walks the chain upstream, nearest first, until fn returns true.
    virtual bool visit(const VisitFn& fn, int depth) = 0;

    // Typed tag slot (audio streams store an Audio::Stream::Tag here).
    template <class T>
    void setTag(const T& value) {
        static_assert(sizeof(T) <= sizeof(tag) && std::is_trivially_copyable_v<T>);
        std::memcpy(tag, &value, sizeof(T));
        tagType = &typeid(T);
    }
    template <class T>
    bool hasTag() const {
        return tagType != kNoTag && *static_cast<const std::type_info*>(tagType) == typeid(T);
    }
    template <class T>
    T getTag() const {
        if (!hasTag<T>()) throw Wobbly{};
        T value;
        std::memcpy(&value, tag, sizeof(T));
        return value;
    }
    void copyTagFrom(const iStream& other) {
        std::memcpy(tag, other.tag, sizeof(tag));
        tagType = other.tagType;
    }

    // If this length is unknown and the upstream's is known, store
    // map(upstream length) when it is not negative. A known length is kept.
    template <class Map>
    void inheritLength(const iStream& upstream, Map&& map) {
        if (length < 0 && upstream.length >= 0) {
            std::int64_t l = map(upstream.length);
            if (l >= 0) length = l;
        }
    }
    void inheritLength(const iStream& upstream) {
        inheritLength(upstream, [](std::int64_t l) { return l; });
    }

    static inline const void* const kNoTag = reinterpret_cast<const void*>(~std::uintptr_t{0});

    alignas(8) unsigned char tag[16] = {};
    const void* tagType = kNoTag;
    std::int64_t length = -1;
};

namespace Stream {

// Common part of streams read in fixed units: every read asks for, and every
// seek targets, a multiple of `granularity` (per channel for iVOver).
class iBlock : public virtual iStream {
public:
    std::uint32_t granularity = 1;
};

// Interleaved byte stream that fills the caller's buffer.
class iOver : public iBlock {
public:
    // Next read delivers bytes from `position` (a multiple of granularity).
    virtual void seek(std::uint64_t position) = 0;
    // Fills dest (length a multiple of granularity). `capacity` bytes from
    // dest.begin are lent, at least expansion x dest length. The returned
    // block covers exactly dest.
    virtual Block read(slice<std::uint8_t> dest, std::uint32_t capacity) = 0;

    std::uint32_t expansion = 1;  // scratch factor the caller must lend
    std::int64_t position = 0;    // kept by the reader
};

// Channel stream that fills one caller buffer per channel.
class iVOver : public iBlock {
public:
    virtual void seek(std::uint64_t position) = 0;
    virtual VBlock read(VSlice dest, std::uint32_t capacity) = 0;

    std::uint32_t channels = 0;
    std::uint32_t expansion = 1;
    std::int64_t position = 0;
};

// Byte stream with its own buffer: peek, then consume at most what peek gave.
class iUnder : public virtual iStream {
public:
    virtual void seek(std::uint64_t position) = 0;
    // At least `minimum` readable bytes unless the stream has fewer; a
    // Silence block may have a null begin (only its length counts).
    virtual Block peek(std::uint32_t minimum) = 0;
    virtual void consume(std::uint32_t count) = 0;

    std::int64_t position = 0;
};

// Channel stream with its own buffers.
class iVUnder : public virtual iStream {
public:
    virtual void seek(std::uint64_t position) = 0;
    // Writes one pointer per channel into `set` (count == channels) and
    // returns {set, 0, readable length}.
    virtual VBlock peek(std::uint32_t minimum, Channels& set) = 0;
    virtual void consume(std::uint32_t count) = 0;

    std::uint32_t channels = 0;
    std::int64_t position = 0;
};

// Counted handle to a stream interface.
template <class I>
class Wrapper : public Counted<I> {
public:
    using Counted<I>::Counted;
    Wrapper() = default;
    Wrapper(const Counted<I>& c) : Counted<I>(c) {}  // NOLINT
};

// Base of every stage: holds the upstream handle and visits through it.
template <class W>
class Consumer : public virtual iStream {
public:
    explicit Consumer(W up) : upstream(std::move(up)) {}

    bool visit(const VisitFn& fn, int depth) override {
        iStream* up = upstream.get();
        if (!up) return false;
        if (fn(depth, up)) return true;
        return up->visit(fn, depth + 1);
    }

    W upstream;
};

// Base of every stream without an upstream.
class Source : public virtual iStream {
public:
    bool visit(const VisitFn&, int) override { return false; }
};

// Writes the silence of one sample format into a byte range of whole
// samples. Null means silence is zero bytes.
using Filler = void (*)(std::uint8_t* begin, std::uint8_t* end);

// How many of the n bytes delivered from `upstreamPosition` a consumer may
// use: all while the upstream's length is unknown, else those before it.
inline std::int64_t keptLength(std::int64_t n, std::int64_t upstreamPosition,
                               std::int64_t upstreamLength) {
    if (upstreamLength < 0) return n;
    const std::int64_t left = upstreamLength - upstreamPosition;
    return left <= 0 ? 0 : (left < n ? left : n);
}

// Helpers for the read protocol: advance the upstream's position by what it
// delivered.
inline void advance(iOver& up, const Block& b) { up.position += static_cast<std::int64_t>(b.length()); }
inline void advance(iVOver& up, const VBlock& b) { up.position += b.length(); }

}  // namespace Stream
