#pragma once

// Test streams and signal analysis for the resampling stages.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "audio/format/Format.h"
#include "stream/Stream.h"

namespace ChainTest {

using Signal = std::vector<double>;

inline Audio::Format floatFormat(float rate) {
    return Audio::Format(0x48u | (1u << 8) | (1u << 24), rate);  // 8-byte float, mono
}

// Channel source over in-memory samples; its length is known. Ranges whose
// samples are all zero are delivered as Silence when `silentZeros` is set,
// and then the buffer receives NaNs, so a stage that reads silent bytes
// shows it. Past the end it delivers silence, or `pastEnd` as samples (what
// a file holds after its audio, which no stage may use).
class VSource final : public Stream::iVOver, public Stream::Source {
public:
    VSource(std::vector<Signal> data, float rate, double origin = 0.0, bool silentZeros = false)
        : data_(std::move(data)), silentZeros_(silentZeros) {
        channels = static_cast<std::uint32_t>(data_.size());
        granularity = 8;
        length = static_cast<std::int64_t>(data_.empty() ? 0 : data_[0].size() * 8);
        setTag(Audio::Stream::Tag{origin, floatFormat(rate)});
    }

    void seek(std::uint64_t p) override { next_ = p / 8; }

    Stream::VBlock read(Stream::VSlice dest, std::uint32_t) override {
        const std::size_t n = dest.length() / 8;
        Stream::ChannelMask silent;
        for (std::uint32_t c = 0; c < channels; ++c) {
            auto* out = reinterpret_cast<double*>((*dest.channels)[c] + dest.begin);
            const Signal& d = data_[c];
            bool zero = true;
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t k = next_ + i;
                const double v = k < d.size() ? d[k] : pastEnd;
                zero = zero && v == 0.0;
                out[i] = v;
            }
            if (zero && (silentZeros_ || next_ >= d.size())) {
                silent.set(c);
                std::fill(out, out + n, std::numeric_limits<double>::quiet_NaN());
            }
        }
        next_ += n;
        ++reads;
        return {dest.channels, dest.begin, dest.end, silent, {}};
    }

    int reads = 0;
    double pastEnd = 0.0;

private:
    std::vector<Signal> data_;
    bool silentZeros_;
    std::size_t next_ = 0;
};

inline Audio::Stream::Wrapper<Stream::iVOver> source(std::vector<Signal> data, float rate,
                                                     double origin = 0.0,
                                                     bool silentZeros = false) {
    return Audio::Stream::Wrapper<Stream::iVOver>(
        new VSource(std::move(data), rate, origin, silentZeros));
}

// Reads `samples` samples per channel in requests of about `chunk` samples
// (rounded to the granularity), following the read protocol. Silent ranges
// read as zeros; `silentReads` counts reads that came back silent on every
// channel.
struct ReadResult {
    std::vector<Signal> data;
    int silentReads = 0;
};

inline ReadResult readAll(Stream::iVOver& s, std::size_t samples, std::size_t chunk = 4096) {
    const std::uint32_t g = std::max<std::uint32_t>(s.granularity, 8);
    std::uint32_t request = static_cast<std::uint32_t>(std::max<std::size_t>(chunk * 8 / g, 1) * g);
    const std::uint32_t capacity = request * s.expansion;
    std::vector<std::vector<std::uint8_t>> buffers(s.channels,
                                                   std::vector<std::uint8_t>(capacity + 64));
    Stream::Channels set(s.channels);
    for (std::uint32_t c = 0; c < s.channels; ++c) set[c] = buffers[c].data();
    ReadResult r;
    r.data.assign(s.channels, Signal());
    while (r.data.empty() || r.data[0].size() < samples) {
        const Stream::VBlock b = s.read({&set, 0, request}, capacity);
        s.position += b.length();
        if (b.allSilent(s.channels)) ++r.silentReads;
        for (std::uint32_t c = 0; c < s.channels; ++c) {
            const auto* p = reinterpret_cast<const double*>(set[c] + b.begin);
            const std::size_t n = b.length() / 8;
            const bool silent = b.silentMask.test(c);
            for (std::size_t i = 0; i < n; ++i) r.data[c].push_back(silent ? 0.0 : p[i]);
        }
    }
    for (auto& d : r.data) d.resize(samples);
    return r;
}

// sin(2 pi x), with x reduced to one cycle first for accuracy.
inline double sinCycles(double x) {
    return std::sin(2.0 * std::numbers::pi * (x - std::floor(x)));
}
inline double cosCycles(double x) {
    return std::cos(2.0 * std::numbers::pi * (x - std::floor(x)));
}

inline Signal tone(std::size_t n, double cyclesPerSample, double amplitude) {
    Signal s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = amplitude * sinCycles(cyclesPerSample * double(i));
    return s;
}

// Least-squares fit of y[j], j in [begin, end), to
// a sin(2 pi f (j - origin)) + b cos(2 pi f (j - origin)), f fixed. For a
// tone that really is delayed by `origin` samples, b is 0.
struct ToneFit {
    double amplitude = 0;   // sqrt(a^2 + b^2)
    double delayError = 0;  // true delay minus `origin`, samples
    double residualDb = 0;  // residual energy over fitted tone energy, dB
};

inline ToneFit fitTone(const Signal& y, std::size_t begin, std::size_t end, double f,
                       double origin) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (std::size_t j = begin; j < end; ++j) {
        const double x = f * (double(j) - origin);
        const double s = sinCycles(x), c = cosCycles(x);
        ss += s * s;
        sc += s * c;
        cc += c * c;
        ys += y[j] * s;
        yc += y[j] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det;
    const double b = (yc * ss - ys * sc) / det;
    double res = 0, sig = 0;
    for (std::size_t j = begin; j < end; ++j) {
        const double x = f * (double(j) - origin);
        const double fit = a * sinCycles(x) + b * cosCycles(x);
        res += (y[j] - fit) * (y[j] - fit);
        sig += fit * fit;
    }
    ToneFit t;
    t.amplitude = std::hypot(a, b);
    // a sin(x) + b cos(x) = A sin(x + phi): the tone is early by phi / (2 pi f).
    t.delayError = -std::atan2(b, a) / (2.0 * std::numbers::pi * f);
    t.residualDb = 10.0 * std::log10(res / sig);
    return t;
}

inline double peakDb(const Signal& y, std::size_t begin, std::size_t end) {
    double m = 0;
    for (std::size_t j = begin; j < end; ++j) m = std::max(m, std::abs(y[j]));
    return 20.0 * std::log10(m);
}

}  // namespace ChainTest
