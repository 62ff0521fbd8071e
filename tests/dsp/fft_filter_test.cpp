#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/ChainSupport.h"
#include "dsp/FFTFilter.h"
#include "dsp/fft/PerIsa.h"

namespace {

using namespace ChainTest;
using DSP::FFTFilterLayout;

// Generator for an explicit kernel h (at the high rate).
DSP::KernelGenerator firGenerator(std::vector<double> h) {
    return [h](const OOURA::FFT::R2C& t, Math::complex* spectrum, double gain) {
        auto* a = reinterpret_cast<double*>(spectrum);
        std::fill(a, a + t.n + 2, 0.0);
        for (std::size_t k = 0; k < h.size(); ++k) a[k] = gain * h[k];
        t.Forward(spectrum, a);
        return static_cast<unsigned>((h.size() - 1) / 2);
    };
}

Signal randomSignal(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Signal s(n);
    for (auto& v : s) v = u(gen);
    return s;
}

// Direct convolution at the high rate with the kernel delayed by `shift`
// (an integer), then decimated for e < 0. Zero-stuffed input for e > 0.
Signal reference(const Signal& x, const std::vector<double>& h, int e, int shift, double gain,
                 std::size_t outSamples) {
    const std::size_t up = e > 0 ? std::size_t{1} << e : 1;
    const std::size_t down = e < 0 ? std::size_t{1} << -e : 1;
    const double g = gain * double(up);
    Signal y(outSamples, 0.0);
    for (std::size_t j = 0; j < outSamples; ++j) {
        const long n = long(j * down);
        double acc = 0;
        for (std::size_t k = 0; k < h.size(); ++k) {
            const long m = n - shift - long(k);  // high-rate input index
            if (m < 0 || m % long(up) != 0) continue;
            const std::size_t i = std::size_t(m) / up;
            if (i < x.size()) acc += h[k] * x[i];
        }
        y[j] = g * acc;
    }
    return y;
}

TEST(FFTFilterLayout, BlockSizesShiftsAndOrigins) {
    // Same rate, 99 taps: M = 8 x 99 rounded up to a power of two.
    FFTFilterLayout a = DSP::planFFTFilter(99, 0, 0.0, 0.0);
    EXPECT_EQ(a.size, 1024u);
    EXPECT_EQ(a.inputBlock, 926u);
    EXPECT_EQ(a.outputBlock, 926u);
    EXPECT_EQ(a.overlap, 98u);
    EXPECT_EQ(a.alignShift, 0.0);

    // Decimation by 2, 199 taps: the grid is moved one high-rate sample.
    FFTFilterLayout b = DSP::planFFTFilter(199, -1, 0.0, 0.0);
    EXPECT_EQ(b.size, 2048u);
    EXPECT_EQ(b.alignShift, -1.0);
    EXPECT_EQ(b.outputBlock, 925u);  // (2048 - 199) / 2 + 1
    EXPECT_EQ(b.inputBlock, 1850u);
    EXPECT_EQ(b.overlap, 198u);

    // Interpolation by 2.
    FFTFilterLayout c = DSP::planFFTFilter(199, 1, 0.0, 0.0);
    EXPECT_EQ(c.size, 2048u);
    EXPECT_EQ(c.inputBlock, 925u);
    EXPECT_EQ(c.outputBlock, 1850u);

    // A fractional sync offset delays the kernel so that the output grid
    // falls on it; a positive shift costs one sample of block.
    FFTFilterLayout d = DSP::planFFTFilter(99, 0, 0.0, 0.25);
    EXPECT_DOUBLE_EQ(d.alignShift, 0.25);
    EXPECT_EQ(d.overlap, 99u);
    EXPECT_EQ(d.inputBlock, 925u);
    // A negative sync offset switches the alignment off.
    EXPECT_EQ(DSP::planFFTFilter(199, -2, 0.5, -1.0).alignShift, -3.0);
}

TEST(FFTFilterLayout, LongFiltersKeepTheirTransformsSmall) {
    // Up to 1024 taps, at most 4096 points; 8L from there on.
    EXPECT_EQ(DSP::planFFTFilter(511, 0, 0.0, 0.0).size, 4096u);
    EXPECT_EQ(DSP::planFFTFilter(519, 1, 0.0, 0.0).size, 4096u);
    EXPECT_EQ(DSP::planFFTFilter(1023, 0, 0.0, 0.0).size, 4096u);
    EXPECT_EQ(DSP::planFFTFilter(1025, 0, 0.0, 0.0).size, 16384u);
    // 8L would be 65536 points: held at 2^15 while 2L fits.
    EXPECT_EQ(DSP::planFFTFilter(5001, 0, 0.0, 0.0).size, 32768u);
    EXPECT_EQ(DSP::planFFTFilter(16383, 0, 0.0, 0.0).size, 32768u);
    // Beyond that, the smallest power of two at or above 2L.
    EXPECT_EQ(DSP::planFFTFilter(16385, 0, 0.0, 0.0).size, 65536u);
    EXPECT_EQ(DSP::planFFTFilter((1u << 22) - 1, 0, 0.0, 0.0).size, 1u << 23);
    // The low-rate transform keeps a few points.
    EXPECT_EQ(DSP::planFFTFilter(1, -5, 0.0, 0.0).size, 128u);
}

TEST(FFTFilterLayout, RejectsWhatCannotBeBuilt) {
    EXPECT_THROW(DSP::planFFTFilter(100, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(DSP::planFFTFilter(99, 0, std::nan(""), 0), std::invalid_argument);
    EXPECT_THROW(DSP::planFFTFilter(99, 0, 0, INFINITY), std::invalid_argument);
    EXPECT_THROW(DSP::planFFTFilter((1u << 22) + 1, 0, 0, 0), std::length_error);
    EXPECT_NO_THROW(DSP::planFFTFilter((1u << 22) - 1, 0, 0, 0));
}

// The overlap of a block never reaches past the next block (the paired
// channels' overlap-add relies on it), for any tap count, exponent and
// alignment, long filters with M close to 2L included.
TEST(FFTFilterLayout, TailIsNoLongerThanABlock) {
    std::vector<std::uint32_t> taps;
    for (std::uint32_t L = 1; L < 3000; L += 2) taps.push_back(L);
    for (std::uint32_t L : {16383u, 16385u, 32761u, 32763u, 32765u, 32767u, 65535u})
        taps.push_back(L);
    for (std::uint32_t L : taps) {
        for (int e = -4; e <= 4; ++e) {
            for (double sync : {-1.0, 0.0, 0.3, 0.95}) {
                const FFTFilterLayout l = DSP::planFFTFilter(L, e, 0.0, sync);
                const std::uint32_t nOut = e < 0 ? l.size >> -e : l.size;
                ASSERT_LE(nOut - l.outputBlock, l.outputBlock) << L << " " << e << " " << sync;
            }
        }
    }
}

struct Case {
    int e;
    unsigned taps;
    std::size_t chunk;  // read request in samples (rounded to granularity)
    unsigned channels = 2;
    bool unpaired = false;  // every channel alone on real transforms
    bool shared = false;    // pairs copied from the caller's buffer (many channels)
};

// Every case on every instruction set.
using FFTFilterVsDirect = IsaTesting::PerIsa<std::tuple<Case, DSP::Isa>>;

TEST_P(FFTFilterVsDirect, MatchesDirectConvolutionOnEveryChannel) {
    const Case k = std::get<0>(GetParam());
    DSP::detail::forceUnpairedChannels(k.unpaired);
    DSP::detail::forceSharedWorkArea(k.shared);
    const std::size_t n = 3001;
    std::vector<double> h = randomSignal(k.taps, 7);
    std::vector<Signal> x;
    for (unsigned c = 0; c < k.channels; ++c) x.push_back(randomSignal(n, c + 1));
    const double gain = 0.75;
    auto in = source(x, 44100.0f, 0.0);
    auto f = DSP::makeFFTFilter(in, k.taps, firGenerator(h), gain, 0.0, k.e);
    DSP::detail::forceUnpairedChannels(false);
    DSP::detail::forceSharedWorkArea(false);
    const FFTFilterLayout layout = DSP::planFFTFilter(k.taps, k.e, 0.0, 0.0);

    // Tag: the rate changes by 2^e, the origin moves by the delay.
    const Audio::Stream::Tag tag = f.tag();
    EXPECT_EQ(tag.format.sampleRate, std::ldexp(44100.0f, k.e));
    const double delay = (k.taps - 1) / 2;
    EXPECT_DOUBLE_EQ(tag.origin, (delay + layout.alignShift) * std::ldexp(1.0, std::min(k.e, 0)));
    EXPECT_EQ(f->channels, k.channels);
    EXPECT_EQ(f->granularity, layout.outputBlock * 8);
    EXPECT_GE(f->expansion, 4u);

    const std::size_t outLen = k.e >= 0 ? ((n - 1) << k.e) + 1 + layout.overlap
                                        : (n + layout.overlap + (1u << -k.e) - 1) >> -k.e;
    const ReadResult r = readAll(*f, outLen + 500, k.chunk);
    EXPECT_EQ(f->length, std::int64_t(outLen * 8));
    for (unsigned c = 0; c < k.channels; ++c) {
        const Signal ref = reference(x[c], h, k.e, int(layout.alignShift), gain, outLen + 500);
        double worst = 0;
        for (std::size_t j = 0; j < ref.size(); ++j) {
            const double d = std::abs(r.data[c][j] - ref[j]);
            if (std::isnan(d) || d > worst) worst = d;  // a NaN sticks
        }
        EXPECT_LT(worst, 1e-12) << "channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exponents, FFTFilterVsDirect,
    ::testing::Combine(::testing::Values(Case{0, 63, 100}, Case{0, 63, 1000}, Case{1, 63, 700},
                                         Case{2, 31, 300}, Case{3, 31, 2000}, Case{-1, 63, 150},
                                         Case{-1, 65, 900}, Case{-2, 63, 400}, Case{-3, 127, 1000},
                                         // channels paired, one left over
                                         Case{1, 63, 700, 3}, Case{-1, 65, 900, 3},
                                         Case{0, 63, 100, 3}, Case{0, 63, 1000, 1},
                                         // every channel alone
                                         Case{1, 63, 700, 2, true}, Case{-2, 63, 400, 2, true},
                                         // pairs from the caller's buffer
                                         Case{1, 63, 700, 3, false, true},
                                         Case{-1, 65, 900, 3, false, true},
                                         Case{0, 63, 1000, 2, false, true}),
                       IsaTesting::kEveryIsa),
    IsaTesting::IsaName());

// Pairs form only from channels with sound in the block: a channel that
// turns silent (and back) leaves its partner to the single-channel path,
// and neither reads the silent channel's buffer (the source fills it with
// NaNs).
TEST(FFTFilter, ChannelsGoingSilentAndBackMatchDirectConvolution) {
    const std::size_t n = 9000;
    std::vector<Signal> x = {randomSignal(n, 11), randomSignal(n, 12), randomSignal(n, 13)};
    std::fill(x[1].begin() + 2000, x[1].begin() + 6000, 0.0);
    std::fill(x[0].begin() + 3500, x[0].begin() + 6000, 0.0);
    std::fill(x[2].begin(), x[2].begin() + 3000, 0.0);
    const std::vector<double> h = randomSignal(63, 14);
    for (int e : {1, 0, -1}) {
        SCOPED_TRACE(e);
        auto f = DSP::makeFFTFilter(source(x, 44100.0f, 0.0, /*silentZeros=*/true), 63,
                                    firGenerator(h), 1.0, 0.0, e);
        const FFTFilterLayout layout = DSP::planFFTFilter(63, e, 0.0, 0.0);
        // Reads of one block, so that silence is seen block by block.
        const std::size_t out = e >= 0 ? (n << e) : (n >> -e);
        const ReadResult r = readAll(*f, out, f->granularity / 8);
        for (std::size_t c = 0; c < x.size(); ++c) {
            const Signal ref = reference(x[c], h, e, int(layout.alignShift), 1.0, out);
            double worst = 0;
            for (std::size_t j = 0; j < out; ++j) {
                const double d = std::abs(r.data[c][j] - ref[j]);
                if (std::isnan(d) || d > worst) worst = d;  // a NaN sticks
            }
            EXPECT_LT(worst, 1e-12) << "channel " << c;
        }
    }
}

// Paired transforms mix the rounding of the two channels: zeros must come out as zeros and a
// channel equal to its partner as the partner's output, bit for bit (a silent channel came out
// at -300 dBFS, identical ones differed), also where they part and meet again.
TEST(FFTFilter, ZeroAndTwinChannelsComeOutExact) {
    const std::size_t n = 9000;
    const Signal a = randomSignal(n, 21);
    Signal b = a;
    const Signal other = randomSignal(n, 22);
    std::copy(other.begin() + 3000, other.begin() + 5000, b.begin() + 3000);  // apart, then equal
    const std::vector<Signal> x = {a, Signal(n, 0.0), a, b};
    const std::vector<double> h = randomSignal(63, 23);
    for (const auto& [e, shared] :
         {std::pair{1, false}, {0, false}, {-1, false}, {1, true}, {0, true}, {-1, true}}) {
        SCOPED_TRACE(testing::Message() << "e " << e << ", shared work area " << shared);
        DSP::detail::forceSharedWorkArea(shared);
        auto f = DSP::makeFFTFilter(source(x, 44100.0f), 63, firGenerator(h), 1.0, 0.0, e);
        DSP::detail::forceSharedWorkArea(false);
        const FFTFilterLayout layout = DSP::planFFTFilter(63, e, 0.0, 0.0);
        const std::size_t out = e >= 0 ? (n << e) : (n >> -e);
        const ReadResult r = readAll(*f, out, f->granularity / 8);
        EXPECT_EQ(r.data[1], Signal(out, 0.0));
        EXPECT_EQ(r.data[2], r.data[0]);
        const Signal ref = reference(b, h, e, int(layout.alignShift), 1.0, out);
        for (std::size_t j = 0; j < out; ++j) ASSERT_NEAR(r.data[3][j], ref[j], 1e-12) << j;
    }
}

TEST(FFTFilter, SilenceAfterSignalFlushesTailThenCostsNothing) {
    // 200 samples of signal, then a long silent stretch delivered as Silence.
    Signal x(20000, 0.0);
    const Signal noise = randomSignal(200, 3);
    std::copy(noise.begin(), noise.end(), x.begin());
    std::vector<double> h = randomSignal(63, 9);
    auto in = source({x}, 48000.0f, 0.0, /*silentZeros=*/true);
    auto* src = static_cast<VSource*>(in.get());
    auto f = DSP::makeFFTFilter(in, 63, firGenerator(h), 1.0, 0.0, 0);
    const std::uint32_t block = f->granularity / 8;
    const ReadResult r = readAll(*f, 20000, block);  // one block per read
    const Signal ref = reference(x, h, 0, 0, 1.0, 20000);
    for (std::size_t j = 0; j < ref.size(); ++j) ASSERT_NEAR(r.data[0][j], ref[j], 1e-12) << j;
    // Every block after the one holding the tail comes back silent.
    const int blocks = int((20000 + block - 1) / block);
    const int signalBlocks = int((200 + block - 1) / block);
    EXPECT_EQ(r.silentReads, blocks - signalBlocks - 1);
    EXPECT_EQ(src->reads, blocks);
}

TEST(FFTFilter, SeekDropsTheTailAndRestartsCleanly) {
    const Signal x = randomSignal(5000, 4);
    std::vector<double> h = randomSignal(31, 5);
    auto* filter = new DSP::FFTFilter<2>(source({x}, 48000.0f), 31, firGenerator(h), 1.0, 0.0, 1);
    Stream::Wrapper<Stream::iVOver> f(filter);
    const ReadResult first = readAll(*f, 3000, 1000);
    f->seek(0);
    f->position = 0;
    EXPECT_EQ(filter->upstream->position, 0);
    const ReadResult again = readAll(*f, 3000, 1000);
    EXPECT_EQ(first.data, again.data);
    // Seeking to block 2 asks the upstream for input block 2.
    f->seek(2 * f->granularity);
    EXPECT_EQ(filter->upstream->position, 2 * std::int64_t(filter->inputBlock) * 8);
}

TEST(FFTFilter, FractionalAlignmentDelaysABandLimitedKernel) {
    // Smooth kernel: Gaussian-windowed sinc, well inside the band, so the
    // spectral delay equals sampling the kernel at shifted positions.
    const unsigned taps = 101;
    auto kernel = [&](double shift) {
        std::vector<double> h(taps);
        for (unsigned k = 0; k < taps; ++k) {
            const double t = double(k) - 50.0 - shift;
            const double s =
                t == 0 ? 1.0 : std::sin(0.3 * std::numbers::pi * t) / (0.3 * std::numbers::pi * t);
            h[k] = 0.3 * s * std::exp(-0.5 * (t / 8.0) * (t / 8.0));
        }
        return h;
    };
    const Signal x = randomSignal(4000, 6);
    auto f =
        DSP::makeFFTFilter(source({x}, 48000.0f), taps, firGenerator(kernel(0.0)), 1.0, 0.3, 0);
    EXPECT_DOUBLE_EQ(f.tag().origin, 50.3);
    const ReadResult r = readAll(*f, 4000, 1000);
    const Signal ref = reference(x, kernel(0.3), 0, 0, 1.0, 4000);
    double worst = 0;
    for (std::size_t j = 0; j < ref.size(); ++j)
        worst = std::max(worst, std::abs(r.data[0][j] - ref[j]));
    EXPECT_LT(worst, 1e-9);
}

}  // namespace
