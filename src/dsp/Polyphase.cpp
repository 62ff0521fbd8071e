#include "dsp/Polyphase.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "base/FloatMode.h"
#include "dsp/PolyphaseKernels.h"
#include "stream/Adapt.h"
#include "stream/Crop.h"

namespace DSP::FIR {

void FixedResampler::FreeAligned::operator()(double* p) const {
    ::operator delete[](p, std::align_val_t{64});
}

FixedResampler::FixedResampler(const ConvolutionPlan& plan, boost::rational<unsigned> ratio,
                               const TapSampler& sample)
    : PolyphaseTable(plan, ratio, sample) {
    // Rows of one cycle of Q outputs: P + the spread of the phases' first
    // taps + the padded taps (up to 256 KiB of the two channels' work area).
    constexpr std::size_t kMaxRows = 2048;
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::uint32_t j = 0; j < denominator; ++j) {
        lo = std::min<std::int64_t>(lo, offset(j));
        hi = std::max<std::int64_t>(hi, offset(j));
    }
    const std::uint64_t rows = std::uint64_t{numerator} + std::uint64_t(hi - lo) + paddedTaps;
    if (rows <= kMaxRows) {
        scratchRows_ = rows;
        scratch_.reset(static_cast<double*>(
            ::operator new[](2 * 8 * rows * sizeof(double), std::align_val_t{64})));
    }
}

unsigned FixedResampler::process(ChannelSpan& dest, const ::Stream::Channels& source,
                                 std::uint32_t sourceBegin, std::uint32_t sourceEnd,
                                 const ::Stream::ChannelMask& sourceSilentMask,
                                 const ::Stream::ChannelMask&, std::uint32_t& phase,
                                 bool accumulate) {
    ScopedFloatMode mode;
    const std::uint32_t n = dest.end - dest.begin;
    const std::uint32_t count = dest.channels ? dest.channels->count() : 0;
    const detail::PolyphaseKernels& kernels = detail::polyphaseKernels();
    detail::KernelArgs a{};
    a.count = n;
    a.table = coefficients.get();
    a.taps = taps;
    a.stride = stride;
    a.P = numerator;
    a.Q = denominator;
    a.phase = phase;
    a.scratch = scratch_.get();
    a.scratchRows = scratchRows_;
    auto out = [&](std::uint32_t c) {
        return reinterpret_cast<double*>((*dest.channels)[c]) + dest.begin;
    };
    auto in = [&](std::uint32_t c) {
        return reinterpret_cast<const double*>(source[c]) + sourceBegin;
    };
    // Channels to compute, taken two at a time.
    std::uint32_t pending = count;  // index of a computed channel waiting for a partner
    for (std::uint32_t c = 0; c < count; ++c) {
        if (sourceEnd == sourceBegin || sourceSilentMask.test(c)) dest.silentMask.set(c);
        if (n == 0 || dest.silentMask.test(c)) continue;
        if (pending == count) {
            pending = c;
            continue;
        }
        a.out = out(pending), a.in = in(pending);
        a.out2 = out(c), a.in2 = in(c);
        (accumulate ? kernels.add2 : kernels.store2)(a);
        pending = count;
    }
    if (pending != count) {
        a.out = out(pending), a.in = in(pending);
        a.out2 = nullptr, a.in2 = nullptr;
        (accumulate ? kernels.add : kernels.store)(a);
    }
    const std::uint64_t total = std::uint64_t{n} + phase;
    phase = static_cast<std::uint32_t>(total % denominator);
    return static_cast<unsigned>(total / denominator * numerator);
}

// ---------------------------------------------------------------- stage

VFIRFilter::VFIRFilter(Audio::Stream::Wrapper<::Stream::iVUnder> up, Counted<FixedResampler> r,
                       Audio::Format format)
    : Consumer(std::move(up)), resampler(std::move(r)) {
    granularity = format.bytesPerSample() * std::max(format.channels(), 1u);
    channels = upstream->channels;
    expansion = 1;
    position = 0;
    sourceSet_.resize(channels);
    cycleSet_.resize(channels);
}

void VFIRFilter::seek(std::uint64_t p) {
    const std::uint64_t s = p / 8;
    const std::uint64_t m = s / resampler->denominator;
    phase = static_cast<std::uint32_t>(s - m * resampler->denominator);
    intoCycle_ = 0;
    const std::uint64_t q = m * resampler->numerator * 8;
    upstream->seek(q);
    upstream->position = static_cast<std::int64_t>(q);
}

::Stream::VBlock VFIRFilter::read(::Stream::VSlice dest, std::uint32_t) {
    using ::Stream::VBlock;
    if (dest.end < dest.begin || dest.length() % 8 != 0) throw Wobbly{};
    FixedResampler& r = *resampler;
    const std::uint64_t P = r.numerator, Q = r.denominator;
    const std::uint32_t n = dest.length() / 8;
    // Peeks are limited so that a request in bytes fits 32 bits.
    constexpr std::uint64_t kMaxPeek = (std::uint64_t{1} << 28);
    VBlock result{dest.channels, dest.begin, dest.begin, ::Stream::kAllSilent, {}};
    std::uint32_t done = 0;
    // Peeks of whole cycles of Q outputs (the transposed kernels run whole
    // cycles), at most kPeekSamples outputs over all channels: the adaptor
    // keeps a ring of several times the largest peek per channel, so that
    // many channels would otherwise take several times stereo's memory (more
    // than the caches hold, and fresh pages for every conversion). A cycle
    // too long for those kernels (thousands of phases) is read in pieces.
    constexpr std::uint64_t kPeekSamples = 16384;
    const std::uint64_t perChannel =
        std::max<std::uint64_t>(kPeekSamples / std::max(channels, 1u), 1);
    const auto peekOutputs = static_cast<std::uint32_t>(
        r.runsWholeCycles() ? std::max(Q, perChannel / Q * Q) : perChannel);
    // Input needed for `count` outputs from the upstream's position (intoCycle_ past the
    // cycle's start, where the table's offsets count from).
    auto needed = [&](std::uint32_t count) { return r.inputNeeded(phase, count) - intoCycle_; };
    while (done < n) {
        std::uint32_t count = std::min(n - done, peekOutputs);
        std::uint64_t need = needed(count);
        while (need > kMaxPeek && count > 1) need = needed(count /= 2);
        const VBlock blk = upstream->peek(static_cast<std::uint32_t>(need * 8), sourceSet_);
        inheritLength(*upstream, [P, Q](std::int64_t l) {
            return static_cast<std::int64_t>((std::uint64_t(l / 8) * Q + P - 1) / P * 8);
        });
        const std::uint32_t avail = blk.length() / 8;
        if (avail < need) {
            // Produce what the readable input allows, then peek again.
            std::uint32_t lo = 0, hi = count;
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo + 1) / 2;
                if (needed(mid) <= avail)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            if (lo == 0) throw Wobbly{};  // the upstream makes no progress
            count = lo;
        }
        // The kernels read from the cycle's start, the consumed samples before the block (they
        // touch only samples at or after the next output's first tap, which is inside it).
        for (std::uint32_t c = 0; c < channels; ++c)
            cycleSet_[c] = sourceSet_[c] ? sourceSet_[c] - intoCycle_ * 8 : nullptr;
        ChannelSpan out{dest.channels, dest.begin / 8 + done, dest.begin / 8 + done + count, {}};
        const std::uint64_t passed = r.process(out, cycleSet_, blk.begin / 8, blk.end / 8,
                                               blk.silentMask, blk.zeroedMask, phase, false);
        // Consumed: the whole cycles passed, and in a long cycle the input before the next
        // output's first tap as far as it was read.
        std::uint64_t to = passed;  // from the old cycle's start
        if (!r.runsWholeCycles())
            to = std::min<std::uint64_t>(
                passed + static_cast<std::uint64_t>(std::max(r.offset(phase), 0)),
                avail + intoCycle_);
        const std::uint64_t consumed = to - intoCycle_;
        intoCycle_ = to - passed;
        upstream->consume(static_cast<std::uint32_t>(consumed * 8));
        upstream->position += static_cast<std::int64_t>(consumed) * 8;
        result = ::Stream::join(
            result, VBlock{dest.channels, out.begin * 8, out.end * 8, out.silentMask, {}});
        done += count;
    }
    return result;
}

Audio::Stream::Wrapper<::Stream::iVOver> makePolyphaseResampler(
    Audio::Stream::Wrapper<::Stream::iVOver> input, double windowLength, const TapSampler& sample,
    double syncOffset, float fsOut, double fsInExact) {
    const Audio::Stream::Tag inTag = input.tag();
    const float fsIn = inTag.format.sampleRate;
    if (fsIn == fsOut) return input;
    const auto taps = static_cast<std::uint32_t>(std::ceil(windowLength));
    const boost::rational<unsigned> ratio =
        polyphaseRatio(fsIn, fsOut, maxPhasesFor(taps), fsInExact);
    const PlannedConvolution planned =
        planConvolution(inTag.origin, syncOffset, windowLength, ratio);
    Counted<FixedResampler> table(new FixedResampler(planned.plan, ratio, sample));

    // Lead-in: zeros in front (or, for a window shorter than the step, input
    // that no output reaches dropped), so the first output's taps start at 0.
    // The zeros are the pull adaptor's: the upstream is still read in its own
    // blocks (a shifted stream would be reblocked, a copy of most of it).
    const std::int64_t lead = planned.plan.leadIn;
    if (lead > std::int64_t{UINT32_MAX / 8}) throw Wobbly{};
    Audio::Stream::Wrapper<::Stream::iVOver> padded =
        lead < 0 ? ::Stream::shift(std::move(input), lead * 8) : std::move(input);
    Audio::Stream::Tag padTag = inTag;
    padTag.origin = inTag.origin + planned.plan.leadIn;
    padded.setTag(padTag);

    Audio::Stream::Wrapper<::Stream::iVUnder> pulled(new ::Stream::VUnderAdaptor(
        std::move(padded), static_cast<std::uint32_t>(std::max<std::int64_t>(lead, 0) * 8)));
    pulled.setTag(padTag);

    Audio::Stream::Tag tag;
    tag.origin = planned.outputOrigin;
    tag.format = inTag.format.ResolveScale();
    tag.format.sampleRate = fsOut;
    auto* stage = new VFIRFilter(std::move(pulled), std::move(table), inTag.format);
    stage->setTag(tag);
    return Audio::Stream::Wrapper<::Stream::iVOver>(stage);
}

Audio::Stream::Wrapper<::Stream::iVOver> makePolyphaseStage(
    Audio::Stream::Wrapper<::Stream::iVOver> input, unsigned attenuationDb, const WidthSpec& spec,
    double gain, double syncOffset, const BandSpec& band, float fsOut, double fsInExact) {
    if (input.tag().format.sampleRate == fsOut) return input;
    const sptr<Window> w2 = kaiserWindows->create(attenuationDb)->forWidth(spec);
    const unsigned n = w2->integerLength(0);
    std::shared_ptr<const Window> w5 =
        w2->adjust(FirstNull, n)->withPeak(band.amplitude)->withGain(gain);
    const double N = w5->lengthSamples;
    TapSampler sample = [w5, band](double* begin, double* end, double start, unsigned count) {
        w5->sample(begin, end, band, start, count);
    };
    return makePolyphaseResampler(std::move(input), N, sample, syncOffset, fsOut, fsInExact);
}

}  // namespace DSP::FIR
