#pragma once

// Scale-and-dither step of the format translator.
//
// Works on doubles, in place or from the decoded values into the encoder's, between decoding
// and encoding. The input is in
// the input format's integer units, the output in the output format's: a
// power-of-two gain moves between the two, and where the output has less
// precision than the input, dither is added before the encoder rounds.
//
//   ScaleDither<0,0>  gain only (no dither, silence stays silence)
//   ScaleDither<1,0>  gain, then triangular dither of +-1 output step
//                     (integer output)
//   ScaleDither<2,4>  gain, then rectangular dither of +-1/2 ulp of a 32-bit
//                     float in the sample's binade (64- to 32-bit float)
//
// The dithering variants take one 64-bit word per sample from a counter-based
// generator: the word of sample i (interleaved index in the stream) depends
// on the seed and i alone, so chunks may be processed in any order or size,
// and several samples are made per step (vector kernels chosen at run time,
// KernelIsa.h; every set gives the same bits). One step belongs to one
// translator and one thread.

#include <cstddef>
#include <cstdint>

#include "audio/format/Format.h"
#include "base/slice.h"
#include "base/sptr.h"

namespace Audio {

class iScaleDither {
public:
    virtual ~iScaleDither() = default;
    // Writes out[k] for in[k] (out may be in), stream sample position + k, for n samples;
    // advances position by n.
    virtual void process(const double* in, double* out, std::size_t n) = 0;
    // In place.
    void process(slice<double> samples) { process(samples.begin, samples.begin, samples.length()); }

    // True when the step must also run on silent input (it makes noise).
    bool active = false;
    // Stream index of the next sample (interleaved samples, not frames); only
    // the dithering variants read it.
    std::uint64_t position = 0;
};

template <int Kind, int Width>
class ScaleDither;

// Power-of-two gain: every sample is multiplied by 2^shift (exact; zeros of
// either sign are unchanged).
template <>
class ScaleDither<0, 0> final : public iScaleDither {
public:
    explicit ScaleDither(std::int32_t shift);
    using iScaleDither::process;
    void process(const double* in, double* out, std::size_t n) override;

    std::int32_t shift;
};

// Generator shared by the dithering variants: the word of stream sample i is
// Mix(key + (i + 1) * kGamma), the splitmix64 sequence started at the key.
// Any key is fine (zero included).
class DitherGenerator {
public:
    static constexpr std::uint64_t kGamma = 0x9E3779B97F4A7C15ULL;

    explicit DitherGenerator(std::uint64_t seed) : key(seed) {}
    std::uint64_t at(std::uint64_t index) const { return Mix(key + (index + 1) * kGamma); }

    // splitmix64's output function, a bijection of 64-bit words.
    static std::uint64_t Mix(std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    std::uint64_t key;
};

// Triangular dither of word w, in (-1, 1): the difference of its low and high
// 31-bit halves (bits 0-30 and 32-62) times 2^-31.
inline double TriangularOf(std::uint64_t w) {
    const auto lo = static_cast<std::int64_t>(w & 0x7FFFFFFF);
    const auto hi = static_cast<std::int64_t>((w >> 32) & 0x7FFFFFFF);
    return static_cast<double>(lo - hi) * 0x1p-31;
}

// Seed for a new generator: a high-resolution clock reading, made distinct
// for steps built within the same tick.
std::uint64_t DitherSeed();

// Integer output: gain, then triangular dither in (-1, 1) on every sample
// (zeros included).
template <>
class ScaleDither<1, 0> final : public iScaleDither, public DitherGenerator {
public:
    explicit ScaleDither(std::int32_t shift, std::uint64_t seed = DitherSeed());
    using iScaleDither::process;
    void process(const double* in, double* out, std::size_t n) override;

    std::int32_t shift;
};

// 32-bit float output from 64-bit float: gain, then rectangular dither below
// half a float ulp of the sample's binade (the low 32 bits of the word as a
// signed number). Zeros and denormals are left alone (their words unused).
template <>
class ScaleDither<2, 4> final : public iScaleDither, public DitherGenerator {
public:
    explicit ScaleDither(std::int32_t shift, std::uint64_t seed = DitherSeed());
    using iScaleDither::process;
    void process(const double* in, double* out, std::size_t n) override;

    std::int32_t shift;
};

// Gain exponent between the doubles a decoder produces for `in` and the
// units an encoder expects for `out`; downmix (stereo to mono sums pairs)
// takes one more halving. Padded integer input decodes to container
// integers, so its effective scale is scaleExponent + paddingBits; padded
// output is encoded from valid-bit units (the encoder shifts into place).
std::int32_t ScaleShift(const Format& in, const Format& out, bool downmix);

// Chooses the step for a conversion from `in` to `out` (both with resolved
// scale exponents):
//  1. integer output, and float input or fewer output bits: ScaleDither<1,0>;
//  2. else float output narrower than float input: ScaleDither<2,4>;
//  3. else a non-zero shift: ScaleDither<0,0>;
//  4. else none (empty pointer).
// `seed` starts the dithering variants' generator.
sptr<iScaleDither> SelectScaleDither(const Format& in, const Format& out, bool downmix,
                                     std::uint64_t seed = DitherSeed());

// A generator seed from a user's number: the same number always gives the same
// seed, and neighbouring numbers give unrelated ones (Mix(number + kGamma)).
std::uint64_t SeedFromNumber(std::uint64_t number);

}  // namespace Audio
