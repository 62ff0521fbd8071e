#pragma once

// The audio format descriptor, the stream tag every audio stream carries,
// and the audio-level stream handle.

#include <cstdint>
#include <cstring>

#include "stream/Stream.h"

namespace Audio {

// 8 bytes: a packed 32-bit word followed by the rate as a 32-bit float.
// Word layout, from bit 0 up:
//   bytesPerSample 0-4, sampleType 5-7 (1 integer, 2 float, 0 unspecified),
//   scaleExponent 8-15 (full scale is 2^(scaleExponent-1); 0xFE default for
//   the type, 0xFF unspecified), paddingBits 16-21 (unused low bits of the
//   container), isUnsigned 22 (offset binary), isBigEndian 23,
//   channels 24-31 (0 unspecified).
struct Format {
    enum SampleType : std::uint32_t { Unspecified = 0, Integer = 1, Float = 2 };
    static constexpr std::uint32_t kScaleDefault = 0xFE;
    static constexpr std::uint32_t kScaleUnspecified = 0xFF;

    std::uint32_t word = 0x0000FF00u;  // fully unspecified
    float sampleRate = 0.0f;           // Hz; 0 = unspecified

    Format() = default;
    Format(std::uint32_t w, float rate) : word(w), sampleRate(rate) {}
    // From the three bytes the dialog stores (low byte, scaleExponent, third
    // byte), plus channel count and rate.
    static Format FromBytes(std::uint8_t low, std::uint8_t scale, std::uint8_t third,
                            std::uint32_t channels, float rate) {
        return Format(low | (std::uint32_t(scale) << 8) | (std::uint32_t(third) << 16) |
                          (channels << 24),
                      rate);
    }

    std::uint32_t bytesPerSample() const { return word & 0x1F; }
    std::uint32_t sampleType() const { return (word >> 5) & 7; }
    std::uint32_t scaleExponent() const { return (word >> 8) & 0xFF; }
    std::uint32_t paddingBits() const { return (word >> 16) & 0x3F; }
    bool isUnsigned() const { return (word >> 22) & 1; }
    bool isBigEndian() const { return (word >> 23) & 1; }
    std::uint32_t channels() const { return word >> 24; }

    std::uint8_t lowByte() const { return word & 0xFF; }
    std::uint8_t thirdByte() const { return (word >> 16) & 0xFF; }

    Format& setBytesPerSample(std::uint32_t v) { return setField(0, 0x1F, v); }
    Format& setSampleType(std::uint32_t v) { return setField(5, 7, v); }
    Format& setScaleExponent(std::uint32_t v) { return setField(8, 0xFF, v); }
    Format& setPaddingBits(std::uint32_t v) { return setField(16, 0x3F, v); }
    Format& setUnsigned(bool v) { return setField(22, 1, v); }
    Format& setBigEndian(bool v) { return setField(23, 1, v); }
    Format& setChannels(std::uint32_t v) { return setField(24, 0xFF, v); }

    std::uint32_t bytesPerFrame() const { return bytesPerSample() * channels(); }
    std::uint32_t bitsPerSample() const { return bytesPerSample() * 8 - paddingBits(); }
    bool isInteger() const { return sampleType() == Integer; }
    bool isFloat() const { return sampleType() == Float; }

    // 0xFE becomes the type's default: bytesPerSample x 8 for integers
    // (low byte x 8 mod 256), 1 for floats; other types keep 0xFE.
    Format ResolveScale() const;
    // Completes this request from a source format: low byte if 0,
    // scaleExponent if 0xFF, channels if 0, rate if 0.0; the third byte is
    // always the request's.
    Format CompleteFrom(const Format& source) const;

    // Every field equal, rates compared as floats.
    friend bool operator==(const Format& a, const Format& b) {
        return a.word == b.word && a.sampleRate == b.sampleRate;
    }

    // The 8 bytes as stored: word then rate, both little-endian.
    void toBytes(std::uint8_t out[8]) const;

private:
    Format& setField(unsigned shift, std::uint32_t mask, std::uint32_t v) {
        word = (word & ~(mask << shift)) | ((v & mask) << shift);
        return *this;
    }
};
static_assert(sizeof(Format) == 8);

namespace Stream {

// 16 bytes: the time origin in frames of this stream (position of the time
// reference counted from the first frame), then the format.
struct Tag {
    double origin = 0.0;
    Format format;
};
static_assert(sizeof(Tag) == 16);

// Handle to a stream whose tag holds an Audio::Stream::Tag.
template <class I>
class Wrapper : public ::Stream::Wrapper<I> {
public:
    using ::Stream::Wrapper<I>::Wrapper;
    Wrapper() = default;
    Wrapper(const ::Stream::Wrapper<I>& w) : ::Stream::Wrapper<I>(w) {}  // NOLINT

    Tag tag() const { return this->get()->template getTag<Tag>(); }
    void setTag(const Tag& t) const { this->get()->setTag(t); }
    Format format() const { return tag().format; }
};

}  // namespace Stream
}  // namespace Audio
