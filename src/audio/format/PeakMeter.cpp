#include "audio/format/PeakMeter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace Audio {

namespace {

constexpr std::size_t kHalf1 = PeakMeter::kMidTaps / 2;      // folded taps, first stage
constexpr std::size_t kHalf2 = PeakMeter::kQuarterTaps / 2;  // folded taps, second stage
constexpr std::size_t kReach2 = (kHalf2 + 1) / 2;  // samples the second stage reaches each way
constexpr std::size_t kLanes = 16;  // floats per vector: one AVX-512 register, two AVX2 ones
// Samples kept left of the first interval of a round and right of the last: the first
// stage's reach for whole vectors of midpoints one vector beyond the round on each side.
constexpr std::size_t kLeft = kHalf1 + kLanes;
constexpr std::size_t kBlock = PeakMeter::kMaxRound;  // points per round
// Room past the valid samples for whole vectors and for the groups of a round's last step.
constexpr std::size_t kSlack = 4 * kLanes + kLanes;

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
// kLanes floats at any float's address.
using V8u = float __attribute__((vector_size(4 * kLanes), aligned(4), may_alias));
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
        // q1(0) on x[n], n from -kOffset: z[2n] = x[n], z[2n + 1] = sum a_k (x[n - k] + x[n + 1 + k]).
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

// Interpolates the points of the intervals i in [from, to) of `x` (to - from a multiple of
// kLanes, at most kMaxRound; x valid from from - kLeft to to + kLeft and readable up to
// kSlack further) and returns the largest magnitude among them, or 0 where none of a step's
// points can exceed `threshold` (`gain` times the largest sample they depend on is below
// it). `mid` is scratch of the size of x. Steps of kStep groups of kLanes points keep
// kStep independent sums per tap, so that the adders' latency is hidden.
[[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]] float interpolatedPeak(
    const float* x, float* mid, std::size_t from, std::size_t to, const float* a,
    const float* b, float threshold, float gain) {
    const std::size_t groups = (to - from) / kLanes;
    const std::size_t steps = (groups + kStep - 1) / kStep;
    // need[s + 1]: a point of step s (groups s kStep ...) can exceed the threshold.
    bool need[kMaxSteps + 2] = {};
    for (std::size_t s = 0; s < steps; ++s) {
        // The samples the step's points depend on, and a few more.
        const float* w = x + from + s * kStep * kLanes - (kHalf1 + kReach2);
        constexpr std::size_t span = kStep * kLanes + 2 * (kHalf1 + kReach2);
        VF top = {};
        for (std::size_t t = 0; t < (span + kLanes - 1) / kLanes; ++t) {
            const VF v = LOAD(w + t * kLanes);
            top = top > v ? top : v;
            top = top > -v ? top : -v;
        }
        float m = 0;
        for (std::size_t l = 0; l < kLanes; ++l) m = std::max(m, top[l]);
        need[s + 1] = m * gain > threshold;
    }
    // Midpoints mid[i .. i + kLanes) in groups c from 0 (i = from - kLanes), in steps: step
    // s of a round's points reads the midpoint groups of midpoint steps s and s + 1 (the
    // second stage reaches kReach2 < kLanes into the neighbouring groups).
    for (std::size_t s = 0; s <= steps; ++s) {
        if (!need[s] && !need[s + 1]) continue;
        const std::size_t i = from + s * kStep * kLanes - kLanes;
        VF acc[kStep] = {};
#pragma GCC unroll 16
        for (std::size_t k = 0; k < kHalf1; ++k)
            for (std::size_t u = 0; u < kStep; ++u)
                acc[u] += a[k] * (LOAD(x + i + u * kLanes - k) + LOAD(x + i + u * kLanes + 1 + k));
        for (std::size_t u = 0; u < kStep; ++u) *reinterpret_cast<V8u*>(mid + i + u * kLanes) = acc[u];
    }
    VF hi = {}, lo = {};
    for (std::size_t s = 0; s < steps; ++s) {
        if (!need[s + 1]) continue;
        const std::size_t i = from + s * kStep * kLanes;
        // The 2x sequence z: z[2i] = x[i], z[2i + 1] = mid[i]. q1 lies at z index 2i + 1/2,
        // q3 at 2i + 3/2.
        VF q1[kStep] = {}, q3[kStep] = {};
#pragma GCC unroll 16
        for (std::size_t j = 0; j < kHalf2; ++j) {
            const std::size_t m = j / 2;
            for (std::size_t u = 0; u < kStep; ++u) {
                const std::size_t n = i + u * kLanes;
                if (j % 2 == 0) {
                    q1[u] += b[j] * (LOAD(x + n - m) + LOAD(mid + n + m));
                    q3[u] += b[j] * (LOAD(mid + n - m) + LOAD(x + n + 1 + m));
                } else {
                    q1[u] += b[j] * (LOAD(mid + n - m - 1) + LOAD(x + n + m + 1));
                    q3[u] += b[j] * (LOAD(x + n - m) + LOAD(mid + n + 1 + m));
                }
            }
        }
        // Groups past `to` (the last step's) are worked out but not counted.
        for (std::size_t u = 0; u < kStep && s * kStep + u < groups; ++u) {
            for (const VF& v : {LOAD(mid + i + u * kLanes), q1[u], q3[u]}) {
                hi = hi > v ? hi : v;
                lo = lo < v ? lo : v;
            }
        }
    }
    float peak = 0;
    for (std::size_t i = 0; i < kLanes; ++i) peak = std::max({peak, hi[i], -lo[i]});
    return peak;
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
        c.history.assign(kBlock + 2 * kLeft + 2 + 2 * kSlack, 0.0f);
        c.mid.assign(c.history.size(), 0.0f);
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
    std::fill(c.history.begin() + c.fill, c.history.end(), c.last);
    // Groups that cannot raise the channel's peak are skipped: the true peak is at least the
    // sample peak.
    const float threshold = std::max(c.truePeak, static_cast<float>(c.samplePeak));
    c.truePeak = std::max(c.truePeak, interpolatedPeak(c.history.data(), c.mid.data(), from,
                                                       from + count, midTaps().data(),
                                                       quarterTaps().data(), threshold,
                                                       pointGain()));
    const std::size_t used = std::min(count, c.fill);
    std::memmove(c.history.data(), c.history.data() + used, (c.fill - used) * sizeof(float));
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
double copyScaled(const double* x, std::size_t stride, std::size_t frames, double scale,
                  float* dst, std::uint64_t& bad) {
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
using VDu = double __attribute__((vector_size(64), aligned(8), may_alias));
using VL = std::int64_t __attribute__((vector_size(64)));
using VF8u = float __attribute__((vector_size(32), aligned(4), may_alias));

// copyScaled for the two channels of stereo frames, eight frames a step; `peak` and `bad`
// per channel. NaNs leave the peaks as they are (as std::max does).
[[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]] void splitStereo(
    const double* x, std::size_t frames, double scale, float* d0, float* d1, double* peak,
    std::uint64_t* bad) {
    const VD zero = {};
    VD hi0 = zero, hi1 = zero;
    VL finite0 = {}, finite1 = {};
    std::size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        const VD a = *reinterpret_cast<const VDu*>(x + 2 * i) * scale;
        const VD b = *reinterpret_cast<const VDu*>(x + 2 * i + 8) * scale;
        const VD l = __builtin_shuffle(a, b, VL{0, 2, 4, 6, 8, 10, 12, 14});
        const VD r = __builtin_shuffle(a, b, VL{1, 3, 5, 7, 9, 11, 13, 15});
        const VD al = l < zero ? -l : l, ar = r < zero ? -r : r;
        hi0 = al > hi0 ? al : hi0;
        hi1 = ar > hi1 ? ar : hi1;
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

[[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]] std::uint64_t countOutside(
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
            std::fill_n(c.history.begin(), kLeft + 1, static_cast<float>(x[n ? ch : 0] * scale_));
            c.fill = kLeft + 1;
        }
    }
    std::size_t f = 0;
    while (f < frames) {
        Channel& c0 = channels_[0];
        const std::size_t take =
            std::min(c0.history.size() - 2 * kSlack - c0.fill, frames - f);
        if (n == 2 && count == 2) {
            // Stereo, the usual case, in one pass over the frames.
            Channel& c1 = channels_[1];
            float* d0 = c0.history.data() + c0.fill;
            float* d1 = c1.history.data() + c1.fill;
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
                c.samplePeak = std::max(c.samplePeak, copyScaled(src, n, take, scale_,
                                                                 c.history.data() + c.fill,
                                                                 c.nonFinite));
            }
        }
        for (Channel& c : channels_) {
            if (take) c.last = c.history[c.fill + take - 1];
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
                std::fill(c.history.begin() + c.fill, c.history.begin() + c.fill + kLeft + 1,
                          c.last);
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
