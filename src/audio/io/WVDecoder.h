#pragma once

// WavPack reader: decodes a ".wv" file through the WavPack library and
// presents it as an audio byte stream of interleaved 32-bit samples (integers
// right-aligned, or IEEE floats), every channel of the file. A hybrid file
// is decoded losslessly when its correction file (path + "c") lies beside
// it, else its lossy part is decoded with a warning.
//
// Units: position and length in bytes; one frame = 4 x channels bytes.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"
#include "audio/io/InputDetails.h"
#include "stream/Stream.h"

typedef struct WavpackContext WavpackContext;

namespace Audio::IO {

struct WVParser {
    class exception : public std::runtime_error {
    public:
        exception(const char* message, int code) : std::runtime_error(message), code_(code) {}
        exception(const std::string& message, int code)
            : std::runtime_error(message), code_(code) {}
        int code() const { return code_; }

    private:
        int code_;
    };
    struct Incomplete : exception {
        Incomplete() : exception("Malformed Wavpack file", 2) {}
    };
    // The file ends before the frames its header gives (a copy that stopped).
    struct Truncated : exception {
        Truncated(std::int64_t present, std::int64_t declared)
            : exception("truncated Wavpack file: it ends after " + std::to_string(present) +
                            " of " + std::to_string(declared) + " frames",
                        2) {}
    };
    // Blocks failed their checks while a correction file was in use.
    struct CorrectionMismatch : exception {
        CorrectionMismatch()
            : exception(
                  "Wavpack file and its correction file (.wvc) do not match, or one is damaged",
                  2) {}
    };
    // A valid file this reader cannot present (DSD audio, more channels
    // than a format holds).
    struct Unsupported : exception {
        explicit Unsupported(const std::string& message) : exception(message, 3) {}
    };
};

class WVDecoder final : public ::Stream::iOver, public ::Stream::Source {
public:
    // A library call failed after the file was opened (a seek).
    struct APIFail {};

    // Opens `path` (text with "/" separators). Appends the reader's
    // properties (the bits and bytes per sample the file stores, not the
    // 32-bit containers of the stream) and, when the file has a tag, its
    // text items (kind 1, keys in lower case) to `properties` when given.
    // Throws WVParser::Incomplete when the file cannot be read as WavPack,
    // WVParser::Unsupported for DSD audio and more than 255 channels.
    // Fills `details`
    // when given: the file's channel mask, and a warning for a hybrid file
    // read without its correction file; the APEv2 tag's items (text and
    // binary, see KeepTag) go to details->metadata, then the metadata chunks of a WAV file's
    // RIFF header and trailer wrappers (tags already there keep their values).
    static Audio::Stream::Wrapper<::Stream::iOver> Open(const std::string& path,
                                                        PropertyList* properties,
                                                        InputDetails* details = nullptr);

    ~WVDecoder() override;

    void seek(std::uint64_t position) override;
    ::Stream::Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override;

    // The files a library context reads (the audio's and the correction file), opened here so
    // that a read the system refuses is told as such: the library takes it for the file's end.
    struct Input;

private:
    WVDecoder(WavpackContext* context, std::unique_ptr<Input> input);
    // Throws a read of the input the system refused, if one was.
    static void ThrowIfUnreadable(const Input& input);
    // Reads the WAV chunks of the file's wrappers into details.metadata.
    static void ReadWrapper(const std::string& path, InputDetails& details);
    // The APEv2 text items (or the binary ones), {key as stored, value}.
    std::vector<std::pair<std::string, std::string>> TagItems(bool binary = false);
    // Unpacks up to `frames` frames to `dest`; returns the frames delivered.
    std::uint32_t Unpack(std::uint8_t* dest, std::uint32_t frames);

    WavpackContext* context_;
    std::unique_ptr<Input> input_;  // outlives context_, which reads it
    std::uint32_t channels_ = 0;
    std::uint32_t bytesPerFrame_ = 0;
    bool corrected_ = false;             // a correction file is in use
    std::vector<std::int32_t> scratch_;  // for destinations not 4-byte aligned
};

}  // namespace Audio::IO
