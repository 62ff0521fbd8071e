#include "stream/Interleave.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <string>

namespace Stream {

namespace {

constexpr std::align_val_t kAlign{64};
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

bool silentBit(const ChannelMask& mask, std::uint32_t i) {
    return mask.test(i);
}

// S-byte samples, copied with constant-size memcpy so the compiler emits
// plain moves.
template <std::size_t S>
void deinterleaveT(const std::uint8_t* __restrict src, const Channels& dst, std::uint32_t offset,
                   std::uint32_t c, std::size_t frames) {
    if (c == 1) {
        std::memcpy(dst[0] + offset, src, frames * S);
        return;
    }
    if (c == 2) {
        std::uint8_t* __restrict d0 = dst[0] + offset;
        std::uint8_t* __restrict d1 = dst[1] + offset;
        for (std::size_t f = 0; f < frames; ++f) {
            std::memcpy(d0 + f * S, src + 2 * f * S, S);
            std::memcpy(d1 + f * S, src + 2 * f * S + S, S);
        }
        return;
    }
    const std::size_t stride = std::size_t{c} * S;
    for (std::uint32_t i = 0; i < c; ++i) {
        std::uint8_t* __restrict d = dst[i] + offset;
        const std::uint8_t* s = src + std::size_t{i} * S;
        for (std::size_t f = 0; f < frames; ++f) std::memcpy(d + f * S, s + f * stride, S);
    }
}

template <std::size_t S>
void interleaveT(std::uint8_t* __restrict dst, const Channels& src, std::uint32_t offset,
                 std::uint32_t c, std::size_t frames, const ChannelMask& silentMask) {
    if (c == 1) {
        if (silentBit(silentMask, 0)) {
            std::memset(dst, 0, frames * S);
        } else {
            std::memcpy(dst, src[0] + offset, frames * S);
        }
        return;
    }
    if (c == 2 && !silentBit(silentMask, 0) && !silentBit(silentMask, 1)) {
        const std::uint8_t* __restrict s0 = src[0] + offset;
        const std::uint8_t* __restrict s1 = src[1] + offset;
        for (std::size_t f = 0; f < frames; ++f) {
            std::memcpy(dst + 2 * f * S, s0 + f * S, S);
            std::memcpy(dst + 2 * f * S + S, s1 + f * S, S);
        }
        return;
    }
    const std::size_t stride = std::size_t{c} * S;
    for (std::uint32_t i = 0; i < c; ++i) {
        std::uint8_t* d = dst + std::size_t{i} * S;
        if (silentBit(silentMask, i)) {
            for (std::size_t f = 0; f < frames; ++f) std::memset(d + f * stride, 0, S);
        } else {
            const std::uint8_t* __restrict s = src[i] + offset;
            for (std::size_t f = 0; f < frames; ++f) std::memcpy(d + f * stride, s + f * S, S);
        }
    }
}

// Per-channel unit of an Over2VOver: whole samples, and c times it a
// multiple of the upstream granularity g. Equals g / c when g is a multiple
// of c x sampleBytes.
std::uint32_t splitGranularity(std::uint32_t g, std::uint32_t c, std::uint32_t s) {
    std::uint64_t up = std::max<std::uint32_t>(g, 1);
    std::uint64_t perChannel = up / std::gcd(up, std::uint64_t{c});
    std::uint64_t unit = std::lcm(perChannel, std::uint64_t{s});
    if (unit * c > kMax32) throw Wobbly{};
    return static_cast<std::uint32_t>(unit);
}

void checkSampleSize(std::uint32_t sampleBytes) {
    if (!isSupportedSampleSize(sampleBytes))
        throw WobblyBecause("samples of " + std::to_string(sampleBytes) +
                            " bytes cannot be split into channels");
}

}  // namespace

ScratchBuffer::~ScratchBuffer() {
    if (memory_) ::operator delete(memory_, kAlign);
}

slice<std::uint8_t> ScratchBuffer::acquire(std::size_t n) {
    if (capacity_ < n) {
        std::size_t cap = std::bit_ceil(n);
        if (memory_) ::operator delete(memory_, kAlign);
        memory_ = nullptr;
        capacity_ = 0;
        memory_ = static_cast<std::uint8_t*>(::operator new(cap, kAlign));
        capacity_ = cap;
    }
    return slice<std::uint8_t>(memory_, n);
}

bool isSupportedSampleSize(std::uint32_t sampleBytes) {
    switch (sampleBytes) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 8:
            return true;
        default:
            return false;
    }
}

void deinterleave(const std::uint8_t* src, const Channels& dst, std::uint32_t offset,
                  std::uint32_t channels, std::uint32_t sampleBytes, std::size_t frames) {
    switch (sampleBytes) {
        case 1:
            return deinterleaveT<1>(src, dst, offset, channels, frames);
        case 2:
            return deinterleaveT<2>(src, dst, offset, channels, frames);
        case 3:
            return deinterleaveT<3>(src, dst, offset, channels, frames);
        case 4:
            return deinterleaveT<4>(src, dst, offset, channels, frames);
        case 8:
            return deinterleaveT<8>(src, dst, offset, channels, frames);
        default:
            throw Wobbly{};
    }
}

void interleave(std::uint8_t* dst, const Channels& src, std::uint32_t offset,
                std::uint32_t channels, std::uint32_t sampleBytes, std::size_t frames,
                const ChannelMask& silentMask) {
    switch (sampleBytes) {
        case 1:
            return interleaveT<1>(dst, src, offset, channels, frames, silentMask);
        case 2:
            return interleaveT<2>(dst, src, offset, channels, frames, silentMask);
        case 3:
            return interleaveT<3>(dst, src, offset, channels, frames, silentMask);
        case 4:
            return interleaveT<4>(dst, src, offset, channels, frames, silentMask);
        case 8:
            return interleaveT<8>(dst, src, offset, channels, frames, silentMask);
        default:
            throw Wobbly{};
    }
}

// ---- Over2VOver

Over2VOver::Over2VOver(Wrapper<iOver> up, std::uint32_t c, std::uint32_t sampleBytes)
    : Consumer(std::move(up)), sampleBytes_(sampleBytes) {
    checkSampleSize(sampleBytes);
    if (c == 0 || !upstream) throw Wobbly{};
    granularity = splitGranularity(upstream->granularity, c, sampleBytes);
    channels = c;
    expansion = 1;
    position = upstream->position / c;
}

void Over2VOver::seek(std::uint64_t p) {
    std::uint64_t q = p * channels;
    upstream->seek(q);
    upstream->position = static_cast<std::int64_t>(q);
}

VBlock Over2VOver::read(VSlice dest, std::uint32_t /*capacity*/) {
    const std::uint32_t c = channels;
    if (dest.end < dest.begin || !dest.channels || dest.channels->count() < c) throw Wobbly{};
    const std::uint32_t per = dest.end - dest.begin;
    if (per % sampleBytes_ != 0) throw Wobbly{};

    VBlock r{dest.channels, dest.begin, dest.end, {}, {}};
    const std::uint64_t n = std::uint64_t{per} * c;
    const std::uint64_t capacity = n * std::max<std::uint32_t>(upstream->expansion, 1);
    if (capacity > kMax32) throw Wobbly{};
    slice<std::uint8_t> buffer = scratch_.acquire(capacity);

    Block b =
        upstream->read(slice<std::uint8_t>(buffer.begin, n), static_cast<std::uint32_t>(capacity));
    advance(*upstream, b);
    inheritLength(*upstream, [c](std::int64_t l) { return l / static_cast<std::int64_t>(c); });

    const std::size_t frames =
        std::min<std::size_t>(b.length(), n) / (std::size_t{c} * sampleBytes_);
    if (frames * sampleBytes_ < per)
        r.end = dest.begin + static_cast<std::uint32_t>(frames * sampleBytes_);
    if (b.empty() || b.kind != Samples) {
        r.silentMask = kAllSilent;
        return r;
    }
    deinterleave(b.begin, *dest.channels, dest.begin, c, sampleBytes_, frames);
    return r;
}

// ---- VOver2Over

VOver2Over::VOver2Over(Wrapper<iVOver> up, std::uint32_t sampleBytes)
    : Consumer(std::move(up)), sampleBytes_(sampleBytes) {
    checkSampleSize(sampleBytes);
    if (!upstream || upstream->channels == 0) throw Wobbly{};
    const std::uint32_t c = upstream->channels;
    std::uint64_t perChannel =
        std::lcm(std::uint64_t{std::max<std::uint32_t>(upstream->granularity, 1)},
                 std::uint64_t{sampleBytes});
    if (perChannel * c > kMax32) throw Wobbly{};
    granularity = static_cast<std::uint32_t>(perChannel * c);
    expansion = 1;
    position = upstream->position * c;
    set_.resize(c);
}

void VOver2Over::seek(std::uint64_t p) {
    std::uint64_t q = p / upstream->channels;
    upstream->seek(q);
    upstream->position = static_cast<std::int64_t>(q);
}

Block VOver2Over::read(slice<std::uint8_t> dest, std::uint32_t /*capacity*/) {
    const std::uint32_t c = upstream->channels;
    const std::size_t frameBytes = std::size_t{c} * sampleBytes_;
    const std::size_t length = dest.length();
    if (length % frameBytes != 0 || length / c > kMax32) throw Wobbly{};
    const std::uint64_t per = length / c;

    // One region of `room` bytes per channel; the stride is rounded up to
    // keep every channel 64-byte aligned.
    const std::uint64_t room = per * std::max<std::uint32_t>(upstream->expansion, 1);
    if (room > kMax32) throw Wobbly{};
    const std::uint64_t stride = (room + 63) & ~std::uint64_t{63};
    slice<std::uint8_t> buffer = scratch_.acquire(stride * c);
    if (set_.count() != c) set_.resize(c);
    for (std::uint32_t i = 0; i < c; ++i) set_[i] = buffer.begin + i * stride;

    VBlock vb = upstream->read(VSlice{&set_, 0, static_cast<std::uint32_t>(per)},
                               static_cast<std::uint32_t>(room));
    advance(*upstream, vb);
    inheritLength(*upstream, [c](std::int64_t l) -> std::int64_t {
        return l > std::numeric_limits<std::int64_t>::max() / c ? -1 : l * c;
    });

    const std::size_t frames = std::min<std::uint64_t>(vb.length(), per) / sampleBytes_;
    Block r{dest.begin, dest.begin + frames * frameBytes, Samples};
    if (frames == 0 || vb.allSilent(c)) {
        r.kind = Silence;
        return r;
    }
    const Channels& src = vb.channels ? *vb.channels : set_;
    interleave(dest.begin, src, vb.begin, c, sampleBytes_, frames, vb.silentMask);
    return r;
}

// ---- factories

Wrapper<iVOver> MakeOver2VOver(Wrapper<iOver> upstream, std::uint32_t channels,
                               std::uint32_t sampleBytes) {
    return Wrapper<iVOver>(new Over2VOver(std::move(upstream), channels, sampleBytes));
}

Wrapper<iOver> MakeVOver2Over(Wrapper<iVOver> upstream, std::uint32_t sampleBytes) {
    return Wrapper<iOver>(new VOver2Over(std::move(upstream), sampleBytes));
}

}  // namespace Stream
