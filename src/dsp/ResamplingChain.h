#pragma once

// Resampling chain builder: the top of the signal-processing stages.
//
// Given a de-interleaved working stream (64-bit float samples, one buffer per
// channel), the filter settings and the output rate, it relabels the input
// by the speed factor, derives the band edges, and builds either one FFT
// filter stage (same rate or a power-of-two ratio) or an FFT stage with a
// power-of-two rate change followed by a polyphase stage for the rest.
//
// It never crops or pads the result: every stage adds its delay to the tag
// `origin`, so the returned stream's origin is the number of output frames
// (possibly fractional) before the input's first frame, the filters'
// pre-ring. The caller crops it or keeps it.
//
// Units: rates and band edges in Hz (edges after the speed change), gain
// linear, sync offset in output samples, attenuation in dB.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>

#include "audio/format/Format.h"
#include "stream/Stream.h"

namespace DSP {

// The filter settings of one conversion (the job copies its record into it).
struct ResamplingSettings {
    unsigned snrDb = 145;            // design target, dB (clamped to 324)
    unsigned minTransitionHz = 500;  // narrowest transition band left, Hz
    bool aliasGuardBand = false;     // let the transition cross the lower Nyquist
    double syncOffset = 0.0;         // output samples; < 0 switches grid alignment off
    double basebandMax = 20000.0;    // pass-band edge, Hz; +inf = unset
    double stopbandMin = std::numeric_limits<double>::infinity();  // Hz; +inf = unset
    double gain = 1.0;                                             // linear
    double speed = 1.0;  // the input plays this many times faster
};

// The stages a conversion needs (the result of the stage choice).
struct ResamplingPlan {
    enum Path { SameRate, PowerOfTwo, TwoStage } path = SameRate;
    double inputRate = 0;        // after the speed relabelling, Hz
    double basebandMax = 0;      // B', Hz
    double stopbandMin = 0;      // T', Hz
    unsigned attenuation = 0;    // A (plus 7 for two stages), dB
    int exponent = 0;            // e of the FFT stage
    float intermediateRate = 0;  // fs2, the FFT stage's output rate, Hz
};

// The stage choice for input rate fsIn (already relabelled) and fsOut.
// Throws std::invalid_argument for settings that make no filter.
ResamplingPlan planResampling(float fsIn, const ResamplingSettings& settings, float fsOut);

// B' when a stop band asked for lies closer to the pass band asked for than the narrowest
// transition band the filters take, which then lowers the pass band's edge (Hz, after the speed
// change); none when the stop band leaves the pass band as the rates alone would.
// `fsGiven` is the input's rate before the speed change.
std::optional<double> passBandLoweredByStopband(float fsGiven, const ResamplingSettings& settings,
                                                float fsOut);

// A stage put between two others (a cut of the chain); it keeps the tag.
using StageInsert = std::function<Audio::Stream::Wrapper<::Stream::iVOver>(
    Audio::Stream::Wrapper<::Stream::iVOver>)>;

// Builds the chain over `input` (its tag sampleRate is the source rate;
// speed relabels it in place). Throws std::invalid_argument with a message
// for settings that cannot be met, std::length_error when a filter would be
// too long. `afterFFT`, if set, is put after the FFT stage (before the
// polyphase stage of a two-stage chain).
Audio::Stream::Wrapper<::Stream::iVOver> makeResamplingChain(
    Audio::Stream::Wrapper<::Stream::iVOver> input, ResamplingSettings settings, float fsOut,
    const StageInsert& afterFFT = {});

// One FFT filter stage changing the rate by 2^e, designed from the band
// edges and attenuation in `plan` (margin 12 added here).
Audio::Stream::Wrapper<::Stream::iVOver> makeFFTStage(
    Audio::Stream::Wrapper<::Stream::iVOver> input, const ResamplingPlan& plan,
    const ResamplingSettings& settings, int e);

}  // namespace DSP
