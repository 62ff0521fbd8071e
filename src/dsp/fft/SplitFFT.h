#pragma once

// Complex FFT of power-of-two sizes on split arrays (real parts in one array,
// imaginary parts in another), for fast convolution of two real channels in
// one transform: channel a as the real parts, channel b as the imaginary
// parts. The bins stay in bit-reversed order (bin k at index
// OOURA::FFT::bitReversed(k, log2 N)), so no permutation pass is run; in
// that order imaging by 2^e repeats every bin 2^e times in a row and
// folding adds runs of 2^e neighbours, which the spectrum products below do.
//
// Sign +1 forward, -1 inverse, unscaled: forward then inverse multiplies
// by N. Every instruction set gives the same bits.
#include <cstddef>
#include <memory>

#include "dsp/fft/FFT.h"
#include "dsp/fft/Overlap.h"

namespace OOURA::FFT {

class Split {
public:
    // The process-wide instance of 2^ceil(log2 m) points (m <= 1 gives 1),
    // tables built. Thread-safe; lives until process exit. Throws
    // Base::TooBig above 2^23.
    static const Split& ForSize(std::size_t m);

    // Builds the tables for N points (a power of two).
    explicit Split(std::size_t N);
    Split(const Split&) = delete;
    Split& operator=(const Split&) = delete;

    std::size_t size() const { return N_; }
    // The twiddle table the kernels take (for tests that run kernel builds directly).
    const double* table() const { return w_.get(); }

    // Natural order to bins in bit-reversed order, in place. (The arrays are
    // best 64-byte aligned: loads that split cache lines cost much more.)
    void forward(double* re, double* im) const;
    // Bins in bit-reversed order to natural order, in place, or delivered
    // where `to` says (the arrays then hold intermediate values).
    void inverse(double* re, double* im, const Overlap* to = nullptr) const;
    // The same on the product of the first N/f bins imaged by f (a power of
    // two) with the spectrum K = (kr, ki) of N bins: on z[k] = z[k / f] K[k]
    // (see imageMultiply). Products and transform in one sweep for f = 1, 2.
    void imageInverse(double* re, double* im, const double* kr, const double* ki, std::size_t f,
                      const Overlap* to = nullptr) const;

    // Fast convolution in one call: z = inverse(forward(z) K), with K = (kr,
    // ki) given in the order of convolutionIndex, not in bit-reversed order.
    // The forward steps, product and inverse steps of each part of the
    // arrays run while it is in cache; the result has the bits of forward,
    // multiply and inverse (delivered where `to` says, as by inverse).
    void convolve(double* re, double* im, const double* kr, const double* ki,
                  const Overlap* to = nullptr) const;
    // Where bin k goes in the spectrum convolve takes.
    std::size_t convolutionIndex(std::size_t k) const;

    // Products with a spectrum K = (kr, ki) in the same order, in place on
    // z = (re, im):
    // z[k] = z[k] K[k] for k < n.
    static void multiply(double* re, double* im, const double* kr, const double* ki, std::size_t n);
    // Imaging by f: z[r f + t] = z[r] K[r f + t] for r < n, t < f.
    static void imageMultiply(double* re, double* im, const double* kr, const double* ki,
                              std::size_t n, std::size_t f);
    // Folding by f: z[r] = sum over t < f of z[r f + t] K[r f + t], r < n.
    static void foldMultiply(double* re, double* im, const double* kr, const double* ki,
                             std::size_t n, std::size_t f);

private:
    std::size_t N_;
    std::unique_ptr<double[], Base::AlignedFree> w_;
};

}  // namespace OOURA::FFT
