#include "audio/format/PeakMeter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// Instruction-set variants (GCC's x86-64 levels, chosen at run time). Other compilers, such as
// the fuzzing build's, build the portable code alone.
#if defined(__x86_64__) && !defined(__clang__)
#define TESSIVAL_ISA_VARIANTS 1
#define TESSIVAL_CLONES_V3 [[gnu::target_clones("arch=x86-64-v3", "default")]]
#define TESSIVAL_CLONES_V4_V3 \
    [[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
#define TESSIVAL_DEFAULT_VARIANT [[gnu::target("default")]]
#else
#define TESSIVAL_ISA_VARIANTS 0
#define TESSIVAL_CLONES_V3
#define TESSIVAL_CLONES_V4_V3
#define TESSIVAL_DEFAULT_VARIANT
#endif

namespace Audio {

namespace {

constexpr std::size_t kHalf1 = PeakMeter::kMidTaps / 2;      // folded taps, first stage
constexpr std::size_t kHalf2 = PeakMeter::kQuarterTaps / 2;  // folded taps, second stage
constexpr std::size_t kReach2 = (kHalf2 + 1) / 2;  // samples the second stage reaches each way
constexpr std::size_t kLanes = 16;  // floats per vector: one AVX-512 register, two AVX2 ones
// Samples kept left of the first interval of a round and right of the last: the first
// stage's reach for whole vectors of midpoints one vector beyond the round on each side,
// whole vectors (the first interval is aligned).
constexpr std::size_t kLeft = (kHalf1 + 2 * kLanes - 1) / kLanes * kLanes;
constexpr std::size_t kBlock = PeakMeter::kMaxRound;  // points per round
// Room past the valid samples for aligned vectors and for the groups of a round's last step.
constexpr std::size_t kSlack = 8 * kLanes;
// Floats of a channel's buffers in use.
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

// Half of a symmetric midpoint interpolator: tap k weighs the two values k + 1/2 away,
// Kaiser-windowed sinc with cutoff `cutoff` (cycles per value), sum of all taps 1.
std::vector<float> designHalf(std::size_t half, double cutoff, double beta) {
    std::vector<double> h(half);
    double sum = 0;
    for (std::size_t k = 0; k < half; ++k) {
        const double d = double(k) + 0.5;
        const double arg = 2 * cutoff * d;
        const double sinc = std::sin(std::numbers::pi * arg) / (std::numbers::pi * arg);
        const double r = d / double(half);
        h[k] = sinc * besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(beta);
        sum += 2 * h[k];
    }
    std::vector<float> out(half);
    for (std::size_t k = 0; k < half; ++k) out[k] = static_cast<float>(h[k] / sum);
    return out;
}

// First stage: flat within 0.001 up to 0.45 of the rate, the images of that band (from 0.55)
// as far down. Second: the 2x sequence holds nothing above 0.225 of its rate, so the band
// from 0.225 to 0.775 is free; flat within 0.002 up to 0.225. Together the points of a tone
// up to 0.45 of the rate are within 0.0023 (0.02 dB) of the exact ones.
const std::vector<float>& midTaps() {
    static const std::vector<float> taps = designHalf(kHalf1, 0.5, 6.0);
    return taps;
}
const std::vector<float>& quarterTaps() {
    static const std::vector<float> taps = designHalf(kHalf2, 0.5, 5.0);
    return taps;
}

using VF = float __attribute__((vector_size(4 * kLanes)));
using VH = float __attribute__((vector_size(2 * kLanes)));
// Functions here that pass VF are internal and inlined into the kernels' entry points: the
// ABI of vectors wider than the basic set's registers does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"
// kLanes floats at any float's address.
// A typedef, not an alias declaration: only a typedef may lower the alignment for every compiler.
typedef float V8u __attribute__((vector_size(4 * kLanes), aligned(4), may_alias));
#define LOAD(p) (*reinterpret_cast<const V8u*>(p))

// Largest factor from the magnitudes of the samples to those of the points interpolated
// from them: the sum of magnitudes of each point's taps on the samples (the quarter points'
// taps expanded through the midpoints they use).
float pointGain() {
    static const float gain = [] {
        const std::vector<float>& a = midTaps();
        const std::vector<float>& b = quarterTaps();
        double l1mid = 0;
        for (float v : a) l1mid += 2 * std::fabs(v);
        // q1(0) on x[n], n from -kOffset: z[2n] = x[n],
        // z[2n + 1] = sum a_k (x[n - k] + x[n + 1 + k]).
        constexpr long kOffset = long(kHalf1 + kReach2 + 1);
        std::vector<double> taps(2 * kOffset + 2, 0.0);
        auto addZ = [&](long zi, double w) {
            const long n = zi >= 0 ? zi / 2 : -((-zi + 1) / 2);
            if (zi - 2 * n == 0) {
                taps[n + kOffset] += w;
            } else {
                for (std::size_t k = 0; k < kHalf1; ++k) {
                    taps[n - long(k) + kOffset] += w * a[k];
                    taps[n + 1 + long(k) + kOffset] += w * a[k];
                }
            }
        };
        for (std::size_t j = 0; j < kHalf2; ++j) {
            addZ(-long(j), b[j]);
            addZ(1 + long(j), b[j]);
        }
        double l1q = 0;
        for (double v : taps) l1q += std::fabs(v);
        // q3 mirrors q1; float rounding of the points is covered by the margin.
        return static_cast<float>(std::max(l1mid, l1q) * 1.001);
    }();
    return gain;
}

constexpr std::size_t kStep = 4;  // groups gated and computed together
constexpr std::size_t kMaxSteps = PeakMeter::kMaxRound / (kStep * kLanes) + 1;

// How the kernel reads the kLanes floats at p + O, p aligned to 64 bytes and O from -32 to
// 47 (a compile-time offset, so that the AVX-512 reader can build the vector from the two
// aligned ones around it).
struct Loads {
    template <int O>
    [[gnu::always_inline]] static VF at(const float* p) {
        return LOAD(p + O);
    }
};

// The kernel's functions are inlined into the entry point of each set (the AVX-512 one
// flattens, as its reader's target differs from theirs).
template <class Read, std::size_t... K>
[[gnu::always_inline]] inline VF midpoints(const float* p, const float* a,
                                           std::index_sequence<K...>) {
    VF sum[4] = {};  // four sums: a quarter of the adder's latency
    ((sum[K % 4] += a[K] * (Read::template at<-int(K)>(p) + Read::template at<1 + int(K)>(p))),
     ...);
    return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

// Tap j of the quarter points of the intervals at p (`m` holds their midpoints). The 2x
// sequence z: z[2i] = x[i], z[2i + 1] = mid[i]; q1 lies at z index 2i + 1/2, q3 at 2i + 3/2,
// and tap j weighs the two values j + 1/2 away.
template <class Read, bool First, std::size_t j>
[[gnu::always_inline]] inline VF quarterTap(const float* p, const float* m) {
    constexpr int h = int(j / 2);
    if constexpr (First)
        return j % 2 == 0 ? Read::template at<-h>(p) + Read::template at<h>(m)
                          : Read::template at<-h - 1>(m) + Read::template at<h + 1>(p);
    else
        return j % 2 == 0 ? Read::template at<-h>(m) + Read::template at<1 + h>(p)
                          : Read::template at<-h>(p) + Read::template at<1 + h>(m);
}

// q1 (`First`) or q3 of the intervals at p.
template <class Read, bool First, std::size_t... J>
[[gnu::always_inline]] inline VF quarterPoints(const float* p, const float* m, const float* b,
                                               std::index_sequence<J...>) {
    return (VF{} + ... + (b[J] * quarterTap<Read, First, J>(p, m)));
}

// Interpolates the points of the intervals i in [from, to) of `x` (to - from a multiple of
// kLanes, at most kMaxRound; from a multiple of kLanes, x 64-byte aligned, valid from
// from - kLeft to to + kLeft and readable up to kSlack further) and returns the largest
// magnitude among them, or 0 where none of a step's points can exceed `threshold` (`gain`
// times the largest sample they depend on is below it). `mid` is aligned scratch of the
// size of x. Steps of kStep groups of kLanes points keep independent sums, so that the
// adders' latency is hidden.
template <class Read>
[[gnu::always_inline]] inline float peakOf(const float* x, float* mid, std::size_t from,
                                           std::size_t to, const float* a, const float* b,
                                           float threshold, float gain) {
    const std::size_t groups = (to - from) / kLanes;
    const std::size_t steps = (groups + kStep - 1) / kStep;
    // need[s + 1]: a point of step s (groups s kStep ...) can exceed the threshold.
    bool need[kMaxSteps + 2] = {};
    for (std::size_t s = 0; s < steps; ++s) {
        // The samples the step's points depend on, and a few more.
        const float* w = x + from + s * kStep * kLanes - (kHalf1 + kReach2);
        constexpr std::size_t span = kStep * kLanes + 2 * (kHalf1 + kReach2);
        VH top = {};
        for (std::size_t t = 0; t < (span + kLanes / 2 - 1) / (kLanes / 2); ++t) {
            VH v;
            std::memcpy(&v, w + t * kLanes / 2, sizeof v);
            top = top > v ? top : v;
            top = top > -v ? top : -v;
        }
        float m = 0;
        for (std::size_t l = 0; l < kLanes / 2; ++l) m = std::max(m, top[l]);
        need[s + 1] = m * gain > threshold;
    }
    // Midpoints mid[i .. i + kLanes) in groups c from 0 (i = from - kLanes), in steps: step
    // s of a round's points reads the midpoint groups of midpoint steps s and s + 1 (the
    // second stage reaches kReach2 < kLanes into the neighbouring groups).
    for (std::size_t s = 0; s <= steps; ++s) {
        if (!need[s] && !need[s + 1]) continue;
        const std::size_t i = from + s * kStep * kLanes - kLanes;
        for (std::size_t u = 0; u < kStep; ++u)
            *reinterpret_cast<V8u*>(mid + i + u * kLanes) =
                midpoints<Read>(x + i + u * kLanes, a, std::make_index_sequence<kHalf1>());
    }
    // Extremes in vectors of 8 (a compare and select on 16 lanes is done lane by lane where
    // registers hold fewer).
    VH hi = {}, lo = {};
    for (std::size_t s = 0; s < steps; ++s) {
        if (!need[s + 1]) continue;
        const std::size_t i = from + s * kStep * kLanes;
        // Groups past `to` (the last step's) are not counted.
        for (std::size_t u = 0; u < kStep && s * kStep + u < groups; ++u) {
            const float* p = x + i + u * kLanes;
            const float* m = mid + i + u * kLanes;
            constexpr auto taps = std::make_index_sequence<kHalf2>();
            const VF q1 = quarterPoints<Read, true>(p, m, b, taps);
            const VF q3 = quarterPoints<Read, false>(p, m, b, taps);
            for (const VF v : {Read::template at<0>(m), q1, q3}) {
                VH half[2];
                std::memcpy(half, &v, sizeof v);
                for (const VH h : half) {
                    hi = hi > h ? hi : h;
                    lo = lo < h ? lo : h;
                }
            }
        }
    }
    float peak = 0;
    for (std::size_t i = 0; i < kLanes / 2; ++i) peak = std::max({peak, hi[i], -lo[i]});
    return peak;
}

TESSIVAL_CLONES_V3 float portablePeak(
    const float* x, float* mid, std::size_t from, std::size_t to, const float* a, const float* b,
    float threshold, float gain) {
    return peakOf<Loads>(x, mid, from, to, a, b, threshold, gain);
}

#if TESSIVAL_ISA_VARIANTS
// AVX-512: unaligned vectors straddle two cache lines and cost two loads. Three in four are
// built by valignd from the aligned vectors around them instead; the rest are loaded, so that
// the load and shuffle units share the work.
struct Shifts {
    template <int O>
    [[gnu::target("arch=x86-64-v4")]] static VF at(const float* p) {
        constexpr int q = (O + 32) / 16 - 2, r = O - 16 * q;  // O = 16 q + r, 0 <= r < 16
        if constexpr (r == 0) {
            return *reinterpret_cast<const VF*>(p + 16 * q);
        } else if constexpr (r % 4 == 2) {
            return LOAD(p + O);
        } else {
            const auto* aligned = reinterpret_cast<const VF*>(p + 16 * q);
            const __m512i lo = _mm512_castps_si512(__m512(aligned[0]));
            const __m512i hi = _mm512_castps_si512(__m512(aligned[1]));
            return VF(_mm512_castsi512_ps(_mm512_maskz_alignr_epi32(0xFFFF, hi, lo, r)));
        }
    }
};

[[gnu::target("arch=x86-64-v4"), gnu::flatten]] float avx512Peak(const float* x, float* mid,
                                                                 std::size_t from, std::size_t to,
                                                                 const float* a, const float* b,
                                                                 float threshold, float gain) {
    return peakOf<Shifts>(x, mid, from, to, a, b, threshold, gain);
}

// The AVX-512 kernel where the CPU has it, unless TESSIVAL_ISA asks for a smaller set.
bool useAvx512() {
    static const bool use = [] {
        const char* isa = std::getenv("TESSIVAL_ISA");
        const bool smaller =
            isa && (std::strcmp(isa, "portable") == 0 || std::strcmp(isa, "avx2") == 0);
        return !smaller && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
    }();
    return use;
}
#endif

float interpolatedPeak(const float* x, float* mid, std::size_t from, std::size_t to, const float* a,
                       const float* b, float threshold, float gain) {
#if TESSIVAL_ISA_VARIANTS
    if (useAvx512()) return avx512Peak(x, mid, from, to, a, b, threshold, gain);
#endif
    return portablePeak(x, mid, from, to, a, b, threshold, gain);
}
#undef LOAD

}  // namespace

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
    scale_ = scale;
    finished_ = false;
    reading_ = PeakReading{};
    reading_.integerOutput = integerOutput;
    for (Channel& c : channels_) {
        // A round of points, the reach of the filters on both sides, whole vectors.
        c.history.assign(kCapacity + kLanes, 0.0f);
        c.mid.assign(kCapacity + kLanes, 0.0f);
        c.fill = 0;  // the first value is held before it on arrival
    }
    reading_.samplePeak.assign(channels, 0.0);
    reading_.truePeak.assign(channels, 0.0);
    pointGain();  // the taps designed once, before any thread reads them
}

void PeakMeter::interpolate(Channel& c, bool flush) {
    // Intervals [i, i + 1] with the filters' reach inside the valid samples.
    const std::size_t from = kLeft;
    if (c.fill < 2 * kLeft + 1) return;
    std::size_t count = c.fill - 2 * kLeft - 1 + 1;
    count = flush ? (count + kLanes - 1) / kLanes * kLanes : count / kLanes * kLanes;
    if (count == 0) return;
    // Past the valid samples the last one is held (flush) or overwritten later (not read
    // for counted points).
    float* const h = aligned(c.history);
    std::fill(h + c.fill, h + kCapacity, c.last);
    // Groups that cannot raise the channel's peak are skipped: the true peak is at least the
    // sample peak.
    const float threshold = std::max(c.truePeak, static_cast<float>(c.samplePeak));
    c.truePeak = std::max(c.truePeak,
                          interpolatedPeak(h, aligned(c.mid), from, from + count, midTaps().data(),
                                           quarterTaps().data(), threshold, pointGain()));
    const std::size_t used = std::min(count, c.fill);
    std::memmove(h, h + used, (c.fill - used) * sizeof(float));
    c.fill -= used;
}

void PeakMeter::process(const double* x, std::size_t frames) {
    append(x, channels_.size(), frames);
}

void PeakMeter::processSilence(std::size_t frames) {
    static const double zero = 0.0;
    append(&zero, 0, frames);
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

using VD = double __attribute__((vector_size(64)));
typedef double VDu __attribute__((vector_size(64), aligned(8), may_alias));
using VL = std::int64_t __attribute__((vector_size(64)));
typedef float VF8u __attribute__((vector_size(32), aligned(4), may_alias));

#if TESSIVAL_ISA_VARIANTS
// copyScaled for the two channels of stereo frames, eight frames a step; `peak` and `bad`
// per channel. NaNs leave the peaks as they are (as std::max does).
[[gnu::always_inline]] inline void splitStereoVectors(const double* x, std::size_t frames,
                                                      double scale, float* d0, float* d1,
                                                      double* peak, std::uint64_t* bad) {
    const VL magnitude = VL{} + 0x7fffffffffffffff;
    VD hi0 = {}, hi1 = {};
    VL finite0 = {}, finite1 = {};
    auto raise = [](VD& hi, VD v) {
        const VL more = v > hi;  // all ones where v is larger (never for a NaN)
        hi = VD((VL(v) & more) | (VL(hi) & ~more));
    };
    std::size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        const VD a = *reinterpret_cast<const VDu*>(x + 2 * i) * scale;
        const VD b = *reinterpret_cast<const VDu*>(x + 2 * i + 8) * scale;
        const VD l = __builtin_shuffle(a, b, VL{0, 2, 4, 6, 8, 10, 12, 14});
        const VD r = __builtin_shuffle(a, b, VL{1, 3, 5, 7, 9, 11, 13, 15});
        const VD al = VD(VL(l) & magnitude), ar = VD(VL(r) & magnitude);
        raise(hi0, al);
        raise(hi1, ar);
        finite0 -= al <= 1.7976931348623157e308;  // a true comparison is -1
        finite1 -= ar <= 1.7976931348623157e308;
        *reinterpret_cast<VF8u*>(d0 + i) = __builtin_convertvector(l, VF8u);
        *reinterpret_cast<VF8u*>(d1 + i) = __builtin_convertvector(r, VF8u);
    }
    std::uint64_t n0 = 0, n1 = 0;
    for (std::size_t l = 0; l < 8; ++l) {
        peak[0] = std::max(peak[0], hi0[l]), peak[1] = std::max(peak[1], hi1[l]);
        n0 += static_cast<std::uint64_t>(finite0[l]), n1 += static_cast<std::uint64_t>(finite1[l]);
    }
    bad[0] += i - n0, bad[1] += i - n1;
    std::uint64_t tail = 0;
    peak[0] = std::max(peak[0], copyScaled(x + 2 * i, 2, frames - i, scale, d0 + i, tail));
    peak[1] = std::max(peak[1], copyScaled(x + 2 * i + 1, 2, frames - i, scale, d1 + i, tail));
    bad[0] += tail;
}
#endif  // TESSIVAL_ISA_VARIANTS

// The vectors of 8 doubles take four SSE2 registers each: the basic set goes frame by frame.
TESSIVAL_DEFAULT_VARIANT void splitStereo(const double* x, std::size_t frames, double scale,
                                            float* d0, float* d1, double* peak,
                                            std::uint64_t* bad) {
    peak[0] = std::max(peak[0], copyScaled(x, 2, frames, scale, d0, bad[0]));
    peak[1] = std::max(peak[1], copyScaled(x + 1, 2, frames, scale, d1, bad[1]));
}
#if TESSIVAL_ISA_VARIANTS
[[gnu::target("arch=x86-64-v3")]] void splitStereo(const double* x, std::size_t frames,
                                                   double scale, float* d0, float* d1, double* peak,
                                                   std::uint64_t* bad) {
    splitStereoVectors(x, frames, scale, d0, d1, peak, bad);
}
[[gnu::target("arch=x86-64-v4")]] void splitStereo(const double* x, std::size_t frames,
                                                   double scale, float* d0, float* d1, double* peak,
                                                   std::uint64_t* bad) {
    splitStereoVectors(x, frames, scale, d0, d1, peak, bad);
}

#endif

TESSIVAL_CLONES_V4_V3 std::uint64_t countOutside(
    const double* x, std::size_t n, double low, double high) {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += (x[i] < low) | (x[i] >= high);
    return count;
}

}  // namespace

void PeakMeter::countClamped(const double* x, std::size_t n, double low, double high) {
    reading_.clamped += countOutside(x, n, low, high);
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
            double peak[2] = {c0.samplePeak, c1.samplePeak};
            std::uint64_t bad[2] = {};
            splitStereo(src, take, scale_, d0, d1, peak, bad);
            c0.samplePeak = peak[0], c1.samplePeak = peak[1];
            c0.nonFinite += bad[0] + bad[1];
        } else {
            for (std::size_t ch = 0; ch < count; ++ch) {
                Channel& c = channels_[ch];
                const double* src = n ? x + f * n + ch : x;
                c.samplePeak = std::max(
                    c.samplePeak,
                    copyScaled(src, n, take, scale_, aligned(c.history) + c.fill, c.nonFinite));
            }
        }
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
