#include "dsp/fft/SplitFFT.h"

#include <bit>
#include <memory>
#include <new>

#include "dsp/fft/Isa.h"
#include "dsp/fft/Kernels.h"
#include "dsp/fft/SizeCache.h"

namespace OOURA::FFT {

namespace {

struct SplitKernels {
    decltype(&detail::generic::splitForward) forward;
    decltype(&detail::generic::splitInverse) inverse;
    decltype(&detail::generic::splitImageInverse) imageInverse;
    decltype(&detail::generic::splitConvolve) convolve;
    decltype(&detail::generic::splitMultiply) multiply;
    decltype(&detail::generic::splitImageMultiply) image;
    decltype(&detail::generic::splitFoldMultiply) fold;
};

#define TESSIVAL_SPLIT_SET(ns)                                                                    \
    SplitKernels {                                                                                \
        detail::ns::splitForward, detail::ns::splitInverse, detail::ns::splitImageInverse,        \
            detail::ns::splitConvolve, detail::ns::splitMultiply, detail::ns::splitImageMultiply, \
            detail::ns::splitFoldMultiply                                                         \
    }

// Per instruction set, in Isa order.
constexpr SplitKernels kKernels[DSP::kIsaCount] = {
    TESSIVAL_SPLIT_SET(generic),
#ifdef TESSIVAL_FFT_HAVE_AVX2
    TESSIVAL_SPLIT_SET(avx2),
    TESSIVAL_SPLIT_SET(avx512),
#else
    TESSIVAL_SPLIT_SET(generic),
    TESSIVAL_SPLIT_SET(generic),
#endif
};

const SplitKernels& kernels() {
    return DSP::forActiveIsa(kKernels);
}

}  // namespace

#undef TESSIVAL_SPLIT_SET

Split::Split(std::size_t N)
    : N_(N),
      w_(static_cast<double*>(
          ::operator new[](detail::splitTableSize(N) * sizeof(double), std::align_val_t{64}))) {
    double* w = w_.get();
    if (N < 64) {
        for (std::size_t j = 0; j < N / 2; ++j) detail::twiddle(j, N, w[2 * j], w[2 * j + 1]);
        return;
    }
    for (std::size_t L = N; L >= 32; L /= 4) {
        double* t = w + detail::splitPassOffset(N, L);
        const std::size_t stride = N / L;
        const std::size_t powers = L == N ? 1 : 3;
        for (std::size_t j = 0; j < L / 4; ++j) {
            double* g = t + 16 * powers * (j / 8) + j % 8;
            for (std::size_t k = 1; k <= powers; ++k)
                detail::twiddle(k * j * stride, N, g[16 * (k - 1)], g[16 * (k - 1) + 8]);
        }
    }
    double* t = w + detail::splitPassOffset(N, 16);
    for (std::size_t j = 0; j < 8; ++j) detail::twiddle(j * (N / 16), N, t[j], t[8 + j]);
}

const Split& Split::ForSize(std::size_t m) {
    return detail::cachedForSize<Split>(m,
                                        [](std::size_t n) { return std::make_unique<Split>(n); });
}

void Split::forward(double* re, double* im) const {
    kernels().forward(N_, re, im, w_.get());
}

void Split::inverse(double* re, double* im, const Overlap* to) const {
    kernels().inverse(N_, re, im, w_.get(), to);
}

void Split::imageInverse(double* re, double* im, const double* kr, const double* ki, std::size_t f,
                         const Overlap* to) const {
    kernels().imageInverse(N_, re, im, kr, ki, f, w_.get(), to);
}

void Split::convolve(double* re, double* im, const double* kr, const double* ki,
                     const Overlap* to) const {
    kernels().convolve(N_, re, im, kr, ki, w_.get(), to);
}

std::size_t Split::convolutionIndex(std::size_t k) const {
    const std::size_t p = bitReversed(k, static_cast<unsigned>(std::countr_zero(N_)));
    if (N_ < 64) return p;
    const std::size_t o = p & 63;  // 8 g + k within its block of 64
    return (p - o) + 8 * (o & 7) + (o >> 3);
}

void Split::multiply(double* re, double* im, const double* kr, const double* ki, std::size_t n) {
    kernels().multiply(re, im, kr, ki, n);
}

void Split::imageMultiply(double* re, double* im, const double* kr, const double* ki, std::size_t n,
                          std::size_t f) {
    kernels().image(re, im, kr, ki, n, f);
}

void Split::foldMultiply(double* re, double* im, const double* kr, const double* ki, std::size_t n,
                         std::size_t f) {
    kernels().fold(re, im, kr, ki, n, f);
}

}  // namespace OOURA::FFT
