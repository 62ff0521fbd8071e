// libFuzzer target: the AIFF reader over the IFF parser, then the translation
// to 64-bit floats that a conversion job applies to every input.

#include <cstdint>

#include "FuzzInput.h"
#include "audio/format/Translator.h"
#include "audio/io/AIFFParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = FuzzInput::AsFile(data, size);
    Audio::IO::PropertyList properties;
    Audio::IO::InputDetails details;
    Audio::Stream::Wrapper<Stream::iOver> stream;
    try {
        stream = Audio::IO::AIFFParser::Open(path, &properties, &details);
    } catch (const Audio::IO::AIFFParser::exception&) {
        return 0;
    }
    const Audio::Format f = stream.format();
    if (f.bytesPerFrame() == 0 || f.channels() == 0 || f.sampleRate <= 0) std::abort();
    if (stream->length >= 0 && static_cast<std::size_t>(stream->length) > size) std::abort();

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
