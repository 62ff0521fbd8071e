#include "audio/io/WavpackWriter.h"

#include <wavpack/wavpack.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "audio/io/ChannelLayout.h"
#include "audio/io/WAVEWriter.h"

namespace Audio::IO {

Format iFileWriter_Wavpack::AdaptFormat(Format f) {
    if (f.isInteger() && f.bytesPerSample() <= 4) {
        const std::uint32_t scale = (f.scaleExponent() + 7) / 8 * 8;
        f.setBytesPerSample(4)
            .setScaleExponent(scale)
            .setPaddingBits(0)
            .setUnsigned(false)
            .setBigEndian(false);
    } else if (f.isFloat() && f.bytesPerSample() == 4) {
        f.setScaleExponent(1).setUnsigned(false).setBigEndian(false);
    } else {
        throw IrredeemableFormat();
    }
    return f;
}

iFileWriter_Wavpack::~iFileWriter_Wavpack() {
    try {
        Finish();
    } catch (...) {
        // Released while unwinding or by a drain that ended: nowhere to report.
    }
}

sptr<::Stream::iByteOutput> iFileWriter_Wavpack::Open(sptr<::Stream::iByteOutput> out,
                                                      std::int64_t expectedDataSize) {
    if (!translator) throw InternalError();
    const Format f = translator->outFormat();
    const std::uint32_t channels = f.channels();
    const double rate = std::round(static_cast<double>(f.sampleRate));
    const bool isFloat = f.isFloat();
    if (f.bytesPerSample() != 4 || channels == 0 || !(rate >= 1.0 && rate <= 2147483647.0))
        throw IrredeemableFormat();
    if (!isFloat && (f.scaleExponent() < 8 || f.scaleExponent() > 32 || f.scaleExponent() % 8))
        throw IrredeemableFormat();
    if (isFloat && (f.scaleExponent() < 1 || f.scaleExponent() > 128)) throw IrredeemableFormat();

    if (context_) WavpackCloseFile(context_);
    real_ = std::move(out);
    firstBlock_.clear();
    haveFirstBlock_ = false;
    channels_ = channels;
    context_ = WavpackOpenFileOutput(&iFileWriter_Wavpack::BlockOutput, this, nullptr);
    if (!context_) throw InternalError();

    WavpackConfig config;
    std::memset(&config, 0, sizeof config);
    config.flags = static_cast<int>(CONFIG_OPTIMIZE_MONO | CONFIG_FAST_FLAG | CONFIG_JOINT_STEREO);
    config.num_channels = static_cast<int>(channels);
    config.sample_rate = static_cast<std::int32_t>(rate);
    config.channel_mask = static_cast<int>(WavpackChannelMask(channelMask, channels));
    if (isFloat) {
        config.bits_per_sample = 32;
        config.bytes_per_sample = 4;
        config.float_norm_exp = static_cast<int>(f.scaleExponent()) + 126;
    } else {
        config.bits_per_sample = static_cast<int>(f.scaleExponent());
        config.bytes_per_sample = static_cast<int>(f.scaleExponent()) / 8;
    }
    // An unknown total (-1) keeps a file that is never finished readable to
    // its end; the count is filled in as the file grows. The library cannot
    // start from a total of 0 (its set-up fails or never returns). Only an
    // exact size (a sequential writer's) is a total; an estimate chooses the
    // wrapper's header.
    const std::int64_t expectedFrames =
        expectedDataSize > 0 && bytesPerFrame > 0 ? expectedDataSize / bytesPerFrame : 0;
    std::int64_t total = sequential && expectedFrames > 0 ? expectedFrames : -1;
    if (!WavpackSetConfiguration64(context_, &config, total, nullptr)) throw InternalError();

    // The WAV chunks as the header of the WAV these samples unpack to (tags and pictures go
    // to the APEv2 tag).
    wrapped_ = false;
    wrapperChunks_ = metadata ? *metadata : Metadata();
    wrapperChunks_.info.clear();
    wrapperChunks_.tags.clear();
    wrapperChunks_.pictures.clear();
    storedBytes_ = static_cast<std::uint32_t>(config.bytes_per_sample);
    if (!wrapperChunks_.empty()) {
        if (wrapperChunks_.bext)
            AppendCodingHistory(*wrapperChunks_.bext,
                                CodingHistoryLine(static_cast<std::uint32_t>(rate),
                                                  isFloat ? 32 : f.scaleExponent(), channels));
        Format stored = f;
        stored.setBytesPerSample(storedBytes_).setPaddingBits(0);
        wrapperFormat_ = WaveFormatPayload(stored, channelMask);
        // The header is set again with the true sizes at the end, in place: its layout is
        // chosen now, RF64 where the unpacked WAV may pass 4 GiB.
        wrapperRF64_ = false;
        const std::uint64_t bytes = Wrapper(expectedFrames).size() +
                                    std::uint64_t(expectedFrames) * channels * storedBytes_;
        wrapperRF64_ = bytes >= 0xFFFFFFF0u;
        const std::vector<std::uint8_t> header = Wrapper(std::max<std::int64_t>(total, 0));
        wrapped_ = WavpackAddWrapper(context_, const_cast<std::uint8_t*>(header.data()),
                                     static_cast<std::uint32_t>(header.size()));
    }
    if (!WavpackPackInit(context_)) throw InternalError();
    started_ = false;
    packed_ = 0;
    return std::make_unique<Redirector>(*this);
}

std::vector<std::uint8_t> iFileWriter_Wavpack::Wrapper(std::int64_t frames) const {
    std::vector<std::uint8_t> header;
    for (const auto& chunk : EncodeRiffChunks(wrapperFormat_, wrapperChunks_,
                                              frames * channels_ * storedBytes_, wrapperRF64_))
        header.insert(header.end(), chunk.begin(), chunk.end());
    return header;
}

int iFileWriter_Wavpack::BlockOutput(void* id, void* data, std::int32_t count) {
    auto* w = static_cast<iFileWriter_Wavpack*>(id);
    if (count <= 0) return true;
    const auto* p = static_cast<const std::uint8_t*>(data);
    try {
        w->real_->Write(p, p + count, ::Stream::Samples);
        if (w->firstBlock_.empty()) w->firstBlock_.assign(p, p + count);
    } catch (...) {
        // Nothing may unwind through the library.
        w->pending_ = std::current_exception();
        return false;
    }
    w->haveFirstBlock_ = true;
    return true;
}

void iFileWriter_Wavpack::RethrowPending() {
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

void iFileWriter_Wavpack::Pack(const std::uint8_t* begin, std::size_t frames, bool silence) {
    InInt32Pieces(begin, frames, channels_, silence, scratch_,
                  [this](const std::int32_t* samples, std::size_t n) {
                      // The library does not write through this pointer.
                      if (!WavpackPackSamples(context_, const_cast<std::int32_t*>(samples),
                                              static_cast<std::uint32_t>(n))) {
                          RethrowPending();
                          throw InternalError();
                      }
                      packed_ += static_cast<std::int64_t>(n);
                  });
}

std::int64_t iFileWriter_Wavpack::Redirector::Tell() {
    if (!writer_.context_) throw InternalError();
    return WavpackGetNumSamples64(writer_.context_);
}

void iFileWriter_Wavpack::Redirector::Write(const std::uint8_t* begin, const std::uint8_t* end,
                                            std::int32_t kind) {
    iFileWriter_Wavpack& w = writer_;
    if (!w.context_) throw InternalError();
    const std::size_t frames = static_cast<std::size_t>(end - begin) / 4 / w.channels_;
    w.Pack(begin, frames, kind == ::Stream::Silence);
    if (!w.started_) {
        w.started_ = true;
        return;
    }
    if (w.haveFirstBlock_) {
        // Keep the sample count at offset 0 up to date.
        WavpackUpdateNumSamples(w.context_, w.firstBlock_.data());
        const std::int64_t pos = w.real_->Tell();
        w.real_->Seek(0);
        w.real_->Write(w.firstBlock_.data(), w.firstBlock_.data() + w.firstBlock_.size(),
                       ::Stream::Samples);
        w.real_->Seek(pos);
    }
}

void iFileWriter_Wavpack::Finish() {
    if (!context_) return;
    bool ok = true;
    std::exception_ptr failure;
    if (started_) {
        try {
            ok = WavpackFlushSamples(context_);
            // An odd-sized "data" chunk ends with a pad byte, which the trailer holds.
            const std::int64_t dataBytes = packed_ * channels_ * storedBytes_;
            if (ok && wrapped_ && (dataBytes & 1)) {
                std::uint8_t pad = 0;
                ok = WavpackAddWrapper(context_, &pad, 1) && WavpackFlushSamples(context_);
            }
            // The header wrapper states the sizes of the samples packed.
            bool headerMoved = false;
            if (ok && wrapped_ && haveFirstBlock_) {
                const std::vector<std::uint8_t> header = Wrapper(packed_);
                std::uint32_t size = 0;
                void* at = WavpackGetWrapperLocation(firstBlock_.data(), &size);
                if (at && size == header.size() &&
                    std::memcmp(at, header.data(), header.size()) != 0) {
                    std::memcpy(at, header.data(), header.size());
                    headerMoved = true;
                }
            }
            // The APEv2 tag follows the last block.
            if (ok && metadata && packed_ > 0) {
                bool any = false;
                // ContainerTags gives only items the library takes (names checked): a
                // refusal is one of memory, and tags never fail the file.
                for (const TagOut& t : ContainerTags(*metadata, TagScheme::Ape)) {
                    const auto append =
                        t.binary ? &WavpackAppendBinaryTagItem : &WavpackAppendTagItem;
                    if (append(context_, t.name.c_str(), t.value.data(),
                               static_cast<int>(t.value.size())))
                        any = true;
                }
                if (ok && any) ok = WavpackWriteTag(context_);
            }
            if (ok && haveFirstBlock_ &&
                (headerMoved ||
                 WavpackGetNumSamples64(context_) != WavpackGetSampleIndex64(context_))) {
                // Also sets the block's checksum again.
                WavpackUpdateNumSamples(context_, firstBlock_.data());
                real_->Seek(0);
                real_->Write(firstBlock_.data(), firstBlock_.data() + firstBlock_.size(),
                             ::Stream::Samples);
            }
        } catch (...) {
            failure = std::current_exception();
        }
    }
    WavpackCloseFile(context_);
    context_ = nullptr;
    if (!failure && ok && packed_ == 0) failure = std::make_exception_ptr(NoSamples());
    if (!failure && ok) {
        try {
            real_->Close();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    real_.reset();
    if (failure) std::rethrow_exception(failure);
    if (!ok) {
        RethrowPending();
        throw InternalError();
    }
}

WriterEntry WavpackWriterEntry() {
    return {"iFileWriter_Wavpack", "WavPack",
            [] { return sptr<iFileWriter>(new iFileWriter_Wavpack); },
            &iFileWriter_Wavpack::AdaptFormat};
}

}  // namespace Audio::IO
