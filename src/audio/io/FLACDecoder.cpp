#include "audio/io/FLACDecoder.h"

#include <FLAC/stream_decoder.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "audio/io/ChannelLayout.h"

namespace Audio::IO {

namespace {

std::string ErrorText(FLAC__StreamDecoderErrorStatus status) {
    switch (status) {
        case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
            return "lost sync (damaged or foreign data)";
        case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER:
            return "bad frame header";
        case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
            return "frame CRC mismatch (damaged data)";
        case FLAC__STREAM_DECODER_ERROR_STATUS_UNPARSEABLE_STREAM:
            return "unparseable stream";
        default:
            return "damaged metadata";
    }
}

// Interleaves libFLAC's channel arrays as little-endian B-byte samples,
// each shifted left by `shift` bits.
template <unsigned B>
void Interleave(std::uint8_t* out, const std::int32_t* const buffer[], std::uint32_t channels,
                std::uint32_t frames, std::uint32_t shift) {
    for (std::uint32_t c = 0; c < channels; ++c) {
        const std::int32_t* in = buffer[c];
        std::uint8_t* o = out + std::size_t{c} * B;
        const std::size_t step = std::size_t{channels} * B;
        for (std::uint32_t i = 0; i < frames; ++i, o += step) {
            const std::uint32_t v = static_cast<std::uint32_t>(in[i]) << shift;
            for (unsigned k = 0; k < B; ++k) o[k] = static_cast<std::uint8_t>(v >> (8 * k));
        }
    }
}

}  // namespace

struct FLACDecoder::Callbacks {
    static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*,
                                                const FLAC__Frame* frame,
                                                const FLAC__int32* const buffer[], void* client) {
        auto* self = static_cast<FLACDecoder*>(client);
        const FLAC__FrameHeader& h = frame->header;
        if (h.channels != self->channels_ || h.bits_per_sample != self->bits_) {
            self->failure_ = "a FLAC frame holds " + std::to_string(h.channels) + " channels of " +
                             std::to_string(h.bits_per_sample) + " bits where STREAMINFO states " +
                             std::to_string(self->channels_) + " of " + std::to_string(self->bits_);
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        try {
            self->Append(buffer, h.blocksize);
        } catch (const std::bad_alloc&) {
            self->failure_ = "out of memory while decoding FLAC";
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* client) {
        auto* self = static_cast<FLACDecoder*>(client);
        if (m->type == FLAC__METADATA_TYPE_STREAMINFO && !self->haveInfo_) {
            const FLAC__StreamMetadata_StreamInfo& s = m->data.stream_info;
            self->haveInfo_ = true;
            self->rate_ = s.sample_rate;
            self->channels_ = s.channels;
            self->bits_ = s.bits_per_sample;
            self->totalFrames_ = s.total_samples;
            std::memcpy(self->md5_, s.md5sum, 16);
        } else if (m->type == FLAC__METADATA_TYPE_APPLICATION && self->details_ &&
                   self->readingMetadata_ && m->length >= 4) {
            try {
                const FLAC__byte* data = m->data.application.data;
                if (std::memcmp(m->data.application.id, "aiff", 4) == 0)
                    // An AIFF's chunks, read together once all are known (loops name markers).
                    self->aiff_.insert(self->aiff_.end(), data, data + (m->length - 4));
                else
                    for (std::string& w :
                         ReadRiffChunks(data, m->length - 4, self->riff_, self->riffBigEndian_,
                                        self->details_->unreadChunks))
                        self->details_->warnings.push_back(std::move(w));
            } catch (const std::bad_alloc&) {
                self->failure_ = "out of memory while reading FLAC metadata";
            }
        } else if (m->type == FLAC__METADATA_TYPE_CUESHEET && self->details_ &&
                   self->readingMetadata_) {
            try {
                const FLAC__StreamMetadata_CueSheet& sheet = m->data.cue_sheet;
                CueSheet kept;
                kept.catalog.assign(sheet.media_catalog_number,
                                    strnlen(sheet.media_catalog_number, 128));
                kept.leadIn = sheet.lead_in;
                kept.isCd = sheet.is_cd;
                // The last track is the lead-out.
                for (FLAC__uint32 t = 0; t + 1 < sheet.num_tracks; ++t) {
                    const FLAC__StreamMetadata_CueSheet_Track& track = sheet.tracks[t];
                    CueSheet::Track& out = kept.tracks.emplace_back();
                    out.offset = track.offset;
                    out.number = track.number;
                    out.isrc.assign(track.isrc, strnlen(track.isrc, 12));
                    out.audio = track.type == 0;
                    out.preEmphasis = track.pre_emphasis;
                    for (FLAC__byte i = 0; i < track.num_indices; ++i)
                        out.indices.push_back(
                            {track.offset + track.indices[i].offset, track.indices[i].number});
                }
                if (!self->cueSheet_) self->cueSheet_ = std::move(kept);
            } catch (const std::bad_alloc&) {
                self->failure_ = "out of memory while reading FLAC metadata";
            }
        } else if (m->type == FLAC__METADATA_TYPE_PICTURE && self->details_ &&
                   self->readingMetadata_) {
            try {
                const FLAC__StreamMetadata_Picture& pic = m->data.picture;
                Picture p;
                p.type = static_cast<std::uint32_t>(pic.type);
                if (pic.mime_type) p.mime = pic.mime_type;
                if (pic.description)
                    p.description = TagTextAsUtf8(reinterpret_cast<const char*>(pic.description));
                p.width = pic.width;
                p.height = pic.height;
                p.depth = pic.depth;
                p.colors = pic.colors;
                if (pic.data) p.data.assign(pic.data, pic.data + pic.data_length);
                self->Warn(KeepPicture(self->details_->metadata, std::move(p)));
            } catch (const std::bad_alloc&) {
                self->failure_ = "out of memory while reading FLAC metadata";
            }
        } else if (m->type == FLAC__METADATA_TYPE_VORBIS_COMMENT &&
                   (self->comments_ || self->details_)) {
            try {
                const FLAC__StreamMetadata_VorbisComment& vc = m->data.vorbis_comment;
                // The library stops at a comment whose length runs past the block, and keeps
                // those before it: the block's length says whether any were lost (a few bytes
                // past the last comment, a framing byte or padding, are not a comment).
                std::uint64_t used = 8 + std::uint64_t{vc.vendor_string.length};
                for (FLAC__uint32 i = 0; i < vc.num_comments; ++i)
                    used += 4 + std::uint64_t{vc.comments[i].length};
                if (used + 4 < m->length && self->readingMetadata_)
                    self->Warn("metadata: a damaged FLAC tag block was read up to its damage, "
                               "the tags after it dropped");
                for (FLAC__uint32 i = 0; i < vc.num_comments; ++i) {
                    const auto* e = reinterpret_cast<const char*>(vc.comments[i].entry);
                    const std::string item(e, e ? vc.comments[i].length : 0);
                    const std::size_t eq = item.find('=');
                    if (eq == 0 || eq == std::string::npos) continue;
                    std::string key = item.substr(0, eq);
                    if (strcasecmp(key.c_str(), kFlacChannelMaskTag) == 0) {
                        // The speaker layout, when it is not FLAC's own for the count.
                        const std::string value = item.substr(eq + 1);
                        char* end = nullptr;
                        const unsigned long mask = std::strtoul(value.c_str(), &end, 16);
                        if (end != value.c_str() && *end == '\0' && mask <= 0xFFFFFFFFul)
                            self->channelMaskTag_ =
                                mask ? static_cast<std::uint32_t>(mask) : kNoPositions;
                        continue;
                    }
                    if (self->details_ && self->readingMetadata_) {
                        if (item.size() - eq - 1 > std::size_t(kMaxMetadataChunk))
                            self->details_->warnings.push_back("metadata: Vorbis comment " + key +
                                                               " too large, dropped");
                        else
                            self->Warn(KeepTag(self->details_->metadata, TagScheme::Vorbis, key,
                                               item.substr(eq + 1)));
                    }
                    if (!self->comments_) continue;
                    for (char& c : key)
                        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    self->comments_->push_back({Property::FileTag, key, item.substr(eq + 1)});
                }
            } catch (const std::bad_alloc&) {
                self->failure_ = "out of memory while reading FLAC metadata";
            }
        }
    }

    static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status,
                      void* client) {
        auto* self = static_cast<FLACDecoder*>(client);
        // A damaged metadata block (a picture whose sizes do not fit its block) is skipped by
        // the library and the audio reads on: the file converts, saying so (it was refused).
        if (status == FLAC__STREAM_DECODER_ERROR_STATUS_BAD_METADATA && self->readingMetadata_) {
            self->badMetadata_ = true;
            self->Warn("metadata: a damaged FLAC metadata block was dropped");
            return;
        }
        if (self->failure_.empty()) self->failure_ = ErrorText(status);
    }
};

FLACDecoder::FLACDecoder() = default;

FLACDecoder::~FLACDecoder() {
    if (decoder_) FLAC__stream_decoder_delete(decoder_);
}

Audio::Stream::Wrapper<::Stream::iOver> FLACDecoder::Open(const std::string& path,
                                                          PropertyList* properties,
                                                          InputDetails* details) {
    return OpenWith(path, properties, details, true);
}

Audio::Stream::Wrapper<::Stream::iOver> FLACDecoder::OpenWith(const std::string& path,
                                                              PropertyList* properties,
                                                              InputDetails* details,
                                                              bool pictures) {
    const std::size_t warningsBefore = details ? details->warnings.size() : 0;
    // A foreign file is told apart by its first bytes: libFLAC would search
    // all of it for a stream header.
    bool startsWithMarker = false;
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) throw FLACParser::exception(path + ": " + std::strerror(errno), 0);
        // An Ogg page's header is 27 bytes and its segment table; Ogg FLAC's first packet
        // starts "\x7FFLAC".
        char head[64] = {};
        const std::size_t n = std::fread(head, 1, sizeof head, f);
        const int error = errno;
        const bool unreadable = std::ferror(f);
        std::fclose(f);
        if (unreadable) throw FLACParser::exception(ReadRefusedText(0, error), 1);
        if (n >= 28 && std::memcmp(head, "OggS", 4) == 0 &&
            std::string_view(head, n).find("\x7F"
                                           "FLAC") != std::string_view::npos)
            throw FLACParser::exception(
                "an Ogg file: FLAC in an Ogg container is not read (flac -d makes a WAV of it)", 2);
        if (n < 4 || (std::memcmp(head, "fLaC", 4) != 0 && std::memcmp(head, "ID3", 3) != 0))
            throw FLACParser::NotFLAC();
        startsWithMarker = std::memcmp(head, "fLaC", 4) == 0;
    }

    auto* self = new FLACDecoder;
    Audio::Stream::Wrapper<::Stream::iOver> result(self);
    self->path_ = path;
    self->details_ = details;
    self->decoder_ = FLAC__stream_decoder_new();
    if (!self->decoder_) throw std::bad_alloc();
    // Kept for the properties: Vorbis comments; every other block is skipped.
    if (properties || details)
        FLAC__stream_decoder_set_metadata_respond(self->decoder_,
                                                  FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (details) {
        static const FLAC__byte kRiff[4] = {'r', 'i', 'f', 'f'}, kAiff[4] = {'a', 'i', 'f', 'f'};
        FLAC__stream_decoder_set_metadata_respond_application(self->decoder_, kRiff);
        FLAC__stream_decoder_set_metadata_respond_application(self->decoder_, kAiff);
        FLAC__stream_decoder_set_metadata_respond(self->decoder_, FLAC__METADATA_TYPE_CUESHEET);
        if (pictures)
            FLAC__stream_decoder_set_metadata_respond(self->decoder_, FLAC__METADATA_TYPE_PICTURE);
    }
    // Opened here, so that a read the system refuses can be told from damage (the library
    // reads it as the stream's end or as an abort).
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) throw FLACParser::exception(path + ": " + std::strerror(errno), 0);
    const FLAC__StreamDecoderInitStatus init = FLAC__stream_decoder_init_FILE(
        self->decoder_, file, &Callbacks::Write, &Callbacks::Metadata, &Callbacks::Error, self);
    if (init == FLAC__STREAM_DECODER_INIT_STATUS_OK) self->file_ = file;
    if (init == FLAC__STREAM_DECODER_INIT_STATUS_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        throw FLACParser::exception("libFLAC refused to start decoding", 0);

    PropertyList comments;
    self->comments_ = properties ? &comments : nullptr;
    self->readingMetadata_ = true;
    const bool ok = FLAC__stream_decoder_process_until_end_of_metadata(self->decoder_);
    const int readError = errno;
    self->comments_ = nullptr;
    self->readingMetadata_ = false;
    if (details) {
        // Tags from the Vorbis comments stand; the WAV chunks add the rest.
        Metadata& into = details->metadata;
        Metadata& riff = self->riff_;
        if (!self->aiff_.empty()) {
            for (std::string& w : ReadAiffChunks(self->aiff_.data(), self->aiff_.size(), riff,
                                                 self->rate_, details->unreadChunks))
                details->warnings.push_back(std::move(w));
            self->aiff_.clear();
        }
        for (auto& tag : riff.info)
            if (std::none_of(into.info.begin(), into.info.end(),
                             [&](const auto& kept) { return kept.first == tag.first; }))
                into.info.push_back(std::move(tag));
        riff.info = std::move(into.info);
        riff.tags = std::move(into.tags);
        riff.pictures = std::move(into.pictures);
        riff.carriedBytes = into.carriedBytes;
        if (self->cueSheet_ && riff.cues.empty()) {
            riff.cues = CueSheetPoints(*self->cueSheet_);
            riff.cuesFromSheet = true;
        }
        riff.cueSheet = std::move(self->cueSheet_);
        into = std::move(riff);
        self->riff_ = Metadata();
        self->cueSheet_.reset();
    }
    if (!ok) self->ThrowIfUnreadable(readError);
    if (!self->haveInfo_) {
        if (startsWithMarker)
            throw FLACParser::Damaged("damaged FLAC header: no complete STREAMINFO block");
        throw FLACParser::NotFLAC();
    }
    if (!ok && self->badMetadata_ && pictures && self->failure_.empty()) {
        // A damaged picture stops the library's reading of the metadata: read again without
        // the pictures, as the audio does not need them.
        if (details) {
            details->warnings.resize(warningsBefore);
            details->metadata = Metadata();
        }
        auto again = OpenWith(path, properties, details, false);
        if (details) details->warnings.push_back("metadata: a damaged FLAC picture was dropped");
        return again;
    }
    if (!ok || !self->failure_.empty())
        throw FLACParser::Damaged("damaged FLAC metadata" +
                                  (self->failure_.empty() ? "" : ": " + self->failure_));

    if (self->channels_ < 1 || self->channels_ > 8)
        throw FLACParser::Damaged("FLAC STREAMINFO states " + std::to_string(self->channels_) +
                                  " channels");
    if (self->bits_ < 4 || self->bits_ > 32)
        throw FLACParser::Unsupported("FLAC file of " + std::to_string(self->bits_) +
                                      " bits per sample; 4 to 32 are supported");
    if (self->rate_ == 0) throw FLACParser::Unsupported("FLAC file without a sample rate");

    self->bytes_ = (self->bits_ + 7) / 8;
    self->shift_ = self->bytes_ * 8 - self->bits_;
    self->bytesPerFrame_ = self->bytes_ * self->channels_;
    self->digestValid_ = std::any_of(std::begin(self->md5_), std::end(self->md5_),
                                     [](std::uint8_t b) { return b != 0; });

    Format f;
    f.setBytesPerSample(self->bytes_)
        .setSampleType(Format::Integer)
        .setScaleExponent(self->bits_)
        .setPaddingBits(self->shift_)
        .setUnsigned(false)
        .setBigEndian(false)
        .setChannels(self->channels_);
    f.sampleRate = static_cast<float>(self->rate_);
    self->granularity = self->bytesPerFrame_;
    self->position = 0;
    self->setTag(Audio::Stream::Tag{0.0, f});
    if (self->totalFrames_ > 0)
        self->length = static_cast<std::int64_t>(self->totalFrames_) * self->bytesPerFrame_;
    // FLAC fixes the speaker order by the channel count, unless a comment gives another.
    if (details)
        details->channelMask =
            self->channelMaskTag_ ? self->channelMaskTag_ : FlacChannelMask(self->channels_);

    if (properties) {
        AppendStreamProperties(*properties, *self, ".flac", "audio/flac");
        AppendFormatProperties(*properties, f);
        properties->insert(properties->end(), comments.begin(), comments.end());
    }
    return result;
}

void FLACDecoder::Warn(std::string warning) {
    if (details_) AddOnce(details_->warnings, std::move(warning));
}

void FLACDecoder::Append(const std::int32_t* const buffer[], std::uint32_t frames) {
    // Delivered bytes are moved to the front first; pending_ holds one frame.
    if (pendingAt_ > 0) {
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<std::ptrdiff_t>(pendingAt_));
        pendingAt_ = 0;
    }
    const std::size_t start = pending_.size();
    pending_.resize(start + std::size_t{frames} * bytesPerFrame_);
    std::uint8_t* out = pending_.data() + start;
    switch (bytes_) {
        case 1:
            Interleave<1>(out, buffer, channels_, frames, shift_);
            break;
        case 2:
            Interleave<2>(out, buffer, channels_, frames, shift_);
            break;
        case 3:
            Interleave<3>(out, buffer, channels_, frames, shift_);
            break;
        default:
            Interleave<4>(out, buffer, channels_, frames, shift_);
            break;
    }
    decodedFrames_ += frames;
    if (!digestValid_) return;
    if (shift_ == 0) {
        md5Running_.Update(pending_.data() + start, pending_.data() + pending_.size());
        return;
    }
    // STREAMINFO's digest covers the values right-aligned, ceil(bits / 8) bytes each.
    md5Scratch_.resize(std::size_t{frames} * bytesPerFrame_);
    std::uint8_t* m = md5Scratch_.data();
    for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < channels_; ++c) {
            const auto v = static_cast<std::uint32_t>(buffer[c][i]);
            for (std::uint32_t k = 0; k < bytes_; ++k)
                *m++ = static_cast<std::uint8_t>(v >> (8 * k));
        }
    md5Running_.Update(md5Scratch_.data(), m);
}

void FLACDecoder::ThrowIfUnreadable(int error) {
    if (file_ && std::ferror(file_))
        throw FLACParser::exception(ReadRefusedText(std::max<off_t>(::ftello(file_), 0), error), 1);
}

void FLACDecoder::ThrowIfFailed() {
    if (!failure_.empty()) throw FLACParser::Damaged("damaged FLAC file: " + failure_);
}

void FLACDecoder::ThrowTruncated() {
    throw FLACParser::Damaged("truncated FLAC file: it ends after " +
                              std::to_string(decodedFrames_) + " of " +
                              std::to_string(totalFrames_) + " frames");
}

bool FLACDecoder::DecodeFrame() {
    const std::size_t before = pending_.size() - pendingAt_;
    while (pending_.size() - pendingAt_ == before) {
        const bool ok = FLAC__stream_decoder_process_single(decoder_);
        ThrowIfUnreadable(errno);
        const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_);
        // Damage met at the end of a file that lacks declared frames: cut short.
        if (!failure_.empty() && state == FLAC__STREAM_DECODER_END_OF_STREAM && totalFrames_ > 0 &&
            decodedFrames_ < totalFrames_)
            ThrowTruncated();
        ThrowIfFailed();
        if (state == FLAC__STREAM_DECODER_END_OF_STREAM)
            return pending_.size() - pendingAt_ > before;
        if (!ok || state > FLAC__STREAM_DECODER_END_OF_STREAM)
            throw FLACParser::Damaged(std::string("FLAC decoding failed: ") +
                                      FLAC__StreamDecoderStateString[state]);
    }
    return true;
}

void FLACDecoder::CheckDigest() {
    if (digestChecked_) return;
    digestChecked_ = true;
    if (!digestValid_) return;
    md5Running_.Final();
    if (std::memcmp(digest_.data(), md5_, 16) != 0 && details_)
        details_->warnings.push_back("audio MD5 does not match the file's STREAMINFO");
}

::Stream::Block FLACDecoder::read(slice<std::uint8_t> dest, std::uint32_t) {
    const std::size_t want = dest.length();
    std::size_t produced = 0;
    bool ended = false;
    while (produced < want) {
        const std::size_t ready = pending_.size() - pendingAt_;
        if (ready > 0) {
            const std::size_t n = std::min(ready, want - produced);
            std::memcpy(dest.begin + produced, pending_.data() + pendingAt_, n);
            pendingAt_ += n;
            produced += n;
            continue;
        }
        // Frames past the declared total are not audio of this stream.
        if (totalFrames_ > 0 && decodedFrames_ >= totalFrames_) break;
        if (!DecodeFrame()) {
            ended = true;
            break;
        }
    }
    // Bytes from the stream's start up to the decoder's position.
    const auto at =
        static_cast<std::int64_t>(decodedFrames_ * bytesPerFrame_ - (pending_.size() - pendingAt_));
    if (ended) {
        if (length >= 0 && at < length) ThrowTruncated();
        if (length < 0) length = at;
    }
    if (ended || (totalFrames_ > 0 && decodedFrames_ >= totalFrames_)) CheckDigest();
    if (produced < want) std::memset(dest.begin + produced, 0, want - produced);
    return {dest.begin, dest.end, want ? ::Stream::Samples : ::Stream::Silence};
}

void FLACDecoder::seek(std::uint64_t p) {
    const std::uint64_t frame = p / bytesPerFrame_;
    pending_.clear();
    pendingAt_ = 0;
    if (frame == 0) {
        // Back to the start: decoding again from the first frame keeps the
        // digest check.
        failure_.clear();
        if (!FLAC__stream_decoder_reset(decoder_) ||
            !FLAC__stream_decoder_process_until_end_of_metadata(decoder_)) {
            ThrowIfUnreadable(errno);
            throw FLACParser::Damaged("cannot rewind the FLAC file");
        }
        ThrowIfFailed();
        decodedFrames_ = 0;
        md5Running_ = MD5(digest_);
        return;
    }
    digestValid_ = false;
    failure_.clear();
    if (totalFrames_ > 0 && frame >= totalFrames_) {
        decodedFrames_ = totalFrames_;
        return;
    }
    decodedFrames_ = frame;
    if (!FLAC__stream_decoder_seek_absolute(decoder_, frame)) {
        ThrowIfUnreadable(errno);
        if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_SEEK_ERROR)
            FLAC__stream_decoder_flush(decoder_);
        ThrowIfFailed();
        throw FLACParser::Damaged("cannot seek to frame " + std::to_string(frame) +
                                  " of the FLAC file");
    }
    // Sync searched for on the way is no damage.
    failure_.clear();
}

}  // namespace Audio::IO
