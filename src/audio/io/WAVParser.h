#pragma once

// RIFF-WAVE reader: walks the file's chunks, remembers "fmt " and "fact",
// and returns the "data" payload as an audio byte stream tagged with the
// file's format. Reads RIFF (little-endian), RIFX (big-endian) and the
// 64-bit RF64/BW64 containers.
//
// The data decoder is chosen by sub-format GUID from a registry holding
// integer PCM and IEEE float.

#include <array>
#include <compare>
#include <cstdint>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"
#include "audio/io/IFF.h"
#include "audio/io/InputDetails.h"
#include "audio/io/Metadata.h"
#include "stream/Stream.h"

namespace Audio::IO {

// 16 bytes in the layout of a WAVEFORMATEXTENSIBLE sub-format: the first
// three fields little-endian, then 8 bytes.
struct GUID {
    std::array<std::uint8_t, 16> bytes{};

    // "%8x-%4hx-%4hx-%2hx%2hx-%2hx%2hx%2hx%2hx%2hx%2hx"; throws
    // std::invalid_argument for any other text.
    static GUID Parse(const char* text);
    // The WAVE base GUID 00000000-0000-0010-8000-00AA00389B71 with its first
    // field replaced by a format tag.
    static GUID FromFormatTag(std::uint16_t tag);

    auto operator<=>(const GUID&) const = default;
};

// Creates the audio stream for a "data" payload.
//  kind 1: `description` is the 40-byte format area (see WAVParser);
//  kind 0: `description` is an Audio::Format;
//  data: the byte stream positioned on the payload;
//  factFrames, dataLength: -1 when unknown.
using SubFormatFactory = Audio::Stream::Wrapper<::Stream::iOver> (*)(
    int kind, ::Stream::Wrapper<::Stream::iOver> data, const void* description, bool bigEndian,
    std::int64_t factFrames, std::int64_t dataLength);

class SubFormatRegistry {
public:
    struct Entry {
        std::string name;
        SubFormatFactory factory = nullptr;
    };

    // Holds "PCM" and "floating-point" from the first use on.
    static SubFormatRegistry& Instance();
    // Inserts or updates.
    void Register(const GUID& guid, std::string name, SubFormatFactory factory);
    const Entry* Find(const GUID& guid) const;

private:
    SubFormatRegistry();
    std::map<GUID, Entry> entries_;
};

// The registered decoder for PCM and IEEE float data (kinds 0 and 1).
Audio::Stream::Wrapper<::Stream::iOver> DecodeWaveData(int kind,
                                                       ::Stream::Wrapper<::Stream::iOver> data,
                                                       const void* description, bool bigEndian,
                                                       std::int64_t factFrames,
                                                       std::int64_t dataLength);

class WAVParser : public IFF::VisitorParser {
public:
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
        Incomplete() : exception("Malformed RIFF-WAVE file", 2) {}
    };
    struct UnsupportedFormat : exception {
        UnsupportedFormat() : exception("RIFF_WAVE file contains non-PCM data", 3) {}
    };

    // Opens the file at `path` (text with "/" separators) and returns its
    // sample data. Appends the file's properties to `properties` and fills
    // `details` when given.
    // Every failure is a WAVParser::exception with code 0 and the message of
    // the failure that caused it.
    static Audio::Stream::Wrapper<::Stream::iOver> Open(const std::string& path,
                                                        PropertyList* properties,
                                                        InputDetails* details = nullptr);

    // The same for a file already open, which it takes over: a pipe or
    // standard input is read front to back without seeking. A "data" chunk of
    // size 0xFFFFFFFF, or 0 in a container of unknown size, runs to the end
    // of the stream (its length is unknown until then).
    static Audio::Stream::Wrapper<::Stream::iOver> Open(std::FILE* file, PropertyList* properties,
                                                        InputDetails* details = nullptr);

    int Visit(IFF::ChunkInfo& chunk) override;

    // The "fmt " payload, zero-filled: WAVEFORMATEXTENSIBLE, little-endian.
    static constexpr std::size_t kFormatAreaSize = 40;

private:
    WAVParser() = default;
    template <class Input>
    static Audio::Stream::Wrapper<::Stream::iOver> OpenWith(Input input, PropertyList* properties,
                                                            InputDetails* details);

    std::array<std::uint8_t, kFormatAreaSize> format_{};
    bool bigEndian_ = false;
    std::int64_t factFrames_ = -1;
    int state_ = 0;  // 0 expecting "WAVE", 1 "fmt ", 2 "data", 3 done
    std::int64_t declaredBytes_ = -1;  // "data" size of a file cut short, else -1
    Audio::Stream::Wrapper<::Stream::iOver> result_;
    // Read from the chunks before "data" as they are walked, and from those
    // after it through the descriptor, without moving the audio's position.
    Metadata metadata_;
    std::vector<std::string> metadataWarnings_;
    std::vector<std::string> unreadChunks_;  // see InputDetails::unreadChunks

    // Notes a chunk passed over: one of an editor's own, unless it only fills space.
    void PassOver(const IFF::ResType& id);

    void ReadMetadata(const IFF::ChunkInfo& chunk);
    // `chunksAt`: where a search found them (after audio whose size the header does not give);
    // -1: after the data chunk.
    void ReadTrailingMetadata(const IFF::ChunkInfo& data, std::int64_t chunksAt = -1);
    // Audio bytes, whole frames, before chunks found at `chunksAt`: less the pad byte a writer
    // put after 8-bit mono audio of odd length (a 0, as a sample full scale).
    std::int64_t AudioBefore(const IFF::ChunkInfo& data, std::int64_t chunksAt);
    // Bytes of whole frames after a "data" chunk of size 0 that are not the next chunk, up to
    // the container's end (a regular file whose container size is known); else 0. `chunksAt`:
    // where the chunks appended after those frames begin.
    std::int64_t AudioAfterEmptyData(const IFF::ChunkInfo& data, std::int64_t& chunksAt);
};

}  // namespace Audio::IO
