#pragma once

// The ideal band-pass kernel that every FIR filter windows:
//   k(x) = sin(sincOmega x) / (sincOmega x) * cos(cosineOmega x),
// x in samples from the filter centre. Frequencies are in cycles per sample at
// the rate the filter runs at.
#include <cstdint>

namespace DSP::FIR {

struct BandSpec {
    double centre = 0.0;  // centre of the pass band; 0 for a low-pass
    std::uint32_t reserved0 = 0;
    double bandwidth = 0.0;  // two-sided width; 2 fc for a low-pass with cutoff fc
    std::uint32_t reserved1 = 0;
    double cosineOmega = 0.0;  // 2 pi centre
    double sincOmega = 0.0;    // pi bandwidth
    double amplitude = 0.0;    // bandwidth: the ideal response at its centre

    // The record of a pass band of `bandwidth` around `centre`.
    static BandSpec make(double centre, double bandwidth) {
        constexpr double pi = 3.141592653589793;
        BandSpec b;
        b.centre = centre;
        b.bandwidth = bandwidth;
        b.cosineOmega = 2.0 * pi * centre;
        b.sincOmega = pi * bandwidth;
        b.amplitude = bandwidth;
        return b;
    }
    static BandSpec lowpass(double bandwidth) { return make(0.0, bandwidth); }

    // The same band measured at a rate `factor` times higher.
    BandSpec atHigherRate(double factor) const { return make(centre / factor, bandwidth / factor); }
};

}  // namespace DSP::FIR
