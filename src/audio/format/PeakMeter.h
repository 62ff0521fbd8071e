#pragma once

// Peak meter of the samples on their way to the encoder: sample peak and
// true peak per channel, and the number of samples quantisation clamped.
//
// The true peak is the largest magnitude of the signal oversampled 4x, as
// ITU-R BS.1770-4 Annex 2 describes it: three interpolated points between
// each pair of samples, plus the samples themselves. The interpolator is one
// 4x polyphase filter of kPhaseTaps samples per point (Kaiser-windowed sinc,
// unity gain at DC); its two quarter points mirror each other and the
// halfway point is symmetric, so the three share their sums and products
// (see PeakMeter.cpp). Content up to 0.42 x the sample rate is read within
// 0.02 dB of a long sinc interpolation on the same grid; the 4x grid itself
// can miss a peak between its points by up to 20 log10(cos(pi f / (4 fs))) dB.
//
// Points that cannot lift a channel's peak so far are skipped, in groups, by two
// bounds: the sum of magnitudes of their taps times the largest sample they
// depend on, and (where that is not below the peak) the sum of their four
// central samples plus a bound of the rest by the largest difference between
// neighbouring samples. Steady full-level signals with much high-frequency
// content are the costly case (every point is worked out); quieter passages
// after a loud one, and material whose level changes slowly from sample to
// sample, cost little more than the sample peak.
//
// The interpolation runs on floats: on AVX-512 in vectors of 16 with shifted vectors built
// in registers, elsewhere (or with TESSIVAL_ISA=portable or avx2) in vectors of 8 with
// unaligned loads; the points agree up to float rounding (fused multiply-adds where the set
// has them).
//
// Units: values are multiplied by `scale` (set by the feeder) so that 1.0
// is full scale; readings are linear magnitudes relative to full scale.
// The signal is taken to hold its first value before the stream and its last
// value after it (a file cut from a longer signal is not read as a jump from
// silence; a file of DC at full scale reads 0 dBTP).
//
// One meter belongs to one chain's thread; read it after the chain ended.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace Audio {

// What a meter has seen, linear (1.0 = full scale).
struct PeakReading {
    std::vector<double> samplePeak;  // per channel, max |x|
    // Per channel, max |x| over the 4x oversampled signal. A meter of Scope::Overall reads only
    // the largest of them exactly: the others lie between their sample and true peaks.
    std::vector<double> truePeak;
    std::uint64_t clamped = 0;       // samples the integer encoder clipped (dither included)
    std::uint64_t nonFinite = 0;     // NaNs and infinities fed (a gain that overflowed)
    bool integerOutput = false;      // clamped is only counted for integer outputs

    double overallSamplePeak() const;
    double overallTruePeak() const;
};

namespace detail {
// For tests: every meter works out every point (no gate skips any) while `on`.
void computeEveryPoint(bool on);
// For tests: the interpolator's taps (before their rounding to floats) for the point `quarter`
// quarters of the way from x[i] to x[i + 1] (1 to 3): kPhaseTaps of them, tap j on
// x[i + j + 1 - kPhaseTaps / 2].
std::vector<double> interpolatorTaps(unsigned quarter);
}  // namespace detail

class PeakMeter {
public:
    static constexpr unsigned kOversampling = 4;
    static constexpr unsigned kPhaseTaps = 24;  // samples weighed for each point
    static constexpr unsigned kMaxRound = 512;   // points per channel worked out at once

    // Whose true peak is read exactly: every channel's, or only the largest over all channels
    // (what a job reports and its gain follows), which lets a channel skip the points that
    // cannot lift the loudest channel's reading so far (a quieter channel costs little).
    enum class Scope { PerChannel, Overall };

    // `truePeak` false measures the sample peaks alone. The feeder sets the channels.
    explicit PeakMeter(bool truePeak = true, Scope scope = Scope::PerChannel)
        : truePeak_(truePeak), scope_(scope) {}

    // Starts over with `channels` channels; `scale` is the factor from the fed values to
    // full-scale units.
    void configure(std::uint32_t channels, double scale, bool integerOutput);
    std::uint32_t channels() const { return static_cast<std::uint32_t>(channels_.size()); }

    // Frames are numbered by their position in the stream fed (the feeder says where a block
    // starts; without, it follows the previous one). Only the frames a job writes are
    // measured: from frame `first` on (before it a lead-in the job cuts but its reads may
    // pass through), `count()` of them (when the filters' tail is cut after the meter; -1
    // while not known). Without a count, every frame from `first` on. The peaks take a frame
    // once: one fed again (a stream read again after a seek back) is not appended twice.
    void setWritten(std::uint64_t first, std::function<std::int64_t()> count);

    // Feeds `frames` interleaved frames of channels() doubles, the first at stream frame `at`.
    void process(const double* interleaved, std::size_t frames, std::uint64_t at);
    void process(const double* interleaved, std::size_t frames) {
        process(interleaved, frames, next_);
    }
    // Feeds `frames` silent frames from stream frame `at`.
    void processSilence(std::size_t frames, std::uint64_t at);
    // Counts the `n` values of `x` outside [low, high) as clipped by the encoder; they are the
    // frames from stream frame `at` on.
    void countClamped(const double* x, std::size_t n, double low, double high, std::uint64_t at);
    // The stream frame after the last one fed.
    std::uint64_t next() const { return next_; }

    // Flushes the interpolator with the last frame held (once) and returns
    // the figures.
    const PeakReading& finish();

    // When a channel's steps try the cheaper bound (see PeakMeter.cpp).
    struct FineGate {
        unsigned wait = 0;     // steps left before it is tried again
        unsigned backoff = 0;  // steps it waits after its next failure
    };

private:
    struct Channel {
        // Used from its first 64-byte aligned float on (kernels read aligned vectors).
        std::vector<float> history;  // scaled samples awaiting interpolation
        std::size_t fill = 0;        // valid samples in history
        bool started = false;        // history begins with the first value held
        float last = 0;              // the latest value, held after the end
        double samplePeak = 0;
        float held = 0;  // no sample in history (NaNs aside) is of larger magnitude
        std::uint64_t nonFinite = 0;
        float truePeak = 0;
        FineGate gate;
        // Takes the largest magnitude of samples just appended (NaNs left out).
        void raise(double peak);
    };
    void interpolate(Channel& c, bool flush);
    // The frames of a block of `frames` from stream frame `at` that are written.
    struct Span {
        std::size_t skip = 0;   // frames before them
        std::size_t count = 0;  // frames written
    };
    Span written(std::uint64_t at, std::size_t frames) const;
    // Measures what is written of `frames` frames from stream frame `at`, `stride` doubles
    // apart (0: one value repeated).
    void feed(const double* x, std::size_t stride, std::size_t frames, std::uint64_t at);
    // Frames of `x` with `stride` doubles between frames (0: one value repeated).
    void append(const double* x, std::size_t stride, std::size_t frames);

    std::vector<Channel> channels_;
    std::uint64_t next_ = 0;               // the stream frame after the last one fed
    std::uint64_t measured_ = 0;           // the stream frame after the last one measured
    std::uint64_t first_ = 0;              // the first frame written
    std::function<std::int64_t()> count_;  // frames written, -1 while unknown
    double scale_ = 1.0;
    bool truePeak_ = true;
    Scope scope_ = Scope::PerChannel;
    float loudest_ = 0;  // Scope::Overall: the largest sample or true peak of any channel so far
    bool finished_ = false;
    PeakReading reading_;
};

}  // namespace Audio
