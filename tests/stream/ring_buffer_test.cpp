// Ring buffer of the pull adaptors: sizes, virtual silence, wrap-around.

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "stream/RingBuffer.h"

using Stream::RingBuffer;

namespace {

// Writes `bytes` at writePos (must fit contiguously) and commits them.
void put(RingBuffer& r, const std::vector<std::uint8_t>& bytes) {
    ASSERT_LE(bytes.size(), r.writableContiguous());
    std::memcpy(r.writePos(), bytes.data(), bytes.size());
    r.commit(static_cast<std::uint32_t>(bytes.size()), false);
}

// All committed bytes, read through readable() (which may realize silence).
std::vector<std::uint8_t> contents(RingBuffer& r) {
    RingBuffer::Readable rd = r.readable();
    std::vector<std::uint8_t> out;
    if (rd.first.kind == Stream::Silence) {
        out.assign(rd.first.length(), 0);
        return out;
    }
    out.assign(rd.first.begin, rd.first.end);
    out.insert(out.end(), rd.second.begin, rd.second.end);
    return out;
}

}  // namespace

TEST(RingBuffer, ReserveRoundsDownToEightAndAddsEight) {
    RingBuffer r;
    EXPECT_EQ(r.size(), 8u);
    EXPECT_EQ(r.readPos(), r.begin());
    r.reserve(65536, true);
    EXPECT_EQ(r.size(), 65544u);
    r.reserve(65530, true);
    EXPECT_EQ(r.size(), 65536u);
    EXPECT_EQ(r.end() - r.begin(), 65536);
    EXPECT_EQ(r.space(), 65535u);
    EXPECT_THROW(r.reserve(std::uint64_t{1} << 32, true), Wobbly);
}

TEST(RingBuffer, SilenceStaysVirtualUntilContentFollows) {
    RingBuffer r;
    r.reserve(65536, true);
    std::memset(r.begin(), 0xAA, r.size());
    r.commit(8192, true);
    EXPECT_EQ(r.silence(), 8192u);
    EXPECT_EQ(r.content(), 0u);

    RingBuffer::Readable rd = r.readable();
    EXPECT_EQ(rd.first.kind, Stream::Silence);
    EXPECT_EQ(rd.first.begin, nullptr);
    EXPECT_EQ(rd.first.length(), 8192u);
    for (std::uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(r.begin()[i], 0xAA) << i;

    put(r, std::vector<std::uint8_t>(8192, 0x11));
    for (std::uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(r.begin()[i], 0) << i;
    rd = r.readable();
    ASSERT_EQ(rd.first.kind, Stream::Samples);
    ASSERT_EQ(rd.first.length(), 16384u);
    EXPECT_EQ(rd.first.begin, r.begin());
    EXPECT_EQ(rd.first.begin[8191], 0);
    EXPECT_EQ(rd.first.begin[8192], 0x11);
}

TEST(RingBuffer, ReadingPastContentRealizesOnlyWhatIsAsked) {
    RingBuffer r;
    r.reserve(1000, true);
    std::memset(r.begin(), 0xAA, r.size());
    put(r, {1, 2, 3});
    r.commit(100, true);
    RingBuffer::Readable rd = r.readable(10);
    ASSERT_EQ(rd.first.length(), 10u);
    EXPECT_EQ(rd.first.kind, Stream::Samples);
    EXPECT_EQ(r.content(), 10u);
    EXPECT_EQ(r.silence(), 93u);
    EXPECT_EQ(r.begin()[9], 0);
    EXPECT_EQ(r.begin()[10], 0xAA);

    // Consuming the content leaves the rest of the silence virtual, rotated
    // to the start of the memory.
    r.consume(10);
    EXPECT_EQ(r.readPos(), r.begin());
    EXPECT_EQ(r.silence(), 93u);
    EXPECT_EQ(r.readable(50).first.begin, nullptr);
}

TEST(RingBuffer, ConsumeRotatesWhenContentRunsOut) {
    RingBuffer r;
    r.reserve(64, true);
    put(r, std::vector<std::uint8_t>(40, 7));
    r.consume(30);
    EXPECT_EQ(r.readPos(), r.begin() + 30);
    r.commit(5, true);
    r.consume(12);  // all content and 2 bytes of silence
    EXPECT_EQ(r.readPos(), r.begin());
    EXPECT_EQ(r.dataEnd(), r.begin());
    EXPECT_EQ(r.silence(), 3u);
    r.consume(3);
    EXPECT_EQ(r.used(), 0u);
    EXPECT_EQ(r.writePos(), r.begin());
}

TEST(RingBuffer, ReserveKeepsWrappedContentAndVirtualSilence) {
    RingBuffer r;
    r.reserve(64, true);  // 72 bytes
    std::vector<std::uint8_t> a(60), b(20);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(i + 1);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(100 + i);
    put(r, a);
    r.consume(50);  // readPos at 50, 10 bytes of content
    put(r, std::vector<std::uint8_t>(b.begin(), b.begin() + 12));  // up to the end
    put(r, std::vector<std::uint8_t>(b.begin() + 12, b.end()));    // wrapped
    r.commit(30, true);
    ASSERT_LT(r.dataEnd(), r.readPos());
    EXPECT_EQ(r.content(), 30u);

    r.reserve(200, false);
    EXPECT_EQ(r.size(), 208u);
    EXPECT_EQ(r.readPos(), r.begin());
    EXPECT_EQ(r.content(), 30u);
    EXPECT_EQ(r.silence(), 30u);
    std::vector<std::uint8_t> want(a.begin() + 50, a.end());
    want.insert(want.end(), b.begin(), b.end());
    want.resize(60, 0);
    EXPECT_EQ(contents(r), want);

    EXPECT_THROW(r.reserve(40, false), Wobbly);  // would drop committed bytes
    EXPECT_EQ(r.size(), 208u);
}

TEST(RingBuffer, LinearizeMovesWrappedContentToBegin) {
    // In place (the gap before readPos holds the wrapped part) and by a
    // fresh allocation (it does not).
    for (std::uint32_t consumed : {55u, 20u}) {
        RingBuffer r;
        r.reserve(64, true);  // 72 bytes
        std::vector<std::uint8_t> all(72 + 20);
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i * 7 + 3);
        put(r, std::vector<std::uint8_t>(all.begin(), all.begin() + 60));
        r.consume(consumed);
        put(r, std::vector<std::uint8_t>(all.begin() + 60, all.begin() + 72));
        const std::uint32_t wrapped = 10;
        put(r, std::vector<std::uint8_t>(all.begin() + 72, all.begin() + 72 + wrapped));
        r.commit(3, true);
        ASSERT_LT(r.dataEnd(), r.readPos());
        std::uint32_t content = r.content();

        r.linearize();
        EXPECT_EQ(r.readPos(), r.begin()) << consumed;
        EXPECT_EQ(r.content(), content);
        EXPECT_EQ(r.silence(), 3u);
        std::vector<std::uint8_t> want(all.begin() + consumed, all.begin() + 72 + wrapped);
        want.insert(want.end(), 3, 0);
        EXPECT_EQ(contents(r), want) << consumed;
    }
}

TEST(RingBuffer, RejectsOverCommitAndOverConsume) {
    RingBuffer r;
    r.reserve(16, true);  // 24 bytes, 23 usable
    EXPECT_THROW(r.commit(24, true), Wobbly);
    r.commit(23, true);
    EXPECT_EQ(r.space(), 0u);
    EXPECT_THROW(r.consume(24), Wobbly);
    r.consume(23);
    EXPECT_EQ(r.used(), 0u);
}

// Random operations against a plain queue of (byte, silent) entries.
TEST(RingBuffer, RandomOperationsMatchAQueue) {
    std::mt19937 rng(20240611);
    RingBuffer r;
    r.reserve(1000, true);
    std::deque<std::pair<std::uint8_t, bool>> model;
    std::uint8_t next = 1;
    auto pick = [&](std::uint32_t hi) {
        return hi == 0 ? 0u : std::uniform_int_distribution<std::uint32_t>(0, hi)(rng);
    };
    for (int step = 0; step < 20000; ++step) {
        switch (pick(5)) {
            case 0: {  // content
                std::uint32_t n = pick(std::min<std::uint32_t>(r.writableContiguous(), 300));
                for (std::uint32_t i = 0; i < n; ++i) {
                    r.writePos()[i] = next;
                    model.push_back({next++, false});
                }
                for (auto& e : model) e.second = false;  // pending silence became zeros
                r.commit(n, false);
                break;
            }
            case 1: {  // silence
                std::uint32_t n = pick(std::min<std::uint32_t>(r.space(), 300));
                r.commit(n, true);
                for (std::uint32_t i = 0; i < n; ++i) model.push_back({0, true});
                break;
            }
            case 2: {  // read a prefix and check it
                std::uint32_t n = pick(static_cast<std::uint32_t>(model.size()) + 10);
                RingBuffer::Readable rd = r.readable(step % 3 ? n : RingBuffer::kAll);
                std::uint32_t asked = step % 3 ? n : static_cast<std::uint32_t>(model.size());
                if (rd.first.kind == Stream::Silence && rd.first.length() > 0) {
                    ASSERT_EQ(rd.first.begin, nullptr);
                    ASSERT_EQ(rd.first.length(), asked);
                    for (std::uint32_t i = 0; i < asked; ++i) ASSERT_TRUE(model[i].second);
                    break;
                }
                std::uint32_t got =
                    static_cast<std::uint32_t>(rd.first.length() + rd.second.length());
                ASSERT_EQ(got,
                          std::min<std::uint32_t>(asked, static_cast<std::uint32_t>(model.size())));
                for (std::uint32_t i = 0; i < got; ++i) {
                    std::uint8_t b = i < rd.first.length() ? rd.first.begin[i]
                                                           : rd.second.begin[i - rd.first.length()];
                    ASSERT_EQ(b, model[i].first) << "step " << step << " byte " << i;
                    model[i].second = false;
                }
                break;
            }
            case 3: {  // consume
                std::uint32_t n = pick(static_cast<std::uint32_t>(model.size()));
                r.consume(n);
                model.erase(model.begin(), model.begin() + n);
                break;
            }
            case 4:
                if (pick(8) == 0) {  // rarely, so that content often wraps
                    r.linearize();
                    ASSERT_EQ(r.readPos(), r.begin());
                }
                break;
            case 5:
                if (r.size() < 4000) r.reserve(r.size() + pick(500), false);
                break;
        }
        ASSERT_EQ(r.used(), model.size()) << "step " << step;
        std::uint32_t pending = 0;
        for (auto it = model.rbegin(); it != model.rend() && it->second; ++it) ++pending;
        ASSERT_EQ(r.silence(), pending) << "step " << step;
    }
}
