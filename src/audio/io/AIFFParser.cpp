#include "audio/io/AIFFParser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "audio/io/ChannelLayout.h"
#include "audio/io/WAVParser.h"
#include "stream/Crop.h"

namespace Audio::IO {

namespace {

std::uint16_t Be16(const std::uint8_t* p) {
    return std::uint16_t(p[0] << 8 | p[1]);
}
std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// "COMM" payload: channels (16), frames (32), sample size in bits (16),
// rate (80-bit extended), then in AIFF-C the compression type and its name.
constexpr std::size_t kCommSize = 18, kAifcCommSize = 22;

// The compression type as text, unprintable bytes as '?'.
std::string Printable(const std::uint8_t* p) {
    std::string s(4, '?');
    for (int i = 0; i < 4; ++i)
        if (p[i] >= 0x20 && p[i] < 0x7F) s[i] = static_cast<char>(p[i]);
    return s;
}

// The Audio::Format a "COMM" payload describes; UnsupportedFormat otherwise.
Format FormatFromComm(const std::uint8_t* c, bool aifc) {
    using Unsupported = AIFFParser::UnsupportedFormat;
    const std::uint16_t channels = Be16(c);
    const std::uint16_t bits = Be16(c + 6);
    const double rate = AIFFParser::Extended80(c + 8);
    const IFF::ResType compression = aifc ? IFF::ResType::FromBytes(c + 18) : IFF::ResType("NONE");

    if (channels == 0 || channels > 255)
        throw Unsupported("AIFF file with " + std::to_string(channels) + " channels");
    if (!(rate >= 1.0 && rate <= 4294967295.0))
        throw Unsupported("AIFF file without a valid sample rate");

    Format f;
    f.setChannels(channels).setUnsigned(false);
    if (compression == IFF::ResType("NONE") || compression == IFF::ResType("twos") ||
        compression == IFF::ResType("sowt")) {
        if (bits < 1 || bits > 32)
            throw Unsupported("AIFF samples of " + std::to_string(bits) + " bits");
        const std::uint32_t bytes = (bits + 7u) / 8u;
        f.setBytesPerSample(bytes)
            .setSampleType(Format::Integer)
            .setPaddingBits(bytes * 8 - bits)
            .setScaleExponent(bits)
            .setBigEndian(compression != IFF::ResType("sowt"));
    } else if (compression == IFF::ResType("raw ") && bits >= 1 && bits <= 8) {
        // Offset binary bytes (ffmpeg's unsigned 8-bit).
        f.setBytesPerSample(1)
            .setSampleType(Format::Integer)
            .setPaddingBits(8 - bits)
            .setScaleExponent(bits)
            .setUnsigned(true);
    } else if (compression == IFF::ResType("fl32") || compression == IFF::ResType("FL32")) {
        f.setBytesPerSample(4).setSampleType(Format::Float).setScaleExponent(1).setBigEndian(true);
    } else if (compression == IFF::ResType("fl64") || compression == IFF::ResType("FL64")) {
        f.setBytesPerSample(8).setSampleType(Format::Float).setScaleExponent(1).setBigEndian(true);
    } else {
        throw Unsupported("AIFF-C compression '" + Printable(c + 18) + "' is not supported");
    }
    f.sampleRate = static_cast<float>(rate);
    return f;
}

}  // namespace

double AIFFParser::Extended80(const std::uint8_t b[10]) {
    const int exponent = (b[0] & 0x7F) << 8 | b[1];
    std::uint64_t mantissa = 0;
    for (int i = 2; i < 10; ++i) mantissa = mantissa << 8 | b[i];
    if (exponent == 0x7FFF) return std::nan("");
    const double magnitude = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
    return (b[0] & 0x80) ? -magnitude : magnitude;
}

int AIFFParser::Visit(IFF::ChunkInfo& c) {
    using IFF::ChunkInfo;
    if (state_ == 0) {
        const bool form = c.isGroup() && (c.flags & ChunkInfo::kHasFormType) && c.bigEndian();
        if (!form || !(c.id == IFF::ResType("AIFF") || c.id == IFF::ResType("AIFC")))
            throw NotAIFF();
        aifc_ = c.id == IFF::ResType("AIFC");
        state_ = 1;
        return IFF::Descend;
    }
    if ((c.flags & ChunkInfo::kKindMask) != 0 || (c.flags & ChunkInfo::kHasFormType))
        return IFF::SkipChunk;

    if (c.id == IFF::ResType("COMM") && !haveComm_) {
        const std::size_t need = aifc_ ? kAifcCommSize : kCommSize;
        if (c.openEnded() || c.size < std::int64_t(need)) throw Incomplete();
        ReadExact(comm_.data(), need);
        haveComm_ = true;
        return IFF::SkipChunk;
    }

    if (c.id == IFF::ResType("SSND") && !haveSsnd_) return VisitSound(c);
    if (c.id == IFF::ResType("CHAN") || c.id == IFF::ResType("MARK") ||
        c.id == IFF::ResType("INST") || c.id == IFF::ResType("ID3 ") ||
        c.id == IFF::ResType("id3 ") || c.id == IFF::ResType("COMT") ||
        !InfoKeyForTag(TagScheme::Aiff, c.id.text()).empty())
        return ReadText(c);
    NameUnreadChunk(unreadChunks_, c.id.text());
    return IFF::SkipChunk;
}

int AIFFParser::VisitSound(IFF::ChunkInfo& c) {
    using IFF::ChunkInfo;
    const std::int64_t fileSize = FileSize();
    const int fd = Descriptor();
    // A size too small for the offset and block size (0, or unknown): a
    // header written before the sound data and never updated.
    const bool stale = c.openEnded() || c.size < 8;
    if (stale && (fileSize < 0 || fd < 0)) throw Incomplete();
    ChunkInfo* form = c.next;
    const std::int64_t formEnd =
        !form || form->openEnded() ? fileSize : std::min(fileSize, form->start + form->size);
    source_ = Source();
    if (stale && fileSize - c.start < 8) {
        // Not even the offset and block size: no sound.
        dataStart_ = c.start;
        dataBytes_ = 0;
        haveSsnd_ = true;
        return IFF::Stop;
    }
    if (stale && IFF::ChunkHeaderAt(fd, c.start, formEnd, true)) {
        // An empty "SSND" without its offset and block size; a chunk follows.
        c.flags &= ~std::uint32_t(ChunkInfo::kOpenEnded);
        c.size = 0;
        dataStart_ = c.start;
        dataBytes_ = 0;
        haveSsnd_ = true;
        return IFF::SkipChunk;
    }
    std::uint8_t head[8];  // offset, block size
    ReadExact(head, sizeof head);
    const std::int64_t offset = Be32(head);
    if (!stale && offset > c.size - 8) throw Incomplete();
    dataStart_ = c.start + 8 + offset;
    dataBytes_ = stale ? 0 : c.size - 8 - offset;
    haveSsnd_ = true;

    // With a stale size, or no frames in "COMM" (a header written for an
    // empty file), sound data may run on past the chunk's end: to the end of
    // the "FORM", or of the file when the "FORM" stops there too. Chunks
    // appended after it are not sound.
    const bool noFrames = haveComm_ && Be32(comm_.data() + 2) == 0;
    bool found = false;
    if ((stale || noFrames) && fileSize >= 0 && fd >= 0) {
        const std::int64_t declaredEnd = dataStart_ + dataBytes_;
        const std::int64_t next = stale ? declaredEnd : declaredEnd + (declaredEnd & 1);
        if (next < fileSize && !IFF::ChunkHeaderAt(fd, next, formEnd, true)) {
            const std::int64_t end =
                IFF::TrailingChunksStart(fd, next, next < formEnd ? formEnd : fileSize, true);
            if (end > declaredEnd) {
                dataBytes_ = end - dataStart_;
                found = true;
            }
        }
        if (stale || found) {
            // The walk goes on after the sound found, to the chunks appended.
            const std::int64_t end = std::max(dataStart_ + dataBytes_, Position());
            c.flags &= ~std::uint32_t(ChunkInfo::kOpenEnded);
            c.size = end - c.start;
            if (form && !form->openEnded() && form->start + form->size < end)
                form->size = fileSize - form->start;
            if ((c.size & 1) || end > fileSize) return IFF::Stop;
        }
    }
    // Text chunks may follow; stop when the file ends inside this chunk
    // (nothing can follow it then), or when its end cannot be known.
    if (fileSize < 0 ? haveComm_ : c.start + c.size > fileSize) return IFF::Stop;
    return IFF::SkipChunk;
}

int AIFFParser::ReadText(const IFF::ChunkInfo& c) {
    std::string name = c.id.text();
    while (!name.empty() && name.back() == ' ') name.pop_back();
    auto drop = [&](const char* why) {
        warnings_.push_back("metadata: " + name + " chunk " + why + ", dropped");
    };
    const std::int64_t fileSize = FileSize();
    if (c.openEnded() || c.size < 0) {
        drop("of unknown size");
        return IFF::SkipChunk;
    }
    if (fileSize >= 0 && c.size > fileSize - c.start) {
        // Nothing can follow a chunk that runs past the end of the file.
        drop("truncated");
        if (!haveSsnd_) source_ = Source();  // Finish needs it for an empty stream
        return IFF::Stop;
    }
    if (c.size > kMaxMetadataChunk) {
        drop("too large");
        return IFF::SkipChunk;
    }
    std::vector<std::uint8_t> text(static_cast<std::size_t>(c.size));
    ReadExact(text.data(), text.size());
    if (c.id == IFF::ResType("CHAN")) {
        if (layout_.empty()) layout_ = std::move(text);
        return IFF::SkipChunk;
    }
    if (c.id == IFF::ResType("INST")) {
        // Read once the markers its loops name are known.
        if (!haveInstrument_) instrument_ = std::move(text);
        haveInstrument_ = true;
        return IFF::SkipChunk;
    }
    if (c.id == IFF::ResType("ID3 ") || c.id == IFF::ResType("id3 ")) {
        std::string warning = ReadId3Tag(text.data(), text.size(), metadata_);
        if (!warning.empty()) warnings_.push_back(std::move(warning));
        return IFF::SkipChunk;
    }
    if (c.id == IFF::ResType("COMT")) {
        std::string warning = ReadAiffComments(text.data(), text.size(), metadata_);
        if (!warning.empty()) warnings_.push_back(std::move(warning));
        return IFF::SkipChunk;
    }
    if (c.id == IFF::ResType("MARK")) {
        if (haveMarkers_) return IFF::SkipChunk;
        haveMarkers_ = true;
        std::string warning = ReadAiffMarkers(text.data(), text.size(), metadata_);
        if (!warning.empty()) warnings_.push_back(std::move(warning));
        return IFF::SkipChunk;
    }
    // An empty chunk may have no storage at all.
    const auto* end =
        text.empty() ? nullptr
                     : static_cast<const std::uint8_t*>(std::memchr(text.data(), 0, text.size()));
    const std::size_t n = end ? std::size_t(end - text.data()) : text.size();
    AddTag(metadata_, TagScheme::Aiff, c.id.text(),
           std::string(reinterpret_cast<const char*>(text.data()), n));
    return IFF::SkipChunk;
}

Audio::Stream::Wrapper<::Stream::iOver> AIFFParser::Finish(InputDetails* details) {
    if (!haveComm_) throw exception("AIFF file without a COMM chunk", 2);
    const Format f = FormatFromComm(comm_.data(), aifc_);
    const std::int64_t frameBytes = f.bytesPerFrame();
    const std::int64_t commFrames = Be32(comm_.data() + 2);
    if (!haveSsnd_) {
        if (commFrames != 0) throw exception("AIFF file without an SSND chunk", 2);
        // No sound: an empty stream where the parse ended.
        if (!source_) source_ = Source();
        dataStart_ = source_->position;
        dataBytes_ = 0;
    }

    // COMM's frame count is the length; SSND's size and the end of the file
    // may cut it shorter. No frames in COMM with sound in SSND: a header
    // written for an empty file and never updated, the sound data holds.
    const std::int64_t ssndFrames = dataBytes_ / frameBytes;
    const std::int64_t fileSize = FileSize();
    const std::int64_t fileFrames =
        fileSize >= 0 ? std::max<std::int64_t>(fileSize - dataStart_, 0) / frameBytes : ssndFrames;
    const std::int64_t declared = commFrames != 0 ? commFrames : ssndFrames;
    const std::int64_t present = std::min({declared, ssndFrames, fileFrames});
    if (details && commFrames == 0 && present > 0)
        details->warnings.push_back("the header gives the audio a size of 0, but " +
                                    std::to_string(present) +
                                    " frames follow it: they are converted");
    // Sound data of nearly 2 GiB in SSND's size, more than the file holds, is a writer's
    // "unknown" (one that could not seek back to fill it in, with a frame count to match): the
    // file is not cut short.
    const bool placeholder = dataBytes_ >= 0x7f000000 - 16 && fileFrames < ssndFrames;
    if (details && present < declared && !placeholder)
        details->warnings.push_back(CutShortWarning(present, declared));
    // More sound than COMM declares: COMM holds, and the frames left out are said (other
    // readers take them all). A byte past an odd-sized SSND's frames is its pad byte, which
    // some writers count in its size.
    const std::int64_t surplus =
        std::min(dataBytes_, fileSize >= 0 ? fileSize - dataStart_ : dataBytes_) -
        declared * frameBytes;
    const std::int64_t beyond = surplus >= 2 || frameBytes > 1 ? surplus / frameBytes : 0;
    if (details && commFrames != 0 && beyond > 0 && !placeholder)
        details->warnings.push_back("the sound data holds " + std::to_string(beyond) +
                                    (beyond == 1 ? " frame" : " frames") +
                                    " more than the header's " + std::to_string(declared) + ": " +
                                    (beyond == 1 ? "it is" : "they are") + " left out");

    // The parse may have gone past the samples (to a "COMM" after them).
    if (source_->position != dataStart_) {
        source_->seek(static_cast<std::uint64_t>(dataStart_));
        source_->position = dataStart_;
    }
    auto data = ::Stream::crop(source_, dataStart_, 0, nullptr);
    return DecodeWaveData(0, data, &f, f.isBigEndian(), -1, present * frameBytes);
}

Audio::Stream::Wrapper<::Stream::iOver> AIFFParser::Open(const std::string& path,
                                                         PropertyList* properties,
                                                         InputDetails* details) {
    Audio::Stream::Wrapper<::Stream::iOver> result;
    bool aifc = false;
    try {
        AIFFParser parser;
        try {
            parser.Parse(path);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            // Past both "COMM" and "SSND" the walk only looks for text
            // chunks: a damaged or cut chunk after them costs nothing else.
            if (!(parser.haveComm_ && parser.haveSsnd_)) throw;
        }
        result = parser.Finish(details);
        if (parser.haveInstrument_) {
            std::string warning = ReadAiffInstrument(
                parser.instrument_.data(), parser.instrument_.size(), parser.metadata_,
                static_cast<double>(result.format().sampleRate));
            if (!warning.empty()) parser.warnings_.push_back(std::move(warning));
        }
        aifc = parser.aifc_;
        if (details) {
            details->channelMask = ReadAiffChannelLayout(
                parser.layout_.data(), parser.layout_.size(), result.format().channels());
            details->metadata = std::move(parser.metadata_);
            details->unreadChunks = std::move(parser.unreadChunks_);
            details->warnings.insert(details->warnings.end(), parser.warnings_.begin(),
                                     parser.warnings_.end());
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
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
        AppendStreamProperties(*properties, *result, aifc ? ".aifc" : ".aiff", "audio/x-aiff");
        AppendFormatProperties(*properties, result.format());
    }
    return result;
}

}  // namespace Audio::IO
