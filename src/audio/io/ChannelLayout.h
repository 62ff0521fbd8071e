#pragma once

// Speaker layouts as WAVE dwChannelMask bits (bit 0 front left, 1 front
// right, 2 front centre, 3 LFE, 4 back left, 5 back right, ..., 9 side left,
// 10 side right). The n channels of a frame take the n lowest set bits in
// order; channels beyond them have no position.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Audio::IO {

// A file that states its channels have no speaker positions (an extensible
// WAVE mask of 0: stems, discrete channels), as opposed to one that states
// nothing: a bit no speaker uses.
inline constexpr std::uint32_t kNoPositions = 0x80000000u;

// The layout conventionally meant by a channel count when a file states
// none: mono, stereo, quad, 5.1 (back), 7.1 (back and side); 0 for other
// counts.
std::uint32_t DefaultChannelMask(std::uint32_t channels);

// The layout FLAC fixes for a channel count (1 to 8), which its files then
// leave unsaid, as players read it; 0 for other counts. A file with another layout says so in a
// Vorbis comment (kFlacChannelMaskTag, the mask in hexadecimal).
std::uint32_t FlacChannelMask(std::uint32_t channels);
inline constexpr const char* kFlacChannelMaskTag = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK";

// The mask a writer records for `channels` channels: `mask` without the set
// bits beyond the first `channels` ones, DefaultChannelMask(channels) when
// `mask` is 0, and 0 for kNoPositions.
std::uint32_t ChannelMaskFor(std::uint32_t mask, std::uint32_t channels);

// The mask a WavPack file records: ChannelMaskFor, except that more than two channels of
// which nothing is stated take the first positions in order, as the WavPack tool gives them
// (players refuse a WavPack file of 3, 5 or 7 channels without positions).
std::uint32_t WavpackChannelMask(std::uint32_t mask, std::uint32_t channels);

// An AIFF "CHAN" chunk (a Core Audio channel layout, big-endian), whose channel bitmap bits
// are the WAVE mask bits: the payload stating `mask` for `channels` channels as a bitmap,
// kNoPositions as discrete channels; empty when the mask names fewer positions than channels.
std::vector<std::uint8_t> EncodeAiffChannelLayout(std::uint32_t mask, std::uint32_t channels);
// The WAVE mask a "CHAN" payload states for `channels` channels: a bitmap, descriptions of
// positions WAVE has in its order, or a layout tag as ffmpeg writes it; kNoPositions for
// discrete channels and for tags of more than two channels not known here; 0 when it states
// none of those for the count (the count's convention then holds).
std::uint32_t ReadAiffChannelLayout(const std::uint8_t* payload, std::size_t size,
                                    std::uint32_t channels);

}  // namespace Audio::IO
