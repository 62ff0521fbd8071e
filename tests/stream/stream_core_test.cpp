// Stream core: counted handles, length inheritance, joins, visiting,
// re-blocking, crop, pad and shift.

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "stream/Crop.h"
#include "stream/Reblock.h"
#include "stream/Stream.h"

using namespace Stream;

namespace {

// Byte source over memory. Reads past the data are Silence; the length is
// known from the start unless `hideLength`.
class MemSource final : public iOver, public Source {
public:
    explicit MemSource(std::vector<std::uint8_t> d, std::uint32_t gran = 1, bool hideLength = false)
        : data(std::move(d)), hide(hideLength) {
        granularity = gran;
        if (!hide) length = static_cast<std::int64_t>(data.size());
    }
    ~MemSource() override {
        if (destroyed) destroyed->push_back(0);
    }

    void seek(std::uint64_t p) override {
        seeks.push_back(p);
        cursor = p;
    }
    Block read(slice<std::uint8_t> dest, std::uint32_t) override {
        reads.push_back(dest.length());
        std::size_t have = cursor < data.size() ? std::min(dest.length(), data.size() - cursor) : 0;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(cursor, data.size())),
                    have, dest.begin);
        cursor += dest.length();
        Block a{dest.begin, dest.begin + have, have ? Samples : Silence};
        Block b{dest.begin + have, dest.end, Silence};
        if (hide && have < dest.length()) length = static_cast<std::int64_t>(data.size());
        return join(a, b);
    }

    std::vector<std::uint8_t> data;
    bool hide;
    std::uint64_t cursor = 0;
    std::vector<std::uint64_t> seeks;
    std::vector<std::size_t> reads;
    std::vector<int>* destroyed = nullptr;
};

// Pass-through stage that records its destruction order.
class Tap final : public iOver, public Consumer<Wrapper<iOver>> {
public:
    Tap(Wrapper<iOver> up, int id, std::vector<int>* log) : Consumer(std::move(up)), id_(id), log_(log) {
        granularity = upstream->granularity;
        position = upstream->position;
    }
    ~Tap() override { log_->push_back(id_); }
    void seek(std::uint64_t p) override { upstream->seek(p), upstream->position = std::int64_t(p); }
    Block read(slice<std::uint8_t> d, std::uint32_t c) override {
        Block b = upstream->read(d, c);
        advance(*upstream, b);
        inheritLength(*upstream);
        return b;
    }

private:
    int id_;
    std::vector<int>* log_;
};

std::vector<std::uint8_t> iota(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return v;
}

// Reads `total` bytes in requests of `step` (a multiple of granularity),
// keeping the position as a reader must.
std::vector<std::uint8_t> readAll(iOver& s, std::size_t total, std::size_t step) {
    std::vector<std::uint8_t> out(total), buf(step * std::max(s.expansion, 1u));
    for (std::size_t got = 0; got < total; got += step) {
        Block b = s.read({buf.data(), step}, static_cast<std::uint32_t>(buf.size()));
        EXPECT_EQ(b.length(), step);
        s.position += static_cast<std::int64_t>(b.length());
        std::size_t n = std::min(step, total - got);
        if (b.kind == Silence)
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(got), n, std::uint8_t{0xEE});
        else
            std::copy_n(b.begin, n, out.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return out;
}

}  // namespace

TEST(StreamCore, CountsAndTeardownOrder) {
    std::vector<int> log;
    auto* src = new MemSource(iota(16));
    src->destroyed = &log;
    EXPECT_EQ(src->refCount(), 0);
    {
        Wrapper<iOver> s(src);
        EXPECT_EQ(src->refCount(), 1);
        auto* a = new Tap(s, 1, &log);
        EXPECT_EQ(a->refCount(), 0);
        Wrapper<iOver> ha(a);
        EXPECT_EQ(src->refCount(), 2);  // s and the stage
        s.reset();
        EXPECT_EQ(src->refCount(), 1);
        Wrapper<iOver> hb(new Tap(std::move(ha), 2, &log));
        EXPECT_EQ(a->refCount(), 1);
        EXPECT_TRUE(log.empty());
    }
    EXPECT_EQ(log, (std::vector<int>{2, 1, 0}));
}

TEST(StreamCore, InheritLengthKeepsFirstKnownValue) {
    MemSource up(iota(4), 1, true);
    MemSource t({}, 1, true);
    auto minus200 = [](std::int64_t l) { return l - 200; };
    t.inheritLength(up, minus200);
    EXPECT_EQ(t.length, -1);
    up.length = 1000;
    t.inheritLength(up, minus200);
    EXPECT_EQ(t.length, 800);
    up.length = 2000;
    t.inheritLength(up, minus200);
    EXPECT_EQ(t.length, 800);
    MemSource u({}, 1, true);
    up.length = 100;
    u.inheritLength(up, minus200);  // negative results are not stored
    EXPECT_EQ(u.length, -1);
}

TEST(StreamCore, ByteJoinWritesZerosOnlyWhereNeeded) {
    std::uint8_t buf[16];
    std::fill(std::begin(buf), std::end(buf), 0xAB);
    Block r = join({buf, buf + 10, Silence}, {buf + 10, buf + 16, Samples});
    EXPECT_EQ(r.kind, Samples);
    EXPECT_EQ(r.length(), 16u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(buf[i], 0);
    EXPECT_EQ(buf[10], 0xAB);

    std::fill(std::begin(buf), std::end(buf), 0xAB);
    r = join({buf, buf + 8, Silence}, {buf + 8, buf + 16, Silence});
    EXPECT_EQ(r.kind, Silence);
    EXPECT_EQ(buf[0], 0xAB);

    r = join({buf, buf, Silence}, {buf, buf, Samples});
    EXPECT_EQ(r.kind, Silence);  // empty is always Silence

    r = join({buf, buf + 4, Zeros}, {buf + 4, buf + 8, Silence});
    EXPECT_EQ(r.kind, Zeros);
    EXPECT_EQ(buf[5], 0);
    r = join({buf, buf + 4, Samples}, {buf + 4, buf + 8, Zeros});
    EXPECT_EQ(r.kind, Samples);
}

TEST(StreamCore, ChannelJoinZeroesOnlyTheMixedChannel) {
    std::uint8_t c0[8], c1[8];
    std::fill(std::begin(c0), std::end(c0), 0xAB);
    std::fill(std::begin(c1), std::end(c1), 0xAB);
    Channels set(2);
    set[0] = c0;
    set[1] = c1;
    // channel 0: silent then samples; channel 1: silent in both parts
    VBlock a{&set, 0, 4, ChannelMask::low(0b11), {}};
    VBlock b{&set, 4, 8, ChannelMask::low(0b10), {}};
    VBlock r = join(a, b);
    EXPECT_EQ(r.begin, 0u);
    EXPECT_EQ(r.end, 8u);
    EXPECT_EQ(r.silentMask, Stream::ChannelMask::low(0b10));
    EXPECT_EQ(r.zeroedMask, Stream::ChannelMask::low(0));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c0[i], 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(c1[i], 0xAB);
}

TEST(StreamCore, VisitWalksUpstreamNearestFirst) {
    std::vector<int> log;
    Wrapper<iOver> src(new MemSource(iota(4)));
    Wrapper<iOver> a(new Tap(src, 1, &log));
    Wrapper<iOver> b(new Tap(a, 2, &log));
    std::vector<std::pair<int, iStream*>> seen;
    bool r = b->visit([&](int d, iStream* s) { return seen.emplace_back(d, s), false; }, 0);
    EXPECT_FALSE(r);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, 0);
    EXPECT_EQ(seen[0].second, static_cast<iStream*>(a.get()));
    EXPECT_EQ(seen[1].first, 1);
    EXPECT_EQ(seen[1].second, static_cast<iStream*>(src.get()));
    int calls = 0;
    EXPECT_TRUE(b->visit([&](int, iStream*) { return ++calls, true; }, 0));
    EXPECT_EQ(calls, 1);
}

TEST(Reblock, MultipleOfGranularityReturnsSameStream) {
    auto* src = new MemSource(iota(64), 4);
    Wrapper<iOver> s(src);
    Wrapper<iOver> r = reblock(s, 8);
    EXPECT_EQ(r.get(), s.get());
    EXPECT_EQ(src->granularity, 8u);
}

TEST(Reblock, SplitsUpstreamBlocks) {
    auto* src = new MemSource(iota(64), 4);
    Wrapper<iOver> r = reblock(Wrapper<iOver>(src), 6);
    ASSERT_NE(static_cast<iOver*>(r.get()), static_cast<iOver*>(src));
    EXPECT_EQ(r->granularity, 6u);
    std::uint8_t buf[6];
    Block b = r->read({buf, 6}, 6);
    r->position += 6;
    EXPECT_EQ(b.kind, Samples);
    EXPECT_EQ(src->reads, (std::vector<std::size_t>{4, 4}));  // one block in place, one buffered
    std::vector<std::uint8_t> want = iota(64);
    EXPECT_TRUE(std::equal(buf, buf + 6, want.begin()));
    b = r->read({buf, 6}, 6);
    EXPECT_TRUE(std::equal(buf, buf + 6, want.begin() + 6));  // starts with the 2 held bytes
    EXPECT_EQ(src->reads.size(), 3u);

    r->seek(10);
    EXPECT_EQ(src->seeks.back(), 8u);
    EXPECT_EQ(src->position, 12);  // refilled one block of 4
    b = r->read({buf, 6}, 6);
    EXPECT_TRUE(std::equal(buf, buf + 6, want.begin() + 10));
}

TEST(Reblock, RandomRequestsMatchSource) {
    std::vector<std::uint8_t> data = iota(5000);
    for (std::uint32_t G : {3u, 4u, 7u, 64u}) {
        for (std::uint32_t unit : {1u, 2u, 5u, 6u}) {
            if (unit % G == 0) continue;
            Wrapper<iOver> r = reblock(Wrapper<iOver>(new MemSource(data, G)), unit);
            std::vector<std::uint8_t> got = readAll(*r, 4000, unit * 37);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << G << " " << unit;
        }
    }
}

TEST(Crop, WindowIsReblockedAndLengthKnownAtOnce) {
    std::vector<std::uint8_t> data = iota(1000);
    auto* src = new MemSource(data, 4);
    Wrapper<iOver> c = crop(Wrapper<iOver>(src), 6, 500);
    EXPECT_EQ(c->length, 500);
    EXPECT_EQ(c->granularity, 2u);
    std::vector<std::uint8_t> got = readAll(*c, 500, 100);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 6));
}

TEST(Crop, PadsWithFillerOrZeros) {
    std::vector<std::uint8_t> data = iota(1000);
    Filler f = [](std::uint8_t* b, std::uint8_t* e) { std::fill(b, e, std::uint8_t{0x80}); };
    Wrapper<iOver> c = crop(Wrapper<iOver>(new MemSource(data, 4)), 0, 1200, f);
    EXPECT_EQ(c->length, 1200);
    std::vector<std::uint8_t> got = readAll(*c, 1200, 300);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 1000, data.begin()));
    for (std::size_t i = 1000; i < 1200; ++i) ASSERT_EQ(got[i], 0x80) << i;

    // without filler: zeros where sharing a block with samples, Silence after
    c = crop(Wrapper<iOver>(new MemSource(data, 4)), 0, 1200);
    std::vector<std::uint8_t> buf(200);
    c->position = 900;
    c->seek(900);
    Block b = c->read({buf.data(), 200}, 200);
    EXPECT_EQ(b.kind, Samples);
    for (std::size_t i = 100; i < 200; ++i) ASSERT_EQ(buf[i], 0) << i;
    c->position += 200;
    b = c->read({buf.data(), 100}, 100);
    EXPECT_EQ(b.kind, Silence);
}

TEST(Crop, NoOpAndStartAfterPosition) {
    Wrapper<iOver> s(new MemSource(iota(400)));
    EXPECT_EQ(crop(s, 0, 0).get(), s.get());
    auto* src = new MemSource(iota(400));
    src->position = 300;
    Wrapper<iOver> c = crop(Wrapper<iOver>(src), 100, 0);
    EXPECT_EQ(c->position, 200);
    EXPECT_TRUE(src->seeks.empty());
}

// Cutting more than the source holds leaves an empty stream, not a negative
// (unknown) length that a writer would take for an endless one.
TEST(Crop, StartPastTheEndLeavesLengthZero) {
    Wrapper<iOver> c = crop(Wrapper<iOver>(new MemSource(iota(100), 4)), 300, 0);
    std::vector<std::uint8_t> buf(64);
    c->read({buf.data(), 64}, 64);
    EXPECT_EQ(c->length, 0);
}

namespace {

// Channel source: sample i of channel c is the byte c*100 + i (mod 256).
class VMem final : public iVOver, public Source {
public:
    VMem(std::uint32_t ch, std::uint32_t n) : n_(n) {
        channels = ch;
        length = n;
    }
    void seek(std::uint64_t p) override {
        seeks.push_back(p);
        cursor = p;
    }
    VBlock read(VSlice d, std::uint32_t) override {
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = d.begin; i < d.end; ++i)
                (*d.channels)[c][i] = static_cast<std::uint8_t>(c * 100 + cursor + (i - d.begin));
        cursor += d.length();
        return {d.channels, d.begin, d.end, {}, {}};
    }
    std::uint32_t n_;
    std::uint64_t cursor = 0;
    std::vector<std::uint64_t> seeks;
};

}  // namespace

TEST(Shift, CropPastTheEndLeavesLengthZero) {
    std::vector<std::uint8_t> b0(64), b1(64);
    Channels set(2);
    set[0] = b0.data();
    set[1] = b1.data();
    auto* src = new VMem(2, 40);
    src->granularity = 8;
    Wrapper<iVOver> c = shift(Wrapper<iVOver>(src), -48);
    c->read({&set, 0, 0}, 64);
    EXPECT_EQ(c->length, 0);
}

TEST(Shift, PadCropAndIdentity) {
    std::vector<std::uint8_t> b0(64, 0xEE), b1(64, 0xEE);
    Channels set(2);
    set[0] = b0.data();
    set[1] = b1.data();

    Wrapper<iVOver> src(new VMem(2, 40));
    src->granularity = 8;
    EXPECT_EQ(shift(src, 0).get(), src.get());

    Wrapper<iVOver> p = shift(src, 24);
    VBlock r = p->read({&set, 0, 40}, 64);
    EXPECT_EQ(r.silentMask, Stream::ChannelMask::low(0));
    for (int i = 0; i < 24; ++i) ASSERT_EQ(b0[i], 0);  // joined silence is written as zeros
    EXPECT_EQ(b0[24], 0);
    EXPECT_EQ(b1[24], 100);
    p->position += 40;
    r = p->read({&set, 0, 40}, 64);
    EXPECT_EQ(p->length, 64);

    Wrapper<iVOver> src2(new VMem(2, 40));
    src2->granularity = 8;
    Wrapper<iVOver> c = shift(src2, -24);
    r = c->read({&set, 0, 8}, 64);
    EXPECT_EQ(b0[0], 24);
    EXPECT_EQ(b1[7], 131);
}

TEST(Shift, PadSeekInsidePadSeeksUpstreamToZero) {
    auto* src = new VMem(1, 100);
    Wrapper<iVOver> p = pad(Wrapper<iVOver>(src), 16);
    p->seek(8);
    EXPECT_EQ(src->seeks.back(), 0u);
    p->seek(40);
    EXPECT_EQ(src->seeks.back(), 24u);
}
