#include "audio/io/WAVParser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "audio/format/SilenceFiller.h"
#include "audio/io/ChannelLayout.h"
#include "stream/Crop.h"

namespace Audio::IO {

namespace {

std::uint16_t Le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Offsets and widths of the format area's numeric fields, including the
// first three fields of the sub-format GUID. A big-endian ("RIFX") file
// stores each of them big-endian.
constexpr struct {
    int offset, width;
} kFields[] = {{0, 2},  {2, 2},  {4, 4},  {8, 4},  {12, 2}, {14, 2},
               {16, 2}, {18, 2}, {20, 4}, {24, 4}, {28, 2}, {30, 2}};

const GUID kPCM = GUID::Parse("00000001-0000-0010-8000-00AA00389B71");
const GUID kIEEEFloat = GUID::Parse("00000003-0000-0010-8000-00AA00389B71");

constexpr std::uint16_t kTagPCM = 1, kTagFloat = 3, kTagExtensible = 0xFFFE;

// The Audio::Format a format area describes; UnsupportedFormat otherwise.
Format FormatFromArea(const std::uint8_t* a, bool bigEndian) {
    using Unsupported = WAVParser::UnsupportedFormat;
    const std::uint16_t tag = Le16(a), channels = Le16(a + 2);
    const std::uint32_t rate = Le32(a + 4);
    const std::uint16_t blockAlign = Le16(a + 12), bits = Le16(a + 14), validBits = Le16(a + 18);

    // The channel count fills an 8-bit field; 0 would make every frame empty.
    if (channels == 0) throw Unsupported();
    if (channels > 255)
        throw WAVParser::exception(
            "WAVE file has " + std::to_string(channels) + " channels; at most 255 are supported",
            3);
    std::uint32_t bytes = 0, valid = 0;
    bool isFloat = false;
    if (tag == kTagPCM || tag == kTagFloat) {
        if (blockAlign % channels != 0) throw Unsupported();
        bytes = blockAlign / channels;
        valid = bits;
        isFloat = tag == kTagFloat;
    } else if (tag == kTagExtensible) {
        if (bits % 8 != 0) throw Unsupported();
        GUID sub;
        std::memcpy(sub.bytes.data(), a + 24, 16);
        if (sub == kIEEEFloat)
            isFloat = true;
        else if (sub != kPCM)
            throw Unsupported();
        bytes = bits / 8;
        // A block align that contradicts the container (24 bits in blocks of 8 on stereo) leaves
        // the samples' layout unknown: refused (it was read as noise, "done").
        if (blockAlign != channels * bytes) throw Unsupported();
        valid = validBits;
    } else {
        throw Unsupported();
    }
    // The container must fit the 5-bit field and hold the valid bits; the
    // padding must fit its 6-bit field. No valid-bit count means all bits.
    if (bytes == 0 || bytes > 31) throw Unsupported();
    if (valid == 0) valid = bytes * 8;
    if (valid > bytes * 8 || bytes * 8 - valid > 63) throw Unsupported();
    if (isFloat && bytes != 4 && bytes != 8) throw Unsupported();
    if (!isFloat && bytes > 8)
        throw WAVParser::exception(
            "integer samples in containers wider than 64 bits are not supported", 3);
    if (rate == 0) throw Unsupported();

    Format f;
    f.setBytesPerSample(bytes)
        .setSampleType(isFloat ? Format::Float : Format::Integer)
        .setPaddingBits(bytes * 8 - valid)
        .setChannels(channels)
        .setBigEndian(bigEndian);
    if (isFloat) {
        f.setScaleExponent(1).setUnsigned(false);
    } else {
        f.setUnsigned(bytes == 1).setScaleExponent(valid & 0xFF);
    }
    f.sampleRate = static_cast<float>(rate);
    return f;
}

}  // namespace

GUID GUID::Parse(const char* text) {
    unsigned int d1 = 0;
    unsigned short d2 = 0, d3 = 0, d4[8] = {};
    int used = 0;
    const int n =
        std::sscanf(text, "%8x-%4hx-%4hx-%2hx%2hx-%2hx%2hx%2hx%2hx%2hx%2hx%n", &d1, &d2, &d3,
                    &d4[0], &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7], &used);
    if (n != 11 || text[used] != '\0') throw std::invalid_argument("bad GUID text");
    GUID g;
    for (int i = 0; i < 4; ++i) g.bytes[i] = static_cast<std::uint8_t>(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        g.bytes[4 + i] = static_cast<std::uint8_t>(d2 >> (8 * i));
        g.bytes[6 + i] = static_cast<std::uint8_t>(d3 >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) g.bytes[8 + i] = static_cast<std::uint8_t>(d4[i]);
    return g;
}

GUID GUID::FromFormatTag(std::uint16_t tag) {
    GUID g = Parse("00000000-0000-0010-8000-00aa00389b71");
    g.bytes[0] = static_cast<std::uint8_t>(tag);
    g.bytes[1] = static_cast<std::uint8_t>(tag >> 8);
    return g;
}

SubFormatRegistry::SubFormatRegistry() {
    Register(kPCM, "PCM", DecodeWaveData);
    Register(kIEEEFloat, "floating-point", DecodeWaveData);
}

SubFormatRegistry& SubFormatRegistry::Instance() {
    static SubFormatRegistry registry;
    return registry;
}

void SubFormatRegistry::Register(const GUID& guid, std::string name, SubFormatFactory factory) {
    Entry& e = entries_[guid];
    e.name = std::move(name);
    e.factory = factory;
}

const SubFormatRegistry::Entry* SubFormatRegistry::Find(const GUID& guid) const {
    auto it = entries_.find(guid);
    return it == entries_.end() ? nullptr : &it->second;
}

Audio::Stream::Wrapper<::Stream::iOver> DecodeWaveData(int kind,
                                                       ::Stream::Wrapper<::Stream::iOver> data,
                                                       const void* description, bool bigEndian,
                                                       std::int64_t factFrames,
                                                       std::int64_t dataLength) {
    Format f;
    if (kind == 1)
        f = FormatFromArea(static_cast<const std::uint8_t*>(description), bigEndian);
    else if (kind == 0)
        f = *static_cast<const Format*>(description);
    else
        throw Wobbly{};
    const std::int64_t frameBytes = f.bytesPerFrame();
    if (frameBytes == 0) throw WAVParser::UnsupportedFormat();

    data->granularity = static_cast<std::uint32_t>(frameBytes);
    data->setTag(Audio::Stream::Tag{0.0, f.ResolveScale()});

    // PCM and float data have one length, the data chunk's; a "fact" count
    // (often stale or wrong in such files) only stands in for a size that
    // is not known.
    const std::int64_t length =
        dataLength >= 0 ? dataLength : factFrames >= 0 ? factFrames * frameBytes : -1;
    if (length < 0) return data;  // runs to the end of the file

    // Whole frames only; less than one frame is an empty stream.
    const std::int64_t whole = length / frameBytes * frameBytes;
    if (whole == 0) {
        data->length = 0;
        return data;
    }
    return ::Stream::crop(data, 0, whole, SilenceFiller(f));
}

namespace {

// The name in a warning: "cue " reads "cue".
std::string ChunkName(IFF::ResType id) {
    std::string name = id.text();
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

std::string Dropped(IFF::ResType id, const char* why) {
    return "metadata: " + ChunkName(id) + " chunk " + why + ", dropped";
}

// Chunks walked after "data" at most: a file of tiny chunks stays quick.
constexpr int kMaxTrailingChunks = 4096;

}  // namespace

void WAVParser::ReadMetadata(const IFF::ChunkInfo& c) {
    if (c.openEnded() || c.size < 0) {
        metadataWarnings_.push_back(Dropped(c.id, "of unknown size"));
        return;
    }
    if (c.size > kMaxMetadataChunk) {
        metadataWarnings_.push_back(Dropped(c.id, "too large"));
        return;
    }
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(c.size));
    ReadExact(payload.data(), payload.size());
    const std::string id = c.id.text();
    std::string warning =
        ReadMetadataChunk(id.c_str(), payload.data(), payload.size(), metadata_, c.bigEndian());
    if (!warning.empty()) metadataWarnings_.push_back(std::move(warning));
}

std::int64_t WAVParser::AudioAfterEmptyData(const IFF::ChunkInfo& data, std::int64_t& chunksAt) {
    const int fd = Descriptor();
    const std::int64_t fileSize = FileSize();
    const std::uint16_t blockAlign = Le16(&format_[12]);
    if (data.size != 0 || fd < 0 || fileSize < 0 || blockAlign == 0 || !data.next ||
        data.next->openEnded())
        return 0;
    // What follows an empty data chunk is normally the next chunk: an identifier of printable
    // characters and a size within the container.
    const std::int64_t containerEnd = data.next->start + data.next->size;
    if (IFF::ChunkHeaderAt(fd, data.start, containerEnd, data.bigEndian())) return 0;
    // Audio up to the container's end; to the file's end when the container's size stops at
    // the empty data chunk as well (a header written for an empty file, never updated). Chunks
    // appended after the audio are not audio.
    std::int64_t end = containerEnd > data.start ? std::min(fileSize, containerEnd) : fileSize;
    chunksAt = IFF::TrailingChunksStart(fd, data.start, end, data.bigEndian());
    return AudioBefore(data, chunksAt);
}

std::int64_t WAVParser::AudioBefore(const IFF::ChunkInfo& data, std::int64_t chunksAt) {
    const std::uint16_t blockAlign = Le16(&format_[12]);
    std::int64_t bytes = std::max<std::int64_t>(chunksAt - data.start, 0);
    std::uint8_t last = 1;
    if (blockAlign == 1 && bytes > 0 && bytes % 2 == 0 &&
        IFF::ReadAt(Descriptor(), chunksAt - 1, &last, 1) && last == 0)
        --bytes;
    return blockAlign ? bytes / blockAlign * blockAlign : bytes;
}

void WAVParser::PassOver(const IFF::ResType& id) {
    NameUnreadChunk(unreadChunks_, id.text());
}

namespace {

constexpr std::int64_t kWrap = std::int64_t{1} << 32;

// How many times 4 GiB the "data" chunk `c` of a file of `fileSize` bytes holds beyond its
// stated size, where its 32-bit sizes wrapped: the file runs a whole number of 4 GiB past the
// end of the audio (after its pad byte), or past the end of the container; 0 otherwise.
std::int64_t WrappedBy(const IFF::ChunkInfo& c, std::int64_t fileSize) {
    if (fileSize < 0) return 0;
    const std::int64_t beyond = fileSize - c.start - c.size;
    if (beyond >= kWrap && (beyond % kWrap == 0 || (c.size & 1 && beyond % kWrap == 1)))
        return beyond / kWrap;
    // Chunks after the audio: the container's size wrapped as the audio's did.
    if (c.next && !c.next->openEnded()) {
        const std::int64_t gap = fileSize - (c.next->start + c.next->size);
        if (gap >= kWrap && gap % kWrap == 0 && c.start + c.size + gap <= fileSize)
            return gap / kWrap;
    }
    return 0;
}

}  // namespace

void WAVParser::ReadTrailingMetadata(const IFF::ChunkInfo& data, std::int64_t chunksAt) {
    const int fd = Descriptor();
    const std::int64_t fileSize = FileSize();
    if (chunksAt < 0 && data.openEnded()) return;
    if (fd < 0 || fileSize < 0) {
        // A pipe has passed the audio before what follows it could be read: the container's
        // size says whether chunks follow.
        const std::int64_t after = data.start + data.size + (data.size & 1);
        // (8 bytes are no chunk with a payload: a writer's RIFF size 8 too large.)
        if (data.next && !data.next->openEnded() && data.next->start + data.next->size > after + 8)
            metadataWarnings_.push_back(
                "metadata: " + std::to_string(data.next->start + data.next->size - after) +
                " bytes of chunks after the audio are not read from a pipe, dropped");
        return;
    }
    std::int64_t end = fileSize;
    // (A container that ends before the audio is an empty file's header, never updated.)
    if (data.next && !data.next->openEnded() && data.next->start + data.next->size > data.start)
        end = std::min(end, data.next->start + data.next->size);
    const bool be = data.bigEndian();
    // After a chunk of odd size its pad byte, unless a chunk starts right at its end and none
    // after the pad (a writer that leaves pads out).
    auto skipPad = [&](std::int64_t at, std::int64_t size) {
        if (!(size & 1)) return at;
        return IFF::ChunkHeaderAt(fd, at + 1, fileSize, be) ||
                       !IFF::ChunkHeaderAt(fd, at, fileSize, be)
                   ? at + 1
                   : at;
    };
    std::int64_t pos = chunksAt >= 0 ? chunksAt : skipPad(data.start + data.size, data.size);
    // Chunks a program appended past the container's size, not updated (or a size a few bytes
    // short), are read when they run whole to the file's end, as other readers take them.
    if (end < fileSize && pos < fileSize && IFF::TrailingChunksStart(fd, pos, fileSize, be) == pos)
        end = fileSize;
    for (int n = 0; n < kMaxTrailingChunks; ++n) {
        if (pos > end - 8) return;
        std::uint8_t header[8];
        if (!IFF::ReadAt(fd, pos, header, 8)) return;
        if (data.bigEndian()) std::reverse(header + 4, header + 8);
        const IFF::ResType id = IFF::ResType::FromBytes(header);
        const std::int64_t size = Le32(header + 4);
        const std::int64_t body = pos + 8;
        pos = skipPad(body + size, size);
        const std::string name = id.text();
        // Audio in a second "data" chunk (after an empty one, or a second take) is not read:
        // said, as other readers take only the first too (it was left without a word).
        if (id == IFF::ResType("data") && size > 0) {
            metadataWarnings_.push_back("a second \"data\" chunk after the audio, " +
                                        std::to_string(size) + " bytes, is not read");
            continue;
        }
        if (!IsMetadataChunk(name.c_str())) {
            PassOver(id);
            continue;
        }
        if (size > end - body) {
            metadataWarnings_.push_back(Dropped(id, "truncated"));
            return;
        }
        if (size > kMaxMetadataChunk) {
            metadataWarnings_.push_back(Dropped(id, "too large"));
            continue;
        }
        std::vector<std::uint8_t> payload(static_cast<std::size_t>(size));
        if (!IFF::ReadAt(fd, body, payload.data(), payload.size())) {
            metadataWarnings_.push_back(Dropped(id, "unreadable"));
            return;
        }
        std::string warning = ReadMetadataChunk(name.c_str(), payload.data(), payload.size(),
                                                metadata_, data.bigEndian());
        if (!warning.empty()) metadataWarnings_.push_back(std::move(warning));
    }
}

int WAVParser::Visit(IFF::ChunkInfo& c) {
    using IFF::ChunkInfo;
    if (state_ == 0) {
        if (c.isGroup() && (c.flags & ChunkInfo::kHasFormType) && c.id == IFF::ResType("WAVE")) {
            state_ = 1;
            return IFF::Descend;
        }
        return IFF::SkipChunk;
    }
    if ((c.flags & ChunkInfo::kKindMask) != 0 || (c.flags & ChunkInfo::kHasFormType))
        return IFF::SkipChunk;

    if (state_ == 1 && c.id == IFF::ResType("fmt ")) {
        if (c.openEnded()) return IFF::StopError;
        format_.fill(0);
        ReadExact(format_.data(), static_cast<std::size_t>(std::min<std::int64_t>(
                                      c.size, std::int64_t(kFormatAreaSize))));
        if (c.size > std::int64_t(kFormatAreaSize)) {
            // PCM and float descriptions fit the area; a longer one of theirs is broken. Other
            // formats (ADPCM's takes 50 bytes) are read as far as the tag, and refused as
            // non-PCM when their data is reached.
            const std::uint16_t tag =
                c.bigEndian() ? std::uint16_t(format_[0] << 8 | format_[1]) : Le16(format_.data());
            if (tag == kTagPCM || tag == kTagFloat || tag == kTagExtensible) return IFF::StopError;
        }
        if (c.bigEndian())
            for (auto [offset, width] : kFields)
                std::reverse(&format_[offset], &format_[offset + width]);
        bigEndian_ = c.bigEndian();
        state_ = 2;
        return IFF::SkipChunk;
    }

    if (state_ < 3) {
        const std::string id = c.id.text();
        if (IsMetadataChunk(id.c_str())) {
            ReadMetadata(c);
            return IFF::SkipChunk;
        }
    }

    if (c.id == IFF::ResType("fact")) {
        if (!c.openEnded() && c.size >= 4) {
            std::uint8_t b[4];
            ReadExact(b, 4);
            if (c.bigEndian()) std::reverse(b, b + 4);
            const std::uint32_t frames = Le32(b);
            // 0xFFFFFFFF: the count is in the RF64 "ds64" chunk, if any.
            factFrames_ = frames == 0xFFFFFFFFu ? ds64().sampleCount : std::int64_t{frames};
        }
        return IFF::SkipChunk;
    }

    if (state_ == 2 && c.id == IFF::ResType("data")) {
        const std::int64_t fileSize = FileSize();
        std::int64_t dataLength;
        // Size 0 in a container whose size is unknown as well: a writer that
        // streamed the file and could not go back to fill the sizes in. On a pipe also in a
        // container that ends with the data chunk's header (an empty file's, never updated):
        // what follows cannot be looked at, and is that writer's audio (it read as an empty
        // stream). A container that goes on holds chunks after an empty data chunk.
        const bool headerOnly = fileSize < 0 && c.next && c.next->start + c.next->size <= c.start;
        const bool streamed = c.size == 0 && ((c.next && c.next->openEnded()) || headerOnly);
        // A size within 64 KiB of 2 GiB, more than the file holds (or on a pipe), is a writer's
        // "unknown": one that cannot seek back puts the largest size it allows there
        // (0x7ffff000, rounded down to whole frames), and its "fact" count to match. Either would
        // promise far more than the stream holds; a file saved from the stream is not cut short.
        constexpr std::int64_t kPlaceholderSize = 0x7fff0000;
        const std::uint16_t blockAlign = Le16(&format_[12]);
        const bool placeholder = c.size >= kPlaceholderSize && c.size < 0x80000000 &&
                                 (fileSize < 0 || c.size > fileSize - c.start);
        if (placeholder && blockAlign != 0 && factFrames_ * blockAlign >= kPlaceholderSize)
            factFrames_ = -1;
        // Where chunks appended after the audio begin (-1: none found), when the data's size
        // does not say: after a size of 0, and in a streamed file (not on a pipe: it cannot
        // look ahead). They are not audio.
        std::int64_t trailing = -1;
        const std::int64_t hidden = AudioAfterEmptyData(c, trailing);
        bool wrapped = false;  // sizes that wrapped past 4 GiB
        if ((c.openEnded() || streamed || placeholder) && fileSize >= 0 && Descriptor() >= 0 &&
            blockAlign != 0) {
            const std::int64_t t =
                IFF::TrailingChunksStart(Descriptor(), c.start, fileSize, c.bigEndian());
            trailing = t < fileSize ? t : -1;
        }
        if (c.openEnded() || streamed || placeholder) {
            // Streamed file: the data runs to the end of the file (or of the audio, when chunks
            // follow it), or as far as a "fact" count says when that is shorter.
            dataLength = fileSize >= 0 ? AudioBefore(c, trailing >= 0 ? trailing : fileSize) : -1;
            // A count of 0 is the placeholder of a header never updated (a recorder that lost
            // power, a float file's "fact" written before the audio): it says nothing (every
            // frame was dropped, "done"). A smaller count is said when more frames follow.
            if (factFrames_ == 0) factFrames_ = -1;
            if (factFrames_ > 0 && blockAlign != 0 &&
                (dataLength < 0 || factFrames_ < dataLength / blockAlign)) {
                if (dataLength >= 0)
                    metadataWarnings_.push_back("the \"fact\" chunk gives the audio " +
                                                std::to_string(factFrames_) + " frames, but " +
                                                std::to_string(dataLength / blockAlign) +
                                                " follow the header: only " +
                                                std::to_string(factFrames_) + " are converted");
                dataLength = factFrames_ * blockAlign;
            }
        } else if (hidden > 0) {
            // A size of 0 with audio after it, inside the container's size: a writer that filled
            // the container's size in but not the data's. Read as far as the container goes.
            dataLength = hidden;
            metadataWarnings_.push_back(
                "the header gives the audio a size of 0, but " +
                std::to_string(hidden / std::max<std::uint16_t>(blockAlign, 1)) +
                " frames follow it: they are converted");
        } else if (const std::int64_t wraps = WrappedBy(c, fileSize); wraps > 0) {
            // A RIFF file past 4 GiB whose writer knew no RF64: its 32-bit sizes wrapped, and
            // the audio runs a whole number of 4 GiB past them (sox and ffmpeg read the first
            // sliver of a three-hour recording, without a word).
            dataLength = c.size + wraps * kWrap;
            wrapped = true;
            metadataWarnings_.push_back(
                "the header's sizes are " + std::to_string(wraps) + " x 4 GiB short of the " +
                "file, as 32-bit sizes of a file past 4 GiB wrap (a writer without RF64): the " +
                std::to_string(dataLength / std::max<std::uint16_t>(blockAlign, 1)) +
                " frames it holds are converted");
        } else {
            dataLength = c.size;
            // A file cut short (a recording that lost power, a copy that
            // stopped) opens with what it holds. A pipe must deliver it all:
            // its end is only found once the output's length is promised.
            if (fileSize >= 0 && c.size > fileSize - c.start) {
                declaredBytes_ = c.size;
                dataLength = std::max<std::int64_t>(fileSize - c.start, 0);
            } else {
                RequireUntil(c.start + c.size);
            }
        }
        auto data = ::Stream::crop(Source(), Position(), 0, nullptr);
        const std::uint16_t tag = Le16(format_.data());
        GUID guid;
        if (tag == kTagExtensible)
            std::memcpy(guid.bytes.data(), &format_[24], 16);
        else
            guid = GUID::FromFormatTag(tag);
        const SubFormatRegistry::Entry* entry = SubFormatRegistry::Instance().Find(guid);
        if (!entry || !entry->factory) throw UnsupportedFormat();
        result_ = entry->factory(1, data, format_.data(), bigEndian_, factFrames_, dataLength);
        if (!result_) throw UnsupportedFormat();
        if (trailing >= 0) {
            ReadTrailingMetadata(c, trailing);
        } else if (!streamed && !placeholder && !wrapped) {
            ReadTrailingMetadata(c);
        }
        state_ = 3;
        return IFF::Stop;
    }
    PassOver(c.id);
    return IFF::SkipChunk;
}

Audio::Stream::Wrapper<::Stream::iOver> WAVParser::Open(const std::string& path,
                                                        PropertyList* properties,
                                                        InputDetails* details) {
    return OpenWith(path, properties, details);
}

Audio::Stream::Wrapper<::Stream::iOver> WAVParser::Open(std::FILE* file, PropertyList* properties,
                                                        InputDetails* details) {
    return OpenWith(file, properties, details);
}

template <class Input>
Audio::Stream::Wrapper<::Stream::iOver> WAVParser::OpenWith(Input input, PropertyList* properties,
                                                            InputDetails* details) {
    Audio::Stream::Wrapper<::Stream::iOver> result;
    try {
        WAVParser parser;
        const bool ended = parser.Parse(input);
        if (ended || !parser.result_) throw Incomplete();
        result = parser.result_;
        if (details && parser.declaredBytes_ >= 0 && result->granularity > 0 &&
            result->length >= 0) {
            const std::int64_t frame = result->granularity;
            const std::int64_t present = result->length / frame,
                               declared = parser.declaredBytes_ / frame;
            if (present < declared) details->warnings.push_back(CutShortWarning(present, declared));
        }
        if (details) {
            details->metadata = std::move(parser.metadata_);
            details->unreadChunks = std::move(parser.unreadChunks_);
            details->warnings.insert(details->warnings.end(), parser.metadataWarnings_.begin(),
                                     parser.metadataWarnings_.end());
        }
        if (details && Le16(parser.format_.data()) == kTagExtensible)
            details->channelMask =
                Le32(&parser.format_[20]) ? Le32(&parser.format_[20]) : kNoPositions;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // A file that cannot be opened says which and why, not just "???".
        std::string message = e.what();
        try {
            std::rethrow_if_nested(e);
        } catch (const std::exception& reason) {
            message = reason.what();
        } catch (...) {
        }
        throw exception(message, 0);
    }
    if (properties) {
        AppendStreamProperties(*properties, *result, ".wav", "audio/x-wav");
        AppendFormatProperties(*properties, result.format());
    }
    return result;
}

}  // namespace Audio::IO
