#include "audio/io/ChannelLayout.h"

#include <bit>

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
    // 5 and 6 channels: the surround pair at the sides, as the flac tool and other players take
    // it (the format says "back/surround").
    static constexpr std::uint32_t kMasks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x607, 0x60F, 0x70F, 0x63F};
    return channels < 9 ? kMasks[channels] : 0;
}

std::uint32_t WavpackChannelMask(std::uint32_t mask, std::uint32_t channels) {
    const std::uint32_t kept = ChannelMaskFor(mask, channels);
    if (kept != 0 || mask == kNoPositions || channels <= 2) return kept;
    constexpr std::uint32_t kPositionBits = 18;
    return channels >= kPositionBits ? (1u << kPositionBits) - 1 : (1u << channels) - 1;
}

namespace {

// Core Audio layout tags: the layout given by the bitmap, or by one description per channel.
constexpr std::uint32_t kUseChannelDescriptions = 0;
constexpr std::uint32_t kUseChannelBitmap = 1u << 16;
constexpr std::uint32_t kPositions = 18;       // labels 1 to 18 are bits 0 to 17
constexpr std::uint32_t kDiscrete = 1u << 16;  // labels of discrete channels: this plus n

// Layout tags (the number in the high half, the channel count in the low) as ffmpeg writes
// them for its layouts and reads them back, the channels in the WAVE order; Core Audio's own
// channel orders differ for some of them (ffmpeg's files are the ones met).
constexpr std::pair<std::uint32_t, std::uint32_t> kLayoutTags[] = {
    {100u << 16 | 1, 0x4},    // mono
    {101u << 16 | 2, 0x3},    // stereo
    {113u << 16 | 3, 0x7},    // 3.0
    {131u << 16 | 3, 0x103},  // 3.0 (back)
    {133u << 16 | 3, 0xB},    // 2.1
    {115u << 16 | 4, 0x107},  // 4.0
    {132u << 16 | 4, 0x603},  // quad (side)
    {136u << 16 | 4, 0xF},    // 3.1
    {108u << 16 | 4, 0x33},   // quadraphonic
    {117u << 16 | 5, 0x607},  // 5.0 (side)
    {137u << 16 | 5, 0x10F},  // 4.1
    {121u << 16 | 6, 0x60F},  // 5.1 (side)
    {128u << 16 | 8, 0x63F},  // 7.1
    {126u << 16 | 8, 0x6CF},  // 7.1 (wide, side)
};

std::uint32_t Big32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

std::vector<std::uint8_t> EncodeAiffChannelLayout(std::uint32_t mask, std::uint32_t channels) {
    std::vector<std::uint8_t> out;
    auto put = [&out](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(v >> shift));
    };
    if (mask == kNoPositions) {
        // Discrete channels: one description each, no coordinates.
        put(kUseChannelDescriptions), put(0), put(channels);
        for (std::uint32_t c = 0; c < channels; ++c) {
            put(kDiscrete | c);
            for (int i = 0; i < 4; ++i) put(0);
        }
        return out;
    }
    const std::uint32_t kept = ChannelMaskFor(mask, channels);
    if (kept == 0 || static_cast<std::uint32_t>(std::popcount(kept)) != channels) return {};
    put(kUseChannelBitmap), put(kept), put(0);
    return out;
}

std::uint32_t ReadAiffChannelLayout(const std::uint8_t* p, std::size_t size,
                                    std::uint32_t channels) {
    if (size < 12) return 0;
    const std::uint32_t tag = Big32(p), bitmap = Big32(p + 4), count = Big32(p + 8);
    std::uint32_t mask = 0;
    if (tag == kUseChannelBitmap) {
        mask = bitmap;
    } else if (tag == kUseChannelDescriptions) {
        // 20 bytes each: label, flags, three coordinates. In the WAVE order only.
        if (count != channels || size < 12 + std::size_t{count} * 20) return 0;
        std::uint32_t discrete = 0;
        for (std::uint32_t c = 0; c < count; ++c) {
            const std::uint32_t label = Big32(p + 12 + std::size_t{c} * 20);
            if ((label & 0xFFFF0000u) == kDiscrete) {
                ++discrete;
                continue;
            }
            if (label < 1 || label > kPositions) return 0;
            const std::uint32_t bit = 1u << (label - 1);
            if (bit <= mask) return 0;  // not above the ones before it
            mask |= bit;
        }
        if (discrete == count && count > 0) return kNoPositions;
    } else {
        // A layout by its tag. One not known here: one or two channels are the count's own
        // (headphones, matrix, mid-side stereo ...); more state positions, but not which (the
        // count's convention would name wrong ones).
        for (const auto& [known, bits] : kLayoutTags)
            if (tag == known) mask = bits;
        if (mask == 0) return channels <= 2 ? 0 : kNoPositions;
    }
    return static_cast<std::uint32_t>(std::popcount(mask)) == channels ? mask : 0;
}

}  // namespace Audio::IO
