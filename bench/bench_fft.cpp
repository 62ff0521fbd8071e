// FFT speed, tables prebuilt as the FFT filter uses them.
// ForwardInverse: per iteration one real forward transform (out of place, so
// the input stays bounded) and one in-place inverse.
// SplitComplex: a copy of the input, then one split complex forward and
// inverse with the bins in bit-reversed order, what the filter runs for a
// pair of channels; items are complex points, two real channels' samples.
// The kernels run on the instruction set in force (TESSIVAL_ISA or the best
// the CPU has), shown in the context as "isa".
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "dsp/fft/FFT.h"
#include "dsp/fft/Isa.h"
#include "dsp/fft/SplitFFT.h"

namespace {

void ForwardInverse(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const OOURA::FFT::R2C& fft = OOURA::FFT::R2C::ForSize(n);
    std::vector<double> src(n), buf(n + 2);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    for (double& x : src) x = d(rng);
    for (auto _ : state) {
        fft.Forward(reinterpret_cast<Math::complex*>(buf.data()), src.data());
        fft.Inverse(buf.data(), reinterpret_cast<const Math::complex*>(buf.data()));
        benchmark::DoNotOptimize(buf.data());
    }
    // items: real input samples transformed forward and back
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK(ForwardInverse)->RangeMultiplier(2)->Range(1024, 65536);

void SplitComplex(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const OOURA::FFT::Split& fft = OOURA::FFT::Split::ForSize(n);
    // 64-byte aligned, as the filter's work area.
    std::unique_ptr<double[]> storage(new double[4 * n + 8]);
    double* base = storage.get();
    while (reinterpret_cast<std::uintptr_t>(base) % 64 != 0) ++base;
    double *srcRe = base, *srcIm = base + n, *re = base + 2 * n, *im = base + 3 * n;
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    for (std::size_t j = 0; j < n; ++j) srcRe[j] = d(rng), srcIm[j] = d(rng);
    for (auto _ : state) {
        std::copy(srcRe, srcRe + n, re);
        std::copy(srcIm, srcIm + n, im);
        fft.forward(re, im);
        fft.inverse(re, im);
        benchmark::DoNotOptimize(re);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK(SplitComplex)->RangeMultiplier(2)->Range(1024, 65536);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("isa", DSP::isaName(DSP::activeIsa()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
