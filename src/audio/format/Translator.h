#pragma once

// Sample format translation.
//
// Converts interleaved audio from one Audio::Format to another: 8/16/24/32-bit
// integers (two's complement or offset binary) and 32/64-bit IEEE floats, in
// either byte order; mono to stereo and stereo to mono; a power-of-two gain
// between the formats' full scales with dither where precision is lost
// (ScaleDither.h); rounding to nearest (ties to even) with clipping. The
// output rate is only a relabelling: nothing is resampled here.
//
// Units: the conversion goes through 64-bit doubles in the caller's memory.
// Decoders do not normalise (an integer sample becomes its signed value,
// offset-binary minus the midpoint; a float keeps its value); the gain step
// moves values into the output's units; encoders expect output units.
//
// Padded integer containers (paddingBits > 0, valid bits left-aligned, as in
// WAVE): decoding yields the container integer with the padding bits cleared
// and the gain treats its scale as scaleExponent + paddingBits; encoding
// takes values in valid-bit units, clips to the valid bits and shifts them
// into place, so the padding bits of the output are zero.
//
// Floating-point state: Translate runs with flush-to-zero, denormals-are-zero
// and round-to-nearest, and restores the caller's state on return or throw.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>

#include "audio/format/Format.h"
#include "audio/format/PeakMeter.h"
#include "audio/format/ScaleDither.h"
#include "base/sptr.h"
#include "stream/Stream.h"

namespace Audio {

class FormatTranslator {
public:
    enum : unsigned {
        ClipToScale = 2,  // encoders clip to scaleExponent bits, not the container
    };

    // A conversion the translator cannot do (a type or width outside the
    // table, an unspecified channel count, a channel change other than 1->2
    // or 2->1, padding that leaves no valid bits).
    struct Unsupported : std::invalid_argument {
        using std::invalid_argument::invalid_argument;
    };

    // Converts `n` samples from `src` to `dst`. Decoders: p1 = low bits to
    // clear, p2 = container bits. Encoders: p1 = left shift into a padded
    // container, p2 = clip bits.
    using KernelFn = void (*)(std::uint8_t* dst, const std::uint8_t* src, std::size_t n,
                              std::uint32_t p1, std::uint32_t p2);
    struct Kernel {
        KernelFn fn = nullptr;
        std::uint32_t p1 = 0;
        std::uint32_t p2 = 0;
        void operator()(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) const {
            fn(dst, src, n, p1, p2);
        }
    };
    // Maps n doubles in place; returns the new count.
    using ChannelMapper = std::size_t (*)(double* samples, std::size_t n);

    // What a conversion may add to the translation.
    struct Extras {
        // Fed with every frame before the gain step and dither, in full-scale units; counts
        // the samples the integer encoder clips. The translator configures it.
        std::shared_ptr<PeakMeter> meter;
        // Seed of the dither generator; none: DitherSeed().
        std::optional<std::uint64_t> ditherSeed;
        // Linear factor on every decoded value, before the meter and the dither; none: 1.
        std::optional<double> gain;
    };

    // `request` is completed from `in` (Format::CompleteFrom): rate included.
    // Throws Unsupported for conversions outside the table.
    FormatTranslator(unsigned flags, Format in, Format request, Extras extras = {});

    // Converts the whole frames of `in` into output samples starting at
    // `first`: in place (first == in.begin) or into another range; a range
    // whose overlap with the input would overwrite unread samples throws
    // std::invalid_argument. Writes only the output (frames x output frame
    // bytes); callers still reserve scratchBytesPerFrame per frame. Silent
    // input (Silence, Zeros or empty) without a dithering step gives Silence
    // without touching memory (offset-binary output gets its midpoint
    // written instead, since zero bytes are not its silence). `frame` is the stream position
    // of the block's first frame, for the meter (-1: right after the previous block).
    ::Stream::Block Translate(::Stream::Block in, std::uint8_t* first, std::int64_t frame = -1);

    Format inFormat() const { return in_; }
    // Completed output format with rate and resolved scale exponent.
    Format outFormat() const { return out_; }
    // Equal input and output formats, field by field, rates not compared.
    bool convertsNothing() const;

    std::uint32_t inBytesPerFrame() const { return in_.bytesPerFrame(); }
    std::uint32_t outBytesPerFrame() const { return out_.bytesPerFrame(); }

    // Inserts a translating stage converting `source` to `request` (completed
    // from the source's format), or returns `source` itself when the
    // completed request equals the source's format. Flags: ClipToScale.
    // With a meter, a translating stage is inserted even between equal formats.
    static Audio::Stream::Wrapper<::Stream::iOver> MakeAndApply(
        Audio::Stream::Wrapper<::Stream::iOver> source, Format request, unsigned flags,
        Extras extras = {});

    // 8 x the larger channel count: bytes of doubles one frame needs.
    std::uint32_t scratchBytesPerFrame = 0;
    Kernel decoder;
    ChannelMapper channelMapper = nullptr;
    sptr<iScaleDither> scaleDither;
    Kernel encoder;

private:
    static constexpr std::size_t kChunkDoubles = 2048;  // 16 KiB of doubles per round

    Format in_;
    Format out_;
    ::Stream::Filler outSilence_ = nullptr;
    bool identity_ = false;  // same format: a copy does
    // Little-endian doubles in, neither mapped nor gained, and a scale-and-dither step: the
    // meter and that step read the input where it is (no decoding copy).
    bool readsInPlace_ = false;
    std::shared_ptr<PeakMeter> meter_;
    double gain_ = 1.0;  // Extras::gain
    // Integer output: values (after dither) outside [clampLow_, clampHigh_) round outside
    // the encoder's range and are clipped.
    double clampLow_ = 0, clampHigh_ = 0;
};

}  // namespace Audio
