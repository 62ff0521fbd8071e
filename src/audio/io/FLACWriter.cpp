#include "audio/io/FLACWriter.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

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
    FreeTags();
}

void iFileWriter_FLAC::FreeTags() {
    if (tags_) FLAC__metadata_object_delete(tags_);
    tags_ = nullptr;
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
    FreeTags();
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
    AddTags();
    if (FLAC__stream_encoder_init_stream(encoder_, &Callbacks::Write, &Callbacks::Seek,
                                         &Callbacks::Tell, nullptr,
                                         this) != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
        ThrowEncoderFailure();
    return std::make_unique<Redirector>(*this);
}

void iFileWriter_FLAC::AddTags() {
    if (!metadata) return;
    const auto tags = TagsFor(*metadata, TagScheme::Vorbis);
    if (tags.empty()) return;
    tags_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (!tags_) throw std::bad_alloc();
    for (const auto& [name, value] : tags) {
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        // Names are ASCII and values valid UTF-8: only memory can run out.
        if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(
                &entry, name.c_str(), TagTextAsUtf8(value).c_str()))
            throw std::bad_alloc();
        if (!FLAC__metadata_object_vorbiscomment_append_comment(tags_, entry, false)) {
            std::free(entry.entry);
            throw std::bad_alloc();
        }
    }
    if (!FLAC__stream_encoder_set_metadata(encoder_, &tags_, 1)) throw InternalError();
}

void iFileWriter_FLAC::ThrowEncoderFailure() {
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
    throw InternalError();
}

void iFileWriter_FLAC::Encode(const std::uint8_t* begin, std::size_t frames, bool silence) {
    constexpr std::size_t kPieceSamples = 16384;
    const std::size_t perPiece = std::max<std::size_t>(kPieceSamples / channels_, 1);
    const bool aligned = reinterpret_cast<std::uintptr_t>(begin) % alignof(std::int32_t) == 0;
    while (frames > 0) {
        const std::size_t n = silence || !aligned ? std::min(frames, perPiece) : frames;
        const std::int32_t* samples;
        if (silence) {
            scratch_.assign(n * channels_, 0);
            samples = scratch_.data();
        } else if (!aligned) {
            scratch_.resize(n * channels_);
            std::memcpy(scratch_.data(), begin, n * channels_ * 4);
            samples = scratch_.data();
        } else {
            samples = reinterpret_cast<const std::int32_t*>(begin);
        }
        if (!FLAC__stream_encoder_process_interleaved(encoder_, samples,
                                                      static_cast<std::uint32_t>(n)))
            ThrowEncoderFailure();
        frames -= n;
        encoded_ += static_cast<std::int64_t>(n);
        if (!silence) begin += n * channels_ * 4;
    }
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
    FreeTags();
    std::exception_ptr failure = std::exchange(pending_, nullptr);
    if (!failure && ok) {
        try {
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
