#include "stream/Crop.h"

#include <algorithm>
#include <numeric>

#include "stream/Reblock.h"

namespace Stream {

namespace {

std::uint32_t cropUnit(std::uint32_t granularity, std::int64_t start, std::int64_t length) {
    std::int64_t g = granularity;
    if (start > 0) g = std::gcd(g, start);
    if (length > 0) g = std::gcd(g, length);
    return static_cast<std::uint32_t>(g);
}

class iBSO_crop_start final : public iOver, public Consumer<Wrapper<iOver>> {
public:
    iBSO_crop_start(Wrapper<iOver> up, std::int64_t skip) : Consumer(std::move(up)), skip_(skip) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        position = std::max<std::int64_t>(0, upstream->position - skip_);
        copyTagFrom(*upstream);
        if (upstream->position < skip_) {
            upstream->seek(static_cast<std::uint64_t>(skip_));
            upstream->position = skip_;
        }
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p + skip_);
        upstream->position = static_cast<std::int64_t>(p) + skip_;
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        Block blk = upstream->read(dest, capacity);
        advance(*upstream, blk);
        inheritLength(*upstream,
                      [this](std::int64_t l) { return std::max<std::int64_t>(l - skip_, 0); });
        return blk;
    }

private:
    std::int64_t skip_;
};

class iBSO_crop_end final : public iOver, public Consumer<Wrapper<iOver>> {
public:
    iBSO_crop_end(Wrapper<iOver> up, std::int64_t limit, Filler fill,
                  std::function<std::int64_t()> limitOf = {})
        : Consumer(std::move(up)), fill_(fill), limitOf_(std::move(limitOf)) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
        length = limit;
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::int64_t P = upstream->position;
        Block blk = upstream->read(dest, capacity);
        const std::int64_t n = static_cast<std::int64_t>(blk.length());
        if (length < 0 && limitOf_ && (length = limitOf_()) >= 0 && length < P) throw Wobbly{};
        const std::int64_t keep = keptLength(n, P, end());
        upstream->position += n;
        if (keep == n) return blk;
        const std::int64_t cut = n - keep;
        Block head{blk.begin, blk.end - cut, blk.kind};
        if (head.empty()) head.kind = Silence;
        Block tail{dest.end - cut, dest.end, Silence};
        if (fill_) {
            fill_(tail.begin, tail.end);
            tail.kind = Samples;
        }
        return join(head, tail);
    }

private:
    // Content ends at this stream's own length or the source's, whichever
    // comes first: whatever the source holds beyond the window (the chunks
    // after a file's audio) is never passed on.
    std::int64_t end() const {
        if (length < 0) return -1;  // a limit not known yet: all of it
        return upstream->length < 0 ? length : std::min(length, upstream->length);
    }

    Filler fill_;
    std::function<std::int64_t()> limitOf_;  // the limit while `length` is unknown
};

// Passes reads on; tells its length to whoever watches.
class iBSO_announce_length final : public iOver, public Consumer<Wrapper<iOver>> {
public:
    iBSO_announce_length(Wrapper<iOver> up, std::shared_ptr<std::atomic<std::int64_t>> to)
        : Consumer(std::move(up)), to_(std::move(to)) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
        tell();
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        Block blk = upstream->read(dest, capacity);
        advance(*upstream, blk);
        tell();
        return blk;
    }

private:
    void tell() {
        if (length >= 0) return;
        inheritLength(*upstream);
        if (length >= 0) to_->store(length, std::memory_order_release);
    }

    std::shared_ptr<std::atomic<std::int64_t>> to_;
};

class iVSO_crop_start final : public iVOver, public Consumer<Wrapper<iVOver>> {
public:
    iVSO_crop_start(Wrapper<iVOver> up, std::int64_t skip) : Consumer(std::move(up)), skip_(skip) {
        granularity = upstream->granularity;
        channels = upstream->channels;
        expansion = upstream->expansion;
        position = std::max<std::int64_t>(0, upstream->position - skip_);
        copyTagFrom(*upstream);
        if (upstream->position < skip_) {
            upstream->seek(static_cast<std::uint64_t>(skip_));
            upstream->position = skip_;
        }
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p + skip_);
        upstream->position = static_cast<std::int64_t>(p) + skip_;
    }

    VBlock read(VSlice dest, std::uint32_t capacity) override {
        VBlock blk = upstream->read(dest, capacity);
        advance(*upstream, blk);
        inheritLength(*upstream,
                      [this](std::int64_t l) { return std::max<std::int64_t>(l - skip_, 0); });
        return blk;
    }

private:
    std::int64_t skip_;
};

class iVSO_crop_end final : public iVOver, public Consumer<Wrapper<iVOver>> {
public:
    iVSO_crop_end(Wrapper<iVOver> up, std::int64_t limit, Filler fill)
        : Consumer(std::move(up)), fill_(fill) {
        granularity = upstream->granularity;
        channels = upstream->channels;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
        length = limit;
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
    }

    VBlock read(VSlice dest, std::uint32_t capacity) override {
        const std::int64_t P = upstream->position;
        VBlock blk = upstream->read(dest, capacity);
        const std::int64_t n = blk.length();
        const std::int64_t keep = keptLength(n, P, end());
        upstream->position += n;
        if (keep == n) return blk;
        const auto cut = static_cast<std::uint32_t>(n - keep);
        VBlock head = blk;
        head.end = blk.end - cut;
        VBlock tail{dest.channels, dest.end - cut, dest.end, kAllSilent, {}};
        if (fill_) {
            for (std::uint32_t i = 0; i < channels; ++i)
                fill_((*dest.channels)[i] + tail.begin, (*dest.channels)[i] + tail.end);
            tail.silentMask = {};
        }
        return join(head, tail);
    }

private:
    // Content ends at this stream's own length or the source's, whichever
    // comes first: whatever the source holds beyond the window (the chunks
    // after a file's audio) is never passed on.
    std::int64_t end() const {
        return upstream->length < 0 ? length : std::min(length, upstream->length);
    }

    Filler fill_;
};

class iVSO_pad_start final : public iVOver, public Consumer<Wrapper<iVOver>> {
public:
    iVSO_pad_start(Wrapper<iVOver> up, std::int64_t pad) : Consumer(std::move(up)), pad_(pad) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        channels = upstream->channels;
        position = 0;
        copyTagFrom(*upstream);
        upstream->seek(0);
        upstream->position = 0;
    }

    void seek(std::uint64_t p) override {
        std::int64_t q =
            static_cast<std::int64_t>(p) < pad_ ? 0 : static_cast<std::int64_t>(p) - pad_;
        upstream->seek(static_cast<std::uint64_t>(q));
        upstream->position = q;
    }

    VBlock read(VSlice dest, std::uint32_t capacity) override {
        const auto silent = static_cast<std::uint32_t>(
            std::min<std::int64_t>(std::max<std::int64_t>(pad_ - position, 0), dest.length()));
        VBlock head{dest.channels, dest.begin, dest.begin + silent, kAllSilent, {}};
        if (head.end == dest.end) return head;
        VBlock blk = upstream->read({dest.channels, head.end, dest.end}, capacity - silent);
        advance(*upstream, blk);
        inheritLength(*upstream, [this](std::int64_t l) { return l + pad_; });
        return join(head, blk);
    }

private:
    std::int64_t pad_;
};

template <class Start, class End, class W>
W cropImpl(W s, std::int64_t start, std::int64_t length, Filler filler) {
    if (start <= 0 && length <= 0) return s;
    const std::uint32_t unit = cropUnit(s->granularity, start, length);
    s = reblock(std::move(s), unit);
    if (start > 0) s = W(new Start(std::move(s), start));
    if (length > 0) s = W(new End(std::move(s), length, filler));
    return s;
}

}  // namespace

Wrapper<iOver> crop(Wrapper<iOver> source, std::int64_t start, std::int64_t length, Filler filler) {
    return cropImpl<iBSO_crop_start, iBSO_crop_end>(std::move(source), start, length, filler);
}

Wrapper<iVOver> crop(Wrapper<iVOver> source, std::int64_t start, std::int64_t length,
                     Filler filler) {
    return cropImpl<iVSO_crop_start, iVSO_crop_end>(std::move(source), start, length, filler);
}

Wrapper<iOver> cropWhenKnown(Wrapper<iOver> source, std::uint32_t unit,
                             std::function<std::int64_t()> lengthOf, Filler filler) {
    source = reblock(std::move(source), std::gcd(source->granularity, unit));
    return Wrapper<iOver>(new iBSO_crop_end(std::move(source), -1, filler, std::move(lengthOf)));
}

Wrapper<iOver> announceLength(Wrapper<iOver> source,
                              std::shared_ptr<std::atomic<std::int64_t>> length) {
    return Wrapper<iOver>(new iBSO_announce_length(std::move(source), std::move(length)));
}

Wrapper<iVOver> pad(Wrapper<iVOver> source, std::int64_t count) {
    if (count == 0) return source;
    if (count < 0) return crop(std::move(source), -count, 0);
    const std::uint32_t g =
        count < 2 ? 1
                  : static_cast<std::uint32_t>(std::gcd<std::int64_t>(source->granularity, count));
    source = reblock(std::move(source), g);
    return Wrapper<iVOver>(new iVSO_pad_start(std::move(source), count));
}

Wrapper<iVOver> shift(Wrapper<iVOver> source, std::int64_t count) {
    if (count > 0) return pad(std::move(source), count);
    if (count == 0) return source;
    return crop(std::move(source), -count, 0);
}

}  // namespace Stream
