#pragma once

// FFT convolution filter: the sharp stage of every conversion.
//
// A channel stream stage that convolves every channel with one long
// linear-phase FIR by overlap-add on real FFTs, and at the same time
// changes the rate by 2^e: imaging the input spectrum for interpolation
// (e > 0), folding the output spectrum for decimation (e < 0). It applies
// the gain and a fractional alignment delay, and adds its delay to the
// output tag's `origin`.
//
// Units: 64-bit float samples, 8 bytes per sample per channel. Block sizes
// are samples per channel; `alignShift` and tap counts are samples at the
// high rate (the higher of input and output rate). The filter runs at the
// high rate with transform size M; the low-rate transform has M / 2^|e|
// points.
//
// The template argument N is the kind of rate change, from the sign of e:
// kDecimating (e < 0), kSameRate (e = 0) or kInterpolating (e > 0); the
// three filters are also named DecimatingFFTFilter, SameRateFFTFilter and
// InterpolatingFFTFilter.
//
// Channels whose input has sound in a block are taken two at a time as the
// real and imaginary parts of one complex transform, with the bins left in
// bit-reversed order (no permutation pass); a channel left over runs alone
// on real transforms in the caller's buffer (hence `expansion` >= 4). The
// only state per channel is the overlap tail. Paired filters read their
// input into aligned work areas of their own, one per channel (or, past
// kMaxDirectBytes of them, into the caller's buffer, copied into one shared
// pair of work areas), so the transforms start where the input landed.
// A read allocates nothing.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "audio/format/Format.h"
#include "dsp/BandSpec.h"
#include "dsp/fft/FFT.h"
#include "dsp/fft/SplitFFT.h"

namespace DSP {

// Kernel generator: writes the scaled kernel's transform (M/2 + 1 bins) for
// the given transform and gain, returns the kernel delay in samples.
using KernelGenerator =
    std::function<unsigned(const OOURA::FFT::R2C&, Math::complex* spectrum, double gain)>;

struct ConvParams {
    std::uint32_t inputBlock = 0;   // input samples read per block
    std::uint32_t outputBlock = 0;  // output samples produced per block
    std::uint32_t overlap = 0;      // high-rate samples a block reaches past its end
};

// Everything about a filter's blocking that follows from its tap count L
// (odd), its exponent e, the input origin (input frames) and the sync offset
// (output samples).
struct FFTFilterLayout : ConvParams {
    std::uint32_t taps = 0;  // L
    std::int32_t exponent = 0;
    std::uint32_t size = 0;  // M, transform size at the high rate
    double alignShift = 0.0;
};
// Throws std::invalid_argument when the taps or exponent make no filter, and
// std::length_error when the transform would exceed 2^23 points.
FFTFilterLayout planFFTFilter(std::uint32_t taps, int exponent, double origin, double syncOffset);

// N of the FFT filter classes below.
constexpr int kDecimating = 0;     // e < 0: input at the high rate, output at the low
constexpr int kSameRate = 1;       // e = 0
constexpr int kInterpolating = 2;  // e > 0: input at the low rate, output at the high

// Transforms of one filter, shared instances of the FFT cache.
template <int N>
struct DFTSwitcher;
template <>
struct DFTSwitcher<kDecimating> {
    const OOURA::FFT::R2C* highRate = nullptr;
    const OOURA::FFT::R2C* lowRate = nullptr;
    const OOURA::FFT::R2C& inputDFT() const { return *highRate; }
    const OOURA::FFT::R2C& outputDFT() const { return *lowRate; }
};
template <>
struct DFTSwitcher<kSameRate> {
    const OOURA::FFT::R2C* highRate = nullptr;
    const OOURA::FFT::R2C& inputDFT() const { return *highRate; }
    const OOURA::FFT::R2C& outputDFT() const { return *highRate; }
};
template <>
struct DFTSwitcher<kInterpolating> {
    const OOURA::FFT::R2C* highRate = nullptr;
    const OOURA::FFT::R2C* lowRate = nullptr;
    const OOURA::FFT::R2C& inputDFT() const { return *lowRate; }
    const OOURA::FFT::R2C& outputDFT() const { return *highRate; }
};

class FFTFilterBaseBase : public ::Stream::Consumer<Audio::Stream::Wrapper<::Stream::iVOver>> {
public:
    FFTFilterBaseBase(Audio::Stream::Wrapper<::Stream::iVOver> up, std::int32_t e, double shift)
        : Consumer(std::move(up)), exponent(e), alignShift(shift) {}

    std::int32_t exponent;  // e
    double alignShift;      // extra kernel delay, high-rate samples
};

template <int N>
class FFTFilterBase : public DFTSwitcher<N>, public FFTFilterBaseBase, public ConvParams {
public:
    FFTFilterBase(Audio::Stream::Wrapper<::Stream::iVOver> up, const FFTFilterLayout& layout)
        : FFTFilterBaseBase(std::move(up), layout.exponent, layout.alignShift),
          ConvParams(layout) {}
};

template <int N>
class FFTFilter final : public ::Stream::iVOver, public FFTFilterBase<N> {
public:
    // `taps` and `generate` describe the kernel at the high rate; `gain` is
    // linear; `syncOffset` in output samples (negative: no grid alignment).
    FFTFilter(Audio::Stream::Wrapper<::Stream::iVOver> input, std::uint32_t taps,
              const KernelGenerator& generate, double gain, double syncOffset, int e);
    ~FFTFilter() override;

    void seek(std::uint64_t position) override;
    ::Stream::VBlock read(::Stream::VSlice dest, std::uint32_t capacity) override;

    std::uint32_t size() const { return size_; }  // M
    std::uint32_t taps() const { return taps_; }  // L
    double delay() const { return delay_; }       // (L - 1) / 2, high-rate samples
    const Math::complex* kernelSpectrum() const { return kernelSpectrum_.get(); }

private:
    struct ChannelTail {
        std::unique_ptr<double[]> tail;   // n_out - outputBlock samples
        std::unique_ptr<double[]> spare;  // as long: where a pair step puts the next tail
        bool tailIsZero = true;
    };
    struct FreeAligned {
        void operator()(void* p) const;
    };

    FFTFilter(Audio::Stream::Wrapper<::Stream::iVOver> input, const FFTFilterLayout& layout,
              const KernelGenerator& generate, double gain);
    // One channel's block in place; returns true when the output is silent.
    bool channelStep(ChannelTail& t, double* b, bool silentInput);
    // Two channels with sound in their input, as the real and imaginary
    // parts of one complex transform (the kernel is real, so the parts do not
    // mix). Same outputs as two channel steps up to rounding. The inputs a
    // and b (nIn samples, 64-byte aligned) are overwritten; the outputs go
    // to outA and outB (outputBlock samples each) straight from the inverse
    // transform's last step, with the tails added, and the new tails into the
    // spare buffers, which then become the tails.
    void pairStep(ChannelTail& ta, double* a, double* outA, ChannelTail& tb, double* b,
                  double* outB);
    std::int64_t mapLength(std::int64_t upstreamBytes) const;

    std::uint32_t size_;
    std::uint32_t taps_;
    double delay_ = 0.0;
    std::uint32_t tailLength_;
    std::unique_ptr<Math::complex[], FreeAligned> kernelSpectrum_;
    std::vector<ChannelTail> tails_;
    // Paired channels (null when not used): split complex transforms of the
    // input and output sizes, the kernel's full spectrum in bit-reversed order
    // and halved (a complex inverse is twice the real one), and the work
    // area; each of 2M doubles, the real parts first, then the imaginary.
    const OOURA::FFT::Split* pairIn_ = nullptr;
    const OOURA::FFT::Split* pairOut_ = nullptr;
    std::unique_ptr<double[], FreeAligned> pairSpectrum_;
    // Where paired filters read their input: `inputs_` points into `work_`,
    // one area of workStride_ doubles per channel (or two, then filled by
    // copies from the caller's buffer, when `direct_` is false).
    std::unique_ptr<double[], FreeAligned> work_;
    ::Stream::Channels inputs_;
    std::uint32_t workStride_ = 0;
    bool direct_ = false;
};

extern template class FFTFilter<kDecimating>;
extern template class FFTFilter<kSameRate>;
extern template class FFTFilter<kInterpolating>;

using DecimatingFFTFilter = FFTFilter<kDecimating>;
using SameRateFFTFilter = FFTFilter<kSameRate>;
using InterpolatingFFTFilter = FFTFilter<kInterpolating>;

// Builds the filter stage for exponent e over `input` from a kernel of
// `taps` high-rate taps (odd) and its generator. N follows from e.
Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(
    Audio::Stream::Wrapper<::Stream::iVOver> input, std::uint32_t taps,
    const KernelGenerator& generate, double gain, double syncOffset, int e);

class Window;

namespace detail {
// Filters built while this is set run every channel alone on real
// transforms (for tests and benchmarks comparing with the paired path).
void forceUnpairedChannels(bool on);
// Paired filters built while this is set read into the caller's buffer and
// copy into one shared pair of work areas (as they do with many channels).
void forceSharedWorkArea(bool on);
}  // namespace detail

// The FFT stage of a conversion: `window` (Kaiser, even integer length) and
// `band` are at the lower of the stage's two rates; the kernel is carried to
// the high rate (taps = window length x 2^|e| - 1).
Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(
    Audio::Stream::Wrapper<::Stream::iVOver> input, const Window& window, double gain,
    double syncOffset, const FIR::BandSpec& band, int e);

}  // namespace DSP
