#include "dsp/Polyphase.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <numeric>
#include <stdexcept>

#include "base/FloatMode.h"
#include "stream/Adapt.h"
#include "stream/Crop.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSIVAL_POLYPHASE_AVX2 1
#endif

namespace DSP::FIR {

namespace {

__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------- ratio

// True when a/b lies strictly closer to n/d than c/e (exact; b, e <= 2^32).
bool closer(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t e, std::uint64_t n,
            std::uint64_t d) {
    auto dist = [&](std::uint64_t p, std::uint64_t q) {  // |p/q - n/d| * q * d
        const u128 x = u128(p) * d, y = u128(q) * n;
        return x > y ? x - y : y - x;
    };
    return dist(a, b) * e < dist(c, e) * b;
}

// Best approximation of n/d with denominator <= maxQ (continued fractions).
std::pair<std::uint64_t, std::uint64_t> bestApproximation(std::uint64_t n, std::uint64_t d,
                                                          std::uint64_t maxQ) {
    std::uint64_t h2 = 0, h1 = 1, k2 = 1, k1 = 0;  // convergents h/k, two back and one back
    std::uint64_t a = n, b = d;
    while (b != 0) {
        const std::uint64_t q = a / b;
        const u128 h = u128(q) * h1 + h2, k = u128(q) * k1 + k2;
        if (k > maxQ || h > UINT_MAX) {
            // Largest semiconvergent that still fits, against the last convergent.
            std::uint64_t t = (maxQ - k2) / k1;
            if (h1 != 0) t = std::min<std::uint64_t>(t, (UINT_MAX - h2) / h1);
            const std::uint64_t hs = h2 + t * h1, ks = k2 + t * k1;
            if (t > 0 && closer(hs, ks, h1, k1, n, d)) return {hs, ks};
            return {h1, k1};
        }
        h2 = h1, h1 = std::uint64_t(h);
        k2 = k1, k1 = std::uint64_t(k);
        const std::uint64_t r = a - q * b;
        a = b, b = r;
    }
    return {h1, k1};
}

// f = m * 2^x with m an odd integer (f positive and finite).
void decompose(float f, std::uint64_t& m, int& x) {
    int e;
    const double frac = std::frexp(double(f), &e);
    m = static_cast<std::uint64_t>(std::ldexp(frac, 24));
    x = e - 24;
    const int tz = std::countr_zero(m);
    m >>= tz;
    x += tz;
}

// ---------------------------------------------------------------- kernels

double dotGeneric(const double* c, const double* x, std::uint32_t taps) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::uint32_t i = 0;
    for (; i + 4 <= taps; i += 4) {
        s0 += c[i] * x[i];
        s1 += c[i + 1] * x[i + 1];
        s2 += c[i + 2] * x[i + 2];
        s3 += c[i + 3] * x[i + 3];
    }
    for (; i < taps; ++i) s0 += c[i] * x[i];
    return (s0 + s2) + (s1 + s3);
}

// One run of outputs for one channel, or for two channels sharing the
// coefficients (out2/in2 non-null).
struct KernelArgs {
    double* out;
    double* out2;
    std::uint32_t count;
    const double* in;
    const double* in2;
    const double* table;  // phase blocks of stride taps + 1
    std::uint32_t taps;
    std::uint32_t P;
    std::uint32_t Q;
    std::uint32_t phase;
    // Work area of the transposed kernel (null: not used), kScratchRows rows
    // of eight doubles per channel.
    double* scratch;
    std::size_t scratchRows;
};

template <bool Accumulate>
inline void put(double* out, double v) {
    if constexpr (Accumulate)
        *out += v;
    else
        *out = v;
}

template <bool Accumulate>
void runGeneric(const KernelArgs& a) {
    std::uint32_t ph = a.phase;
    std::size_t base = 0;
    const std::size_t stride = a.taps + 1;
    for (std::uint32_t i = 0; i < a.count; ++i) {
        const double* block = a.table + ph * stride;
        std::int32_t k;
        std::memcpy(&k, block, sizeof k);
        put<Accumulate>(a.out + i, dotGeneric(block + 1, a.in + base + k, a.taps));
        if (a.out2) put<Accumulate>(a.out2 + i, dotGeneric(block + 1, a.in2 + base + k, a.taps));
        if (++ph == a.Q) ph = 0, base += a.P;
    }
}

#ifdef TESSIVAL_POLYPHASE_AVX2
#define TESSIVAL_AVX2 __attribute__((target("avx2,fma")))

// Masks for the last 1..3 taps (masked lanes are not read).
TESSIVAL_AVX2 inline __m256i tailMask(std::uint32_t rest) {
    const std::int64_t m[7] = {-1, -1, -1, 0, 0, 0, 0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + 3 - rest));
}

TESSIVAL_AVX2 inline double sum4(__m256d s) {
    const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

// Lane sums of four vectors as one vector (a, b, c, d).
TESSIVAL_AVX2 inline __m256d sum4x4(__m256d a, __m256d b, __m256d c, __m256d d) {
    const __m256d h1 = _mm256_hadd_pd(a, b), h2 = _mm256_hadd_pd(c, d);  // a01 b01 a23 b23
    return _mm256_add_pd(_mm256_permute2f128_pd(h1, h2, 0x20),
                         _mm256_permute2f128_pd(h1, h2, 0x31));
}

template <bool Accumulate>
TESSIVAL_AVX2 inline void put4(double* out, __m256d v) {
    if constexpr (Accumulate) v = _mm256_add_pd(v, _mm256_loadu_pd(out));
    _mm256_storeu_pd(out, v);
}

// Walks the phases: the taps and input offset of each next output.
struct PhaseWalk {
    const KernelArgs& a;
    std::size_t stride;
    std::uint32_t ph;
    std::size_t base = 0;

    const double* next(std::size_t& offset) {
        const double* block = a.table + ph * stride;
        std::int32_t k;
        std::memcpy(&k, block, sizeof k);
        offset = base + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(k));
        if (++ph == a.Q) ph = 0, base += a.P;
        return block + 1;
    }
};

// Lane partial sums of one output for one channel, or two sharing the
// coefficient loads (Two).
template <bool Two>
TESSIVAL_AVX2 inline void dotAVX2(PhaseWalk& w, __m256i mask, __m256d& s, __m256d& t) {
    const std::uint32_t taps = w.a.taps;
    const std::uint32_t quads = taps & ~3u, rest = taps & 3u;
    std::size_t at;
    const double* c = w.next(at);
    const double* x = w.a.in + at;
    const double* y = Two ? w.a.in2 + at : nullptr;
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
    __m256d t0 = _mm256_setzero_pd(), t1 = _mm256_setzero_pd();
    std::uint32_t j = 0;
    for (; j + 8 <= quads; j += 8) {
        const __m256d c0 = _mm256_loadu_pd(c + j), c1 = _mm256_loadu_pd(c + j + 4);
        s0 = _mm256_fmadd_pd(c0, _mm256_loadu_pd(x + j), s0);
        s1 = _mm256_fmadd_pd(c1, _mm256_loadu_pd(x + j + 4), s1);
        if constexpr (Two) {
            t0 = _mm256_fmadd_pd(c0, _mm256_loadu_pd(y + j), t0);
            t1 = _mm256_fmadd_pd(c1, _mm256_loadu_pd(y + j + 4), t1);
        }
    }
    if (j < quads) {
        const __m256d c0 = _mm256_loadu_pd(c + j);
        s0 = _mm256_fmadd_pd(c0, _mm256_loadu_pd(x + j), s0);
        if constexpr (Two) t0 = _mm256_fmadd_pd(c0, _mm256_loadu_pd(y + j), t0);
        j += 4;
    }
    if (rest) {
        const __m256d c0 = _mm256_maskload_pd(c + j, mask);
        s1 = _mm256_fmadd_pd(c0, _mm256_maskload_pd(x + j, mask), s1);
        if constexpr (Two) t1 = _mm256_fmadd_pd(c0, _mm256_maskload_pd(y + j, mask), t1);
    }
    s = _mm256_add_pd(s0, s1);
    if constexpr (Two) t = _mm256_add_pd(t0, t1);
}

// Stores (or adds) the four lanes of v at out[0], out[d], out[2d], out[3d].
template <bool Accumulate>
TESSIVAL_AVX2 inline void putStrided(double* out, std::size_t d, __m256d v) {
    double lanes[4];
    _mm256_storeu_pd(lanes, v);
    for (int m = 0; m < 4; ++m) put<Accumulate>(out + m * d, lanes[m]);
}

template <bool Masked>
TESSIVAL_AVX2 inline __m256d loadTaps(const double* p, __m256i mask) {
    if constexpr (Masked)
        return _mm256_maskload_pd(p, mask);
    else
        return _mm256_loadu_pd(p);
}

// Four taps (the last ones masked) of four outputs P apart, for up to two
// channels: one coefficient load for all.
template <bool Two, bool Masked>
TESSIVAL_AVX2 __attribute__((always_inline)) inline void columnTaps(
    const double* c, const double* x, const double* y, std::size_t P, __m256i mask, __m256d& s0,
    __m256d& s1, __m256d& s2, __m256d& s3, __m256d& t0, __m256d& t1, __m256d& t2, __m256d& t3) {
    const __m256d cv = loadTaps<Masked>(c, mask);
    s0 = _mm256_fmadd_pd(cv, loadTaps<Masked>(x, mask), s0);
    s1 = _mm256_fmadd_pd(cv, loadTaps<Masked>(x + P, mask), s1);
    s2 = _mm256_fmadd_pd(cv, loadTaps<Masked>(x + 2 * P, mask), s2);
    s3 = _mm256_fmadd_pd(cv, loadTaps<Masked>(x + 3 * P, mask), s3);
    if constexpr (Two) {
        t0 = _mm256_fmadd_pd(cv, loadTaps<Masked>(y, mask), t0);
        t1 = _mm256_fmadd_pd(cv, loadTaps<Masked>(y + P, mask), t1);
        t2 = _mm256_fmadd_pd(cv, loadTaps<Masked>(y + 2 * P, mask), t2);
        t3 = _mm256_fmadd_pd(cv, loadTaps<Masked>(y + 3 * P, mask), t3);
    }
}

// Outputs r, r + Q, r + 2Q, r + 3Q share phase r's coefficients and read
// input P apart: each coefficient vector is loaded once for four outputs of
// up to two channels (the loop is bound by loads). Runs whole groups of 4Q
// outputs and returns how many it produced.
template <bool Accumulate, bool Two>
TESSIVAL_AVX2 std::uint32_t runAVX2Columns(const KernelArgs& a, __m256i mask) {
    const std::uint32_t Q = a.Q, P = a.P;
    const std::size_t stride = std::size_t{a.taps} + 1;
    const std::uint32_t quads = a.taps & ~3u;
    const bool rest = (a.taps & 3u) != 0;
    std::uint32_t done = 0;
    std::size_t base = 0;  // input offset of the group
    for (; std::uint64_t{done} + 4ull * Q <= a.count; done += 4 * Q, base += 4 * std::size_t{P}) {
        std::uint32_t ph = a.phase;
        std::size_t wrap = 0;  // P once the phase has wrapped within the group
        for (std::uint32_t r = 0; r < Q; ++r) {
            const double* block = a.table + ph * stride;
            std::int32_t k;
            std::memcpy(&k, block, sizeof k);
            const double* c = block + 1;
            const std::size_t at = base + wrap + static_cast<std::size_t>(std::ptrdiff_t{k});
            const double* x = a.in + at;
            const double* y = Two ? a.in2 + at : x;  // (x: never read for one channel)
            __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
            __m256d t0 = s0, t1 = s0, t2 = s0, t3 = s0;
            for (std::uint32_t j = 0; j < quads; j += 4)
                columnTaps<Two, false>(c + j, x + j, y + j, P, mask, s0, s1, s2, s3, t0, t1, t2,
                                       t3);
            if (rest)
                columnTaps<Two, true>(c + quads, x + quads, y + quads, P, mask, s0, s1, s2, s3, t0,
                                      t1, t2, t3);
            const std::size_t o = done + r;
            putStrided<Accumulate>(a.out + o, Q, sum4x4(s0, s1, s2, s3));
            if constexpr (Two) putStrided<Accumulate>(a.out2 + o, Q, sum4x4(t0, t1, t2, t3));
            if (++ph == Q) ph = 0, wrap = P;
        }
    }
    return done;
}

#define TESSIVAL_AVX512 __attribute__((target("avx512f,avx2,fma")))

// r[k] becomes column k of the 8 x 8 matrix with rows r[0..8). (Zero-masked
// intrinsics: GCC 12 warns about the undefined source operand of the
// unmasked ones.)
TESSIVAL_AVX512 inline void transpose8x8(__m512d r[8]) {
    const __m512i mid0 = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i mid1 = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    __m512d u[8];
    for (int m = 0; m < 8; m += 2) {
        u[m] = _mm512_maskz_unpacklo_pd(0xFF, r[m], r[m + 1]);
        u[m + 1] = _mm512_maskz_unpackhi_pd(0xFF, r[m], r[m + 1]);
    }
    for (int m = 0; m < 8; m += 4) {
        r[m] = _mm512_maskz_permutex2var_pd(0xFF, u[m], mid0, u[m + 2]);
        r[m + 2] = _mm512_maskz_permutex2var_pd(0xFF, u[m], mid1, u[m + 2]);
        r[m + 1] = _mm512_maskz_permutex2var_pd(0xFF, u[m + 1], mid0, u[m + 3]);
        r[m + 3] = _mm512_maskz_permutex2var_pd(0xFF, u[m + 1], mid1, u[m + 3]);
    }
    for (int m = 0; m < 4; ++m) {
        u[m] = _mm512_maskz_shuffle_f64x2(0xFF, r[m], r[m + 4], 0x44);
        u[m + 4] = _mm512_maskz_shuffle_f64x2(0xFF, r[m], r[m + 4], 0xEE);
    }
    for (int m = 0; m < 8; ++m) r[m] = u[m];
}

// Rows t0 <= t < t1 of the transposed input X[t][m] = in[m P + t] for
// m < lanes, into X (row t at X + 8 (t - t0)). The other lanes of the eight
// repeat lane 0 (their outputs are not stored).
TESSIVAL_AVX512 void transposeInput(double* X, const double* in, std::size_t P, std::ptrdiff_t t0,
                                    std::ptrdiff_t t1, std::size_t lanes) {
    const std::size_t rows = static_cast<std::size_t>(t1 - t0);
    const double* from[8];  // the lanes' inputs from row t0; unused lanes read lane 0
    for (std::size_t m = 0; m < 8; ++m) from[m] = in + (m < lanes ? m : 0) * P + t0;
    std::size_t t = 0;
    for (; t + 8 <= rows; t += 8, X += 64) {
        __m512d r[8];
        for (std::size_t m = 0; m < 8; ++m) r[m] = _mm512_loadu_pd(from[m] + t);
        transpose8x8(r);
        for (int m = 0; m < 8; ++m) _mm512_store_pd(X + 8 * m, r[m]);
    }
    for (; t < rows; ++t, X += 8)
        for (std::size_t m = 0; m < 8; ++m) X[m] = from[m][t];
}

// Outputs of eight phases r0 .. r0 + 7 (rows S[i], lane m the output m Q
// further) to out[m Q + i], m < lanes: transposed, eight contiguous outputs
// per store. n < 8 phases go one by one.
template <bool Accumulate>
TESSIVAL_AVX512 void putPhases(double* out, std::size_t Q, const double (*S)[8], std::uint32_t n,
                               std::size_t lanes) {
    if (n < 8) {
        for (std::uint32_t i = 0; i < n; ++i)
            for (std::size_t m = 0; m < lanes; ++m) put<Accumulate>(out + i + m * Q, S[i][m]);
        return;
    }
    __m512d r[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm512_load_pd(S[i]);
    transpose8x8(r);
    for (std::size_t m = 0; m < lanes; ++m) {
        __m512d v = r[m];
        if constexpr (Accumulate) v = _mm512_add_pd(v, _mm512_loadu_pd(out + m * Q));
        _mm512_storeu_pd(out + m * Q, v);
    }
}

// Eight outputs Q apart share their phase, and their inputs lie P apart.
// With the input transposed (row t: the eight samples P apart), each tap is
// one broadcast coefficient times one aligned row, and the eight lanes are
// the eight outputs: no reduction, no unaligned loads. Runs groups of 8Q
// outputs, the last with fewer lanes, and returns how many it produced (a
// multiple of Q).
template <bool Accumulate, bool Two>
TESSIVAL_AVX512 std::uint32_t runTransposed(const KernelArgs& a) {
    const std::uint32_t Q = a.Q, P = a.P, taps = a.taps;
    if (!a.scratch || a.count < Q) return 0;
    const std::size_t stride = std::size_t{taps} + 1;
    // Rows the group reads: phase r's taps start at (P if it wrapped) + k.
    std::ptrdiff_t t0 = PTRDIFF_MAX, t1 = PTRDIFF_MIN;
    for (std::uint32_t r = 0, ph = a.phase; r < Q; ++r) {
        std::int32_t k;
        std::memcpy(&k, a.table + ph * stride, sizeof k);
        const std::ptrdiff_t lo = (r >= Q - a.phase ? std::ptrdiff_t{P} : 0) + k;
        t0 = std::min(t0, lo);
        t1 = std::max(t1, lo + std::ptrdiff_t{taps});
        if (++ph == Q) ph = 0;
    }
    if (std::size_t(t1 - t0) > a.scratchRows) return 0;
    double* X = a.scratch;
    double* Y = a.scratch + 8 * a.scratchRows;
    std::uint32_t done = 0;
    std::size_t base = 0;  // input offset of the group
    while (a.count - done >= Q) {
        const std::uint32_t lanes = std::min<std::uint32_t>(8, (a.count - done) / Q);
        transposeInput(X, a.in + base, P, t0, t1, lanes);
        if constexpr (Two) transposeInput(Y, a.in2 + base, P, t0, t1, lanes);
        std::uint32_t ph = a.phase;
        std::ptrdiff_t wrap = 0;
        for (std::uint32_t r0 = 0; r0 < Q; r0 += 8) {
            const std::uint32_t n = std::min(8u, Q - r0);
            alignas(64) double S[8][8], U[8][8];
            for (std::uint32_t i = 0; i < n; ++i) {
                const double* block = a.table + ph * stride;
                std::int32_t k;
                std::memcpy(&k, block, sizeof k);
                const double* c = block + 1;
                const std::size_t row = static_cast<std::size_t>(wrap + k - t0);
                const double* x = X + 8 * row;
                const double* y = Y + 8 * row;
                // Four partial sums per channel, so that the additions overlap.
                // (Pointer steps only: no index arithmetic per tap.)
                __m512d s[4], u[4];
                for (int q = 0; q < 4; ++q) s[q] = u[q] = _mm512_setzero_pd();
                const double* const cEnd = c + taps;
                for (; c + 4 <= cEnd; c += 4, x += 32, y += 32) {
                    for (int q = 0; q < 4; ++q) {
                        const __m512d cv = _mm512_set1_pd(c[q]);
                        s[q] = _mm512_fmadd_pd(cv, _mm512_load_pd(x + 8 * q), s[q]);
                        if constexpr (Two)
                            u[q] = _mm512_fmadd_pd(cv, _mm512_load_pd(y + 8 * q), u[q]);
                    }
                }
                for (int q = 0; c < cEnd; ++c, ++q, x += 8, y += 8) {
                    const __m512d cv = _mm512_set1_pd(*c);
                    s[q] = _mm512_fmadd_pd(cv, _mm512_load_pd(x), s[q]);
                    if constexpr (Two) u[q] = _mm512_fmadd_pd(cv, _mm512_load_pd(y), u[q]);
                }
                _mm512_store_pd(
                    S[i], _mm512_add_pd(_mm512_add_pd(s[0], s[2]), _mm512_add_pd(s[1], s[3])));
                if constexpr (Two)
                    _mm512_store_pd(
                        U[i], _mm512_add_pd(_mm512_add_pd(u[0], u[2]), _mm512_add_pd(u[1], u[3])));
                if (++ph == Q) ph = 0, wrap = P;
            }
            putPhases<Accumulate>(a.out + done + r0, Q, S, n, lanes);
            if constexpr (Two) putPhases<Accumulate>(a.out2 + done + r0, Q, U, n, lanes);
        }
        done += lanes * Q;
        base += lanes * std::size_t{P};
    }
    return done;
}

// The outputs after the first `first` (a multiple of Q, or whole groups of
// 4Q): the phase is where it was, the input `first` / Q cycles of P further.
inline KernelArgs after(const KernelArgs& a, std::uint32_t first) {
    KernelArgs b = a;
    const std::size_t skip = std::size_t{first} / a.Q * a.P;
    b.out += first;
    b.in += skip;
    if (b.out2) b.out2 += first, b.in2 += skip;
    b.count -= first;
    return b;
}

// Four outputs (of each channel) per reduction.
template <bool Accumulate, bool Two>
TESSIVAL_AVX2 void runAVX2(const KernelArgs& a) {
    const __m256i mask = tailMask(a.taps & 3u);
    const std::uint32_t first = runAVX2Columns<Accumulate, Two>(a, mask);
    const KernelArgs b = after(a, first);
    PhaseWalk w{b, std::size_t{b.taps} + 1, b.phase};
    std::uint32_t i = 0;
    for (; i + 4 <= b.count; i += 4) {
        __m256d s[4], t[4];
        dotAVX2<Two>(w, mask, s[0], t[0]);
        dotAVX2<Two>(w, mask, s[1], t[1]);
        dotAVX2<Two>(w, mask, s[2], t[2]);
        dotAVX2<Two>(w, mask, s[3], t[3]);
        put4<Accumulate>(b.out + i, sum4x4(s[0], s[1], s[2], s[3]));
        if constexpr (Two) put4<Accumulate>(b.out2 + i, sum4x4(t[0], t[1], t[2], t[3]));
    }
    for (; i < b.count; ++i) {
        __m256d s, t;
        dotAVX2<Two>(w, mask, s, t);
        put<Accumulate>(b.out + i, sum4(s));
        if constexpr (Two) put<Accumulate>(b.out2 + i, sum4(t));
    }
}

// Groups of 8Q outputs transposed, the rest as in the AVX2 kernel.
template <bool Accumulate, bool Two>
TESSIVAL_AVX512 void runAVX512(const KernelArgs& a) {
    runAVX2<Accumulate, Two>(after(a, runTransposed<Accumulate, Two>(a)));
}
#endif

using KernelFn = void (*)(const KernelArgs&);

struct Kernels {
    KernelFn store, add, store2, add2;
};

Kernels chooseKernels() {
#ifdef TESSIVAL_POLYPHASE_AVX2
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
        __builtin_cpu_supports("fma"))
        return {runAVX512<false, false>, runAVX512<true, false>, runAVX512<false, true>,
                runAVX512<true, true>};
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return {runAVX2<false, false>, runAVX2<true, false>, runAVX2<false, true>,
                runAVX2<true, true>};
#endif
    return {runGeneric<false>, runGeneric<true>, runGeneric<false>, runGeneric<true>};
}

Kernels kernels = chooseKernels();

}  // namespace

namespace detail {
void forceGenericPolyphaseKernels(bool on) {
    kernels = on ? Kernels{runGeneric<false>, runGeneric<true>, runGeneric<false>, runGeneric<true>}
                 : chooseKernels();
}

bool forceAVX2PolyphaseKernels() {
#ifdef TESSIVAL_POLYPHASE_AVX2
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        kernels = {runAVX2<false, false>, runAVX2<true, false>, runAVX2<false, true>,
                   runAVX2<true, true>};
        return true;
    }
#endif
    return false;
}

}  // namespace detail

// ---------------------------------------------------------------- planning

boost::rational<unsigned> polyphaseRatio(float fsIn, float fsOut) {
    if (!(fsIn > 0) || !(fsOut > 0) || !std::isfinite(fsIn) || !std::isfinite(fsOut))
        throw std::invalid_argument("Sample rates must be positive and finite");
    std::uint64_t a, b;
    int xa, xb;
    decompose(fsIn, a, xa);
    decompose(fsOut, b, xb);
    const int shift = xa - xb;
    // a * 2^shift / b, with both terms integers below 2^63.
    const int room = 63 - std::bit_width(shift >= 0 ? a : b);
    if (std::abs(shift) > room)
        throw std::invalid_argument("The ratio of the sample rates is out of range");
    if (shift >= 0)
        a <<= shift;
    else
        b <<= -shift;
    const std::uint64_t g = std::gcd(a, b);
    a /= g, b /= g;
    if (a / b > UINT_MAX)
        throw std::invalid_argument("The ratio of the sample rates is out of range");

    std::uint64_t p = a, q = b;
    if (q > kMaxPhases || p > UINT_MAX) std::tie(p, q) = bestApproximation(a, b, kMaxPhases);
    const double exact = double(a) / double(b);
    if (p == 0 || p > UINT_MAX || std::abs(double(p) / double(q) - exact) > 1e-3 * exact)
        throw std::invalid_argument("The ratio of the sample rates is out of range");
    return boost::rational<unsigned>(static_cast<unsigned>(p), static_cast<unsigned>(q));
}

PlannedConvolution planConvolution(double origin, double syncOffset, double windowLength,
                                   boost::rational<unsigned> ratio) {
    if (!std::isfinite(origin) || !std::isfinite(syncOffset))
        throw std::invalid_argument("Time origin and sync offset must be finite");
    if (!(windowLength > 0) || !std::isfinite(windowLength) || windowLength > 1e6)
        throw std::invalid_argument("Polyphase window length out of range");
    const unsigned P = ratio.numerator(), Q = ratio.denominator();
    const double R = double(P) / double(Q);
    const double N = windowLength;
    const double s = syncOffset > 0 ? syncOffset : 0.0;

    const double D0 = origin - R * s + N / 2;
    // Beyond this the grid position loses its fraction.
    if (std::abs(D0) > 0x1p32) throw std::invalid_argument("Time origin or sync offset too large");
    const double k = std::ceil(D0 / R) - 1;
    const double D = D0 - k * R - N;
    // D lies in (-N, R - N]; far from it only when origin or sync offset are
    // so large that their sum lost its fraction.
    if (!(D > -N - 1 && D <= R - N + 1))
        throw std::invalid_argument("Time origin or sync offset too large");
    const double fD = std::floor(D);

    PlannedConvolution r;
    ConvolutionPlan& p = r.plan;
    p.leadIn = static_cast<std::int32_t>(-(fD + 1));
    p.firstTapOffset = (fD + 1) - D - N / 2;
    p.halfLength = N / 2;
    p.step = R;
    p.base = -p.firstTapOffset - N / 2;
    // Window lengths are whole numbers up to rounding.
    const double n = std::ceil(N - 1e-9 * N);
    if (Q == 1) {
        // One phase: taps at y - N/2 + i with y = 1 - frac(base) in (0, 1];
        // those at or beyond +N/2 are zero.
        const double y = (std::floor(p.base) + 1) - p.base;
        p.taps = static_cast<std::uint32_t>(std::max(1.0, std::ceil(N - y - 1e-9 * N)));
    } else {
        p.taps = static_cast<std::uint32_t>(n);
    }
    r.outputOrigin = k + s;
    return r;
}

// ---------------------------------------------------------------- table

PolyphaseTable::PolyphaseTable(const ConvolutionPlan& plan, boost::rational<unsigned> ratio,
                               const TapSampler& sample)
    : iResampler(plan), numerator(ratio.numerator()), denominator(ratio.denominator()) {
    if (numerator == 0 || denominator == 0 || denominator > kMaxPhases || taps == 0) throw Wobbly{};
    const std::size_t stride = std::size_t{taps} + 1;
    coefficients.reset(new double[stride * denominator]);
    ScopedFloatMode mode;
    for (std::uint32_t j = 0; j < denominator; ++j) {
        double* block = coefficients.get() + j * stride;
        const double x = j * step + base;
        const double k = std::floor(x) + 1;
        const double y = k - x;  // in (0, 1]
        const std::int32_t ki = static_cast<std::int32_t>(k);
        block[0] = 0.0;
        std::memcpy(block, &ki, sizeof ki);
        sample(block + 1, block + stride, y - halfLength, taps);
    }
}

std::int32_t PolyphaseTable::offset(std::uint32_t j) const {
    std::int32_t k;
    std::memcpy(&k, coefficients.get() + std::size_t{j} * (taps + 1), sizeof k);
    return k;
}

std::uint64_t PolyphaseTable::inputNeeded(std::uint32_t phase, std::uint64_t n) const {
    if (n == 0) return 0;
    const std::uint64_t last = phase + n - 1;
    const std::uint64_t m = last / denominator;
    const auto ph = static_cast<std::uint32_t>(last % denominator);
    const std::uint64_t taps_ = offset(ph) + m * numerator + taps;
    const std::uint64_t consumed = (phase + n) / denominator * numerator;
    return std::max(taps_, consumed);
}

void FixedResampler::FreeAligned::operator()(double* p) const {
    ::operator delete[](p, std::align_val_t{64});
}

FixedResampler::FixedResampler(const ConvolutionPlan& plan, boost::rational<unsigned> ratio,
                               const TapSampler& sample)
    : PolyphaseTable(plan, ratio, sample) {
    // Rows of one cycle of Q outputs: P + the spread of the phases' first
    // taps + the taps (up to 256 KiB of the two channels' work area).
    constexpr std::size_t kMaxRows = 2048;
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::uint32_t j = 0; j < denominator; ++j) {
        lo = std::min<std::int64_t>(lo, offset(j));
        hi = std::max<std::int64_t>(hi, offset(j));
    }
    const std::uint64_t rows = std::uint64_t{numerator} + std::uint64_t(hi - lo) + taps;
    if (rows <= kMaxRows) {
        scratchRows_ = rows;
        scratch_.reset(static_cast<double*>(
            ::operator new[](2 * 8 * rows * sizeof(double), std::align_val_t{64})));
    }
}

unsigned FixedResampler::process(ChannelSpan& dest, const ::Stream::Channels& source,
                                 std::uint32_t sourceBegin, std::uint32_t sourceEnd,
                                 const ::Stream::ChannelMask& sourceSilentMask,
                                 const ::Stream::ChannelMask&,
                                 std::uint32_t& phase, bool accumulate) {
    ScopedFloatMode mode;
    const std::uint32_t n = dest.end - dest.begin;
    const std::uint32_t count = dest.channels ? dest.channels->count() : 0;
    KernelArgs a{};
    a.count = n;
    a.table = coefficients.get();
    a.taps = taps;
    a.P = numerator;
    a.Q = denominator;
    a.phase = phase;
    a.scratch = scratch_.get();
    a.scratchRows = scratchRows_;
    auto out = [&](std::uint32_t c) {
        return reinterpret_cast<double*>((*dest.channels)[c]) + dest.begin;
    };
    auto in = [&](std::uint32_t c) {
        return reinterpret_cast<const double*>(source[c]) + sourceBegin;
    };
    // Channels to compute, taken two at a time.
    std::uint32_t pending = count;  // index of a computed channel waiting for a partner
    for (std::uint32_t c = 0; c < count; ++c) {
        if (sourceEnd == sourceBegin || sourceSilentMask.test(c)) dest.silentMask.set(c);
        if (n == 0 || dest.silentMask.test(c)) continue;
        if (pending == count) {
            pending = c;
            continue;
        }
        a.out = out(pending), a.in = in(pending);
        a.out2 = out(c), a.in2 = in(c);
        (accumulate ? kernels.add2 : kernels.store2)(a);
        pending = count;
    }
    if (pending != count) {
        a.out = out(pending), a.in = in(pending);
        a.out2 = nullptr, a.in2 = nullptr;
        (accumulate ? kernels.add : kernels.store)(a);
    }
    const std::uint64_t total = std::uint64_t{n} + phase;
    phase = static_cast<std::uint32_t>(total % denominator);
    return static_cast<unsigned>(total / denominator * numerator);
}

// ---------------------------------------------------------------- stage

VFIRFilter::VFIRFilter(Audio::Stream::Wrapper<::Stream::iVUnder> up, Counted<FixedResampler> r,
                       Audio::Format format)
    : Consumer(std::move(up)), resampler(std::move(r)) {
    granularity = format.bytesPerSample() * std::max(format.channels(), 1u);
    channels = upstream->channels;
    expansion = 1;
    position = 0;
    sourceSet_.resize(channels);
}

void VFIRFilter::seek(std::uint64_t p) {
    const std::uint64_t s = p / 8;
    const std::uint64_t m = s / resampler->denominator;
    phase = static_cast<std::uint32_t>(s - m * resampler->denominator);
    const std::uint64_t q = m * resampler->numerator * 8;
    upstream->seek(q);
    upstream->position = static_cast<std::int64_t>(q);
}

::Stream::VBlock VFIRFilter::read(::Stream::VSlice dest, std::uint32_t) {
    using ::Stream::VBlock;
    if (dest.end < dest.begin || dest.length() % 8 != 0) throw Wobbly{};
    FixedResampler& r = *resampler;
    const std::uint64_t P = r.numerator, Q = r.denominator;
    const std::uint32_t n = dest.length() / 8;
    // Peeks are limited so that a request in bytes fits 32 bits.
    constexpr std::uint64_t kMaxPeek = (std::uint64_t{1} << 28);
    VBlock result{dest.channels, dest.begin, dest.begin, ::Stream::kAllSilent, {}};
    std::uint32_t done = 0;
    while (done < n) {
        std::uint32_t count = n - done;
        std::uint64_t need = r.inputNeeded(phase, count);
        while (need > kMaxPeek && count > 1) need = r.inputNeeded(phase, count /= 2);
        const VBlock blk = upstream->peek(static_cast<std::uint32_t>(need * 8), sourceSet_);
        inheritLength(*upstream, [P, Q](std::int64_t l) {
            return static_cast<std::int64_t>((std::uint64_t(l / 8) * Q + P - 1) / P * 8);
        });
        const std::uint32_t avail = blk.length() / 8;
        if (avail < need) {
            // Produce what the readable input allows, then peek again.
            std::uint32_t lo = 0, hi = count;
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo + 1) / 2;
                if (r.inputNeeded(phase, mid) <= avail)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            if (lo == 0) throw Wobbly{};  // the upstream makes no progress
            count = lo;
        }
        ChannelSpan out{dest.channels, dest.begin / 8 + done, dest.begin / 8 + done + count, {}};
        const unsigned consumed = r.process(out, sourceSet_, blk.begin / 8, blk.end / 8,
                                            blk.silentMask, blk.zeroedMask, phase, false);
        upstream->consume(consumed * 8);
        upstream->position += std::int64_t{consumed} * 8;
        result = ::Stream::join(
            result, VBlock{dest.channels, out.begin * 8, out.end * 8, out.silentMask, {}});
        done += count;
    }
    return result;
}

Audio::Stream::Wrapper<::Stream::iVOver> makePolyphaseResampler(
    Audio::Stream::Wrapper<::Stream::iVOver> input, double windowLength, const TapSampler& sample,
    double syncOffset, float fsOut) {
    const Audio::Stream::Tag inTag = input.tag();
    const float fsIn = inTag.format.sampleRate;
    if (fsIn == fsOut) return input;
    const boost::rational<unsigned> ratio = polyphaseRatio(fsIn, fsOut);
    const PlannedConvolution planned =
        planConvolution(inTag.origin, syncOffset, windowLength, ratio);
    Counted<FixedResampler> table(new FixedResampler(planned.plan, ratio, sample));

    // Lead-in: zeros in front (or, for a window shorter than the step, input
    // that no output reaches dropped), so the first output's taps start at 0.
    Audio::Stream::Wrapper<::Stream::iVOver> padded =
        ::Stream::shift(std::move(input), std::int64_t{planned.plan.leadIn} * 8);
    Audio::Stream::Tag padTag = inTag;
    padTag.origin = inTag.origin + planned.plan.leadIn;
    padded.setTag(padTag);

    Audio::Stream::Wrapper<::Stream::iVUnder> pulled(
        __adapt<::Stream::iVUnder>::from(std::move(padded)));
    pulled.setTag(padTag);

    Audio::Stream::Tag tag;
    tag.origin = planned.outputOrigin;
    tag.format = inTag.format.ResolveScale();
    tag.format.sampleRate = fsOut;
    auto* stage = new VFIRFilter(std::move(pulled), std::move(table), inTag.format);
    stage->setTag(tag);
    return Audio::Stream::Wrapper<::Stream::iVOver>(stage);
}

Audio::Stream::Wrapper<::Stream::iVOver> makePolyphaseStage(
    Audio::Stream::Wrapper<::Stream::iVOver> input, unsigned attenuationDb, const WidthSpec& spec,
    double gain, double syncOffset, const BandSpec& band, float fsOut) {
    if (input.tag().format.sampleRate == fsOut) return input;
    const sptr<Window> w2 = kaiserWindows->create(attenuationDb)->forWidth(spec);
    const unsigned n = w2->integerLength(0);
    std::shared_ptr<const Window> w5 =
        w2->adjust(FirstNull, n)->withPeak(band.amplitude)->withGain(gain);
    const double N = w5->lengthSamples;
    TapSampler sample = [w5, band](double* begin, double* end, double start, unsigned count) {
        w5->sample(begin, end, band, start, count);
    };
    return makePolyphaseResampler(std::move(input), N, sample, syncOffset, fsOut);
}

}  // namespace DSP::FIR
