#include "dsp/FFTFilter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>
#include <stdexcept>

#include "base/FloatMode.h"
#include "dsp/FIRDesign.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESSIVAL_FFTFILTER_AVX2 1
#endif

namespace DSP {

namespace {

constexpr std::uint32_t kMaxTransform = 1u << 23;  // largest size of the FFT cache
constexpr std::size_t kAlign = 64;

// a[k] *= b[k] for k < count (complex).
void multiplyGeneric(Math::complex* a, const Math::complex* b, std::size_t count) {
    double* x = reinterpret_cast<double*>(a);
    const double* y = reinterpret_cast<const double*>(b);
    for (std::size_t k = 0; k < count; ++k) {
        const double ar = x[2 * k], ai = x[2 * k + 1];
        const double br = y[2 * k], bi = y[2 * k + 1];
        x[2 * k] = ar * br - ai * bi;
        x[2 * k + 1] = ar * bi + ai * br;
    }
}

#ifdef TESSIVAL_FFTFILTER_AVX2
__attribute__((target("avx2,fma"))) void multiplyAVX2(Math::complex* a, const Math::complex* b,
                                                      std::size_t count) {
    double* x = reinterpret_cast<double*>(a);
    const double* y = reinterpret_cast<const double*>(b);
    std::size_t k = 0;
    for (; k + 2 <= count; k += 2) {
        const __m256d va = _mm256_loadu_pd(x + 2 * k);        // ar0 ai0 ar1 ai1
        const __m256d vb = _mm256_loadu_pd(y + 2 * k);        // br0 bi0 br1 bi1
        const __m256d br = _mm256_movedup_pd(vb);             // br0 br0 br1 br1
        const __m256d bi = _mm256_permute_pd(vb, 0xF);        // bi0 bi0 bi1 bi1
        const __m256d swapped = _mm256_permute_pd(va, 0x5);   // ai0 ar0 ai1 ar1
        // even lanes ar*br - ai*bi, odd lanes ai*br + ar*bi
        _mm256_storeu_pd(x + 2 * k, _mm256_fmaddsub_pd(va, br, _mm256_mul_pd(swapped, bi)));
    }
    multiplyGeneric(a + k, b + k, count - k);
}
#endif

using MultiplyFn = void (*)(Math::complex*, const Math::complex*, std::size_t);

MultiplyFn chooseMultiply() {
#ifdef TESSIVAL_FFTFILTER_AVX2
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return multiplyAVX2;
#endif
    return multiplyGeneric;
}

const MultiplyFn multiplySpectrum = chooseMultiply();

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

std::uint32_t exponentFactor(int e) { return 1u << (e < 0 ? -e : e); }

}  // namespace

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
    l.size = std::bit_ceil(2 * taps);
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
                        const FFTFilterLayout& layout, const KernelGenerator& generate,
                        double gain)
    : FFTFilterBase<N>(std::move(input), layout),
      size_(layout.size),
      taps_(layout.taps),
      tailLength_(0) {
    static_assert(N >= 0 && N <= 2);
    const int e = layout.exponent;
    if ((N == 0) != (e < 0) || (N == 1) != (e == 0) || (N == 2) != (e > 0)) throw Wobbly{};
    const Audio::Stream::Tag inTag = this->upstream.tag();
    const std::uint32_t f = exponentFactor(e);

    this->highRate = &OOURA::FFT::R2C::ForSize(size_);
    if constexpr (N != 1) this->lowRate = &OOURA::FFT::R2C::ForSize(size_ / f);
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
    const double n = N == 2 ? double(size_ / f) : double(size_);
    delay_ = generate(*this->highRate, kernelSpectrum_.get(), 2.0 * gain / n);
    if (this->alignShift != 0.0)
        applyDelay(kernelSpectrum_.get(), static_cast<std::uint32_t>(bins),
                   this->alignShift / size_);

    Audio::Stream::Tag tag;
    tag.origin = (delay_ + this->alignShift) * std::ldexp(1.0, std::min(e, 0)) +
                 std::ldexp(inTag.origin, e);
    tag.format = inTag.format;
    tag.format.sampleRate = std::ldexp(inTag.format.sampleRate, e);
    setTag(tag);

    tails_.resize(this->channels);
    for (auto& t : tails_) t.tail.reset(new double[std::max(tailLength_, 1u)]);
}

template <int N>
FFTFilter<N>::~FFTFilter() = default;

template <int N>
std::int64_t FFTFilter<N>::mapLength(std::int64_t upstreamBytes) const {
    const std::int64_t in = upstreamBytes / 8;
    const std::int64_t ov = this->overlap;
    std::int64_t out;
    if constexpr (N == 0) {
        const int d = -this->exponent;
        out = (in + ov + (std::int64_t{1} << d) - 1) >> d;
    } else if constexpr (N == 1) {
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

    auto* X = reinterpret_cast<Math::complex*>(b);
    const std::uint32_t nIn = static_cast<std::uint32_t>(this->inputDFT().n);
    const std::uint32_t half = size_ / 2;
    this->inputDFT().Forward(X, b);

    if constexpr (N == 2) {
        // Zero-stuffing repeats the low-rate spectrum: bin k = bin (k mod nIn).
        for (std::uint32_t j = 1; j < nIn / 2; ++j) X[nIn - j] = Math::conj(X[j]);
        for (std::uint32_t k = nIn; k <= half; k += nIn)
            std::memcpy(X + k, X, std::min(nIn, half + 1 - k) * sizeof(Math::complex));
    }

    multiplySpectrum(X, kernelSpectrum_.get(), half + 1);

    if constexpr (N == 0) {
        // Keeping every second sample adds the upper half of the spectrum onto
        // the lower: Z[j] = Y[j] + Y[j + S/2] = Y[j] + conj(Y[S/2 - j]).
        const std::uint32_t nOut = static_cast<std::uint32_t>(this->outputDFT().n);
        for (std::uint32_t s = size_ / 2; s >= nOut; s /= 2)
            for (std::uint32_t j = 0; j <= s / 2; ++j) X[j] += Math::conj(X[s - j]);
    }

    this->outputDFT().Inverse(b, X);

    double* tail = t.tail.get();
    if (t.tailIsZero) {
        std::memcpy(tail, b + ob, tailLength_ * sizeof(double));
        t.tailIsZero = false;
    } else {
        for (std::uint32_t i = 0; i < tailLength_; ++i) {
            b[i] += tail[i];
            tail[i] = b[ob + i];
        }
    }
    return false;
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
    VBlock result{dest.channels, dest.begin, dest.begin, ::Stream::kAllSilent, 0};
    for (std::uint32_t cursor = dest.begin; cursor < dest.end; cursor += ob) {
        VBlock in = up.read({dest.channels, cursor, cursor + ib}, static_cast<std::uint32_t>(lend));
        ::Stream::advance(up, in);
        this->inheritLength(up, [this](std::int64_t l) { return mapLength(l); });
        const bool delivered = in.end > in.begin;
        const std::uint32_t silentIn = delivered ? in.silentMask : ::Stream::kAllSilent;
        // The rest of the input transform's span reads as zeros.
        if (delivered) in = ::Stream::join(in, VBlock{dest.channels, in.end, cursor + nIn * 8,
                                                      ::Stream::kAllSilent, 0});
        std::uint32_t silentOut = 0;
        for (std::uint32_t c = 0; c < this->channels; ++c) {
            const std::uint32_t bit = ::Stream::channelBit(c);
            const bool silent = c < 32 && (silentIn & bit);
            double* b = reinterpret_cast<double*>((*dest.channels)[c] + cursor);
            if (channelStep(tails_[c], b, silent)) silentOut |= bit;
        }
        result = ::Stream::join(result, VBlock{dest.channels, cursor, cursor + ob, silentOut, 0});
    }
    return result;
}

template class FFTFilter<0>;
template class FFTFilter<1>;
template class FFTFilter<2>;

Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(Audio::Stream::Wrapper<::Stream::iVOver> input,
                                                       std::uint32_t taps,
                                                       const KernelGenerator& generate, double gain,
                                                       double syncOffset, int e) {
    ::Stream::iVOver* s;
    if (e < 0)
        s = new FFTFilter<0>(std::move(input), taps, generate, gain, syncOffset, e);
    else if (e == 0)
        s = new FFTFilter<1>(std::move(input), taps, generate, gain, syncOffset, e);
    else
        s = new FFTFilter<2>(std::move(input), taps, generate, gain, syncOffset, e);
    return Audio::Stream::Wrapper<::Stream::iVOver>(s);
}

Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(Audio::Stream::Wrapper<::Stream::iVOver> input,
                                                       const Window& window, double gain,
                                                       double syncOffset, const FIR::BandSpec& band,
                                                       int e) {
    FIR::BandpassGen gen(band, window, e);
    const std::uint32_t taps = gen.taps;
    return makeFFTFilter(std::move(input), taps, FIR::BandpassGen::bind(std::move(gen)), gain,
                         syncOffset, e);
}

}  // namespace DSP
