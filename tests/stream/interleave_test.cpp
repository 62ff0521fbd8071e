// De-interleaving and interleaving stages: byte layouts, silence, fields,
// length maps, seeking and the audio tag overloads.

#include "stream/Interleave.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "TestStreams.h"

using namespace Stream;
using TestStreams::LengthMode;
using TestStreams::MemoryOver;
using TestStreams::MemoryVOver;

namespace {

const std::uint32_t kSizes[] = {1, 2, 3, 4, 8};

// Channel buffers of `bytes` each, prefilled with `fill`.
struct Buffers {
    Buffers(std::uint32_t channels, std::size_t bytes, std::uint8_t fill = 0x77)
        : memory(channels, std::vector<std::uint8_t>(bytes, fill)), set(channels) {
        for (std::uint32_t i = 0; i < channels; ++i) set[i] = memory[i].data();
    }
    std::vector<std::vector<std::uint8_t>> memory;
    Channels set;
};

// Channel i of interleaved bytes: samples i, i + c, ...
std::vector<std::uint8_t> channelOf(const std::vector<std::uint8_t>& bytes, std::uint32_t c,
                                    std::uint32_t s, std::uint32_t i) {
    std::vector<std::uint8_t> out;
    for (std::size_t f = 0; (f + 1) * c * s <= bytes.size(); ++f)
        out.insert(out.end(), bytes.begin() + (f * c + i) * s, bytes.begin() + (f * c + i + 1) * s);
    return out;
}

}  // namespace

TEST(Over2VOver, SplitsTwoChannelsOfTwoByteSamples) {
    std::vector<std::uint8_t> in = {0xA0, 0xA1, 0xB0, 0xB1, 0xC0, 0xC1, 0xD0, 0xD1};
    Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(new MemoryOver(in)), 2, 2);
    Buffers out(2, 4);
    VBlock b = split->read(VSlice{&out.set, 0, 4}, 4);
    EXPECT_EQ(b.begin, 0u);
    EXPECT_EQ(b.end, 4u);
    EXPECT_EQ(b.silentMask, Stream::ChannelMask::low(0));
    EXPECT_EQ(b.zeroedMask, Stream::ChannelMask::low(0));
    EXPECT_EQ(out.memory[0], (std::vector<std::uint8_t>{0xA0, 0xA1, 0xC0, 0xC1}));
    EXPECT_EQ(out.memory[1], (std::vector<std::uint8_t>{0xB0, 0xB1, 0xD0, 0xD1}));
}

TEST(Over2VOver, EverySampleSizeAndChannelCountAtAnOffset) {
    for (std::uint32_t s : kSizes) {
        for (std::uint32_t c : {1u, 2u, 3u, 5u}) {
            const std::uint32_t frames = 37, offset = 3 * s;
            std::vector<std::uint8_t> in = TestStreams::randomBytes(frames * c * s, s * 10 + c);
            auto* src = new MemoryOver(in);
            Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(src), c, s);
            Buffers out(c, offset + frames * s + 5);
            VBlock b = split->read(VSlice{&out.set, offset, offset + frames * s}, 0);
            ASSERT_EQ(b.silentMask, Stream::ChannelMask::low(0));
            ASSERT_EQ(b.end - b.begin, frames * s);
            for (std::uint32_t i = 0; i < c; ++i) {
                std::vector<std::uint8_t> got(out.memory[i].begin() + offset,
                                              out.memory[i].begin() + offset + frames * s);
                EXPECT_EQ(got, channelOf(in, c, s, i)) << "size " << s << " channels " << c;
                EXPECT_EQ(out.memory[i][offset - 1], 0x77);  // nothing before the range
                EXPECT_EQ(out.memory[i][offset + frames * s], 0x77);
            }
            EXPECT_EQ(src->position, static_cast<std::int64_t>(frames * c * s));
        }
    }
}

TEST(Over2VOver, SilentInputWritesNothing) {
    for (bool zeros : {false, true}) {
        auto* src = new MemoryOver(std::vector<std::uint8_t>(64, 9), {{0, 64}});
        src->zerosKind = zeros;
        Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(src), 2, 4);
        Buffers out(2, 16);
        VBlock b = split->read(VSlice{&out.set, 0, 16}, 16);
        EXPECT_EQ(b.silentMask, kAllSilent);
        EXPECT_EQ(b.zeroedMask, Stream::ChannelMask::low(0));
        EXPECT_EQ(b.end, 16u);
        for (auto& m : out.memory) EXPECT_EQ(m, std::vector<std::uint8_t>(16, 0x77));
    }
}

TEST(VOver2Over, MergesWithSilentChannelsAsZeros) {
    for (std::uint32_t s : kSizes) {
        const std::uint32_t frames = 50, c = 3;
        std::vector<std::vector<std::uint8_t>> chans;
        for (std::uint32_t i = 0; i < c; ++i)
            chans.push_back(TestStreams::randomBytes(frames * s, s + i));
        // Channel 1 silent throughout.
        auto* src = new MemoryVOver(chans, {{}, {{0, frames * s}}, {}});
        Wrapper<iOver> merged = MakeVOver2Over(Wrapper<iVOver>(src), s);
        std::vector<std::uint8_t> out(frames * c * s + 4, 0x77);
        Block b = merged->read(slice<std::uint8_t>(out.data(), frames * c * s), 0);
        ASSERT_EQ(b.kind, Samples) << s;
        ASSERT_EQ(b.length(), frames * c * s);
        for (std::uint32_t f = 0; f < frames; ++f) {
            for (std::uint32_t i = 0; i < c; ++i) {
                const std::uint8_t* got = out.data() + (f * c + i) * s;
                for (std::uint32_t k = 0; k < s; ++k) {
                    std::uint8_t want = i == 1 ? 0 : chans[i][f * s + k];
                    ASSERT_EQ(got[k], want) << "size " << s << " frame " << f << " channel " << i;
                }
            }
        }
        EXPECT_EQ(out[frames * c * s], 0x77);
        EXPECT_EQ(src->position, static_cast<std::int64_t>(frames * s));
    }
}

TEST(VOver2Over, AllSilentChannelsGiveSilenceWithoutWriting) {
    for (bool zeroed : {false, true}) {
        std::vector<std::vector<std::uint8_t>> chans(2, std::vector<std::uint8_t>(64, 5));
        auto* src = new MemoryVOver(chans, {{{0, 64}}, {{0, 64}}});
        src->zeroedKind = zeroed;
        Wrapper<iOver> merged = MakeVOver2Over(Wrapper<iVOver>(src), 8);
        std::vector<std::uint8_t> out(64, 0x77);
        Block b = merged->read(slice<std::uint8_t>(out.data(), 64), 64);
        EXPECT_EQ(b.kind, Silence);
        EXPECT_EQ(b.length(), 64u);
        EXPECT_EQ(out, std::vector<std::uint8_t>(64, 0x77));
    }
}

TEST(VOver2Over, ChannelsFrom32OnAreAlwaysSamples) {
    // 33 channels, every source channel below 32 silent: channel 32 has no
    // mask bit, so the block is Samples with zeros for the others.
    const std::uint32_t c = 33;
    std::vector<std::vector<std::uint8_t>> chans(c, std::vector<std::uint8_t>(8, 1));
    chans[32].assign(8, 0x42);
    std::vector<TestStreams::Ranges> silent(c, TestStreams::Ranges{{0, 8}});
    silent[32].clear();
    Wrapper<iOver> merged = MakeVOver2Over(Wrapper<iVOver>(new MemoryVOver(chans, silent)), 2);
    std::vector<std::uint8_t> out(8 * c, 0x77);
    Block b = merged->read(slice<std::uint8_t>(out.data(), out.size()), 0);
    EXPECT_EQ(b.kind, Samples);
    for (std::uint32_t f = 0; f < 4; ++f)
        for (std::uint32_t i = 0; i < c; ++i)
            for (std::uint32_t k = 0; k < 2; ++k)
                ASSERT_EQ(out[(f * c + i) * 2 + k], i == 32 ? 0x42 : 0) << f << " " << i;
}

TEST(Interleave, RoundTripWithRandomRequestsAndExpansion) {
    std::mt19937 rng(77);
    for (std::uint32_t s : kSizes) {
        for (std::uint32_t c : {1u, 2u, 6u}) {
            const std::uint32_t frames = 3000;
            std::vector<std::uint8_t> in = TestStreams::randomBytes(frames * c * s, c * 100 + s);
            auto* src = new MemoryOver(in, {{c * s * 100, c * s * 900}});
            src->granularity = c * s;
            src->expansion = 3;
            Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(src), c, s);
            split->expansion = 1;
            Wrapper<iOver> merged = MakeVOver2Over(split, s);
            ASSERT_EQ(merged->granularity, c * s);

            std::vector<std::uint8_t> out;
            std::vector<std::uint8_t> buf;
            while (out.size() < in.size()) {
                std::uint32_t frameCount =
                    std::uniform_int_distribution<std::uint32_t>(1, 400)(rng);
                std::size_t n = std::min<std::size_t>(frameCount * c * s, in.size() - out.size());
                buf.assign(n, 0xEE);
                Block b =
                    merged->read(slice<std::uint8_t>(buf.data(), n), static_cast<std::uint32_t>(n));
                merged->position += static_cast<std::int64_t>(b.length());
                ASSERT_EQ(b.length(), n);
                if (b.kind == Silence) std::fill(buf.begin(), buf.end(), 0);
                out.insert(out.end(), buf.begin(), buf.end());
            }
            std::vector<std::uint8_t> want = in;
            TestStreams::zeroRanges(want, src->silent);
            ASSERT_EQ(out, want) << "size " << s << " channels " << c;
            EXPECT_EQ(merged->length, static_cast<std::int64_t>(in.size()));
            EXPECT_EQ(split->length, static_cast<std::int64_t>(frames * s));
        }
    }
}

TEST(Interleave, UnsupportedSampleSizesThrow) {
    for (std::uint32_t s : {0u, 5u, 6u, 7u, 16u}) {
        EXPECT_THROW(MakeOver2VOver(Wrapper<iOver>(new MemoryOver({})), 2, s), Wobbly) << s;
        std::vector<std::vector<std::uint8_t>> chans(2);
        EXPECT_THROW(MakeVOver2Over(Wrapper<iVOver>(new MemoryVOver(chans, {})), s), Wobbly) << s;
        Channels set(1);
        std::uint8_t byte = 0;
        set[0] = &byte;
        EXPECT_THROW(deinterleave(&byte, set, 0, 1, s, 1), Wobbly);
        EXPECT_THROW(interleave(&byte, set, 0, 1, s, 1, ChannelMask{}), Wobbly);
    }
    EXPECT_THROW(MakeOver2VOver(Wrapper<iOver>(new MemoryOver({})), 0, 2), Wobbly);
}

TEST(Interleave, FieldsLengthMapsAndSeeking) {
    auto* src = new MemoryOver(std::vector<std::uint8_t>(1200, 1), {}, LengthMode::OnFirstRead);
    src->granularity = 16;
    src->position = 96;
    src->cursor = 96;
    Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(src), 2, 8);
    EXPECT_EQ(split->granularity, 8u);
    EXPECT_EQ(split->channels, 2u);
    EXPECT_EQ(split->expansion, 1u);
    EXPECT_EQ(split->position, 48);
    EXPECT_EQ(split->length, -1);
    EXPECT_EQ(split->tagType, iStream::kNoTag);

    split->seek(40);
    EXPECT_EQ(src->seeks.back(), 80u);
    EXPECT_EQ(src->position, 80);
    split->position = 40;

    Wrapper<iOver> merged = MakeVOver2Over(split, 8);
    EXPECT_EQ(merged->granularity, 16u);
    EXPECT_EQ(merged->position, 80);
    merged->seek(160);
    EXPECT_EQ(src->seeks.back(), 160u);  // 160 / 2 per channel, 80 x 2 bytes
    EXPECT_EQ(split->position, 80);
    merged->position = 160;

    std::vector<std::uint8_t> buf(32);
    merged->read(slice<std::uint8_t>(buf.data(), 32), 32);
    EXPECT_EQ(split->length, 600);
    EXPECT_EQ(merged->length, 1200);
    EXPECT_EQ(src->position, 192);
}

TEST(Interleave, GranularityStaysWholeSamples) {
    // A byte-granular upstream must not give a zero or sub-sample unit.
    Wrapper<iVOver> split = MakeOver2VOver(Wrapper<iOver>(new MemoryOver({})), 2, 8);
    EXPECT_EQ(split->granularity, 8u);
    auto* src = new MemoryOver({});
    src->granularity = 6;  // 3 stereo 1-byte frames
    EXPECT_EQ(MakeOver2VOver(Wrapper<iOver>(src), 2, 1)->granularity, 3u);
    auto* vsrc = new MemoryVOver(std::vector<std::vector<std::uint8_t>>(3), {});
    EXPECT_EQ(MakeVOver2Over(Wrapper<iVOver>(vsrc), 4)->granularity, 12u);
}

TEST(ScratchBuffer, GrowsToPowersOfTwoAndNeverShrinks) {
    ScratchBuffer s;
    EXPECT_EQ(s.acquire(100).length(), 100u);
    EXPECT_EQ(s.capacity(), 128u);
    s.acquire(128);
    EXPECT_EQ(s.capacity(), 128u);
    s.acquire(129);
    EXPECT_EQ(s.capacity(), 256u);
    EXPECT_EQ(s.acquire(3).length(), 3u);
    EXPECT_EQ(s.capacity(), 256u);
}
