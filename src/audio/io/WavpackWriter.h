#pragma once

// WavPack writer (writer ID 0): lossless WavPack through the WavPack
// library. Samples reach the library through the Redirector that Open
// returns; the library hands compressed blocks back, which go to the real
// output. The first block, whose header carries the total sample count, is
// kept and rewritten at offset 0 as the file grows and when it is finished.
//
// The file records ChannelMaskFor(channelMask, channels) as its layout.
// The library receives 32-bit containers: right-aligned integers of
// scaleExponent bits (8, 16, 24 or 32), or 32-bit floats. The tags and
// pictures of `metadata` follow the last block as an APEv2 tag (text as
// UTF-8, see ContainerTags).
// Its WAV chunks ("bext" with a coding-history line for this output,
// "iXML", "cue ", "LIST"/"adtl", "smpl", "inst") go into the file's RIFF
// header wrapper, as the header of the WAV the samples unpack to (sizes
// set again when the file is finished), the way WavPack's own tools keep a
// WAV's chunks; an RF64 header where the unpacked WAV is expected beyond
// 4 GiB (its 32-bit sizes would be wrong).

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "audio/io/FileWriter.h"

typedef struct WavpackContext WavpackContext;

namespace Audio::IO {

class iFileWriter_Wavpack final : public iFileWriter {
public:
    // Finish found no sample packed: WavPack cannot store empty audio (the
    // library writes nothing and reads no file without a sample).
    struct NoSamples : std::runtime_error {
        NoSamples()
            : std::runtime_error("a WavPack file needs at least one sample: the audio is empty") {}
    };

    // The byte output the sample bytes go to: packs them.
    class Redirector final : public ::Stream::iByteOutput {
    public:
        explicit Redirector(iFileWriter_Wavpack& writer) : writer_(writer) {}
        // The number of frames packed so far (not a byte position).
        std::int64_t Tell() override;
        // Not seekable: throw InternalError.
        void Seek(std::int64_t) override { throw InternalError(); }
        void SeekRelative(std::int64_t) override { throw InternalError(); }
        void Write(const std::uint8_t* begin, const std::uint8_t* end, std::int32_t kind) override;

    private:
        iFileWriter_Wavpack& writer_;
    };

    // Integers up to 4 bytes: 4-byte container, scaleExponent rounded up to
    // a multiple of 8. 4-byte floats: scaleExponent 1. Anything else throws
    // IrredeemableFormat.
    static Format AdaptFormat(Format requested);

    ~iFileWriter_Wavpack() override;

    sptr<::Stream::iByteOutput> Open(sptr<::Stream::iByteOutput> out,
                                     std::int64_t expectedDataSize) override;
    void BeforeWrite(std::uint64_t) override {}
    int ID() const override { return kWavpackWriter; }

    // Flushes the library, rewrites the first block with the final sample
    // count and closes the file. Throws NoSamples when nothing was packed,
    // InternalError (or the output's failure) if the rest fails. The destructor calls it and
    // swallows failures; call it first to see them. Does nothing the second time.
    void Finish() override;

private:
    static int BlockOutput(void* id, void* data, std::int32_t count);
    void Pack(const std::uint8_t* begin, std::size_t frames, bool silence);
    void RethrowPending();
    // The RIFF header wrapper for `frames` frames; empty without WAV chunks.
    std::vector<std::uint8_t> Wrapper(std::int64_t frames) const;

    WavpackContext* context_ = nullptr;
    sptr<::Stream::iByteOutput> real_;
    std::vector<std::uint8_t> firstBlock_;
    // The wrapper's parts: the "fmt " payload and the chunks, coding history added.
    std::vector<std::uint8_t> wrapperFormat_;
    Metadata wrapperChunks_;
    std::uint32_t storedBytes_ = 0;  // bytes per sample in the unpacked WAV
    bool wrapped_ = false;           // the wrapper went to the library
    bool wrapperRF64_ = false;       // the wrapper's header is RF64 (sizes in "ds64")
    bool started_ = false;
    bool haveFirstBlock_ = false;
    std::uint32_t channels_ = 0;
    std::int64_t packed_ = 0;            // frames given to the library
    std::vector<std::int32_t> scratch_;  // aligned copy of misaligned input
    std::exception_ptr pending_;         // failure inside the block callback
};

// The registry entry for ID 0.
WriterEntry WavpackWriterEntry();

}  // namespace Audio::IO
