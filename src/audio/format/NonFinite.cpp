#include "audio/format/NonFinite.h"

#include <cstring>

namespace Audio {

std::string NonFiniteCount::describe() const {
    std::string text = std::to_string(samples) + " non-finite sample" + (samples == 1 ? "" : "s") +
                       " (NaN or infinity) in the input, ";
    text += samples == 1 ? "at" : "the first at";
    text += " frame " + std::to_string(firstFrame) + " of channel " +
            std::to_string(firstChannel + 1) + ", converted as silence";
    return text;
}

namespace Stream {

namespace {

using ::Stream::Block;

// Exponent bits all set: an infinity or a NaN.
bool nonFinite(std::uint32_t u) {
    return (u & 0x7F800000u) == 0x7F800000u;
}
bool nonFinite(std::uint64_t u) {
    return (u & 0x7FF0000000000000u) == 0x7FF0000000000000u;
}

class NonFiniteGuard final : public ::Stream::iOver, public ::Stream::Consumer<Wrapper<::Stream::iOver>> {
public:
    NonFiniteGuard(Wrapper<::Stream::iOver> up, std::shared_ptr<NonFiniteCount> count)
        : Consumer(std::move(up)), count_(std::move(count)) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
        const Format f = getTag<Tag>().format;
        sampleBytes_ = f.bytesPerSample();
        channels_ = f.channels();
        bigEndian_ = f.isBigEndian();
    }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::int64_t from = upstream->position;
        Block blk = upstream->read(dest, capacity);
        ::Stream::advance(*upstream, blk);
        inheritLength(*upstream);
        if (blk.kind == ::Stream::Samples) {
            const auto kept = static_cast<std::size_t>(
                ::Stream::keptLength(static_cast<std::int64_t>(blk.length()), from, upstream->length));
            if (sampleBytes_ == 4)
                scan<std::uint32_t>(blk.begin, kept, from);
            else
                scan<std::uint64_t>(blk.begin, kept, from);
        }
        return blk;
    }

private:
    template <class Bits>
    void scan(std::uint8_t* p, std::size_t bytes, std::int64_t from) {
        for (std::size_t i = 0; i + sizeof(Bits) <= bytes; i += sizeof(Bits)) {
            Bits u;
            std::memcpy(&u, p + i, sizeof u);
            if (bigEndian_) {
                if constexpr (sizeof(Bits) == 4)
                    u = __builtin_bswap32(u);
                else
                    u = __builtin_bswap64(u);
            }
            if (!nonFinite(u)) continue;
            std::memset(p + i, 0, sizeof(Bits));
            if (count_->samples++ == 0) {
                const std::int64_t sample = (from + static_cast<std::int64_t>(i)) / sizeof(Bits);
                count_->firstFrame = sample / channels_;
                count_->firstChannel = static_cast<std::uint32_t>(sample % channels_);
            }
        }
    }

    std::shared_ptr<NonFiniteCount> count_;
    std::uint32_t sampleBytes_ = 0, channels_ = 1;
    bool bigEndian_ = false;
};

}  // namespace

Wrapper<::Stream::iOver> GuardNonFinite(Wrapper<::Stream::iOver> source,
                                        std::shared_ptr<NonFiniteCount> count) {
    const Format f = source.format();
    if (!f.isFloat() || (f.bytesPerSample() != 4 && f.bytesPerSample() != 8) || f.channels() == 0)
        return source;
    return Wrapper<::Stream::iOver>(new NonFiniteGuard(std::move(source), std::move(count)));
}

}  // namespace Stream

}  // namespace Audio
