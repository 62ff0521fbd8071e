// The eight-lane build of the split transforms (the AVX-512 build's code) compiled here for AVX2,
// where GCC carries each eight-lane vector in two registers: its logic (blocks of eight values,
// the runs of the last inverse pass) is checked against the portable kernels bit for bit on
// machines without AVX-512 too.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "dsp/fft/Kernels.h"
#include "dsp/fft/SplitCases.h"
#include "dsp/fft/SplitFFT.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TESSIVAL_WIDE_ON_AVX2 1

namespace OOURA::FFT::detail::wide_on_avx2 {
TESSIVAL_FFT_KERNEL_DECLARATIONS
}  // namespace OOURA::FFT::detail::wide_on_avx2

#pragma GCC push_options
#pragma GCC target("avx2")
#define TESSIVAL_FFT_NS wide_on_avx2
#define TESSIVAL_FFT_WIDE 1
#include "dsp/fft/SplitKernelsImpl.inc"
#undef TESSIVAL_FFT_WIDE
#undef TESSIVAL_FFT_NS
#pragma GCC pop_options
#endif

namespace {

#ifdef TESSIVAL_WIDE_ON_AVX2
namespace wide = OOURA::FFT::detail::wide_on_avx2;
namespace portable = OOURA::FFT::detail::generic;
using OOURA::FFT::Overlap;
using OOURA::FFT::Split;

using SplitTesting::randomReals;

// The outputs of one inverse through an Overlap (or, block 0 and no overlap, the arrays).
struct Result {
    std::vector<double> out[2], rest[2], re, im;
    bool operator==(const Result&) const = default;
};

template <class Run>
Result deliver(std::size_t N, std::size_t headRe, std::size_t headIm, std::size_t block,
               bool overlap, const std::vector<double> tails[2], Run run) {
    Result r;
    r.re = randomReals(N, 1), r.im = randomReals(N, 2);
    Overlap to{};
    to.block = block;
    const std::size_t heads[2] = {headRe, headIm};
    for (int p = 0; p < 2; ++p) {
        r.out[p].assign(block + 1, 0.0);
        r.rest[p].assign(N - block + 1, 0.0);
        to.out[p] = r.out[p].data() + 1;  // off the vectors' alignment
        to.rest[p] = r.rest[p].data() + 1;
        to.add[p] = tails[p].data();
        to.head[p] = heads[p];
    }
    run(r.re.data(), r.im.data(), overlap ? &to : nullptr);
    if (overlap) r.re.clear(), r.im.clear();  // intermediate values
    return r;
}
#endif

TEST(WideSplitKernels, GiveThePortableBitsWithAndWithoutAnOverlap) {
#ifndef TESSIVAL_WIDE_ON_AVX2
    GTEST_SKIP() << "built by GCC for x86-64 only";
#else
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "this CPU has no AVX2";
    for (const SplitTesting::OverlapCase c : SplitTesting::kOverlapCases) {
        const double* w = Split::ForSize(c.N).table();
        const auto kr = randomReals(c.N, 3), ki = randomReals(c.N, 4);
        const std::vector<double> tails[2] = {randomReals(c.N, 5), randomReals(c.N, 6)};
        for (const bool overlap : {false, true}) {
            SCOPED_TRACE(testing::Message() << "N " << c.N << ", block " << c.block
                                            << (overlap ? ", overlap" : ", in place"));
            auto both = [&](auto wideRun, auto portableRun) {
                EXPECT_TRUE(deliver(c.N, c.headRe, c.headIm, c.block, overlap, tails, wideRun) ==
                            deliver(c.N, c.headRe, c.headIm, c.block, overlap, tails, portableRun));
            };
            both([&](double* r, double* i,
                     const Overlap* to) { wide::splitInverse(c.N, r, i, w, to); },
                 [&](double* r, double* i, const Overlap* to) {
                     portable::splitInverse(c.N, r, i, w, to);
                 });
            both(
                [&](double* r, double* i, const Overlap* to) {
                    wide::splitImageInverse(c.N, r, i, kr.data(), ki.data(), 2, w, to);
                },
                [&](double* r, double* i, const Overlap* to) {
                    portable::splitImageInverse(c.N, r, i, kr.data(), ki.data(), 2, w, to);
                });
            both(
                [&](double* r, double* i, const Overlap* to) {
                    wide::splitConvolve(c.N, r, i, kr.data(), ki.data(), w, to);
                },
                [&](double* r, double* i, const Overlap* to) {
                    portable::splitConvolve(c.N, r, i, kr.data(), ki.data(), w, to);
                });
            both([&](double* r, double* i, const Overlap*) { wide::splitForward(c.N, r, i, w); },
                 [&](double* r, double* i, const Overlap*) {
                     portable::splitForward(c.N, r, i, w);
                 });
        }
    }
#endif
}

}  // namespace
