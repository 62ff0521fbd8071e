#pragma once

// Polyphase resampler design: the ratio, the plan of the convolution and the
// table of all phases' coefficients (the stage is in Polyphase.h).
//
// The ratio is an exact fraction P/Q of the input and output rates (input
// samples advanced per Q output samples); R = P/Q is the step in input
// samples per output sample. All Q phases of the windowed kernel are
// tabulated, so an output sample costs exactly `taps` multiply-adds.
//
// Units: positions and lengths are samples per channel (64-bit floats, 8
// bytes) unless a name ends in Bytes; `origin` values are frames of the
// stream they belong to; the sync offset is in output samples.

#include <boost/rational.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/RefCount.h"
#include "stream/Stream.h"

namespace DSP::FIR {

// Most phases a ratio may have, and the most memory its coefficient table may take (a ratio
// whose table would be larger gets fewer phases, and is then approximated).
constexpr unsigned kMaxPhases = 1u << 18;
constexpr std::size_t kMaxTableBytes = std::size_t{32} << 20;
// Largest relative error of an approximated ratio: under a fifth of a sample of drift in an
// hour at 48 kHz, and well under the precision of the float rates themselves.
constexpr double kRatioTolerance = 1e-9;

struct SamplingParams {
    std::uint32_t taps = 0;       // coefficients per phase
    double firstTapOffset = 0.0;  // t: output j is centred on padded-input position j*R - t
    double halfLength = 0.0;      // N/2, half the window length, input samples
};

struct ConvolutionPlan : SamplingParams {
    double step = 0.0;        // R = P/Q
    double base = 0.0;        // -t - N/2
    std::int32_t leadIn = 0;  // zero samples put before the input (negative: input dropped)
};

// fsIn / fsOut as a reduced fraction. Exact when the reduced denominator is
// at most `maxPhases` (both rates are floats, so the fraction is exact);
// otherwise the best rational approximation with denominator <= maxPhases,
// when it is within kRatioTolerance of the ratio; otherwise, given
// `fsInExact` (fsIn as computed in double precision before it was rounded to
// a float, a rate times a speed), the fraction with the fewest phases within
// half a unit of its last place. Throws
// std::invalid_argument for rates that are not positive and finite, or whose
// ratio no such fraction represents (the output would be at a wrong pitch and
// length while labelled fsOut).
// Thrown by polyphaseRatio for a ratio that no fraction with `phases` phases represents.
struct RatioNeedsMorePhases : std::invalid_argument {
    RatioNeedsMorePhases(const std::string& what, unsigned phases)
        : std::invalid_argument(what), phases(phases) {}
    unsigned phases;
};

boost::rational<unsigned> polyphaseRatio(float fsIn, float fsOut, unsigned maxPhases = kMaxPhases,
                                         double fsInExact = 0);
// The phases a table of `taps` coefficients per phase may have.
unsigned maxPhasesFor(std::uint32_t taps);

// The plan for an input whose time origin is `origin` input frames, a window
// `windowLength` input samples long (N) and ratio P/Q. A sync offset of zero
// or less counts as 0. `outputOrigin` is the output stream's origin, k + s.
struct PlannedConvolution {
    ConvolutionPlan plan;
    double outputOrigin = 0.0;
};
PlannedConvolution planConvolution(double origin, double syncOffset, double windowLength,
                                   boost::rational<unsigned> ratio);

// Writes the windowed kernel at positions start, start + 1, ... (count
// values, input samples from the window centre) to begin[0 .. count) and
// zeros up to end.
using TapSampler = std::function<void(double* begin, double* end, double start, unsigned count)>;

// Channel ranges handed to a resampler; begin/end in samples.
struct ChannelSpan {
    ::Stream::Channels* channels = nullptr;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    ::Stream::ChannelMask silentMask;  // bit set: that channel's range is silence
};

class iResampler : public InternalReferenceCount_virtual, public ConvolutionPlan {
public:
    // Writes one output per dest position and channel from source samples
    // [sourceBegin, sourceEnd), starting at `phase`; updates `phase` and
    // returns the input samples to consume. Silent or empty source channels
    // set their dest silentMask bit and are not computed. accumulate adds to
    // dest instead of storing.
    virtual unsigned process(ChannelSpan& dest, const ::Stream::Channels& source,
                             std::uint32_t sourceBegin, std::uint32_t sourceEnd,
                             const ::Stream::ChannelMask& sourceSilentMask,
                             const ::Stream::ChannelMask& sourceZeroedMask, std::uint32_t& phase,
                             bool accumulate) = 0;

protected:
    explicit iResampler(const ConvolutionPlan& plan) : ConvolutionPlan(plan) {}
};

// Coefficients of all Q phases: phase j is the block at j * stride; its
// first element holds k(j), the phase's first input offset, as a 32-bit
// integer, followed by its taps and zeros up to paddedTaps (the vector
// kernels run whole groups of four taps; the portable loop runs `taps`).
class PolyphaseTable : public iResampler {
public:
    std::int32_t offset(std::uint32_t j) const;  // k(j) = floor(j R + base) + 1
    const double* phaseTaps(std::uint32_t j) const {
        return coefficients.get() + std::size_t{j} * stride + 1;
    }
    // Input samples that must be readable to produce n outputs from `phase`
    // (covers both the last output's taps and what the call consumes).
    std::uint64_t inputNeeded(std::uint32_t phase, std::uint64_t n) const;

    const std::uint32_t numerator;    // P
    const std::uint32_t denominator;  // Q
    const std::uint32_t paddedTaps;   // taps rounded up to a multiple of 4
    const std::uint32_t stride;       // paddedTaps + 1

protected:
    PolyphaseTable(const ConvolutionPlan& plan, boost::rational<unsigned> ratio,
                   const TapSampler& sample);

    std::unique_ptr<double[]> coefficients;  // stride x Q
};

}  // namespace DSP::FIR
