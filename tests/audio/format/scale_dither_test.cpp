// The dither generator, the three scale/dither variants and their selection.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audio/format/ScaleDither.h"
#include "translator_helpers.h"

using namespace Audio;
using fmt_test::floatFormat;
using fmt_test::intFormat;

TEST(DitherGenerator, FirstStepFromOneZero) {
    ScaleDither<1, 0> s(0, 1);
    ASSERT_EQ(s.state[0], 1u);
    ASSERT_EQ(s.state[1], 0u);
    ASSERT_EQ(s.newest, 0u);
    EXPECT_EQ(s.next(), 0x2545F4914F6CDD1DULL);
    EXPECT_EQ(s.state[1], 1u);
    EXPECT_EQ(s.state[0], 1u);
    EXPECT_EQ(s.newest, 1u);
    // Second step: A = 1 (state[1]), B = 1 -> B = 1 ^ 4096 = 4097, R = 4097 ^ 1 = 4096.
    EXPECT_EQ(s.next(), 4096ULL * 0x2545F4914F6CDD1DULL);
    EXPECT_EQ(s.state[0], 4096u);
    EXPECT_EQ(s.newest, 0u);
}

TEST(DitherGenerator, ZeroSeedStillProducesNoise) {
    DitherGenerator g(0);
    EXPECT_NE(g.next() | g.next(), 0u);
    EXPECT_NE(DitherSeed(), DitherSeed());
}

// process() draws from the same sequence as next() and leaves the state
// where the same number of next() calls would, for odd and even counts.
TEST(ScaleDither10, ProcessFollowsTheGeneratorSequence) {
    ScaleDither<1, 0> a(0, 12345), b(0, 12345);
    for (std::size_t n : {1u, 4u, 7u, 64u}) {
        std::vector<double> x(n, 0.0);
        a.process({x.data(), n});
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t w = b.next();
            auto d = static_cast<std::int32_t>(w & 0x7FFFFFFF) -
                     static_cast<std::int32_t>((w >> 32) & 0x7FFFFFFF);
            EXPECT_EQ(x[i], std::ldexp(d, -31));
        }
        EXPECT_EQ(a.newest, b.newest);
        EXPECT_EQ(a.state[0], b.state[0]);
        EXPECT_EQ(a.state[1], b.state[1]);
    }
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
    EXPECT_EQ(s.state[1], 0u);  // zeros draw nothing
    EXPECT_EQ(s.newest, 0u);

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
