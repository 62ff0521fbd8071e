#pragma once

// Scale-and-dither step of the format translator.
//
// Works on doubles in place, between decoding and encoding. The input is in
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
// The dithering variants draw one 64-bit number per sample from a xorshift
// generator with a multiplicative output (seeded from a high-resolution
// clock); one step belongs to one translator and one thread.

#include <cstdint>

#include "audio/format/Format.h"
#include "base/slice.h"
#include "base/sptr.h"

namespace Audio {

class iScaleDither {
public:
    virtual ~iScaleDither() = default;
    virtual void process(slice<double> samples) = 0;

    // True when the step must also run on silent input (it makes noise).
    bool active = false;
};

template <int Kind, int Width>
class ScaleDither;

// Power-of-two gain: every sample is multiplied by 2^shift (exact; zeros of
// either sign are unchanged).
template <>
class ScaleDither<0, 0> final : public iScaleDither {
public:
    explicit ScaleDither(std::int32_t shift);
    void process(slice<double> samples) override;

    std::int32_t shift;
};

// Generator shared by the dithering variants.
class DitherGenerator {
public:
    // state[0] = seed, state[1] = 0, newest = 0. A zero seed would lock the
    // generator at zero, so it is replaced by a fixed non-zero value.
    explicit DitherGenerator(std::uint64_t seed);
    // One step: returns W = R * 0x2545F4914F6CDD1D (low 64 bits).
    std::uint64_t next() {
        Run run(*this);
        std::uint64_t w = run.next();
        run.save(*this, 1);
        return w;
    }

    // The generator held in registers for a loop: `x` is the word written
    // last, `y` the other. save() stores it back after `steps` draws.
    struct Run {
        std::uint64_t x, y;
        explicit Run(const DitherGenerator& g) : x(g.state[g.newest]), y(g.state[g.newest ^ 1]) {}
        std::uint64_t next() {
            const std::uint64_t a = x;
            std::uint64_t b = y;
            b ^= b << 12;
            x = b ^ a ^ (b >> 25) ^ (a >> 27);  // overwrites the older word
            y = a;
            return x * 0x2545F4914F6CDD1DULL;
        }
        void save(DitherGenerator& g, std::uint64_t steps) const {
            g.newest ^= static_cast<std::uint32_t>(steps & 1);
            g.state[g.newest] = x;
            g.state[g.newest ^ 1] = y;
        }
    };

    std::uint64_t state[2];
    std::uint32_t newest = 0;  // index of the word written last
};

// Seed for a new generator: a high-resolution clock reading, made distinct
// for steps built within the same tick.
std::uint64_t DitherSeed();

// Integer output: gain, then triangular dither in (-1, 1) on every sample
// (zeros included).
template <>
class ScaleDither<1, 0> final : public iScaleDither, public DitherGenerator {
public:
    explicit ScaleDither(std::int32_t shift, std::uint64_t seed = DitherSeed());
    void process(slice<double> samples) override;

    std::int32_t shift;
};

// 32-bit float output from 64-bit float: gain, then rectangular dither below
// half a float ulp of the sample's binade. Zeros and denormals are left
// alone and draw no number.
template <>
class ScaleDither<2, 4> final : public iScaleDither, public DitherGenerator {
public:
    explicit ScaleDither(std::int32_t shift, std::uint64_t seed = DitherSeed());
    void process(slice<double> samples) override;

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
// seed, and neighbouring numbers give unrelated ones (splitmix64 finaliser).
std::uint64_t SeedFromNumber(std::uint64_t number);

}  // namespace Audio
