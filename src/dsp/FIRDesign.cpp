#include "dsp/FIRDesign.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace DSP::FIR {

BandEdges bandEdges(unsigned snrDb, unsigned minTransitionHz, bool aliasGuardBand,
                    double basebandMax, double stopbandMin, double fsIn, double fsOut) {
    if (!(fsIn > 0.0) || !(fsOut > 0.0) || !std::isfinite(fsIn) || !std::isfinite(fsOut)) {
        throw std::invalid_argument("sample rates must be positive");
    }
    if (std::isnan(basebandMax) || std::isnan(stopbandMin)) {
        throw std::invalid_argument("filter band edges must be numbers");
    }
    const double m = fsIn <= fsOut ? fsIn : fsOut;
    const double t0 = std::min(stopbandMin, m / 2);
    const double b = std::min(basebandMax, t0 - minTransitionHz);
    // A pass-band edge of 0 keeps DC alone (everything else falls in the transition band, a
    // 300 Hz tone at 1000 Hz came out 19 dB down); a negative one would flip the filter's sign
    // below -T': such settings cannot be met.
    if (!(b > 0.0)) {
        // Said in what the user chose: a stop band, or a rate too low for the filters.
        char text[200];
        if (stopbandMin < m / 2)
            std::snprintf(text, sizeof text,
                          "filter settings leave no pass band (a stop band of %g Hz is not "
                          "above the minimum transition width of %u Hz)",
                          stopbandMin, minTransitionHz);
        else
            std::snprintf(text, sizeof text,
                          "a rate of %g Hz (after any speed change) is too low for the filters: "
                          "half of it is not above their minimum transition width of %u Hz",
                          m, minTransitionHz);
        throw std::invalid_argument(text);
    }
    const double limit = aliasGuardBand ? m - b : m / 2;
    return {b, std::min(stopbandMin, limit), std::min(snrDb, kMaxSnrDb)};
}

sptr<Window> designWindow(unsigned attenuationDb, double transitionWidth, LengthPolicy policy) {
    const sptr<Window> w1 = kaiserWindows->create(attenuationDb);
    const sptr<Window> w2 = w1->forWidth({transitionWidth, FirstNull});
    const unsigned n = w2->integerLength(policy == LengthPolicy::Even ? Even : 0u);
    return w2->adjust(FirstNull, n);
}

BandpassGen::BandpassGen(const BandSpec& atDesignRate, const Window& designRateWindow,
                         int exponent) {
    if (exponent < -30 || exponent > 30) throw std::invalid_argument("rate exponent out of range");
    const double f = std::ldexp(1.0, exponent < 0 ? -exponent : exponent);
    static_cast<BandSpec&>(*this) = atDesignRate.atHigherRate(f);
    window = designRateWindow.scaled(designRateWindow.stretch * f, designRateWindow.scale);
    const unsigned length = window->integerLength(0);
    if (length == 0) throw std::invalid_argument("filter window has no length");
    taps = (length - 1) | 1u;
    start = (1.0 - taps) * 0.5;
}

unsigned BandpassGen::operator()(const OOURA::FFT::R2C& fft, Math::complex* spectrum,
                                 double gain) const {
    double* a = reinterpret_cast<double*>(spectrum);
    const sptr<Window> w = window->withPeak(amplitude)->withGain(gain);
    w->sample(a, a + fft.n, *this, start, taps);
    fft.Forward(spectrum, a);
    return static_cast<unsigned>(std::lround(-start));
}

KernelGenerator BandpassGen::bind(BandpassGen gen) {
    auto shared = std::make_shared<const BandpassGen>(std::move(gen));
    return [shared](const OOURA::FFT::R2C& fft, Math::complex* spectrum, double gain) {
        return (*shared)(fft, spectrum, gain);
    };
}

}  // namespace DSP::FIR
