#pragma once

// What a caller asks of a conversion: one value both programs fill, checked
// by one validation with one set of limits and messages.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "filesystem/Path.h"
#include "job/ConversionSettings.h"

// Output sample types, in the order of the dialog's list (kSampleTypes).
enum class SampleType { Int8, Int16, Int24, Int32, Float32, Float64 };

// The three bytes of an Audio::Format that the output sample type sets: low byte (size and
// type), scaleExponent, third byte. The rest of the request comes from the input.
struct OutputFormatBytes {
    std::uint8_t lowByte = 0x22;
    std::uint8_t scaleExponent = 16;
    std::uint8_t thirdByte = 0;
    bool operator==(const OutputFormatBytes&) const = default;
};

struct SampleTypeChoice {
    std::string_view text;
    OutputFormatBytes format;
    std::uint32_t defaultSnrDb;  // filter target when the user sets none, dB
};

// The sample-type list of control 1002, in list order.
inline constexpr std::array<SampleTypeChoice, 6> kSampleTypes{{
    {"int8", {0x21, 8, 0}, 49},
    {"int16", {0x22, 16, 0}, 97},
    {"int24", {0x23, 24, 0}, 145},
    {"int32", {0x24, 32, 0}, 193},
    {"fp32", {0x44, 1, 0}, 151},
    {"fp64", {0x48, 1, 0}, 326},
}};
inline constexpr int kDefaultSampleTypeIndex = 1;  // int16

// The entry of kSampleTypes for `type`.
const SampleTypeChoice& SampleTypeEntry(SampleType type);

// "int8", "int16", "int24", "int32", "fp32", "fp64".
std::string_view SampleTypeName(SampleType type);
// The type of that name, or none.
std::optional<SampleType> ParseSampleType(std::string_view name);
// The design target used when the user sets none, dB.
std::uint32_t DefaultSnrDb(SampleType type);

// Output containers.
enum class Container { Wave, WavPack, Raw, Aiff, Flac };

// "wav", "wv", "raw", "aiff", "flac": the command line's names and the outputs' extensions.
std::string_view ContainerName(Container container);
std::optional<Container> ParseContainer(std::string_view name);

// Highest output rate a conversion accepts: 2^24 Hz, the largest range in which the 32-bit float
// rate of a stream tag holds every whole number of hertz.
inline constexpr double kMaxRateHz = 16777216.0;
// Highest filter SNR target a conversion accepts, dB.
inline constexpr std::uint32_t kMaxSnrDb = 400;
// Largest |syncOffset| a conversion accepts, output samples: beyond it the offset's fraction
// (the only part that changes samples) is lost in the filters' grid arithmetic.
inline constexpr double kMaxSyncOffset = 1e9;

// True-peak ceiling: what the window proposes, and the range a conversion accepts, dBTP.
inline constexpr double kDefaultCeilingDbtp = -0.1;
inline constexpr double kMinCeilingDbtp = -60.0;
inline constexpr double kMaxCeilingDbtp = 6.0;

// Highest rate a FLAC stream header holds (20 bits), Hz; the refusal of a higher `rate`.
inline constexpr double kFlacMaxRateHz = 1048575.0;
std::string FlacRateRefusal(double rate);

// What a batch does when an output's name is already taken by a file.
enum class IfExists { Replace, Skip, Fail };

struct ConversionRequest {
    ConversionSettings settings;
    float outputRate = 44100.0f;  // Hz; 0 = the input's rate x speed
    SampleType sampleType = SampleType::Int16;
    Container container = Container::Wave;
    // Where outputs go: none = next to each input.
    std::optional<Filesystem::Path> outputFolder;
    // With an output folder: recreate each input's sub-folder below the folder argument it was
    // found in (false: every output lands directly in outputFolder).
    bool mirrorTree = true;
    IfExists ifExists = IfExists::Replace;
    // The output goes to standard output as a stream instead of a file (one job at a time).
    bool toStandardOutput = false;
};

// A request no conversion can run with; the message names the field.
struct InvalidRequest : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Throws InvalidRequest for a speed that is not finite and positive, a gain or sync offset that
// is not finite (or an offset past kMaxSyncOffset), a band edge that is NaN or negative, an
// SNR target above kMaxSnrDb, an output rate that is negative, not a whole number of hertz
// or above kMaxRateHz, a ceiling outside
// kMinCeilingDbtp .. kMaxCeilingDbtp, or a float sample type for the FLAC container (FLAC
// stores integers only).
void Validate(const ConversionRequest& request);
