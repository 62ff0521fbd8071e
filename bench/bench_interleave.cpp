// Throughput of the de-interleaving and interleaving stages for the job's
// case: stereo, 8-byte samples. Items are samples (frames x channels).
//
// The sources hand back the caller's buffer as Samples without writing it,
// so only the stage's own work (and its upstream call) is timed.
// Argument: frames per read.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "stream/Interleave.h"

using namespace Stream;

namespace {

class PassOver final : public iOver, public Source {
public:
    void seek(std::uint64_t) override {}
    Block read(slice<std::uint8_t> dest, std::uint32_t) override {
        return Block{dest.begin, dest.end, Samples};
    }
};

class PassVOver final : public iVOver, public Source {
public:
    explicit PassVOver(std::uint32_t c) { channels = c; }
    void seek(std::uint64_t) override {}
    VBlock read(VSlice dest, std::uint32_t) override {
        return VBlock{dest.channels, dest.begin, dest.end, {}, {}};
    }
};

constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kSampleBytes = 8;

void BM_Over2VOver(benchmark::State& state) {
    const std::uint32_t frames = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t per = frames * kSampleBytes;
    Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(new PassOver), kChannels, kSampleBytes);
    std::vector<std::vector<std::uint8_t>> memory(kChannels, std::vector<std::uint8_t>(per, 1));
    Channels set(kChannels);
    for (std::uint32_t i = 0; i < kChannels; ++i) set[i] = memory[i].data();
    for (auto _ : state) {
        VBlock b = split->read(VSlice{&set, 0, per}, per);
        benchmark::DoNotOptimize(b);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{frames} * kChannels);
    state.SetBytesProcessed(state.iterations() * std::int64_t{per} * kChannels);
}

void BM_VOver2Over(benchmark::State& state) {
    const std::uint32_t frames = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t bytes = frames * kChannels * kSampleBytes;
    Wrapper<iOver> merged = MakeVOver2Over(Wrapper<iVOver>(new PassVOver(kChannels)), kSampleBytes);
    std::vector<std::uint8_t> out(bytes, 1);
    for (auto _ : state) {
        Block b = merged->read(slice<std::uint8_t>(out.data(), bytes), bytes);
        benchmark::DoNotOptimize(b);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{frames} * kChannels);
    state.SetBytesProcessed(state.iterations() * std::int64_t{bytes});
}

// Both stages in a row, as the job builds them around its resampler.
void BM_RoundTrip(benchmark::State& state) {
    const std::uint32_t frames = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t bytes = frames * kChannels * kSampleBytes;
    Wrapper<iOver> chain = MakeVOver2Over(
        MakeOver2VOver(Wrapper<iOver>(new PassOver), kChannels, kSampleBytes), kSampleBytes);
    std::vector<std::uint8_t> out(bytes, 1);
    for (auto _ : state) {
        Block b = chain->read(slice<std::uint8_t>(out.data(), bytes), bytes);
        benchmark::DoNotOptimize(b);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t{frames} * kChannels);
    state.SetBytesProcessed(state.iterations() * std::int64_t{bytes});
}

}  // namespace

BENCHMARK(BM_Over2VOver)->Arg(1024)->Arg(8192)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_VOver2Over)->Arg(1024)->Arg(8192)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_RoundTrip)->Arg(1024)->Arg(8192)->Arg(65536);

BENCHMARK_MAIN();
