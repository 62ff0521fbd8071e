#include "audio/format/Translator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>

#include "audio/format/SilenceFiller.h"
#include "audio/format/TranslatorKernels.h"
#include "base/FloatMode.h"

namespace Audio {

namespace {

std::string hexByte(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
    return text;
}

// Throws unless `f` is a format the kernels handle.
void checkFormat(const Format& f, bool output) {
    const std::string where = std::string("format translation: ") + (output ? "output" : "input");
    const auto kernel = output ? Kernels::Encoder(f.lowByte(), false, false)
                               : Kernels::Decoder(f.lowByte(), false, false);
    if (kernel == nullptr) {
        throw FormatTranslator::Unsupported(where + " sample type " + hexByte(f.lowByte()) +
                                            " is not supported");
    }
    if (f.channels() == 0) {
        throw FormatTranslator::Unsupported(where + " channel count is unspecified");
    }
    if (f.isInteger() ? f.paddingBits() >= f.bytesPerSample() * 8 : f.paddingBits() != 0) {
        throw FormatTranslator::Unsupported(where + " padding of " +
                                            std::to_string(f.paddingBits()) +
                                            " bits is not supported for this sample type");
    }
}

bool isSilent(const ::Stream::Block& b) {
    return b.kind != ::Stream::Samples || b.empty();
}

}  // namespace

FormatTranslator::FormatTranslator(unsigned flags, Format in, Format request, Extras extras)
    : in_(in),
      out_(request.CompleteFrom(in).ResolveScale()),
      meter_(std::move(extras.meter)),
      gain_(extras.gain.value_or(1.0)) {
    checkFormat(in_, false);
    checkFormat(out_, true);
    const std::uint32_t inChannels = in_.channels(), outChannels = out_.channels();
    if (inChannels != outChannels && !(inChannels == 1 && outChannels == 2) &&
        !(inChannels == 2 && outChannels == 1)) {
        throw Unsupported("format translation: cannot map " + std::to_string(inChannels) +
                          " channels to " + std::to_string(outChannels));
    }
    scratchBytesPerFrame = 8 * std::max(inChannels, outChannels);

    const bool inInteger = in_.isInteger(), outInteger = out_.isInteger();
    decoder.fn = Kernels::Decoder(in_.lowByte(), inInteger && in_.isUnsigned(),
                                  in_.isBigEndian() && in_.bytesPerSample() > 1);
    decoder.p1 = inInteger ? in_.paddingBits() : 0;
    decoder.p2 = in_.bytesPerSample() * 8;

    if (inChannels == 1 && outChannels == 2) channelMapper = &Kernels::Duplicate;
    if (inChannels == 2 && outChannels == 1) channelMapper = &Kernels::SumPairs;

    encoder.fn = Kernels::Encoder(out_.lowByte(), outInteger && out_.isUnsigned(),
                                  out_.isBigEndian() && out_.bytesPerSample() > 1);
    if (outInteger) {
        const std::uint32_t validBits = out_.bytesPerSample() * 8 - out_.paddingBits();
        std::uint32_t clipBits = validBits;
        const std::uint32_t scale = out_.scaleExponent();
        if ((flags & ClipToScale) && scale != Format::kScaleUnspecified) {
            clipBits = std::clamp<std::uint32_t>(scale, 1, validBits);
        }
        encoder.p1 = out_.paddingBits();
        encoder.p2 = clipBits;
        // Rounding is to nearest, ties to even: the top value 2^(b-1) - 1 is odd, so its
        // upper half-way point already rounds out; the bottom one is even and stays.
        const double full = std::ldexp(1.0, static_cast<int>(clipBits) - 1);
        clampLow_ = -full - 0.5;
        clampHigh_ = full - 0.5;
        outSilence_ = SilenceFiller(out_);
    }

    const bool downmix = inChannels > outChannels;
    scaleDither = SelectScaleDither(in_, out_, downmix,
                                    extras.ditherSeed ? *extras.ditherSeed : DitherSeed());
    identity_ = convertsNothing() && !scaleDither && !channelMapper && !meter_ && gain_ == 1.0;
    readsInPlace_ = in_.lowByte() == 0x48 && !in_.isBigEndian() && !channelMapper && gain_ == 1.0 &&
                    scaleDither;
    if (meter_) {
        // Decoded values times 2^shift are output units; full scale is 2^(scale - 1) of them.
        meter_->configure(outChannels,
                          std::ldexp(1.0, ScaleShift(in_, out_, downmix) -
                                              static_cast<int>(out_.scaleExponent()) + 1),
                          outInteger);
    }
}

bool FormatTranslator::convertsNothing() const {
    return in_.ResolveScale().word == out_.word;
}

::Stream::Block FormatTranslator::Translate(::Stream::Block in, std::uint8_t* first,
                                            std::int64_t frame) {
    using ::Stream::Block;
    const std::size_t inFrame = in_.bytesPerFrame(), outFrame = out_.bytesPerFrame();
    const std::size_t frames = in.end > in.begin ? in.length() / inFrame : 0;
    const std::size_t inBytes = frames * inFrame, outBytes = frames * outFrame;
    std::uint8_t* const outEnd = first + outBytes;
    if (frames == 0) return Block{first, first, ::Stream::Silence};

    // The meter's position of this block's first frame.
    const std::uint64_t meterBase = !meter_      ? 0
                                    : frame >= 0 ? static_cast<std::uint64_t>(frame)
                                                 : meter_->next();
    const bool silent = isSilent(in);
    if (silent && !(scaleDither && scaleDither->active)) {
        if (meter_) meter_->processSilence(frames, meterBase);
        if (!outSilence_) return Block{first, outEnd, ::Stream::Silence};
        outSilence_(first, outEnd);  // zero bytes are not offset-binary silence
        return Block{first, outEnd, ::Stream::Samples};
    }

    const std::uint8_t* src = in.begin;
    if (identity_) {
        if (first != src) std::memmove(first, src, outBytes);
        return Block{first, outEnd, ::Stream::Samples};
    }

    // Chunks of whole frames go through an aligned buffer of doubles. Forward
    // order is safe when output frames are no larger than input frames and
    // start no later; backward order when they are no smaller and start no
    // earlier; disjoint ranges take either.
    const auto out0 = reinterpret_cast<std::uintptr_t>(first);
    const auto in0 = reinterpret_cast<std::uintptr_t>(src);
    const bool disjoint = out0 + outBytes <= in0 || in0 + inBytes <= out0;
    const bool forward = disjoint || (out0 <= in0 && outFrame <= inFrame);
    const bool backward = out0 >= in0 && outFrame >= inFrame;
    if (!forward && !backward) {
        throw std::invalid_argument("format translation: output range overlaps the input");
    }

    // Round to nearest; tiny float samples (subnormals) pass as they are, bit for bit.
    ScopedFloatMode floatMode(false);
    alignas(64) double buffer[kChunkDoubles];
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer);
    const std::size_t inSamplesPerFrame = in_.channels();
    const std::size_t chunk = kChunkDoubles / (scratchBytesPerFrame / 8);
    // The dither of a sample follows from its stream index, whatever the chunk order.
    const std::uint64_t ditherBase = scaleDither ? scaleDither->position : 0;
    const std::size_t outSamplesPerFrame = out_.channels();
    // Decodes `count` frames from frame f0 into the buffer, mapped and with the gain; returns
    // the values now in it.
    auto decode = [&](std::size_t f0, std::size_t count) {
        std::size_t n = count * inSamplesPerFrame;
        if (silent)
            std::fill(buffer, buffer + n, 0.0);
        else
            decoder(bytes, src + f0 * inFrame, n);
        if (channelMapper) n = channelMapper(buffer, n);
        if (gain_ != 1.0)
            for (std::size_t i = 0; i < n; ++i) buffer[i] *= gain_;
        return n;
    };
    const bool inPlace =
        readsInPlace_ && !silent && reinterpret_cast<std::uintptr_t>(src) % alignof(double) == 0;
    auto convert = [&](std::size_t f0, std::size_t count) {
        const double* values = buffer;
        std::size_t n = count * inSamplesPerFrame;
        if (inPlace)
            values = reinterpret_cast<const double*>(src + f0 * inFrame);
        else
            n = decode(f0, count);
        if (meter_ && forward) meter_->process(values, count, meterBase + f0);
        if (scaleDither) {
            scaleDither->position = ditherBase + f0 * outSamplesPerFrame;
            scaleDither->process(values, buffer, n);
        }
        if (meter_ && clampHigh_ > 0)
            meter_->countClamped(buffer, n, clampLow_, clampHigh_, meterBase + f0);
        encoder(first + f0 * outFrame, bytes, n);
    };
    if (meter_ && !forward) {
        // The meter takes frames in order: a pass of its own before the backward one.
        for (std::size_t f0 = 0; f0 < frames; f0 += chunk) {
            const std::size_t count = std::min(chunk, frames - f0);
            decode(f0, count);
            meter_->process(buffer, count, meterBase + f0);
        }
    }
    if (forward) {
        for (std::size_t f0 = 0; f0 < frames; f0 += chunk)
            convert(f0, std::min(chunk, frames - f0));
    } else {
        for (std::size_t f0 = (frames - 1) / chunk * chunk;; f0 -= chunk) {
            convert(f0, std::min(chunk, frames - f0));
            if (f0 == 0) break;
        }
    }
    if (scaleDither) scaleDither->position = ditherBase + frames * outSamplesPerFrame;
    return Block{first, outEnd, ::Stream::Samples};
}

namespace {

// The translating stage: an in-place iOver stage over an audio byte stream.
class TranslatingStage final : public ::Stream::iOver,
                               public ::Stream::Consumer<Audio::Stream::Wrapper<::Stream::iOver>> {
public:
    TranslatingStage(Audio::Stream::Wrapper<::Stream::iOver> up, FormatTranslator t)
        : Consumer(std::move(up)),
          translator_(std::move(t)),
          inFrame_(translator_.inBytesPerFrame()),
          outFrame_(translator_.outBytesPerFrame()) {
        const ::Stream::iOver& u = *upstream;
        // A request maps to whole input frames and whole upstream blocks.
        const std::uint64_t g = u.granularity ? u.granularity : 1;
        const std::uint64_t unitFrames = std::lcm(g, inFrame_) / inFrame_;
        if (unitFrames * outFrame_ > 0xFFFFFFFFu) {
            throw std::invalid_argument("format translation: upstream granularity too large");
        }
        granularity = static_cast<std::uint32_t>(unitFrames * outFrame_);
        const std::uint32_t widen = (inFrame_ + outFrame_ - 1) / outFrame_;
        const std::uint32_t scratch =
            (translator_.scratchBytesPerFrame + outFrame_ - 1) / outFrame_;
        expansion = std::max(widen * u.expansion, scratch);
        position = u.position / inFrame_ * outFrame_;
        setTag(Audio::Stream::Tag{upstream.tag().origin, translator_.outFormat()});
    }

    void seek(std::uint64_t p) override {
        const std::uint64_t q = p / outFrame_ * inFrame_;
        upstream->seek(q);
        upstream->position = static_cast<std::int64_t>(q);
    }

    ::Stream::Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::size_t frames = dest.length() / outFrame_;
        std::uint8_t* first = dest.begin;
        // Frames keep their positions: the stream's frame at = the upstream's frame at.
        const std::int64_t at = upstream->position / inFrame_;
        ::Stream::Block blk =
            upstream->read(slice<std::uint8_t>(first, frames * inFrame_), capacity);
        ::Stream::advance(*upstream, blk);
        const std::int64_t in = inFrame_, out = outFrame_;
        inheritLength(*upstream, [=](std::int64_t l) { return l / in * out; });
        if (blk.empty()) blk.kind = ::Stream::Silence;
        return translator_.Translate(blk, first, at);
    }

private:
    FormatTranslator translator_;
    std::uint32_t inFrame_;
    std::uint32_t outFrame_;
};

}  // namespace

Audio::Stream::Wrapper<::Stream::iOver> FormatTranslator::MakeAndApply(
    Audio::Stream::Wrapper<::Stream::iOver> source, Format request, unsigned flags,
    Extras extras) {
    if (!source) throw std::invalid_argument("format translation: no source stream");
    if (!source->hasTag<Audio::Stream::Tag>()) {
        throw std::invalid_argument("format translation: the source stream has no audio format");
    }
    const Format from = source.format();
    if (!extras.meter && request.CompleteFrom(from).ResolveScale() == from.ResolveScale())
        return source;
    FormatTranslator translator(flags, from, request, std::move(extras));
    return Audio::Stream::Wrapper<::Stream::iOver>(
        new TranslatingStage(std::move(source), std::move(translator)));
}

}  // namespace Audio
