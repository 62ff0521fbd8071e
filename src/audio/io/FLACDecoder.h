#pragma once

// FLAC reader: decodes a ".flac" file through libFLAC's stream decoder and
// presents it as an audio byte stream of interleaved little-endian signed
// integers. A file of b bits per sample (4 to 32) is carried in containers of
// ceil(b / 8) bytes with the b valid bits left-aligned (paddingBits =
// 8 x bytes - b), as WAVE stores such samples. Every channel (1 to 8) is
// kept. Metadata blocks are skipped, except Vorbis comments when properties
// or details are asked for (all of them go to details->metadata), and
// for details the PICTURE blocks, the WAV chunks kept in APPLICATION blocks of id "riff" and the
// CUESHEET (each index of each track a cue point, when no "cue " chunk came
// with the WAV chunks); an ID3v2 tag in front of the stream is skipped by
// libFLAC.
//
// The decoder holds one FLAC frame at a time (at most 65535 samples per
// channel), whatever the file's length.
//
// Units: position and length in bytes; one frame = bytes x channels bytes.

#include <FLAC/stream_decoder.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"
#include "audio/io/InputDetails.h"
#include "stream/MD5.h"
#include "stream/Stream.h"

namespace Audio::IO {

struct FLACParser {
    class exception : public std::runtime_error {
    public:
        exception(const std::string& message, int code)
            : std::runtime_error(message), code_(code) {}
        int code() const { return code_; }

    private:
        int code_;
    };
    // The file holds no FLAC stream (no STREAMINFO where one must be).
    struct NotFLAC : exception {
        NotFLAC() : exception("not a FLAC file (no FLAC stream header found)", 2) {}
    };
    // The stream is damaged: lost sync, a bad CRC, a frame that contradicts
    // STREAMINFO, or fewer samples than STREAMINFO declares.
    struct Damaged : exception {
        explicit Damaged(const std::string& message) : exception(message, 2) {}
    };
    // A valid stream this reader cannot present.
    struct Unsupported : exception {
        explicit Unsupported(const std::string& message) : exception(message, 3) {}
    };
};

class FLACDecoder final : public ::Stream::iOver, public ::Stream::Source {
public:
    // Opens `path` (text with "/" separators). Appends the stream properties
    // (mime type "audio/flac"), the stored format and, when present, the
    // Vorbis comments (kind FileTag, keys in lower case) to `properties`
    // when given. Fills `details` when given: the channel mask FLAC defines
    // for the channel count (0x4 mono, 0x3 stereo, ... 0x63F for 7.1); when the
    // whole stream has been decoded and its audio differs from STREAMINFO's
    // MD5, a warning is appended to details->warnings, so `details` must
    // outlive the stream. Throws FLACParser exceptions.
    static Audio::Stream::Wrapper<::Stream::iOver> Open(const std::string& path,
                                                        PropertyList* properties,
                                                        InputDetails* details = nullptr);

    ~FLACDecoder() override;

    void seek(std::uint64_t position) override;
    ::Stream::Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override;

private:
    FLACDecoder();
    // Open, with the PICTURE blocks read or skipped unseen.
    static Audio::Stream::Wrapper<::Stream::iOver> OpenWith(const std::string& path,
                                                            PropertyList* properties,
                                                            InputDetails* details, bool pictures);

    struct Callbacks;  // libFLAC's callbacks, with the decoder as client data
    friend struct Callbacks;

    // Appends a decoded FLAC frame of `frames` samples per channel to
    // pending_ and to the running digest.
    void Append(const std::int32_t* const buffer[], std::uint32_t frames);
    // Decodes the next FLAC frame into pending_; false at the end of the stream.
    bool DecodeFrame();
    // Appends a warning to details_, once; nothing when empty.
    void Warn(std::string warning);
    // Throws the failure recorded by a callback, if any.
    void ThrowIfFailed();
    // Throws a read of the input the system refused, if one was (`error`: errno right after
    // the library's call that met it), before it is taken for damage or the stream's end.
    void ThrowIfUnreadable(int error);
    // Throws Damaged naming the frames decoded and declared.
    [[noreturn]] void ThrowTruncated();
    // Called once every declared sample was decoded (or the stream ended):
    // compares the audio's MD5 with STREAMINFO's.
    void CheckDigest();

    FLAC__StreamDecoder* decoder_ = nullptr;
    std::FILE* file_ = nullptr;  // the input, owned by decoder_ (closed when it finishes)
    std::string path_;
    InputDetails* details_ = nullptr;
    PropertyList* comments_ = nullptr;  // set only while the metadata is read
    bool readingMetadata_ = false;      // common tags go to details_->metadata then
    bool badMetadata_ = false;          // the library found a damaged metadata block
    // While the metadata is read: what the "riff" blocks hold (tags from
    // Vorbis comments come first) and the CUESHEET.
    Metadata riff_;
    bool riffBigEndian_ = false;
    std::vector<std::uint8_t> aiff_;  // the "aiff" blocks (an AIFF's chunks), in order
    std::optional<CueSheet> cueSheet_;
    // The layout a Vorbis comment gives (kNoPositions for none); 0: FLAC's own.
    std::uint32_t channelMaskTag_ = 0;

    // STREAMINFO.
    bool haveInfo_ = false;
    std::uint32_t rate_ = 0;
    std::uint32_t channels_ = 0;
    std::uint32_t bits_ = 0;
    std::uint64_t totalFrames_ = 0;  // 0: not stated
    std::uint8_t md5_[16] = {};

    std::uint32_t bytes_ = 0;  // container bytes per sample
    std::uint32_t shift_ = 0;  // left shift into the container
    std::uint32_t bytesPerFrame_ = 0;

    std::vector<std::uint8_t> pending_;  // decoded bytes not yet delivered
    std::size_t pendingAt_ = 0;
    std::uint64_t decodedFrames_ = 0;  // frames from the stream's start, through pending_

    // The digest of the decoded audio in STREAMINFO's form, while every
    // frame from the first has gone through it in order.
    MD5::Hash digest_{};
    MD5 md5Running_{digest_};
    bool digestValid_ = true;
    bool digestChecked_ = false;

    std::string failure_;  // first error reported by a callback
    std::vector<std::uint8_t> md5Scratch_;
};

}  // namespace Audio::IO
