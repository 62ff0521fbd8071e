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
// The tags of `metadata` go into a VORBIS_COMMENT block (values as UTF-8,
// see ContainerTags), its pictures into PICTURE blocks. Its WAV chunks ("bext" with a coding-history line for this output,
// "iXML", "cue ", "LIST"/"adtl", "smpl", "inst") go into APPLICATION blocks
// of id "riff", one whole chunk each, framed as a WAV of the stored samples
// ("RIFF" header, "fmt " first, "data" header last), the form other FLAC
// tools keep foreign RIFF chunks in. Cue points also go into a CUESHEET
// (not a CD's): one track per point, in position order, with index 1 at the
// track's start (the first 254 points); the lead-out is set to the frames
// encoded when the file is finished.

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
    // Builds the metadata blocks from `metadata` and hands them to the
    // encoder (before init).
    void AddMetadata(std::uint32_t rate, std::uint32_t bits);
    void FreeBlocks();
    // Adds a CUESHEET block: the metadata's cue sheet, else (or where the format's rules refuse
    // it) its cue points as tracks, one index each. A CD's is tried as a plain one first.
    void AddCueSheet(const Metadata& metadata);
    // Adds `sheet` as a CD's (`cd`) or a plain one; false, adding nothing, where the format's
    // rules refuse it.
    bool AddCueSheet(CueSheet sheet, bool cd);
    // Sets the CUESHEET's lead-out to the frames encoded, in the file.
    void PatchLeadOut();
    void Encode(const std::uint8_t* begin, std::size_t frames, bool silence);
    [[noreturn]] void ThrowEncoderFailure();

    FLAC__StreamEncoder* encoder_ = nullptr;
    // Owned; the encoder reads them until finished.
    std::vector<FLAC__StreamMetadata*> blocks_;
    // File offset and size of the CUESHEET block as written; -1 without one.
    std::int64_t cueSheetAt_ = -1;
    std::int64_t cueSheetBytes_ = 0;
    bool cueSheetCd_ = false;    // the CUESHEET written is a CD's
    std::uint64_t leadOut_ = 0;  // as written
    sptr<::Stream::iByteOutput> real_;
    std::uint32_t channels_ = 0;
    std::int64_t encoded_ = 0;           // frames given to the encoder
    std::vector<std::int32_t> scratch_;  // aligned copy of misaligned input, or silence
    std::exception_ptr pending_;         // failure inside an encoder callback
};

// The registry entry for ID 5.
WriterEntry FlacWriterEntry();

}  // namespace Audio::IO
