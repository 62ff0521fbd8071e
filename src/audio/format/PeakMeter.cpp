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
constexpr std::size_t kBlock = 512;  // points per round
constexpr std::size_t kSlack = 32;   // room past the valid samples for whole vectors

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

// First stage: passes 0.45, stops 0.55 of the rate (80 dB). Second: the 2x sequence holds
// nothing above 0.275 of its rate, so the band from 0.275 to 0.725 is free.
const std::vector<float>& midTaps() {
    static const std::vector<float> taps = designHalf(kHalf1, 0.5, 8.0);
    return taps;
}
const std::vector<float>& quarterTaps() {
    static const std::vector<float> taps = designHalf(kHalf2, 0.5, 6.0);
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

constexpr std::size_t kMaxGroups = 40;  // groups of kLanes points in one round
constexpr std::size_t kGateGroups = 4;  // groups that are skipped or computed together

// Interpolates the points of the intervals i in [from, to) of `x` (to - from a multiple of
// kLanes; x valid from from - kLeft to to + kLeft, readable 2 kLanes further) and returns the
// largest magnitude among them, or 0 where none of a group's points can exceed `threshold`
// (`gain` times the largest sample they depend on is below it). `mid` is scratch of the
// size of x.
[[gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]] float interpolatedPeak(
    const float* x, float* mid, std::size_t from, std::size_t to, const float* a,
    const float* b, float threshold, float gain) {
    const std::size_t groups = (to - from) / kLanes;
    // need[g + 1]: group g (points from + g kLanes ...) can exceed the threshold.
    bool need[kMaxGroups + 2] = {};
    for (std::size_t g0 = 0; g0 < groups; g0 += kGateGroups) {
        // The samples the points of kGateGroups groups depend on, and a few more.
        const float* w = x + from + g0 * kLanes - (kHalf1 + kReach2);
        VF top = {};
        constexpr std::size_t span = kGateGroups * kLanes + 2 * (kHalf1 + kReach2);
        for (std::size_t t = 0; t < (span + kLanes - 1) / kLanes; ++t) {
            const VF v = LOAD(w + t * kLanes);
            top = top > v ? top : v;
            top = top > -v ? top : -v;
        }
        float m = 0;
        for (std::size_t l = 0; l < kLanes; ++l) m = std::max(m, top[l]);
        for (std::size_t g = g0; g < std::min(groups, g0 + kGateGroups); ++g)
            need[g + 1] = m * gain > threshold;
    }
    // Midpoints of the groups that need them and of their neighbours (the second stage
    // reaches kReach2 < kLanes into them).
    for (std::size_t c = 0; c < groups + 2; ++c) {
        if (!need[c] && !(c >= 1 && need[c - 1]) && !(c + 1 < groups + 2 && need[c + 1])) continue;
        const std::size_t i = from + c * kLanes - kLanes;
        VF acc = {};
        for (std::size_t k = 0; k < kHalf1; ++k) acc += a[k] * (LOAD(x + i - k) + LOAD(x + i + 1 + k));
        *reinterpret_cast<V8u*>(mid + i) = acc;
    }
    VF hi = {}, lo = {};
    for (std::size_t g = 0; g < groups; ++g) {
        if (!need[g + 1]) continue;
        const std::size_t i = from + g * kLanes;
        // The 2x sequence z: z[2i] = x[i], z[2i + 1] = mid[i]. q1 lies at z index 2i + 1/2,
        // q3 at 2i + 3/2.
        VF q1 = {}, q3 = {};
        for (std::size_t j = 0; j < kHalf2; ++j) {
            const std::size_t m = j / 2;
            if (j % 2 == 0) {
                q1 += b[j] * (LOAD(x + i - m) + LOAD(mid + i + m));
                q3 += b[j] * (LOAD(mid + i - m) + LOAD(x + i + 1 + m));
            } else {
                q1 += b[j] * (LOAD(mid + i - m - 1) + LOAD(x + i + m + 1));
                q3 += b[j] * (LOAD(x + i - m) + LOAD(mid + i + 1 + m));
            }
        }
        const VF m = LOAD(mid + i);
        for (const VF& v : {m, q1, q3}) {
            hi = hi > v ? hi : v;
            lo = lo < v ? lo : v;
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

}  // namespace

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
            double p0 = c0.samplePeak, p1 = c1.samplePeak;
            std::uint64_t bad = 0;
            for (std::size_t i = 0; i < take; ++i) {
                const double v0 = src[2 * i] * scale_, v1 = src[2 * i + 1] * scale_;
                p0 = std::max(p0, std::fabs(v0));
                p1 = std::max(p1, std::fabs(v1));
                bad += !(std::fabs(v0) <= 1.7976931348623157e308) +
                       !(std::fabs(v1) <= 1.7976931348623157e308);
                d0[i] = static_cast<float>(v0);
                d1[i] = static_cast<float>(v1);
            }
            c0.samplePeak = p0, c1.samplePeak = p1;
            c0.nonFinite += bad;
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
