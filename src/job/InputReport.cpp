#include "job/InputReport.h"

#include <algorithm>
#include <cstdio>

#include "audio/format/SampleDigest.h"
#include "audio/io/Metadata.h"
#include "audio/io/OpenFile.h"
#include "job/Conversion.h"
#include "job/StandardStreams.h"
#include "stream/Adapt.h"
#include "stream/Drain.h"

InputReport Inspect(const Filesystem::Path& path) {
    InputReport report;
    Audio::IO::PropertyList props;
    MD5::Hash digest{};
    Audio::IO::InputDetails details;
    double rate = 0;
    {
        // The digest of the decoded audio in STREAMINFO's form, comparable
        // across containers and with other tools.
        const bool standard = IsStandardStream(path);
        auto input = standard
                         ? Audio::IO::OpenWaveStream(OpenStandardInput(), &props, nullptr, &details)
                         : Audio::IO::OpenFile(path, &props, nullptr, &details);
        rate = static_cast<double>(input.format().sampleRate);
        const std::int64_t frameBytes = input.format().bytesPerFrame();
        const bool lengthKnown = input->length >= 0;
        auto stream = Audio::Stream::HashSamples(digest, std::move(input));
        Stream::Wrapper<Stream::iUnder> pull(__adapt<Stream::iUnder>::from(stream));
        stream.reset();
        Stream::drain(pull, nullptr);
        // A stream whose header does not state its length: the frames it held.
        // A stream whose header does not state its length: the frames it held, where the
        // length stands for a file (after "channels").
        if (!lengthKnown && frameBytes > 0) {
            auto at = std::find_if(props.begin(), props.end(), [](const Audio::IO::Property& p) {
                return p.key == "channels";
            });
            props.insert(at == props.end() ? at : at + 1,
                         {Audio::IO::Property::Computed, "frame-count",
                          std::to_string(pull->position / frameBytes)});
        }
    }  // the digest is final once the chain is released
    // A tag that the metadata lists as a common one is printed there only.
    auto listed = [&](const Audio::IO::Property& p) {
        if (p.kind != Audio::IO::Property::FileTag) return false;
        for (auto scheme : {Audio::IO::TagScheme::Vorbis, Audio::IO::TagScheme::Ape}) {
            const std::string key = Audio::IO::InfoKeyForTag(scheme, p.key);
            if (!key.empty() &&
                std::find(details.metadata.info.begin(), details.metadata.info.end(),
                          std::pair{key, p.value}) != details.metadata.info.end())
                return true;
        }
        return false;
    };
    for (const auto& p : props)
        if (!listed(p)) report.properties.emplace_back(p.key, p.value);
    char hex[3];
    for (std::uint8_t b : digest) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        report.md5 += hex;
    }
    report.metadata = Audio::IO::DescribeMetadata(details.metadata, rate);
    report.warnings = std::move(details.warnings);
    return report;
}

std::optional<double> InputSeconds(const Filesystem::Path& path) noexcept {
    try {
        const auto stream = Audio::IO::OpenFile(path);
        const Audio::Format format = stream.tag().format;
        const auto bytesPerFrame = static_cast<std::int64_t>(format.bytesPerFrame());
        if (stream->length < 0 || bytesPerFrame <= 0 || !(format.sampleRate > 0))
            return std::nullopt;
        return static_cast<double>(stream->length / bytesPerFrame) / format.sampleRate;
    } catch (...) {
        return std::nullopt;
    }
}
