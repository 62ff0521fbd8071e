#pragma once

// RIFF-WAVE writer (writer ID 1): a "RIFF"/"WAVE" container with a "fmt "
// and a "data" chunk. The header is rewritten before every block, so the
// file on disk is a complete WAVE file after every block.
//
// The "fmt " chunk is WAVE_FORMAT_PCM or _IEEE_FLOAT for mono and stereo in
// their usual layout (integers of at most 16 bits), else
// WAVE_FORMAT_EXTENSIBLE carrying ChannelMaskFor(channelMask, channels).
//
// Files whose expected data size (given to Open) does not fit the 32-bit
// size fields are written as RF64 (EBU Tech 3306): "RF64" container, "ds64"
// chunk with the 64-bit sizes, 0xFFFFFFFF in the 32-bit fields. A RIFF file
// whose data outgrows 4 GiB fails with IFF::Plan::SizeOverflow before the
// block that would overflow is written.
//
// A file of unknown length (a negative size given to Open, not sequential)
// keeps room for RF64: a "JUNK" chunk of a "ds64" chunk's 36 bytes right
// after the "RIFF"/"WAVE" header. It stays a RIFF file while its sizes fit
// 32 bits; the block that would outgrow them first turns the header into
// RF64 ("ds64" in place of "JUNK"), nothing else moving.
//
// The `metadata` goes between "fmt " and "data": "bext" (with a coding-history
// line for this output appended), "iXML", "LIST"/"INFO", "cue ",
// "LIST"/"adtl", "smpl", "inst".
//
// A `sequential` writer (standard output) writes its header once, before
// the first block: with the exact sizes (exactDataSize, else the size given
// to Open; RF64 when they need it), and then fails if the data comes out
// longer or shorter than that; or, when the size is unknown, with 0xFFFFFFFF
// in the RIFF and "data" size fields (a streamed file).

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "audio/io/FileWriter.h"
#include "audio/io/IFFPlan.h"

namespace Audio::IO {

class iFileWriter_WAVE final : public iFileWriter {
public:
    // Integers: scaleExponent = valid bits, offset binary exactly for 8-bit,
    // little-endian. Floats: scaleExponent 1, little-endian. Other sample
    // types throw IrredeemableFormat.
    static Format AdaptFormat(Format requested);

    sptr<::Stream::iByteOutput> Open(sptr<::Stream::iByteOutput> out,
                                     std::int64_t expectedDataSize) override;
    void BeforeWrite(std::uint64_t count) override;
    void Finish() override;
    int ID() const override { return kWaveWriter; }

    // 16 (PCM), 18 (IEEE float) or 40 (extensible); valid after Open.
    int fmtSize() const { return fmtSize_; }
    bool isRF64() const { return rf64_; }

private:
    void BuildFormatBlock();
    // Lays the plan out for the current "data" size and fills "ds64".
    void Layout();
    // Builds the plan for `dataSize` sample bytes (negative: unknown).
    void Plan(std::int64_t dataSize);
    // A RIFF plan with room for RF64 becomes RF64 (same layout).
    void TurnToRF64();
    // Sequential: writes the header once, with the size known by now.
    void WriteStreamHeader();

    // The metadata chunks' payloads, built by Open.
    void BuildMetadataChunks(std::uint32_t rate, std::uint32_t validBits);
    std::int64_t MetadataBytes() const;

    std::vector<std::pair<std::array<char, 4>, std::vector<std::uint8_t>>> metadataChunks_;
    std::array<std::uint8_t, 40> format_{};
    int fmtSize_ = 0;
    std::array<std::uint8_t, 28> ds64_{};  // "ds64" payload; zeros while it is "JUNK"
    bool rf64_ = false;
    bool rf64Room_ = false;     // unknown length: "JUNK" holds the place of "ds64"
    std::size_t ds64Node_ = 0;  // the "ds64" or "JUNK" node (0: none)
    IFF::Plan plan_;
    std::size_t dataNode_ = 0;
    std::int64_t dataWritten_ = 0;
    std::int64_t promised_ = -1;  // sequential: data bytes the header states; -1 unknown
    std::int64_t expected_ = -1;  // as given to Open
    bool headerWritten_ = false;
};

// The "fmt " payload for samples of `f` as stored, with the speaker layout
// ChannelMaskFor(channelMask, channels): 16 bytes (PCM), 18 (IEEE float) or
// 40 (extensible), chosen as above. Throws IrredeemableFormat.
std::vector<std::uint8_t> WaveFormatPayload(const Format& f, std::uint32_t channelMask);

// The registry entry for ID 1.
WriterEntry WaveWriterEntry();

}  // namespace Audio::IO
