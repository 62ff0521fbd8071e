#include "stream/Reblock.h"

#include <algorithm>
#include <memory>

namespace Stream {

namespace {

// Byte version. Holds the unread remainder of the last upstream block.
class Reblocker final : public iOver, public Consumer<Wrapper<iOver>> {
public:
    Reblocker(Wrapper<iOver> up, std::uint32_t unit)
        : Consumer(std::move(up)),
          G_(upstream->granularity),
          buffer_(new std::uint8_t[std::size_t(G_) * std::max(upstream->expansion, 1u)]) {
        granularity = unit;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
    }

    void seek(std::uint64_t p) override {
        std::uint64_t rem = p % G_;
        upstream->seek(p - rem);
        upstream->position = static_cast<std::int64_t>(p - rem);
        held_ = Block{};
        if (rem) {
            refill();
            held_.begin += rem;
        }
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        std::uint8_t* first = dest.begin;
        std::uint8_t* last = dest.end;
        Block r = take(first, last);
        if (r.end != last) {
            std::uint8_t* p = r.end;
            std::size_t b = std::size_t(last - p) % G_;
            if (std::size_t(last - p) < G_) {
                refill();
                r = join(r, take(p, last));
            } else {
                std::uint32_t lent = capacity - static_cast<std::uint32_t>(r.length());
                Block direct = upstream->read({p, last - b}, lent);
                advance(*upstream, direct);
                r = join(r, direct);
                if (b != 0) {
                    refill();
                    r = join(r, take(last - b, last));
                }
            }
        }
        inheritLength(*upstream);
        return r;
    }

private:
    Block take(std::uint8_t* d, std::uint8_t* e) {
        std::size_t n = std::min<std::size_t>(std::size_t(e - d), held_.length());
        Block r{d, d + n, Silence};
        if (held_.kind == Samples && n != 0) {
            if (held_.begin != d) std::memmove(d, held_.begin, n);
            r.kind = Samples;
        }
        held_.begin += n;
        return r;
    }

    void refill() {
        std::uint32_t cap = G_ * std::max(upstream->expansion, 1u);
        held_ = upstream->read({buffer_.get(), G_}, cap);
        advance(*upstream, held_);
    }

    std::uint32_t G_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    Block held_;
};

// Channel version: the same per channel buffer.
class VReblocker final : public iVOver, public Consumer<Wrapper<iVOver>> {
public:
    VReblocker(Wrapper<iVOver> up, std::uint32_t unit)
        : Consumer(std::move(up)), G_(upstream->granularity) {
        granularity = unit;
        channels = upstream->channels;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
        stride_ = std::size_t(G_) * std::max(expansion, 1u);
        memory_.reset(new std::uint8_t[stride_ * std::max(channels, 1u)]);
        buffers_.resize(channels);
        for (std::uint32_t i = 0; i < channels; ++i) buffers_[i] = memory_.get() + i * stride_;
    }

    void seek(std::uint64_t p) override {
        std::uint64_t rem = p % G_;
        upstream->seek(p - rem);
        upstream->position = static_cast<std::int64_t>(p - rem);
        heldBegin_ = heldEnd_ = 0;
        if (rem) {
            refill();
            heldBegin_ += static_cast<std::uint32_t>(rem);
        }
    }

    VBlock read(VSlice dest, std::uint32_t capacity) override {
        VBlock r = take(dest.channels, dest.begin, dest.end);
        if (r.end != dest.end) {
            std::uint32_t p = r.end;
            std::uint32_t b = (dest.end - p) % G_;
            if (dest.end - p < G_) {
                refill();
                r = join(r, take(dest.channels, p, dest.end));
            } else {
                std::uint32_t lent = capacity - r.length();
                VBlock direct = upstream->read({dest.channels, p, dest.end - b}, lent);
                advance(*upstream, direct);
                r = join(r, direct);
                if (b != 0) {
                    refill();
                    r = join(r, take(dest.channels, dest.end - b, dest.end));
                }
            }
        }
        inheritLength(*upstream);
        return r;
    }

private:
    VBlock take(Channels* set, std::uint32_t d, std::uint32_t e) {
        std::uint32_t n = std::min(e - d, heldEnd_ - heldBegin_);
        VBlock r{set, d, d + n, kAllSilent, {}};
        if (n != 0) {
            r.silentMask = heldMask_;
            for (std::uint32_t i = 0; i < channels; ++i)
                if (!heldMask_.test(i))
                    std::memmove((*set)[i] + d, buffers_[i] + heldBegin_, n);
        }
        heldBegin_ += n;
        return r;
    }

    void refill() {
        std::uint32_t cap = G_ * std::max(upstream->expansion, 1u);
        VBlock b = upstream->read({&buffers_, 0, G_}, cap);
        advance(*upstream, b);
        heldBegin_ = b.begin;
        heldEnd_ = b.end;
        heldMask_ = b.silentMask;
    }

    std::uint32_t G_;
    std::size_t stride_ = 0;
    std::unique_ptr<std::uint8_t[]> memory_;
    Channels buffers_;
    std::uint32_t heldBegin_ = 0, heldEnd_ = 0;
    ChannelMask heldMask_ = kAllSilent;
};

template <class S, class W>
W reblockImpl(W stream, std::uint32_t unit) {
    if (unit == 0 || stream->granularity == 0) throw Wobbly{};
    if (unit % stream->granularity == 0) {
        stream->granularity = unit;
        return stream;
    }
    return W(new S(std::move(stream), unit));
}

}  // namespace

Wrapper<iOver> reblock(Wrapper<iOver> stream, std::uint32_t unit) {
    return reblockImpl<Reblocker>(std::move(stream), unit);
}

Wrapper<iVOver> reblock(Wrapper<iVOver> stream, std::uint32_t unit) {
    return reblockImpl<VReblocker>(std::move(stream), unit);
}

}  // namespace Stream
