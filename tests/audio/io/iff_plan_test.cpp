#include <gtest/gtest.h>

#include "support/IOTestUtil.h"
#include "audio/io/IFFPlan.h"

using namespace IOTest;

namespace {

class Output final : public Stream::iByteOutput {
public:
    std::int64_t Tell() override { return pos; }
    void Seek(std::int64_t p) override { pos = p; }
    void SeekRelative(std::int64_t o) override { pos += o; }
    void Write(const std::uint8_t* b, const std::uint8_t* e, std::int32_t) override {
        for (; b != e; ++b, ++pos) {
            if (bytes.size() <= std::size_t(pos)) bytes.resize(std::size_t(pos) + 1);
            bytes[std::size_t(pos)] = *b;
        }
    }
    Bytes bytes;
    std::int64_t pos = 0;
};

struct PlanFixture : ::testing::Test {
    PlanFixture() {
        plan.AddGroup("RIFF", "WAVE");
        a = plan.AddChunk("aaaa", payloadA.data(), 20);
        b = plan.AddChunk("bbbb", payloadB.data(), 3);
        data = plan.AddStreamChunk("data");
    }
    Bytes payloadA = Sequence(20, 1), payloadB = {7, 8, 9};
    IFF::Plan plan;
    std::size_t a, b, data;
};

TEST_F(PlanFixture, LayoutAndWrite) {
    plan.node(data).size = 5;
    EXPECT_EQ(plan.Layout(), 65);  // no pad byte after the last chunk
    EXPECT_EQ(plan.node(a).position, 20);
    EXPECT_EQ(plan.node(b).position, 48);
    EXPECT_EQ(plan.node(data).position, 60);  // after b's pad byte
    EXPECT_EQ(plan.node(0).size, 65 - 12);
    Output out;
    plan.Write(out);
    Bytes want =
        Group("RIFF", "WAVE", {Chunk("aaaa", payloadA), Chunk("bbbb", payloadB)}, false, 65 - 8);
    Builder d;
    d.id("data").u32(5);
    want.insert(want.end(), d.b.begin(), d.b.end());
    EXPECT_EQ(out.bytes, want);
}

TEST_F(PlanFixture, ChunksKeepTheirPlace) {
    plan.Layout();
    // a shrinks by 10: the gap in front of b becomes a JUNK chunk.
    plan.node(a).size = 10;
    plan.Layout();
    EXPECT_EQ(plan.node(b).position, 48);
    EXPECT_EQ(plan.node(b).junkBefore, 10);
    Output out;
    plan.Write(out);
    Builder junk;
    junk.id("JUNK").u32(2).u16(0).id("bbbb").u32(3);
    EXPECT_EQ(Bytes(out.bytes.begin() + 30, out.bytes.begin() + 48), junk.b);

    plan.node(a).size = 16;  // a 4-byte gap cannot hold a chunk
    EXPECT_THROW(plan.Layout(), IFF::Plan::ChunkOverflow);
    plan.node(a).size = 22;  // would overlap b
    EXPECT_THROW(plan.Layout(), IFF::Plan::ChunkOverflow);
}

TEST_F(PlanFixture, ResumedWriteChecksThePosition) {
    plan.Layout();
    Output out;
    out.pos = 41;
    EXPECT_THROW(plan.Write(out, 2), IFF::Plan::ChunkResizeException);
    out.pos = 51;  // end of b, before its pad byte
    plan.Write(out, 3);
    const Bytes tail = {0, 'd', 'a', 't', 'a', 0, 0, 0, 0};  // b's pad byte, then the header
    EXPECT_EQ(Bytes(out.bytes.begin() + 51, out.bytes.end()), tail);
}

TEST(Plan, BigEndianGroupAndSizeLimit) {
    IFF::Plan plan;
    plan.AddGroup("FORM", "AIFF", true);
    Bytes comm(18, 3);
    plan.AddChunk("COMM", comm.data(), 18);
    std::size_t ssnd = plan.AddStreamChunk("SSND");
    plan.Layout();
    Output out;
    plan.Write(out);
    const std::string text = std::string(
                                 "FORM\0\0\0\x26"
                                 "AIFF"
                                 "COMM\0\0\0\x12",
                                 20) +
                             std::string(18, '\3') + std::string("SSND\0\0\0\0", 8);
    EXPECT_EQ(out.bytes, Bytes(text.begin(), text.end()));

    plan.node(ssnd).size = 0xFFFFFFFFll;  // the group's size no longer fits
    EXPECT_THROW(plan.Layout(), IFF::Plan::SizeOverflow);
    plan.node(0).sizeInDs64 = true;
    EXPECT_NO_THROW(plan.Layout());
}

}  // namespace
