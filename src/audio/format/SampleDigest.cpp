#include "audio/format/SampleDigest.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace Audio {

namespace {

std::uint32_t IntegerBits(const Format& f) {
    const std::uint32_t valid =
        f.bytesPerSample() * 8 - std::min(f.paddingBits(), f.bytesPerSample() * 8);
    const std::uint32_t scale = f.scaleExponent();
    return scale >= 1 && scale <= valid ? scale : valid;
}

}  // namespace

std::uint32_t DigestBytesPerSample(const Format& f) {
    const std::uint32_t bytes = f.bytesPerSample();
    if (f.isFloat()) return bytes == 4 || bytes == 8 ? bytes : 0;
    if (!f.isInteger() || bytes == 0 || bytes > 8) return 0;
    return (IntegerBits(f) + 7) / 8;
}

void ToDigestForm(const Format& f, const std::uint8_t* src, std::size_t count, std::uint8_t* dst) {
    const std::uint32_t bytes = f.bytesPerSample();
    const bool big = f.isBigEndian();
    if (f.isFloat()) {
        for (std::size_t i = 0; i < count; ++i, src += bytes)
            for (std::uint32_t k = 0; k < bytes; ++k) *dst++ = src[big ? bytes - 1 - k : k];
        return;
    }
    const std::uint32_t out = DigestBytesPerSample(f);
    const std::uint32_t padding = std::min(f.paddingBits(), bytes * 8 - 1);
    const unsigned top = bytes * 8 - 1;
    for (std::size_t i = 0; i < count; ++i, src += bytes) {
        std::uint64_t u = 0;
        for (std::uint32_t k = 0; k < bytes; ++k)
            u |= std::uint64_t{src[big ? bytes - 1 - k : k]} << (8 * k);
        if (f.isUnsigned()) u ^= std::uint64_t{1} << top;
        // Sign-extend from the container's top bit, then drop the padding.
        const std::uint64_t sign = std::uint64_t{1} << top;
        std::int64_t v = static_cast<std::int64_t>((u ^ sign) - sign);
        v >>= padding;
        const auto w = static_cast<std::uint64_t>(v);
        for (std::uint32_t k = 0; k < out; ++k) *dst++ = static_cast<std::uint8_t>(w >> (8 * k));
    }
}

namespace Stream {

namespace {

class SampleHasher final : public ::Stream::iOver,
                           public ::Stream::Consumer<::Stream::Wrapper<::Stream::iOver>> {
public:
    SampleHasher(MD5::Hash& destination, ::Stream::Wrapper<::Stream::iOver> up)
        : Consumer(std::move(up)), md5_(destination) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        position = upstream->position;
        length = upstream->length;
        copyTagFrom(*upstream);
        format_ = upstream->getTag<Tag>().format;
        in_ = format_.bytesPerSample();
        out_ = DigestBytesPerSample(format_);
        if (out_ == 0) throw std::invalid_argument("no digest form for this sample format");
        // Little-endian samples already in digest form are hashed as they are.
        direct_ = !format_.isBigEndian() && out_ == in_ &&
                  (format_.isFloat() || (!format_.isUnsigned() && format_.paddingBits() == 0));
    }
    ~SampleHasher() override { md5_.Final(); }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
        carried_ = 0;
    }

    ::Stream::Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::int64_t P = upstream->position;
        ::Stream::Block blk = upstream->read(dest, capacity);
        const auto n = static_cast<std::int64_t>(blk.length());
        upstream->position += n;
        inheritLength(*upstream);
        const auto keep = static_cast<std::size_t>(::Stream::keptLength(n, P, upstream->length));
        if (blk.kind == ::Stream::Silence && n != 0) {
            std::fill(blk.begin, blk.end, std::uint8_t{0});
            blk.kind = ::Stream::Zeros;
        }
        Feed(blk.begin, keep);
        return blk;
    }

private:
    // Hashes whole samples; a sample split between reads waits in carry_.
    void Feed(const std::uint8_t* p, std::size_t n) {
        if (direct_) {
            md5_.Update(p, p + n);
            return;
        }
        if (carried_ > 0) {
            const std::size_t take = std::min<std::size_t>(in_ - carried_, n);
            std::copy(p, p + take, carry_ + carried_);
            carried_ += static_cast<std::uint32_t>(take);
            p += take;
            n -= take;
            if (carried_ < in_) return;
            Convert(carry_, 1);
            carried_ = 0;
        }
        constexpr std::size_t kPiece = 4096;  // samples per conversion
        while (n >= in_) {
            const std::size_t count = std::min(n / in_, kPiece);
            Convert(p, count);
            p += count * in_;
            n -= count * in_;
        }
        std::copy(p, p + n, carry_);
        carried_ = static_cast<std::uint32_t>(n);
    }

    void Convert(const std::uint8_t* p, std::size_t count) {
        scratch_.resize(count * out_);
        ToDigestForm(format_, p, count, scratch_.data());
        md5_.Update(scratch_.data(), scratch_.data() + scratch_.size());
    }

    MD5 md5_;
    Format format_;
    std::uint32_t in_ = 0, out_ = 0;
    bool direct_ = false;
    std::uint8_t carry_[32] = {};
    std::uint32_t carried_ = 0;
    std::vector<std::uint8_t> scratch_;
};

}  // namespace

Wrapper<::Stream::iOver> HashSamples(MD5::Hash& destination, Wrapper<::Stream::iOver> source) {
    return Wrapper<::Stream::iOver>(new SampleHasher(destination, std::move(source)));
}

}  // namespace Stream

}  // namespace Audio
