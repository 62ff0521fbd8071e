// FFT speed, tables prebuilt as the FFT filter uses them.
// ForwardInverse: per iteration one real forward transform (out of place, so
// the input stays bounded) and one in-place inverse.
// ScrambledComplex: a copy of the input, then one complex forward and inverse
// in place with the bins in bit-reversed order (what the filter runs for a
// pair of channels); items are complex points, two real channels' samples.
#include <benchmark/benchmark.h>

#include <algorithm>
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

void ScrambledComplex(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const OOURA::FFT::R2C& fft = OOURA::FFT::R2C::ForSize(2 * n);
    std::vector<Math::complex> src(n), z(n);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    for (auto& v : src) v = {d(rng), d(rng)};
    for (auto _ : state) {
        std::copy(src.begin(), src.end(), z.begin());
        fft.scrambledForward(z.data());
        fft.scrambledInverse(z.data());
        benchmark::DoNotOptimize(z.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

BENCHMARK(ScrambledComplex)->RangeMultiplier(2)->Range(1024, 65536);

}  // namespace

BENCHMARK_MAIN();
