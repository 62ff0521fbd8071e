// Silence of offset-binary formats.

#include <gtest/gtest.h>

#include "audio/format/SilenceFiller.h"
#include "translator_helpers.h"

using Audio::SilenceFiller;
using fmt_test::floatFormat;
using fmt_test::intFormat;
using fmt_test::kBig;
using fmt_test::kOffset;

TEST(SilenceFiller, WritesTheMidpointInByteOrder) {
    struct Case {
        std::uint32_t width;
        std::vector<std::uint8_t> little, big;
    };
    const Case cases[] = {
        {1, {0x80}, {0x80}},
        {2, {0x00, 0x80}, {0x80, 0x00}},
        {3, {0x00, 0x00, 0x80}, {0x80, 0x00, 0x00}},
        {4, {0, 0, 0, 0x80}, {0x80, 0, 0, 0}},
        {8, {0, 0, 0, 0, 0, 0, 0, 0x80}, {0x80, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        for (bool big : {false, true}) {
            Stream::Filler fill = SilenceFiller(intFormat(c.width, 1, kOffset | (big ? kBig : 0)));
            ASSERT_NE(fill, nullptr);
            // Three whole samples, then (wider than a byte) one byte that
            // belongs to no whole sample.
            const std::size_t partial = c.width > 1 ? 1 : 0;
            std::vector<std::uint8_t> buf(3 * c.width + 2, 0x11);
            fill(buf.data() + 1, buf.data() + 1 + 3 * c.width + partial);
            const std::vector<std::uint8_t>& one = big ? c.big : c.little;
            EXPECT_EQ(buf.front(), 0x11);
            for (std::uint32_t s = 0; s < 3; ++s) {
                EXPECT_TRUE(std::equal(one.begin(), one.end(), buf.begin() + 1 + s * c.width))
                    << c.width << " bytes, big " << big << ", sample " << s;
            }
            EXPECT_EQ(buf[3 * c.width + 1], 0x11);  // partial sample untouched
            EXPECT_EQ(buf.back(), 0x11);
        }
    }
}

TEST(SilenceFiller, NoneForZeroSilenceAndErrorForOddWidths) {
    EXPECT_EQ(SilenceFiller(intFormat(2)), nullptr);
    EXPECT_EQ(SilenceFiller(intFormat(1, 2, kBig)), nullptr);
    EXPECT_EQ(SilenceFiller(floatFormat(4)), nullptr);
    EXPECT_THROW(SilenceFiller(Audio::Format::FromBytes(0x25, 40, kOffset, 1, 0.0f)),
                 Audio::SilenceFillers::UnsupportedFormat);
    EXPECT_THROW(SilenceFiller(Audio::Format::FromBytes(0x20, 0xFF, kOffset, 1, 0.0f)),
                 Audio::SilenceFillers::UnsupportedFormat);
    // Big-endian offset 16-bit over 6 bytes.
    std::vector<std::uint8_t> six(6);
    SilenceFiller(intFormat(2, 1, kOffset | kBig))(six.data(), six.data() + 6);
    EXPECT_EQ(six, (std::vector<std::uint8_t>{0x80, 0, 0x80, 0, 0x80, 0}));
}
