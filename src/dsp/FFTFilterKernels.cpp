#include "dsp/FFTFilterKernels.h"

#include <cstring>

#include "dsp/fft/Isa.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSIVAL_FFTFILTER_AVX2 1
#endif

namespace DSP::detail {

namespace {

void multiplyGeneric(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                     std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] = a[k] * b[k];
}

void multiplyMirroredGeneric(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                             std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] = Math::conj(*(a - k)) * b[k];
}

void foldGeneric(Math::complex* x, std::uint32_t s) {
    for (std::uint32_t j = 0; j <= s / 2; ++j) x[j] += Math::conj(x[s - j]);
}

void overlapAddGeneric(double* __restrict b, double* __restrict tail, const double* __restrict next,
                       std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) b[i] += tail[i];
    std::memcpy(tail, next, n * sizeof(double));
}

#ifdef TESSIVAL_FFTFILTER_AVX2
#define TESSIVAL_AVX2 __attribute__((target("avx2,fma")))

// Two complex products: (ar + i ai)(br + i bi) per 128-bit half.
TESSIVAL_AVX2 inline __m256d cmul(__m256d a, __m256d b) {
    const __m256d br = _mm256_movedup_pd(b);            // br br
    const __m256d bi = _mm256_permute_pd(b, 0xF);       // bi bi
    const __m256d swapped = _mm256_permute_pd(a, 0x5);  // ai ar
    return _mm256_fmaddsub_pd(a, br, _mm256_mul_pd(swapped, bi));
}

// conj of the two complex values in reverse order: loaded from p[-1], p[0].
TESSIVAL_AVX2 inline __m256d conjReversed(const Math::complex* p) {
    const __m256d sign = _mm256_setr_pd(0.0, -0.0, 0.0, -0.0);
    const __m256d v = _mm256_loadu_pd(reinterpret_cast<const double*>(p - 1));
    return _mm256_xor_pd(_mm256_permute2f128_pd(v, v, 0x01), sign);
}

TESSIVAL_AVX2 void multiplyAVX2(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                                std::size_t n) {
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m256d va = _mm256_loadu_pd(reinterpret_cast<const double*>(a + k));
        const __m256d vb = _mm256_loadu_pd(reinterpret_cast<const double*>(b + k));
        _mm256_storeu_pd(reinterpret_cast<double*>(dst + k), cmul(va, vb));
    }
    multiplyGeneric(dst + k, a + k, b + k, n - k);
}

TESSIVAL_AVX2 void multiplyMirroredAVX2(Math::complex* dst, const Math::complex* a,
                                        const Math::complex* b, std::size_t n) {
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m256d vb = _mm256_loadu_pd(reinterpret_cast<const double*>(b + k));
        _mm256_storeu_pd(reinterpret_cast<double*>(dst + k), cmul(conjReversed(a - k), vb));
    }
    multiplyMirroredGeneric(dst + k, a - k, b + k, n - k);
}

TESSIVAL_AVX2 void foldAVX2(Math::complex* x, std::uint32_t s) {
    // Pairs (j, j + 1) read (s - j, s - j - 1): both loads come before the
    // store, and nothing below j is read again.
    std::uint32_t j = 0;
    for (; j + 1 <= s / 2; j += 2) {
        double* d = reinterpret_cast<double*>(x + j);
        _mm256_storeu_pd(d, _mm256_add_pd(_mm256_loadu_pd(d), conjReversed(x + s - j)));
    }
    for (; j <= s / 2; ++j) x[j] += Math::conj(x[s - j]);
}

TESSIVAL_AVX2 void overlapAddAVX2(double* __restrict b, double* __restrict tail,
                                  const double* __restrict next, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) b[i] += tail[i];
    std::memcpy(tail, next, n * sizeof(double));
}

// AVX-512 form of the product. (Zero-masked
// intrinsics throughout: GCC 12 warns about the undefined source operand of
// the unmasked shuffles.)
#define TESSIVAL_AVX512 __attribute__((target("avx512f,avx2,fma")))

TESSIVAL_AVX512 inline __m512d cmul512(__m512d a, __m512d b) {
    const __m512d br = _mm512_maskz_movedup_pd(0xFF, b);
    const __m512d bi = _mm512_maskz_permute_pd(0xFF, b, 0xFF);
    const __m512d swapped = _mm512_maskz_permute_pd(0xFF, a, 0x55);
    return _mm512_fmaddsub_pd(a, br, _mm512_mul_pd(swapped, bi));
}

TESSIVAL_AVX512 void multiplyAVX512(Math::complex* dst, const Math::complex* a,
                                    const Math::complex* b, std::size_t n) {
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m512d va = _mm512_loadu_pd(reinterpret_cast<const double*>(a + k));
        const __m512d vb = _mm512_loadu_pd(reinterpret_cast<const double*>(b + k));
        _mm512_storeu_pd(reinterpret_cast<double*>(dst + k), cmul512(va, vb));
    }
    multiplyAVX2(dst + k, a + k, b + k, n - k);
}

#endif

}  // namespace

// Per instruction set, in Isa order. AVX-512 widens the product only.
constexpr FilterKernels kFilterKernels[kIsaCount] = {
    {multiplyGeneric, multiplyMirroredGeneric, foldGeneric, overlapAddGeneric},
#ifdef TESSIVAL_FFTFILTER_AVX2
    {multiplyAVX2, multiplyMirroredAVX2, foldAVX2, overlapAddAVX2},
    {multiplyAVX512, multiplyMirroredAVX2, foldAVX2, overlapAddAVX2},
#else
    {multiplyGeneric, multiplyMirroredGeneric, foldGeneric, overlapAddGeneric},
    {multiplyGeneric, multiplyMirroredGeneric, foldGeneric, overlapAddGeneric},
#endif
};

const FilterKernels& filterKernels() {
    return forActiveIsa(kFilterKernels);
}

}  // namespace DSP::detail
