#include "dsp/ResamplingChain.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "dsp/FFTFilter.h"
#include "dsp/FIRDesign.h"
#include "dsp/Polyphase.h"

namespace DSP {

namespace {

// Beyond this a sync offset's fraction (the only part that changes samples)
// is lost in the grid arithmetic.
constexpr double kMaxSyncOffset = 1e9;

void checkSettings(const ResamplingSettings& s) {
    if (!std::isfinite(s.gain)) throw std::invalid_argument("The gain must be a finite number");
    if (!std::isfinite(s.syncOffset) || std::abs(s.syncOffset) > kMaxSyncOffset)
        throw std::invalid_argument("The sync offset must be a number of samples below 1e9");
    if (std::isnan(s.basebandMax) || std::isnan(s.stopbandMin))
        throw std::invalid_argument("The pass-band and stop-band edges must be numbers");
}

}  // namespace

ResamplingPlan planResampling(float fsIn, const ResamplingSettings& settings, float fsOut) {
    checkSettings(settings);
    if (!(fsIn > 0) || !std::isfinite(fsIn) || !(fsOut > 0) || !std::isfinite(fsOut))
        throw std::invalid_argument("Sample rates must be positive and finite");

    const FIR::BandEdges edges =
        FIR::bandEdges(settings.snrDb, settings.minTransitionHz, settings.aliasGuardBand,
                       settings.basebandMax, settings.stopbandMin, fsIn, fsOut);
    ResamplingPlan plan;
    plan.inputRate = fsIn;
    plan.basebandMax = edges.basebandMax;
    plan.stopbandMin = edges.stopbandMin;
    plan.attenuation = edges.snrDb;
    if (!(plan.stopbandMin > plan.basebandMax))
        throw std::invalid_argument(
            "The transition band between pass band and stop band must be wider than 0 Hz");

    if (fsIn == fsOut) {
        plan.path = ResamplingPlan::SameRate;
        plan.intermediateRate = fsOut;
        return plan;
    }
    int ex;
    const double r = double(fsIn) / double(fsOut);
    if (std::frexp(r, &ex) == 0.5 && std::isnormal(r)) {
        plan.path = ResamplingPlan::PowerOfTwo;
        plan.exponent = 1 - ex;  // r = 2^(ex - 1)
        plan.intermediateRate = fsOut;
        return plan;
    }

    plan.path = ResamplingPlan::TwoStage;
    plan.attenuation += FIR::kMarginFFTTwoStage - FIR::kMarginFFTSingleStage;
    // The smallest power of two with fsIn 2^e >= 2 (T' + B').
    const double u = 2.0 * (plan.stopbandMin + plan.basebandMax) / fsIn;
    const double m = std::frexp(u, &ex);
    plan.exponent = m == 0.5 ? ex - 1 : ex;
    plan.intermediateRate = std::ldexp(fsIn, plan.exponent);
    if (!std::isfinite(plan.intermediateRate) || !(plan.intermediateRate > 0))
        throw std::invalid_argument("Sample rates out of range");
    return plan;
}

Audio::Stream::Wrapper<::Stream::iVOver> makeFFTStage(
    Audio::Stream::Wrapper<::Stream::iVOver> input, const ResamplingPlan& plan,
    const ResamplingSettings& settings, int e) {
    const float rate = input.tag().format.sampleRate;
    const double design = e < 0 ? std::ldexp(double(rate), e) : double(rate);
    const double B = plan.basebandMax, T = plan.stopbandMin;
    const sptr<Window> window = FIR::designWindow(plan.attenuation + FIR::kMarginFFTSingleStage,
                                                  (T - B) / design, FIR::LengthPolicy::Even);
    const FIR::BandSpec band = FIR::BandSpec::lowpass((T + B) / design);
    return makeFFTFilter(std::move(input), *window, settings.gain, settings.syncOffset, band, e);
}

std::optional<double> passBandLoweredByStopband(float fsGiven, const ResamplingSettings& s,
                                                float fsOut) {
    if (!std::isfinite(s.basebandMax) || !std::isfinite(s.stopbandMin) || !(s.stopbandMin > 0))
        return std::nullopt;
    const auto fsIn = static_cast<float>(double(fsGiven) * s.speed);
    try {
        const auto edges = [&](double stopband) {
            return FIR::bandEdges(s.snrDb, s.minTransitionHz, s.aliasGuardBand, s.basebandMax,
                                  stopband, fsIn, fsOut);
        };
        // A rounding apart is not lowered (16384.1 - 500 falls just under 15884.1).
        const double lowered = edges(s.stopbandMin).basebandMax;
        if (lowered < edges(std::numeric_limits<double>::infinity()).basebandMax * (1 - 1e-12))
            return lowered;
    } catch (const std::invalid_argument&) {
        // Settings no filter meets: the chain says why.
    }
    return std::nullopt;
}

Audio::Stream::Wrapper<::Stream::iVOver> makeResamplingChain(
    Audio::Stream::Wrapper<::Stream::iVOver> input, ResamplingSettings settings, float fsOut,
    const StageInsert& afterFFT) {
    if (!(settings.speed > 0) || !std::isfinite(settings.speed))
        throw std::invalid_argument("The speed must be a positive number");
    checkSettings(settings);

    // Same samples, declared taken at a rate `speed` times higher.
    Audio::Stream::Tag tag = input.tag();
    const float fsGiven = tag.format.sampleRate;
    const double fsInExact = double(fsGiven) * settings.speed;
    const float fsIn = static_cast<float>(fsInExact);
    if (!(fsIn > 0) || !std::isfinite(fsIn))
        throw std::invalid_argument("The speed puts the input rate out of range");
    tag.format.sampleRate = fsIn;
    input.setTag(tag);

    const ResamplingPlan plan = planResampling(fsIn, settings, fsOut);
    auto first = makeFFTStage(std::move(input), plan, settings, plan.exponent);
    if (afterFFT) first = afterFFT(std::move(first));
    if (plan.path != ResamplingPlan::TwoStage) return first;

    // The first stage removed everything between T' and fs2 - T'; the
    // second only rejects the first image of [0, T'].
    const double fs2 = plan.intermediateRate;
    const double B = plan.basebandMax, T = plan.stopbandMin;
    const WidthSpec width{(fs2 - T - B) / fs2, FirstNull};
    const FIR::BandSpec band = FIR::BandSpec::lowpass((fs2 - T + B) / fs2);
    // plan.attenuation is A' = A + 7; the polyphase stage designs for A' + 18.
    constexpr unsigned kPolyphaseOverFFT = FIR::kMarginPolyphase - 7;
    try {
        return FIR::makePolyphaseStage(std::move(first), plan.attenuation + kPolyphaseOverFFT,
                                       width, 1.0, settings.syncOffset, band, fsOut,
                                       std::ldexp(fsInExact, plan.exponent));
    } catch (const FIR::RatioNeedsMorePhases& e) {
        // Told in the rates the user gave, not the first stage's.
        // Longer filters allow fewer phases, up to the table's size; at the most phases any
        // filter gets, only another ratio helps.
        const char* remedy = e.phases < FIR::kMaxPhases
                                 ? "a lower signal-to-noise target (shorter filters allow more "
                                   "phases, up to 262144) or a speed nearer a simple ratio may "
                                   "convert it"
                                 : "a speed nearer a simple ratio may convert it";
        static_assert(FIR::kMaxPhases == 262144);
        char text[320];
        std::snprintf(text, sizeof text,
                      "%.9g Hz%s to %.9g Hz cannot be converted exactly: the ratio needs more "
                      "than %u filter phases (%s)",
                      double(fsGiven), settings.speed == 1.0 ? "" : " at the speed asked",
                      double(fsOut), e.phases, remedy);
        throw std::invalid_argument(text);
    }
}

}  // namespace DSP
