// Cost of measuring peaks on the way to the encoder.
//
// BM_Conversion: 10 s of stereo 64-bit float at 44100 Hz through the
// resampling chain to 48000 Hz, interleaved and translated to int24 (145 dB
// design), once without and once with the peak meter in every iteration,
// each timed on the thread's CPU clock; frames_per_s (without) and
// metered_frames_per_s (with) come from the median iteration, `cost` is the
// relative slow-down in percent; /0 the steady signal, /2 the programme (see input()).
// BM_MeterAlone: the meter on its own, stereo frames per second; /0 sample peaks only,
// /1 with the true peak, /2 with the true peak on a tone whose level changes, /3 and /4
// the true peak of the steady signal and of the programme, /5 of the steady signal with every
// point worked out (no gate: the interpolation's own speed).
// BM_Job: the same measured the way a job converts: a 10 s 24-bit stereo WAVE
// file read, converted and translated (Audio::IO::OpenInput, the output not
// written), without and with the meter; /0 steady, /1 dynamic, /2 programme.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <numbers>
#include <vector>

#include "MemorySource.h"
#include "audio/format/ChannelSplit.h"
#include "audio/format/PeakMeter.h"
#include "audio/format/Translator.h"
#include "dsp/ResamplingChain.h"
#include "job/Conversion.h"

namespace {

// A job reads the true peak over all channels alone.
constexpr auto kJobScope = Audio::PeakMeter::Scope::Overall;

constexpr double kSeconds = 10.0;
constexpr double kRate = 44100.0;

using Signal = std::vector<double>;

// Signals, stereo at 44100 Hz:
// kSteady: two tones and a slow sweep near -3 dBFS on each channel, at a steady level (the
// meter's worst case: every point may be the peak);
// kDynamic: the same at that level for 50 ms in every 500 ms and 12 dB lower in between;
// kProgramme: closer to music: chords of three notes with harmonics (6 dB down an octave)
// changing every 400 ms, low-passed noise, a level that swells and falls over 2 s, peaks
// near -3 dBFS.
enum Kind { kSteady, kDynamic, kProgramme };

std::vector<Signal> input(int kind = kSteady) {
    const auto n = static_cast<std::size_t>(kRate * kSeconds);
    std::vector<Signal> ch(2, Signal(n));
    constexpr double kPi = std::numbers::pi;
    std::uint32_t noise = 1;
    double low[2] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double t = double(i) / kRate;
        if (kind == kProgramme) {
            const double root = 110.0 * std::pow(2.0, double((i / 17640) % 7) / 12);
            const double swell = 0.6 + 0.4 * std::sin(2 * kPi * 0.5 * t);
            for (int c = 0; c < 2; ++c) {
                double v = 0;
                for (double note : {1.0, 1.26, 1.5})
                    for (int h = 1; h <= 6; ++h)
                        v += 0.12 / h * std::sin(2 * kPi * root * note * h * t + c + h);
                noise = noise * 1664525u + 1013904223u;
                low[c] = 0.95 * low[c] + 0.05 * (double(noise >> 8) / 8388608.0 - 1.0);
                ch[c][i] = swell * (v + 0.5 * low[c]);
            }
            continue;
        }
        const double sweep = std::sin(2 * kPi * (100 + 1000 * t) * t);
        const double level = kind == kDynamic && i % 22050 >= 2205 ? 0.25 : 1.0;
        ch[0][i] = level * (0.3 * std::sin(2 * kPi * 997 * t) + 0.4 * sweep);
        ch[1][i] = level * (0.4 * std::sin(2 * kPi * 3000 * t) + 0.3 * sweep);
    }
    return ch;
}

Bench::MemorySource* source(const std::vector<Signal>& data) {
    return new Bench::MemorySource(data, Audio::Format::FromBytes(0x48, 1, 0, 1, float(kRate)));
}

// Reads `out` to its end; returns the bytes.
std::size_t drain(Audio::Stream::Wrapper<Stream::iOver>& out, std::vector<std::uint8_t>& buf) {
    const std::uint32_t g = out->granularity ? out->granularity : 1;
    const std::uint32_t request = (65536 + g - 1) / g * g;
    const std::uint32_t capacity = request * std::max<std::uint32_t>(out->expansion, 1);
    if (buf.size() < capacity) buf.resize(capacity);
    std::size_t bytes = 0;
    while (out->length < 0 || out->position < out->length) {
        const Stream::Block b = out->read(slice<std::uint8_t>(buf.data(), request), capacity);
        Stream::advance(*out, b);
        benchmark::DoNotOptimize(buf[0]);
        bytes += b.length();
        if (b.length() == 0) break;
    }
    return bytes;
}

// The conversion to int24, drained; returns output bytes.
std::size_t convert(const std::vector<Signal>& in, bool metered, std::vector<std::uint8_t>& buf) {
    DSP::ResamplingSettings s;
    s.snrDb = 145;
    auto chain = DSP::makeResamplingChain(Audio::Stream::Wrapper<Stream::iVOver>(source(in)),
                                          s, 48000.0f);
    Audio::FormatTranslator::Extras extras;
    if (metered) extras.meter = std::make_shared<Audio::PeakMeter>(true, kJobScope);
    auto out = Audio::FormatTranslator::MakeAndApply(
        Audio::Stream::MakeVOver2Over(std::move(chain)),
        Audio::Format::FromBytes(0x23, 24, 0, 0, 48000.0f), 1, extras);
    const std::size_t bytes = drain(out, buf);
    if (extras.meter) benchmark::DoNotOptimize(extras.meter->finish().truePeak[0]);
    return bytes;
}

// 24-bit stereo WAVE of the input signal.
void writeInput(const std::filesystem::path& p, const std::vector<Signal>& in) {
    std::ofstream f(p, std::ios::binary);
    auto put = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f.put(char((v >> (8 * i)) & 0xFF));
    };
    const auto data = static_cast<std::uint32_t>(in[0].size() * 6);
    f.write("RIFF", 4), put(36 + data, 4), f.write("WAVEfmt ", 8), put(16, 4);
    put(1, 2), put(2, 2), put(44100, 4), put(44100 * 6, 4), put(6, 2), put(24, 2);
    f.write("data", 4), put(data, 4);
    for (std::size_t i = 0; i < in[0].size(); ++i)
        for (int c = 0; c < 2; ++c)
            put(static_cast<std::uint32_t>(std::lround(in[c][i] * 8388607.0)), 3);
}

std::size_t convertFile(const Filesystem::Path& file, bool metered, std::vector<std::uint8_t>& buf) {
    ConversionSettings s;
    s.snrDb = 145;
    Audio::FormatTranslator::Extras extras;
    if (metered) extras.meter = std::make_shared<Audio::PeakMeter>(true, kJobScope);
    auto out = Audio::IO::OpenInput(file, &s, nullptr, nullptr, nullptr,
                                    Audio::Format::FromBytes(0x23, 24, 0, 0, 48000.0f), nullptr,
                                    extras);
    const std::size_t bytes = drain(out, buf);
    if (extras.meter) benchmark::DoNotOptimize(extras.meter->finish().truePeak[0]);
    return bytes;
}

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Runs `run(false)` and `run(true)` in every iteration, each timed on the thread's clock.
template <class Run>
void compare(benchmark::State& state, Run run) {
    std::vector<std::uint8_t> buf;
    run(false, buf);  // untimed: tables, heap and clock settle
    run(true, buf);
    std::vector<double> plain, metered;
    std::size_t bytes = 0, iteration = 0;
    for (auto _ : state) {
        // Alternating which goes first keeps a drifting clock from favouring one.
        ++iteration;
        for (int k = 0; k < 2; ++k) {
            const bool withMeter = k == int(iteration % 2);
            const double t0 = cpuSeconds();
            bytes = run(withMeter, buf);
            (withMeter ? metered : plain).push_back(cpuSeconds() - t0);
        }
    }
    const double frames = kRate * kSeconds;
    state.counters["frames_per_s"] = frames / median(plain);
    state.counters["metered_frames_per_s"] = frames / median(metered);
    state.counters["output_frames"] = double(bytes) / 6;
    state.counters["cost"] = 100.0 * (median(metered) / median(plain) - 1.0);
}

void BM_Conversion(benchmark::State& state) {
    const std::vector<Signal> in = input(static_cast<int>(state.range(0)));
    compare(state, [&](bool metered, std::vector<std::uint8_t>& buf) {
        return convert(in, metered, buf);
    });
}
BENCHMARK(BM_Conversion)
    ->Arg(kSteady)
    ->Arg(kProgramme)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9)
    ->UseRealTime();

void BM_Job(benchmark::State& state) {
    char folder[] = "/tmp/bench_meter_XXXXXX";
    if (!mkdtemp(folder)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::filesystem::path file = std::filesystem::path(folder) / "in.wav";
    writeInput(file, input(static_cast<int>(state.range(0))));
    const auto path = Filesystem::Path::Parse(file.string(), Filesystem::Path::Kind::File);
    compare(state, [&](bool metered, std::vector<std::uint8_t>& buf) {
        return convertFile(path, metered, buf);
    });
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_Job)
    ->Arg(kSteady)
    ->Arg(kDynamic)
    ->Arg(kProgramme)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9)
    ->UseRealTime();

void BM_MeterAlone(benchmark::State& state) {
    // /0, /1: a steady tone; /2: the tone at full level for 10 ms, then 90 ms 12 dB lower
    // (the true peak is worked out where it can reach the peak so far).
    // /3, /4: the first second of the steady signal and of the programme, interleaved.
    std::vector<double> frames(2 * 48000);
    if (state.range(0) >= 3) {
        const std::vector<Signal> in = input(state.range(0) == 4 ? kProgramme : kSteady);
        for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = in[i % 2][i / 2];
    }
    for (std::size_t i = 0; i < frames.size() && state.range(0) < 3; ++i) {
        const double level = state.range(0) == 2 && (i / 2) % 4800 >= 480 ? 0.25 : 1.0;
        frames[i] = 0.5 * level * std::sin(0.01 * double(i));
    }
    Audio::PeakMeter meter(state.range(0) != 0);
    meter.configure(2, 1.0, true);
    Audio::detail::computeEveryPoint(state.range(0) == 5);
    for (auto _ : state) {
        for (std::size_t f = 0; f < 48000; f += 2048)
            meter.process(frames.data() + 2 * f, std::min<std::size_t>(2048, 48000 - f));
        benchmark::DoNotOptimize(meter.channels());
    }
    Audio::detail::computeEveryPoint(false);
    state.counters["frames_per_s"] =
        benchmark::Counter(48000.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MeterAlone)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
