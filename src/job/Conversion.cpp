#include "job/Conversion.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "audio/format/ChannelSplit.h"
#include "audio/format/CropFront.h"
#include "audio/format/NonFinite.h"
#include "audio/format/PeakMeter.h"
#include "audio/format/SilenceFiller.h"
#include "audio/format/Translator.h"
#include "audio/io/FileWriter.h"
#include "audio/io/IFFPlan.h"
#include "audio/io/InsertWriter.h"
#include "audio/io/Metadata.h"
#include "audio/io/OpenFile.h"
#include "dsp/ResamplingChain.h"
#include "dsp/fft/Isa.h"
#include "job/BehindOutput.h"
#include "job/SettingsModel.h"
#include "job/StandardStreams.h"
#include "stream/Adapt.h"
#include "stream/Crop.h"

using Audio::Format;
using StreamOver = Audio::Stream::Wrapper<Stream::iOver>;

DSP::ResamplingSettings DesignSettings(const ConversionSettings& s) {
    DSP::ResamplingSettings d;
    d.snrDb = s.snrDb;
    d.minTransitionHz = s.minTransitionHz;
    d.aliasGuardBand = s.aliasGuardBand;
    d.syncOffset = s.syncOffset;
    d.basebandMax = s.basebandMax;
    d.stopbandMin = s.stopbandMin;
    d.gain = s.gain;
    d.speed = s.speed;
    return d;
}

namespace {

// Sample bytes written to the output at once: one header update and one system call each
// (the chain's blocks are a few kilobytes).
constexpr std::size_t kWriteBatchBytes = 256 * 1024;

// 16 random hex digits, new at each call, from a generator each thread seeds once from the
// system's random source (so that processes never share a sequence).
std::string RandomTag() {
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

// Halves away from zero.
std::int64_t roundHalfAway(double x) {
    return static_cast<std::int64_t>(std::round(x));
}

// Expected number of sample bytes of the output, with room for the filters'
// ring; 0 when the input's length is unknown. Only used to choose a header
// that can hold the size.
std::int64_t expectedBytes(std::int64_t inputFrames, double inputRate,
                           const Audio::Stream::Tag& out) {
    if (inputFrames <= 0 || !(inputRate > 0)) return 0;
    double frames = static_cast<double>(inputFrames) *
                        (static_cast<double>(out.format.sampleRate) / inputRate) +
                    2 * std::fabs(out.origin) + 4096;
    return static_cast<std::int64_t>(frames) * out.format.bytesPerFrame();
}

std::string formatName(const char* leaf, const Format& f, double origin,
                       const ConversionSettings& s, bool preciseGain) {
    char type[16];
    const char* letter = f.sampleType() == Format::Integer ? "i"
                         : f.sampleType() == Format::Float ? "f"
                                                           : "?";
    std::snprintf(type, sizeof type, "%s%u", letter, f.bytesPerSample() * 8);
    const char* pattern = preciseGain ? "%s [%.8g%s speed=%.3f gain=%.4g delay=%.2f].wav"
                                      : "%s [%.8g%s speed=%.3f gain=%.2f delay=%.2f].wav";
    const double rate = static_cast<double>(f.sampleRate);
    if (origin < 0 && origin > -0.005) origin = 0.0;  // "delay=0.00", not "-0.00"
    // Room for the leaf and every number at its widest (%f of 1e308 has 309 digits).
    std::vector<char> buf(std::strlen(leaf) + 4 * 400);
    int n =
        std::snprintf(buf.data(), buf.size(), pattern, leaf, rate, type, s.speed, s.gain, origin);
    if (n < 0 || static_cast<std::size_t>(n) >= buf.size())
        throw std::runtime_error("cannot form the output name");
    std::string name(buf.data(), static_cast<std::size_t>(n));
    return name;
}

}  // namespace

namespace Audio::IO {

StreamOver OpenInput(const Filesystem::Path& path, const ConversionSettings* settings,
                     Format* inputFormat, PropertyList* properties, MD5::Hash* digest,
                     Format request, InputDetails* details, Audio::FormatTranslator::Extras extras,
                     const ::Stream::Launcher& beside) {
    StreamOver stream;
    if (IsStandardStream(path)) {
        stream = OpenWaveStream(OpenStandardInput(), properties, digest, details);
    } else {
        stream = OpenFile(path, properties, digest, details);
    }
    if (details && stream->length < 0) {
        // A stream's length is found at its end: an exact output length is cut then.
        details->endBytes = std::make_shared<std::atomic<std::int64_t>>(-1);
        stream = StreamOver(::Stream::announceLength(std::move(stream), details->endBytes));
    }
    if (details && stream.format().isFloat()) {
        details->nonFinite = std::make_shared<NonFiniteCount>();
        stream = Audio::Stream::GuardNonFinite(std::move(stream), details->nonFinite);
    }
    Audio::Stream::Tag tag = stream.tag();
    if (inputFormat) *inputFormat = tag.format;
    ConversionSettings chainSettings = settings ? *settings : ConversionSettings{};
    if (settings && request.sampleRate == 0.0f) {
        // No rate requested: the speed change is a relabelling of the rate
        // alone. It is applied here once; the chain must not apply it again.
        tag.format.sampleRate =
            static_cast<float>(static_cast<double>(tag.format.sampleRate) * settings->speed);
        stream.setTag(tag);
        chainSettings.speed = 1.0;
    }
    Format completed = request.CompleteFrom(tag.format);
    return BuildConversionChain(std::move(stream), completed, chainSettings, std::move(extras),
                                beside);
}

}  // namespace Audio::IO

namespace {

// True when a conversion from `inRate` to `outRate` builds no filter: the rates agree (after
// the speed change), no stop band is asked for, and no fraction of a sync offset moves the
// samples.
bool CopiesSamples(float inRate, float outRate, const ConversionSettings& settings) {
    const double x = static_cast<double>(inRate) * settings.speed;
    const bool noStopband = !std::isfinite(settings.stopbandMin) || settings.stopbandMin <= 0 ||
                            x == settings.stopbandMin + settings.basebandMax;
    // A sync offset moves the samples by its fraction alone (the whole part is absorbed in
    // the cropped pre-ring), and not at all when negative (no grid alignment).
    const bool noShift =
        settings.syncOffset <= 0.0 || settings.syncOffset == std::floor(settings.syncOffset);
    return static_cast<double>(outRate) == x && noStopband && noShift;
}

}  // namespace

StreamOver BuildConversionChain(StreamOver source, Format format,
                                const ConversionSettings& settings,
                                Audio::FormatTranslator::Extras extras,
                                const Stream::Launcher& beside) {
    const Format src = source.format();
    const double x = static_cast<double>(src.sampleRate) * settings.speed;
    // Filters between rates beyond this would need gigabytes per block.
    if (!(x > 0.0 && x <= kMaxRateHz))
        throw std::invalid_argument("the input's sample rate times the speed is out of range");
    if (!(format.sampleRate >= 1.0f && format.sampleRate <= kMaxRateHz))
        throw std::invalid_argument("output rate out of range (1 Hz to 16777216 Hz)");
    // The filters work on doubles.
    const std::uint32_t channels = std::min(format.channels(), src.channels());
    const Format work = Format::FromBytes(0x48, 0xFF, 0, channels, src.sampleRate);
    // Nothing to filter: only the sample type changes, and a gain is a plain scale (as a
    // gain asked of sox or ffmpeg is: the filters would cut above the pass band and add their
    // tail, for a gain alone).
    if (CopiesSamples(src.sampleRate, format.sampleRate, settings)) {
        if (settings.gain == 1.0)
            return Audio::FormatTranslator::MakeAndApply(std::move(source), format, 1,
                                                         std::move(extras));
        // Through doubles, as the filters' output goes: dithered as it is.
        StreamOver w = Audio::FormatTranslator::MakeAndApply(std::move(source), work, 1);
        extras.gain = settings.gain;
        return Audio::FormatTranslator::MakeAndApply(std::move(w), format, 1, std::move(extras));
    }

    StreamOver w = Audio::FormatTranslator::MakeAndApply(std::move(source), work, 1);
    Audio::Stream::Wrapper<Stream::iVOver> v = Audio::Stream::MakeOver2VOver(std::move(w));
    // The cut: reading, decoding and the FFT stage ahead on another thread. Not after the
    // polyphase stage: its last bits depend on how its output is read, and the read-ahead reads
    // in blocks of its own; every stage up to the FFT stage gives the same bits however read.
    DSP::StageInsert afterFFT;
    if (beside)
        afterFFT = [&beside](Audio::Stream::Wrapper<Stream::iVOver> s) {
            return Audio::Stream::Wrapper<Stream::iVOver>(Stream::readAhead(std::move(s), beside));
        };
    Audio::Stream::Wrapper<Stream::iVOver> r = DSP::makeResamplingChain(
        std::move(v), DesignSettings(settings), format.sampleRate, afterFFT);
    StreamOver o = Audio::Stream::MakeVOver2Over(std::move(r));
    return Audio::FormatTranslator::MakeAndApply(std::move(o), format, 1, std::move(extras));
}

Filesystem::Path MakeOutputPath(const Filesystem::Path& input, Format format, double origin,
                                const ConversionSettings& settings, bool preciseGain) {
    Filesystem::Path cut = input;
    std::size_t dot = cut.body.rfind('.');
    if (dot == std::string::npos) throw Filesystem::Path::NoExtension{};
    cut.body.resize(dot);
    std::string name = formatName(cut.Leaf().c_str(), format, origin, settings, preciseGain);
    // The input's folder: a name that is all extension (".wav") leaves `cut` nothing to take it
    // from (the job failed with no text).
    return Filesystem::Path::Join(input.Parent(),
                                  Filesystem::Path::FromNative(name, Filesystem::Path::Kind::File));
}

void AnnounceInstructionSet() {
    DSP::activeIsa();
}

Filesystem::Path StandardStreamPath() {
    return Filesystem::Path::FromNative("-", Filesystem::Path::Kind::File);
}

bool IsStandardStream(const Filesystem::Path& path) {
    return path.root == Filesystem::Path::Relative && path.body == "-";
}

namespace {

// Frames of the input as far as the chain knows them: the length of the
// reader's stream (the deepest audio stream of known length), or -1.
std::int64_t inputFramesOf(iStream& chain, const Format& inputFormat) {
    std::int64_t frames = -1;
    chain.visit(
        [&](int, iStream* s) {
            if (s->hasTag<Audio::Stream::Tag>() && s->length >= 0 && inputFormat.bytesPerFrame())
                frames = s->length / inputFormat.bytesPerFrame();
            return false;  // the last one seen is the reader's
        },
        0);
    return frames;
}

// A folder held open by its identity (O_PATH), closed with the holder; fd -1 when it could not
// be opened. `text` empty: the working folder.
struct HeldFolder {
    explicit HeldFolder(const std::string& text)
        : fd(::open(text.empty() ? "." : text.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
    ~HeldFolder() {
        if (fd >= 0) ::close(fd);
    }
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    const int fd;
};

// The failure to give the finished output `to` its name (error: an errno value).
std::runtime_error NamingFailed(const std::string& to, int error) {
    return std::runtime_error("cannot give the output file its name, " + to + ": " +
                              std::strerror(error) +
                              (error == ENOENT ? " (was its folder moved or removed?)" : ""));
}

// Gives `from` the name `to` unless an entry of that name appears meanwhile: false then, and
// `from` is left, where it is a file (another task of a batch finished it); a folder there
// fails, as one there at the start does.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    int error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // A file system without it: a hard link refuses a taken name as well.
        if (link(from.c_str(), to.c_str()) == 0) {
            std::remove(from.c_str());
            return true;
        }
        error = errno;
    }
    std::error_code ec;
    if (error == EEXIST && std::filesystem::is_directory(std::filesystem::symlink_status(to, ec)))
        throw std::runtime_error(to + " is a folder");
    if (error == EEXIST) return false;
    throw NamingFailed(to, error);
}

}  // namespace

std::int64_t ExactOutputFrames(std::int64_t inputFrames, double inputRate, double outputRate,
                               double speed) {
    if (inputFrames <= 0) return 0;
    return Audio::IO::ScalePosition(inputFrames, inputRate, outputRate, speed);
}

ClippedOutput::ClippedOutput(const PeakFigures& p, const std::string& why)
    : std::runtime_error("failed, " + why), peaks(p) {}

namespace {

double toDb(double linear) {
    return 20.0 * std::log10(linear);
}

PeakFigures figuresOf(const Audio::PeakReading& r, double gain, int passes) {
    PeakFigures f;
    for (double v : r.samplePeak) f.samplePeakDbfs.push_back(toDb(v));
    f.overallSamplePeakDbfs = toDb(r.overallSamplePeak());
    f.truePeakDbtp = toDb(r.overallTruePeak());
    f.clampedSamples = r.clamped;
    f.integerOutput = r.integerOutput;
    f.gain = gain;
    f.passes = passes;
    return f;
}

// Why an output clips under these settings; empty when it does not.
std::string clipReason(const Audio::PeakReading& r, const PeakFigures& f,
                       const ConversionSettings& s) {
    if (r.clamped > 0) return DescribePeaks(f);
    // A float output holds samples above full scale: they clip where it is played or made
    // integer, unless the user set a ceiling of their own, which then is the limit.
    if (!r.integerOutput && r.overallSamplePeak() > 1.0 && !s.ceilingDbtp)
        return DescribePeaks(f) + ", samples above full scale";
    if (s.ceilingDbtp && r.overallTruePeak() > std::pow(10.0, *s.ceilingDbtp / 20.0)) {
        char text[64];
        std::snprintf(text, sizeof text, " above the ceiling of %+.2f dBTP",
                      *s.ceilingDbtp + 0.0);  // -0 reads +0.00
        return DescribePeaks(f) + text;
    }
    return {};
}

// The gain that brings the measured peaks to their limits, rounded down to
// 4 significant digits (what the name shows). 0 when no gain would do.
double lowerGain(const Audio::PeakReading& r, const ConversionSettings& s, double gain,
                 const Format& out) {
    double factor = 1.0;
    const double sample = r.overallSamplePeak();
    if (r.integerOutput) {
        // Dither adds up to one step; rounding takes half a step more.
        const int bits = static_cast<int>(out.bytesPerSample() * 8 - out.paddingBits());
        const double full = std::ldexp(1.0, bits - 1);
        if (sample > 0) factor = std::min(factor, (full - 1.5) / full / sample);
    } else if (sample > 0 && !s.ceilingDbtp) {
        factor = std::min(factor, 1.0 / sample);
    }
    if (s.ceilingDbtp && r.overallTruePeak() > 0) {
        // The file's peaks are the quantised ones: an integer output keeps 1.5 steps below.
        double ceiling = std::pow(10.0, *s.ceilingDbtp / 20.0);
        if (r.integerOutput)
            ceiling -=
                std::ldexp(1.5, 1 - static_cast<int>(out.bytesPerSample() * 8 - out.paddingBits()));
        // A ceiling within the dither and rounding of the type's steps: no gain reaches it, but
        // the clamped samples can still be avoided.
        if (ceiling <= 0 && !(r.integerOutput && r.clamped > 0)) return 0;
        if (ceiling > 0) factor = std::min(factor, ceiling / r.overallTruePeak());
    }
    double g = gain * factor;
    if (!(g > 0) || !std::isfinite(g)) return 0;
    const double unit = std::pow(10.0, std::floor(std::log10(g)) - 3);
    g = std::floor(g / unit * (1 - 1e-12)) * unit;
    return g > 0 && g < gain ? g : 0;
}

// Gives each pass of a job a share of one progress bar: the first pass
// 0-50 %, the second 50-90 %, the third 90-100 %.
class PassProgress final : public Stream::iDrainProgress {
public:
    explicit PassProgress(Stream::iDrainProgress* to) : to_(to) {}
    void startPass(int pass) {
        static constexpr double kEdges[] = {0.0, 0.5, 0.9, 1.0};
        from_ = kEdges[std::min(pass, kMaxPasses) - 1];
        to100_ = kEdges[std::min(pass, kMaxPasses)];
    }
    bool progress(std::uint32_t done, std::uint32_t total, bool first) override {
        if (!to_) return true;
        const bool firstEver = first && !reported_;
        reported_ = true;
        if (total == 0) return to_->progress(0, 0, firstEver);
        const double share = from_ + (to100_ - from_) * (double(done) / double(total));
        return to_->progress(static_cast<std::uint32_t>(share * kUnits), kUnits, firstEver);
    }
    void finished() override {}  // the job reports the end once, after its last pass
    void end() {
        if (to_) to_->finished();
    }

private:
    static constexpr std::uint32_t kUnits = 1u << 20;
    Stream::iDrainProgress* to_;
    double from_ = 0, to100_ = 1;
    bool reported_ = false;
};

// "what: a, b, c".
std::string Listed(std::string what, const std::vector<std::string>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) what += (i ? ", " : ": ") + items[i];
    return what;
}

struct Pass {
    Filesystem::Path path;
    Audio::PeakReading reading;
    bool kept = false;
};

// One conversion to a ".part" file, or to the output stream; `keep` decides from the
// measurement whether it becomes the output (it may throw to fail the job). A pass not kept
// leaves no file.
Pass convertPass(const Filesystem::Path& input, Format requested,
                 const ConversionSettings& settings, bool preciseGain,
                 Stream::iDrainProgress* progress, const OutputOptions& options,
                 std::vector<std::string>* warnings, JobFigures* figures,
                 const std::function<bool(const Audio::PeakReading&)>& keep) {
    const bool toStream = options.streamFd >= 0;
    if (toStream && options.writerId != Audio::IO::kWaveWriter &&
        options.writerId != Audio::IO::kRawWriter)
        throw std::runtime_error("only WAVE and raw outputs can be written to a stream");
    Format inputFormat;
    Audio::IO::InputDetails details;
    auto meter = std::make_shared<Audio::PeakMeter>(true, Audio::PeakMeter::Scope::Overall);
    Audio::FormatTranslator::Extras extras;
    extras.meter = meter;
    if (settings.ditherSeed) extras.ditherSeed = Audio::SeedFromNumber(*settings.ditherSeed);
    // A split chain's helper also writes the output file (not a stream: its failures must show
    // where they happen).
    Stream::Launcher beside = options.beside;
    std::shared_ptr<Stream::WriteBehind> behind;
    if (beside && !toStream) beside.side = behind = std::make_shared<Stream::WriteBehind>();
    StreamOver source = Audio::IO::OpenInput(input, &settings, &inputFormat, nullptr, nullptr,
                                             requested, &details, std::move(extras), beside);
    const std::int64_t inputFrames = inputFramesOf(*source, inputFormat);

    Audio::Stream::Tag tag = source.tag();
    const std::int64_t preRing = std::max<std::int64_t>(0, roundHalfAway(tag.origin));
    const std::int64_t keptPreRing = settings.cropPreRing ? 0 : preRing;
    const std::int64_t croppedPreRing = settings.cropPreRing ? preRing : 0;
    const std::int64_t frameBytes = tag.format.bytesPerFrame();

    // With an exact length: the input's duration at the output rate, after the pre-ring (kept
    // or cropped): the filters' post-ring is cut, a short stream is padded with silence. The
    // output's bytes, -1 while unknown: known from the start, or (a stream) once its end has
    // been read, before the output reaches it (every output frame past the input's duration
    // depends on input past its end).
    // A relabelled rate (no output rate asked for) keeps every frame: the exact length is the
    // input's (the rate, a float, is not exactly the input's times the speed).
    const bool relabelled = requested.sampleRate == 0.0f;
    auto exactFrames = [relabelled, inRate = double(inputFormat.sampleRate),
                        outRate = double(tag.format.sampleRate),
                        speed = settings.speed](std::int64_t frames) {
        return relabelled ? std::max<std::int64_t>(frames, 0)
                          : ExactOutputFrames(frames, inRate, outRate, speed);
    };
    std::function<std::int64_t()> exactBytes;
    if (settings.exactLength) {
        auto bytesFor = [=](std::int64_t frames) {
            return (exactFrames(frames) + keptPreRing) * frameBytes;
        };
        // A length known when the input opens is final (a stream cut short fails), an empty
        // input's too: its output is the kept pre-ring.
        if (inputFrames >= 0) {
            exactBytes = [bytes = bytesFor(inputFrames)] { return bytes; };
        } else if (details.endBytes && inputFormat.bytesPerFrame() > 0) {
            const std::int64_t inFrameBytes = inputFormat.bytesPerFrame();
            exactBytes = [end = details.endBytes, inFrameBytes, bytesFor] {
                const std::int64_t bytes = end->load(std::memory_order_acquire);
                return bytes < 0 ? std::int64_t{-1} : bytesFor(bytes / inFrameBytes);
            };
        }
    }

    // The meter sits in the chain's last stage, before both cuts: it measures the frames
    // written, from the first after the cropped pre-ring (the crop's first read may pass over
    // some before it, as it is built) to the end of the output. Without an exact length that
    // is the stream's own end: a last block read past it is silence the writer never writes
    // (measured, it made a file that ends at full scale read as dropping to silence).
    if (exactBytes) {
        meter->setWritten(static_cast<std::uint64_t>(croppedPreRing), [exactBytes, frameBytes] {
            const std::int64_t bytes = exactBytes();
            return bytes < 0 ? std::int64_t{-1} : bytes / frameBytes;
        });
    } else {
        const ::Stream::iOver* stream = source.get();
        meter->setWritten(static_cast<std::uint64_t>(croppedPreRing), [stream, frameBytes,
                                                                       croppedPreRing] {
            return stream->length < 0
                       ? std::int64_t{-1}
                       : std::max<std::int64_t>(0, stream->length / frameBytes - croppedPreRing);
        });
    }

    if (croppedPreRing > 0) {
        source = Audio::Stream::CropFront(std::move(source), croppedPreRing * frameBytes);
        tag = source.tag();
    }
    if (exactBytes) {
        // A length known from the start is the plain crop (a stream's header then states it);
        // 0 bytes (which the plain crop takes as no limit) or a length still to be found is cut
        // when known.
        if (const std::int64_t known = exactBytes(); known > 0)
            source = StreamOver(
                ::Stream::crop(std::move(source), 0, known, Audio::SilenceFiller(tag.format)));
        else
            source = StreamOver(
                ::Stream::cropWhenKnown(std::move(source), static_cast<std::uint32_t>(frameBytes),
                                        exactBytes, Audio::SilenceFiller(tag.format)));
        source.setTag(tag);
    }

    // The input's tags and markers, every position moved to the output: the
    // same sound stays under a marker, and the time of day of the output's
    // first frame is the input's less the kept pre-ring.
    std::shared_ptr<const Audio::IO::Metadata> metadata;
    if (settings.copyMetadata && !details.metadata.empty()) {
        Audio::IO::PositionMap map;
        map.inputRate = std::round(static_cast<double>(inputFormat.sampleRate));
        map.outputRate = std::round(static_cast<double>(tag.format.sampleRate));
        map.speed = settings.speed;
        map.pitch = settings.speed;
        if (relabelled) {
            // A relabelled rate: the samples, and so the positions, stay.
            map.fileRate = map.inputRate;
            map.inputRate = map.outputRate;
            map.speed = 1.0;
        }
        // Where the input's first moment lies in the output: the delay the name gives.
        map.delay = tag.origin;
        map.outputBits = tag.format.bitsPerSample();
        if (inputFrames > 0) {
            map.inputFrames = inputFrames;
            map.outputFrames =
                (settings.exactLength ? exactFrames(inputFrames)
                                      : Audio::IO::ScalePosition(inputFrames, map.inputRate,
                                                                 map.outputRate, map.speed)) +
                keptPreRing;
        }
        std::vector<std::string> beyond;
        Audio::IO::Metadata rescaled = Audio::IO::RescaleMetadata(details.metadata, map, &beyond);
        if (!beyond.empty())
            details.warnings.push_back(
                Listed("not kept in the output, past the last frame its markers can point at "
                       "(4294967295)",
                       beyond));
        // The encoder tag (ffmpeg's) names the program that wrote the input, not the output's.
        std::erase_if(rescaled.tags, [](const Audio::IO::ExtraTag& t) {
            return !t.binary && strcasecmp(t.name.c_str(), "encoder") == 0;
        });
        // ReplayGain and R128 tags, and a broadcast header's loudness fields, state the
        // input's loudness and peaks, which a resampling at unity gain keeps (up to the peaks
        // between samples, which they do not promise to catch). Another gain (a lowered one
        // against clipping included), another speed (the weighting of the measure moves along
        // the spectrum) or other channels make them wrong: the tags are dropped, and said so,
        // rather than written wrong, and the header's fields read "not measured".
        const bool loudnessChanged = settings.gain != 1.0 || settings.speed != 1.0 ||
                                     tag.format.channels() != inputFormat.channels();
        if (rescaled.bext && loudnessChanged) Audio::IO::ForgetLoudness(*rescaled.bext);
        if (loudnessChanged) {
            const std::vector<std::string> dropped = Audio::IO::DropLoudnessTags(rescaled);
            if (!dropped.empty())
                details.warnings.push_back(
                    Listed("not kept, as the loudness measured on the "
                           "input no longer holds for the output",
                           dropped));
        }
        Audio::IO::AdoptTagAliases(rescaled, options.writerId);
        // What the output's container cannot hold is said, not lost without a word.
        const std::vector<std::string> left =
            Audio::IO::MetadataLeftOut(rescaled, options.writerId);
        if (!left.empty())
            details.warnings.push_back(
                Listed("not kept in the output, which has no place for it", left));
        metadata = std::make_shared<const Audio::IO::Metadata>(std::move(rescaled));
    }
    if (settings.copyMetadata && !details.unreadChunks.empty())
        details.warnings.push_back(Listed(
            "not kept in the output, chunks this program does not read", details.unreadChunks));

    // The name carries the rate the header holds (a request of 0 is the
    // input's rate x speed; containers store whole hertz).
    Format named = requested;
    named.sampleRate = static_cast<float>(std::round(static_cast<double>(tag.format.sampleRate)));
    if (figures) {
        figures->inputRate = static_cast<double>(inputFormat.sampleRate);
        figures->outputRate = static_cast<double>(named.sampleRate);
        figures->framesIn = inputFrames;
    }
    // Standard input has no name of its own: its outputs are named as if it were "stdin.wav".
    const Filesystem::Path nameFrom =
        IsStandardStream(input)
            ? Filesystem::Path::FromNative("stdin.wav", Filesystem::Path::Kind::File)
            : input;
    Filesystem::Path outPath =
        toStream ? StandardStreamPath()
                 : MakeOutputPath(nameFrom, named, tag.origin, settings, preciseGain);
    if (!toStream && options.extension != ".wav" && outPath.body.size() >= 4)
        outPath.body.replace(outPath.body.size() - 4, 4, options.extension);
    if (!toStream && options.directory)
        outPath = Filesystem::Path::Join(
            *options.directory,
            Filesystem::Path::FromNative(outPath.Leaf(), Filesystem::Path::Kind::File));
    const std::string outText = outPath.NativeText();

    Pass pass;
    pass.path = outPath;
    // After the last write: the measurement, then whether the pass is kept.
    auto judge = [&] {
        // Written to by another program while it was read (a copy over it, an export, a
        // recording going on): the samples may mix two files, under the first one's header.
        if (details.watch && details.watch->Changed())
            throw std::runtime_error(
                "the input changed while it was read (another program wrote to it); convert it "
                "again once it is complete");
        pass.reading = meter->finish();
        if (pass.reading.nonFinite > 0)
            throw std::runtime_error(
                "the conversion produced " + std::to_string(pass.reading.nonFinite) +
                " non-finite samples (NaN or infinity); is the gain too large?");
        // 32-bit floats hold magnitudes up to about 3.4e38 (+770 dBFS): beyond, infinities.
        if (tag.format.isFloat() && tag.format.bytesPerSample() == 4 &&
            pass.reading.overallSamplePeak() > double(std::numeric_limits<float>::max())) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "the output would hold infinities: its peak, %+.2f dBFS, is beyond "
                          "the range of 32-bit floats; is the gain too large?",
                          20.0 * std::log10(pass.reading.overallSamplePeak()));
            throw std::runtime_error(text);
        }
        pass.kept = keep(pass.reading);
    };
    // Once kept: the figures and what the user should know.
    auto report = [&](Stream::Wrapper<Stream::iUnder>& pull) {
        if (figures) {
            const std::int64_t frame = tag.format.bytesPerFrame();
            // Known from the start, or found at a stream's end (the reader's length then; a
            // file's is its audio's, not what follows it).
            figures->framesIn = inputFrames >= 0 ? inputFrames : inputFramesOf(*pull, inputFormat);
            figures->framesOut = frame ? pull->position / frame : -1;
        }
        if (warnings) {
            // What the readers said of the metadata ("metadata: ...") does not matter to an
            // output that leaves the metadata out.
            for (const std::string& w : details.warnings)
                if (settings.copyMetadata || !w.starts_with("metadata: ")) warnings->push_back(w);
            if (details.nonFinite && details.nonFinite->samples)
                warnings->push_back(details.nonFinite->describe());
            // A speed without an output rate only relabels the rate, and the header holds
            // whole hertz: what the speed became is said when it is not the one asked.
            const double in = static_cast<double>(inputFormat.sampleRate);
            const double relabelled = in * settings.speed;
            const double stored = static_cast<double>(named.sampleRate);
            if (requested.sampleRate == 0.0f &&
                std::abs(stored - relabelled) > 1e-6 * relabelled) {
                char text[240];
                std::snprintf(text, sizeof text,
                              "the speed only relabels the rate, and files store whole hertz: "
                              "%.9g Hz is stored as %.0f Hz, a speed of %.7f instead of %.7f "
                              "(give an output rate to resample at the exact speed)",
                              relabelled, stored, stored / in, settings.speed);
                warnings->push_back(text);
            }
            // A stop band nearer the pass band than the filters' narrowest transition lowers
            // the pass band's edge: what was asked to be kept is cut (a 15900 Hz tone came out
            // 19 dB down with a pass band to 16000 Hz asked for).
            if (const auto edge = DSP::passBandLoweredByStopband(
                    inputFormat.sampleRate, DesignSettings(settings), tag.format.sampleRate);
                edge && !CopiesSamples(inputFormat.sampleRate, tag.format.sampleRate, settings)) {
                char text[240];
                std::snprintf(text, sizeof text,
                              "the pass band ends at %.6g Hz, not at %.6g Hz: the filters keep "
                              "at least %u Hz between it and the stop band (%.6g Hz)",
                              *edge, settings.basebandMax, settings.minTransitionHz,
                              settings.stopbandMin);
                warnings->push_back(text);
            }
            // The filters move the output's sampling grid later only.
            if (settings.syncOffset < 0.0)
                warnings->push_back("a sync offset below 0 does not move the output: it is taken "
                                    "as 0 (the name gives the output's delay)");
        }
    };
    // Opens `writer` on `out`, drains the chain through it and finishes the file; the
    // drained stream, for the figures. The last writes and the close can still fail (a full
    // disk, a network share): they throw here.
    auto write = [&](sptr<Audio::IO::iFileWriter> writer, sptr<Stream::iByteOutput> out,
                     std::int64_t expected) {
        writer->output = writer->Open(std::move(out), expected);
        writer->openState = 2;
        writer->batchBytes = kWriteBatchBytes;
        Audio::IO::iFileWriter* w = writer.get();  // owned by the chain from here on
        StreamOver writing = Audio::IO::InsertWriter(std::move(source), std::move(writer));
        Stream::Wrapper<Stream::iUnder> pull(__adapt<Stream::iUnder>::from(std::move(writing)));
        if (!Stream::drain(pull, progress)) throw ConversionAborted();
        w->FlushBatch();
        w->Finish();
        return pull;
    };

    if (toStream) {
        sptr<Audio::IO::iFileWriter> writer = Audio::IO::CreateFileWriter(
            Audio::IO::MakeWriterSpec(options.writerId, tag), options.writerId);
        if (tag.format.channels() == inputFormat.channels())
            writer->channelMask = details.channelMask;
        writer->metadata = metadata;
        writer->sequential = true;
        // The chain's stages know their lengths, whenever the input's is known, once the first
        // block went through them: the header then states the true sizes once and for all.
        const std::int64_t frame = tag.format.bytesPerFrame();
        const std::int64_t storedFrame = writer->translator->outFormat().bytesPerFrame();
        iStream* last = source.get();  // owned by the chain for as long as the writer lives
        writer->exactDataSize = [last, frame, storedFrame] {
            return last->length >= 0 && frame ? last->length / frame * storedFrame
                                              : std::int64_t{-1};
        };
        Stream::Wrapper<Stream::iUnder> pull =
            write(std::move(writer), Stream::OpenSequentialOutput(options.streamFd), -1);
        judge();  // a stream cannot be taken back: what is not kept has failed
        report(pull);
        pass.kept = true;
        return pass;
    }

    // The folder first: names are claimed by the folder's identity where it exists, so a folder
    // created by an earlier job of the batch must not change how a later job's name reads.
    std::error_code ec;
    if (options.createDirectory && options.directory) {
        const std::string folder = options.directory->NativeText();
        std::filesystem::create_directories(folder, ec);
        if (ec)
            throw std::runtime_error("cannot create the folder " + folder + ": " + ec.message());
    }
    if (options.claim) options.claim(outText);

    const double inputRate = static_cast<double>(inputFormat.sampleRate) * settings.speed;
    // An input of unknown length (a stream) may give a WAVE output past 4 GiB: -1 has the
    // writer keep room for RF64. A WavPack file's WAV header (its chunks' wrapper) is RF64
    // where the estimate passes 4 GiB.
    std::int64_t expected = 0;
    if (options.writerId == Audio::IO::kWaveWriter)
        expected = inputFrames < 0 ? -1 : expectedBytes(inputFrames, inputRate, tag);
    if (options.writerId == Audio::IO::kWavpackWriter)
        expected = expectedBytes(inputFrames, inputRate, tag);
    // FLAC frames hold up to 8 channels: said before any work ("bad write format" once started).
    if (options.writerId == Audio::IO::kFlacWriter && tag.format.channels() > 8)
        throw std::runtime_error("FLAC holds at most 8 channels, not " +
                                 std::to_string(tag.format.channels()) +
                                 ": choose wav, wv, aiff or raw");
    // Nor rates beyond 20 bits: an input's rate taken over (-r 0) is known only here.
    if (options.writerId == Audio::IO::kFlacWriter && tag.format.sampleRate > kFlacMaxRateHz)
        throw std::runtime_error(FlacRateRefusal(tag.format.sampleRate));
    // AIFF sizes are 32-bit: an output certain to outgrow them fails before any work (the
    // WAVE writer turns to RF64 instead).
    if (options.writerId == Audio::IO::kAiffWriter && inputFrames > 0 &&
        static_cast<double>(inputFrames) * static_cast<double>(tag.format.sampleRate) /
                inputRate * tag.format.bytesPerFrame() >
            4294967295.0)
        throw IFF::Plan::SizeOverflow();
    // The file is written under a name of its own and renamed when it is
    // complete: two jobs with the same output name (x.wav and x.wv) never
    // write into one file, a failed job leaves an earlier output of that
    // name alone, and the output name never shows a partial file.
    // Its name is no longer than the output's (a file system takes 255 bytes per name, a
    // path PATH_MAX: an output that fits must not fail for its temporary name): a hidden
    // ".<start of the name>.<random>.part", created only if the name is new, so that no
    // other process (another task of a cluster batch, whose process id may be the same in
    // its own container) can write into it.
    const std::string leaf = outPath.Leaf();
    if (leaf.size() > NAME_MAX)
        throw std::runtime_error("the output name is longer than a file name may be (" +
                                 std::to_string(leaf.size()) + " bytes, at most " +
                                 std::to_string(NAME_MAX) + "): " + outText);
    constexpr std::size_t kPartOverhead = 1 + 1 + 16 + 5;  // the dots, the tag and "part"
    const std::size_t start =
        std::min<std::size_t>(64, leaf.size() > kPartOverhead ? leaf.size() - kPartOverhead : 0);
    const std::string partLeaf = "." + leaf.substr(0, start) + "." + RandomTag() + ".part";
    const std::string partText = outText.substr(0, outText.size() - leaf.size()) + partLeaf;
    if (std::filesystem::is_directory(outText, ec)) {
        try {
            throw std::runtime_error(outText + " is a folder");
        } catch (...) {
            std::throw_with_nested(Stream::iByteOutput::CannotOpen());
        }
    }
    // Any entry of that name counts, a dangling link included. A pass that may be followed by
    // one at a lower gain does not know its output's name yet: the name it ends with is checked
    // when it is given (an earlier clipped output of the first pass's name is not this job's).
    const bool taken = !settings.preventClipping &&
                       std::filesystem::exists(std::filesystem::symlink_status(outText, ec));
    if (taken && options.ifExists == IfExists::Skip) throw OutputExists(outPath);
    if (taken && options.ifExists == IfExists::Fail)
        throw std::runtime_error("the output file exists already: " + outText);
    bool created = false;
    // The folder the temporary file is made in, held open: where the folder was moved or
    // removed meanwhile the file is deleted there (by name it stayed, hidden, at full size).
    const HeldFolder folder(outText.substr(0, outText.size() - leaf.size()));
    // A temporary file that cannot be removed (its folder made read-only meanwhile) is named
    // among the warnings: it is hidden, and may be as large as the output.
    auto removePart = [&] {
        if (std::remove(partText.c_str()) == 0) return;
        int error = errno;
        if (folder.fd >= 0) {
            if (::unlinkat(folder.fd, partLeaf.c_str(), 0) == 0) return;
            error = errno;
        }
        if (error != ENOENT && warnings)
            warnings->push_back("the partial output " + partText +
                                " could not be removed: " + std::strerror(error));
    };
    try {
        sptr<Audio::IO::iFileWriter> writer = Audio::IO::CreateFileWriter(
            Audio::IO::MakeWriterSpec(options.writerId, tag), options.writerId);
        // The speaker layout holds while every channel of the input is kept.
        if (tag.format.channels() == inputFormat.channels())
            writer->channelMask = details.channelMask;
        writer->metadata = metadata;
        // Only a file this job created may be deleted on failure.
        sptr<Stream::iByteOutput> out;
        try {
            out = Stream::OpenStdioOutput(partText, true);
        } catch (const Stream::iByteOutput::CannotOpen& e) {
            // Said of the output and its folder: the temporary name means nothing to the user.
            std::string why;
            try {
                std::rethrow_if_nested(e);
            } catch (const std::exception& inner) {
                why = inner.what();  // "<temporary name>: <reason>"
            }
            if (why.starts_with(partText + ": ")) why.erase(0, partText.size() + 2);
            std::string folder = outPath.Parent().NativeText();
            while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
            try {
                throw std::runtime_error("cannot create " + outText + " in the folder " +
                                         (folder.empty() ? std::string(".") : folder) + ": " + why);
            } catch (...) {
                std::throw_with_nested(Stream::iByteOutput::CannotOpen());
            }
        }
        created = true;
        if (behind) out = BehindOutput(behind, std::move(out));
        // Only a file that was completed is kept.
        Stream::Wrapper<Stream::iUnder> pull = write(std::move(writer), std::move(out), expected);
        judge();
        if (!pass.kept) {
            removePart();
            return pass;
        }
        if (options.ifExists == IfExists::Replace) {
            if (std::rename(partText.c_str(), outText.c_str()) != 0)
                throw NamingFailed(outText, errno);
        } else if (!renameNoReplace(partText, outText)) {
            // Written meanwhile by someone else: theirs stays.
            if (options.ifExists == IfExists::Skip) throw OutputExists(outPath);
            throw std::runtime_error("the output file exists already: " + outText);
        }
        report(pull);
    } catch (...) {
        if (created) removePart();
        throw;
    }
    return pass;
}

}  // namespace

Filesystem::Path ConvertFile(const Filesystem::Path& input, Format requested,
                             const ConversionSettings& settings, Stream::iDrainProgress* progress,
                             const OutputOptions& options, std::vector<std::string>* warnings,
                             JobFigures* figures, PeakFigures* peaks) {
    // Whoever filled the settings, absurd values end here with their reason.
    CheckConversionSettings(settings, requested.sampleRate);
    if (settings.preventClipping && (IsStandardStream(input) || options.streamFd >= 0))
        throw std::invalid_argument(
            "preventing clipping reads the input again and rewrites the output: not with a "
            "stream");
    ConversionSettings s = settings;
    PassProgress passes(progress);
    const bool shared = s.preventClipping;  // several passes share the progress bar
    for (int pass = 1;; ++pass) {
        passes.startPass(pass);
        const bool last = !s.preventClipping || pass == kMaxPasses;
        double nextGain = 0;
        PeakFigures measured;
        auto keep = [&](const Audio::PeakReading& r) {
            measured = figuresOf(r, s.gain, pass);
            const std::string reason = clipReason(r, measured, s);
            if (reason.empty()) return true;
            if (!last) {
                nextGain = lowerGain(r, s, s.gain, requested);
                if (nextGain > 0) return false;
            }
            if (s.failOnClip) throw ClippedOutput(measured, reason);
            // Kept over its limit although the user asked for it to be kept within: say so
            // (a ceiling under the sample type's dither and rounding, or passes used up).
            if (s.preventClipping && warnings)
                warnings->push_back(
                    std::string(r.clamped > 0 || !s.ceilingDbtp
                                    ? "clipping was not prevented ("
                                    : "the true peak was not brought under the ceiling (") +
                    reason + "): " +
                    (last ? "the limit was still exceeded after the last pass"
                          : "no lower gain reaches the limit with this sample type's steps"));
            return true;
        };
        Pass done;
        try {
            done = convertPass(input, requested, s, pass > 1, shared ? &passes : progress, options,
                               warnings, figures, keep);
        } catch (const OutputExists&) {
            throw;
        } catch (...) {
            // A read of standard input or a write of the output stream given up for a stop
            // fails as the reader or writer words it ("Unexpected end", a failed read): the
            // job was stopped.
            if (StopRequested()) throw ConversionAborted();
            throw;
        }
        if (done.kept) {
            if (peaks) *peaks = measured;
            if (shared) passes.end();
            if (pass > 1 && warnings) {
                // A cut under a hundredth of a dB is shown to the ten-thousandth (the name's
                // gain has four digits), not as "0.00".
                const double cut = toDb(settings.gain / s.gain);
                const int digits = cut < 0.01 ? 4 : 2;
                char text[200];
                // Above 0 dBTP an integer output may clip first: either lowered the gain.
                const bool clips =
                    settings.ceilingDbtp && *settings.ceilingDbtp > 0 && !requested.isFloat();
                // A ceiling out of reach (said in its own warning): the gain avoided the clips.
                const bool underCeiling =
                    settings.ceilingDbtp && measured.truePeakDbtp <= *settings.ceilingDbtp;
                if (underCeiling)
                    std::snprintf(text, sizeof text,
                                  "gain lowered by %.*f dB to %.*f dB so that %s true peak stays "
                                  "at or below %+.2f dBTP",
                                  digits, cut, digits, toDb(s.gain),
                                  clips ? "the output does not clip and its" : "the",
                                  *settings.ceilingDbtp + 0.0);  // -0 reads +0.00
                else
                    std::snprintf(text, sizeof text,
                                  "gain lowered by %.*f dB to %.*f dB so that the output does not "
                                  "clip",
                                  digits, cut, digits, toDb(s.gain));
                warnings->push_back(text);
            }
            return done.path;
        }
        s.gain = nextGain;
    }
}
