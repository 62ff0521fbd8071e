#include "dsp/FFTFilter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>
#include <stdexcept>
#include <utility>

#include "base/FloatMode.h"
#include "dsp/FFTFilterKernels.h"
#include "dsp/FIRDesign.h"
#include "dsp/fft/SplitFFT.h"

namespace DSP {

namespace {

constexpr std::uint32_t kMaxTransform = 1u << 23;  // largest size of the FFT cache
// Largest M for which channels are paired (a work area and a spectrum of 2M
// doubles each).
constexpr std::uint32_t kMaxPairedTransform = 1u << 20;
// Largest size of the work areas of one input area per channel.
constexpr std::size_t kMaxDirectBytes = std::size_t{4} << 20;
constexpr std::size_t kAlign = 64;

// x reduced to [-0.5, 0.5] keeping the sign of the remainder.
double reducePhase(double x) {
    x = std::fmod(x, 1.0);
    if (x > 0.5) x -= 1.0;
    if (x < -0.5) x += 1.0;
    return x;
}

// Multiplies bin k (k = 0 .. bins - 1) by exp(2 pi i k phi). Each factor is a
// product of table entries exp(2 pi i phi 2^j) for the set bits of k, so the
// phase error does not grow with k.
void applyDelay(Math::complex* spectrum, std::uint32_t bins, double phi) {
    Math::complex table[32];
    double p = reducePhase(phi);
    for (auto& t : table) {
        const double a = 2.0 * std::numbers::pi * p;
        t = {std::cos(a), std::sin(a)};
        p = reducePhase(2.0 * p);
    }
    for (std::uint32_t k = 0; k < bins; ++k) {
        Math::complex f{1.0, 0.0};
        for (std::uint32_t bits = k, j = 0; bits; bits >>= 1, ++j)
            if (bits & 1) f *= table[j];
        spectrum[k] *= f;
    }
}

// M for L taps. Any M >= 2L gives the same filter (taps, delay, origin and
// output samples up to rounding); only the block length M - L changes. A
// fractional sync offset is the exception: its phase ramp on the spectrum
// spreads the taps faintly over the whole transform (a shift by a fraction of
// taps whose spectrum ends in the stop band), so outputs then depend on M
// far below the design's noise target (about -150 dBFS for the 97 dB design,
// -205 dBFS for 145 dB; -80 dBFS for a 20 dB design). The
// work per output sample goes as M log M / (M - L), least for M around 8L to
// 16L, so M is the power of two at or above 8L. Filters of up to 1024 taps
// stop at 4096 points (a block of three quarters of the transform or more):
// each larger transform adds a pass over arrays that leave the first-level
// cache, which cost more than the longer blocks saved (the filters of
// 513 to 583 taps of the int24 designs at 44100 to 96000 Hz ran 5-10 % faster
// at 4096 points than at 8192). Longer filters stop at 2^15 points (complex
// work area and paired spectrum of 512 KiB each) unless 2L needs more, so that
// their transforms stay in the cache.
std::uint32_t transformSize(std::uint32_t taps) {
    constexpr std::uint64_t kShortFilter = 1024, kShortCap = 1u << 12;
    constexpr std::uint64_t kCacheFriendly = 1u << 15;
    const std::uint64_t minimal = std::bit_ceil(2 * std::uint64_t{taps});
    const std::uint64_t preferred = std::bit_ceil(8 * std::uint64_t{taps});
    const std::uint64_t cap = taps <= kShortFilter ? kShortCap : kCacheFriendly;
    return static_cast<std::uint32_t>(std::max(minimal, std::min(preferred, cap)));
}

std::uint32_t exponentFactor(int e) {
    return 1u << (e < 0 ? -e : e);
}

bool unpaired = false;
bool sharedWorkArea = false;

}  // namespace

namespace detail {
void forceUnpairedChannels(bool on) {
    unpaired = on;
}
void forceSharedWorkArea(bool on) {
    sharedWorkArea = on;
}
}  // namespace detail

FFTFilterLayout planFFTFilter(std::uint32_t taps, int exponent, double origin, double syncOffset) {
    if (taps == 0 || (taps & 1) == 0)
        throw std::invalid_argument("FFT filter: the tap count must be odd");
    if (exponent < -20 || exponent > 20)
        throw std::invalid_argument("FFT filter: rate change by a power of two out of range");
    if (!std::isfinite(origin) || !std::isfinite(syncOffset))
        throw std::invalid_argument("FFT filter: time origin and sync offset must be finite");
    if (taps > kMaxTransform / 2)
        throw std::length_error(
            "The filter is too long (transition band too narrow for the sample rate)");

    FFTFilterLayout l;
    l.taps = taps;
    l.exponent = exponent;
    l.size = transformSize(taps);
    const std::uint32_t f = exponentFactor(exponent);
    // The low-rate transform needs a few points at least.
    if (l.size / f < 4) l.size = 4 * f;
    if (l.size > kMaxTransform)
        throw std::length_error(
            "The filter is too long (transition band too narrow for the sample rate)");

    const int d = exponent < 0 ? -exponent : 0;
    const double df = std::ldexp(1.0, d);
    if (syncOffset < 0) {
        l.alignShift = 1.0 - df;
    } else {
        const double halfTaps = (taps + 1) / 2;
        const double w = (halfTaps - df) / df + std::ldexp(origin, exponent) - syncOffset;
        l.alignShift = df * (std::ceil(w) - w) + 1.0 - df;
    }
    const std::uint32_t flag = l.alignShift > 0 ? 1 : 0;
    const std::uint32_t M = l.size, L = taps;
    l.overlap = L - 1 + flag;
    if (exponent == 0) {
        l.inputBlock = l.outputBlock = M - L - flag + 1;
    } else if (exponent > 0) {
        l.inputBlock = (M - L - flag + f) >> exponent;
        l.outputBlock = l.inputBlock << exponent;
    } else {
        l.outputBlock = ((M - L) >> d) + 1 - flag;
        l.inputBlock = l.outputBlock << d;
    }
    return l;
}

template <int N>
void FFTFilter<N>::FreeAligned::operator()(void* p) const {
    ::operator delete[](p, std::align_val_t(kAlign));
}

template <int N>
FFTFilter<N>::FFTFilter(Audio::Stream::Wrapper<::Stream::iVOver> input, std::uint32_t taps,
                        const KernelGenerator& generate, double gain, double syncOffset, int e)
    : FFTFilter(input, planFFTFilter(taps, e, input.tag().origin, syncOffset), generate, gain) {}

template <int N>
FFTFilter<N>::FFTFilter(Audio::Stream::Wrapper<::Stream::iVOver> input,
                        const FFTFilterLayout& layout, const KernelGenerator& generate, double gain)
    : FFTFilterBase<N>(std::move(input), layout),
      size_(layout.size),
      taps_(layout.taps),
      tailLength_(0) {
    static_assert(N >= kDecimating && N <= kInterpolating);
    const int e = layout.exponent;
    if ((N == kDecimating) != (e < 0) || (N == kSameRate) != (e == 0) ||
        (N == kInterpolating) != (e > 0))
        throw Wobbly{};
    const Audio::Stream::Tag inTag = this->upstream.tag();
    const std::uint32_t f = exponentFactor(e);

    this->highRate = &OOURA::FFT::R2C::ForSize(size_);
    if constexpr (N != kSameRate) this->lowRate = &OOURA::FFT::R2C::ForSize(size_ / f);
    tailLength_ = static_cast<std::uint32_t>(this->outputDFT().n) - this->outputBlock;

    auto& up = *this->upstream;
    this->granularity = this->outputBlock * 8;
    this->channels = up.channels;
    const int d = e < 0 ? -e : 0;
    this->expansion = std::max(up.expansion << d, 4u << d);
    this->position = e >= 0 ? up.position << e : up.position >> -e;

    ScopedFloatMode mode;
    const std::size_t bins = size_ / 2 + 1;
    kernelSpectrum_.reset(static_cast<Math::complex*>(
        ::operator new[](bins * sizeof(Math::complex), std::align_val_t(kAlign))));
    std::fill_n(kernelSpectrum_.get(), bins, Math::complex{});
    // Inverse-transform normalisation, and for interpolation the factor lost
    // by zero-stuffing.
    const double n = N == kInterpolating ? double(size_ / f) : double(size_);
    delay_ = generate(*this->highRate, kernelSpectrum_.get(), 2.0 * gain / n);
    if (this->alignShift != 0.0)
        applyDelay(kernelSpectrum_.get(), static_cast<std::uint32_t>(bins),
                   this->alignShift / size_);

    Audio::Stream::Tag tag;
    tag.origin =
        (delay_ + this->alignShift) * std::ldexp(1.0, std::min(e, 0)) + std::ldexp(inTag.origin, e);
    tag.format = inTag.format;
    tag.format.sampleRate = std::ldexp(inTag.format.sampleRate, e);
    setTag(tag);

    tails_.resize(this->channels);
    for (auto& t : tails_) {
        t.tail.reset(new double[std::max(tailLength_, 1u)]);
        t.spare.reset(new double[std::max(tailLength_, 1u)]);
    }

    // The pairs' overlap-add assumes a tail no longer than a block, which
    // M >= 2L gives; the single-channel path would carry a longer one.
    if (this->channels >= 2 && size_ <= kMaxPairedTransform && tailLength_ <= this->outputBlock &&
        !unpaired) {
        pairIn_ = &OOURA::FFT::Split::ForSize(this->inputDFT().n);
        pairOut_ = &OOURA::FFT::Split::ForSize(this->outputDFT().n);
        const unsigned bits = static_cast<unsigned>(std::countr_zero(size_));
        auto allocate = [this] {
            return static_cast<double*>(::operator new[](2 * std::size_t{size_} * sizeof(double),
                                                         std::align_val_t(kAlign)));
        };
        pairSpectrum_.reset(allocate());
        // An input area holds what the upstream may write for one block and the
        // transforms of the block in place (M points after imaging).
        const std::uint64_t read = std::uint64_t{up.expansion} * this->inputBlock;
        workStride_ =
            static_cast<std::uint32_t>((std::max<std::uint64_t>(read, size_) + 7) / 8 * 8);
        direct_ = std::size_t{this->channels} * workStride_ * sizeof(double) <= kMaxDirectBytes &&
                  !sharedWorkArea;
        const std::size_t areas = direct_ ? this->channels : 2;
        work_.reset(static_cast<double*>(
            ::operator new[](areas* workStride_ * sizeof(double), std::align_val_t(kAlign))));
        if (direct_) {
            inputs_.resize(this->channels);
            for (std::uint32_t c = 0; c < this->channels; ++c)
                inputs_[c] =
                    reinterpret_cast<std::uint8_t*>(work_.get() + std::size_t{c} * workStride_);
        }
        const Math::complex* K = kernelSpectrum_.get();
        const std::uint32_t half = size_ / 2;
        for (std::uint32_t k = 0; k < size_; ++k) {
            // The real path reads only the real parts of bins 0 and M/2.
            Math::complex v = k == 0 || k == half ? Math::complex{K[k].real, 0.0}
                              : k < half          ? K[k]
                                                  : Math::conj(K[size_ - k]);
            // Same-size transforms convolve in one call, which takes its own
            // order; the others multiply in bit-reversed order.
            const std::size_t at =
                N == kSameRate ? pairOut_->convolutionIndex(k) : OOURA::FFT::bitReversed(k, bits);
            pairSpectrum_[at] = v.real * 0.5;
            pairSpectrum_[size_ + at] = v.imag * 0.5;
        }
    }
}

template <int N>
FFTFilter<N>::~FFTFilter() = default;

template <int N>
std::int64_t FFTFilter<N>::mapLength(std::int64_t upstreamBytes) const {
    const std::int64_t in = upstreamBytes / 8;
    const std::int64_t ov = this->overlap;
    std::int64_t out;
    if constexpr (N == kDecimating) {
        const int d = -this->exponent;
        out = (in + ov + (std::int64_t{1} << d) - 1) >> d;
    } else if constexpr (N == kSameRate) {
        out = in + ov;
    } else {
        out = in > 0 ? ((in - 1) << this->exponent) + 1 + ov : 0;
    }
    return out * 8;
}

template <int N>
void FFTFilter<N>::seek(std::uint64_t p) {
    for (auto& t : tails_) t.tailIsZero = true;
    const std::uint64_t block = p / (std::uint64_t{this->outputBlock} * 8);
    const std::uint64_t q = block * this->inputBlock * 8;
    this->upstream->seek(q);
    this->upstream->position = static_cast<std::int64_t>(q);
}

template <int N>
bool FFTFilter<N>::channelStep(ChannelTail& t, double* b, bool silentInput) {
    const std::uint32_t ob = this->outputBlock;
    if (silentInput) {
        if (t.tailIsZero) return true;
        std::memcpy(b, t.tail.get(), tailLength_ * sizeof(double));
        std::fill(b + tailLength_, b + ob, 0.0);
        t.tailIsZero = true;
        return false;
    }

    const detail::FilterKernels& kernels = detail::filterKernels();
    auto* X = reinterpret_cast<Math::complex*>(b);
    const std::uint32_t nIn = static_cast<std::uint32_t>(this->inputDFT().n);
    const std::uint32_t half = size_ / 2;
    this->inputDFT().Forward(X, b);
    const Math::complex* K = kernelSpectrum_.get();

    if constexpr (N == kInterpolating) {
        // Zero-stuffing repeats the low-rate spectrum: bin k = bin (k mod nIn),
        // with bins above nIn/2 the conjugates of their mirrors. The bins above
        // nIn/2 are written first, so their sources (bins 0 .. nIn/2) are
        // still intact; bins 0 .. nIn/2 are multiplied in place last.
        const std::uint32_t h = nIn / 2;
        for (std::uint32_t s = 0; s <= half; s += nIn) {
            const std::uint32_t lo = s + h + 1, hi = std::min(s + nIn - 1, half);
            if (lo <= hi) kernels.multiplyMirrored(X + lo, X + (s + nIn - lo), K + lo, hi - lo + 1);
            if (s > 0) kernels.multiply(X + s, X, K + s, std::min(h, half - s) + 1);
        }
        kernels.multiply(X, X, K, std::min(h, half) + 1);
    } else {
        kernels.multiply(X, X, K, half + 1);
    }

    if constexpr (N == kDecimating) {
        // Keeping every second sample adds the upper half of the spectrum onto
        // the lower: Z[j] = Y[j] + Y[j + S/2] = Y[j] + conj(Y[S/2 - j]).
        const std::uint32_t nOut = static_cast<std::uint32_t>(this->outputDFT().n);
        for (std::uint32_t s = size_ / 2; s >= nOut; s /= 2) kernels.fold(X, s);
    }

    this->outputDFT().Inverse(b, X);

    double* tail = t.tail.get();
    if (t.tailIsZero) {
        std::memcpy(tail, b + ob, tailLength_ * sizeof(double));
        t.tailIsZero = false;
    } else {
        kernels.overlapAdd(b, tail, b + ob, tailLength_);
    }
    return false;
}

template <int N>
void FFTFilter<N>::pairStep(ChannelTail& ta, double* zr, double* outA, ChannelTail& tb, double* zi,
                            double* outB) {
    using OOURA::FFT::Split;
    const std::uint32_t nIn = static_cast<std::uint32_t>(this->inputDFT().n);
    const std::uint32_t nOut = static_cast<std::uint32_t>(this->outputDFT().n);
    const double* kr = pairSpectrum_.get();
    const double* ki = kr + size_;
    // The tail of the previous block adds to the first tailLength_ samples.
    const std::uint32_t ob = this->outputBlock;
    auto head = [&](const ChannelTail& t) -> std::size_t {
        return t.tailIsZero ? 0 : std::min(tailLength_, ob);
    };
    const OOURA::FFT::Overlap to{{outA, outB},
                                 {ta.tail.get(), tb.tail.get()},
                                 {ta.spare.get(), tb.spare.get()},
                                 {head(ta), head(tb)},
                                 ob};
    if constexpr (N == kSameRate) {
        pairOut_->convolve(zr, zi, kr, ki, &to);
    } else {
        pairIn_->forward(zr, zi);
        // In bit-reversed order imaging repeats every bin 2^e times in a row
        // and folding adds runs of 2^-e neighbours.
        if constexpr (N == kDecimating) {
            Split::foldMultiply(zr, zi, kr, ki, nOut, size_ / nOut);
            pairOut_->inverse(zr, zi, &to);
        } else {
            pairOut_->imageInverse(zr, zi, kr, ki, size_ / nIn, &to);
        }
    }
    for (ChannelTail* t : {&ta, &tb}) {
        std::swap(t->tail, t->spare);
        t->tailIsZero = false;
    }
}

template <int N>
::Stream::VBlock FFTFilter<N>::read(::Stream::VSlice dest, std::uint32_t capacity) {
    using ::Stream::VBlock;
    const std::uint32_t ob = this->outputBlock * 8;
    const std::uint32_t ib = this->inputBlock * 8;
    if (dest.end < dest.begin || dest.length() % ob != 0) throw Wobbly{};
    auto& up = *this->upstream;
    const std::uint64_t lend = std::uint64_t{up.expansion} * ib;
    const std::uint64_t span = std::max<std::uint64_t>(lend, (std::uint64_t{size_} + 2) * 8);
    if (dest.length() > 0 && std::uint64_t{dest.length()} - ob + span > capacity) throw Wobbly{};

    ScopedFloatMode mode;
    const std::uint32_t nIn = static_cast<std::uint32_t>(this->inputDFT().n);
    VBlock result{dest.channels, dest.begin, dest.begin, ::Stream::kAllSilent, {}};
    // Paired filters read into their input areas when they have one per
    // channel, at their start; otherwise into the caller's buffer.
    ::Stream::Channels& inputs = direct_ ? inputs_ : *dest.channels;
    const std::uint32_t inputCapacity =
        direct_ ? workStride_ * 8 : static_cast<std::uint32_t>(lend);
    for (std::uint32_t cursor = dest.begin; cursor < dest.end; cursor += ob) {
        const std::int64_t from = up.position;
        const std::uint32_t at = direct_ ? 0 : cursor;
        VBlock in = up.read({&inputs, at, at + ib}, inputCapacity);
        ::Stream::advance(up, in);
        this->inheritLength(up, [this](std::int64_t l) { return mapLength(l); });
        // What lies past the upstream's length is not its content: the
        // filter's tail is computed on silence there.
        in.end = in.begin +
                 static_cast<std::uint32_t>(::Stream::keptLength(in.length(), from, up.length));
        const bool delivered = in.end > in.begin;
        const ::Stream::ChannelMask silentIn = delivered ? in.silentMask : ::Stream::kAllSilent;
        // The rest of the input transform's span reads as zeros.
        if (delivered)
            in =
                ::Stream::join(in, VBlock{&inputs, in.end, at + nIn * 8, ::Stream::kAllSilent, {}});
        ::Stream::ChannelMask silentOut;
        auto input = [&](std::uint32_t c) { return reinterpret_cast<double*>(inputs[c] + at); };
        auto buffer = [&](std::uint32_t c) {
            return reinterpret_cast<double*>((*dest.channels)[c] + cursor);
        };
        // A channel alone runs in place in the caller's buffer.
        auto single = [&](std::uint32_t c, bool silent) {
            if (direct_ && !silent) std::memcpy(buffer(c), input(c), nIn * sizeof(double));
            return channelStep(tails_[c], buffer(c), silent);
        };
        // Paired transforms mix the rounding of the two channels: a block of zeros runs as
        // silence, and a channel whose block and tail equal its partner's takes the partner's
        // result (a silent channel came out at -300 dBFS, identical channels differed).
        auto zeros = [&](std::uint32_t c) {
            const double* x = input(c);
            return std::all_of(x, x + nIn, [](double v) { return v == 0.0; });
        };
        auto sameAs = [&](std::uint32_t a, std::uint32_t b) {
            const ChannelTail &ta = tails_[a], &tb = tails_[b];
            if (ta.tailIsZero != tb.tailIsZero ||
                (!ta.tailIsZero &&
                 std::memcmp(ta.tail.get(), tb.tail.get(), tailLength_ * sizeof(double)) != 0))
                return false;
            return std::memcmp(input(a), input(b), nIn * sizeof(double)) == 0;
        };
        // Channels with sound go in pairs when the filter pairs them.
        std::uint32_t pending = this->channels;  // a channel waiting for a partner
        for (std::uint32_t c = 0; c < this->channels; ++c) {
            const bool silent = silentIn.test(c) || zeros(c);
            if (!silent && pairIn_) {
                if (pending == this->channels) {
                    pending = c;
                } else if (sameAs(pending, c)) {
                    single(pending, false);
                    std::memcpy(buffer(c), buffer(pending), ob);
                    std::memcpy(tails_[c].tail.get(), tails_[pending].tail.get(),
                                tailLength_ * sizeof(double));
                    tails_[c].tailIsZero = tails_[pending].tailIsZero;
                    pending = this->channels;
                } else if (direct_) {
                    pairStep(tails_[pending], input(pending), buffer(pending), tails_[c], input(c),
                             buffer(c));
                    pending = this->channels;
                } else {
                    // The caller's buffers have no particular alignment: copied into the
                    // aligned work areas, the transforms' loads do not split cache lines.
                    double* const zr = work_.get();
                    double* const zi = zr + workStride_;
                    std::memcpy(zr, input(pending), nIn * sizeof(double));
                    std::memcpy(zi, input(c), nIn * sizeof(double));
                    pairStep(tails_[pending], zr, buffer(pending), tails_[c], zi, buffer(c));
                    pending = this->channels;
                }
                continue;
            }
            if (single(c, silent)) silentOut.set(c);
        }
        if (pending != this->channels) single(pending, false);
        result = ::Stream::join(result, VBlock{dest.channels, cursor, cursor + ob, silentOut, {}});
    }
    return result;
}

template class FFTFilter<kDecimating>;
template class FFTFilter<kSameRate>;
template class FFTFilter<kInterpolating>;

Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(
    Audio::Stream::Wrapper<::Stream::iVOver> input, std::uint32_t taps,
    const KernelGenerator& generate, double gain, double syncOffset, int e) {
    ::Stream::iVOver* s;
    if (e < 0)
        s = new DecimatingFFTFilter(std::move(input), taps, generate, gain, syncOffset, e);
    else if (e == 0)
        s = new SameRateFFTFilter(std::move(input), taps, generate, gain, syncOffset, e);
    else
        s = new InterpolatingFFTFilter(std::move(input), taps, generate, gain, syncOffset, e);
    return Audio::Stream::Wrapper<::Stream::iVOver>(s);
}

Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(
    Audio::Stream::Wrapper<::Stream::iVOver> input, const Window& window, double gain,
    double syncOffset, const FIR::BandSpec& band, int e) {
    FIR::BandpassGen gen(band, window, e);
    const std::uint32_t taps = gen.taps;
    return makeFFTFilter(std::move(input), taps, FIR::BandpassGen::bind(std::move(gen)), gain,
                         syncOffset, e);
}

}  // namespace DSP
