#pragma once

// AIFF and AIFF-C reader: walks the "FORM" container ("AIFF" or "AIFC"),
// takes the "COMM" and "SSND" chunks in either order among any others, and
// returns the sound data as an audio byte stream decoded by the WAVE data
// decoder (DecodeWaveData, kind 0).
//
// Integers of 1-32 bits (big-endian, signed, left-justified in whole bytes);
// AIFF-C compression types "NONE" and "twos" (the same), "sowt"
// (little-endian integers), "fl32"/"FL32" and "fl64"/"FL64" (big-endian IEEE
// floats). Any other compression type is refused with its name.
//
// Units: positions and lengths in bytes. The frame count of "COMM" is the
// length; the size of "SSND" and the end of the file may cut it shorter,
// which adds an "input cut short" warning. A "COMM" of 0 frames, or an
// "SSND" size too small for its offset and block size, is a header written
// for an empty file and never updated: the sound data that follows (to the
// end of the "FORM", or of the file when the "FORM" size is stale too, less
// the chunks appended after it) is the audio, with a warning.
//
// The text chunks "NAME", "AUTH", "(c) " and "ANNO" become the common tags
// of the input's metadata (title, artist, copyright, comment), and so do
// the text frames of an ID3v2 tag in an "ID3 " or "id3 " chunk; one that
// is too large or runs past the end of the file is dropped with a warning.
// The first "MARK" chunk's markers become cue points named by "labl" texts;
// the first "INST" becomes the instrument and its loops (ReadAiffInstrument).

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"
#include "audio/io/IFF.h"
#include "audio/io/InputDetails.h"
#include "stream/Stream.h"

namespace Audio::IO {

class AIFFParser : public IFF::VisitorParser {
public:
    class exception : public std::runtime_error {
    public:
        exception(const std::string& message, int code)
            : std::runtime_error(message), code_(code) {}
        int code() const { return code_; }

    private:
        int code_;
    };
    struct Incomplete : exception {
        Incomplete() : exception("Malformed AIFF file", 2) {}
    };
    struct NotAIFF : exception {
        NotAIFF() : exception("not an AIFF or AIFF-C file", 2) {}
    };
    struct UnsupportedFormat : exception {
        explicit UnsupportedFormat(const std::string& message) : exception(message, 3) {}
    };

    // Opens the file at `path` (text with "/" separators) and returns its
    // sample data. Appends the file's properties to `properties` and the
    // reader's warnings to `details` when given. Every failure is an
    // AIFFParser::exception with code 0 and the message of its cause.
    static Audio::Stream::Wrapper<::Stream::iOver> Open(const std::string& path,
                                                        PropertyList* properties,
                                                        InputDetails* details = nullptr);

    int Visit(IFF::ChunkInfo& chunk) override;

    // The value of an 80-bit IEEE 754 extended number (big-endian, as
    // "COMM" stores the sample rate); NaN for infinities and NaNs.
    static double Extended80(const std::uint8_t bytes[10]);

private:
    AIFFParser() = default;
    Audio::Stream::Wrapper<::Stream::iOver> Finish(InputDetails* details);
    int ReadText(const IFF::ChunkInfo& chunk);
    // The first "SSND": where its sound data starts and how long it is. A
    // stale size found is corrected in `chunk` (and its "FORM") so that the
    // walk goes on after the sound data.
    int VisitSound(IFF::ChunkInfo& chunk);

    int state_ = 0;  // 0 expecting the "FORM", 1 inside it
    bool aifc_ = false;
    bool haveComm_ = false;
    std::array<std::uint8_t, 22> comm_{};  // channels .. rate, then compression type
    bool haveSsnd_ = false;
    std::int64_t dataStart_ = 0;                 // file offset of the first sample byte
    std::int64_t dataBytes_ = 0;                 // bytes from dataStart_ to the end of "SSND"
    ::Stream::Wrapper<::Stream::iOver> source_;  // kept past a stopped parse
    Metadata metadata_;                          // text chunks' tags, markers
    bool haveMarkers_ = false;
    std::vector<std::uint8_t> instrument_;  // the first "INST" payload
    bool haveInstrument_ = false;
    std::vector<std::uint8_t> layout_;   // the first "CHAN" payload
    std::vector<std::string> warnings_;  // dropped text chunks
    std::vector<std::string> unreadChunks_;  // see InputDetails::unreadChunks
};

}  // namespace Audio::IO
