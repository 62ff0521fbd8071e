#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "dsp/fft/FFT.h"
#include "dsp/fft/PerIsa.h"
#include "dsp/fft/SplitCases.h"
#include "dsp/fft/SplitFFT.h"

namespace {

using OOURA::FFT::Base;
using OOURA::FFT::R2C;
using OOURA::FFT::rdft;
using OOURA::FFT::Split;

constexpr long double kPi = 3.141592653589793238462643383279502884L;

using SplitTesting::randomReals;

// cos/sin(2 pi t / n) for t < n, in long double.
struct Circle {
    std::vector<long double> c, s;
    explicit Circle(std::size_t n) : c(n), s(n) {
        for (std::size_t t = 0; t < n; ++t) {
            c[t] = std::cos(2 * kPi * t / n);
            s[t] = std::sin(2 * kPi * t / n);
        }
    }
};

// Direct forward transform X[k] = sum a[j] e^(+2 pi i jk/n), in the packed
// layout of rdft.
std::vector<long double> directForward(const std::vector<double>& a) {
    const std::size_t n = a.size();
    Circle circle(n);
    std::vector<long double> out(n);
    for (std::size_t k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t t = (j * k) % n;
            re += a[j] * circle.c[t];
            im += a[j] * circle.s[t];
        }
        if (k == 0) {
            out[0] = re;
        } else if (k == n / 2) {
            out[1 % n] = re;  // n = 1: bin 0 is also bin n/2
        } else {
            out[2 * k] = re;
            out[2 * k + 1] = im;
        }
    }
    return out;
}

// Direct inverse of the packed layout:
// a[j] = (R0 + R(n/2) cos(pi j))/2 + sum_{0<k<n/2} (R[k] cos + I[k] sin)(2 pi jk/n).
std::vector<long double> directInverse(const std::vector<double>& p) {
    const std::size_t n = p.size();
    if (n == 1) return {p[0]};  // bin n/2 is bin 0
    Circle circle(n);
    std::vector<long double> out(n);
    for (std::size_t j = 0; j < n; ++j) {
        long double v = (p[0] + p[1] * ((j & 1) ? -1.0L : 1.0L)) / 2;
        for (std::size_t k = 1; k < n / 2; ++k) {
            const std::size_t t = (j * k) % n;
            v += p[2 * k] * circle.c[t] + p[2 * k + 1] * circle.s[t];
        }
        out[j] = v;
    }
    return out;
}

double maxError(const std::vector<double>& got, const std::vector<long double>& want) {
    long double err = 0, scale = 1;
    for (std::size_t i = 0; i < got.size(); ++i) {
        err = std::max(err, std::fabs(got[i] - want[i]));
        scale = std::max(scale, std::fabs(want[i]));
    }
    return static_cast<double>(err / scale);
}

std::vector<double> rawTransform(std::vector<double> a, int direction) {
    const int n = static_cast<int>(a.size());
    std::vector<int> ip(OOURA::FFT::ipSize(n));
    std::vector<double> w(std::max<std::size_t>(OOURA::FFT::wSize(n), 1));
    rdft(n, direction, a.data(), ip.data(), w.data());
    return a;
}

// Runs the test body once per instruction set.
using FFTKernels = IsaTesting::PerIsa<>;

TEST_P(FFTKernels, MatchesDirectTransformForEveryPowerOfTwoUpTo4096) {
    for (std::size_t n = 1; n <= 4096; n *= 2) {
        SCOPED_TRACE(n);
        const auto a = randomReals(n, static_cast<unsigned>(n));
        EXPECT_LT(maxError(rawTransform(a, +1), directForward(a)), 1e-13);
        EXPECT_LT(maxError(rawTransform(a, -1), directInverse(a)), 1e-13);
    }
}

// Sizes beyond the breadth-first limit of the kernels: a sample of bins
// against the direct sum.
TEST_P(FFTKernels, MatchesDirectSumsAtLargeSizes) {
    for (std::size_t n : {std::size_t{1} << 13, std::size_t{1} << 16, std::size_t{1} << 19}) {
        SCOPED_TRACE(n);
        const auto a = randomReals(n, 7);
        const auto X = rawTransform(a, +1);
        std::mt19937 rng(3);
        std::vector<std::size_t> bins{0, 1, n / 4, n / 2 - 1, n / 2};
        for (int i = 0; i < 24; ++i) bins.push_back(rng() % (n / 2));
        const Circle circle(n);
        long double scale = std::sqrt(static_cast<long double>(n)), worst = 0;
        for (std::size_t k : bins) {
            long double re = 0, im = 0;
            for (std::size_t j = 0, t = 0; j < n; ++j, t = (t + k) % n) {
                re += a[j] * circle.c[t];
                im += a[j] * circle.s[t];
            }
            const double gotRe = k == 0 ? X[0] : k == n / 2 ? X[1] : X[2 * k];
            const double gotIm = (k == 0 || k == n / 2) ? 0.0 : X[2 * k + 1];
            worst = std::max({worst, std::fabs(gotRe - re) / scale, std::fabs(gotIm - im) / scale});
        }
        EXPECT_LT(static_cast<double>(worst), 1e-13);
    }
}

TEST_P(FFTKernels, ForwardThenInverseMultipliesByHalfTheSize) {
    for (std::size_t n = 2; n <= (std::size_t{1} << 18); n *= 2) {
        SCOPED_TRACE(n);
        const auto a = randomReals(n, 11);
        const R2C& fft = R2C::ForSize(n);
        std::vector<double> buf(n + 2);
        fft.Forward(reinterpret_cast<Math::complex*>(buf.data()), a.data());
        fft.Inverse(buf.data(), reinterpret_cast<const Math::complex*>(buf.data()));
        double err = 0;
        for (std::size_t j = 0; j < n; ++j) err = std::max(err, std::fabs(buf[j] - a[j] * (n / 2)));
        EXPECT_LT(err / static_cast<double>(n / 2), 1e-14 * std::log2(static_cast<double>(n)));
    }
}

// The split complex transforms in bit-reversed bin order, against direct
// sums: all bins up to 2^10 points, a sample of bins at sizes that take the
// recursive path. The inverse is checked on bins made up for it, then on the
// way back.
TEST_P(FFTKernels, SplitComplexTransformsMatchDirectSums) {
    for (std::size_t N = 1; N <= (std::size_t{1} << 15); N *= 2) {
        SCOPED_TRACE(N);
        unsigned bits = 0;
        while ((std::size_t{1} << bits) < N) ++bits;
        const Split& fft = Split::ForSize(N);
        ASSERT_EQ(N, fft.size());
        const auto re = randomReals(N, static_cast<unsigned>(N) + 1);
        const auto im = randomReals(N, static_cast<unsigned>(N) + 2);
        std::vector<double> Zr = re, Zi = im;
        fft.forward(Zr.data(), Zi.data());

        std::vector<std::size_t> bins;
        for (std::size_t k = 0; k < N; ++k)
            if (N <= 1024 || k < 4 || k % 997 == 3 || k == N - 1) bins.push_back(k);
        const Circle circle(N);
        const long double scale = std::sqrt(static_cast<long double>(N));
        long double worstF = 0, worstI = 0;
        for (std::size_t k : bins) {
            long double fr = 0, fi = 0;  // sum z[j] e^(+2 pi i jk/N)
            for (std::size_t j = 0, t = 0; j < N; ++j, t = (t + k) % N) {
                fr += re[j] * circle.c[t] - im[j] * circle.s[t];
                fi += re[j] * circle.s[t] + im[j] * circle.c[t];
            }
            const std::size_t at = OOURA::FFT::bitReversed(k, bits);
            worstF = std::max({worstF, std::fabs(Zr[at] - fr), std::fabs(Zi[at] - fi)});
        }
        EXPECT_LT(static_cast<double>(worstF / scale), 1e-13);

        // Inverse: z taken as bins, bin j stored at bitReversed(j);
        // sum_j z[j] e^(-2 pi i jk/N) expected at k.
        std::vector<double> Br(N), Bi(N);
        for (std::size_t j = 0; j < N; ++j) {
            Br[OOURA::FFT::bitReversed(j, bits)] = re[j];
            Bi[OOURA::FFT::bitReversed(j, bits)] = im[j];
        }
        fft.inverse(Br.data(), Bi.data());
        for (std::size_t k : bins) {
            long double ir = 0, ii = 0;
            for (std::size_t j = 0, t = 0; j < N; ++j, t = (t + k) % N) {
                ir += re[j] * circle.c[t] + im[j] * circle.s[t];
                ii += im[j] * circle.c[t] - re[j] * circle.s[t];
            }
            worstI = std::max({worstI, std::fabs(Br[k] - ir), std::fabs(Bi[k] - ii)});
        }
        EXPECT_LT(static_cast<double>(worstI / scale), 1e-13);

        // Forward then inverse multiplies by N.
        std::vector<double> Yr = Zr, Yi = Zi;
        fft.inverse(Yr.data(), Yi.data());
        double err = 0;
        for (std::size_t j = 0; j < N; ++j)
            err = std::max(
                {err, std::fabs(Yr[j] - re[j] * double(N)), std::fabs(Yi[j] - im[j] * double(N))});
        EXPECT_LT(err / double(N), 1e-14 * (bits + 1));
    }
}

// The spectrum products against their definitions, with lengths that leave
// a remainder after the vector loops.
TEST_P(FFTKernels, SplitSpectrumProducts) {
    for (std::size_t f : {1, 2, 4}) {
        for (std::size_t n : {1, 7, 8, 29, 64}) {
            SCOPED_TRACE(testing::Message() << "f " << f << " n " << n);
            const std::size_t m = n * f;
            const auto zr = randomReals(m, 3), zi = randomReals(m, 4);
            const auto kr = randomReals(m, 5), ki = randomReals(m, 6);
            auto product = [&](std::size_t a, std::size_t k) {
                return std::pair{zr[a] * kr[k] - zi[a] * ki[k], zr[a] * ki[k] + zi[a] * kr[k]};
            };
            std::vector<double> r = zr, i = zi;
            Split::imageMultiply(r.data(), i.data(), kr.data(), ki.data(), n, f);
            for (std::size_t d = 0; d < m; ++d) {
                EXPECT_EQ(product(d / f, d).first, r[d]) << d;
                EXPECT_EQ(product(d / f, d).second, i[d]) << d;
            }
            r = zr, i = zi;
            Split::foldMultiply(r.data(), i.data(), kr.data(), ki.data(), n, f);
            for (std::size_t d = 0; d < n; ++d) {
                auto sum = product(d * f, d * f);
                for (std::size_t t = 1; t < f; ++t) {
                    sum.first += product(d * f + t, d * f + t).first;
                    sum.second += product(d * f + t, d * f + t).second;
                }
                EXPECT_EQ(sum.first, r[d]) << d;
                EXPECT_EQ(sum.second, i[d]) << d;
            }
            r = zr, i = zi;
            Split::multiply(r.data(), i.data(), kr.data(), ki.data(), m);
            for (std::size_t d = 0; d < m; ++d) EXPECT_EQ(product(d, d).first, r[d]) << d;
        }
    }
}

// The inverse that starts with the (imaging) product gives the bits of the
// product followed by the plain inverse.
TEST_P(FFTKernels, SplitImageInverseIsProductThenInverse) {
    for (std::size_t N : {16, 64, 128, 4096, 8192}) {
        for (std::size_t f : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << "N " << N << " f " << f);
            const auto zr = randomReals(N, 11), zi = randomReals(N, 12);
            const auto kr = randomReals(N, 13), ki = randomReals(N, 14);
            std::vector<double> r1 = zr, i1 = zi, r2 = zr, i2 = zi;
            Split::imageMultiply(r1.data(), i1.data(), kr.data(), ki.data(), N / f, f);
            Split::ForSize(N).inverse(r1.data(), i1.data());
            Split::ForSize(N).imageInverse(r2.data(), i2.data(), kr.data(), ki.data(), f);
            EXPECT_EQ(r1, r2);
            EXPECT_EQ(i1, i2);
        }
    }
}

// Convolution in one call gives the bits of forward, product and inverse,
// with the spectrum placed by convolutionIndex.
TEST_P(FFTKernels, SplitConvolveIsForwardProductInverse) {
    for (std::size_t N : {16, 64, 128, 1024, 4096, 8192}) {
        SCOPED_TRACE(N);
        unsigned bits = 0;
        while ((std::size_t{1} << bits) < N) ++bits;
        const Split& fft = Split::ForSize(N);
        const auto zr = randomReals(N, 21), zi = randomReals(N, 22);
        const auto kr = randomReals(N, 23), ki = randomReals(N, 24);  // bin k at bitReversed(k)
        std::vector<double> r1 = zr, i1 = zi, r2 = zr, i2 = zi, cr(N), ci(N);
        std::set<std::size_t> places;
        for (std::size_t k = 0; k < N; ++k) {
            const std::size_t at = fft.convolutionIndex(k);
            places.insert(at);
            cr[at] = kr[OOURA::FFT::bitReversed(k, bits)];
            ci[at] = ki[OOURA::FFT::bitReversed(k, bits)];
        }
        ASSERT_EQ(N, places.size());
        fft.forward(r1.data(), i1.data());
        Split::multiply(r1.data(), i1.data(), kr.data(), ki.data(), N);
        fft.inverse(r1.data(), i1.data());
        fft.convolve(r2.data(), i2.data(), cr.data(), ci.data());
        EXPECT_EQ(r1, r2);
        EXPECT_EQ(i1, i2);
    }
}

// Delivered through an Overlap, each inverse gives the bits of the in-place inverse followed by
// the overlap-add done value by value, wherever the ends of the heads and of the block fall in a
// vector, and writes nothing outside the areas it is given.
TEST_P(FFTKernels, InversesDeliverTheOverlapAddOfTheInPlaceResult) {
    constexpr double kUntouched = 12345.0;
    constexpr std::size_t kGuard = 3;  // values checked on both sides of every area
    for (const SplitTesting::OverlapCase c : SplitTesting::kOverlapCases) {
        const Split& fft = Split::ForSize(c.N);
        const auto zr = randomReals(c.N, 31), zi = randomReals(c.N, 32);
        const auto kr = randomReals(c.N, 33), ki = randomReals(c.N, 34);
        const std::vector<double> tails[2] = {randomReals(c.N, 35), randomReals(c.N, 36)};
        const std::size_t heads[2] = {c.headRe, c.headIm};
        using Inverse = std::function<void(double*, double*, const OOURA::FFT::Overlap*)>;
        const std::pair<const char*, Inverse> kinds[] = {
            {"inverse", [&](double* r, double* i, auto* to) { fft.inverse(r, i, to); }},
            {"imaged by 2", [&](double* r, double* i,
                                auto* to) { fft.imageInverse(r, i, kr.data(), ki.data(), 2, to); }},
            {"convolution",
             [&](double* r, double* i, auto* to) { fft.convolve(r, i, kr.data(), ki.data(), to); }},
        };
        for (const auto& [name, run] : kinds) {
            SCOPED_TRACE(testing::Message() << name << ", N " << c.N << ", heads " << c.headRe
                                            << " " << c.headIm << ", block " << c.block);
            std::vector<double> r = zr, i = zi;
            run(r.data(), i.data(), nullptr);
            const std::vector<double>* whole[2] = {&r, &i};

            std::vector<double> out[2], rest[2], r2 = zr, i2 = zi;
            OOURA::FFT::Overlap to{};
            to.block = c.block;
            for (int p = 0; p < 2; ++p) {
                // Four values into each vector: the areas need no particular alignment.
                out[p].assign(c.block + 2 * kGuard + 1, kUntouched);
                rest[p].assign(c.N - c.block + 2 * kGuard + 1, kUntouched);
                to.out[p] = out[p].data() + kGuard + 1;
                to.rest[p] = rest[p].data() + kGuard + 1;
                to.add[p] = tails[p].data();
                to.head[p] = heads[p];
            }
            run(r2.data(), i2.data(), &to);
            for (int p = 0; p < 2; ++p) {
                std::vector<double> wantOut(out[p].size(), kUntouched);
                std::vector<double> wantRest(rest[p].size(), kUntouched);
                for (std::size_t k = 0; k < c.N; ++k) {
                    const double z = (*whole[p])[k];
                    if (k < c.block)
                        wantOut[kGuard + 1 + k] = k < heads[p] ? z + tails[p][k] : z;
                    else
                        wantRest[kGuard + 1 + k - c.block] = z;
                }
                EXPECT_EQ(wantOut, out[p]) << "part " << p;
                EXPECT_EQ(wantRest, rest[p]) << "part " << p;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Isa, FFTKernels, IsaTesting::kEveryIsa, IsaTesting::IsaName());

// Every build gives the bits of the portable one (no fused multiply-adds).
TEST_P(FFTKernels, GivesThePortableBits) {
    const DSP::Isa tested = DSP::activeIsa();
    // Real transforms forward and back, then split transforms forward and
    // back, all outputs in a row; once on the set under test, once portably.
    auto run = [](DSP::Isa isa) {
        DSP::selectIsa(isa);
        std::vector<double> out;
        for (std::size_t n : {4, 8, 64, 512, 8192, 1 << 15}) {
            const auto a = randomReals(n, 5);
            for (int direction : {+1, -1}) {
                const auto y = rawTransform(a, direction);
                out.insert(out.end(), y.begin(), y.end());
            }
        }
        for (std::size_t N : {4, 32, 64, 128, 4096, 1 << 14}) {
            std::vector<double> r = randomReals(N, 7), i = randomReals(N, 8);
            Split::ForSize(N).forward(r.data(), i.data());
            out.insert(out.end(), r.begin(), r.end());
            out.insert(out.end(), i.begin(), i.end());
            Split::ForSize(N).inverse(r.data(), i.data());
            out.insert(out.end(), r.begin(), r.end());
            out.insert(out.end(), i.begin(), i.end());
        }
        return out;
    };
    const std::vector<double> got = run(tested), want = run(DSP::Isa::Portable);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(double)));
}

TEST(FFT, BitReversalOfTheLowBits) {
    EXPECT_EQ(0u, OOURA::FFT::bitReversed(5, 0));
    EXPECT_EQ(4u, OOURA::FFT::bitReversed(1, 3));
    EXPECT_EQ(0b1101u, OOURA::FFT::bitReversed(0b1011, 4));
    EXPECT_EQ(0b111u, OOURA::FFT::bitReversed(0xFF, 3));  // higher bits ignored
    EXPECT_EQ(std::size_t{1} << 63, OOURA::FFT::bitReversed(1, 64));
}

TEST(FFT, UnitImpulses) {
    for (std::size_t n = 1; n <= 1024; n *= 2) {
        SCOPED_TRACE(n);
        const R2C& fft = R2C::ForSize(n);
        std::vector<double> a(n, 0.0);
        std::vector<Math::complex> X(n / 2 + 1, {9.0, 9.0});
        a[0] = 1.0;
        fft.Forward(X.data(), a.data());
        for (std::size_t k = 0; k <= n / 2; ++k) {
            EXPECT_NEAR(X[k].real, 1.0, 1e-15) << k;
            EXPECT_EQ(X[k].imag, 0.0) << k;
        }
        if (n < 2) continue;
        a[0] = 0.0;
        a[1] = 1.0;
        fft.Forward(X.data(), a.data());
        for (std::size_t k = 0; k <= n / 2; ++k) {
            const double t = 2 * M_PI * static_cast<double>(k) / static_cast<double>(n);
            EXPECT_NEAR(X[k].real, std::cos(t), 1e-15) << k;
            EXPECT_NEAR(X[k].imag, (k == 0 || k == n / 2) ? 0.0 : std::sin(t), 1e-15) << k;
        }
        if (n >= 4) {
            EXPECT_GT(X[1].imag, 0.0);  // positive exponent
        }
    }
}

TEST(FFT, InPlaceForwardUnpacksNyquistAndInverseIgnoresEdgeImaginaryParts) {
    const std::size_t n = 16;
    const auto a = randomReals(n, 2);
    const R2C& fft = R2C::ForSize(n);
    std::vector<double> buf(a);
    buf.resize(n + 2, 123.0);
    fft.Forward(reinterpret_cast<Math::complex*>(buf.data()), buf.data());
    const auto packed = rawTransform(a, +1);
    EXPECT_EQ(buf[0], packed[0]);
    EXPECT_EQ(buf[1], 0.0);
    EXPECT_EQ(buf[n], packed[1]);
    EXPECT_EQ(buf[n + 1], 0.0);
    for (std::size_t i = 2; i < n; ++i) EXPECT_EQ(buf[i], packed[i]);

    // Out of place, with junk in the imaginary parts of bins 0 and n/2.
    std::vector<Math::complex> bins(n / 2 + 1);
    std::memcpy(bins.data(), buf.data(), (n + 2) * sizeof(double));
    bins[0].imag = 5.0;
    bins[n / 2].imag = -7.0;
    std::vector<double> out(n);
    fft.Inverse(out.data(), bins.data());
    for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(out[j], a[j] * (n / 2), 1e-13) << j;
}

TEST(FFT, ForSizeRoundsUpAndSharesInstances) {
    const R2C& a = R2C::ForSize(1000);
    EXPECT_EQ(a.n, 1024);
    EXPECT_EQ(&a, &R2C::ForSize(1024));
    EXPECT_EQ(&a, &R2C::ForSize(513));
    EXPECT_EQ(R2C::ForSize(0).n, 1);
    EXPECT_EQ(R2C::ForSize(1).n, 1);
    EXPECT_EQ(R2C::ForSize(3).n, 4);
    EXPECT_NE(a.ip[0], 0);  // tables already built
}

TEST(FFT, ForSizeAboveTwoToThe23Throws) {
    EXPECT_THROW(R2C::ForSize((std::size_t{1} << 23) + 1), Base::TooBig);
    EXPECT_THROW(R2C::ForSize(std::size_t{1} << 40), Base::TooBig);
    EXPECT_THROW(R2C::ForSize(static_cast<std::size_t>(-1)), Base::TooBig);
}

TEST(FFT, LargestSizeWorks) {
    const std::size_t n = std::size_t{1} << 23;
    const R2C& fft = R2C::ForSize(n);
    ASSERT_EQ(static_cast<std::size_t>(fft.n), n);
    std::vector<double> buf(n + 2, 0.0);
    buf[3] = 1.0;
    fft.Forward(reinterpret_cast<Math::complex*>(buf.data()), buf.data());
    const double t = 2 * M_PI * 3 * 12345.0 / static_cast<double>(n);
    EXPECT_NEAR(buf[2 * 12345], std::cos(t), 1e-14);
    EXPECT_NEAR(buf[2 * 12345 + 1], std::sin(t), 1e-14);
    fft.Inverse(buf.data(), reinterpret_cast<const Math::complex*>(buf.data()));
    EXPECT_NEAR(buf[3], static_cast<double>(n / 2), 1e-6);
    EXPECT_NEAR(buf[4], 0.0, 1e-6);
}

TEST(FFT, ConcurrentForSizeGivesOneInstanceWithBuiltTables) {
    // Sizes no other test asks for first, so the threads race to fill them.
    const std::size_t sizes[] = {1 << 20, 1 << 21, 1 << 17};
    std::vector<std::thread> threads;
    std::vector<const R2C*> seen(8 * 3);
    std::vector<double> results(8);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int s = 0; s < 3; ++s) seen[t * 3 + s] = &R2C::ForSize(sizes[s]);
            // Transform straight away: the tables must be complete.
            const R2C& fft = *seen[t * 3 + 2];
            std::vector<double> buf(fft.n + 2, 0.0);
            buf[0] = 1.0;
            fft.Forward(reinterpret_cast<Math::complex*>(buf.data()), buf.data());
            results[t] = buf[2 * 777];
        });
    }
    for (auto& th : threads) th.join();
    for (int s = 0; s < 3; ++s) {
        std::set<const R2C*> distinct;
        for (int t = 0; t < 8; ++t) distinct.insert(seen[t * 3 + s]);
        EXPECT_EQ(distinct.size(), 1u) << sizes[s];
    }
    for (double r : results) EXPECT_DOUBLE_EQ(r, 1.0);
}

TEST(FFT, RawTransformBuildsTablesOnFirstUseWithTheDocumentedSizes) {
    EXPECT_EQ(OOURA::FFT::ipSize(1), 3u);
    EXPECT_EQ(OOURA::FFT::ipSize(2), 3u);
    EXPECT_EQ(OOURA::FFT::ipSize(8), 2u + 2u);      // log2 8 = 3: 2^1
    EXPECT_EQ(OOURA::FFT::ipSize(32), 2u + 4u);     // 2^2
    EXPECT_EQ(OOURA::FFT::ipSize(1024), 2u + 16u);  // 2^4
    EXPECT_EQ(OOURA::FFT::wSize(1024), 512u);

    // The tables of one size work when reused for a smaller one.
    std::vector<int> ip(OOURA::FFT::ipSize(64));
    std::vector<double> w(OOURA::FFT::wSize(64));
    auto a = randomReals(64, 9);
    auto b = a;
    rdft(64, 1, a.data(), ip.data(), w.data());
    EXPECT_EQ(ip[0], 64);
    EXPECT_LT(maxError(a, directForward(b)), 1e-14);
    std::vector<double> c(b.begin(), b.begin() + 16);
    const auto want = directForward(c);
    rdft(16, 1, c.data(), ip.data(), w.data());
    EXPECT_LT(maxError(c, want), 1e-14);
}

TEST(FFT, RawTransformRejectsBadArguments) {
    std::vector<int> ip(8);
    std::vector<double> w(8), a(16);
    EXPECT_THROW(rdft(12, 1, a.data(), ip.data(), w.data()), std::invalid_argument);
    EXPECT_THROW(rdft(0, 1, a.data(), ip.data(), w.data()), std::invalid_argument);
    EXPECT_THROW(rdft(16, 0, a.data(), ip.data(), w.data()), std::invalid_argument);
    EXPECT_THROW(Base(3), std::invalid_argument);
    EXPECT_THROW(Base(1 << 24), std::invalid_argument);
}

}  // namespace
