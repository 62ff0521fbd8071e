#include "audio/io/FLACWriter.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "audio/io/ChannelLayout.h"
#include "audio/io/WAVEWriter.h"

namespace Audio::IO {

namespace {

// The whole rate a format's float rate stands for; 0 when FLAC cannot hold it.
std::uint32_t FlacRate(float rate) {
    const double r = std::round(static_cast<double>(rate));
    return r >= 1.0 && r <= FLAC__MAX_SAMPLE_RATE ? static_cast<std::uint32_t>(r) : 0;
}

}  // namespace

struct iFileWriter_FLAC::Callbacks {
    static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*,
                                                const FLAC__byte buffer[], std::size_t bytes,
                                                std::uint32_t, std::uint32_t, void* client) {
        auto* w = static_cast<iFileWriter_FLAC*>(client);
        try {
            // Each metadata block comes in a call of its own, before any frame.
            if (w->encoded_ == 0 && bytes >= 4 && w->cueSheetAt_ < 0 &&
                (buffer[0] & 0x7F) == FLAC__METADATA_TYPE_CUESHEET) {
                w->cueSheetAt_ = w->real_->Tell();
                w->cueSheetBytes_ = static_cast<std::int64_t>(bytes);
            }
            w->real_->Write(buffer, buffer + bytes, ::Stream::Samples);
        } catch (...) {
            // Nothing may unwind through the library.
            if (!w->pending_) w->pending_ = std::current_exception();
            return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        }
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    }
    static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                              void* client) {
        auto* w = static_cast<iFileWriter_FLAC*>(client);
        try {
            w->real_->Seek(static_cast<std::int64_t>(offset));
        } catch (...) {
            if (!w->pending_) w->pending_ = std::current_exception();
            return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        }
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    }
    static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                              void* client) {
        auto* w = static_cast<iFileWriter_FLAC*>(client);
        try {
            *offset = static_cast<FLAC__uint64>(w->real_->Tell());
        } catch (...) {
            if (!w->pending_) w->pending_ = std::current_exception();
            return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
        }
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }
};

Format iFileWriter_FLAC::AdaptFormat(Format f) {
    if (!f.isInteger() || f.bytesPerSample() > 4 || f.channels() < 1 || f.channels() > 8 ||
        FlacRate(f.sampleRate) == 0)
        throw IrredeemableFormat();
    const std::uint32_t scale = std::clamp<std::uint32_t>((f.scaleExponent() + 7) / 8 * 8, 8, 32);
    f.setBytesPerSample(4)
        .setScaleExponent(scale)
        .setPaddingBits(0)
        .setUnsigned(false)
        .setBigEndian(false);
    return f;
}

iFileWriter_FLAC::~iFileWriter_FLAC() {
    try {
        Finish();
    } catch (...) {
        // Released while unwinding or by a drain that ended: nowhere to report.
    }
    FreeBlocks();
}

void iFileWriter_FLAC::FreeBlocks() {
    for (FLAC__StreamMetadata* b : blocks_) FLAC__metadata_object_delete(b);
    blocks_.clear();
}

sptr<::Stream::iByteOutput> iFileWriter_FLAC::Open(sptr<::Stream::iByteOutput> out,
                                                   std::int64_t expectedDataSize) {
    if (!translator) throw InternalError();
    const Format f = translator->outFormat();
    const std::uint32_t bits = f.scaleExponent();
    const std::uint32_t rate = FlacRate(f.sampleRate);
    if (!f.isInteger() || f.bytesPerSample() != 4 || f.channels() < 1 || f.channels() > 8 ||
        rate == 0 || bits < 8 || bits > 32 || bits % 8)
        throw IrredeemableFormat();

    if (encoder_) FLAC__stream_encoder_delete(encoder_);
    encoder_ = nullptr;
    FreeBlocks();
    cueSheetAt_ = -1;
    cueSheetCd_ = false;
    real_ = std::move(out);
    channels_ = f.channels();
    encoded_ = 0;
    pending_ = nullptr;
    encoder_ = FLAC__stream_encoder_new();
    if (!encoder_) throw std::bad_alloc();
    bool ok = FLAC__stream_encoder_set_channels(encoder_, channels_) &&
              FLAC__stream_encoder_set_bits_per_sample(encoder_, bits) &&
              FLAC__stream_encoder_set_sample_rate(encoder_, rate) &&
              FLAC__stream_encoder_set_compression_level(encoder_, 5);
    // The decodable subset excludes 32-bit samples and some rates.
    if (bits > 24 || !FLAC__format_sample_rate_is_subset(rate))
        ok = ok && FLAC__stream_encoder_set_streamable_subset(encoder_, false);
    if (expectedDataSize > 0 && bytesPerFrame > 0)
        ok = ok && FLAC__stream_encoder_set_total_samples_estimate(
                       encoder_, static_cast<FLAC__uint64>(expectedDataSize / bytesPerFrame));
    if (!ok) throw InternalError();
    leadOut_ = expectedDataSize > 0 && bytesPerFrame > 0
                   ? static_cast<std::uint64_t>(expectedDataSize / bytesPerFrame)
                   : 0;
    AddMetadata(rate, bits);
    if (FLAC__stream_encoder_init_stream(encoder_, &Callbacks::Write, &Callbacks::Seek,
                                         &Callbacks::Tell, nullptr,
                                         this) != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
        ThrowEncoderFailure();
    return std::make_unique<Redirector>(*this);
}

void iFileWriter_FLAC::AddMetadata(std::uint32_t rate, std::uint32_t bits) {
    auto add = [&](FLAC__MetadataType type) {
        FLAC__StreamMetadata* b = FLAC__metadata_object_new(type);
        if (!b) throw std::bad_alloc();
        blocks_.push_back(b);
        return b;
    };
    std::vector<TagOut> tags =
        metadata ? ContainerTags(*metadata, TagScheme::Vorbis) : std::vector<TagOut>{};
    // A speaker layout other than FLAC's own for the count is stated (a layout, kept without
    // the metadata too).
    const std::uint32_t mask = ChannelMaskFor(channelMask, channels_);
    if (mask != FlacChannelMask(channels_) && (mask != 0 || channelMask == kNoPositions)) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", mask);
        tags.push_back({kFlacChannelMaskTag, hex});
    }
    if (!tags.empty()) {
        FLAC__StreamMetadata* vc = add(FLAC__METADATA_TYPE_VORBIS_COMMENT);
        for (const TagOut& t : tags) {
            FLAC__StreamMetadata_VorbisComment_Entry entry;
            // Names are allowed ones and values valid UTF-8 (a NUL ends one): only memory can
            // run out.
            if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(
                    &entry, t.name.c_str(), t.value.c_str()))
                throw std::bad_alloc();
            if (!FLAC__metadata_object_vorbiscomment_append_comment(vc, entry, false)) {
                std::free(entry.entry);
                throw std::bad_alloc();
            }
        }
    }

    if (metadata)
        for (const Picture* p : FlacPictures(*metadata)) {
            FLAC__StreamMetadata* b = add(FLAC__METADATA_TYPE_PICTURE);
            FLAC__StreamMetadata_Picture& pic = b->data.picture;
            pic.type = static_cast<FLAC__StreamMetadata_Picture_Type>(p->type);
            pic.width = p->width;
            pic.height = p->height;
            pic.depth = p->depth;
            pic.colors = p->colors;
            // The MIME type is printable ASCII.
            std::string mime = p->mime;
            for (char& c : mime)
                if (c < 0x20 || c > 0x7E) c = '?';
            std::string description = TagTextAsUtf8(p->description);
            if (!FLAC__metadata_object_picture_set_mime_type(b, mime.data(), true) ||
                !FLAC__metadata_object_picture_set_description(
                    b, reinterpret_cast<FLAC__byte*>(description.data()), true) ||
                !FLAC__metadata_object_picture_set_data(b, const_cast<FLAC__byte*>(p->data.data()),
                                                        static_cast<FLAC__uint32>(p->data.size()),
                                                        true))
                throw std::bad_alloc();
        }

    // The WAV chunks, framed as the WAV these samples would make.
    Metadata wav = metadata ? *metadata : Metadata{};
    wav.info.clear();
    wav.tags.clear();
    wav.pictures.clear();
    wav.cueSheet.reset();
    if (wav.cuesFromSheet) wav.cues.clear();  // the CUESHEET holds them
    if (wav.bext) AppendCodingHistory(*wav.bext, CodingHistoryLine(rate, bits, channels_));
    if (!wav.empty()) {
        Format stored = translator->outFormat();
        stored.setBytesPerSample(bits / 8).setPaddingBits(0);
        const std::int64_t dataBytes =
            static_cast<std::int64_t>(leadOut_) * channels_ * static_cast<std::int64_t>(bits / 8);
        for (const auto& chunk :
             EncodeRiffChunks(WaveFormatPayload(stored, channelMask), wav, dataBytes)) {
            FLAC__StreamMetadata* app = add(FLAC__METADATA_TYPE_APPLICATION);
            std::memcpy(app->data.application.id, "riff", 4);
            // A block holds at most 2^24 - 1 bytes, the id included.
            if (chunk.size() + 4 >= (1u << 24)) continue;
            if (!FLAC__metadata_object_application_set_data(
                    app, const_cast<FLAC__byte*>(chunk.data()),
                    static_cast<std::uint32_t>(chunk.size()), true))
                throw std::bad_alloc();
        }
    }

    // The input's cue sheet, else the cue points as tracks in position order.
    if (metadata && (metadata->cueSheet || !metadata->cues.empty())) AddCueSheet(*metadata);
    // Blocks the encoder would refuse are left out: metadata never fails the file.
    std::vector<FLAC__StreamMetadata*> kept;
    for (FLAC__StreamMetadata* b : blocks_)
        if (b->type != FLAC__METADATA_TYPE_APPLICATION || b->length > 4) kept.push_back(b);
    if (!kept.empty() && !FLAC__stream_encoder_set_metadata(
                             encoder_, kept.data(), static_cast<std::uint32_t>(kept.size())))
        throw InternalError();
}

void iFileWriter_FLAC::AddCueSheet(const Metadata& metadata) {
    // The cue points as tracks in position order, one index each.
    CueSheet points;
    std::vector<std::uint32_t> offsets;
    for (const CuePoint& c : metadata.cues) offsets.push_back(c.sampleOffset);
    std::sort(offsets.begin(), offsets.end());
    for (std::uint32_t at : offsets) {
        CueSheet::Track& t = points.tracks.emplace_back();
        t.offset = at;
        t.number = static_cast<std::uint8_t>(std::min<std::size_t>(points.tracks.size(), 254));
        t.indices = {{at, 1}};
    }
    // The input's sheet first: a CD's, then as a plain one; the points where the format's
    // rules refuse it (an input's own faults: the library reads what the encoder refuses).
    const CueSheet& kept = metadata.cueSheet ? *metadata.cueSheet : points;
    const std::pair<const CueSheet*, bool> tries[] = {
        {&kept, kept.isCd}, {&kept, false}, {&points, false}};
    for (const auto& [candidate, cd] : tries)
        if ((!cd || candidate->isCd) && AddCueSheet(*candidate, cd)) return;
}

bool iFileWriter_FLAC::AddCueSheet(CueSheet sheet, bool cd) {
    // Tracks numbered 1-99 on a CD, 1-254 elsewhere; 170 and 255 are the lead-outs.
    if (sheet.tracks.size() > (cd ? 99u : 254u)) sheet.tracks.resize(cd ? 99 : 254);
    if (sheet.tracks.empty()) return true;
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_CUESHEET);
    if (!block) throw std::bad_alloc();
    FLAC__StreamMetadata_CueSheet& cs = block->data.cue_sheet;
    std::snprintf(cs.media_catalog_number, sizeof cs.media_catalog_number, "%s",
                  sheet.catalog.c_str());
    cs.lead_in = cd ? sheet.leadIn : 0;
    cs.is_cd = cd;
    std::uint64_t last = 0;
    bool ok = FLAC__metadata_object_cuesheet_resize_tracks(
        block, static_cast<std::uint32_t>(sheet.tracks.size() + 1));
    for (std::uint32_t i = 0; ok && i < sheet.tracks.size(); ++i) {
        const CueSheet::Track& from = sheet.tracks[i];
        ok = FLAC__metadata_object_cuesheet_track_resize_indices(
            block, i, static_cast<std::uint32_t>(from.indices.size()));
        FLAC__StreamMetadata_CueSheet_Track& t = cs.tracks[i];
        t.offset = from.offset;
        t.number = from.number;
        std::snprintf(t.isrc, sizeof t.isrc, "%s", from.isrc.c_str());
        t.type = from.audio ? 0 : 1;
        t.pre_emphasis = from.preEmphasis;
        last = std::max(last, from.offset);
        for (std::size_t k = 0; ok && k < from.indices.size(); ++k) {
            t.indices[k].offset = from.indices[k].offset - from.offset;
            t.indices[k].number = from.indices[k].number;
            last = std::max(last, from.indices[k].offset);
        }
    }
    if (!ok) {
        FLAC__metadata_object_delete(block);
        throw std::bad_alloc();
    }
    FLAC__StreamMetadata_CueSheet_Track& leadOut = cs.tracks[sheet.tracks.size()];
    leadOut.number = cd ? 170 : 255;
    leadOut.offset = std::max<std::uint64_t>(leadOut_, last);
    if (!FLAC__format_cuesheet_is_legal(&cs, cd, nullptr)) {
        FLAC__metadata_object_delete(block);
        return false;
    }
    blocks_.push_back(block);
    cueSheetCd_ = cd;
    leadOut_ = leadOut.offset;
    return true;
}

void iFileWriter_FLAC::PatchLeadOut() {
    const auto frames = static_cast<std::uint64_t>(encoded_);
    if (cueSheetAt_ < 0 || cueSheetBytes_ < 36 || frames == leadOut_) return;
    // The lead-out is the last track: 36 bytes without indices, its offset first.
    std::uint8_t offset[8];
    for (int i = 0; i < 8; ++i) offset[i] = static_cast<std::uint8_t>(frames >> (56 - 8 * i));
    real_->Seek(cueSheetAt_ + cueSheetBytes_ - 36);
    real_->Write(offset, offset + 8, ::Stream::Samples);
    // A CD's lead-out is on a sector: a length off the sectors makes the sheet a plain one (no
    // lead-in, no CD flag, the lead-out numbered 255). The block: a 4-byte header, the catalog
    // number (128 bytes), the lead-in (8), the flag's byte.
    if (cueSheetCd_ && frames % 588 != 0) {
        const std::uint8_t zeros[9] = {};
        real_->Seek(cueSheetAt_ + 4 + 128);
        real_->Write(zeros, zeros + 9, ::Stream::Samples);
        const std::uint8_t plain = 255;
        real_->Seek(cueSheetAt_ + cueSheetBytes_ - 36 + 8);
        real_->Write(&plain, &plain + 1, ::Stream::Samples);
    }
}

void iFileWriter_FLAC::ThrowEncoderFailure() {
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
    throw InternalError();
}

void iFileWriter_FLAC::Encode(const std::uint8_t* begin, std::size_t frames, bool silence) {
    InInt32Pieces(begin, frames, channels_, silence, scratch_,
                  [this](const std::int32_t* samples, std::size_t n) {
                      if (!FLAC__stream_encoder_process_interleaved(encoder_, samples,
                                                                    static_cast<std::uint32_t>(n)))
                          ThrowEncoderFailure();
                      encoded_ += static_cast<std::int64_t>(n);
                  });
}

void iFileWriter_FLAC::Redirector::Write(const std::uint8_t* begin, const std::uint8_t* end,
                                         std::int32_t kind) {
    iFileWriter_FLAC& w = writer_;
    if (!w.encoder_) throw InternalError();
    const std::size_t frames = static_cast<std::size_t>(end - begin) / 4 / w.channels_;
    w.Encode(begin, frames, kind == ::Stream::Silence);
}

void iFileWriter_FLAC::Finish() {
    if (!encoder_) return;
    const bool ok = FLAC__stream_encoder_finish(encoder_);
    FLAC__stream_encoder_delete(encoder_);
    encoder_ = nullptr;
    FreeBlocks();
    std::exception_ptr failure = std::exchange(pending_, nullptr);
    if (!failure && ok) {
        try {
            if (!sequential) PatchLeadOut();
            real_->Close();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    real_.reset();
    if (failure) std::rethrow_exception(failure);
    if (!ok) throw InternalError();
}

WriterEntry FlacWriterEntry() {
    return {"iFileWriter_FLAC", "FLAC", [] { return sptr<iFileWriter>(new iFileWriter_FLAC); },
            &iFileWriter_FLAC::AdaptFormat};
}

}  // namespace Audio::IO
