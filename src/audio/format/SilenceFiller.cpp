#include "audio/format/SilenceFiller.h"

#include <cstring>

namespace Audio {

namespace {

// Writes the midpoint of a W-byte sample (MSB set) into every whole sample.
template <unsigned W, bool BigEndian>
void fillMidpoint(std::uint8_t* begin, std::uint8_t* end) {
    std::uint8_t sample[W] = {};
    sample[BigEndian ? 0 : W - 1] = 0x80;
    std::size_t count = static_cast<std::size_t>(end - begin) / W;
    for (std::size_t i = 0; i < count; ++i) std::memcpy(begin + i * W, sample, W);
}

}  // namespace

::Stream::Filler SilenceFiller(Format f) {
    if (!f.isUnsigned() || f.isFloat()) return nullptr;
    const bool big = f.isBigEndian();
    switch (f.bytesPerSample()) {
        case 1:
            return &fillMidpoint<1, false>;
        case 2:
            return big ? &fillMidpoint<2, true> : &fillMidpoint<2, false>;
        case 3:
            return big ? &fillMidpoint<3, true> : &fillMidpoint<3, false>;
        case 4:
            return big ? &fillMidpoint<4, true> : &fillMidpoint<4, false>;
        case 8:
            return big ? &fillMidpoint<8, true> : &fillMidpoint<8, false>;
        default:
            throw SilenceFillers::UnsupportedFormat();
    }
}

}  // namespace Audio
