#include "dsp/PolyphaseKernels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "dsp/fft/Isa.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSIVAL_POLYPHASE_AVX2 1
#endif

namespace DSP::FIR::detail {

namespace {

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
    const std::size_t stride = a.stride;
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
    const std::size_t stride = a.stride;
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

// Four outputs (of each channel) per reduction, reading the input in place:
// what the transposed kernels leave (the last cycle, or all when a cycle
// does not fit their work area).
template <bool Accumulate, bool Two>
TESSIVAL_AVX2 void runReduced(const KernelArgs& a) {
    const __m256i mask = tailMask(a.taps & 3u);
    const std::uint32_t first = runAVX2Columns<Accumulate, Two>(a, mask);
    const KernelArgs b = after(a, first);
    PhaseWalk w{b, b.stride, b.phase};
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

// ---- Transposed kernels: eight outputs Q apart share their phase, and
// their inputs lie P apart. With the input of eight output cycles transposed
// (row t: the eight samples P apart), each tap is one broadcast coefficient
// times one aligned row of eight, and the lanes are the eight outputs: no
// reduction, no unaligned loads, no masks. The taps run in fours, then a
// pair to an even count (the table's zero past `taps` times a zero row past
// the cycle's last: the sums do not change), which costs fewer multiplies
// than running to paddedTaps (22 or 21 taps: 24).
// Rows are 64-byte aligned: one 512-bit vector or two 256-bit halves.

// Up to eight phases of one cycle: their taps and the row of their first
// tap.
struct PhaseBlock {
    const double* taps[8];
    std::size_t row[8];
    std::uint32_t n;
};

// Per instruction set: Input transposes rows t0 <= t < t1 of X[t][m] =
// in[m P + t] (m < lanes; the other lanes repeat lane 0, their outputs are
// not stored) into X (row t at X + 8 (t - t0)), then `zeros` zero rows.
// Sums writes the sums of the block's phases for each lane (S[i][m]: phase
// i, output m Q further). Put stores (or adds) S[i][m] at out[m Q + i],
// m < lanes.

// c[j] = column j of the 4 x 4 matrix with rows a, b, c, d (four doubles
// each): halves loaded into place, then in-lane unpacks (no lane crossing).
TESSIVAL_AVX2 inline void transpose4x4(const double* a, const double* b, const double* c,
                                       const double* d, __m256d col[4]) {
    const __m256d ac01 =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a)), _mm_loadu_pd(c), 1);
    const __m256d bd01 =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(b)), _mm_loadu_pd(d), 1);
    const __m256d ac23 =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a + 2)), _mm_loadu_pd(c + 2), 1);
    const __m256d bd23 =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(b + 2)), _mm_loadu_pd(d + 2), 1);
    col[0] = _mm256_unpacklo_pd(ac01, bd01);
    col[1] = _mm256_unpackhi_pd(ac01, bd01);
    col[2] = _mm256_unpacklo_pd(ac23, bd23);
    col[3] = _mm256_unpackhi_pd(ac23, bd23);
}

// One tap of the eight lanes (two halves) of one or two channels.
template <bool Two>
TESSIVAL_AVX2 __attribute__((always_inline)) inline void rowTap(double c, const double* x,
                                                                const double* y, __m256d s[2],
                                                                __m256d u[2]) {
    const __m256d cv = _mm256_set1_pd(c);
    s[0] = _mm256_fmadd_pd(cv, _mm256_load_pd(x), s[0]);
    s[1] = _mm256_fmadd_pd(cv, _mm256_load_pd(x + 4), s[1]);
    if constexpr (Two) {
        u[0] = _mm256_fmadd_pd(cv, _mm256_load_pd(y), u[0]);
        u[1] = _mm256_fmadd_pd(cv, _mm256_load_pd(y + 4), u[1]);
    }
}

struct Avx2Rows {
    TESSIVAL_AVX2 static void input(double* X, const double* in, std::size_t P, std::ptrdiff_t t0,
                                    std::ptrdiff_t t1, std::size_t zeros, std::size_t lanes) {
        const std::size_t rows = static_cast<std::size_t>(t1 - t0);
        const double* from[8];
        for (std::size_t m = 0; m < 8; ++m) from[m] = in + (m < lanes ? m : 0) * P + t0;
        std::size_t t = 0;
        for (; t + 4 <= rows; t += 4, X += 32)
            for (int h = 0; h < 2; ++h) {
                const double* const* f = from + 4 * h;
                __m256d r[4];
                transpose4x4(f[0] + t, f[1] + t, f[2] + t, f[3] + t, r);
                for (int j = 0; j < 4; ++j) _mm256_store_pd(X + 8 * j + 4 * h, r[j]);
            }
        for (; t < rows; ++t, X += 8)
            for (std::size_t m = 0; m < 8; ++m) X[m] = from[m][t];
        for (std::size_t z = 0; z < 8 * zeros; z += 4) _mm256_store_pd(X + z, _mm256_setzero_pd());
    }

    // Two partial sums per half and channel (eight accumulators with two
    // channels, four per channel alone), so that the additions overlap.
    template <bool Two>
    TESSIVAL_AVX2 static void sums(const PhaseBlock& b, const double* X, const double* Y,
                                   std::uint32_t evenTaps, double (*S)[8], double (*U)[8]) {
        constexpr int kParts = Two ? 2 : 4;
        for (std::uint32_t i = 0; i < b.n; ++i) {
            const double* c = b.taps[i];
            const double* const cEnd = c + evenTaps;
            const double* x = X + 8 * b.row[i];
            const double* y = Y + 8 * b.row[i];
            __m256d s[kParts][2], u[2][2];
            for (int q = 0; q < kParts; ++q) s[q][0] = s[q][1] = _mm256_setzero_pd();
            for (int q = 0; q < 2; ++q) u[q][0] = u[q][1] = _mm256_setzero_pd();
            for (; c + 4 <= cEnd; c += 4, x += 32, y += 32)
                for (int j = 0; j < 4; ++j)
                    rowTap<Two>(c[j], x + 8 * j, y + 8 * j, s[j % kParts], u[j % 2]);
            if (c < cEnd)
                for (int j = 0; j < 2; ++j) rowTap<Two>(c[j], x + 8 * j, y + 8 * j, s[j], u[j]);
            for (int h = 0; h < 2; ++h) {
                __m256d v = _mm256_add_pd(s[0][h], s[1][h]);
                if constexpr (!Two) v = _mm256_add_pd(v, _mm256_add_pd(s[2][h], s[3][h]));
                _mm256_store_pd(S[i] + 4 * h, v);
                if constexpr (Two) _mm256_store_pd(U[i] + 4 * h, _mm256_add_pd(u[0][h], u[1][h]));
            }
        }
    }

    template <bool Accumulate>
    TESSIVAL_AVX2 static void put(double* out, std::size_t Q, const double (*S)[8], std::uint32_t n,
                                  std::size_t lanes) {
        if (n < 8) {
            for (std::uint32_t i = 0; i < n; ++i)
                for (std::size_t m = 0; m < lanes; ++m)
                    detail::put<Accumulate>(out + i + m * Q, S[i][m]);
            return;
        }
        // 4 x 4 blocks: phases 4 ib.., lanes 4 mb...
        for (std::size_t mb = 0; mb < 8 && mb < lanes; mb += 4) {
            for (int ib = 0; ib < 8; ib += 4) {
                __m256d r[4];
                transpose4x4(S[ib] + mb, S[ib + 1] + mb, S[ib + 2] + mb, S[ib + 3] + mb, r);
                for (std::size_t j = 0; j < 4 && mb + j < lanes; ++j) {
                    double* o = out + (mb + j) * Q + ib;
                    __m256d v = r[j];
                    if constexpr (Accumulate) v = _mm256_add_pd(v, _mm256_loadu_pd(o));
                    _mm256_storeu_pd(o, v);
                }
            }
        }
    }
};

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

// One tap of the eight lanes of one or two channels.
template <bool Two>
TESSIVAL_AVX512 __attribute__((always_inline)) inline void rowTap(double c, const double* x,
                                                                  const double* y, __m512d& s,
                                                                  __m512d& u) {
    const __m512d cv = _mm512_set1_pd(c);
    s = _mm512_fmadd_pd(cv, _mm512_load_pd(x), s);
    if constexpr (Two) u = _mm512_fmadd_pd(cv, _mm512_load_pd(y), u);
}

struct Avx512Rows {
    TESSIVAL_AVX512 static void input(double* X, const double* in, std::size_t P, std::ptrdiff_t t0,
                                      std::ptrdiff_t t1, std::size_t zeros, std::size_t lanes) {
        const std::size_t rows = static_cast<std::size_t>(t1 - t0);
        const double* from[8];
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
        for (std::size_t z = 0; z < zeros; ++z) _mm512_store_pd(X + 8 * z, _mm512_setzero_pd());
    }

    // Four partial sums per channel, so that the additions overlap.
    // (Pointer steps only: no index arithmetic per tap.)
    template <bool Two>
    TESSIVAL_AVX512 static void sums(const PhaseBlock& b, const double* X, const double* Y,
                                     std::uint32_t evenTaps, double (*S)[8], double (*U)[8]) {
        for (std::uint32_t i = 0; i < b.n; ++i) {
            const double* c = b.taps[i];
            const double* const cEnd = c + evenTaps;
            const double* x = X + 8 * b.row[i];
            const double* y = Y + 8 * b.row[i];
            __m512d s[4], u[4];
            for (int q = 0; q < 4; ++q) s[q] = u[q] = _mm512_setzero_pd();
            for (; c + 4 <= cEnd; c += 4, x += 32, y += 32)
                for (int q = 0; q < 4; ++q) rowTap<Two>(c[q], x + 8 * q, y + 8 * q, s[q], u[q]);
            if (c < cEnd)
                for (int q = 0; q < 2; ++q) rowTap<Two>(c[q], x + 8 * q, y + 8 * q, s[q], u[q]);
            _mm512_store_pd(S[i],
                            _mm512_add_pd(_mm512_add_pd(s[0], s[2]), _mm512_add_pd(s[1], s[3])));
            if constexpr (Two)
                _mm512_store_pd(
                    U[i], _mm512_add_pd(_mm512_add_pd(u[0], u[2]), _mm512_add_pd(u[1], u[3])));
        }
    }

    // Transposed, eight contiguous outputs per store; n < 8 phases go one
    // by one.
    template <bool Accumulate>
    TESSIVAL_AVX512 static void put(double* out, std::size_t Q, const double (*S)[8],
                                    std::uint32_t n, std::size_t lanes) {
        if (n < 8) {
            for (std::uint32_t i = 0; i < n; ++i)
                for (std::size_t m = 0; m < lanes; ++m)
                    detail::put<Accumulate>(out + i + m * Q, S[i][m]);
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
};

// Runs groups of 8Q outputs, the last with fewer lanes, on the rows of
// `Rows`, and returns how many it produced (a multiple of Q; 0 when a cycle
// does not fit the work area).
template <class Rows, bool Accumulate, bool Two>
std::uint32_t runTransposed(const KernelArgs& a) {
    const std::uint32_t Q = a.Q, P = a.P, taps = a.taps, evenTaps = (taps + 1) & ~1u;
    if (!a.scratch || a.count < Q) return 0;
    // Rows the group reads: phase r's taps start at (P if it wrapped) + k.
    std::ptrdiff_t t0 = PTRDIFF_MAX, t1 = PTRDIFF_MIN;
    for (std::uint32_t r = 0, ph = a.phase; r < Q; ++r) {
        std::int32_t k;
        std::memcpy(&k, a.table + ph * std::size_t{a.stride}, sizeof k);
        const std::ptrdiff_t lo = (r >= Q - a.phase ? std::ptrdiff_t{P} : 0) + k;
        t0 = std::min(t0, lo);
        t1 = std::max(t1, lo + std::ptrdiff_t{taps});
        if (++ph == Q) ph = 0;
    }
    const std::size_t zeros = evenTaps - taps;
    if (std::size_t(t1 - t0) + zeros > a.scratchRows) return 0;
    double* X = a.scratch;
    double* Y = a.scratch + 8 * a.scratchRows;
    std::uint32_t done = 0;
    std::size_t base = 0;  // input offset of the group
    while (a.count - done >= Q) {
        const std::uint32_t lanes = std::min<std::uint32_t>(8, (a.count - done) / Q);
        Rows::input(X, a.in + base, P, t0, t1, zeros, lanes);
        if constexpr (Two) Rows::input(Y, a.in2 + base, P, t0, t1, zeros, lanes);
        std::uint32_t ph = a.phase;
        std::ptrdiff_t wrap = 0;
        for (std::uint32_t r0 = 0; r0 < Q; r0 += 8) {
            PhaseBlock b;
            b.n = std::min(8u, Q - r0);
            for (std::uint32_t i = 0; i < b.n; ++i) {
                const double* block = a.table + ph * std::size_t{a.stride};
                std::int32_t k;
                std::memcpy(&k, block, sizeof k);
                b.taps[i] = block + 1;
                b.row[i] = static_cast<std::size_t>(wrap + k - t0);
                if (++ph == Q) ph = 0, wrap = P;
            }
            alignas(64) double S[8][8], U[8][8];
            Rows::template sums<Two>(b, X, Y, evenTaps, S, U);
            Rows::template put<Accumulate>(a.out + done + r0, Q, S, b.n, lanes);
            if constexpr (Two) Rows::template put<Accumulate>(a.out2 + done + r0, Q, U, b.n, lanes);
        }
        done += lanes * Q;
        base += lanes * std::size_t{P};
    }
    return done;
}

// Groups of 8Q outputs transposed, the rest reduced.
template <class Rows, bool Accumulate, bool Two>
void runWide(const KernelArgs& a) {
    runReduced<Accumulate, Two>(after(a, runTransposed<Rows, Accumulate, Two>(a)));
}
#endif

}  // namespace

// Per instruction set, in Isa order.
constexpr PolyphaseKernels kPolyphaseKernels[kIsaCount] = {
    {runGeneric<false>, runGeneric<true>, runGeneric<false>, runGeneric<true>},
#ifdef TESSIVAL_POLYPHASE_AVX2
    {runWide<Avx2Rows, false, false>, runWide<Avx2Rows, true, false>,
     runWide<Avx2Rows, false, true>, runWide<Avx2Rows, true, true>},
    {runWide<Avx512Rows, false, false>, runWide<Avx512Rows, true, false>,
     runWide<Avx512Rows, false, true>, runWide<Avx512Rows, true, true>},
#else
    {runGeneric<false>, runGeneric<true>, runGeneric<false>, runGeneric<true>},
    {runGeneric<false>, runGeneric<true>, runGeneric<false>, runGeneric<true>},
#endif
};

const PolyphaseKernels& polyphaseKernels() {
    return forActiveIsa(kPolyphaseKernels);
}

}  // namespace DSP::FIR::detail
