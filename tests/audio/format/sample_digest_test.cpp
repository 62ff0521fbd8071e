// The digest form of each sample layout: what FLAC's STREAMINFO hashes for
// the same values (signed little-endian, ceil(bits / 8) bytes).

#include <gtest/gtest.h>

#include <vector>

#include "audio/format/SampleDigest.h"

namespace {

using Audio::Format;
using Bytes = std::vector<std::uint8_t>;

Format F(std::uint32_t bytes, Format::SampleType type, std::uint32_t scale, std::uint32_t padding,
         bool isUnsigned, bool bigEndian) {
    Format f;
    f.setBytesPerSample(bytes)
        .setSampleType(type)
        .setScaleExponent(scale)
        .setPaddingBits(padding)
        .setUnsigned(isUnsigned)
        .setBigEndian(bigEndian)
        .setChannels(1);
    return f;
}

TEST(SampleDigest, EveryLayoutGivesSignedLittleEndianAtItsWidth) {
    const auto Int = Format::Integer;
    const struct {
        const char* name;
        Format format;
        Bytes in, out;
    } cases[] = {
        {"8-bit offset binary",
         F(1, Int, 8, 0, true, false),
         {0x00, 0x80, 0xFF},
         {0x80, 0x00, 0x7F}},
        {"16-bit big-endian", F(2, Int, 16, 0, false, true), {0x12, 0x34}, {0x34, 0x12}},
        {"20 bits left-aligned in 24",
         F(3, Int, 20, 4, false, false),
         {0xF0, 0xFF, 0xFF, 0x10, 0x00, 0x80},
         {0xFF, 0xFF, 0xFF, 0x01, 0x00, 0xF8}},
        {"12 bits in 16", F(2, Int, 12, 4, false, false), {0x10, 0x80}, {0x01, 0xF8}},
        {"16 bits right-aligned in 32",
         F(4, Int, 16, 0, false, false),
         {0xFE, 0xFF, 0xFF, 0xFF},
         {0xFE, 0xFF}},
        {"32-bit float big-endian",
         F(4, Format::Float, 1, 0, false, true),
         {0x3F, 0x80, 0x00, 0x00},
         {0x00, 0x00, 0x80, 0x3F}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t width = Audio::DigestBytesPerSample(c.format);
        const std::size_t count = c.in.size() / c.format.bytesPerSample();
        ASSERT_EQ(width * count, c.out.size());
        Bytes got(c.out.size());
        Audio::ToDigestForm(c.format, c.in.data(), count, got.data());
        EXPECT_EQ(got, c.out);
    }
}

}  // namespace
