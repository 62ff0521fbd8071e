// Pull adaptors: ring sizing, virtual silence, seeking, and byte-exact
// reading under random request sizes, seeks and silence.

#include "stream/Adapt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "TestStreams.h"

using namespace Stream;
using TestStreams::LengthMode;
using TestStreams::MemoryOver;
using TestStreams::MemoryVOver;
using TestStreams::Ranges;

namespace {

Wrapper<iUnder> adapt(MemoryOver* src) {
    return Wrapper<iUnder>(__adapt<iUnder>::from(Wrapper<iOver>(src)));
}

Wrapper<iVUnder> adapt(MemoryVOver* src) {
    return Wrapper<iVUnder>(__adapt<iVUnder>::from(Wrapper<iVOver>(src)));
}

const UnderAdaptor& adaptor(const Wrapper<iUnder>& u) {
    return dynamic_cast<const UnderAdaptor&>(*u);
}
const VUnderAdaptor& adaptor(const Wrapper<iVUnder>& u) {
    return dynamic_cast<const VUnderAdaptor&>(*u);
}

Ranges randomRanges(std::mt19937& rng, std::uint64_t size, int count) {
    Ranges r;
    for (int i = 0; i < count; ++i) {
        std::uint64_t a = std::uniform_int_distribution<std::uint64_t>(0, size)(rng);
        std::uint64_t n = std::uniform_int_distribution<std::uint64_t>(0, 60000)(rng);
        r.push_back({a, std::min(size, a + n)});
    }
    return r;
}

// Request sizes mixing small, medium and large.
std::uint32_t randomRequest(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0:
            return std::uniform_int_distribution<std::uint32_t>(0, 64)(rng);
        case 1:
            return std::uniform_int_distribution<std::uint32_t>(1, 4096)(rng);
        case 2:
            return 16384;
        default:
            return std::uniform_int_distribution<std::uint32_t>(1, 70000)(rng);
    }
}

}  // namespace

TEST(UnderAdaptor, StartsEmptyAndCopiesTheUpstream) {
    auto* src = new MemoryOver(std::vector<std::uint8_t>(100, 1));
    src->granularity = 4;
    src->position = 40;
    src->cursor = 40;
    src->setTag(std::uint64_t{0x1234});
    iUnder* raw = __adapt<iUnder>::from(Wrapper<iOver>(src));
    EXPECT_EQ(raw->refCount(), 0);
    Wrapper<iUnder> u(raw);
    EXPECT_EQ(u->position, 40);
    EXPECT_EQ(u->length, -1);
    EXPECT_EQ(u->getTag<std::uint64_t>(), 0x1234u);
    EXPECT_EQ(adaptor(u).unit(), 4u);
    EXPECT_EQ(adaptor(u).ring().size(), 8u);
    EXPECT_EQ(src->refCount(), 1);
}

TEST(UnderAdaptor, RingSizeAfterFirstPeekOverExpansionFour) {
    auto* src = new MemoryOver(std::vector<std::uint8_t>(100000, 3));
    src->expansion = 4;
    Wrapper<iUnder> u = adapt(src);
    Block b = u->peek(16384);
    EXPECT_EQ(adaptor(u).ring().size(), 262152u);
    EXPECT_EQ(b.length(), 16384u);
    ASSERT_EQ(src->requests.size(), 1u);
    EXPECT_EQ(src->requests[0], 16384u);
    EXPECT_EQ(u->length, 100000);  // learned through the read
    EXPECT_EQ(src->position, 16384);
}

TEST(UnderAdaptor, SilenceIsWrittenOnlyWhenSamplesFollow) {
    std::vector<std::uint8_t> data = TestStreams::randomBytes(40000, 5);
    auto* src = new MemoryOver(data, {{0, 8192}});
    Wrapper<iUnder> u = adapt(src);

    Block s = u->peek(8192);
    EXPECT_EQ(s.kind, Silence);
    EXPECT_EQ(s.begin, nullptr);
    EXPECT_EQ(s.length(), 8192u);
    const RingBuffer& ring = adaptor(u).ring();
    EXPECT_EQ(ring.silence(), 8192u);
    // The source left garbage in the bytes it called silent; still there.
    EXPECT_EQ(ring.begin()[0], TestStreams::kGarbage);
    EXPECT_EQ(ring.begin()[8191], TestStreams::kGarbage);

    Block b = u->peek(16384);
    ASSERT_EQ(b.kind, Samples);
    ASSERT_GE(b.length(), 16384u);
    EXPECT_EQ(b.begin, ring.begin());
    for (std::uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(b.begin[i], 0) << i;
    EXPECT_EQ(std::memcmp(b.begin + 8192, data.data() + 8192, 8192), 0);
    EXPECT_EQ(ring.silence(), 0u);
}

TEST(UnderAdaptor, SeekInsideAnUpstreamUnit) {
    std::vector<std::uint8_t> data = TestStreams::randomBytes(1000, 6);
    auto* src = new MemoryOver(data);
    src->granularity = 4;
    Wrapper<iUnder> u = adapt(src);
    u->peek(100);
    u->consume(50);
    u->position = 50;

    u->seek(10);
    u->position = 10;
    EXPECT_EQ(src->seeks.back(), 8u);
    Block b = u->peek(20);
    ASSERT_GE(b.length(), 20u);
    EXPECT_EQ(std::memcmp(b.begin, data.data() + 10, 20), 0);
    EXPECT_EQ(src->position, static_cast<std::int64_t>(src->cursor));
}

TEST(UnderAdaptor, SmallRequestsOverALargeUnit) {
    // One upstream unit lends more than 4 x expansion x the largest
    // request: the ring must still hold the whole read.
    std::vector<std::uint8_t> data = TestStreams::randomBytes(20000, 8);
    auto* src = new MemoryOver(data);
    src->granularity = 4096;
    src->expansion = 2;
    Wrapper<iUnder> u = adapt(src);
    for (std::uint32_t pos = 0; pos < 12000; ++pos) {
        Block b = u->peek(1);
        ASSERT_GE(b.length(), 1u);
        ASSERT_EQ(b.begin[0], data[pos]) << pos;
        u->consume(1);
        u->position += 1;
    }
    EXPECT_GE(adaptor(u).ring().size(), 2u * 4096 + 1);
    EXPECT_EQ(src->requests, (std::vector<std::uint64_t>{4096, 4096, 4096}));
}

TEST(UnderAdaptor, RejectsRequestsBeyondARing) {
    auto* src = new MemoryOver(std::vector<std::uint8_t>(10, 1));
    src->expansion = 4;
    Wrapper<iUnder> u = adapt(src);
    EXPECT_THROW(u->peek(0x40000000u), Wobbly);
    EXPECT_THROW(u->consume(1), Wobbly);  // nothing was peeked
}

// Reads through the adaptor with random peek/consume sizes and seeks over a
// source with random silent stretches, comparing every byte with the
// source; each peek must give at least what was asked for.
TEST(UnderAdaptor, RandomRequestsReadTheSourceExactly) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        const std::uint32_t grans[] = {1, 4, 6, 4096};
        const std::uint64_t size = 200000 + rng() % 100000;
        auto* src = new MemoryOver(TestStreams::randomBytes(size, seed), randomRanges(rng, size, 6),
                                   static_cast<LengthMode>(rng() % 3));
        src->granularity = grans[rng() % 4];
        src->expansion = 1 + rng() % 4;
        src->zerosKind = rng() % 4 == 0;
        const std::vector<std::uint8_t>& ref = src->data;
        Wrapper<iUnder> u = adapt(src);

        std::uint32_t largestRing = 0;
        for (int step = 0; step < 600 && static_cast<std::uint64_t>(u->position) < size; ++step) {
            if (rng() % 40 == 0) {
                std::uint64_t p = std::uniform_int_distribution<std::uint64_t>(0, size - 1)(rng);
                u->seek(p);
                u->position = static_cast<std::int64_t>(p);
            }
            const std::uint64_t pos = static_cast<std::uint64_t>(u->position);
            const std::uint32_t want = randomRequest(rng);
            Block b = u->peek(want);
            ASSERT_GE(b.length(), want) << "seed " << seed << " step " << step;
            const std::uint64_t check = std::min<std::uint64_t>(b.length(), size - pos);
            if (b.kind == Silence) {
                for (std::uint64_t i = 0; i < check; ++i)
                    ASSERT_EQ(ref[pos + i], 0)
                        << "seed " << seed << " step " << step << " at " << pos + i;
            } else {
                ASSERT_NE(b.begin, nullptr);
                for (std::uint64_t i = 0; i < check; ++i)
                    ASSERT_EQ(b.begin[i], ref[pos + i])
                        << "seed " << seed << " step " << step << " at " << pos + i;
                for (std::uint64_t i = check; i < b.length(); ++i) ASSERT_EQ(b.begin[i], 0);
            }
            const std::uint32_t take = std::uniform_int_distribution<std::uint32_t>(
                0, static_cast<std::uint32_t>(b.length()))(rng);
            u->consume(take);
            u->position += take;
            const std::uint32_t ringSize = adaptor(u).ring().size();
            ASSERT_GE(ringSize, largestRing);  // grows, never shrinks
            largestRing = ringSize;
        }
        EXPECT_EQ(u->length, static_cast<std::int64_t>(size)) << seed;
    }
}

TEST(VUnderAdaptor, RandomRequestsReadEveryChannelExactly) {
    // Odd seeds put a lead of silence before the upstream's content.
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
        std::mt19937 rng(seed * 31);
        const std::uint32_t c = seed == 8 ? 34 : 1 + rng() % 4;
        const std::uint32_t lead = seed % 2 ? 8 * (seed * 97 % 700) : 0;
        const std::uint64_t upstreamSize = c > 8 ? 30000 : 150000 + rng() % 50000;
        const std::uint64_t size = lead + upstreamSize;
        std::vector<std::vector<std::uint8_t>> data;
        std::vector<Ranges> silent;
        for (std::uint32_t i = 0; i < c; ++i) {
            data.push_back(TestStreams::randomBytes(upstreamSize, seed * 100 + i));
            silent.push_back(randomRanges(rng, upstreamSize, 5));
        }
        if (c > 32) silent[33] = {{0, upstreamSize}};  // no mask bit: delivered as zero bytes
        auto* src = new MemoryVOver(data, silent, static_cast<LengthMode>(rng() % 3));
        src->granularity = seed % 2 ? 8 : 1;
        src->expansion = 1 + rng() % 3;
        src->zeroedKind = seed % 3 == 0;
        std::vector<std::vector<std::uint8_t>> ref = src->data;
        for (auto& r : ref) r.insert(r.begin(), lead, 0);
        Wrapper<iVUnder> u =
            lead ? Wrapper<iVUnder>(new VUnderAdaptor(Wrapper<iVOver>(src), lead)) : adapt(src);
        EXPECT_EQ(u->channels, c);

        Channels set(c);
        for (int step = 0; step < 400 && static_cast<std::uint64_t>(u->position) < size; ++step) {
            if (rng() % 40 == 0) {
                std::uint64_t p = std::uniform_int_distribution<std::uint64_t>(0, size - 1)(rng);
                u->seek(p);
                u->position = static_cast<std::int64_t>(p);
            }
            const std::uint64_t pos = static_cast<std::uint64_t>(u->position);
            const std::uint32_t want = randomRequest(rng);
            VBlock b = u->peek(want, set);
            ASSERT_EQ(b.channels, &set);
            ASSERT_EQ(b.begin, 0u);
            ASSERT_GE(b.length(), want) << "seed " << seed << " step " << step;
            EXPECT_EQ(b.zeroedMask, Stream::ChannelMask::low(0));
            const std::uint64_t check = std::min<std::uint64_t>(b.length(), size - pos);
            for (std::uint32_t i = 0; i < c; ++i) {
                const bool quiet = b.silentMask.test(i);
                ASSERT_NE(set[i], nullptr);
                for (std::uint64_t k = 0; k < check; ++k) {
                    std::uint8_t got = quiet ? 0 : set[i][k];
                    ASSERT_EQ(got, ref[i][pos + k]) << "seed " << seed << " step " << step
                                                    << " channel " << i << " at " << pos + k;
                }
            }
            const std::uint32_t take =
                std::uniform_int_distribution<std::uint32_t>(0, b.length())(rng);
            u->consume(take);
            u->position += take;
        }
        EXPECT_EQ(u->length, static_cast<std::int64_t>(size)) << seed;
    }
}

TEST(VUnderAdaptor, SilentChannelKeepsItsBitAndRingSize) {
    std::vector<std::vector<std::uint8_t>> data = {TestStreams::randomBytes(50000, 1),
                                                   TestStreams::randomBytes(50000, 2)};
    auto* src = new MemoryVOver(data, {{}, {{0, 50000}}});
    src->expansion = 4;
    Wrapper<iVUnder> u = adapt(src);
    Channels set(2);
    VBlock b = u->peek(16384, set);
    EXPECT_EQ(b.silentMask, Stream::ChannelMask::low(2));
    EXPECT_EQ(b.length(), 16384u);
    EXPECT_EQ(std::memcmp(set[0], data[0].data(), 16384), 0);
    EXPECT_EQ(adaptor(u).ring(0).size(), 262152u);
    EXPECT_EQ(adaptor(u).ring(1).size(), 262152u);
    EXPECT_EQ(adaptor(u).ring(1).silence(), 16384u);
    EXPECT_EQ(adaptor(u).ring(1).begin()[0], TestStreams::kGarbage);  // never written

    Channels wrong(3);
    EXPECT_THROW(u->peek(10, wrong), Wobbly);
}

// A consumer that takes most of each peek: every read lands at the rings' start, in memory
// the caches still hold, rather than cycling through rings of many reads.
TEST(VUnderAdaptor, ReadsLandAtTheRingsStart) {
    std::vector<std::vector<std::uint8_t>> data = {TestStreams::randomBytes(400000, 7),
                                                   TestStreams::randomBytes(400000, 8)};
    auto* src = new MemoryVOver(data, {});
    src->expansion = 4;
    Wrapper<iVUnder> u = adapt(src);
    Channels set(2);
    std::size_t consumed = 0;
    for (int round = 0; round < 20; ++round) {
        u->peek(16384, set);
        for (std::uint32_t c = 0; c < 2; ++c) {
            EXPECT_EQ(set[c], adaptor(u).ring(c).begin()) << round;
            EXPECT_EQ(std::memcmp(set[c], data[c].data() + consumed, 16384), 0) << round;
        }
        u->consume(16000);
        consumed += 16000;
    }
}

TEST(VUnderAdaptor, SeekInsideAnUpstreamUnit) {
    std::vector<std::vector<std::uint8_t>> data = {TestStreams::randomBytes(4000, 3),
                                                   TestStreams::randomBytes(4000, 4)};
    auto* src = new MemoryVOver(data, {});
    src->granularity = 16;
    Wrapper<iVUnder> u = adapt(src);
    u->seek(100);
    u->position = 100;
    EXPECT_EQ(src->seeks.back(), 96u);
    Channels set(2);
    VBlock b = u->peek(8, set);
    ASSERT_GE(b.length(), 8u);
    EXPECT_EQ(std::memcmp(set[0], data[0].data() + 100, 8), 0);
    EXPECT_EQ(std::memcmp(set[1], data[1].data() + 100, 8), 0);
}
