#pragma once

// Polyphase resampler: the arbitrary-ratio second stage of a conversion.
// The ratio, plan and coefficient table are in PolyphaseDesign.h (same
// units); here the resampler that runs the table over channel ranges, and
// the stream stage around it.

#include <boost/rational.hpp>
#include <cstdint>
#include <memory>

#include "audio/format/Format.h"
#include "dsp/BandSpec.h"
#include "dsp/PolyphaseDesign.h"
#include "dsp/Window.h"
#include "stream/Stream.h"

namespace DSP::FIR {

class FixedResampler final : public PolyphaseTable {
public:
    FixedResampler(const ConvolutionPlan& plan, boost::rational<unsigned> ratio,
                   const TapSampler& sample);

    unsigned process(ChannelSpan& dest, const ::Stream::Channels& source, std::uint32_t sourceBegin,
                     std::uint32_t sourceEnd, const ::Stream::ChannelMask& sourceSilentMask,
                     const ::Stream::ChannelMask& sourceZeroedMask, std::uint32_t& phase,
                     bool accumulate) override;

    // True when the transposed kernels run this ratio's cycles (a cycle fits their work
    // area); the other kernels take any number of outputs at the same cost.
    bool runsWholeCycles() const { return scratch_ != nullptr; }

private:
    struct FreeAligned {
        void operator()(double* p) const;
    };
    // Work area of the transposed kernels: the input of eight output cycles
    // transposed, scratchRows_ rows of eight doubles for each of two
    // channels (null when a cycle spans too many rows).
    std::unique_ptr<double[], FreeAligned> scratch_;
    std::size_t scratchRows_ = 0;
};

// The resampling stage: pulls a zero-copy view of exactly the input samples
// it needs and consumes what it has passed.
class VFIRFilter final : public ::Stream::iVOver,
                         public ::Stream::Consumer<Audio::Stream::Wrapper<::Stream::iVUnder>> {
public:
    VFIRFilter(Audio::Stream::Wrapper<::Stream::iVUnder> upstream,
               Counted<FixedResampler> resampler, Audio::Format format);

    void seek(std::uint64_t position) override;
    ::Stream::VBlock read(::Stream::VSlice dest, std::uint32_t capacity) override;

    Counted<FixedResampler> resampler;
    std::uint32_t phase = 0;  // phase of the next output sample, < Q

private:
    ::Stream::Channels sourceSet_;  // filled by the upstream's peek
    ::Stream::Channels cycleSet_;   // sourceSet_ moved back to the start of the cycle
    // Input samples of the current cycle already consumed (the upstream stands that far past
    // the cycle's start). Only a cycle the transposed kernels do not run, read in pieces, is
    // consumed before it ends: its input is up to P samples, tens of thousands.
    std::uint64_t intoCycle_ = 0;
};

// The stage from `input` to fsOut with a window N input samples long,
// sampled by `sample`. Returns the input unchanged when the rates agree.
// `fsInExact`: the input's rate before it was rounded to a float, or 0
// (see polyphaseRatio).
Audio::Stream::Wrapper<::Stream::iVOver> makePolyphaseResampler(
    Audio::Stream::Wrapper<::Stream::iVOver> input, double windowLength, const TapSampler& sample,
    double syncOffset, float fsOut, double fsInExact = 0);

// The polyphase stage of a conversion: a Kaiser window for `attenuationDb`
// whose response point lies at spec.width / 2 (cycles per input sample),
// made a whole number of samples long, scaled to the band's amplitude times
// `gain`, multiplied by the band's kernel.
Audio::Stream::Wrapper<::Stream::iVOver> makePolyphaseStage(
    Audio::Stream::Wrapper<::Stream::iVOver> input, unsigned attenuationDb, const WidthSpec& spec,
    double gain, double syncOffset, const BandSpec& band, float fsOut, double fsInExact = 0);

}  // namespace DSP::FIR
