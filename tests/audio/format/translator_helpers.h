#pragma once

// Shared helpers of the translator tests: format shorthands, an independent
// reference packing of integer samples, and an in-memory audio source that
// records what it was asked for.

#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/format/Format.h"
#include "stream/Stream.h"

namespace fmt_test {

using Audio::Format;

constexpr std::uint8_t kOffset = 0x40;  // third byte: isUnsigned
constexpr std::uint8_t kBig = 0x80;     // third byte: isBigEndian

// Integer format of `bytes` bytes (scale = valid bits unless given).
inline Format intFormat(std::uint32_t bytes, std::uint32_t channels = 1, std::uint8_t third = 0,
                        std::uint8_t scale = 0xFE, float rate = 48000.0f) {
    Format f =
        Format::FromBytes(static_cast<std::uint8_t>(0x20 + bytes), scale, third, channels, rate);
    if (scale == 0xFE) f.setScaleExponent(bytes * 8 - f.paddingBits());
    return f;
}

inline Format floatFormat(std::uint32_t bytes, std::uint32_t channels = 1, std::uint8_t scale = 1,
                          std::uint8_t third = 0, float rate = 48000.0f) {
    return Format::FromBytes(static_cast<std::uint8_t>(0x40 + bytes), scale, third, channels, rate);
}

// Reference layout of a container value: low `bytes` bytes of v, the top
// bit flipped for offset binary, most significant first for big-endian.
inline void packInt(std::uint8_t* out, std::int64_t v, std::uint32_t bytes, bool offset, bool big) {
    auto u = static_cast<std::uint64_t>(v);
    if (offset) u ^= std::uint64_t{1} << (8 * bytes - 1);
    for (std::uint32_t k = 0; k < bytes; ++k) {
        auto byte = static_cast<std::uint8_t>(u >> (8 * k));
        out[big ? bytes - 1 - k : k] = byte;
    }
}

inline std::vector<std::uint8_t> doublesToBytes(const std::vector<double>& d) {
    std::vector<std::uint8_t> out(d.size() * 8);
    if (!d.empty()) std::memcpy(out.data(), d.data(), out.size());  // data() may be null
    return out;
}

inline double doubleAt(const std::uint8_t* p, std::size_t i) {
    double d;
    std::memcpy(&d, p + 8 * i, 8);
    return d;
}

// In-memory audio byte source. Its length becomes known on the first read
// (as for a reader that learns it late); past the end it delivers Silence.
class MemorySource final : public ::Stream::iOver, public ::Stream::Source {
public:
    MemorySource(std::vector<std::uint8_t> data, Format format, double origin = 0.0)
        : data_(std::move(data)) {
        setTag(Audio::Stream::Tag{origin, format});
    }

    void seek(std::uint64_t p) override {
        seeks.push_back(p);
        cursor_ = p;
    }

    ::Stream::Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        requests.push_back({dest.length(), capacity});
        length = static_cast<std::int64_t>(data_.size());
        ::Stream::Block b{dest.begin, dest.end, ::Stream::Silence};
        if (cursor_ < data_.size() && !dest.empty()) {
            std::size_t n = std::min<std::size_t>(dest.length(), data_.size() - cursor_);
            std::memcpy(dest.begin, data_.data() + cursor_, n);
            std::memset(dest.begin + n, 0, dest.length() - n);
            b.kind = ::Stream::Samples;
        }
        cursor_ += dest.length();
        return b;
    }

    struct Request {
        std::size_t length;
        std::uint32_t capacity;
    };
    std::vector<Request> requests;
    std::vector<std::uint64_t> seeks;

private:
    std::vector<std::uint8_t> data_;
    std::uint64_t cursor_ = 0;
};

}  // namespace fmt_test
