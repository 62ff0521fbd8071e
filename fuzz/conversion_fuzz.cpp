// libFuzzer target: a fuzzed WAV converted by the whole job (ConvertFile:
// reader, translation, resampling chain, output translation, pre-ring crop,
// WAVE writer) with fuzzed settings. The settings come from the end of the
// input, the file is what remains. The output goes to a scratch folder; the
// job is stopped after its first mebibyte. Afterwards the folder must hold
// the output exactly when the job returned.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <limits>
#include <string>

#include "base/Wobbly.h"
#include "job/Conversion.h"
#include "job/SettingsModel.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    fs::path dir, input;
    Scratch() {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        dir = base / ("tessival_conversion_fuzz_" + std::to_string(getpid()));
        fs::create_directories(dir / "out");
        input = dir / "in.wav";
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// Stops the drain at its second report: at most about 1 MiB is written.
class StopSoon final : public Stream::iDrainProgress {
public:
    bool progress(std::uint32_t, std::uint32_t, bool) override { return ++calls_ < 2; }
    void finished() override {}

private:
    int calls_ = 0;
};

// Mostly ordinary values, sometimes the ones users type by mistake.
double Pick(FuzzedDataProvider& in, double low, double high) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0:
            return 0.0;
        case 1:
            return -in.ConsumeFloatingPointInRange(0.0, high);
        case 2:
            return in.ConsumeFloatingPoint<double>();  // any finite value
        case 3:
            return std::numeric_limits<double>::infinity();
        case 4:
            return -std::numeric_limits<double>::infinity();
        case 5:
            return std::numeric_limits<double>::quiet_NaN();
        case 6:
            return 1e300;
        default:
            return in.ConsumeFloatingPointInRange(low, high);
    }
}

float PickRate(FuzzedDataProvider& in) {
    const int k = in.ConsumeIntegralInRange(0, 19);
    if (k < static_cast<int>(kOutputRates.size()))
        return std::strtof(std::string(kOutputRates[static_cast<std::size_t>(k)]).c_str(), nullptr);
    switch (k) {
        case 15:
            return 0.0f;
        case 16:
            return static_cast<float>(in.ConsumeIntegralInRange(-100000, 20000000));
        case 17:
            return in.ConsumeFloatingPoint<float>();
        case 18:
            return static_cast<float>(in.ConsumeIntegralInRange(1, 4000));
        default:
            return static_cast<float>(in.ConsumeFloatingPointInRange(4000.0, 400000.0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    FuzzedDataProvider in(data, size);
    const float rate = PickRate(in);
    const SampleTypeChoice& type =
        kSampleTypes[in.ConsumeIntegralInRange<std::size_t>(0, kSampleTypes.size() - 1)];
    ConversionSettings s;
    s.speed = Pick(in, 0.25, 4.0);
    s.gain = Pick(in, 0.0, 4.0);
    s.syncOffset = Pick(in, -4.0, 4.0);
    s.basebandMax = Pick(in, 100.0, 40000.0);
    s.stopbandMin =
        in.ConsumeBool() ? std::numeric_limits<double>::infinity() : Pick(in, 100.0, 60000.0);
    s.snrDb = in.ConsumeBool() ? type.defaultSnrDb : in.ConsumeIntegral<std::uint32_t>() % 400;
    // Neither program sets a transition narrower than 500 Hz; a few hertz at
    // 240 dB make filters of millions of taps whose conversion of even one
    // frame outlasts the fuzzer's timeout (a cost, not a fault).
    s.minTransitionHz = in.ConsumeBool() ? 500 : 100 + in.ConsumeIntegral<std::uint32_t>() % 1000000;
    s.aliasGuardBand = in.ConsumeBool();
    s.cropPreRing = in.ConsumeBool();
    const std::string file = in.ConsumeRemainingBytesAsString();

    if (std::FILE* f = std::fopen(scratch.input.c_str(), "wb")) {
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    } else {
        std::abort();
    }

    OutputOptions options;
    options.directory =
        Filesystem::Path::Parse((scratch.dir / "out").string(), Filesystem::Path::Kind::Directory);
    const Audio::Format request = Audio::Format::FromBytes(
        type.format.lowByte, type.format.scaleExponent, type.format.thirdByte, 0, rate);
    static const bool verbose = std::getenv("TESSIVAL_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(
            stderr,
            "rate %.9g type %.*s speed %.17g gain %.17g sync %.17g baseband %.17g stopband %.17g "
            "snr %u transition %u guard %d crop %d, %zu file bytes\n",
            rate, int(type.text.size()), type.text.data(), s.speed, s.gain, s.syncOffset,
            s.basebandMax, s.stopbandMin, s.snrDb, s.minTransitionHz, s.aliasGuardBand,
            s.cropPreRing, file.size());
    StopSoon stop;
    bool returned = false;
    std::string outcome = "done";
    try {
        ConvertFile(Filesystem::Path::Parse(scratch.input.string(), Filesystem::Path::Kind::File),
                    request, s, &stop, options);
        returned = true;
    } catch (const std::exception& e) {
        outcome = e.what();
    } catch (const Wobbly&) {
        outcome = "failed";
    }
    if (verbose) std::fprintf(stderr, "outcome: %s\n", outcome.c_str());
    std::size_t outputs = 0;
    for (const auto& e : fs::directory_iterator(scratch.dir / "out")) {
        ++outputs;
        fs::remove(e.path());
    }
    if (outputs != (returned ? 1u : 0u)) std::abort();
    return 0;
}
