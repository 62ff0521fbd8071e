// MD5 throughput in bytes/s over buffers of the sizes a hashed chain reads.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "stream/MD5.h"

namespace {

void BM_MD5(benchmark::State& state) {
    std::vector<unsigned char> data(static_cast<std::size_t>(state.range(0)));
    std::uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(x >> 24);
    }
    MD5::Hash hash{};
    MD5 md5(hash);
    for (auto _ : state) {
        md5.Update(data.data(), data.data() + data.size());
        benchmark::ClobberMemory();
    }
    md5.Final();
    benchmark::DoNotOptimize(hash);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MD5)->Arg(64)->Arg(1000)->Arg(16384)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
