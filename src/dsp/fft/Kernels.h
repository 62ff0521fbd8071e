#pragma once

// Internal to the FFT: the transform kernels, built once portably, once for
// AVX2 and once for AVX-512 (the set in force, dsp/fft/Isa.h, chosen per
// call), and the layout of the tables they share with the table builders.
//
// Complex part: the real transform of n points runs a complex transform of
// N = n/2 points on z[j] = a[2j] + i a[2j+1] (radix-4 decimation in frequency
// down to a 2-, 4-, 8- or 16-point leaf with constant twiddles, then a blocked
// bit-reversal permutation).
//
// Layout of `w` (N doubles):
// - [0, N/2): W_N^j = (cos, sin)(2 pi j / N) for j < N/4, interleaved. Used
//   by the first (length-N) pass and by the real post- and pre-processing.
// - then, for each later pass length L = N/4, N/16, ... >= 8 (the 8- and
//   16-point ones are built but the leaves use constants): for each pair
//   of indices j, j+1 < L/4, twelve doubles: W_L^j, W_L^(j+1), W_L^2j,
//   W_L^2(j+1), W_L^3j, W_L^3(j+1) (each as cos, sin).
// - the last two doubles: (cos, sin)(pi / N), the step between the odd bins
//   of the real processing. Always free (checked when the table is built).
// `ip` (2 + 2^floor(log2 N / 2) ints): ip[0] = n once built, ip[1] = log2 N,
// then the bit reversal of every index of floor(log2 N / 2) bits.
#include <cstddef>

#include "dsp/fft/Overlap.h"

namespace OOURA::FFT::detail {

// Offset in doubles of the table of pass length L (< N) in `w`.
static inline std::size_t passTableOffset(std::size_t N, std::size_t L) {
    std::size_t off = N / 2;
    for (std::size_t l = N / 4; l > L; l /= 4) off += 3 * l / 2;
    return off;
}

// Split-layout complex transforms (SplitKernelsImpl.inc) of N points: for
// N < 64 the table holds W_N^j = (cos, sin) interleaved for j < N/2; from 64
// on, for each radix-4 pass length L = N, N/4, ... >= 32 in turn, per group
// of eight indices j < L/4 the 48 doubles cos, sin of W_L^j, W_L^2j, W_L^3j
// (eight of each) -- for the first pass (L = N) only the 16 of W_N^j, the
// others formed from them --, then cos, sin of W_16^j, j < 8 (used when
// log2 N is even).
static inline std::size_t splitPassOffset(std::size_t N, std::size_t L) {
    std::size_t off = 0;
    for (std::size_t l = N; l > L && l >= 32; l /= 4) off += l == N ? l / 2 : 3 * l / 2;
    return off;
}
static inline std::size_t splitTableSize(std::size_t N) {
    return N < 64 ? N : splitPassOffset(N, 16) + 16;
}

// (cos, sin)(2 pi p / N) for 0 <= p < N, from the first octant.
void twiddle(std::size_t p, std::size_t N, double& c, double& s);

// Whole real transforms for n >= 4 with built tables, and the split
// transforms and spectrum products of SplitFFT.h; declared once per build.
#define TESSIVAL_FFT_KERNEL_DECLARATIONS                                                           \
    void forward(std::size_t n, double* a, const int* ip, const double* w);                        \
    void inverse(std::size_t n, double* a, const int* ip, const double* w);                        \
    void splitForward(std::size_t N, double* re, double* im, const double* w);                     \
    void splitInverse(std::size_t N, double* re, double* im, const double* w, const Overlap* to);  \
    void splitConvolve(std::size_t N, double* re, double* im, const double* kr, const double* ki,  \
                       const double* w, const Overlap* to);                                        \
    void splitImageInverse(std::size_t N, double* re, double* im, const double* kr,                \
                           const double* ki, std::size_t f, const double* w, const Overlap* to);   \
    void splitMultiply(double* re, double* im, const double* kr, const double* ki, std::size_t n); \
    void splitImageMultiply(double* re, double* im, const double* kr, const double* ki,            \
                            std::size_t n, std::size_t f);                                         \
    void splitFoldMultiply(double* re, double* im, const double* kr, const double* ki,             \
                           std::size_t n, std::size_t f);

namespace generic {
TESSIVAL_FFT_KERNEL_DECLARATIONS
}  // namespace generic

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TESSIVAL_FFT_HAVE_AVX2 1
namespace avx2 {
TESSIVAL_FFT_KERNEL_DECLARATIONS
}  // namespace avx2
namespace avx512 {
TESSIVAL_FFT_KERNEL_DECLARATIONS
}  // namespace avx512
#endif

// (TESSIVAL_FFT_KERNEL_DECLARATIONS stays defined: a test builds the kernels once more in a
// namespace of its own.)

}  // namespace OOURA::FFT::detail
