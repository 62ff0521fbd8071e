#include "audio/format/PeakMeter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <utility>

#include "audio/format/KernelIsa.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// Instruction-set variants (GCC's x86-64 levels), chosen at run time by the kernel set in
// force (KernelIsa.h), so that TESSIVAL_ISA and the tests reach every one. Other compilers,
// such as the fuzzing build's, build the portable code alone.
#if defined(__x86_64__) && !defined(__clang__)
#define TESSIVAL_ISA_VARIANTS 1
#else
#define TESSIVAL_ISA_VARIANTS 0
#endif

namespace Audio {

namespace {

bool everyPoint = false;  // set by tests: no point is skipped

constexpr std::size_t kHalf = PeakMeter::kPhaseTaps / 2;  // taps each side of an interval
constexpr std::size_t kLanes = 16;  // floats per vector: one AVX-512 register, two AVX2 ones
// Samples kept left of the first interval of a round (the taps' reach, whole vectors; the
// first interval is aligned).
constexpr std::size_t kLeft = (kHalf + kLanes - 1) / kLanes * kLanes;
static_assert(kHalf <= kLanes, "the gate reads one vector on each side of a step");
constexpr std::size_t kBlock = PeakMeter::kMaxRound;  // points per round
// Room past the valid samples for aligned vectors and for the groups of a round's last step.
constexpr std::size_t kSlack = 8 * kLanes;
// Floats of a channel's buffer in use.
constexpr std::size_t kCapacity = kBlock + 2 * kLeft + 2 + 2 * kSlack;

// The first 64-byte aligned float of `v`, which holds kCapacity + kLanes floats.
float* aligned(std::vector<float>& v) {
    const auto address = reinterpret_cast<std::uintptr_t>(v.data());
    return v.data() + (64 - address % 64) % 64 / sizeof(float);
}

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// The interpolator's taps, folded. The point a fraction p/4 into the interval from x[i] to
// x[i + 1] is sum over k = 1 .. kHalf of h_p(k) x[i + k] + h_p(1 - k) x[i + 1 - k], with h_p
// a Kaiser-windowed sinc at distances k - p/4 (cutoff at half the sample rate, each phase's
// taps summing to 1). The half-way point is symmetric in the pair; the quarter points mirror
// each other, so with P_k = x[i + k] + x[i + 1 - k] and Q_k = x[i + k] - x[i + 1 - k]:
//   q2 = sum mid[k] P_k,   q1 = S + D,   q3 = S - D,
//   S = sum even[k] P_k,   D = sum odd[k] Q_k,
// and max(|q1|, |q3|) = |S| + |D|.
//
// A cheaper bound gates steps whose samples come near the peak so far. Writing each sample
// outside x[i - 1] .. x[i + 2] as the nearest of those plus the differences between
// neighbours (summation by parts), a point is its four central samples' sum with folded taps
// (fineMid, fineEven, fineOdd for k = 1, 2) plus a sum of tails times differences, which is
// at most fineGain times the largest |x[j] - x[j - 1]| it reaches. Where the signal changes
// slowly against its level (most programme material) that bound stays close to the samples.
struct Taps {
    std::array<float, kHalf> mid{}, even{}, odd{};
    float gain = 0;  // largest sum of magnitudes of one point's taps (with a margin)
    std::array<float, 2> fineMid{}, fineEven{}, fineOdd{};
    float fineGain = 0;  // largest sum of magnitudes of one point's tail sums (with a margin)
};

// Taps `h` (2 kHalf of them, h[j] on x[i + j + 1 - kHalf]) with those outside the central
// four folded onto the outermost central ones; returns the sum of magnitudes of the tail
// sums that weigh the differences.
double foldTails(std::vector<double>& h) {
    const std::size_t lo = kHalf - 2, hi = kHalf + 1, n = h.size();
    double tails = 0, left = 0, right = 0;
    for (std::size_t m = 1; m <= lo; ++m) {  // difference x[m] - x[m - 1], m <= lo
        left += h[m - 1];
        tails += std::fabs(left);
    }
    for (std::size_t m = n - 1; m > hi; --m) {  // difference x[m] - x[m - 1], m > hi
        right += h[m];
        tails += std::fabs(right);
    }
    h[lo] += left;
    h[hi] += right;
    for (std::size_t j = 0; j < n; ++j)
        if (j < lo || j > hi) h[j] = 0;
    return tails;
}

// The taps of the point `fraction` of the way from x[i] to x[i + 1]: h[j] on x[i + j + 1 - kHalf],
// i.e. h(k) for k from 1 - kHalf to kHalf at distance k - fraction from the point.
std::vector<double> design(double fraction) {
    constexpr double kBeta = 6.0;
    constexpr double kReach = double(kHalf) + 0.25;
    std::vector<double> h(2 * kHalf);
    double sum = 0;
    for (std::size_t j = 0; j < 2 * kHalf; ++j) {
        const double d = double(long(j) + 1 - long(kHalf)) - fraction;
        const double sinc = d == 0 ? 1 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
        const double r = d / kReach;
        h[j] = sinc * besselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r)));
        sum += h[j];
    }
    for (double& v : h) v /= sum;
    return h;
}

const Taps& taps() {
    static const Taps t = [] {
        // Index of k in h: k - 1 + kHalf.
        const std::vector<double> h1 = design(0.25), h2 = design(0.5);
        Taps t;
        double l1q = 0, l1m = 0;
        for (std::size_t k = 1; k <= kHalf; ++k) {
            const double a = h1[k - 1 + kHalf], b = h1[kHalf - k];  // taps on x[i + k], x[i + 1 - k]
            t.even[k - 1] = static_cast<float>((a + b) / 2);
            t.odd[k - 1] = static_cast<float>((a - b) / 2);
            t.mid[k - 1] = static_cast<float>(h2[k - 1 + kHalf]);
            l1q += std::fabs(a) + std::fabs(b);
            l1m += 2 * std::fabs(h2[k - 1 + kHalf]);
        }
        // Float rounding of the points is covered by the margin.
        t.gain = static_cast<float>(std::max(l1q, l1m) * 1.001);
        std::vector<double> f1 = h1, f2 = h2;
        const double tails = std::max(foldTails(f1), foldTails(f2));
        for (std::size_t k = 1; k <= 2; ++k) {
            const double a = f1[k - 1 + kHalf], b = f1[kHalf - k];
            t.fineEven[k - 1] = static_cast<float>((a + b) / 2);
            t.fineOdd[k - 1] = static_cast<float>((a - b) / 2);
            t.fineMid[k - 1] = static_cast<float>(f2[k - 1 + kHalf]);
        }
        t.fineGain = static_cast<float>(tails * 1.001);
        return t;
    }();
    return t;
}

using VF = float __attribute__((vector_size(4 * kLanes)));
using VH = float __attribute__((vector_size(2 * kLanes)));
// Functions here that pass VF are internal and inlined into the kernels' entry points: the
// ABI of vectors wider than the basic set's registers does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"
// Vectors at any float's address. Typedefs, not alias declarations: only a typedef may lower
// the alignment for every compiler.
typedef float VFu __attribute__((vector_size(4 * kLanes), aligned(4), may_alias));
typedef float VHu __attribute__((vector_size(2 * kLanes), aligned(4), may_alias));

constexpr std::size_t kStep = 4;  // groups gated and computed together

// How the kernel reads the vector of Read::V floats at p + O, p aligned to a vector and O
// from -32 to 47 (a compile-time offset, so that the AVX-512 reader can build the vector from
// the two aligned ones around it). Loads: vectors of 8 with unaligned loads (a vector wider
// than the registers would be assembled through the stack where they are 256-bit), two
// chains of sums (kChains: the chains of each sum of a group; kGroupsAtOnce: groups worked
// out together).
struct Loads {
    using V = VH;
    static constexpr std::size_t kWidth = kLanes / 2, kChains = 2, kGroupsAtOnce = 1;
    template <int O>
    [[gnu::always_inline]] static VH at(const float* p) {
        return *reinterpret_cast<const VHu*>(p + O);
    }
};

// AVX2: two groups at a time, one chain of sums each, sharing their taps' broadcasts (which
// were half of the loads). With SSE2's registers (a vector of 8 takes two) the sums spill.
struct LoadsTwice : Loads {
    static constexpr std::size_t kChains = 1, kGroupsAtOnce = 2;
};

using VI = std::int32_t __attribute__((vector_size(4 * kLanes)));
using VIH = std::int32_t __attribute__((vector_size(2 * kLanes)));
// The VF forms serve the AVX-512 kernel alone (not built by every compiler).
[[gnu::always_inline, maybe_unused]] inline VF magnitude(VF v) {
    return VF(VI(v) & (VI{} + 0x7fffffff));
}
[[gnu::always_inline]] inline VH magnitude(VH v) {
    return VH(VIH(v) & (VIH{} + 0x7fffffff));
}

// hi = max(hi, v) lane by lane, in vectors of 8 (a compare and select on 16 lanes is done
// lane by lane where registers hold fewer).
[[gnu::always_inline]] inline void raise(VH& hi, VH v) {
    hi = v > hi ? v : hi;  // a NaN in v leaves hi as it was
}
[[gnu::always_inline, maybe_unused]] inline void raise(VH& hi, VF v) {
    VH halves[2];
    std::memcpy(halves, &v, sizeof v);
    raise(hi, halves[0]);
    raise(hi, halves[1]);
}

// Tap pair k (1 .. kHalf) of the group at p: adds to its sums (Read::kChains of each kind,
// taken in turn, so that each chain of dependent adds is shorter).
template <class Read, std::size_t k, class V>
[[gnu::always_inline]] inline void tapPair(const float* p, const Taps& t, V* s, V* d, V* m) {
    const V a = Read::template at<int(k)>(p);
    const V b = Read::template at<1 - int(k)>(p);
    const V sum = a + b, difference = a - b;
    constexpr std::size_t c = k % Read::kChains;
    s[c] += t.even[k - 1] * sum;
    d[c] += t.odd[k - 1] * difference;
    m[c] += t.mid[k - 1] * sum;
}

// Raises `hi` to the magnitudes of the points of the Read::kWidth intervals at p.
template <class Read, std::size_t... K>
[[gnu::always_inline]] inline void raiseToGroup(VH& hi, const float* p, const Taps& t,
                                                std::index_sequence<K...>) {
    using V = typename Read::V;
    V s[2] = {}, d[2] = {}, m[2] = {};
    (tapPair<Read, K + 1>(p, t, s, d, m), ...);
    raise(hi, magnitude(s[0] + s[1]) + magnitude(d[0] + d[1]));
    raise(hi, magnitude(m[0] + m[1]));
}

// Tap pair k of two neighbouring groups at p and p + Read::kWidth, one chain each: the three
// taps are broadcast once for both (on AVX2 the broadcasts were half of the loads).
template <class Read, std::size_t k, class V>
[[gnu::always_inline]] inline void tapPairTwice(const float* p, const Taps& t, V* s, V* d, V* m) {
    constexpr int W = int(Read::kWidth);
    const V a0 = Read::template at<int(k)>(p), b0 = Read::template at<1 - int(k)>(p);
    const V a1 = Read::template at<W + int(k)>(p), b1 = Read::template at<W + 1 - int(k)>(p);
    // x - 0 is x for every float (V{} + x is not: -0 + 0 is +0), so these are plain broadcasts.
    const V even = t.even[k - 1] - V{}, odd = t.odd[k - 1] - V{}, mid = t.mid[k - 1] - V{};
    const V sum0 = a0 + b0, sum1 = a1 + b1;
    s[0] += even * sum0, s[1] += even * sum1;
    d[0] += odd * (a0 - b0), d[1] += odd * (a1 - b1);
    m[0] += mid * sum0, m[1] += mid * sum1;
}

// raiseToGroup for the groups at p and p + Read::kWidth (the same sums, in the same order).
template <class Read, std::size_t... K>
[[gnu::always_inline]] inline void raiseToGroups(VH& hi, const float* p, const Taps& t,
                                                 std::index_sequence<K...>) {
    using V = typename Read::V;
    V s[2] = {}, d[2] = {}, m[2] = {};
    (tapPairTwice<Read, K + 1>(p, t, s, d, m), ...);
    for (int g = 0; g < 2; ++g) {
        raise(hi, magnitude(s[g]) + magnitude(d[g]));
        raise(hi, magnitude(m[g]));
    }
}

// Largest lane of `v`, NaN lanes left out (0 when every lane is NaN).
[[gnu::always_inline]] inline float largestLane(VH v);
[[gnu::always_inline, maybe_unused]] inline float largestLane(VF v) {
    v = v == v ? v : VF{};
    VH halves[2];
    std::memcpy(halves, &v, sizeof v);
    raise(halves[0], halves[1]);
    return largestLane(halves[0]);
}
[[gnu::always_inline]] inline float largestLane(VH v) {
    v = v == v ? v : VH{};
#if defined(__clang__)  // the fuzzing build: no __builtin_shuffle there
    float m = 0;
    for (std::size_t l = 0; l < kLanes / 2; ++l) m = std::max(m, v[l]);
    return m;
#else
    raise(v, __builtin_shuffle(v, VIH{4, 5, 6, 7, 0, 1, 2, 3}));
    raise(v, __builtin_shuffle(v, VIH{2, 3, 0, 1, 6, 7, 4, 5}));
    raise(v, __builtin_shuffle(v, VIH{1, 0, 3, 2, 5, 4, 7, 6}));
    return v[0];
#endif
}

// Which of the Read::kWidth-interval groups of the `n` intervals from i the fine bound (see
// Taps) cannot keep at or below `threshold`: bit g for the group at i + g Read::kWidth (i a
// multiple of kLanes, n a multiple of Read::kWidth; x as for peakOf). `largest` bounds the
// magnitudes of the samples the points depend on; a small share of it covers the float
// rounding of the points and of the bound.
template <class Read>
[[gnu::always_inline]] inline unsigned groupsOverFineBound(const float* x, std::size_t i,
                                                           std::size_t n, const Taps& t,
                                                           float threshold, float largest) {
    using V = typename Read::V;
    constexpr std::size_t kGroups = kStep * kLanes / Read::kWidth;
    // Differences x[j] - x[j - 1] for j from i + 2 - kHalf to i + n - 1 + kHalf, and a few
    // more.
    V change = {};
    for (std::size_t j = i + 2 - kHalf; j < i + n + kHalf; j += Read::kWidth) {
        V a, b;
        std::memcpy(&a, x + j, sizeof a);
        std::memcpy(&b, x + j - 1, sizeof b);
        const V d = magnitude(a - b);
        change = d > change ? d : change;
    }
    const float limit = threshold - t.fineGain * largestLane(change) - 1e-5f * largest;
    // Each group's central sums; the step is judged as a whole first (one reduction), the
    // groups one by one only when it fails.
    V central[kGroups] = {}, any = {};
    for (std::size_t g = 0; g < n / Read::kWidth; ++g) {
        const float* p = x + i + g * Read::kWidth;
        const V a1 = Read::template at<1>(p), b1 = Read::template at<0>(p);
        const V a2 = Read::template at<2>(p), b2 = Read::template at<-1>(p);
        const V p1 = a1 + b1, p2 = a2 + b2, q1 = a1 - b1, q2 = a2 - b2;
        const V quarter = magnitude(t.fineEven[0] * p1 + t.fineEven[1] * p2) +
                          magnitude(t.fineOdd[0] * q1 + t.fineOdd[1] * q2);
        const V mid = magnitude(t.fineMid[0] * p1 + t.fineMid[1] * p2);
        central[g] = quarter > mid ? quarter : mid;
        any = central[g] > any ? central[g] : any;
    }
    if (largestLane(any) <= limit) return 0;
    unsigned over = 0;
    for (std::size_t g = 0; g < n / Read::kWidth; ++g)
        if (!(largestLane(central[g]) <= limit)) over |= 1u << g;
    return over;
}

// Interpolates the points of the intervals i in [from, to) of `x` (to - from a multiple of
// kLanes, at most kMaxRound; from a multiple of kLanes, x 64-byte aligned, valid from
// from - kLeft to to + kLeft and readable up to kSlack further) and returns the largest
// magnitude among them, or 0 where none of a step's points can exceed `threshold` (the taps'
// gain times the largest sample they depend on is below it). Steps of kStep groups of kLanes
// points are gated together; two groups at a time keep independent sums, so that the adders'
// latency is hidden (more would not fit in the registers).
template <class Read>
[[gnu::always_inline]] inline float peakOf(const float* x, std::size_t from, std::size_t to,
                                           const Taps& t, float threshold,
                                           PeakMeter::FineGate& gate) {
    const std::size_t groups = (to - from) / kLanes;
    const std::size_t steps = (groups + kStep - 1) / kStep;
    VH hi = {};
    for (std::size_t s = 0; s < steps; ++s) {
        const std::size_t i = from + s * kStep * kLanes;
        // The samples the step's points depend on, and a few more: the aligned vectors from
        // one before the step's first group to one after its last.
        const float* w = x + i - kLanes;
        VH top = {};
        for (std::size_t j = 0; j < 2 * (kStep + 2); ++j) {
            VH v;
            std::memcpy(&v, w + j * kLanes / 2, sizeof v);
            raise(top, magnitude(v));
        }
        const float largest = largestLane(top);
        if (largest * t.gain <= threshold) continue;
        // Groups past the round's end (the last step's) are not counted.
        const std::size_t n = std::min(kStep, groups - s * kStep) * kLanes;
        // The fine bound costs about a third of working out the points; when it spares no
        // group of a step it is tried again after 1, 3, then every 7 steps, so that steady
        // full-level signals (where it seldom holds) pay little for it.
        unsigned compute = ~0u;  // groups whose points are worked out, bit per Read::kWidth
        if (gate.wait > 0) {
            --gate.wait;
        } else {
            compute = groupsOverFineBound<Read>(x, i, n, t, threshold, largest);
            if (compute == (1u << (n / Read::kWidth)) - 1) {
                gate.backoff = std::min(2 * gate.backoff + 1, 7u);
                gate.wait = gate.backoff;
            } else {
                gate.backoff = 0;
            }
        }
        if constexpr (Read::kGroupsAtOnce == 2) {
            for (std::size_t u = 0; u < n; u += 2 * Read::kWidth) {
                const unsigned two = compute >> (u / Read::kWidth) & 3;
                if (two == 3)
                    raiseToGroups<Read>(hi, x + i + u, t, std::make_index_sequence<kHalf>());
                else if (two)
                    raiseToGroup<Read>(hi, x + i + u + (two >> 1) * Read::kWidth, t,
                                       std::make_index_sequence<kHalf>());
            }
        } else {
#pragma GCC unroll 2
            for (std::size_t u = 0; u < kStep * kLanes; u += Read::kWidth)
                if (u < n && (compute >> (u / Read::kWidth) & 1))
                    raiseToGroup<Read>(hi, x + i + u, t, std::make_index_sequence<kHalf>());
        }
    }
    return largestLane(hi);
}

float portablePeak(const float* x, std::size_t from, std::size_t to, const Taps& t, float threshold,
                   PeakMeter::FineGate& gate) {
    return peakOf<Loads>(x, from, to, t, threshold, gate);
}

#if TESSIVAL_ISA_VARIANTS
[[gnu::target("arch=x86-64-v3"), gnu::flatten]] float avx2Peak(const float* x, std::size_t from,
                                                               std::size_t to, const Taps& t,
                                                               float threshold,
                                                               PeakMeter::FineGate& gate) {
    return peakOf<LoadsTwice>(x, from, to, t, threshold, gate);
}
#endif

#if TESSIVAL_ISA_VARIANTS
// AVX-512: unaligned vectors straddle two cache lines and cost two loads. Three in four are
// built by valignd from the aligned vectors around them instead; the rest are loaded, so that
// the load and shuffle units share the work.
struct Shifts {
    using V = VF;
    static constexpr std::size_t kWidth = kLanes, kChains = 2, kGroupsAtOnce = 1;
    template <int O>
    [[gnu::target("arch=x86-64-v4")]] static VF at(const float* p) {
        constexpr int q = (O + 32) / 16 - 2, r = O - 16 * q;  // O = 16 q + r, 0 <= r < 16
        if constexpr (r == 0) {
            return *reinterpret_cast<const VF*>(p + 16 * q);
        } else if constexpr (r % 4 == 2) {
            return *reinterpret_cast<const VFu*>(p + O);
        } else {
            const auto* aligned = reinterpret_cast<const VF*>(p + 16 * q);
            const __m512i lo = _mm512_castps_si512(__m512(aligned[0]));
            const __m512i hi = _mm512_castps_si512(__m512(aligned[1]));
            return VF(_mm512_castsi512_ps(_mm512_maskz_alignr_epi32(0xFFFF, hi, lo, r)));
        }
    }
};

[[gnu::target("arch=x86-64-v4"), gnu::flatten]] float avx512Peak(const float* x, std::size_t from,
                                                                 std::size_t to, const Taps& t,
                                                                 float threshold,
                                                                 PeakMeter::FineGate& gate) {
    return peakOf<Shifts>(x, from, to, t, threshold, gate);
}
#endif

// The meter's variant: the kernel set in force, where the CPU has the whole x86-64 level
// the variant is built for (the kernel sets ask for less).
enum class Variant { Portable, V3, V4 };

Variant variant() {
#if TESSIVAL_ISA_VARIANTS
    static const bool v4 = __builtin_cpu_supports("x86-64-v4");
    static const bool v3 = __builtin_cpu_supports("x86-64-v3");
    switch (kernelIsa()) {
        case KernelIsa::AVX512:
            if (v4) return Variant::V4;
            [[fallthrough]];
        case KernelIsa::AVX2:
            if (v3) return Variant::V3;
            [[fallthrough]];
        case KernelIsa::Portable:
            break;
    }
#endif
    return Variant::Portable;
}

float interpolatedPeak(const float* x, std::size_t from, std::size_t to, float threshold,
                       PeakMeter::FineGate& gate) {
#if TESSIVAL_ISA_VARIANTS
    switch (variant()) {
        case Variant::V4:
            return avx512Peak(x, from, to, taps(), threshold, gate);
        case Variant::V3:
            return avx2Peak(x, from, to, taps(), threshold, gate);
        case Variant::Portable:
            break;
    }
#endif
    return portablePeak(x, from, to, taps(), threshold, gate);
}

// The largest magnitude among the `n` values of `x`, NaNs left out.
[[gnu::always_inline]] inline float largestMagnitudeOf(const float* x, std::size_t n) {
    VH top = {};
    std::size_t i = 0;
    for (; i + kLanes / 2 <= n; i += kLanes / 2) {
        VH v;
        std::memcpy(&v, x + i, sizeof v);
        raise(top, magnitude(v));
    }
    float m = largestLane(top);
    for (; i < n; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

#if TESSIVAL_ISA_VARIANTS
[[gnu::target("arch=x86-64-v3"), gnu::flatten]] float largestMagnitudeV3(const float* x,
                                                                         std::size_t n) {
    return largestMagnitudeOf(x, n);
}
#endif

float largestMagnitude(const float* x, std::size_t n) {
#if TESSIVAL_ISA_VARIANTS
    if (variant() != Variant::Portable) return largestMagnitudeV3(x, n);
#endif
    return largestMagnitudeOf(x, n);
}

}  // namespace

namespace detail {
void computeEveryPoint(bool on) {
    everyPoint = on;
}
std::vector<double> interpolatorTaps(unsigned quarter) {
    return design(quarter / 4.0);
}
}  // namespace detail

double PeakReading::overallSamplePeak() const {
    double m = 0;
    for (double v : samplePeak) m = std::max(m, v);
    return m;
}

double PeakReading::overallTruePeak() const {
    double m = 0;
    for (double v : truePeak) m = std::max(m, v);
    return m;
}

void PeakMeter::configure(std::uint32_t channels, double scale, bool integerOutput) {
    channels_.assign(channels, Channel{});
    next_ = 0;
    measured_ = first_;
    loudest_ = 0;
    scale_ = scale;
    finished_ = false;
    reading_ = PeakReading{};
    reading_.integerOutput = integerOutput;
    for (Channel& c : channels_) {
        // A round of points, the reach of the filters on both sides, whole vectors.
        c.history.assign(kCapacity + kLanes, 0.0f);
        c.fill = 0;  // the first value is held before it on arrival
    }
    reading_.samplePeak.assign(channels, 0.0);
    reading_.truePeak.assign(channels, 0.0);
    taps();  // the taps designed once, before any thread reads them
}

void PeakMeter::interpolate(Channel& c, bool flush) {
    // Intervals [i, i + 1] with the filters' reach inside the valid samples.
    const std::size_t from = kLeft;
    if (c.fill < 2 * kLeft + 1) return;
    std::size_t count = c.fill - 2 * kLeft - 1 + 1;
    count = flush ? (count + kLanes - 1) / kLanes * kLanes : count / kLanes * kLanes;
    if (count == 0) return;
    float* const h = aligned(c.history);
    // Groups that cannot raise the channel's peak (Scope::Overall: the loudest channel's) are
    // skipped: the true peak is at least the sample peak. A round whose every sample (and the
    // last one, held past them) is too small for that is passed over whole.
    const float own = std::max(c.truePeak, static_cast<float>(c.samplePeak));
    const float threshold = everyPoint                 ? -1.0f
                            : scope_ == Scope::Overall ? std::max(own, loudest_)
                                                       : own;
    if (!(c.held * taps().gain <= threshold)) {
        // Past the valid samples the last one is held (flush) or overwritten later (not read
        // for counted points).
        std::fill(h + c.fill, h + kCapacity, c.last);
        c.truePeak =
            std::max(c.truePeak, interpolatedPeak(h, from, from + count, threshold, c.gate));
        loudest_ = std::max(loudest_, c.truePeak);
    }
    const std::size_t used = std::min(count, c.fill);
    std::memmove(h, h + used, (c.fill - used) * sizeof(float));
    c.fill -= used;
    c.held = largestMagnitude(h, c.fill);  // the reach of the next round's first points
}

void PeakMeter::Channel::raise(double peak) {
    samplePeak = std::max(samplePeak, peak);
    held = std::max(held, static_cast<float>(peak));
}

void PeakMeter::setWritten(std::uint64_t first, std::function<std::int64_t()> count) {
    first_ = measured_ = first;
    count_ = std::move(count);
}

PeakMeter::Span PeakMeter::written(std::uint64_t at, std::size_t frames) const {
    const std::int64_t count = count_ ? count_() : -1;
    const std::uint64_t from = std::max(at, first_);
    std::uint64_t to = at + frames;
    if (count >= 0) to = std::min(to, first_ + static_cast<std::uint64_t>(count));
    if (to <= from) return {};
    return {static_cast<std::size_t>(from - at), static_cast<std::size_t>(to - from)};
}

void PeakMeter::feed(const double* x, std::size_t stride, std::size_t frames, std::uint64_t at) {
    next_ = at + frames;
    // Frames measured already are not appended again: the interpolation takes them in order.
    const std::uint64_t from = std::max(at, measured_);
    if (from >= next_) return;
    const Span s = written(from, static_cast<std::size_t>(next_ - from));
    if (s.count == 0) return;
    append(x + (from - at + s.skip) * stride, stride, s.count);
    measured_ = from + s.skip + s.count;
}

void PeakMeter::process(const double* x, std::size_t frames, std::uint64_t at) {
    feed(x, channels_.size(), frames, at);
}

void PeakMeter::processSilence(std::size_t frames, std::uint64_t at) {
    static const double zero = 0.0;
    feed(&zero, 0, frames, at);
}

namespace {

// Scales `frames` values of `x` (one every `stride`) into `dst`; returns their largest
// magnitude and counts the non-finite ones into `bad`.
double copyScaled(const double* x, std::size_t stride, std::size_t frames, double scale, float* dst,
                  std::uint64_t& bad) {
    double peak = 0;
    std::uint64_t nonFinite = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double v = x[i * stride] * scale;
        peak = std::max(peak, std::fabs(v));
        nonFinite += !(std::fabs(v) <= 1.7976931348623157e308);
        dst[i] = static_cast<float>(v);
    }
    bad += nonFinite;
    return peak;
}

#if TESSIVAL_ISA_VARIANTS
// The end of a vectorised split of `frames` stereo frames, `done` of them split: where the
// vectors `noticed` a non-finite value, those of the first `done` frames are counted one by one
// (into bad[0]; the caller adds both); the frames after them are split one by one.
void finishSplit(const double* x, std::size_t done, std::size_t frames, double scale, bool noticed,
                 float* d0, float* d1, double* peak, std::uint64_t* bad) {
    if (noticed)
        for (std::size_t j = 0; j < 2 * done; ++j)
            bad[0] += !(std::fabs(x[j] * scale) <= 1.7976931348623157e308);
    std::uint64_t tail = 0;
    peak[0] = std::max(peak[0], copyScaled(x + 2 * done, 2, frames - done, scale, d0 + done, tail));
    peak[1] =
        std::max(peak[1], copyScaled(x + 2 * done + 1, 2, frames - done, scale, d1 + done, tail));
    bad[0] += tail;
}
#endif  // TESSIVAL_ISA_VARIANTS

#if TESSIVAL_ISA_VARIANTS
// AVX2, eight frames a step: the peaks are taken on the interleaved doubles (lanes left,
// right, left, right), the values converted to floats before they are taken apart (one
// permutation of eight floats instead of two of four doubles for each channel), and
// non-finite values only noticed (a multiply-add by zero turns them into a NaN that stays):
// the rare block that holds one is counted again value by value. Same values as the generic
// vectors: the product, then its float.
template <bool Scaled>
[[gnu::target("arch=x86-64-v3"), gnu::always_inline]] inline void splitStereoAvx2(
    const double* x, std::size_t frames, double scale, float* d0, float* d1, double* peak,
    std::uint64_t* bad) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    const __m256d factor = _mm256_set1_pd(scale), zero = _mm256_setzero_pd();
    const __m256i apart = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    __m256d hi[2] = {zero, zero}, poison[4] = {zero, zero, zero, zero};
    std::size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        __m128 f[4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            __m256d v = _mm256_loadu_pd(x + 2 * i + 4 * k);
            if constexpr (Scaled) v = _mm256_mul_pd(v, factor);
            // The first operand's NaN gives the second: a NaN leaves the peak as it was.
            hi[k % 2] = _mm256_max_pd(_mm256_and_pd(v, magnitude), hi[k % 2]);
            poison[k] = _mm256_fmadd_pd(v, zero, poison[k]);
            f[k] = _mm256_cvtpd_ps(v);  // left, right, left, right
        }
        const __m256 g0 = _mm256_permutevar8x32_ps(_mm256_set_m128(f[1], f[0]), apart);
        const __m256 g1 = _mm256_permutevar8x32_ps(_mm256_set_m128(f[3], f[2]), apart);
        _mm256_storeu_ps(d0 + i, _mm256_permute2f128_ps(g0, g1, 0x20));
        _mm256_storeu_ps(d1 + i, _mm256_permute2f128_ps(g0, g1, 0x31));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_max_pd(hi[0], hi[1]));
    peak[0] = std::max({peak[0], lanes[0], lanes[2]});
    peak[1] = std::max({peak[1], lanes[1], lanes[3]});
    const __m256d any =
        _mm256_add_pd(_mm256_add_pd(poison[0], poison[1]), _mm256_add_pd(poison[2], poison[3]));
    const bool noticed = _mm256_movemask_pd(_mm256_cmp_pd(any, any, _CMP_UNORD_Q));
    finishSplit(x, i, frames, scale, noticed, d0, d1, peak, bad);
}

[[gnu::target("arch=x86-64-v3")]] void splitStereoV3(const double* x, std::size_t frames,
                                                     double scale, float* d0, float* d1,
                                                     double* peak, std::uint64_t* bad) {
    if (scale == 1.0)
        splitStereoAvx2<false>(x, frames, scale, d0, d1, peak, bad);
    else
        splitStereoAvx2<true>(x, frames, scale, d0, d1, peak, bad);
}

// Every lane: GCC 12 warns of the undefined vector its unmasked AVX-512 intrinsics pass on.
constexpr __mmask8 kAll8 = 0xFF;

// The same on AVX-512, sixteen frames a step: the floats of eight frames fill a vector, and one
// permutation of two such vectors gives each channel's sixteen.
template <bool Scaled>
[[gnu::target("arch=x86-64-v4"), gnu::always_inline]] inline void splitStereoAvx512(
    const double* x, std::size_t frames, double scale, float* d0, float* d1, double* peak,
    std::uint64_t* bad) {
    const __m512d magnitude = _mm512_castsi512_pd(_mm512_set1_epi64(0x7fffffffffffffff));
    const __m512d factor = _mm512_set1_pd(scale), zero = _mm512_setzero_pd();
    const __m512i left =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i right = _mm512_add_epi32(left, _mm512_set1_epi32(1));
    __m512d hi[2] = {zero, zero}, poison[2] = {zero, zero};
    std::size_t i = 0;
    for (; i + 16 <= frames; i += 16) {
        __m256 f[4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            __m512d v = _mm512_loadu_pd(x + 2 * i + 8 * k);
            if constexpr (Scaled) v = _mm512_mul_pd(v, factor);
            hi[k % 2] = _mm512_maskz_max_pd(kAll8, _mm512_and_pd(v, magnitude), hi[k % 2]);
            poison[k % 2] = _mm512_fmadd_pd(v, zero, poison[k % 2]);
            f[k] = _mm512_maskz_cvtpd_ps(kAll8, v);  // left, right, left, right
        }
        const __m512 a = __builtin_shufflevector(f[0], f[1], 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                                 12, 13, 14, 15);
        const __m512 b = __builtin_shufflevector(f[2], f[3], 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                                 12, 13, 14, 15);
        _mm512_storeu_ps(d0 + i, _mm512_permutex2var_ps(a, left, b));
        _mm512_storeu_ps(d1 + i, _mm512_permutex2var_ps(a, right, b));
    }
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, _mm512_maskz_max_pd(kAll8, hi[0], hi[1]));
    peak[0] = std::max({peak[0], lanes[0], lanes[2], lanes[4], lanes[6]});
    peak[1] = std::max({peak[1], lanes[1], lanes[3], lanes[5], lanes[7]});
    const __m512d any = _mm512_add_pd(poison[0], poison[1]);
    const bool noticed = _mm512_cmp_pd_mask(any, any, _CMP_UNORD_Q);
    finishSplit(x, i, frames, scale, noticed, d0, d1, peak, bad);
}

[[gnu::target("arch=x86-64-v4")]] void splitStereoV4(const double* x, std::size_t frames,
                                                     double scale, float* d0, float* d1,
                                                     double* peak, std::uint64_t* bad) {
    if (scale == 1.0)
        splitStereoAvx512<false>(x, frames, scale, d0, d1, peak, bad);
    else
        splitStereoAvx512<true>(x, frames, scale, d0, d1, peak, bad);
}
#endif

// The vectors of 8 doubles take four SSE2 registers each: the basic set goes frame by frame.
void splitStereo(const double* x, std::size_t frames, double scale, float* d0, float* d1,
                 double* peak, std::uint64_t* bad) {
#if TESSIVAL_ISA_VARIANTS
    switch (variant()) {
        case Variant::V4:
            return splitStereoV4(x, frames, scale, d0, d1, peak, bad);
        case Variant::V3:
            return splitStereoV3(x, frames, scale, d0, d1, peak, bad);
        case Variant::Portable:
            break;
    }
#endif
    peak[0] = std::max(peak[0], copyScaled(x, 2, frames, scale, d0, bad[0]));
    peak[1] = std::max(peak[1], copyScaled(x + 1, 2, frames, scale, d1, bad[1]));
}

[[gnu::always_inline]] inline std::uint64_t countOutsideOf(const double* x, std::size_t n,
                                                           double low, double high) {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += (x[i] < low) | (x[i] >= high);
    return count;
}

#if TESSIVAL_ISA_VARIANTS
// Most blocks clip nowhere: their extremes are taken first (a NaN, never counted, leaves them
// as they were), and only a block that reaches past the limits is counted value by value.
[[gnu::target("arch=x86-64-v3")]] std::uint64_t countOutsideV3(const double* x, std::size_t n,
                                                               double low, double high) {
    __m256d lo[2] = {_mm256_set1_pd(low), _mm256_set1_pd(low)}, hi[2] = {lo[0], lo[0]};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256d a = _mm256_loadu_pd(x + i), b = _mm256_loadu_pd(x + i + 4);
        lo[0] = _mm256_min_pd(a, lo[0]), hi[0] = _mm256_max_pd(a, hi[0]);
        lo[1] = _mm256_min_pd(b, lo[1]), hi[1] = _mm256_max_pd(b, hi[1]);
    }
    const __m256d under =
        _mm256_cmp_pd(_mm256_min_pd(lo[0], lo[1]), _mm256_set1_pd(low), _CMP_LT_OQ);
    const __m256d over =
        _mm256_cmp_pd(_mm256_max_pd(hi[0], hi[1]), _mm256_set1_pd(high), _CMP_GE_OQ);
    if (_mm256_movemask_pd(_mm256_or_pd(under, over))) return countOutsideOf(x, n, low, high);
    return countOutsideOf(x + i, n - i, low, high);
}
#endif

std::uint64_t countOutside(const double* x, std::size_t n, double low, double high) {
#if TESSIVAL_ISA_VARIANTS
    switch (variant()) {
        case Variant::V4:  // the AVX2 form: a pass over values in the first level cache
        case Variant::V3:
            return countOutsideV3(x, n, low, high);
        case Variant::Portable:
            break;
    }
#endif
    return countOutsideOf(x, n, low, high);
}

}  // namespace

void PeakMeter::countClamped(const double* x, std::size_t n, double low, double high,
                             std::uint64_t at) {
    const std::size_t width = std::max<std::size_t>(channels_.size(), 1);
    const Span s = written(at, n / width);
    if (s.count) reading_.clamped += countOutside(x + s.skip * width, s.count * width, low, high);
}

// Every channel holds the same number of samples: they are appended together.
void PeakMeter::append(const double* x, std::size_t n, std::size_t frames) {
    if (channels_.empty()) return;
    const std::size_t count = channels_.size();
    for (std::size_t ch = 0; ch < count; ++ch) {
        Channel& c = channels_[ch];
        if (!c.started && frames > 0) {
            // The first value held, so that the interval from it to the first sample counts.
            c.started = true;
            std::fill_n(aligned(c.history), kLeft + 1, static_cast<float>(x[n ? ch : 0] * scale_));
            c.fill = kLeft + 1;
            c.held = std::fabs(aligned(c.history)[0]);
        }
    }
    std::size_t f = 0;
    while (f < frames) {
        Channel& c0 = channels_[0];
        const std::size_t take = std::min(kCapacity - 2 * kSlack - c0.fill, frames - f);
        if (n == 2 && count == 2) {
            // Stereo, the usual case, in one pass over the frames.
            Channel& c1 = channels_[1];
            float* d0 = aligned(c0.history) + c0.fill;
            float* d1 = aligned(c1.history) + c1.fill;
            const double* src = x + 2 * f;
            double peak[2] = {};
            std::uint64_t bad[2] = {};
            splitStereo(src, take, scale_, d0, d1, peak, bad);
            c0.nonFinite += bad[0] + bad[1];
            c0.raise(peak[0]);
            c1.raise(peak[1]);
        } else {
            for (std::size_t ch = 0; ch < count; ++ch) {
                Channel& c = channels_[ch];
                const double* src = n ? x + f * n + ch : x;
                c.raise(copyScaled(src, n, take, scale_, aligned(c.history) + c.fill, c.nonFinite));
            }
        }
        if (scope_ == Scope::Overall)
            for (const Channel& c : channels_)
                loudest_ = std::max(loudest_, static_cast<float>(c.samplePeak));
        for (Channel& c : channels_) {
            if (take) c.last = aligned(c.history)[c.fill + take - 1];
            c.fill += take;
            if (truePeak_)
                interpolate(c, false);
            else
                c.fill = 0;
        }
        f += take;
    }
}

const PeakReading& PeakMeter::finish() {
    if (!finished_) {
        finished_ = true;
        for (std::size_t ch = 0; ch < channels_.size(); ++ch) {
            Channel& c = channels_[ch];
            if (truePeak_) {
                // The last value held: enough for the points up to it and one interval on.
                std::fill_n(aligned(c.history) + c.fill, kLeft + 1, c.last);
                c.fill += kLeft + 1;
                interpolate(c, true);
            }
            reading_.nonFinite += c.nonFinite;
            reading_.samplePeak[ch] = c.samplePeak;
            reading_.truePeak[ch] = std::max(c.samplePeak, static_cast<double>(c.truePeak));
        }
    }
    return reading_;
}

}  // namespace Audio
