// libFuzzer target: the WAV reader over the IFF parser with its metadata
// readers, the rescaling and writing of what they found, then the
// translation to 64-bit floats that a conversion job applies to every input.

#include <cstdint>

#include "FuzzInput.h"
#include "audio/format/Translator.h"
#include "audio/io/Metadata.h"
#include "audio/io/WAVParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = FuzzInput::AsFile(data, size);
    Audio::IO::PropertyList properties;
    Audio::Stream::Wrapper<Stream::iOver> stream;
    Audio::IO::InputDetails details;
    try {
        stream = Audio::IO::WAVParser::Open(path, &properties, &details);
    } catch (const Audio::IO::WAVParser::exception&) {
        return 0;
    }
    const Audio::Format f = stream.format();
    if (f.bytesPerFrame() == 0 || f.channels() == 0 || f.sampleRate <= 0) std::abort();
    if (stream->length >= 0 && static_cast<std::size_t>(stream->length) > size) std::abort();

    // Metadata is bounded by its chunks, and whatever was read rescales and encodes.
    const Audio::IO::Metadata& m = details.metadata;
    if (m.ixml && static_cast<std::int64_t>(m.ixml->size()) > Audio::IO::kMaxMetadataChunk)
        std::abort();
    if (m.cues.size() > size / 24) std::abort();
    Audio::IO::PositionMap map{f.sampleRate, 48000.0, 1.01, 17, 1000};
    const Audio::IO::Metadata out = Audio::IO::RescaleMetadata(m, map);
    for (const auto& c : out.cues)
        if (c.sampleOffset > 1000) std::abort();
    (void)Audio::IO::EncodeMetadata(out);
    (void)Audio::IO::DescribeMetadata(m, f.sampleRate);

    FuzzInput::Drain(*stream, 997, 1 << 20);
    stream->seek(0);
    stream->position = 0;

    Audio::Format request = Audio::Format::FromBytes(0x48, 1, 0, 0, 0.0f);  // float64
    try {
        auto floats = Audio::FormatTranslator::MakeAndApply(stream, request, 1);
        FuzzInput::Drain(*floats, 4096, 1 << 20);
    } catch (const Audio::FormatTranslator::Unsupported&) {
    }
    return 0;
}
