#pragma once

// AIFF writer (writer ID 4): integers as AIFF ("FORM"/"AIFF" with "COMM"
// and "SSND"), floats as AIFF-C ("FORM"/"AIFC" with "FVER", "COMM" of
// compression "fl32" or "fl64", and "SSND"). Samples big-endian, integers
// signed (8-bit too). The header's sizes are rewritten before every block, so
// the file is complete after every block; Finish adds the pad byte of an odd
// "SSND" payload. The rate is stored in whole hertz (halves away from zero)
// as an 80-bit extended number. Files whose data outgrows the 32-bit sizes
// fail with IFF::Plan::SizeOverflow before the block is written. The common
// tags of `metadata` that AIFF names ("NAME", "AUTH", "(c) ", "ANNO") go
// between "COMM" and "SSND", and so do its cue points as a "MARK" chunk and
// its instrument and first two loops as an "INST" chunk (loop ends without a
// cue point get a marker of their own).

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "audio/io/FileWriter.h"
#include "audio/io/IFFPlan.h"

namespace Audio::IO {

class iFileWriter_AIFF final : public iFileWriter {
public:
    // Integers of 1-4 bytes: scaleExponent = valid bits, signed,
    // big-endian. Floats of 4 or 8 bytes: scaleExponent 1, big-endian.
    // Anything else throws IrredeemableFormat.
    static Format AdaptFormat(Format requested);

    sptr<::Stream::iByteOutput> Open(sptr<::Stream::iByteOutput> out,
                                     std::int64_t expectedDataSize) override;
    void BeforeWrite(std::uint64_t count) override;
    int ID() const override { return kAiffWriter; }
    void Finish() override;

    // The 10 bytes of an 80-bit extended number of value `v` (finite, >= 0).
    static std::array<std::uint8_t, 10> Extended80(double v);

private:
    void BuildComm();
    // Header for `dataBytes` of samples, written from offset 0, followed by
    // SSND's offset and block size; leaves the output at the first sample.
    void WriteHeader(std::int64_t dataBytes);

    std::array<std::uint8_t, 44> comm_{};  // 18 (AIFF) or 44 (AIFF-C) used
    std::array<std::uint8_t, 4> fver_{};
    std::vector<std::pair<std::string, std::string>>
        texts_;  // {chunk id, payload}; the plan points here
    IFF::Plan plan_;
    std::size_t commNode_ = 0, ssndNode_ = 0;
    bool float_ = false;
    bool headerWritten_ = false;  // later headers patch the sizes only
};

// The registry entry for ID 4.
WriterEntry AiffWriterEntry();

}  // namespace Audio::IO
