#pragma once

// Real-input FFT of power-of-two sizes.
//
// Conventions (kept by every function here):
// - Sign: X[k] = sum_j a[j] * exp(+2 pi i j k / n).
// - Packed layout of the raw transform `rdft` on n doubles: a[0] = Re X[0],
//   a[1] = Re X[n/2], and a[2k], a[2k+1] = Re, Im X[k] for 0 < k < n/2.
// - The inverse is unscaled: forward then inverse multiplies the data by n/2.
// - Tables: `ip` holds 2 + 2^floor((log2 n - 1) / 2) ints (3 for n = 1) and
//   `w` n/2 doubles. ip[0] == 0 marks tables not yet built; the transform
//   builds them on its first call.
#include <cstddef>
#include <memory>

#include "dsp/fft/Complex.h"

namespace OOURA::FFT {

// Raw transform in the packed layout. direction +1 forward, -1 inverse.
// n must be a power of two; ip and w must have the sizes above. Builds the
// tables when ip[0] does not say they were built for n (not thread-safe for
// tables shared between threads; the instances of R2C::ForSize are prebuilt).
void rdft(int n, int direction, double* a, int* ip, double* w);

// k with its lowest `bits` bits in reverse order.
std::size_t bitReversed(std::size_t k, unsigned bits);

// Number of ints of `ip` and doubles of `w` that size n needs.
std::size_t ipSize(int n);
std::size_t wSize(int n);

class Base {
public:
    // Requested transform larger than 2^23 points.
    struct TooBig {};

    // Allocates the tables for size n (a power of two), unbuilt.
    explicit Base(int n);
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;

    // Builds the tables now (rdft would do it on first use).
    void buildTables();

    // The raw transform with this instance's tables (see rdft).
    void transform(int direction, double* a) const { rdft(n, direction, a, ip.get(), w.get()); }

    struct AlignedFree {
        void operator()(double* p) const;
    };

    const int n;
    const std::unique_ptr<int[]> ip;
    const std::unique_ptr<double[], AlignedFree> w;
};

class R2C : public Base {
public:
    using Base::Base;

    // The process-wide instance of size 2^ceil(log2 m) (m <= 1 gives size 1),
    // tables built. Thread-safe; the instance lives until process exit.
    // Throws Base::TooBig above 2^23.
    static const R2C& ForSize(std::size_t m);

    // dest: n/2 + 1 bins X[0] .. X[n/2] (imaginary parts of X[0] and X[n/2]
    // zero); src: n doubles. dest may be the same memory as src (then it
    // must hold n + 2 doubles; for n = 1 it holds 2).
    void Forward(Math::complex* dest, const double* src) const;

    // dest: n doubles; src: n/2 + 1 bins, the imaginary parts of src[0] and
    // src[n/2] ignored. In-place allowed. Unscaled (see above).
    void Inverse(double* dest, const Math::complex* src) const;
};

}  // namespace OOURA::FFT
