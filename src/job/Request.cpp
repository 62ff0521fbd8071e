#include "job/Request.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace {

constexpr std::array<std::string_view, 5> kContainers{"wav", "wv", "raw", "aiff", "flac"};

}  // namespace

const SampleTypeChoice& SampleTypeEntry(SampleType type) {
    return kSampleTypes.at(static_cast<std::size_t>(type));
}

std::string_view SampleTypeName(SampleType type) {
    return SampleTypeEntry(type).text;
}

std::optional<SampleType> ParseSampleType(std::string_view name) {
    for (std::size_t i = 0; i < kSampleTypes.size(); ++i)
        if (kSampleTypes[i].text == name) return static_cast<SampleType>(i);
    return std::nullopt;
}

std::uint32_t DefaultSnrDb(SampleType type) {
    return SampleTypeEntry(type).defaultSnrDb;
}

std::string_view ContainerName(Container container) {
    return kContainers.at(static_cast<std::size_t>(container));
}

std::optional<Container> ParseContainer(std::string_view name) {
    for (std::size_t i = 0; i < kContainers.size(); ++i)
        if (kContainers[i] == name) return static_cast<Container>(i);
    return std::nullopt;
}

std::string FlacRateRefusal(double rate) {
    return "FLAC stores rates up to 1048575 Hz: choose another container for " +
           std::to_string(std::lround(rate)) + " Hz";
}

void Validate(const ConversionRequest& request) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const ConversionSettings& s = request.settings;
    if (!(std::isfinite(s.speed) && s.speed > 0.0))
        throw InvalidRequest("speed must be a positive finite percentage");
    if (!std::isfinite(s.gain)) throw InvalidRequest("gain out of range (at most 6153 dB)");
    if (!(std::fabs(s.syncOffset) <= kMaxSyncOffset))
        throw InvalidRequest("sync offset out of range (at most 1e9 samples either way)");
    if (std::isnan(s.basebandMax) || s.basebandMax == -kInfinity)
        throw InvalidRequest("baseband max out of range");
    if (std::isnan(s.stopbandMin) || s.stopbandMin == -kInfinity)
        throw InvalidRequest("stopband min out of range");
    if (s.basebandMax < 0) throw InvalidRequest("baseband max must not be negative");
    if (s.stopbandMin < 0) throw InvalidRequest("stopband min must not be negative");
    if (s.snrDb > kMaxSnrDb)
        throw InvalidRequest("filter SNR above " + std::to_string(kMaxSnrDb) + " dB");
    if (!(request.outputRate >= 0.0f)) throw InvalidRequest("output rate must be 0 or positive");
    if (!(request.outputRate <= kMaxRateHz)) throw InvalidRequest("output rate too high");
    // The rate converted to is the one the header holds.
    if (request.outputRate > 1.0f && request.outputRate != std::floor(request.outputRate)) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.7g", static_cast<double>(request.outputRate));
        throw InvalidRequest(std::string("the output rate must be a whole number of hertz (files "
                                         "store whole hertz), not ") +
                             rate);
    }
    if (request.container == Container::Flac && (request.sampleType == SampleType::Float32 ||
                                                request.sampleType == SampleType::Float64))
        throw InvalidRequest(std::string("FLAC stores integer samples only: ") +
                             std::string(SampleTypeName(request.sampleType)) +
                             " cannot be written to a .flac file"
                             " (choose int8, int16, int24 or int32)");
    // What the other containers cannot hold, refused before any work (the writers fail only
    // once the output starts, with "bad write format").
    if (request.container == Container::WavPack && request.sampleType == SampleType::Float64)
        throw InvalidRequest(
            "WavPack stores floats of 32 bits only: fp64 cannot be written to a "
            ".wv file (choose fp32 or an integer type)");
    if (request.container == Container::Flac && request.outputRate > kFlacMaxRateHz)
        throw InvalidRequest(FlacRateRefusal(request.outputRate));
    if (s.ceilingDbtp && !(*s.ceilingDbtp >= kMinCeilingDbtp && *s.ceilingDbtp <= kMaxCeilingDbtp))
        throw InvalidRequest("true-peak ceiling out of range (-60 to +6 dBTP)");
}
