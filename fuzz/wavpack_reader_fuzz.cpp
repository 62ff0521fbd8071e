// libFuzzer target: the WavPack reader, with tag items and the WAV chunks of
// its RIFF wrappers, reading and seeking.

#include <cstdint>
#include <cstring>

#include "FuzzInput.h"
#include "audio/io/WVDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = FuzzInput::AsFile(data, size);
    Audio::IO::PropertyList properties;
    Audio::IO::InputDetails details;
    Audio::Stream::Wrapper<Stream::iOver> stream;
    try {
        stream = Audio::IO::WVDecoder::Open(path, &properties, &details);
    } catch (const Audio::IO::WVParser::exception&) {
        return 0;
    }
    const Audio::Format f = stream.format();
    if (f.bytesPerSample() != 4 || f.channels() == 0 || stream->granularity != f.bytesPerFrame())
        std::abort();

    try {
        FuzzInput::Drain(*stream, 8192, 1 << 20);
    } catch (const Audio::IO::WVParser::exception&) {
        return 0;  // blocks that do not decode, or fewer samples than the header says
    }
    // Seek somewhere the input chooses, then read a little.
    std::uint32_t where = 0;
    if (size >= 4) std::memcpy(&where, data + size - 4, 4);
    const std::uint64_t p = std::uint64_t{where} * f.bytesPerFrame();
    try {
        stream->seek(p);
        stream->position = static_cast<std::int64_t>(p);
        FuzzInput::Drain(*stream, 4096, 16384);
    } catch (const Audio::IO::WVDecoder::APIFail&) {
    } catch (const Audio::IO::WVParser::exception&) {
    }
    return 0;
}
