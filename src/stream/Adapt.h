#pragma once

// Pull adaptors: turn a filling stream (iOver / iVOver) into a zero-copy
// stream (iUnder / iVUnder) that reads ahead into a ring buffer.
//
// Read-ahead: each fill issues at most one upstream read of at least the
// smoothed average request (rounded up to the upstream granularity), and
// the ring is kept at least 4 x upstream expansion x the largest request,
// so upstream reads stay large even when the consumer asks for little.
// Silence delivered by the upstream is only counted in the ring; its bytes
// are written when content follows it or a reader needs them.
//
// Units: bytes (iUnder), bytes per channel (iVUnder). `position` is kept by
// the reader, as for every stream.

#include <cstdint>
#include <vector>

#include "stream/RingBuffer.h"
#include "stream/Stream.h"

namespace Stream {

class UnderAdaptor final : public iUnder, public Consumer<Wrapper<iOver>> {
public:
    explicit UnderAdaptor(Wrapper<iOver> upstream);

    void seek(std::uint64_t position) override;
    Block peek(std::uint32_t minimum) override;
    void consume(std::uint32_t count) override;

    const RingBuffer& ring() const { return ring_; }
    std::uint32_t unit() const { return unit_; }
    float averageRequest() const { return averageRequest_; }
    std::uint32_t largestRequest() const { return largestRequest_; }

private:
    void fill(std::uint32_t n);

    std::uint32_t unit_;  // upstream granularity
    float averageRequest_ = 0.0f;
    std::uint32_t largestRequest_ = 0;
    RingBuffer ring_;
};

// The same per channel: one ring per channel, all moved in step.
class VUnderAdaptor final : public iVUnder, public Consumer<Wrapper<iVOver>> {
public:
    // `leadBytes` (a multiple of 8) of silence come before the upstream's content: the stream
    // read here is the upstream shifted later by that much, its length too, while the
    // upstream is still read in its own units from its start (no reblocking stage between).
    explicit VUnderAdaptor(Wrapper<iVOver> upstream, std::uint32_t leadBytes = 0);

    void seek(std::uint64_t position) override;
    // Writes each channel's readable start into `set` (count must equal
    // `channels`, else Wobbly) and returns {set, 0, length}: the length
    // every channel can give contiguously. A channel whose ring holds only
    // silence gets its silentMask bit (zeroedMask stays 0).
    VBlock peek(std::uint32_t minimum, Channels& set) override;
    void consume(std::uint32_t count) override;

    const RingBuffer& ring(std::uint32_t channel) const { return rings_[channel]; }
    std::uint32_t unit() const { return unit_; }
    float averageRequest() const { return averageRequest_; }
    std::uint32_t largestRequest() const { return largestRequest_; }

private:
    void fill(std::uint32_t n);

    // From `p` on (stream position): the rings emptied, the upstream at the unit holding p.
    void restart(std::uint64_t p);

    std::uint32_t unit_;
    std::uint32_t lead_;  // bytes of silence before the upstream's first
    float averageRequest_ = 0.0f;
    std::uint32_t largestRequest_ = 0;
    std::vector<RingBuffer> rings_;
    Channels writeSet_;  // upstream read targets, one per ring
};

}  // namespace Stream

// __adapt<I>::from(upstream) -> I*: the pull adaptor for interface I. The
// returned stream's count is 0; the caller wraps it in a handle.
template <class I>
struct __adapt;

template <>
struct __adapt<Stream::iUnder> {
    using Adaptor = Stream::UnderAdaptor;
    static Stream::iUnder* from(Stream::Wrapper<Stream::iOver> upstream) {
        return new Adaptor(std::move(upstream));
    }
};

template <>
struct __adapt<Stream::iVUnder> {
    using Adaptor = Stream::VUnderAdaptor;
    static Stream::iVUnder* from(Stream::Wrapper<Stream::iVOver> upstream) {
        return new Adaptor(std::move(upstream));
    }
};
