#include "audio/io/ChannelLayout.h"

namespace Audio::IO {

std::uint32_t DefaultChannelMask(std::uint32_t channels) {
    switch (channels) {
        case 1:
            return 0x4;
        case 2:
            return 0x3;
        case 4:
            return 0x33;
        case 6:
            return 0x3F;
        case 8:
            return 0x63F;
        default:
            return 0;
    }
}

std::uint32_t ChannelMaskFor(std::uint32_t mask, std::uint32_t channels) {
    if (mask == kNoPositions) return 0;
    if (mask == 0) return DefaultChannelMask(channels);
    std::uint32_t kept = 0;
    for (std::uint32_t n = 0; mask != 0 && n < channels; ++n) {
        const std::uint32_t lowest = mask & (~mask + 1);
        kept |= lowest;
        mask &= ~lowest;
    }
    return kept;
}

std::uint32_t FlacChannelMask(std::uint32_t channels) {
    static constexpr std::uint32_t kMasks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
    return channels < 9 ? kMasks[channels] : 0;
}

}  // namespace Audio::IO
