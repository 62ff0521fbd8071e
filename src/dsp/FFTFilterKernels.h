#pragma once

// Internal to the FFT filter: the spectrum and block loops of the
// single-channel path, in a portable, an AVX2 and an AVX-512 build, the set
// in force (dsp/fft/Isa.h) chosen per call. Complex arrays are interleaved
// (re, im) doubles. (The pairs' loops are in dsp/fft/SplitFFT.h.)
#include <cstddef>
#include <cstdint>

#include "dsp/fft/Complex.h"

namespace DSP::detail {

struct FilterKernels {
    // dst[k] = a[k] b[k], k < n; dst may be a.
    void (*multiply)(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                     std::size_t n);
    // dst[k] = conj(a[-k]) b[k], k < n: a is read backwards from a[0].
    void (*multiplyMirrored)(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                             std::size_t n);
    // x[j] += conj(x[s - j]) for j = 0 .. s/2 (keeping every second sample).
    void (*fold)(Math::complex* x, std::uint32_t s);
    // b[i] += tail[i]; tail[i] = next[i], i < n (next, b and tail disjoint).
    void (*overlapAdd)(double* b, double* tail, const double* next, std::size_t n);
};

// The loops of the set in force.
const FilterKernels& filterKernels();

}  // namespace DSP::detail
