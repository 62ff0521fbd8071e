#include "audio/format/ScaleDither.h"

#include <atomic>
#include <chrono>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "audio/format/KernelIsa.h"

namespace Audio {

namespace {

// 2^shift as a double; |shift| stays far inside the exponent range because
// scale exponents are 8-bit.
double gainOf(std::int32_t shift) {
    return std::ldexp(1.0, shift);
}

// scaleExponent with the reserved values (default, unspecified) read as
// the type's default.
std::int32_t scaleOf(const Format& f) {
    std::uint32_t s = f.scaleExponent();
    if (s == Format::kScaleDefault || s == Format::kScaleUnspecified) {
        s = f.isInteger() ? f.bytesPerSample() * 8 : 1;
    }
    return static_cast<std::int32_t>(s);
}

}  // namespace

ScaleDither<0, 0>::ScaleDither(std::int32_t s) : shift(s) {
    active = false;
}

void ScaleDither<0, 0>::process(const double* in, double* out, std::size_t n) {
    const double g = gainOf(shift);
    for (std::size_t k = 0; k < n; ++k) out[k] = in[k] * g;
}

std::uint64_t DitherSeed() {
    static std::atomic<std::uint64_t> serial{0};
    auto ticks = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return ticks ^ (serial.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ULL);
}

namespace {

// The kernels: out[k] = x[k] * g plus the dither of stream sample `index` + k,
// for n samples (out may be x). Words come from the counters z = key + (index + k + 1) *
// kGamma; the vector kernels hold one counter per lane and leave the tail to
// the portable one. Only exact operations are involved besides x * g and the
// final sum, which every set rounds alike (no fused multiply-add).
using Kernel = void (*)(const double* x, double* out, std::size_t n, double g, std::uint64_t key,
                        std::uint64_t index);

void triangularPortable(const double* x, double* out, std::size_t n, double g, std::uint64_t key,
                        std::uint64_t index) {
    const DitherGenerator gen(key);
    for (std::size_t k = 0; k < n; ++k) out[k] = x[k] * g + TriangularOf(gen.at(index + k));
}

// Rectangular dither of word w for value x (already scaled), binade exponent e (biased, > 0):
// the signed low 32 bits times 2^(e - 1023 - 55), below half a float ulp; binades where
// that underflows get none (they round to zero as floats anyway).
inline double rectangularOf(std::uint64_t w, std::uint64_t e) {
    const auto c = static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(w)));
    return c * __builtin_bit_cast(double, e > 55 ? (e - 55) << 52 : std::uint64_t{0});
}

void rectangularPortable(const double* x, double* out, std::size_t n, double g, std::uint64_t key,
                         std::uint64_t index) {
    const DitherGenerator gen(key);
    for (std::size_t k = 0; k < n; ++k) {
        const double v = x[k] * g;
        const std::uint64_t e = (__builtin_bit_cast(std::uint64_t, v) >> 52) & 0x7FF;
        out[k] = e == 0 ? v : v + rectangularOf(gen.at(index + k), e);  // zeros, denormals kept
    }
}

#if defined(__x86_64__)

// 3 x 2^20 as a bit pattern: adding an integer |d| < 2^31 to it gives the
// double 3 x 2^20 + d x 2^-31 (that binade's ulp is 2^-31).
constexpr long long kMagicTri = 0x4148000000000000LL;
constexpr double kMagicTriValue = 3145728.0;

// 64-bit lanes times a constant, low halves: z * c = lo(z) lo(c) + (hi(z) lo(c) + lo(z) hi(c)) 2^32.
[[gnu::target("avx2")]] inline __m256i mulConst(__m256i z, std::uint64_t c) {
    const __m256i cLo = _mm256_set1_epi64x(static_cast<long long>(c & 0xFFFFFFFFu));
    const __m256i cHi = _mm256_set1_epi64x(static_cast<long long>(c >> 32));
    const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(z, 32), cLo),
                                           _mm256_mul_epu32(z, cHi));
    return _mm256_add_epi64(_mm256_mul_epu32(z, cLo), _mm256_slli_epi64(cross, 32));
}

[[gnu::target("avx2")]] inline __m256i mixAvx2(__m256i z) {
    z = mulConst(_mm256_xor_si256(z, _mm256_srli_epi64(z, 30)), 0xBF58476D1CE4E5B9ULL);
    z = mulConst(_mm256_xor_si256(z, _mm256_srli_epi64(z, 27)), 0x94D049BB133111EBULL);
    return _mm256_xor_si256(z, _mm256_srli_epi64(z, 31));
}

// Counters of the four samples from `index` on.
[[gnu::target("avx2")]] inline __m256i countersAvx2(std::uint64_t key, std::uint64_t index) {
    const std::uint64_t g = DitherGenerator::kGamma, z = key + (index + 1) * g;
    return _mm256_set_epi64x(static_cast<long long>(z + 3 * g), static_cast<long long>(z + 2 * g),
                             static_cast<long long>(z + g), static_cast<long long>(z));
}

[[gnu::target("avx2")]] void triangularAvx2(const double* x, double* out, std::size_t n, double g,
                                            std::uint64_t key, std::uint64_t index) {
    __m256i z = countersAvx2(key, index);
    const __m256i step = _mm256_set1_epi64x(static_cast<long long>(4 * DitherGenerator::kGamma));
    const __m256i low31 = _mm256_set1_epi64x(0x7FFFFFFF);
    const __m256i magic = _mm256_set1_epi64x(kMagicTri);
    const __m256d magicValue = _mm256_set1_pd(kMagicTriValue), gain = _mm256_set1_pd(g);
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256i w = mixAvx2(z);
        z = _mm256_add_epi64(z, step);
        const __m256i d = _mm256_sub_epi64(_mm256_and_si256(w, low31),
                                           _mm256_and_si256(_mm256_srli_epi64(w, 32), low31));
        const __m256d dither =
            _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(d, magic)), magicValue);
        _mm256_storeu_pd(out + k,
                         _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(x + k), gain), dither));
    }
    triangularPortable(x + k, out + k, n - k, g, key, index + k);
}

[[gnu::target("avx2")]] void rectangularAvx2(const double* x, double* out, std::size_t n, double g,
                                             std::uint64_t key, std::uint64_t index) {
    __m256i z = countersAvx2(key, index);
    const __m256i step = _mm256_set1_epi64x(static_cast<long long>(4 * DitherGenerator::kGamma));
    const __m256i exponent = _mm256_set1_epi64x(0x7FF), below = _mm256_set1_epi64x(55);
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF), sign = _mm256_set1_epi64x(0x80000000);
    const __m256i two52 = _mm256_set1_epi64x(0x4330000000000000LL);
    const __m256d bias = _mm256_set1_pd(4503601774854144.0);  // 2^52 + 2^31
    const __m256d gain = _mm256_set1_pd(g);
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256i w = mixAvx2(z);
        z = _mm256_add_epi64(z, step);
        const __m256d v = _mm256_mul_pd(_mm256_loadu_pd(x + k), gain);
        const __m256i e =
            _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(v), 52), exponent);
        const __m256i scale = _mm256_and_si256(
            _mm256_slli_epi64(_mm256_sub_epi64(e, below), 52), _mm256_cmpgt_epi64(e, below));
        // The signed low half c as 2^52 + (c + 2^31), less the bias.
        const __m256i biased = _mm256_or_si256(
            two52, _mm256_xor_si256(_mm256_and_si256(w, low32), sign));
        const __m256d c = _mm256_sub_pd(_mm256_castsi256_pd(biased), bias);
        const __m256d sum = _mm256_add_pd(v, _mm256_mul_pd(c, _mm256_castsi256_pd(scale)));
        const __m256d keep = _mm256_castsi256_pd(_mm256_cmpeq_epi64(e, _mm256_setzero_si256()));
        _mm256_storeu_pd(out + k, _mm256_blendv_pd(sum, v, keep));
    }
    rectangularPortable(x + k, out + k, n - k, g, key, index + k);
}

#define TESSIVAL_AVX512 gnu::target("avx512f,avx512dq")

// Shifts are written zero-masked with every lane set: the plain forms start from an
// undefined vector that GCC 12 reports as maybe uninitialised.
constexpr __mmask8 kAll = 0xFF;

[[TESSIVAL_AVX512]] inline __m512i mixAvx512(__m512i z) {
    z = _mm512_mullo_epi64(_mm512_xor_si512(z, _mm512_maskz_srli_epi64(kAll, z, 30)),
                           _mm512_set1_epi64(static_cast<long long>(0xBF58476D1CE4E5B9ULL)));
    z = _mm512_mullo_epi64(_mm512_xor_si512(z, _mm512_maskz_srli_epi64(kAll, z, 27)),
                           _mm512_set1_epi64(static_cast<long long>(0x94D049BB133111EBULL)));
    return _mm512_xor_si512(z, _mm512_maskz_srli_epi64(kAll, z, 31));
}

[[TESSIVAL_AVX512]] inline __m512i countersAvx512(std::uint64_t key, std::uint64_t index) {
    const std::uint64_t g = DitherGenerator::kGamma, z = key + (index + 1) * g;
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    return _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(z)),
                            _mm512_mullo_epi64(lane, _mm512_set1_epi64(static_cast<long long>(g))));
}

[[TESSIVAL_AVX512]] void triangularAvx512(const double* x, double* out, std::size_t n, double g,
                                          std::uint64_t key, std::uint64_t index) {
    __m512i z = countersAvx512(key, index);
    const __m512i step = _mm512_set1_epi64(static_cast<long long>(8 * DitherGenerator::kGamma));
    const __m512i low31 = _mm512_set1_epi64(0x7FFFFFFF), magic = _mm512_set1_epi64(kMagicTri);
    const __m512d magicValue = _mm512_set1_pd(kMagicTriValue), gain = _mm512_set1_pd(g);
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m512i w = mixAvx512(z);
        z = _mm512_add_epi64(z, step);
        const __m512i d = _mm512_sub_epi64(_mm512_and_si512(w, low31),
                                           _mm512_and_si512(_mm512_maskz_srli_epi64(kAll, w, 32), low31));
        const __m512d dither =
            _mm512_sub_pd(_mm512_castsi512_pd(_mm512_add_epi64(d, magic)), magicValue);
        _mm512_storeu_pd(out + k,
                         _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(x + k), gain), dither));
    }
    triangularPortable(x + k, out + k, n - k, g, key, index + k);
}

[[TESSIVAL_AVX512]] void rectangularAvx512(const double* x, double* out, std::size_t n, double g,
                                           std::uint64_t key, std::uint64_t index) {
    __m512i z = countersAvx512(key, index);
    const __m512i step = _mm512_set1_epi64(static_cast<long long>(8 * DitherGenerator::kGamma));
    const __m512i exponent = _mm512_set1_epi64(0x7FF), below = _mm512_set1_epi64(55);
    const __m512d gain = _mm512_set1_pd(g);
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m512i w = mixAvx512(z);
        z = _mm512_add_epi64(z, step);
        const __m512d v = _mm512_mul_pd(_mm512_loadu_pd(x + k), gain);
        const __m512i e =
            _mm512_and_si512(_mm512_maskz_srli_epi64(kAll, _mm512_castpd_si512(v), 52), exponent);
        const __mmask8 big = _mm512_cmpgt_epi64_mask(e, below);
        const __m512i scale = _mm512_maskz_slli_epi64(big, _mm512_sub_epi64(e, below), 52);
        // The signed low half: shifted to the top and back, then converted.
        const __m512d c = _mm512_cvtepi64_pd(_mm512_maskz_srai_epi64(kAll, _mm512_maskz_slli_epi64(kAll, w, 32), 32));
        const __mmask8 normal = _mm512_test_epi64_mask(e, e);
        const __m512d sum = _mm512_add_pd(v, _mm512_mul_pd(c, _mm512_castsi512_pd(scale)));
        _mm512_storeu_pd(out + k, _mm512_mask_blend_pd(normal, v, sum));
    }
    rectangularPortable(x + k, out + k, n - k, g, key, index + k);
}

#undef TESSIVAL_AVX512

constexpr Kernel kTriangular[] = {&triangularPortable, &triangularAvx2, &triangularAvx512};
constexpr Kernel kRectangular[] = {&rectangularPortable, &rectangularAvx2, &rectangularAvx512};

#else

constexpr Kernel kTriangular[] = {&triangularPortable, &triangularPortable, &triangularPortable};
constexpr Kernel kRectangular[] = {&rectangularPortable, &rectangularPortable,
                                   &rectangularPortable};

#endif

}  // namespace

ScaleDither<1, 0>::ScaleDither(std::int32_t s, std::uint64_t seed)
    : DitherGenerator(seed), shift(s) {
    active = true;
}

void ScaleDither<1, 0>::process(const double* in, double* out, std::size_t n) {
    kTriangular[static_cast<int>(kernelIsa())](in, out, n, gainOf(shift), key, position);
    position += n;
}

ScaleDither<2, 4>::ScaleDither(std::int32_t s, std::uint64_t seed)
    : DitherGenerator(seed), shift(s) {
    active = true;
}

void ScaleDither<2, 4>::process(const double* in, double* out, std::size_t n) {
    kRectangular[static_cast<int>(kernelIsa())](in, out, n, gainOf(shift), key, position);
    position += n;
}

std::int32_t ScaleShift(const Format& in, const Format& out, bool downmix) {
    std::int32_t inScale = scaleOf(in);
    if (in.isInteger()) inScale += static_cast<std::int32_t>(in.paddingBits());
    return scaleOf(out) - inScale - (downmix ? 1 : 0);
}

std::uint64_t SeedFromNumber(std::uint64_t number) {
    return DitherGenerator::Mix(number + DitherGenerator::kGamma);
}

sptr<iScaleDither> SelectScaleDither(const Format& in, const Format& out, bool downmix,
                                     std::uint64_t seed) {
    std::int32_t shift = ScaleShift(in, out, downmix);
    if (out.isInteger() && (in.isFloat() || scaleOf(out) < scaleOf(in))) {
        return std::make_unique<ScaleDither<1, 0>>(shift, seed);
    }
    if (!out.isInteger() && in.isFloat() && out.bytesPerSample() < in.bytesPerSample()) {
        return std::make_unique<ScaleDither<2, 4>>(shift, seed);
    }
    if (shift != 0) return std::make_unique<ScaleDither<0, 0>>(shift);
    return nullptr;
}

}  // namespace Audio
