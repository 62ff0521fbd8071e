// Real FFT speed: per iteration one forward transform (out of place, so the
// input stays bounded) and one in-place inverse; tables prebuilt, as the FFT
// filter uses them.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "dsp/fft/FFT.h"

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

}  // namespace

BENCHMARK_MAIN();
