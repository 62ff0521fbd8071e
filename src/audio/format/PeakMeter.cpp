#include "audio/format/PeakMeter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace Audio {

namespace {

constexpr std::size_t kTaps = PeakMeter::kTapsPerPhase;
constexpr std::size_t kBlock = 512;  // interpolation points per phase per round
constexpr double kBeta = 8.0;        // Kaiser shape: about 80 dB stop band

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

std::array<std::vector<float>, PeakMeter::kOversampling> designPhases() {
    std::array<std::vector<float>, PeakMeter::kOversampling> phases;
    constexpr double half = kTaps / 2.0;
    for (unsigned p = 1; p < PeakMeter::kOversampling; ++p) {
        std::vector<double> h(kTaps);
        double sum = 0;
        for (std::size_t k = 0; k < kTaps; ++k) {
            // Distance of tap k from the point, in samples.
            const double d = (half - 1.0 - double(k)) + double(p) / PeakMeter::kOversampling;
            const double sinc = std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
            const double r = d / half;
            const double w = besselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(kBeta);
            h[k] = sinc * w;
            sum += h[k];
        }
        phases[p].resize(kTaps);
        for (std::size_t k = 0; k < kTaps; ++k) phases[p][k] = static_cast<float>(h[k] / sum);
    }
    return phases;
}

using V8 = float __attribute__((vector_size(32)));

// Largest |y| of the three interpolated phases at points 0 .. 8 x groups - 1 of `x`
// (point i lies between x[i + kTaps/2 - 1] and x[i + kTaps/2]).
[[gnu::target_clones("arch=haswell", "default")]] float interpolatedPeak(
    const float* x, std::size_t groups, const float* h1, const float* h2, const float* h3) {
    V8 hi = {}, lo = {};
    for (std::size_t g = 0; g < groups; ++g) {
        const float* xg = x + 8 * g;
        V8 a = {}, b = {}, c = {};
        for (std::size_t k = 0; k < kTaps; ++k) {
            V8 v;
            std::memcpy(&v, xg + k, sizeof v);
            a += h1[k] * v;
            b += h2[k] * v;
            c += h3[k] * v;
        }
        hi = hi > a ? hi : a;
        hi = hi > b ? hi : b;
        hi = hi > c ? hi : c;
        lo = lo < a ? lo : a;
        lo = lo < b ? lo : b;
        lo = lo < c ? lo : c;
    }
    float m = 0;
    for (int i = 0; i < 8; ++i) m = std::max({m, hi[i], -lo[i]});
    return m;
}

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

const std::vector<float>& PeakMeter::phase(unsigned p) {
    static const auto phases = designPhases();
    return phases.at(p);
}

void PeakMeter::configure(std::uint32_t channels, double scale, bool integerOutput) {
    channels_.assign(channels, Channel{});
    scale_ = scale;
    finished_ = false;
    reading_ = PeakReading{};
    reading_.integerOutput = integerOutput;
    for (Channel& c : channels_) {
        // Room for a round of points plus the taps, rounded up to whole groups of 8.
        c.history.assign(kBlock + kTaps + 8, 0.0f);
        c.fill = 0;  // the first value is held before it on arrival
    }
    reading_.samplePeak.assign(channels, 0.0);
    reading_.truePeak.assign(channels, 0.0);
    phase(1);  // designed once, before any thread reads it
}

void PeakMeter::interpolate(Channel& c, bool flush) {
    // Points available: every i with i + kTaps - 1 < fill.
    const std::size_t points = c.fill >= kTaps ? c.fill - kTaps + 1 : 0;
    std::size_t groups = flush ? (points + 7) / 8 : points / 8;
    if (groups == 0) return;
    if (flush) std::fill(c.history.begin() + c.fill, c.history.end(), c.last);
    c.truePeak = std::max(c.truePeak, interpolatedPeak(c.history.data(), groups, phase(1).data(),
                                                       phase(2).data(), phase(3).data()));
    const std::size_t used = std::min(8 * groups, c.fill);
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

void PeakMeter::append(const double* x, std::size_t n, std::size_t frames) {
    for (std::size_t ch = 0; ch < channels_.size(); ++ch) {
        Channel& c = channels_[ch];
        double peak = c.samplePeak;
        std::uint64_t bad = 0;
        std::size_t f = 0;
        if (!c.started && frames > 0) {
            c.started = true;
            std::fill_n(c.history.begin(), kTaps / 2, static_cast<float>(x[n ? ch : 0] * scale_));
            c.fill = kTaps / 2;
        }
        while (f < frames) {
            const std::size_t room = c.history.size() - 8 - c.fill;
            const std::size_t take = std::min(room, frames - f);
            float* dst = c.history.data() + c.fill;
            const double* src = n ? x + f * n + ch : x;
            for (std::size_t i = 0; i < take; ++i) {
                const double v = src[i * n] * scale_;
                peak = std::max(peak, std::fabs(v));
                bad += !(std::fabs(v) <= 1.7976931348623157e308);
                dst[i] = static_cast<float>(v);
            }
            if (take) c.last = dst[take - 1];
            c.fill += take;
            f += take;
            if (truePeak_)
                interpolate(c, false);
            else
                c.fill = kTaps / 2;
        }
        c.samplePeak = peak;
        c.nonFinite += bad;
    }
}

const PeakReading& PeakMeter::finish() {
    if (!finished_) {
        finished_ = true;
        for (std::size_t ch = 0; ch < channels_.size(); ++ch) {
            Channel& c = channels_[ch];
            if (truePeak_) {
                // The last value held: enough for the points up to it.
                std::fill(c.history.begin() + c.fill, c.history.begin() + c.fill + kTaps / 2,
                          c.last);
                c.fill += kTaps / 2;
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
