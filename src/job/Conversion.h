#pragma once

// The conversion job: one input file in, one converted file out.

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"
#include "audio/format/Translator.h"
#include "audio/io/InputDetails.h"
#include "dsp/ResamplingChain.h"
#include "filesystem/Path.h"
#include "job/ConversionSettings.h"
#include "job/Outcome.h"
#include "job/Request.h"
#include "stream/Drain.h"
#include "stream/MD5.h"
#include "stream/ReadAhead.h"

// Where and how the output is written. The defaults are the desktop
// program's: a WAVE file next to the input.
struct OutputOptions {
    int writerId = 1;                           // writer registry ID (1 WAVE, 0 WavPack, 3 raw)
    std::string extension = ".wav";             // replaces ".wav" at the end of the name
    std::optional<Filesystem::Path> directory;  // instead of the input's folder
    // Called with the output's name before anything is written; throws to
    // refuse it (the job queue keeps two inputs of one batch off one name).
    std::function<void(const std::string& output)> claim;
    // Create `directory` and its parents when they are missing.
    bool createDirectory = false;
    // When the output's name is taken: replace the file, leave it (OutputExists) or fail.
    IfExists ifExists = IfExists::Replace;
    // Not -1: the output is written to this descriptor as a stream (WAVE or raw) instead of
    // a file; the header is written once, with the exact sizes when the input's length is known.
    int streamFd = -1;
    // Set: the conversion may run the first part of its chain (reading, decoding and the FFT
    // stage) on another thread through it, when it says yes (see Stream::ReadAhead).
    Stream::Launcher beside;
};

// Reads TESSIVAL_ISA now, so that a name that cannot be honoured is said on standard error at
// the start of a run (otherwise the first filter says it, and a run that filters nothing never).
void AnnounceInstructionSet();

// The name "-": standard input as an input (read as a WAVE stream), standard output as an output.
Filesystem::Path StandardStreamPath();
bool IsStandardStream(const Filesystem::Path& path);

// Thrown with IfExists::Skip when a file of the output's name exists: nothing was written.
struct OutputExists : std::runtime_error {
    explicit OutputExists(Filesystem::Path existing)
        : std::runtime_error("skipped"), output(std::move(existing)) {}
    Filesystem::Path output;
};

// Thrown when the progress receiver stopped the conversion.
struct ConversionAborted : std::runtime_error {
    ConversionAborted() : std::runtime_error("aborted") {}
};

// Thrown when the output clipped and the settings ask for a failure then
// (failOnClip); the output is deleted. The message is the State text.
struct ClippedOutput : std::runtime_error {
    explicit ClippedOutput(const PeakFigures& peaks, const std::string& why);
    PeakFigures peaks;
};

// Converts `input` to the requested format (channels 0 = the input's; rate
// 0 = input rate x speed). The output is written as ".<start of name>.<random>.part" beside it
// and renamed to its name when complete, replacing a file of that name. On
// any failure or abort the partial file is deleted (an earlier output of the
// same name stays) and the exception passed on. Returns the output path;
// what the user should know about a converted file goes to `warnings`, its rates and frame
// counts to `figures` (also when it fails or is skipped, as far as they are known), its
// measured peaks to `peaks`.
//
// Clipping: the output clips when an integer encoder clamped a sample, or a
// float output's sample peak is above full scale. With `ceilingDbtp` set, a
// true peak above the ceiling counts as clipping too (and for a float output
// it replaces full scale as the limit: a ceiling above 0 dBTP is kept). preventClipping
// converts again (at most kMaxPasses in all) with the gain lowered just
// enough, from the measured peak: below full scale by the dither's reach
// (1.5 steps) for integer outputs, to the ceiling when one is set; the gain is
// rounded down to 4 significant digits, which the name shows. A pass that
// is not kept never becomes the output; progress gives each pass its share.
// failOnClip turns a clipping output into ClippedOutput.
// The conversion fails when the filters produced non-finite samples.
inline constexpr int kMaxPasses = 3;
Filesystem::Path ConvertFile(const Filesystem::Path& input, Audio::Format requested,
                             const ConversionSettings& settings, Stream::iDrainProgress* progress,
                             const OutputOptions& options = {},
                             std::vector<std::string>* warnings = nullptr,
                             JobFigures* figures = nullptr, PeakFigures* peaks = nullptr);

// round(inputFrames x outputRate / (inputRate x speed)), computed exactly on
// the binary values of the rates and the speed (halves round up).
std::int64_t ExactOutputFrames(std::int64_t inputFrames, double inputRate, double outputRate,
                               double speed);

namespace Audio::IO {

// Opens the input and builds the whole conversion chain to the completed
// request. `settings` null: no speed relabelling and default design.
Audio::Stream::Wrapper<::Stream::iOver> OpenInput(
    const Filesystem::Path& path, const ConversionSettings* settings, Format* inputFormat,
    PropertyList* properties, MD5::Hash* digest, Format request, InputDetails* details = nullptr,
    FormatTranslator::Extras extras = {}, const ::Stream::Launcher& beside = {});

}  // namespace Audio::IO

// source -> 64-bit float -> channels -> resampling chain -> interleave ->
// output sample type. Only the translation when no filter is needed.
// `extras` go to the last translation (the one to the output sample type).
// `beside` set: the chain is cut after the FFT stage, and the part before the
// cut is read ahead through it on another thread (Stream::ReadAhead).
Audio::Stream::Wrapper<Stream::iOver> BuildConversionChain(
    Audio::Stream::Wrapper<Stream::iOver> source, Audio::Format format,
    const ConversionSettings& settings, Audio::FormatTranslator::Extras extras = {},
    const Stream::Launcher& beside = {});

// The fields snrDb ... speed, as the resampling chain takes them.
DSP::ResamplingSettings DesignSettings(const ConversionSettings& settings);

// "<name> [<rate><type> speed=<s> gain=<g> delay=<origin>].wav" in the
// input's folder. The gain shows 2 decimals, or 4 significant digits when
// `preciseGain` (a gain the job lowered itself).
Filesystem::Path MakeOutputPath(const Filesystem::Path& input, Audio::Format format, double origin,
                                const ConversionSettings& settings, bool preciseGain = false);
