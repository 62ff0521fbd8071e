#include "audio/io/IFF.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/IOTestUtil.h"

using namespace IOTest;

namespace {

// Records every chunk it is shown. Groups are descended into, plain chunks
// skipped, unless `decide` says otherwise.
class Recorder : public IFF::VisitorParser {
public:
    struct Seen {
        std::string id;
        std::uint32_t flags;
        std::int64_t start, size;
        int depth;
        std::int64_t parentSize;  // -1 at top level
        std::uint32_t parentFlags;
    };

    int Visit(IFF::ChunkInfo& c) override {
        int depth = 0;
        for (auto* p = c.next; p; p = p->next) ++depth;
        seen.push_back({c.id.text(), c.flags, c.start, c.size, depth, c.next ? c.next->size : -1,
                        c.next ? c.next->flags : 0u});
        if (decide) return decide(c);
        return c.isGroup() ? IFF::Descend : IFF::SkipChunk;
    }
    void Leave() override { ++leaves; }
    void Begin(Stream::iOver& source) override { begunAt = source.position; }

    std::function<int(IFF::ChunkInfo&)> decide;
    std::vector<Seen> seen;
    int leaves = 0;
    std::int64_t begunAt = -1;
};

class IFFParser : public ::testing::Test {
protected:
    std::string Put(const Bytes& bytes) {
        std::string p = dir.file("f.iff");
        WriteFile(p, bytes);
        return p;
    }
    TempDir dir;
};

TEST_F(IFFParser, WalksNestedChunksWithPadBytes) {
    // "odd " has 3 bytes and a pad byte; the next header is at an even offset.
    Bytes file =
        Group("RIFF", "WAVE", {Chunk("odd ", {1, 2, 3}), Chunk("two ", {4, 5}), Chunk("zero", {})});
    Recorder r;
    EXPECT_TRUE(r.Parse(Put(file)));
    EXPECT_EQ(r.begunAt, 0);
    ASSERT_EQ(r.seen.size(), 4u);
    EXPECT_EQ(r.seen[0].id, "WAVE");  // a group's id becomes its form type
    EXPECT_EQ(r.seen[0].flags, 0x29u);
    EXPECT_EQ(r.seen[0].start, 12);
    EXPECT_EQ(r.seen[0].size, std::int64_t(file.size()) - 12);
    EXPECT_EQ(r.seen[1].id, "odd ");
    EXPECT_EQ(r.seen[1].flags, 0x20u);
    EXPECT_EQ(r.seen[1].start, 20);
    EXPECT_EQ(r.seen[1].size, 3);
    EXPECT_EQ(r.seen[1].depth, 1);
    EXPECT_EQ(r.seen[2].start, 32);  // 20 + 3 + pad + 8
    EXPECT_EQ(r.seen[3].size, 0);
    EXPECT_EQ(r.leaves, 4);
}

TEST_F(IFFParser, PlainTopLevelChunkIsBigEndian) {
    Builder b{{}, true};
    b.id("abcd").u32(4).u32(7);
    Recorder r;
    EXPECT_TRUE(r.Parse(Put(b.b)));
    ASSERT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(r.seen[0].flags, 0x30u);
    EXPECT_EQ(r.seen[0].size, 4);
}

TEST_F(IFFParser, BigEndianContainersSwapSizes) {
    for (const char* id : {"RIFX", "FORM"}) {
        Bytes file = Group(id, "AIFF", {Chunk("COMM", Bytes(24, 0), true)}, true);
        ASSERT_EQ(file[7], 0x24);  // 36 = 4 + 8 + 24, stored 00 00 00 24
        Recorder r;
        EXPECT_TRUE(r.Parse(Put(file))) << id;
        ASSERT_EQ(r.seen.size(), 2u);
        EXPECT_EQ(r.seen[0].flags, 0x39u);
        EXPECT_EQ(r.seen[0].size, 32);
        EXPECT_EQ(r.seen[1].flags, 0x30u);
        EXPECT_EQ(r.seen[1].size, 24);
    }
}

TEST_F(IFFParser, ContainerMayLeaveOutTheLastPadByte) {
    Bytes odd = Chunk("odd ", {1, 2, 3});  // 12 bytes with the pad
    // Declared size one short (the pad byte left out): accepted.
    Bytes file = Group("RIFF", "WAVE", {odd}, false, 4 + 11);
    Recorder r;
    EXPECT_TRUE(r.Parse(Put(file)));
    // Two short: the child runs past its container.
    Recorder r2;
    file = Group("RIFF", "WAVE", {odd}, false, 4 + 10);
    try {
        r2.Parse(Put(file));
        FAIL() << "no exception";
    } catch (const IFF::ParseError& e) {
        EXPECT_STREQ(e.what(), "Error parsing IFF stream");
        EXPECT_EQ(e.code(), 3);
    }
}

TEST_F(IFFParser, FileErrors) {
    Recorder r;
    try {
        r.Parse(dir.file("missing.wav"));
        FAIL();
    } catch (const IFF::FileError& e) {
        EXPECT_STREQ(e.what(), "???");
        EXPECT_EQ(e.code(), 2);
    }
    Recorder empty;
    try {
        empty.Parse(Put({}));
        FAIL();
    } catch (const IFF::UnexpectedEOF& e) {
        EXPECT_STREQ(e.what(), "Unexpected end of IFF stream");
        EXPECT_EQ(e.code(), 4);
    }
    EXPECT_TRUE(empty.seen.empty());
    // A header cut short, and a skipped chunk longer than the file.
    Recorder cut;
    EXPECT_THROW(cut.Parse(Put({'R', 'I', 'F', 'F', 1, 0})), IFF::UnexpectedEOF);
    Recorder longer;
    Bytes file = Group("RIFF", "WAVE", {Chunk("LIST", Bytes(8, 0), false, 1000000)});
    EXPECT_THROW(longer.Parse(Put(file)), IFF::UnexpectedEOF);
}

TEST_F(IFFParser, NothingAfterTheTopLevelChunkIsRead) {
    Bytes file = Group("RIFF", "WAVE", {Chunk("a   ", {1, 2})});
    Bytes second = Group("RIFF", "WAVE", {Chunk("b   ", {3, 4})});
    file.insert(file.end(), second.begin(), second.end());
    file.push_back(0xFF);  // garbage
    Recorder r;
    EXPECT_TRUE(r.Parse(Put(file)));
    ASSERT_EQ(r.seen.size(), 2u);
    EXPECT_EQ(r.seen[1].id, "a   ");
}

TEST_F(IFFParser, VisitorStops) {
    Bytes file = Group("RIFF", "WAVE", {Chunk("a   ", {1, 2}), Chunk("b   ", {3, 4})});
    for (int action : {IFF::Stop, IFF::StopError}) {
        Recorder r;
        r.decide = [&](IFF::ChunkInfo& c) {
            if (c.id == IFF::ResType("a   ")) return action;
            return c.isGroup() ? int(IFF::Descend) : int(IFF::SkipChunk);
        };
        EXPECT_FALSE(r.Parse(Put(file)));
        EXPECT_EQ(r.seen.size(), 2u);
    }
}

TEST_F(IFFParser, VisitorReadsPayload) {
    struct Reader : Recorder {
        int Visit(IFF::ChunkInfo& c) override {
            if (c.id == IFF::ResType("data")) {
                payload.resize(static_cast<std::size_t>(c.size));
                ReadExact(payload.data(), payload.size());
                return IFF::SkipChunk;  // already at the end: nothing to skip
            }
            return Recorder::Visit(c);
        }
        Bytes payload;
    } r;
    Bytes file = Group("RIFF", "WAVE", {Chunk("data", {9, 8, 7}), Chunk("next", {1})});
    EXPECT_TRUE(r.Parse(Put(file)));
    EXPECT_EQ(r.payload, (Bytes{9, 8, 7}));
    EXPECT_EQ(r.seen.back().id, "next");
}

// Streaming writers put 0xFFFFFFFF in the container's size; its children
// are read up to the end of the file.
TEST_F(IFFParser, OpenEndedContainerEndsAtEndOfFile) {
    Bytes file =
        Group("RIFF", "WAVE", {Chunk("a   ", {1, 2, 3}), Chunk("b   ", {4, 5})}, false, 0xFFFFFFFF);
    Recorder r;
    EXPECT_TRUE(r.Parse(Put(file)));
    ASSERT_EQ(r.seen.size(), 3u);
    EXPECT_TRUE(r.seen[0].flags & IFF::ChunkInfo::kOpenEnded);
    EXPECT_EQ(r.seen[2].id, "b   ");
}

TEST_F(IFFParser, RF64SizesComeFromDs64) {
    Bytes data = Sequence(10);
    Builder ds;
    const std::uint64_t riffSize = 4 + (8 + 28 + 12) + (8 + 6) + (8 + 10);
    ds.u64(riffSize).u64(10).u64(5).u32(1).id("big ").u64(6);
    Bytes file = Group("RF64", "WAVE",
                       {Chunk("ds64", ds.b), Chunk("big ", Bytes(6, 1), false, 0xFFFFFFFF),
                        Chunk("data", data, false, 0xFFFFFFFF)},
                       false, 0xFFFFFFFF);
    ASSERT_EQ(file.size(), riffSize + 8);
    Recorder r;
    EXPECT_TRUE(r.Parse(Put(file)));
    ASSERT_EQ(r.seen.size(), 4u);
    // Shown open-ended; sized once "ds64" has been read.
    EXPECT_TRUE(r.seen[0].flags & IFF::ChunkInfo::kOpenEnded);
    EXPECT_EQ(r.seen[3].parentSize, std::int64_t(riffSize) - 4);
    EXPECT_FALSE(r.seen[3].parentFlags & IFF::ChunkInfo::kOpenEnded);
    EXPECT_EQ(r.seen[1].id, "ds64");
    EXPECT_EQ(r.seen[1].start, 20);  // the parser read it and came back
    EXPECT_EQ(r.seen[2].size, 6);
    EXPECT_EQ(r.seen[3].size, 10);
    EXPECT_EQ(r.leaves, 4);

    // A ds64 chunk too small to hold its fields.
    Bytes bad = Group("RF64", "WAVE", {Chunk("ds64", Bytes(12, 0))}, false, 0xFFFFFFFF);
    Recorder r2;
    EXPECT_THROW(r2.Parse(Put(bad)), IFF::ParseError);
}

TEST(IFFResType, FileOrder) {
    const std::uint8_t bytes[4] = {'f', 'm', 't', ' '};
    EXPECT_EQ(IFF::ResType::FromBytes(bytes), IFF::ResType("fmt "));
    EXPECT_EQ(IFF::ResType("RIFF").text(), "RIFF");
    EXPECT_FALSE(IFF::ResType("RIFF") == IFF::ResType("RIFX"));
}

}  // namespace
