// Translate (silence, channel mapping, gain, padding, float mode, bad input)
// and the translating stage built by MakeAndApply.

#include "audio/format/Translator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/format/KernelIsa.h"
#include "audio/format/PeakMeter.h"
#include "translator_helpers.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

using Audio::Format;
using Audio::FormatTranslator;
using namespace fmt_test;

namespace {

template <class T>
std::vector<std::uint8_t> bytesOf(const std::vector<T>& v) {
    std::vector<std::uint8_t> out(v.size() * sizeof(T));
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

template <class T>
std::vector<T> valuesOf(const std::uint8_t* p, std::size_t n) {
    std::vector<T> out(n);
    std::memcpy(out.data(), p, n * sizeof(T));
    return out;
}

// 24-bit little-endian samples.
std::vector<std::int32_t> int24Values(const std::uint8_t* p, std::size_t n) {
    std::vector<std::int32_t> out;
    for (std::size_t i = 0; i < n; ++i, p += 3) {
        std::uint32_t u = p[0] | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
        out.push_back(static_cast<std::int32_t>(u << 8) >> 8);
    }
    return out;
}

// Translates `in` in place in a buffer with room for the scratch space.
std::vector<std::uint8_t> translateInPlace(FormatTranslator& t, std::vector<std::uint8_t> in,
                                           Stream::Kind kind = Stream::Samples) {
    const std::size_t frames = in.size() / t.inBytesPerFrame();
    in.resize(std::max(in.size(), frames * t.scratchBytesPerFrame), 0xEE);
    Stream::Block r =
        t.Translate({in.data(), in.data() + frames * t.inBytesPerFrame(), kind}, in.data());
    EXPECT_EQ(r.begin, in.data());
    EXPECT_EQ(r.length(), frames * t.outBytesPerFrame());
    EXPECT_EQ(r.kind, frames ? Stream::Samples : Stream::Silence);
    return std::vector<std::uint8_t>(r.begin, r.end);
}

}  // namespace

TEST(Translator, SilenceWithoutDitherStaysSilenceAndWritesNothing) {
    FormatTranslator t(1, intFormat(3, 2), intFormat(2, 2, 0, 0xFE, 96000.0f));
    ASSERT_EQ(t.scaleDither->active, true);  // 24 -> 16 bits dithers
    FormatTranslator up(1, intFormat(2, 2), intFormat(3, 2));
    ASSERT_FALSE(up.scaleDither->active);  // pure gain
    for (Stream::Kind kind : {Stream::Silence, Stream::Zeros}) {
        std::vector<std::uint8_t> buf(1000, 0xAB);
        Stream::Block r = up.Translate({buf.data(), buf.data() + 400, kind}, buf.data());
        EXPECT_EQ(r.kind, Stream::Silence);
        EXPECT_EQ(r.begin, buf.data());
        EXPECT_EQ(r.length(), 600u);  // 100 frames of 24-bit stereo
        EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](std::uint8_t b) { return b == 0xAB; }));
    }
    std::vector<std::uint8_t> buf(16, 0xAB);
    Stream::Block empty = up.Translate({buf.data(), buf.data(), Stream::Samples}, buf.data());
    EXPECT_EQ(empty.kind, Stream::Silence);
    EXPECT_EQ(empty.length(), 0u);
}

TEST(Translator, SilenceWithDitherBecomesNoise) {
    FormatTranslator t(1, floatFormat(8, 1), intFormat(2));
    ASSERT_TRUE(t.scaleDither && t.scaleDither->active);
    // The bytes of a Silence block are undefined: all-ones doubles are NaNs,
    // which must not leak into the output.
    std::vector<std::uint8_t> buf(8 * 2000, 0xFF);
    Stream::Block r =
        t.Translate({buf.data(), buf.data() + buf.size(), Stream::Silence}, buf.data());
    ASSERT_EQ(r.kind, Stream::Samples);
    ASSERT_EQ(r.length(), 4000u);
    std::vector<std::int16_t> v = valuesOf<std::int16_t>(r.begin, 2000);
    EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](std::int16_t x) { return x >= -1 && x <= 1; }));
    EXPECT_TRUE(std::any_of(v.begin(), v.end(), [](std::int16_t x) { return x != 0; }));
}

TEST(Translator, SilentInputToOffsetBinaryOutputIsTheMidpoint) {
    // Zero bytes are full negative scale for offset binary, so silence is
    // written out rather than passed on as Silence.
    FormatTranslator t(1, intFormat(1, 2), intFormat(1, 2, kOffset));
    ASSERT_EQ(t.scaleDither, nullptr);
    std::vector<std::uint8_t> buf(8, 0x11);
    Stream::Block r = t.Translate({buf.data(), buf.data() + 6, Stream::Silence}, buf.data());
    EXPECT_EQ(r.kind, Stream::Samples);
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin, r.end), std::vector<std::uint8_t>(6, 0x80));
    EXPECT_EQ(buf[6], 0x11);
}

TEST(Translator, GainBetweenScalesAndRateRelabelling) {
    // 16-bit to 24-bit: x256, no dither.
    FormatTranslator t(1, intFormat(2), intFormat(3));
    std::vector<std::uint8_t> out =
        translateInPlace(t, bytesOf<std::int16_t>({100, -32768, 32767, -1, 0}));
    EXPECT_EQ(int24Values(out.data(), 5),
              (std::vector<std::int32_t>{25600, -8388608, 8388352, -256, 0}));
    // Only the rate differs: samples unchanged, new rate reported.
    FormatTranslator relabel(1, intFormat(2, 2), Format::FromBytes(0, 0xFF, 0, 0, 88200.0f));
    EXPECT_TRUE(relabel.convertsNothing());
    EXPECT_EQ(relabel.outFormat().sampleRate, 88200.0f);
    std::vector<std::uint8_t> same = bytesOf<std::int16_t>({1, -2, 3, -4});
    EXPECT_EQ(translateInPlace(relabel, same), same);
    // Full-scale float to 16 bits.
    FormatTranslator f(1, floatFormat(8, 1), intFormat(2));
    std::vector<std::int16_t> v =
        valuesOf<std::int16_t>(translateInPlace(f, doublesToBytes({0.5, -1.0, 2.0})).data(), 3);
    EXPECT_NEAR(v[0], 16384, 1);
    EXPECT_GE(v[1], -32768);  // -32768 + dither in (-1, 1): clipped or one step up
    EXPECT_LE(v[1], -32767);
    EXPECT_EQ(v[2], 32767);
}

TEST(Translator, MonoToStereoAndStereoToMono) {
    FormatTranslator up(1, intFormat(2, 1), intFormat(2, 2));
    EXPECT_EQ(up.scratchBytesPerFrame, 16u);
    EXPECT_EQ(up.scaleDither, nullptr);
    std::vector<std::uint8_t> st =
        translateInPlace(up, bytesOf<std::int16_t>({1, -2, 3, 32767, -32768}));
    EXPECT_EQ(valuesOf<std::int16_t>(st.data(), 10),
              (std::vector<std::int16_t>{1, 1, -2, -2, 3, 3, 32767, 32767, -32768, -32768}));

    // Float pair (0.25, 0.25) sums to 0.5 and is halved to 0.25.
    FormatTranslator down(1, floatFormat(8, 2), floatFormat(8, 1));
    std::vector<std::uint8_t> mono =
        translateInPlace(down, doublesToBytes({0.25, 0.25, 1.0, -0.5}));
    EXPECT_EQ(doubleAt(mono.data(), 0), 0.25);
    EXPECT_EQ(doubleAt(mono.data(), 1), 0.25);

    // Integer halves round to even: 7/2 -> 4, 3/2 -> 2, 5/2 -> 2.
    FormatTranslator down16(1, intFormat(2, 2), intFormat(2, 1));
    std::vector<std::uint8_t> m16 =
        translateInPlace(down16, bytesOf<std::int16_t>({3, 4, 1, 2, 2, 3, -32768, -32768}));
    EXPECT_EQ(valuesOf<std::int16_t>(m16.data(), 4), (std::vector<std::int16_t>{4, 2, 2, -32768}));
}

// Blocks of many conversion rounds, in place: widening runs from the end,
// narrowing from the start, and neither may overwrite unread input.
TEST(Translator, LongBlocksInPlace) {
    const std::size_t frames = 5003;
    std::vector<std::int16_t> stereo(2 * frames);
    for (std::size_t i = 0; i < stereo.size(); ++i) {
        stereo[i] = static_cast<std::int16_t>(i * 7919 % 65536 - 32768);
    }
    FormatTranslator widen(1, intFormat(2, 2), floatFormat(8, 2, 0xFF));
    std::vector<std::uint8_t> wide = translateInPlace(widen, bytesOf(stereo));
    for (std::size_t i = 0; i < stereo.size(); ++i) ASSERT_EQ(doubleAt(wide.data(), i), stereo[i]);

    FormatTranslator narrow(1, floatFormat(8, 2, 16), floatFormat(8, 1, 16));
    std::vector<std::uint8_t> mono = translateInPlace(narrow, wide);
    for (std::size_t k = 0; k < frames; ++k) {
        ASSERT_EQ(doubleAt(mono.data(), k), (stereo[2 * k] + stereo[2 * k + 1]) / 2.0);
    }

    FormatTranslator dup(1, intFormat(2, 1), intFormat(2, 2));
    std::vector<std::int16_t> one(stereo.begin(), stereo.begin() + frames);
    std::vector<std::int16_t> two =
        valuesOf<std::int16_t>(translateInPlace(dup, bytesOf(one)).data(), 2 * frames);
    for (std::size_t k = 0; k < frames; ++k) {
        ASSERT_EQ(two[2 * k], one[k]);
        ASSERT_EQ(two[2 * k + 1], one[k]);
    }
}

// The dither of a sample follows from its stream index: widening in place (chunks
// from the end), into another buffer, and in uneven blocks give the same bytes.
TEST(Translator, DitherDoesNotDependOnChunkOrderOrBlocks) {
    const std::size_t frames = 5003;
    std::vector<float> mono(frames);
    for (std::size_t i = 0; i < frames; ++i) mono[i] = 0.5f * std::sin(0.01f * i);
    const FormatTranslator::Extras seeded{nullptr, 9, std::nullopt};
    FormatTranslator inPlace(1, floatFormat(4, 1), intFormat(4, 2), seeded);
    const std::vector<std::uint8_t> expected = translateInPlace(inPlace, bytesOf(mono));
    ASSERT_EQ(expected.size(), 8 * frames);

    std::vector<std::uint8_t> source = bytesOf(mono);
    FormatTranslator whole(1, floatFormat(4, 1), intFormat(4, 2), seeded);
    std::vector<std::uint8_t> out(8 * frames);
    whole.Translate({source.data(), source.data() + source.size(), Stream::Samples}, out.data());
    EXPECT_EQ(out, expected);

    FormatTranslator pieces(1, floatFormat(4, 1), intFormat(4, 2), seeded);
    std::fill(out.begin(), out.end(), 0);
    for (std::size_t f = 0, k = 0; f < frames; ++k) {
        const std::size_t n = std::min<std::size_t>(std::size_t{1} << (3 * k % 13), frames - f);
        pieces.Translate({source.data() + 4 * f, source.data() + 4 * (f + n), Stream::Samples},
                         out.data() + 8 * f);
        f += n;
    }
    EXPECT_EQ(out, expected);
}

// The clamp count follows the encoder to the step, dither (under one step either way)
// included: a level one and a half steps inside full scale is never clamped, half a step
// outside always is, on both sides, on every instruction set.
TEST(Translator, CountsClampedSamplesToTheStep) {
    constexpr std::size_t kFrames = 4099;
    const struct {
        double steps;  // the level, in steps of int16
        std::uint64_t clamped;
    } cases[] = {{32766.4, 0}, {32768.6, kFrames}, {-32767.4, 0}, {-32769.6, kFrames}};
    for (Audio::KernelIsa isa :
         {Audio::KernelIsa::Portable, Audio::KernelIsa::AVX2, Audio::KernelIsa::AVX512}) {
        if (!Audio::selectKernelIsa(isa)) continue;
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.steps << " steps, set " << static_cast<int>(isa));
            const std::vector<double> level(kFrames, c.steps / 32768.0);
            auto meter = std::make_shared<Audio::PeakMeter>();
            FormatTranslator t(1, floatFormat(8), intFormat(2), {meter, 5, std::nullopt});
            translateInPlace(t, bytesOf(level));
            EXPECT_EQ(meter->finish().clamped, c.clamped);
        }
    }
    Audio::resetKernelIsa();
}

TEST(Translator, RestoresAndOverridesTheFloatMode) {
#if defined(__x86_64__) || defined(__i386__)
    const unsigned saved = _mm_getcsr();
    const unsigned towardZero = (saved & ~0x6000u) | 0x6000u;
    _mm_setcsr(towardZero);
    FormatTranslator down16(1, intFormat(2, 2), intFormat(2, 1));
    std::vector<std::uint8_t> buf = bytesOf<std::int16_t>({3, 4, 0, 0});
    down16.Translate({buf.data(), buf.data() + 8, Stream::Samples}, buf.data());
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(valuesOf<std::int16_t>(buf.data(), 1)[0],
              4);  // 3.5 rounded to nearest, not truncated
    EXPECT_EQ(after, towardZero);
#else
    GTEST_SKIP() << "x86 control register only";
#endif
}

// The tiniest floats (subnormals, below 1.2e-38 in 32 bits) pass bit for bit, to 32 or 64
// bits, whatever the thread's mode: a same-type conversion keeps every sample.
TEST(Translator, SubnormalFloatsPassExactly) {
    const std::vector<float> in = {1e-40f, -1e-42f, 1e-45f, 0.5f};
    std::vector<std::uint8_t> bytes(in.size() * 4);
    std::memcpy(bytes.data(), in.data(), bytes.size());
    for (std::uint32_t outBytes : {4u, 8u}) {
        FormatTranslator t(1, floatFormat(4), floatFormat(outBytes));
        const std::vector<std::uint8_t> out = translateInPlace(t, bytes);
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double got = outBytes == 4 ? double(valuesOf<float>(out.data(), in.size())[i])
                                             : doubleAt(out.data(), i);
            EXPECT_EQ(got, double(in[i])) << outBytes << " bytes, sample " << i;
        }
    }
}

TEST(Translator, PaddedContainersConvertAtTheRightLevel) {
    // 24 valid bits in 32 (WAVE layout: valid bits on top, padding below),
    // with junk in the padding byte.
    const Format in24in32 = intFormat(4, 2, 8);  // paddingBits 8, scale 24
    ASSERT_EQ(in24in32.scaleExponent(), 24u);
    const std::vector<std::int32_t> valid = {0x123456, -0x800000, 0x7FFFFF, -1};
    std::vector<std::uint32_t> containers;
    for (std::int32_t v : valid) containers.push_back(static_cast<std::uint32_t>(v) << 8 | 0x5A);

    FormatTranslator to24(1, in24in32, intFormat(3, 2));
    ASSERT_NE(to24.scaleDither, nullptr);
    EXPECT_FALSE(to24.scaleDither->active);  // no precision lost
    std::vector<std::uint8_t> out = translateInPlace(to24, bytesOf(containers));
    EXPECT_EQ(int24Values(out.data(), 4), valid);

    FormatTranslator toFloat(1, in24in32, floatFormat(8, 2));
    std::vector<std::uint8_t> fl = translateInPlace(toFloat, bytesOf(containers));
    for (std::size_t i = 0; i < valid.size(); ++i) {
        EXPECT_EQ(doubleAt(fl.data(), i), std::ldexp(valid[i], -23));
    }

    // And into a padded container: valid bits on top, padding zero.
    FormatTranslator from24(1, intFormat(3, 2), in24in32);
    std::vector<std::uint8_t> packed(12);
    for (std::size_t i = 0; i < 4; ++i) packInt(&packed[3 * i], valid[i], 3, false, false);
    std::vector<std::uint32_t> back =
        valuesOf<std::uint32_t>(translateInPlace(from24, packed).data(), 4);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(back[i], static_cast<std::uint32_t>(valid[i]) << 8);

    // 16-bit to 20 valid bits in 24, offset binary: x16, then into place.
    FormatTranslator to20(1, intFormat(2), intFormat(3, 1, 4 | kOffset));
    std::vector<std::uint8_t> b20 =
        translateInPlace(to20, bytesOf<std::int16_t>({1, -32768, 32767}));
    std::vector<std::uint8_t> want(9);
    packInt(&want[0], 1 << 8, 3, true, false);
    packInt(&want[3], -32768 << 8, 3, true, false);
    packInt(&want[6], 32767 << 8, 3, true, false);
    EXPECT_EQ(b20, want);
}

TEST(Translator, RejectsWhatItCannotConvert) {
    using U = FormatTranslator::Unsupported;
    EXPECT_THROW(FormatTranslator(1, Format::FromBytes(0x29, 72, 0, 1, 1.0f), intFormat(2)), U);
    // Wide integers are read, never written.
    EXPECT_THROW(FormatTranslator(1, intFormat(2), Format::FromBytes(0x28, 64, 0, 1, 1.0f)), U);
    EXPECT_THROW(FormatTranslator(1, intFormat(2), Format::FromBytes(0x42, 1, 0, 1, 1.0f)), U);
    EXPECT_THROW(FormatTranslator(1, Format(), intFormat(2)), U);            // unspecified input
    EXPECT_THROW(FormatTranslator(1, intFormat(2, 0), intFormat(2, 0)), U);  // no channel count
    EXPECT_THROW(FormatTranslator(1, intFormat(2, 3), intFormat(2, 2)), U);
    EXPECT_THROW(FormatTranslator(1, intFormat(2, 2), intFormat(2, 3)), U);
    EXPECT_THROW(FormatTranslator(1, intFormat(2, 1), intFormat(2, 4)), U);
    EXPECT_THROW(FormatTranslator(1, intFormat(2, 1, 16), intFormat(2)), U);  // no valid bits
    EXPECT_THROW(FormatTranslator(1, floatFormat(4, 1, 1, 8), floatFormat(8)), U);
    try {
        FormatTranslator(1, intFormat(2, 3), intFormat(2, 2));
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "format translation: cannot map 3 channels to 2");
    }
    // An output range that starts inside the input of a narrowing conversion
    // would overwrite samples before they are read.
    FormatTranslator narrow(1, floatFormat(8, 1, 16), intFormat(2));
    std::vector<std::uint8_t> buf(64);
    EXPECT_THROW(narrow.Translate({buf.data(), buf.data() + 32, Stream::Samples}, buf.data() + 8),
                 std::invalid_argument);
}

// ---- the stage --------------------------------------------------------------

TEST(TranslatorStage, ReadAsksUpstreamForInputBytesAndReturnsOutputBytes) {
    std::vector<std::uint8_t> data(6 * 1000);
    for (std::size_t i = 0; i < 2000; ++i)
        packInt(&data[3 * i], static_cast<std::int64_t>(i * 256), 3, false, false);
    auto* src = new MemorySource(data, intFormat(3, 2));
    Audio::Stream::Wrapper<Stream::iOver> source(src);
    auto stage = FormatTranslator::MakeAndApply(source, intFormat(2, 2), 1);
    ASSERT_NE(stage.get(), source.get());
    std::vector<std::uint8_t> buf(400 * stage->expansion);
    Stream::Block r = stage->read({buf.data(), 400}, static_cast<std::uint32_t>(buf.size()));
    ASSERT_EQ(src->requests.size(), 1u);
    EXPECT_EQ(src->requests[0].length, 600u);
    EXPECT_EQ(src->requests[0].capacity, buf.size());
    EXPECT_EQ(src->position, 600);
    EXPECT_EQ(r.begin, buf.data());
    EXPECT_EQ(r.length(), 400u);
    EXPECT_EQ(r.kind, Stream::Samples);
    std::vector<std::int16_t> v = valuesOf<std::int16_t>(r.begin, 200);
    for (std::size_t i = 0; i < 200; ++i) EXPECT_NEAR(v[i], static_cast<int>(i), 1);
}

TEST(TranslatorStage, GranularityExpansionPositionTagAndLength) {
    auto* src = new MemorySource(std::vector<std::uint8_t>(6000), intFormat(3, 2), 5.5);
    src->granularity = 12;
    src->expansion = 2;
    src->position = 60;
    Audio::Stream::Wrapper<Stream::iOver> source(src);
    auto stage = FormatTranslator::MakeAndApply(source, intFormat(2, 2, 0, 0xFE, 44100.0f), 1);
    EXPECT_EQ(stage->granularity, 8u);  // two frames in, two frames out
    EXPECT_EQ(stage->expansion, 4u);    // max(ceil(6/4) x 2, 16 / 4)
    EXPECT_EQ(stage->position, 40);
    Audio::Stream::Tag tag = stage.tag();
    EXPECT_EQ(tag.origin, 5.5);
    EXPECT_EQ(tag.format, intFormat(2, 2, 0, 16, 44100.0f));
    EXPECT_EQ(stage->length, -1);

    std::vector<std::uint8_t> buf(64 * 4);
    stage->position = 0;
    stage->seek(0);
    stage->read({buf.data(), 64}, static_cast<std::uint32_t>(buf.size()));
    EXPECT_EQ(stage->length, 4000);  // 1000 frames of 4 bytes
    stage->seek(40);
    EXPECT_EQ(src->seeks.back(), 60u);
    EXPECT_EQ(src->position, 60);

    // An upstream of granularity 1 still yields whole output frames.
    auto* loose = new MemorySource(std::vector<std::uint8_t>(60), intFormat(3, 2));
    auto s2 = FormatTranslator::MakeAndApply(Audio::Stream::Wrapper<Stream::iOver>(loose),
                                             floatFormat(8, 1, 0xFF), 1);
    EXPECT_EQ(s2->granularity, 8u);
    EXPECT_EQ(s2->expansion, 2u);  // room for the stereo doubles
}

TEST(TranslatorStage, MakeAndApplyReturnsTheSourceWhenNothingChanges) {
    const Format f = intFormat(2, 2, kBig, 16, 48000.0f);
    Audio::Stream::Wrapper<Stream::iOver> source(new MemorySource({}, f));
    EXPECT_EQ(source->refCount(), 1);
    // Low byte, third byte and channels from the source; scale and rate unspecified.
    auto same =
        FormatTranslator::MakeAndApply(source, Format::FromBytes(0x22, 0xFF, kBig, 0, 0.0f), 1);
    EXPECT_EQ(same.get(), source.get());
    auto completed =
        FormatTranslator::MakeAndApply(source, Format::FromBytes(0, 0xFE, kBig, 2, 0.0f), 1);
    EXPECT_EQ(completed.get(), source.get());
    // The third byte is never completed: a request without kBig converts.
    auto swapped =
        FormatTranslator::MakeAndApply(source, Format::FromBytes(0, 0xFF, 0, 0, 0.0f), 1);
    EXPECT_NE(swapped.get(), source.get());
    EXPECT_EQ(source->refCount(), 4);  // source, same, completed and the stage's upstream
    swapped = {};
    EXPECT_EQ(source->refCount(), 3);

    class Untagged final : public Stream::iOver, public Stream::Source {
    public:
        void seek(std::uint64_t) override {}
        Stream::Block read(slice<std::uint8_t> d, std::uint32_t) override {
            return {d.begin, d.end, Stream::Silence};
        }
    };
    EXPECT_THROW(FormatTranslator::MakeAndApply(Audio::Stream::Wrapper<Stream::iOver>(new Untagged),
                                                intFormat(2), 1),
                 std::invalid_argument);
}

TEST(TranslatorStage, ByteSwapStageAndSilencePastTheEnd) {
    // 32-bit signed to big-endian 32-bit, equal scale: every sample's bytes reversed.
    std::vector<std::uint8_t> data = {1, 2, 3, 4, 0xF0, 0xE0, 0xD0, 0x80};
    Audio::Stream::Wrapper<Stream::iOver> source(new MemorySource(data, intFormat(4, 1)));
    auto stage = FormatTranslator::MakeAndApply(source, intFormat(4, 1, kBig), 1);
    std::vector<std::uint8_t> buf(32 * stage->expansion, 0xCC);
    Stream::Block r = stage->read({buf.data(), 8}, static_cast<std::uint32_t>(buf.size()));
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin, r.end),
              (std::vector<std::uint8_t>{4, 3, 2, 1, 0x80, 0xD0, 0xE0, 0xF0}));
    // Past the end the source gives Silence, which passes through untouched.
    std::fill(buf.begin(), buf.end(), 0xCC);
    Stream::Block past = stage->read({buf.data(), 16}, static_cast<std::uint32_t>(buf.size()));
    EXPECT_EQ(past.kind, Stream::Silence);
    EXPECT_EQ(past.length(), 16u);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](std::uint8_t b) { return b == 0xCC; }));
}
