#pragma once

// FIR design: band edges from the user's filter settings, the Kaiser window
// recipe, and the coefficient generator of the FFT convolution stage.
//
// Units: settings and rates in Hz; transition widths and band records in
// cycles per sample at the rate named (the design rate is the lower of a
// stage's two rates, the filter rate the higher).
#include <functional>

#include "base/sptr.h"
#include "dsp/BandSpec.h"
#include "dsp/Window.h"
#include "dsp/fft/FFT.h"

namespace DSP::FIR {

// Attenuation margins (dB) added to the target by each kind of stage.
constexpr unsigned kMarginFFTSingleStage = 12;
constexpr unsigned kMarginFFTTwoStage = 12 + 7;
constexpr unsigned kMarginPolyphase = 7 + 18;
constexpr unsigned kMaxSnrDb = 324;

struct BandEdges {
    double basebandMax;  // B', Hz: end of the pass band
    double stopbandMin;  // T', Hz: start of the stop band
    unsigned snrDb;      // A = min(snrDb, 324)
};

// The band edges of one conversion from input rate fsIn (after the speed
// change) to fsOut. basebandMax and stopbandMin are +infinity when unset.
// Guarantees stopbandMin - basebandMax >= minTransitionHz and
// basebandMax > 0. Throws std::invalid_argument for rates that are not
// positive, a NaN edge, or edges that leave no pass band (a stop band, or half
// the lower rate, not above the minimum transition width).
BandEdges bandEdges(unsigned snrDb, unsigned minTransitionHz, bool aliasGuardBand,
                    double basebandMax, double stopbandMin, double fsIn, double fsOut);

enum class LengthPolicy {
    Even,     // FFT stage: integerLength(Even)
    Ceiling,  // polyphase stage: ceil(length)
};

// Steps 1-4 of the recipe: a Kaiser window for attenuationDb (margin
// included) whose main lobe spans transitionWidth, made an integer number of
// samples long without changing that width. Scale 1; callers scale it with
// withPeak(band amplitude) and withGain(stage gain).
sptr<Window> designWindow(unsigned attenuationDb, double transitionWidth, LengthPolicy policy);

// Writes the kernel's transform (M/2 + 1 bins for an M-point transform),
// scaled by gain, and returns the kernel's delay in filter-rate samples.
using KernelGenerator =
    std::function<unsigned(const OOURA::FFT::R2C&, Math::complex* spectrum, double gain)>;

// Coefficient generator of an FFT stage: the band and window at the filter
// rate, `taps` coefficients (odd) centred on the window.
struct BandpassGen : BandSpec {
    sptr<Window> window;  // Kaiser, lengths in filter-rate samples
    unsigned taps = 0;
    double start = 0.0;  // -(taps - 1) / 2: first tap relative to the centre

    // From the band record and the window (designWindow, Even) at the design
    // rate of a stage with power-of-two exponent e: both are carried to the
    // filter rate, 2^|e| times higher.
    BandpassGen(const BandSpec& atDesignRate, const Window& designRateWindow, int exponent);

    // Samples window * kernel (peak = amplitude, times gain) into the
    // spectrum buffer viewed as fft.n doubles, transforms it in place and
    // returns (taps - 1) / 2. Throws std::length_error when the taps do not
    // fit the transform.
    unsigned operator()(const OOURA::FFT::R2C& fft, Math::complex* spectrum, double gain) const;

    // The generator as a copyable function object (shares this record).
    static KernelGenerator bind(BandpassGen gen);
};

}  // namespace DSP::FIR
