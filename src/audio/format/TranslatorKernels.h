#pragma once

// Conversion kernels of the format translator (internal to the library and
// its tests/benchmarks).
//
// The translator converts through an aligned buffer of doubles of its own,
// so a kernel's source and destination never overlap (they are declared
// restrict, which lets the compiler vectorise the loops). Decoders read n
// samples and write n doubles; encoders read n doubles and write n samples.

#include <cstdint>

#include "audio/format/Translator.h"

namespace Audio::Kernels {

// Decoder / encoder for a table low byte (0x21-0x24 integers, decoders also
// 0x25-0x28; 0x44 and 0x48 floats); `offset` selects offset binary (integers only), `swap` the
// big-endian byte order (ignored for 1-byte samples). Null when the low byte
// is not in the table.
FormatTranslator::KernelFn Decoder(std::uint8_t lowByte, bool offset, bool swap);
FormatTranslator::KernelFn Encoder(std::uint8_t lowByte, bool offset, bool swap);

// Mono to stereo: n doubles become 2n (each written twice); runs backwards.
std::size_t Duplicate(double* samples, std::size_t n);
// Stereo to mono: out[k] = in[2k] + in[2k+1]; returns n / 2; runs forwards.
std::size_t SumPairs(double* samples, std::size_t n);

}  // namespace Audio::Kernels
