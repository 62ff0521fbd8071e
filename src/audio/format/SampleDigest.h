#pragma once

// The MD5 of decoded audio in the form FLAC's STREAMINFO and common tools
// use, so that the same audio gives the same digest whatever its container:
// samples interleaved, little-endian; integers as signed values of
// ceil(bits / 8) bytes (offset binary made signed, padding bits shifted
// out, so 8-bit WAVE bytes become signed and 24 bits take 3 bytes); floats
// as IEEE values of their own width.
//
// The integer's bits are the format's scaleExponent when it fits the
// container's valid bits, else the valid bits: a 16-bit value right-aligned
// in a 32-bit container is hashed as 2 bytes.

#include <cstdint>

#include "audio/format/Format.h"
#include "stream/MD5.h"
#include "stream/Stream.h"

namespace Audio {

// Bytes one sample of `f` takes in the digest; 0 for a format that has no
// such form (no sample type, an empty container).
std::uint32_t DigestBytesPerSample(const Format& f);

// Converts `count` samples of `f` at `src` to their digest form at `dst`
// (DigestBytesPerSample(f) x count bytes).
void ToDigestForm(const Format& f, const std::uint8_t* src, std::size_t count, std::uint8_t* dst);

namespace Stream {

// A stage that passes `source` through unchanged and hashes the digest form
// of every sample pulled through it, up to the source's length. The digest
// reaches `destination` when the stage is destroyed; the destination must
// outlive the stage. Throws std::invalid_argument for a format without a
// digest form.
Wrapper<::Stream::iOver> HashSamples(MD5::Hash& destination, Wrapper<::Stream::iOver> source);

}  // namespace Stream

}  // namespace Audio
