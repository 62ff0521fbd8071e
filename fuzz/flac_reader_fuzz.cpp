// libFuzzer target: the FLAC reader over libFLAC (with its Vorbis comments,
// "riff" APPLICATION blocks and CUESHEET), read to its end, rewound, sought,
// then translated to 64-bit floats as a conversion job does.

#include <cstdint>

#include "FuzzInput.h"
#include "audio/format/Translator.h"
#include "audio/io/FLACDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = FuzzInput::AsFile(data, size);
    Audio::IO::PropertyList properties;
    Audio::IO::InputDetails details;
    try {
        Audio::Stream::Wrapper<Stream::iOver> stream =
            Audio::IO::FLACDecoder::Open(path, &properties, &details);
        const Audio::Format f = stream.format();
        if (f.bytesPerFrame() == 0 || f.channels() == 0 || f.channels() > 8 || f.sampleRate <= 0)
            std::abort();

        FuzzInput::Drain(*stream, 997, 1 << 20);
        stream->seek(0);
        stream->position = 0;
        FuzzInput::Drain(*stream, 4096, 1 << 16);
        const std::int64_t middle = stream->length > 0 ? stream->length / 2 : 4096;
        const std::int64_t at = middle - middle % f.bytesPerFrame();
        stream->seek(static_cast<std::uint64_t>(at));
        stream->position = at;
        FuzzInput::Drain(*stream, 4096, 1 << 16);
        stream->seek(0);
        stream->position = 0;

        Audio::Format request = Audio::Format::FromBytes(0x48, 1, 0, 0, 0.0f);  // float64
        auto floats = Audio::FormatTranslator::MakeAndApply(stream, request, 1);
        FuzzInput::Drain(*floats, 4096, 1 << 20);
    } catch (const Audio::IO::FLACParser::exception&) {
    }
    return 0;
}
