// The dither generator, the three scale/dither variants and their selection.
// The dither's statistics: dither_statistics_test.cpp.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "audio/format/KernelIsa.h"
#include "audio/format/ScaleDither.h"
#include "translator_helpers.h"

using namespace Audio;
using fmt_test::floatFormat;
using fmt_test::intFormat;

// The published splitmix64 sequence from state 0: a seed keeps giving the same bytes
// from one version to the next only while these hold.
TEST(DitherGenerator, WordsAreTheSplitmix64Sequence) {
    const DitherGenerator g(0);
    EXPECT_EQ(g.at(0), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(g.at(1), 0x6E789E6AA1B965F4ULL);
    EXPECT_EQ(g.at(2), 0x06C45D188009454FULL);
    EXPECT_EQ(DitherGenerator(12345).at(1000000), 0xCB12CD4A5164425DULL);
    EXPECT_EQ(SeedFromNumber(0), 0xE220A8397B1DCDAFULL);
    EXPECT_NE(DitherSeed(), DitherSeed());
}

namespace {

// Bit patterns, so that NaNs and signed zeros compare too.
std::vector<std::uint64_t> bitsOf(const std::vector<double>& x) {
    std::vector<std::uint64_t> out;
    for (double v : x) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

}  // namespace

// Both dithering variants on every instruction set the CPU has, processing in pieces of
// every length around the vector widths, in place or into another array, give the portable
// kernel's bits for one call over the whole range: the dither of a sample follows from its
// stream index alone.
TEST(ScaleDither, EveryInstructionSetAndSplitGivesTheSameBits) {
    const double special[] = {0.0,  -0.0, 1.0,     -3.5,    1e-310, 1e-300, std::ldexp(1.0, -1000),
                              1e30, 1e300, INFINITY, -INFINITY, NAN,    0.3,    -0.75};
    std::vector<double> input;
    for (int i = 0; i < 1200; ++i) {
        input.push_back(i % 3 == 0 ? special[i / 3 % std::size(special)]
                                   : std::sin(i * 0.37) * std::ldexp(1.0, i % 40 - 20));
    }
    const std::size_t pieces[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 200};
    for (int kind : {1, 2}) {
        auto make = [&] {
            sptr<iScaleDither> s;
            if (kind == 1) s = std::make_unique<ScaleDither<1, 0>>(-3, 0xDEADBEEF);
            if (kind == 2) s = std::make_unique<ScaleDither<2, 4>>(-3, 0xDEADBEEF);
            s->position = 1000003;
            return s;
        };
        ASSERT_TRUE(selectKernelIsa(KernelIsa::Portable));
        std::vector<double> expected = input;
        make()->process({expected.data(), expected.size()});
        for (KernelIsa isa : {KernelIsa::Portable, KernelIsa::AVX2, KernelIsa::AVX512}) {
            if (!selectKernelIsa(isa)) continue;
            SCOPED_TRACE(testing::Message() << "kind " << kind << " isa " << int(isa));
            std::vector<double> x = input;
            sptr<iScaleDither> s = make();
            for (std::size_t at = 0, k = 0; at < x.size(); ++k) {
                const std::size_t n = std::min(pieces[k % std::size(pieces)], x.size() - at);
                s->process({x.data() + at, n});
                at += n;
            }
            EXPECT_EQ(s->position, 1000003 + x.size());
            EXPECT_EQ(bitsOf(x), bitsOf(expected));
            // From the input into another array: the same bits, the input left as it was.
            const std::vector<double> in = input;
            std::vector<double> out(in.size(), 42.0);
            s = make();
            for (std::size_t at = 0, k = 3; at < in.size(); ++k) {
                const std::size_t n = std::min(pieces[k % std::size(pieces)], in.size() - at);
                s->process(in.data() + at, out.data() + at, n);
                at += n;
            }
            EXPECT_EQ(bitsOf(out), bitsOf(expected));
            EXPECT_EQ(bitsOf(in), bitsOf(input));
        }
    }
    resetKernelIsa();
}

TEST(ScaleDither10, ScalesThenAddsTriangularDitherWithinOneStep) {
    ScaleDither<1, 0> s(8, DitherSeed());
    EXPECT_TRUE(s.active);
    std::vector<double> x(20000, 100.0);
    s.process({x.data(), x.size()});
    double sum = 0, above = 0;
    for (double v : x) {
        ASSERT_GT(v, 25599.0);
        ASSERT_LT(v, 25601.0);
        sum += v - 25600.0;
        if (std::fabs(v - 25600.0) > 0.5) ++above;
    }
    EXPECT_NEAR(sum / x.size(), 0.0, 0.02);
    // Triangular on (-1, 1): P(|d| > 1/2) = 1/4.
    EXPECT_NEAR(above / x.size(), 0.25, 0.02);
}

TEST(ScaleDither24, KeepsZerosAndDithersBelowHalfAFloatUlp) {
    ScaleDither<2, 4> s(0, 99);
    EXPECT_TRUE(s.active);
    std::vector<double> zeros = {0.0, -0.0};
    s.process({zeros.data(), 2});
    EXPECT_EQ(zeros[0], 0.0);
    EXPECT_FALSE(std::signbit(zeros[0]));
    EXPECT_TRUE(std::signbit(zeros[1]));

    // Across binades, including ones far below float's range and near the
    // top of double's: the dither stays below 2^(e-24) and never wraps.
    int changed = 0;
    for (double base : {1.0, -3.0, 1e-300, std::ldexp(1.0, -1000), 1e30, 1e300}) {
        std::vector<double> x(1000, base);
        s.process({x.data(), x.size()});
        const double half = std::ldexp(1.0, std::ilogb(base) - 24);
        for (double v : x) {
            ASSERT_LT(std::fabs(v - base), half) << base;
            changed += v != base;
        }
    }
    EXPECT_GT(changed, 3000);
}

TEST(ScaleDither00, ExactGainKeepsZerosAndSaturatesToInfinity) {
    ScaleDither<0, 0> up(8), down(-1);
    EXPECT_FALSE(up.active);
    std::vector<double> x = {100.0, 0.0, -0.0, -3.0, 1e308};
    up.process({x.data(), x.size()});
    EXPECT_EQ(x[0], 25600.0);
    EXPECT_EQ(x[1], 0.0);
    EXPECT_FALSE(std::signbit(x[1]));
    EXPECT_TRUE(std::signbit(x[2]));
    EXPECT_EQ(x[3], -768.0);
    EXPECT_EQ(x[4], std::numeric_limits<double>::infinity());  // clipped later, not wrapped
    std::vector<double> y = {3.0, -1.0};
    down.process({y.data(), y.size()});
    EXPECT_EQ(y[0], 1.5);
    EXPECT_EQ(y[1], -0.5);
}

namespace {

using Gain = ScaleDither<0, 0>;
using Triangular = ScaleDither<1, 0>;
using Rectangular = ScaleDither<2, 4>;

std::pair<int, std::int32_t> kindAndShift(iScaleDither* s) {
    if (auto* g = dynamic_cast<Gain*>(s)) return {0, g->shift};
    if (auto* t = dynamic_cast<Triangular*>(s)) return {1, t->shift};
    if (auto* r = dynamic_cast<Rectangular*>(s)) return {2, r->shift};
    return {-1, 0};
}

}  // namespace

TEST(ScaleDitherSelection, FollowsPrecisionAndScale) {
    struct Case {
        Format in, out;
        bool downmix;
        int kind;  // -1 none, 0 <0,0>, 1 <1,0>, 2 <2,4>
        std::int32_t shift;
    };
    const Case cases[] = {
        {floatFormat(8, 1, 16), intFormat(3), false, 1, 8},
        {intFormat(2), intFormat(3), false, 0, 8},
        {intFormat(3), intFormat(2), false, 1, -8},
        {floatFormat(8), floatFormat(8), false, -1, 0},
        {floatFormat(8, 2), floatFormat(8, 1), true, 0, -1},
        {floatFormat(8), floatFormat(4), false, 2, 0},
        {floatFormat(4), floatFormat(8), false, -1, 0},
        {intFormat(2), intFormat(2), false, -1, 0},
        {intFormat(2, 2), intFormat(2, 1), true, 0, -1},
        {floatFormat(8, 1, 16), intFormat(2), false, 1, 0},  // float input always dithers
        // Padded 24 in 32 decodes to container integers: gain -8 to 24-bit.
        {intFormat(4, 1, 8), intFormat(3), false, 0, -8},
        {intFormat(4), intFormat(4, 1, 8), false, 1, -8},
        {intFormat(4, 1, 8), floatFormat(8, 1, 1), false, 0, -31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.in.word << " -> " << c.out.word);
        sptr<iScaleDither> s = SelectScaleDither(c.in, c.out, c.downmix);
        EXPECT_EQ(ScaleShift(c.in, c.out, c.downmix), c.shift);
        if (c.kind == -1) {
            EXPECT_EQ(s, nullptr);
            continue;
        }
        EXPECT_EQ(kindAndShift(s.get()), std::make_pair(c.kind, c.shift));
    }
}
