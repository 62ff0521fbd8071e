#pragma once

// FLAC writer (writer ID 5): lossless FLAC through libFLAC's stream encoder
// at its default compression level (5). Samples reach the encoder through
// the Redirector that Open returns; the encoder's output goes to the real
// byte output, which it seeks back to the start when finished to complete
// STREAMINFO (total samples, MD5 of the audio, frame sizes).
//
// The encoder receives 32-bit containers holding right-aligned integers of
// scaleExponent bits (8, 16, 24 or 32). Float samples cannot be stored.
//
// The common tags of `metadata` go into a VORBIS_COMMENT block (values as
// UTF-8); positions and WAV-only chunks are not stored.

#include <FLAC/stream_encoder.h>

#include <cstdint>
#include <exception>
#include <vector>

#include "audio/io/FileWriter.h"

namespace Audio::IO {

class iFileWriter_FLAC final : public iFileWriter {
public:
    // The byte output the sample bytes go to: encodes them.
    class Redirector final : public ::Stream::iByteOutput {
    public:
        explicit Redirector(iFileWriter_FLAC& writer) : writer_(writer) {}
        // The number of frames encoded so far (not a byte position).
        std::int64_t Tell() override { return writer_.encoded_; }
        // Not seekable: throw InternalError.
        void Seek(std::int64_t) override { throw InternalError(); }
        void SeekRelative(std::int64_t) override { throw InternalError(); }
        void Write(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind) override;

    private:
        iFileWriter_FLAC& writer_;
    };

    // Integers up to 4 bytes: 4-byte container, scaleExponent rounded up to
    // a multiple of 8; 1 to 8 channels; a whole rate up to 1048575 Hz.
    // Anything else (floats included) throws IrredeemableFormat.
    static Format AdaptFormat(Format requested);

    ~iFileWriter_FLAC() override;

    sptr<::Stream::iByteOutput> Open(sptr<::Stream::iByteOutput> out,
                                     std::int64_t expectedDataSize) override;
    void BeforeWrite(std::uint64_t) override {}
    int ID() const override { return kFlacWriter; }

    // Ends the encoding (STREAMINFO completed at offset 0) and closes the
    // file. Throws InternalError or the output's failure. The destructor
    // calls it and swallows failures; call it first to see them. Does
    // nothing the second time.
    void Finish() override;

private:
    struct Callbacks;
    friend struct Callbacks;
    // Builds tags_ from `metadata` and hands it to the encoder (before init).
    void AddTags();
    void FreeTags();
    void Encode(const std::uint8_t* begin, std::size_t frames, bool silence);
    [[noreturn]] void ThrowEncoderFailure();

    FLAC__StreamEncoder* encoder_ = nullptr;
    FLAC__StreamMetadata* tags_ = nullptr;  // owned; the encoder reads it until finished
    sptr<::Stream::iByteOutput> real_;
    std::uint32_t channels_ = 0;
    std::int64_t encoded_ = 0;           // frames given to the encoder
    std::vector<std::int32_t> scratch_;  // aligned copy of misaligned input, or silence
    std::exception_ptr pending_;         // failure inside an encoder callback
};

// The registry entry for ID 5.
WriterEntry FlacWriterEntry();

}  // namespace Audio::IO
