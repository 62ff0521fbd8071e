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

// Spectrum and block loops of the filter, in a portable and an AVX2 build.
// Complex arrays are interleaved (re, im) doubles.
struct Kernels {
    // dst[k] = a[k] b[k], k < n; dst may be a.
    void (*multiply)(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                     std::size_t n);
    // dst[k] = conj(a[-k]) b[k], k < n: a is read backwards from a[0].
    void (*multiplyMirrored)(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                             std::size_t n);
    // x[j] += conj(x[s - j]) for j = 0 .. s/2 (keeping every second sample).
    void (*fold)(Math::complex* x, std::uint32_t s);
    // b[i] += tail[i]; tail[i] = next[i], i < n (next, b and tail disjoint).
    void (*overlapAdd)(double* b, double* tail, const double* next, std::size_t n);
};

void multiplyGeneric(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                     std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] = a[k] * b[k];
}

void multiplyMirroredGeneric(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                             std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] = Math::conj(*(a - k)) * b[k];
}

void foldGeneric(Math::complex* x, std::uint32_t s) {
    for (std::uint32_t j = 0; j <= s / 2; ++j) x[j] += Math::conj(x[s - j]);
}

void overlapAddGeneric(double* __restrict b, double* __restrict tail, const double* __restrict next,
                       std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) b[i] += tail[i];
    std::memcpy(tail, next, n * sizeof(double));
}

#ifdef TESSIVAL_FFTFILTER_AVX2
#define TESSIVAL_AVX2 __attribute__((target("avx2,fma")))

// Two complex products: (ar + i ai)(br + i bi) per 128-bit half.
TESSIVAL_AVX2 inline __m256d cmul(__m256d a, __m256d b) {
    const __m256d br = _mm256_movedup_pd(b);            // br br
    const __m256d bi = _mm256_permute_pd(b, 0xF);       // bi bi
    const __m256d swapped = _mm256_permute_pd(a, 0x5);  // ai ar
    return _mm256_fmaddsub_pd(a, br, _mm256_mul_pd(swapped, bi));
}

// conj of the two complex values in reverse order: loaded from p[-1], p[0].
TESSIVAL_AVX2 inline __m256d conjReversed(const Math::complex* p) {
    const __m256d sign = _mm256_setr_pd(0.0, -0.0, 0.0, -0.0);
    const __m256d v = _mm256_loadu_pd(reinterpret_cast<const double*>(p - 1));
    return _mm256_xor_pd(_mm256_permute2f128_pd(v, v, 0x01), sign);
}

TESSIVAL_AVX2 void multiplyAVX2(Math::complex* dst, const Math::complex* a, const Math::complex* b,
                                std::size_t n) {
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m256d va = _mm256_loadu_pd(reinterpret_cast<const double*>(a + k));
        const __m256d vb = _mm256_loadu_pd(reinterpret_cast<const double*>(b + k));
        _mm256_storeu_pd(reinterpret_cast<double*>(dst + k), cmul(va, vb));
    }
    multiplyGeneric(dst + k, a + k, b + k, n - k);
}

TESSIVAL_AVX2 void multiplyMirroredAVX2(Math::complex* dst, const Math::complex* a,
                                        const Math::complex* b, std::size_t n) {
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m256d vb = _mm256_loadu_pd(reinterpret_cast<const double*>(b + k));
        _mm256_storeu_pd(reinterpret_cast<double*>(dst + k), cmul(conjReversed(a - k), vb));
    }
    multiplyMirroredGeneric(dst + k, a - k, b + k, n - k);
}

TESSIVAL_AVX2 void foldAVX2(Math::complex* x, std::uint32_t s) {
    // Pairs (j, j + 1) read (s - j, s - j - 1): both loads come before the
    // store, and nothing below j is read again.
    std::uint32_t j = 0;
    for (; j + 1 <= s / 2; j += 2) {
        double* d = reinterpret_cast<double*>(x + j);
        _mm256_storeu_pd(d, _mm256_add_pd(_mm256_loadu_pd(d), conjReversed(x + s - j)));
    }
    for (; j <= s / 2; ++j) x[j] += Math::conj(x[s - j]);
}

TESSIVAL_AVX2 void overlapAddAVX2(double* __restrict b, double* __restrict tail,
                                  const double* __restrict next, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) b[i] += tail[i];
    std::memcpy(tail, next, n * sizeof(double));
}
#endif

Kernels chooseKernels() {
#ifdef TESSIVAL_FFTFILTER_AVX2
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return {multiplyAVX2, multiplyMirroredAVX2, foldAVX2, overlapAddAVX2};
#endif
    return {multiplyGeneric, multiplyMirroredGeneric, foldGeneric, overlapAddGeneric};
}

Kernels kernels = chooseKernels();

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

std::uint32_t exponentFactor(int e) {
    return 1u << (e < 0 ? -e : e);
}

}  // namespace

namespace detail {
void forceGenericFilterKernels(bool on) {
    kernels = on ? Kernels{multiplyGeneric, multiplyMirroredGeneric, foldGeneric, overlapAddGeneric}
                 : chooseKernels();
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
                        const FFTFilterLayout& layout, const KernelGenerator& generate, double gain)
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
    tag.origin =
        (delay_ + this->alignShift) * std::ldexp(1.0, std::min(e, 0)) + std::ldexp(inTag.origin, e);
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
    const Math::complex* K = kernelSpectrum_.get();

    if constexpr (N == 2) {
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

    if constexpr (N == 0) {
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
        if (delivered)
            in = ::Stream::join(
                in, VBlock{dest.channels, in.end, cursor + nIn * 8, ::Stream::kAllSilent, 0});
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

Audio::Stream::Wrapper<::Stream::iVOver> makeFFTFilter(
    Audio::Stream::Wrapper<::Stream::iVOver> input, std::uint32_t taps,
    const KernelGenerator& generate, double gain, double syncOffset, int e) {
    ::Stream::iVOver* s;
    if (e < 0)
        s = new FFTFilter<0>(std::move(input), taps, generate, gain, syncOffset, e);
    else if (e == 0)
        s = new FFTFilter<1>(std::move(input), taps, generate, gain, syncOffset, e);
    else
        s = new FFTFilter<2>(std::move(input), taps, generate, gain, syncOffset, e);
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
