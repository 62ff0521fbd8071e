// Resampling chain throughput against libsoxr at its very-high-quality recipe
// (SOXR_VHQ, 28-bit), on the same stereo 64-bit float data.
//
// BM_Versus: each iteration converts 10 s of audio with each converter in
// turn, from building the converter to its last output sample; frames_per_s
// (Tessival) and soxr_frames_per_s count input frames per second of thread
// CPU time, from the median iteration, and ratio is their quotient. Tone
// quality of both (997 Hz on channel 0, least-squares fit at the exact
// expected frequency, free phase): thdn_dB and soxr_thdn_dB. A summary is
// printed after the runs (medians when run with --benchmark_repetitions).
// The kernels run on the instruction set in force (TESSIVAL_ISA or the best
// the CPU has), shown in the context as "isa".
#include <benchmark/benchmark.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "MemorySource.h"
#include "dsp/FFTFilter.h"
#include "dsp/FIRDesign.h"
#include "dsp/Polyphase.h"
#include "dsp/ResamplingChain.h"
#include "dsp/Window.h"
#include "dsp/fft/Isa.h"

namespace {

constexpr double kSeconds = 10.0;
constexpr double kToneHz = 997.0;
const double kAmplitude = std::pow(10.0, -1.0 / 20.0);

using Signal = std::vector<double>;

// Channel 0: 997 Hz at -1 dBFS; channel 1: 3 kHz plus 11 kHz; further
// channels a tone of 500 (c + 1) Hz at -6 dBFS: no channel is silent.
std::vector<Signal> input(double rate, std::size_t channels = 2) {
    const std::size_t n = static_cast<std::size_t>(rate * kSeconds);
    std::vector<Signal> ch(channels, Signal(n));
    for (std::size_t i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        ch[0][i] = kAmplitude * std::sin(2 * std::numbers::pi * kToneHz * t);
        ch[1][i] = 0.4 * std::sin(2 * std::numbers::pi * 3000.0 * t) +
                   0.4 * std::sin(2 * std::numbers::pi * 11000.0 * t);
        for (std::size_t c = 2; c < channels; ++c)
            ch[c][i] = 0.5 * std::sin(2 * std::numbers::pi * 500.0 * double(c + 1) * t);
    }
    return ch;
}

// A source of `data` at `rate`, 64-bit float channels.
Bench::MemorySource* source(const std::vector<Signal>& data, float rate) {
    return new Bench::MemorySource(data, Audio::Format(0x42u | (1u << 8) | (1u << 24), rate));
}

// Drains `s` in 64 KiB requests; returns output samples, appending channel
// 0 to `keep` when given.
std::size_t drain(Audio::Stream::Wrapper<Stream::iVOver>& s,
                  std::vector<std::vector<std::uint8_t>>& buffers, Signal* keep = nullptr) {
    const std::uint32_t g = s->granularity;
    const std::uint32_t request = (65536 + g - 1) / g * g;
    const std::uint32_t capacity = request * s->expansion;
    if (buffers.size() < s->channels) buffers.resize(s->channels);
    Stream::Channels set(s->channels);
    for (std::uint32_t c = 0; c < s->channels; ++c) {
        if (buffers[c].size() < capacity) buffers[c].resize(capacity);
        set[c] = buffers[c].data();
    }
    std::size_t produced = 0;
    while (s->length < 0 || s->position < s->length) {
        const Stream::VBlock b = s->read({&set, 0, request}, capacity);
        s->position += b.length();
        benchmark::DoNotOptimize(set[0][0]);
        if (keep) {
            const auto* p = reinterpret_cast<const double*>(set[0]);
            keep->insert(keep->end(), p, p + b.length() / 8);
        }
        produced += b.length() / 8;
    }
    return produced;
}

// Converts with the resampling chain; keeps channel 0 (from the origin on)
// when `keep` is given.
std::size_t runTessival(const std::vector<Signal>& in, float fsIn, float fsOut, unsigned snrDb,
                        std::vector<std::vector<std::uint8_t>>& buffers, Signal* keep) {
    DSP::ResamplingSettings s;
    s.snrDb = snrDb;
    auto chain = DSP::makeResamplingChain(
        Audio::Stream::Wrapper<Stream::iVOver>(source(in, fsIn)), s, fsOut);
    const auto origin = static_cast<std::size_t>(std::llround(chain.tag().origin));
    const std::size_t produced = drain(chain, buffers, keep);
    if (keep) keep->erase(keep->begin(), keep->begin() + std::min(origin, keep->size()));
    return produced;
}

std::size_t runSoxr(const std::vector<Signal>& in, double fsIn, double fsOut, Signal& out0,
                    Signal& out1) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_S, SOXR_FLOAT64_S);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t err = nullptr;
    soxr_t s = soxr_create(fsIn, fsOut, 2, &err, &io, &q, nullptr);
    if (err) throw std::runtime_error(err);
    const std::size_t n = in[0].size(), block = 8192;
    const std::size_t outCap = static_cast<std::size_t>(double(n) * fsOut / fsIn) + 4 * block;
    if (out0.size() < outCap) out0.resize(outCap), out1.resize(outCap);
    std::size_t produced = 0;
    for (std::size_t i = 0;;) {
        const bool end = i >= n;
        const std::size_t len = end ? 0 : std::min(block, n - i);
        const void* ins[2] = {in[0].data() + i, in[1].data() + i};
        void* outs[2] = {out0.data() + produced, out1.data() + produced};
        std::size_t idone = 0, odone = 0;
        err = soxr_process(s, end ? nullptr : ins, len, &idone, outs, outCap - produced, &odone);
        if (err) throw std::runtime_error(err);
        i += idone;
        produced += odone;
        if (end && odone == 0) break;
    }
    soxr_delete(s);
    return produced;
}

// Amplitude error (dB) and residual (dB below the tone) of a 997 Hz tone at
// the exact frequency, phase free, over the middle half.
void toneQuality(const Signal& y, std::size_t n, double rate, double& ampErrDb, double& thdnDb) {
    const std::size_t b = n / 4, e = 3 * n / 4;
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    auto arg = [&](std::size_t j) {
        const double x = kToneHz * double(j) / rate;
        return 2 * std::numbers::pi * (x - std::floor(x));
    };
    for (std::size_t j = b; j < e; ++j) {
        const double s = std::sin(arg(j)), c = std::cos(arg(j));
        ss += s * s, sc += s * c, cc += c * c, ys += y[j] * s, yc += y[j] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, bb = (yc * ss - ys * sc) / det;
    double res = 0, sig = 0;
    for (std::size_t j = b; j < e; ++j) {
        const double fit = a * std::sin(arg(j)) + bb * std::cos(arg(j));
        res += (y[j] - fit) * (y[j] - fit), sig += fit * fit;
    }
    ampErrDb = 20 * std::log10(std::hypot(a, bb) / kAmplitude);
    thdnDb = 10 * std::log10(res / sig);
}

// Thread CPU time in seconds.
double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Both converters in turn in every iteration, each timed on its own (thread
// CPU time), so that the load of a shared machine hits both alike; rates
// from the median iteration. Args: fsIn, fsOut, Tessival's snrDb.
void BM_Versus(benchmark::State& state) {
    const float fsIn = float(state.range(0)), fsOut = float(state.range(1));
    const auto snrDb = static_cast<unsigned>(state.range(2));
    const std::vector<Signal> in = input(fsIn);
    std::vector<std::vector<std::uint8_t>> buffers(2);
    Signal o0, o1;
    std::vector<double> ours, theirs;
    // One untimed run of each first: shared tables, heap and clock speed
    // settle before the first timed iteration.
    runTessival(in, fsIn, fsOut, snrDb, buffers, nullptr);
    runSoxr(in, fsIn, fsOut, o0, o1);
    for (auto _ : state) {
        const double t0 = cpuSeconds();
        benchmark::DoNotOptimize(runTessival(in, fsIn, fsOut, snrDb, buffers, nullptr));
        const double t1 = cpuSeconds();
        benchmark::DoNotOptimize(runSoxr(in, fsIn, fsOut, o0, o1));
        const double t2 = cpuSeconds();
        ours.push_back(t1 - t0);
        theirs.push_back(t2 - t1);
    }
    const double frames = double(in[0].size());
    state.counters["frames_per_s"] = frames / median(ours);
    state.counters["soxr_frames_per_s"] = frames / median(theirs);
    state.counters["ratio"] = median(theirs) / median(ours);
    Signal y;
    runTessival(in, fsIn, fsOut, snrDb, buffers, &y);
    double amp, thdn;
    const auto n = static_cast<std::size_t>(fsOut * kSeconds);
    toneQuality(y, n, fsOut, amp, thdn);
    state.counters["thdn_dB"] = thdn;
    runSoxr(in, fsIn, fsOut, o0, o1);
    toneQuality(o0, n, fsOut, amp, thdn);
    state.counters["soxr_thdn_dB"] = thdn;
}

// ---- Stages alone, for the profile: the FFT stage and the polyphase stage
// of 44100 -> 48000 (default design), each on its own input.

// FFT stage 44100 -> 88200; range(0): 0 channels paired, 1 each alone.
void BM_StageFFT(benchmark::State& state) {
    const std::vector<Signal> in = input(44100);
    std::vector<std::vector<std::uint8_t>> buffers(2);
    DSP::ResamplingSettings s;
    const DSP::ResamplingPlan plan = DSP::planResampling(44100, s, 48000);
    DSP::detail::forceUnpairedChannels(state.range(0) == 1);
    for (auto _ : state) {
        auto stage = DSP::makeFFTStage(
            Audio::Stream::Wrapper<Stream::iVOver>(source(in, 44100)), plan, s, plan.exponent);
        benchmark::DoNotOptimize(drain(stage, buffers));
    }
    DSP::detail::forceUnpairedChannels(false);
    state.counters["frames_per_s"] =
        benchmark::Counter(double(in[0].size()) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StageFFT)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Polyphase stage 88200 -> 48000 as the chain builds it; range(0): 0 the
// instruction set in force (TESSIVAL_ISA or the best), 1 portable (the
// label names the set). Frames counted at 44100 (the chain's input), so the
// figures add up with BM_StageFFT.
void BM_StagePolyphase(benchmark::State& state) {
    const std::vector<Signal> in = input(88200);
    std::vector<std::vector<std::uint8_t>> buffers(2);
    DSP::ResamplingSettings s;
    const DSP::ResamplingPlan plan = DSP::planResampling(44100, s, 48000);
    const double fs2 = plan.intermediateRate, B = plan.basebandMax, T = plan.stopbandMin;
    if (state.range(0) == 1) DSP::selectIsa(DSP::Isa::Portable);
    state.SetLabel(DSP::isaName(DSP::activeIsa()));
    for (auto _ : state) {
        auto stage = DSP::FIR::makePolyphaseStage(
            Audio::Stream::Wrapper<Stream::iVOver>(source(in, 88200)),
            plan.attenuation + DSP::FIR::kMarginPolyphase - 7,
            {(fs2 - T - B) / fs2, DSP::FirstNull}, 1.0, 0.0,
            DSP::FIR::BandSpec::lowpass((fs2 - T + B) / fs2), 48000);
        benchmark::DoNotOptimize(drain(stage, buffers));
    }
    DSP::resetIsa();
    state.counters["frames_per_s"] = benchmark::Counter(
        double(in[0].size()) / 2 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StagePolyphase)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The polyphase kernels alone: the resampler of BM_StagePolyphase run over
// 8192 outputs of two channels held in memory (no stream, no design);
// range(0): the instruction set (Isa order), skipped where the CPU lacks it.
// Frames are outputs.
void BM_PolyphaseKernel(benchmark::State& state) {
    const auto isa = static_cast<DSP::Isa>(state.range(0));
    if (!DSP::selectIsa(isa)) {
        state.SkipWithError("not supported by this CPU");
        return;
    }
    state.SetLabel(DSP::isaName(isa));
    const std::vector<Signal> in = input(88200);
    DSP::ResamplingSettings s;
    const DSP::ResamplingPlan plan = DSP::planResampling(44100, s, 48000);
    const double fs2 = plan.intermediateRate, B = plan.basebandMax, T = plan.stopbandMin;
    auto stage = DSP::FIR::makePolyphaseStage(
        Audio::Stream::Wrapper<Stream::iVOver>(source(in, 88200)),
        plan.attenuation + DSP::FIR::kMarginPolyphase - 7, {(fs2 - T - B) / fs2, DSP::FirstNull},
        1.0, 0.0, DSP::FIR::BandSpec::lowpass((fs2 - T + B) / fs2), 48000);
    DSP::FIR::FixedResampler& r = *dynamic_cast<DSP::FIR::VFIRFilter&>(*stage).resampler;
    constexpr std::uint32_t kOut = 8192;
    std::vector<Signal> out(2, Signal(kOut));
    Stream::Channels source(2), dest(2);
    for (int c = 0; c < 2; ++c) {
        source[c] = reinterpret_cast<std::uint8_t*>(const_cast<double*>(in[c].data()));
        dest[c] = reinterpret_cast<std::uint8_t*>(out[c].data());
    }
    const auto inEnd = static_cast<std::uint32_t>(in[0].size());
    for (auto _ : state) {
        std::uint32_t phase = 0;
        DSP::FIR::ChannelSpan span{&dest, 0, kOut, {}};
        benchmark::DoNotOptimize(r.process(span, source, 0, inEnd, {}, {}, phase, false));
        benchmark::DoNotOptimize(out[0][0]);
    }
    DSP::resetIsa();
    state.counters["frames_per_s"] =
        benchmark::Counter(double(kOut) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PolyphaseKernel)->DenseRange(0, DSP::kIsaCount - 1)->Unit(benchmark::kMicrosecond);

constexpr long kPairs[][2] = {{44100, 48000}, {96000, 44100}, {44100, 88200}, {48000, 44100}};
// Designs tried for (b): the default int24 target and steps of 5 dB above.
constexpr long kSnrDb[] = {145, 150, 155, 160, 165, 170};

// The chain alone (for profiles): args fsIn, fsOut, snrDb.
void BM_Chain(benchmark::State& state) {
    const float fsIn = float(state.range(0)), fsOut = float(state.range(1));
    const auto snrDb = static_cast<unsigned>(state.range(2));
    const std::vector<Signal> in = input(fsIn);
    std::vector<std::vector<std::uint8_t>> buffers(2);
    for (auto _ : state)
        benchmark::DoNotOptimize(runTessival(in, fsIn, fsOut, snrDb, buffers, nullptr));
    state.counters["frames_per_s"] =
        benchmark::Counter(double(in[0].size()) * state.iterations(), benchmark::Counter::kIsRate);
}

// Channel count: the chain 44100 -> 48000 (default design) on 2, 6 (5.1)
// and 8 (7.1) channels; channel_frames_per_s counts input frames times
// channels per second, so that a count that pairs its channels as stereo
// does shows stereo's figure.
void BM_Channels(benchmark::State& state) {
    const auto channels = static_cast<std::size_t>(state.range(0));
    const std::vector<Signal> in = input(44100, channels);
    std::vector<std::vector<std::uint8_t>> buffers(channels);
    for (auto _ : state)
        benchmark::DoNotOptimize(runTessival(in, 44100, 48000, 145, buffers, nullptr));
    state.counters["channel_frames_per_s"] = benchmark::Counter(
        double(in[0].size() * channels) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Channels)->Arg(2)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);

void registerConversions() {
    auto* b = benchmark::RegisterBenchmark("BM_Versus", BM_Versus);
    for (const auto& p : kPairs)
        for (long snr : kSnrDb) b->Args({p[0], p[1], snr});
    b->Unit(benchmark::kMillisecond);
    auto* c = benchmark::RegisterBenchmark("BM_Chain", BM_Chain);
    for (const auto& p : kPairs)
        for (long snr : {145L, 165L}) c->Args({p[0], p[1], snr});
    c->Unit(benchmark::kMillisecond);
}

// Console output plus a closing table: per conversion (a) the default int24
// design (snrDb 145) and (b) the lowest design target whose measured THD+N is
// at or below libsoxr VHQ's, each with its speed ratio. Target for both:
// 2.0 on AVX-512, 1.5 on the other sets; the table names the set.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            // Single runs, or the median of repetitions.
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type != Run::RT_Iteration && !median) continue;
            if (r.run_type == Run::RT_Iteration && r.repetitions > 1) continue;
            if (r.counters.find("ratio") == r.counters.end()) continue;
            auto& row = rows_[r.run_name.function_name + "/" + r.run_name.args];
            for (const auto& [name, counter] : r.counters) row[name] = counter.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const DSP::Isa isa = DSP::activeIsa();
        const double target = isa == DSP::Isa::AVX512 ? 2.0 : 1.5;
        std::printf("\ninstruction set: %s\n", DSP::isaName(isa));
        std::printf("%-12s %-3s %5s %13s %9s %13s %9s %6s %6s\n", "conversion", "", "snrDb",
                    "tessival fr/s", "THD+N dB", "soxr VHQ fr/s", "THD+N dB", "ratio", "target");
        for (const auto& p : kPairs) {
            const std::string args = std::to_string(p[0]) + "/" + std::to_string(p[1]);
            auto row = [&](const char* label, long snr) {
                auto& r = rows_["BM_Versus/" + args + "/" + std::to_string(snr)];
                std::printf("%-12s %-3s %5ld %13.4g %9.1f %13.4g %9.1f %6.2f %6.1f\n", args.c_str(),
                            label, snr, r["frames_per_s"], r["thdn_dB"], r["soxr_frames_per_s"],
                            r["soxr_thdn_dB"], r["ratio"], target);
            };
            auto has = [&](long snr) {
                return rows_.count("BM_Versus/" + args + "/" + std::to_string(snr)) > 0;
            };
            if (has(145)) row("(a)", 145);
            for (long snr : kSnrDb) {
                if (!has(snr)) continue;
                auto& r = rows_["BM_Versus/" + args + "/" + std::to_string(snr)];
                if (r["thdn_dB"] <= r["soxr_thdn_dB"]) {
                    row("(b)", snr);
                    break;
                }
            }
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> rows_;
};

}  // namespace

int main(int argc, char** argv) {
    registerConversions();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("isa", DSP::isaName(DSP::activeIsa()));
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
