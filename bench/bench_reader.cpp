// Reader throughput: opening a file through Audio::IO::OpenFile and pulling
// it to its end in 16384-byte reads, as the conversion job does.
//
// Counters: bytes_per_second (sample bytes delivered), and rss_growth_KiB,
// the largest growth of the resident set while reading, over the RSS just
// before opening. The files are 64 and 512 MiB (WAV) and 16 and 128 MiB of
// decoded samples (WavPack): the growth stays flat whatever the size.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "audio/format/Translator.h"
#include "audio/io/InsertWriter.h"
#include "audio/io/OpenFile.h"

namespace {

constexpr std::size_t kBlock = 16384;

long ResidentKiB() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Never destroyed, so that the clean-up at exit can still use it.
const std::string& Dir() {
    static const std::string* dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessival-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return new std::string(pattern);
    }();
    return *dir;
}

// A 24-bit stereo WAVE file of `mib` MiB of samples (a slow sweep, so the
// WavPack encoder has real work).
std::string WaveFile(int mib) {
    static std::map<int, std::string> made;
    if (made.count(mib)) return made[mib];
    const std::string path = Dir() + "/in" + std::to_string(mib) + ".wav";
    const std::uint32_t bytes = std::uint32_t(mib) << 20;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) std::fputc(int(v >> (8 * i)) & 0xFF, f);
    };
    auto u16 = [&](std::uint32_t v) {
        std::fputc(int(v & 0xFF), f);
        std::fputc(int(v >> 8) & 0xFF, f);
    };
    std::fwrite("RIFF", 1, 4, f);
    u32(36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(16);
    u16(1), u16(2), u32(48000), u32(48000 * 6), u16(6), u16(24);
    std::fwrite("data", 1, 4, f);
    u32(bytes);
    std::vector<std::uint8_t> block(6 * 4096);
    std::uint32_t phase = 0;
    for (std::uint32_t done = 0; done < bytes; done += std::uint32_t(block.size())) {
        for (std::size_t i = 0; i < block.size(); i += 3) {
            phase += 977;
            const std::int32_t v = std::int32_t(phase >> 9) - (1 << 22);
            block[i] = std::uint8_t(v), block[i + 1] = std::uint8_t(v >> 8);
            block[i + 2] = std::uint8_t(v >> 16);
        }
        std::fwrite(block.data(), 1, std::min<std::size_t>(block.size(), bytes - done), f);
    }
    std::fclose(f);
    return made[mib] = path;
}

std::string WavpackFile(int mib) {
    static std::map<int, std::string> made;
    if (made.count(mib)) return made[mib];
    const std::string path = Dir() + "/in" + std::to_string(mib) + ".wv";
    auto source =
        Audio::IO::OpenFile(Filesystem::Path::Parse(WaveFile(mib), Filesystem::Path::Kind::File));
    auto chain = Audio::IO::InsertWriter(
        source, Audio::IO::MakeFileWriter(Audio::IO::kWavpackWriter, source.tag(), path));
    std::vector<std::uint8_t> buffer(kBlock * chain->expansion + 64);
    while (chain->length < 0 || chain->position < chain->length) {
        chain->read(slice<std::uint8_t>(buffer.data(), kBlock - kBlock % chain->granularity),
                    std::uint32_t(buffer.size()));
        chain->position += kBlock - kBlock % chain->granularity;
    }
    return made[mib] = path;
}

void ReadThrough(benchmark::State& state, const std::string& path, bool hash) {
    const auto file = Filesystem::Path::Parse(path, Filesystem::Path::Kind::File);
    std::vector<std::uint8_t> buffer(4 * kBlock);
    std::int64_t total = 0;
    long growth = 0;
    for (auto _ : state) {
        const long before = ResidentKiB();
        MD5::Hash digest;
        auto s = Audio::IO::OpenFile(file, nullptr, hash ? &digest : nullptr);
        const std::uint32_t n = std::uint32_t(kBlock - kBlock % s->granularity);
        std::int64_t reads = 0;
        while (s->length < 0 || s->position < s->length) {
            auto b = s->read(slice<std::uint8_t>(buffer.data(), n), std::uint32_t(buffer.size()));
            benchmark::DoNotOptimize(b.begin);
            s->position += n;
            if ((++reads & 1023) == 0) growth = std::max(growth, ResidentKiB() - before);
        }
        growth = std::max(growth, ResidentKiB() - before);
        total += s->length;
    }
    state.SetBytesProcessed(total);
    state.counters["rss_growth_KiB"] = double(growth);
}

void BM_ReadWave(benchmark::State& state) {
    ReadThrough(state, WaveFile(int(state.range(0))), false);
}
void BM_ReadWaveWithMD5(benchmark::State& state) {
    ReadThrough(state, WaveFile(int(state.range(0))), true);
}
void BM_ReadWavpack(benchmark::State& state) {
    ReadThrough(state, WavpackFile(int(state.range(0))), false);
}

BENCHMARK(BM_ReadWave)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWaveWithMD5)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadWavpack)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond);

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        std::filesystem::remove_all(Dir(), ec);
    }
} cleanup;

}  // namespace

BENCHMARK_MAIN();
