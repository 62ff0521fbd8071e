#include "audio/format/Format.h"

namespace Audio {

Format Format::ResolveScale() const {
    Format f = *this;
    if (scaleExponent() != kScaleDefault) return f;
    if (sampleType() == Integer)
        f.setScaleExponent((lowByte() * 8u) & 0xFF);
    else if (sampleType() == Float)
        f.setScaleExponent(1);
    return f;
}

Format Format::CompleteFrom(const Format& source) const {
    Format f = *this;
    if (lowByte() == 0) f.word = (f.word & ~0xFFu) | source.lowByte();
    if (scaleExponent() == kScaleUnspecified) f.setScaleExponent(source.scaleExponent());
    if (channels() == 0) f.setChannels(source.channels());
    if (sampleRate == 0.0f) f.sampleRate = source.sampleRate;
    return f;
}

void Format::toBytes(std::uint8_t out[8]) const {
    std::uint32_t rateBits;
    std::memcpy(&rateBits, &sampleRate, 4);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(word >> (8 * i));
        out[4 + i] = static_cast<std::uint8_t>(rateBits >> (8 * i));
    }
}

}  // namespace Audio
