#pragma once

// De-interleaving (Over2VOver: one byte stream -> one buffer per channel)
// and interleaving (VOver2Over: the way back).
//
// Units: the byte side counts bytes, the channel side bytes per channel.
// A sample is moved as a whole unit of 1, 2, 3, 4 or 8 bytes, without any
// byte-order change; other sizes throw Wobbly. Silence stays a block kind:
// a Silence input is passed on without touching memory.
//
// Neither stage writes a tag: its creator does. The audio overloads at the
// end of this file do it for audio streams.

#include <cstddef>
#include <cstdint>

#include "base/slice.h"
#include "stream/Stream.h"

namespace Stream {

// Growable scratch memory. acquire(n) gives n bytes; when the capacity is
// below n the old memory is dropped (contents are not kept) and the next
// power of two at or above n is allocated. It never shrinks.
class ScratchBuffer {
public:
    ScratchBuffer() = default;
    ~ScratchBuffer();
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    slice<std::uint8_t> acquire(std::size_t n);
    std::size_t capacity() const { return capacity_; }

private:
    std::uint8_t* memory_ = nullptr;
    std::size_t capacity_ = 0;
};

// True for the element sizes the kernels move: 1, 2, 3, 4 and 8 bytes.
bool isSupportedSampleSize(std::uint32_t sampleBytes);

// Kernels. `frames` frames of `channels` samples of `sampleBytes` bytes.
// deinterleave: channel i receives samples i, i + c, ... of src at
// dst[i] + offset. interleave: the reverse, from src[i] + offset; channels
// whose bit is set in `silentMask` are written as zero bytes.
// Throw Wobbly for an unsupported sample size.
void deinterleave(const std::uint8_t* src, const Channels& dst, std::uint32_t offset,
                  std::uint32_t channels, std::uint32_t sampleBytes, std::size_t frames);
void interleave(std::uint8_t* dst, const Channels& src, std::uint32_t offset,
                std::uint32_t channels, std::uint32_t sampleBytes, std::size_t frames,
                const ChannelMask& silentMask);

// iVOver over an interleaved iOver with `channels` channels.
// granularity: the smallest per-channel unit that is whole samples and
// whose c-fold is a multiple of the upstream's granularity (upstream
// granularity / c in the usual case); position = upstream position / c;
// length = upstream length / c.
class Over2VOver final : public iVOver, public Consumer<Wrapper<iOver>> {
public:
    Over2VOver(Wrapper<iOver> upstream, std::uint32_t channels, std::uint32_t sampleBytes);

    void seek(std::uint64_t position) override;
    // The capacity is not used: the upstream is read into `scratch`.
    VBlock read(VSlice dest, std::uint32_t capacity) override;

    std::uint32_t sampleBytes() const { return sampleBytes_; }

private:
    ScratchBuffer scratch_;
    std::uint32_t sampleBytes_;
};

// iOver over an iVOver: granularity = c x (upstream granularity rounded up
// to whole samples); position = c x upstream position; length = c x
// upstream length. Silent channels are written as zeros; when every
// channel is silent nothing is written and the block is Silence.
class VOver2Over final : public iOver, public Consumer<Wrapper<iVOver>> {
public:
    VOver2Over(Wrapper<iVOver> upstream, std::uint32_t sampleBytes);

    void seek(std::uint64_t position) override;
    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override;

    std::uint32_t sampleBytes() const { return sampleBytes_; }

private:
    ScratchBuffer scratch_;
    Channels set_;
    std::uint32_t sampleBytes_;
};

// Factories; the new stage's tag is left unwritten. Throw Wobbly for an
// unsupported sample size or no channels.
Wrapper<iVOver> MakeOver2VOver(Wrapper<iOver> upstream, std::uint32_t channels,
                               std::uint32_t sampleBytes);
Wrapper<iOver> MakeVOver2Over(Wrapper<iVOver> upstream, std::uint32_t sampleBytes);

}  // namespace Stream
