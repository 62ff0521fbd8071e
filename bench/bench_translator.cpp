// Throughput of the format translator: decoding to doubles, plain encoding,
// and scaled, dithered encoding. Items are samples (frames x channels).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "audio/format/Translator.h"

namespace {

constexpr std::uint32_t kChannels = 2;
constexpr std::size_t kFrames = 4096;  // 16 KiB of 16-bit stereo, as the drain reads
constexpr std::size_t kSamples = kFrames * kChannels;

Audio::Format intFormat(std::uint32_t bytes) {
    return Audio::Format::FromBytes(static_cast<std::uint8_t>(0x20 + bytes),
                                    static_cast<std::uint8_t>(8 * bytes), 0, kChannels, 44100.0f);
}
Audio::Format floatFormat(std::uint32_t bytes, std::uint8_t scale) {
    return Audio::Format::FromBytes(static_cast<std::uint8_t>(0x40 + bytes), scale, 0, kChannels,
                                    44100.0f);
}

std::vector<std::uint8_t> randomBytes(std::size_t n) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

// Doubles in the output units of `bits`-bit integers, with headroom.
std::vector<std::uint8_t> randomDoubles(double amplitude) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<std::uint8_t> v(kSamples * 8);
    for (std::size_t i = 0; i < kSamples; ++i) {
        double d = dist(rng);
        std::memcpy(v.data() + 8 * i, &d, 8);
    }
    return v;
}

// Whole-block Translate from a source buffer into a separate destination.
void translateBench(benchmark::State& state, Audio::Format in, Audio::Format out,
                    std::vector<std::uint8_t> source) {
    Audio::FormatTranslator t(1, in, out);
    std::vector<std::uint8_t> dest(kFrames * t.scratchBytesPerFrame);
    for (auto _ : state) {
        Stream::Block b{source.data(), source.data() + source.size(), Stream::Samples};
        Stream::Block r = t.Translate(b, dest.data());
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

void BM_DecodeInt16ToF64(benchmark::State& state) {
    translateBench(state, intFormat(2), floatFormat(8, 0xFF), randomBytes(kSamples * 2));
}
void BM_DecodeInt24ToF64(benchmark::State& state) {
    translateBench(state, intFormat(3), floatFormat(8, 0xFF), randomBytes(kSamples * 3));
}
void BM_DecodeFloat32ToF64(benchmark::State& state) {
    std::vector<std::uint8_t> src(kSamples * 4);
    for (std::size_t i = 0; i < kSamples; ++i) {
        float f = static_cast<float>(i % 1000) / 1000.0f - 0.5f;
        std::memcpy(src.data() + 4 * i, &f, 4);
    }
    translateBench(state, floatFormat(4, 1), floatFormat(8, 1), src);
}
void BM_DitherF64ToInt16(benchmark::State& state) {
    translateBench(state, floatFormat(8, 1), intFormat(2), randomDoubles(1.0));
}
void BM_DitherF64ToInt24(benchmark::State& state) {
    translateBench(state, floatFormat(8, 1), intFormat(3), randomDoubles(1.0));
}
void BM_DitherF64ToF32(benchmark::State& state) {
    translateBench(state, floatFormat(8, 1), floatFormat(4, 1), randomDoubles(1.0));
}

// The encoder kernel alone: round, clip and store, no gain or dither.
void encodeBench(benchmark::State& state, std::uint32_t bytes) {
    Audio::FormatTranslator t(1, floatFormat(8, static_cast<std::uint8_t>(8 * bytes)),
                              intFormat(bytes));
    std::vector<std::uint8_t> source = randomDoubles(std::ldexp(1.1, 8 * bytes - 1));
    std::vector<std::uint8_t> dest(kSamples * bytes);
    for (auto _ : state) {
        t.encoder(dest.data(), source.data(), kSamples);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
void BM_EncodeF64ToInt16(benchmark::State& state) {
    encodeBench(state, 2);
}
void BM_EncodeF64ToInt24(benchmark::State& state) {
    encodeBench(state, 3);
}
void BM_EncodeF64ToInt32(benchmark::State& state) {
    encodeBench(state, 4);
}

// The decoder kernel alone: little-endian integers to doubles.
void decodeBench(benchmark::State& state, std::uint32_t bytes) {
    Audio::FormatTranslator t(1, intFormat(bytes), floatFormat(8, 0xFF));
    const std::vector<std::uint8_t> source = randomBytes(kSamples * bytes);
    std::vector<std::uint8_t> dest(kSamples * 8);
    for (auto _ : state) {
        t.decoder(dest.data(), source.data(), kSamples);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
void BM_DecodeInt16Kernel(benchmark::State& state) {
    decodeBench(state, 2);
}
void BM_DecodeInt24Kernel(benchmark::State& state) {
    decodeBench(state, 3);
}
void BM_DecodeInt32Kernel(benchmark::State& state) {
    decodeBench(state, 4);
}

// The scale-and-dither step alone, in place on one chunk of doubles (the values drift by the
// dither, far below the range where that matters).
void ditherBench(benchmark::State& state, Audio::Format out) {
    Audio::FormatTranslator t(1, floatFormat(8, 1), out);
    std::vector<std::uint8_t> bytes = randomDoubles(0.5);
    slice<double> x(reinterpret_cast<double*>(bytes.data()), kSamples);
    for (auto _ : state) {
        t.scaleDither->process(x);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
void BM_DitherStepTriangular(benchmark::State& state) {
    ditherBench(state, intFormat(3));
}
void BM_DitherStepRectangular(benchmark::State& state) {
    ditherBench(state, floatFormat(4, 1));
}

// Integer to integer with a pure gain: decode, x256, encode.
void BM_Int16ToInt24(benchmark::State& state) {
    translateBench(state, intFormat(2), intFormat(3), randomBytes(kSamples * 2));
}

}  // namespace

BENCHMARK(BM_DecodeInt16ToF64);
BENCHMARK(BM_DecodeInt24ToF64);
BENCHMARK(BM_DecodeFloat32ToF64);
BENCHMARK(BM_EncodeF64ToInt16);
BENCHMARK(BM_EncodeF64ToInt24);
BENCHMARK(BM_EncodeF64ToInt32);
BENCHMARK(BM_DecodeInt16Kernel);
BENCHMARK(BM_DecodeInt24Kernel);
BENCHMARK(BM_DecodeInt32Kernel);
BENCHMARK(BM_DitherStepTriangular);
BENCHMARK(BM_DitherStepRectangular);
BENCHMARK(BM_Int16ToInt24);
BENCHMARK(BM_DitherF64ToInt16);
BENCHMARK(BM_DitherF64ToInt24);
BENCHMARK(BM_DitherF64ToF32);

BENCHMARK_MAIN();
