// The format word, scale resolution, completion, equality and properties.

#include <gtest/gtest.h>

#include "audio/format/Format.h"
#include "audio/format/Properties.h"

using Audio::Format;

namespace {

class Tagged final : public Stream::iOver, public Stream::Source {
public:
    void seek(std::uint64_t) override {}
    Stream::Block read(slice<std::uint8_t> d, std::uint32_t) override { return {d.begin, d.end, Stream::Silence}; }
};

}  // namespace

TEST(Format, BitLayout) {
    Format f = Format::FromBytes(0x23, 20, 0x04 | 0x40 | 0x80, 6, 48000.0f);
    EXPECT_EQ(f.bytesPerSample(), 3u);
    EXPECT_EQ(f.sampleType(), Format::Integer);
    EXPECT_EQ(f.scaleExponent(), 20u);
    EXPECT_EQ(f.paddingBits(), 4u);
    EXPECT_TRUE(f.isUnsigned());
    EXPECT_TRUE(f.isBigEndian());
    EXPECT_EQ(f.channels(), 6u);
    EXPECT_EQ(f.bitsPerSample(), 20u);
    EXPECT_EQ(f.bytesPerFrame(), 18u);
    std::uint8_t b[8];
    f.toBytes(b);
    EXPECT_EQ(b[0], 0x23);
    EXPECT_EQ(b[1], 20);
    EXPECT_EQ(b[2], 0xC4);
    EXPECT_EQ(b[3], 6);
    EXPECT_EQ(b[7], 0x47);  // 48000.0f = 0x473B8000
    Format u;
    EXPECT_EQ(u.word, 0x0000FF00u);  // fully unspecified
    f.setBigEndian(false).setChannels(255);
    EXPECT_FALSE(f.isBigEndian());
    EXPECT_EQ(f.channels(), 255u);
    EXPECT_TRUE(f.isUnsigned());
}

TEST(Format, ResolveScale) {
    EXPECT_EQ(Format::FromBytes(0x22, 0xFE, 0, 2, 0).ResolveScale().scaleExponent(), 16u);
    EXPECT_EQ(Format::FromBytes(0x44, 0xFE, 0, 2, 0).ResolveScale().scaleExponent(), 1u);
    EXPECT_EQ(Format::FromBytes(0x04, 0xFE, 0, 2, 0).ResolveScale().scaleExponent(), 0xFEu);
    EXPECT_EQ(Format::FromBytes(0x22, 12, 0, 2, 0).ResolveScale().scaleExponent(), 12u);
}

TEST(Format, CompleteFromTakesOnlyUnspecifiedFields) {
    Format src = Format::FromBytes(0x44, 1, 0x80, 2, 44100.0f);
    Format req = Format::FromBytes(0x22, 0xFF, 0, 0, 0.0f);
    Format c = req.CompleteFrom(src);
    EXPECT_EQ(c.lowByte(), 0x22);
    EXPECT_EQ(c.scaleExponent(), 1u);
    EXPECT_EQ(c.channels(), 2u);
    EXPECT_EQ(c.sampleRate, 44100.0f);
    EXPECT_EQ(c.thirdByte(), 0);  // always the request's
    EXPECT_EQ(Format::FromBytes(0x22, 0, 0, 0, 0).CompleteFrom(src).scaleExponent(), 0u);
    EXPECT_EQ(Format::FromBytes(0, 0xFF, 0, 0, 0).CompleteFrom(src).lowByte(), 0x44);
}

TEST(Format, EqualityComparesEveryField) {
    Format a = Format::FromBytes(0x22, 16, 0, 2, 44100.0f);
    Format b = a;
    EXPECT_EQ(a, b);
    b.setBigEndian(true);
    EXPECT_NE(a, b);
    b = a;
    b.sampleRate = 44100.5f;
    EXPECT_NE(a, b);
}

TEST(Properties, StreamAndFormatEntriesInOrder) {
    Tagged s;
    Format f = Format::FromBytes(0x24, 24, 8, 2, 88200.0f);
    s.setTag(Audio::Stream::Tag{0.0, f});
    s.length = 8 * 1000;
    Audio::IO::PropertyList list;
    Audio::IO::AppendStreamProperties(list, s, ".wav", "audio/x-wav");
    Audio::IO::AppendFormatProperties(list, f);
    std::vector<std::pair<std::string, std::string>> want = {
        {"filename-extension", ".wav"}, {"mime-type", "audio/x-wav"}, {"sample-rate", "88200"},
        {"channels", "2"},          {"frame-count", "1000"},      {"bits-per-sample", "24"},
        {"bytes-per-sample", "4"},  {"bytes-per-frame", "8"},     {"sample-type", "integer"}};
    ASSERT_EQ(list.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(list[i].kind, 0);
        EXPECT_EQ(list[i].key, want[i].first);
        EXPECT_EQ(list[i].value, want[i].second);
    }
    // unknown length: no frame count; fractional rates keep 8 significant digits
    Tagged u;
    u.setTag(Audio::Stream::Tag{0.0, Format::FromBytes(0x48, 1, 0, 1, 44100.4f)});
    list.clear();
    Audio::IO::AppendStreamProperties(list, u, ".wv", "audio/x-wv");
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[2].value, "44100.398");
}

#include "audio/format/CropFront.h"

TEST(CropFront, OriginDropsByTheFramesRemoved) {
    auto* s = new Tagged;
    s->granularity = 4;
    s->setTag(Audio::Stream::Tag{5.5, Format::FromBytes(0x22, 16, 0, 2, 44100.0f)});
    Audio::Stream::Wrapper<Stream::iOver> c = Audio::Stream::CropFront(Audio::Stream::Wrapper<Stream::iOver>(s), 16);
    EXPECT_DOUBLE_EQ(c.tag().origin, 1.5);
    EXPECT_EQ(c.format(), Format::FromBytes(0x22, 16, 0, 2, 44100.0f));
    // the source's own tag is untouched
    EXPECT_DOUBLE_EQ(s->getTag<Audio::Stream::Tag>().origin, 5.5);
}
