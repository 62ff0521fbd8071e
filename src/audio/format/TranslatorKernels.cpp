#include "audio/format/TranslatorKernels.h"

#include <array>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "audio/format/KernelIsa.h"

namespace Audio::Kernels {

namespace {

// Unaligned little-endian loads and stores; the compiler turns these into
// plain moves.
template <class T>
inline T load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
template <class T>
inline void store(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

inline std::uint16_t swapBytes(std::uint16_t v) {
    return __builtin_bswap16(v);
}
inline std::uint32_t swapBytes(std::uint32_t v) {
    return __builtin_bswap32(v);
}
inline std::uint64_t swapBytes(std::uint64_t v) {
    return __builtin_bswap64(v);
}

// ---- integers --------------------------------------------------------------

// Signed value of one W-byte integer sample (offset binary: minus the
// midpoint, wrapping within the width).
template <unsigned W, bool Offset, bool Swap>
inline std::int32_t loadInt(const std::uint8_t* p) {
    if constexpr (W == 1) {
        std::uint8_t v = p[0];
        if (Offset) v ^= 0x80;
        return static_cast<std::int8_t>(v);
    } else if constexpr (W == 2) {
        auto v = load<std::uint16_t>(p);
        if (Swap) v = swapBytes(v);
        if (Offset) v ^= 0x8000;
        return static_cast<std::int16_t>(v);
    } else if constexpr (W == 3) {
        std::uint32_t v = Swap ? (std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2])
                               : (p[0] | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16);
        if (Offset) v ^= 0x800000;
        return static_cast<std::int32_t>(v << 8) >> 8;
    } else {
        auto v = load<std::uint32_t>(p);
        if (Swap) v = swapBytes(v);
        if (Offset) v ^= 0x80000000u;
        return static_cast<std::int32_t>(v);
    }
}

// Stores the low W bytes of a container value (already offset if needed).
template <unsigned W, bool Swap>
inline void storeInt(std::uint8_t* p, std::uint32_t v) {
    if constexpr (W == 1) {
        p[0] = static_cast<std::uint8_t>(v);
    } else if constexpr (W == 2) {
        auto h = static_cast<std::uint16_t>(v);
        store(p, Swap ? swapBytes(h) : h);
    } else if constexpr (W == 3) {
        p[Swap ? 2 : 0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
        p[Swap ? 0 : 2] = static_cast<std::uint8_t>(v >> 16);
    } else {
        store(p, Swap ? swapBytes(v) : v);
    }
}

// p1 = low bits to clear (< 32), p2 = container bits (unused).
template <unsigned W, bool Offset, bool Swap>
void decodeInt(std::uint8_t* __restrict dst, const std::uint8_t* __restrict src, std::size_t n,
               std::uint32_t clearBits, std::uint32_t) {
    const std::int32_t mask = static_cast<std::int32_t>(~0u << clearBits);
    std::size_t i = 0;
    if constexpr (W == 3 && !Swap) {
        // Four packed 24-bit samples per round, as three 32-bit words; each
        // sample is moved to the top of a word and shifted back down signed.
        for (; i + 4 <= n; i += 4) {
            const std::uint8_t* s = src + 3 * i;
            const auto w0 = load<std::uint32_t>(s), w1 = load<std::uint32_t>(s + 4),
                       w2 = load<std::uint32_t>(s + 8);
            std::uint32_t u[4] = {w0 << 8, (w0 >> 16 | w1 << 16) & 0xFFFFFF00u,
                                  (w1 >> 8 | w2 << 24) & 0xFFFFFF00u, w2 & 0xFFFFFF00u};
            double d[4];
            for (int k = 0; k < 4; ++k) {
                if (Offset) u[k] ^= 0x80000000u;
                d[k] = static_cast<double>((static_cast<std::int32_t>(u[k]) >> 8) & mask);
            }
            std::memcpy(dst + 8 * i, d, sizeof d);
        }
    }
    for (; i < n; ++i) {
        store(dst + 8 * i, static_cast<double>(loadInt<W, Offset, Swap>(src + W * i) & mask));
    }
}

// Containers of 5 to 8 bytes (36- to 64-bit audio): the value is rounded to
// the nearest double (53 bits, far below any audible level). p1 = low bits
// to clear (< 64).
template <unsigned W, bool Offset, bool Swap>
void decodeWideInt(std::uint8_t* __restrict dst, const std::uint8_t* __restrict src,
                   std::size_t n, std::uint32_t clearBits, std::uint32_t) {
    constexpr unsigned kUnused = 64 - 8 * W;
    const std::uint64_t mask = ~std::uint64_t{0} << clearBits;
    for (std::size_t i = 0; i < n; ++i, src += W) {
        std::uint64_t u = 0;  // the sample in the top W bytes
        for (unsigned k = 0; k < W; ++k)
            u |= std::uint64_t{src[Swap ? W - 1 - k : k]} << (kUnused + 8 * k);
        if (Offset) u ^= std::uint64_t{1} << 63;
        const std::int64_t v = (static_cast<std::int64_t>(u) >> kUnused) & static_cast<std::int64_t>(mask);
        store(dst + 8 * i, static_cast<double>(v));
    }
}

// Round to nearest (ties to even) by adding 1.5 x 2^52: the sum's unit in
// the last place is 1, and its low bits are the rounded integer. Clipping
// compares the sums against the limits with the same constant added; a NaN
// fails both comparisons and takes the lower limit.
constexpr double kRound = 6755399441055744.0;

inline double clipLow(std::uint32_t clipBits) {
    return kRound - std::ldexp(1.0, static_cast<int>(clipBits) - 1);
}
inline double clipHigh(std::uint32_t clipBits) {
    return kRound + std::ldexp(1.0, static_cast<int>(clipBits) - 1) - 1.0;
}
inline std::uint32_t roundClip(double x, double lo, double hi) {
    double s = x + kRound;
    s = s > lo ? s : lo;
    s = s < hi ? s : hi;
    return static_cast<std::uint32_t>(__builtin_bit_cast(std::uint64_t, s));
}

// p1 = left shift into a padded container, p2 = clip bits (1..32).
template <unsigned W, bool Offset, bool Swap>
void encodeInt(std::uint8_t* __restrict dst, const std::uint8_t* __restrict src, std::size_t n,
               std::uint32_t shiftBits, std::uint32_t clipBits) {
    const double lo = clipLow(clipBits), hi = clipHigh(clipBits);
    constexpr std::uint32_t kFlip = Offset ? 1u << (8 * W - 1) : 0u;
    std::size_t i = 0;
    if constexpr (W == 3 && !Swap) {
        // Four samples per round, packed into three 32-bit words.
        for (; i + 4 <= n; i += 4) {
            std::uint32_t v[4];
            for (int k = 0; k < 4; ++k) {
                v[k] = (roundClip(load<double>(src + 8 * (i + k)), lo, hi) << shiftBits) ^ kFlip;
            }
            std::uint8_t* d = dst + 3 * i;
            store(d, (v[0] & 0xFFFFFFu) | v[1] << 24);
            store(d + 4, ((v[1] >> 8) & 0xFFFFu) | v[2] << 16);
            store(d + 8, ((v[2] >> 16) & 0xFFu) | v[3] << 8);
        }
    }
    for (; i < n; ++i) {
        std::uint32_t v = (roundClip(load<double>(src + 8 * i), lo, hi) << shiftBits) ^ kFlip;
        storeInt<W, Swap>(dst + W * i, v);
    }
}

// ---- floats ----------------------------------------------------------------

template <unsigned W, bool Swap>
void decodeFloat(std::uint8_t* __restrict dst, const std::uint8_t* __restrict src, std::size_t n,
                 std::uint32_t, std::uint32_t) {
    for (std::size_t i = 0; i < n; ++i) {
        double d;
        if constexpr (W == 4) {
            auto bits = load<std::uint32_t>(src + 4 * i);
            if (Swap) bits = swapBytes(bits);
            d = __builtin_bit_cast(float, bits);
        } else {
            auto bits = load<std::uint64_t>(src + 8 * i);
            if (Swap) bits = swapBytes(bits);
            d = __builtin_bit_cast(double, bits);
        }
        store(dst + 8 * i, d);
    }
}

template <unsigned W, bool Swap>
void encodeFloat(std::uint8_t* __restrict dst, const std::uint8_t* __restrict src, std::size_t n,
                 std::uint32_t, std::uint32_t) {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = load<double>(src + 8 * i);
        if constexpr (W == 4) {
            auto bits = __builtin_bit_cast(std::uint32_t, static_cast<float>(x));
            store(dst + 4 * i, Swap ? swapBytes(bits) : bits);
        } else {
            auto bits = __builtin_bit_cast(std::uint64_t, x);
            store(dst + 8 * i, Swap ? swapBytes(bits) : bits);
        }
    }
}

// ---- AVX2 integer kernels ---------------------------------------------------
//
// Eight samples per round, one 32-bit lane each, bit for bit as the portable
// loops above (which also take the tails). Decoding: two 16-byte loads hold
// four samples each; a byte shuffle puts every sample at the top of its lane
// (most significant byte highest), an arithmetic shift brings it down with
// its sign. Encoding: the rounding and clipping above on doubles, the low
// 32 bits of each sum gathered into lanes, shifted, offset, and packed into
// bytes by a shuffle. Loads and stores stay within the samples' bytes.

#if defined(__x86_64__)

// Lane shuffle for decoding: lane k takes sample k's W bytes into its top W
// bytes, the rest zero (-1 selects zero). Both 128-bit halves alike.
template <unsigned W, bool Swap>
constexpr std::array<std::int8_t, 32> toLanes() {
    std::array<std::int8_t, 32> t{};
    for (unsigned half = 0; half < 2; ++half) {
        for (unsigned k = 0; k < 4; ++k) {
            for (unsigned j = 0; j < 4; ++j) {
                // Lane byte j holds significance j - (4 - W) of the sample, if any.
                const int significance = static_cast<int>(j) - static_cast<int>(4 - W);
                const int from = significance < 0 ? -1
                                 : Swap           ? static_cast<int>(k * W + W - 1) - significance
                                                  : static_cast<int>(k * W) + significance;
                t[16 * half + 4 * k + j] = static_cast<std::int8_t>(from);
            }
        }
    }
    return t;
}

// Lane shuffle for encoding: the low W bytes of lanes 0-3 packed into the
// first 4W bytes, in the output byte order.
template <unsigned W, bool Swap>
constexpr std::array<std::int8_t, 32> fromLanes() {
    std::array<std::int8_t, 32> t{};
    for (auto& v : t) v = -1;
    for (unsigned half = 0; half < 2; ++half) {
        for (unsigned k = 0; k < 4; ++k) {
            for (unsigned b = 0; b < W; ++b) {
                const unsigned significance = Swap ? W - 1 - b : b;
                t[16 * half + W * k + b] = static_cast<std::int8_t>(4 * k + significance);
            }
        }
    }
    return t;
}

template <unsigned W, bool Offset, bool Swap>
[[gnu::target("avx2")]] void decodeIntAvx2(std::uint8_t* __restrict dst,
                                           const std::uint8_t* __restrict src, std::size_t n,
                                           std::uint32_t clearBits, std::uint32_t bits) {
    static constexpr std::array<std::int8_t, 32> kShuffle = toLanes<W, Swap>();
    const __m256i shuffle = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kShuffle.data()));
    const __m256i flip = _mm256_set1_epi32(Offset ? static_cast<int>(0x80000000u) : 0);
    const __m256i mask = _mm256_set1_epi32(static_cast<int>(~0u << clearBits));
    std::size_t i = 0;
    for (; W * i + 4 * W + 16 <= W * n; i += 8) {
        const std::uint8_t* s = src + W * i;
        const __m256i raw = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * W)), 1);
        __m256i v = _mm256_xor_si256(_mm256_shuffle_epi8(raw, shuffle), flip);
        v = _mm256_and_si256(_mm256_srai_epi32(v, 32 - 8 * W), mask);
        auto* d = reinterpret_cast<double*>(dst + 8 * i);
        _mm256_storeu_pd(d, _mm256_cvtepi32_pd(_mm256_castsi256_si128(v)));
        _mm256_storeu_pd(d + 4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)));
    }
    decodeInt<W, Offset, Swap>(dst + 8 * i, src + W * i, n - i, clearBits, bits);
}

template <unsigned W, bool Offset, bool Swap>
[[gnu::target("avx2")]] void encodeIntAvx2(std::uint8_t* __restrict dst,
                                           const std::uint8_t* __restrict src, std::size_t n,
                                           std::uint32_t shiftBits, std::uint32_t clipBits) {
    static constexpr std::array<std::int8_t, 32> kShuffle = fromLanes<W, Swap>();
    const __m256i shuffle = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kShuffle.data()));
    const __m256d round = _mm256_set1_pd(kRound);
    const __m256d lo = _mm256_set1_pd(clipLow(clipBits)), hi = _mm256_set1_pd(clipHigh(clipBits));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(shiftBits));
    const __m256i flip = _mm256_set1_epi32(Offset ? static_cast<int>(1u << (8 * W - 1)) : 0);
    // Bytes 0 to 4W - 1 of each half, made contiguous.
    const __m256i gather = W == 2 ? _mm256_setr_epi32(0, 1, 4, 5, 0, 0, 0, 0)
                                  : _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 0, 0);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const auto* x = reinterpret_cast<const double*>(src + 8 * i);
        // As roundClip: max(s, lo) is s > lo ? s : lo, NaN included; likewise min.
        const __m256d a = _mm256_min_pd(_mm256_max_pd(_mm256_add_pd(_mm256_loadu_pd(x), round), lo), hi);
        const __m256d b =
            _mm256_min_pd(_mm256_max_pd(_mm256_add_pd(_mm256_loadu_pd(x + 4), round), lo), hi);
        // Low halves of the sums in sample order: 0 1 4 5 | 2 3 6 7, then 64-bit pairs reordered.
        const __m256 low = _mm256_shuffle_ps(_mm256_castpd_ps(a), _mm256_castpd_ps(b),
                                             _MM_SHUFFLE(2, 0, 2, 0));
        __m256i v = _mm256_permute4x64_epi64(_mm256_castps_si256(low), _MM_SHUFFLE(3, 1, 2, 0));
        v = _mm256_xor_si256(_mm256_sll_epi32(v, shift), flip);
        v = _mm256_shuffle_epi8(v, shuffle);
        std::uint8_t* d = dst + W * i;
        if constexpr (W == 4) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), v);
        } else {
            v = _mm256_permutevar8x32_epi32(v, gather);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm256_castsi256_si128(v));
            if constexpr (W == 3) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16), _mm256_extracti128_si256(v, 1));
            }
        }
    }
    encodeInt<W, Offset, Swap>(dst + W * i, src + 8 * i, n - i, shiftBits, clipBits);
}

// The AVX2 kernel for 16- to 32-bit integers when that set is in force
// (decoding little-endian 32-bit words, the compiler's own loop is as fast).
template <unsigned W, bool Offset, bool Swap>
FormatTranslator::KernelFn decodeIntFor() {
    if constexpr (W >= 2 && W <= 4 && !(W == 4 && !Swap)) {
        if (kernelIsa() >= KernelIsa::AVX2) return &decodeIntAvx2<W, Offset, Swap>;
    }
    return &decodeInt<W, Offset, Swap>;
}
template <unsigned W, bool Offset, bool Swap>
FormatTranslator::KernelFn encodeIntFor() {
    if constexpr (W >= 2 && W <= 4) {
        if (kernelIsa() >= KernelIsa::AVX2) return &encodeIntAvx2<W, Offset, Swap>;
    }
    return &encodeInt<W, Offset, Swap>;
}

#else

template <unsigned W, bool Offset, bool Swap>
FormatTranslator::KernelFn decodeIntFor() {
    return &decodeInt<W, Offset, Swap>;
}
template <unsigned W, bool Offset, bool Swap>
FormatTranslator::KernelFn encodeIntFor() {
    return &encodeInt<W, Offset, Swap>;
}

#endif

// ---- selection -------------------------------------------------------------

template <unsigned W>
FormatTranslator::KernelFn intDecoder(bool offset, bool swap) {
    if (offset) return swap ? decodeIntFor<W, true, true>() : decodeIntFor<W, true, false>();
    return swap ? decodeIntFor<W, false, true>() : decodeIntFor<W, false, false>();
}

template <unsigned W>
FormatTranslator::KernelFn wideIntDecoder(bool offset, bool swap) {
    if (offset) return swap ? &decodeWideInt<W, true, true> : &decodeWideInt<W, true, false>;
    return swap ? &decodeWideInt<W, false, true> : &decodeWideInt<W, false, false>;
}

template <unsigned W>
FormatTranslator::KernelFn intEncoder(bool offset, bool swap) {
    if (offset) return swap ? encodeIntFor<W, true, true>() : encodeIntFor<W, true, false>();
    return swap ? encodeIntFor<W, false, true>() : encodeIntFor<W, false, false>();
}

}  // namespace

FormatTranslator::KernelFn Decoder(std::uint8_t lowByte, bool offset, bool swap) {
    switch (lowByte) {
        case 0x21:
            return intDecoder<1>(offset, false);
        case 0x22:
            return intDecoder<2>(offset, swap);
        case 0x23:
            return intDecoder<3>(offset, swap);
        case 0x24:
            return intDecoder<4>(offset, swap);
        case 0x25:
            return wideIntDecoder<5>(offset, swap);
        case 0x26:
            return wideIntDecoder<6>(offset, swap);
        case 0x27:
            return wideIntDecoder<7>(offset, swap);
        case 0x28:
            return wideIntDecoder<8>(offset, swap);
        case 0x44:
            return swap ? &decodeFloat<4, true> : &decodeFloat<4, false>;
        case 0x48:
            return swap ? &decodeFloat<8, true> : &decodeFloat<8, false>;
        default:
            return nullptr;
    }
}

FormatTranslator::KernelFn Encoder(std::uint8_t lowByte, bool offset, bool swap) {
    switch (lowByte) {
        case 0x21:
            return intEncoder<1>(offset, false);
        case 0x22:
            return intEncoder<2>(offset, swap);
        case 0x23:
            return intEncoder<3>(offset, swap);
        case 0x24:
            return intEncoder<4>(offset, swap);
        case 0x44:
            return swap ? &encodeFloat<4, true> : &encodeFloat<4, false>;
        case 0x48:
            return swap ? &encodeFloat<8, true> : &encodeFloat<8, false>;
        default:
            return nullptr;
    }
}

std::size_t Duplicate(double* p, std::size_t n) {
    std::size_t i = n;
    while (i % 4) {
        --i;
        p[2 * i + 1] = p[2 * i] = p[i];
    }
    while (i) {  // four per round, backwards: reads before writes
        i -= 4;
        double a[4];
        std::memcpy(a, p + i, sizeof a);
        const double b[8] = {a[0], a[0], a[1], a[1], a[2], a[2], a[3], a[3]};
        std::memcpy(p + 2 * i, b, sizeof b);
    }
    return 2 * n;
}

std::size_t SumPairs(double* p, std::size_t n) {
    const std::size_t m = n / 2;
    for (std::size_t k = 0; k < m; ++k) p[k] = p[2 * k] + p[2 * k + 1];
    return m;
}

}  // namespace Audio::Kernels
