#include "stream/Adapt.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace Stream {

namespace {

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
// Largest byte count a ring can be reserved for.
constexpr std::uint64_t kMaxRing = kMax32 - 15;

// Bytes to ask the upstream for: the shortfall, or the smoothed average
// request if larger, rounded up to whole upstream units.
std::uint64_t wantBytes(std::uint32_t n, std::uint32_t available, float average,
                        std::uint32_t unit) {
    std::uint64_t w =
        std::max<std::uint64_t>(n - available, static_cast<std::uint64_t>(std::ceil(average)));
    return (w + unit - 1) / unit * unit;
}

// Ring size the read-ahead policy keeps: 4 x expansion x largest request.
std::uint64_t keepBytes(std::uint64_t expansion, std::uint32_t largest) {
    return std::min(4 * expansion * largest, kMaxRing);
}

void growFor(RingBuffer& ring, std::uint64_t expansion, std::uint32_t largest) {
    std::uint64_t keep = keepBytes(expansion, largest);
    if (ring.size() - 1 < keep) ring.reserve(keep, false);
}

// Makes room for an upstream read that lends `need` bytes at writePos, with
// the `available` committed bytes and the new ones contiguous from readPos.
void prepare(RingBuffer& ring, std::uint64_t expansion, std::uint32_t largest,
             std::uint32_t available, std::uint64_t need) {
    growFor(ring, expansion, largest);
    if (ring.size() - 1 < available + need) ring.reserve(available + need, false);
    // Back to the ring's start also whenever that moves less than half of what the read may
    // write: the writes then land in memory the caches hold, where cycling through the whole
    // ring (many times a read) took them out to memory the caches had dropped.
    if (ring.toEnd() < available + need || ring.writableContiguous() < need ||
        2 * std::uint64_t{available} <= need)
        ring.linearize();
}

}  // namespace

// ---- byte adaptor

UnderAdaptor::UnderAdaptor(Wrapper<iOver> up) : Consumer(std::move(up)) {
    if (!upstream) throw Wobbly{};
    copyTagFrom(*upstream);
    unit_ = std::max<std::uint32_t>(upstream->granularity, 1);
    position = upstream->position;
}

void UnderAdaptor::fill(std::uint32_t n) {
    const std::uint32_t available = ring_.used();
    if (std::min(available, ring_.toEnd()) >= n) return;
    const std::uint64_t expansion = std::max<std::uint32_t>(upstream->expansion, 1);
    if (available >= n) {
        // Enough bytes, but wrapped: make them contiguous.
        growFor(ring_, expansion, largestRequest_);
        if (ring_.toEnd() < n) ring_.linearize();
        return;
    }
    const std::uint64_t want = wantBytes(n, available, averageRequest_, unit_);
    const std::uint64_t need = expansion * want;
    if (available + need > kMaxRing)
        throw WobblyBecause("a stage asked for more than the largest buffer (4 GiB)");
    prepare(ring_, expansion, largestRequest_, available, need);

    std::uint8_t* at = ring_.writePos();
    Block b = upstream->read(slice<std::uint8_t>(at, want), static_cast<std::uint32_t>(need));
    advance(*upstream, b);
    inheritLength(*upstream);

    const std::uint32_t got = static_cast<std::uint32_t>(std::min<std::uint64_t>(b.length(), want));
    const bool silent = b.empty() || b.kind != Samples;
    if (!silent && b.begin != at) std::memmove(at, b.begin, got);
    ring_.commit(got, silent);
}

Block UnderAdaptor::peek(std::uint32_t minimum) {
    largestRequest_ = std::max(largestRequest_, minimum);
    averageRequest_ = 0.05f * static_cast<float>(minimum) + 0.95f * averageRequest_;
    fill(minimum);
    return ring_.readable().first;
}

void UnderAdaptor::consume(std::uint32_t count) {
    ring_.consume(count);
}

void UnderAdaptor::seek(std::uint64_t p) {
    const std::uint64_t rem = p % unit_;
    upstream->seek(p - rem);
    upstream->position = static_cast<std::int64_t>(p - rem);
    ring_.reset();
    if (rem != 0) {
        const std::uint32_t r = static_cast<std::uint32_t>(rem);
        if (ring_.used() < r) fill(r);
        ring_.consume(r);
    }
}

// ---- channel adaptor

VUnderAdaptor::VUnderAdaptor(Wrapper<iVOver> up, std::uint32_t leadBytes)
    : Consumer(std::move(up)), lead_(leadBytes) {
    if (!upstream || upstream->channels == 0 || leadBytes % 8 != 0) throw Wobbly{};
    copyTagFrom(*upstream);
    unit_ = std::max<std::uint32_t>(upstream->granularity, 1);
    channels = upstream->channels;
    rings_.resize(channels);
    writeSet_.resize(channels);
    if (lead_ == 0) {
        position = upstream->position;
    } else {
        position = 0;
        restart(0);
    }
}

void VUnderAdaptor::restart(std::uint64_t p) {
    for (RingBuffer& r : rings_) r.reset();
    if (p < lead_) {
        upstream->seek(0);
        upstream->position = 0;
        const auto silence = static_cast<std::uint32_t>(lead_ - p);
        for (RingBuffer& r : rings_) {
            if (r.size() - 1 < silence) r.reserve(silence, true);
            r.commit(silence, true);
        }
        return;
    }
    const std::uint64_t q = p - lead_;
    const std::uint64_t rem = q % unit_;
    upstream->seek(q - rem);
    upstream->position = static_cast<std::int64_t>(q - rem);
    if (rem != 0) {
        const std::uint32_t r = static_cast<std::uint32_t>(rem);
        if (rings_[0].used() < r) fill(r);
        consume(r);
    }
}

void VUnderAdaptor::fill(std::uint32_t n) {
    // Every ring holds the same number of committed bytes; their layouts
    // differ once one rotates on running out of content, so contiguity is
    // checked on each.
    const std::uint32_t available = rings_[0].used();
    std::uint32_t contiguous = available;
    for (const RingBuffer& r : rings_) contiguous = std::min(contiguous, r.toEnd());
    if (contiguous >= n) return;
    const std::uint64_t expansion = std::max<std::uint32_t>(upstream->expansion, 1);
    if (available >= n) {
        for (RingBuffer& r : rings_) {
            growFor(r, expansion, largestRequest_);
            if (r.toEnd() < n) r.linearize();
        }
        return;
    }
    const std::uint64_t want = wantBytes(n, available, averageRequest_, unit_);
    const std::uint64_t need = expansion * want;
    if (available + need > kMaxRing)
        throw WobblyBecause("a stage asked for more than the largest buffer (4 GiB)");
    for (std::uint32_t i = 0; i < channels; ++i) {
        prepare(rings_[i], expansion, largestRequest_, available, need);
        writeSet_[i] = rings_[i].writePos();
    }

    const std::int64_t from = upstream->position;
    VBlock vb = upstream->read(VSlice{&writeSet_, 0, static_cast<std::uint32_t>(want)},
                               static_cast<std::uint32_t>(need));
    advance(*upstream, vb);
    const std::int64_t lead = lead_;
    inheritLength(*upstream, [lead](std::int64_t l) { return l + lead; });

    const std::uint32_t got =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(vb.length(), want));
    // What lies past the upstream's length is not its content: silence.
    const auto kept = static_cast<std::uint32_t>(keptLength(got, from, upstream->length));
    const Channels& src = vb.channels ? *vb.channels : writeSet_;
    for (std::uint32_t i = 0; i < channels; ++i) {
        const bool silent = kept == 0 || vb.silentMask.test(i);
        if (!silent) {
            const std::uint8_t* begin = src[i] + vb.begin;
            if (begin != writeSet_[i]) std::memmove(writeSet_[i], begin, kept);
        }
        rings_[i].commit(silent ? got : kept, silent);
        if (!silent && kept < got) rings_[i].commit(got - kept, true);
    }
}

VBlock VUnderAdaptor::peek(std::uint32_t minimum, Channels& set) {
    if (set.count() != channels) throw Wobbly{};
    largestRequest_ = std::max(largestRequest_, minimum);
    averageRequest_ = 0.1f * static_cast<float>(minimum) + 0.9f * averageRequest_;
    fill(minimum);

    std::uint32_t length = RingBuffer::kAll;
    ChannelMask silentMask;
    bool allSilent = true;
    for (std::uint32_t i = 0; i < channels; ++i) {
        RingBuffer& r = rings_[i];
        Block b = r.readable().first;
        set[i] = r.readPos();
        length = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(b.length()));
        if (b.kind == Silence) {
            silentMask.set(i);
        } else {
            allSilent = false;
        }
    }
    if (allSilent) silentMask = kAllSilent;
    return VBlock{&set, 0, length, silentMask, {}};
}

void VUnderAdaptor::consume(std::uint32_t count) {
    if (count > rings_[0].used()) throw Wobbly{};
    for (RingBuffer& r : rings_) r.consume(count);
}

void VUnderAdaptor::seek(std::uint64_t p) {
    restart(p);
}

}  // namespace Stream
