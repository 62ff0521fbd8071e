#include "stream/MD5.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromText(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string Hex(const MD5::Hash& h) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : h) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Digest of `data` fed as pieces cut at the given offsets (ascending, within the data).
std::string DigestSplit(const Bytes& data, const std::vector<std::size_t>& cuts) {
    MD5::Hash h{};
    MD5 md5(h);
    const unsigned char* p = data.data();
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        md5.Update(p + from, p + cut);
        from = cut;
    }
    md5.Update(p + from, p + data.size());
    md5.Final();
    return Hex(h);
}

// Checks one whole Update, every split into two Updates, and byte-by-byte Updates.
void ExpectAllSplits(const Bytes& data, const std::string& expected) {
    EXPECT_EQ(DigestSplit(data, {}), expected) << "one update, length " << data.size();
    for (std::size_t i = 0; i <= data.size(); ++i)
        ASSERT_EQ(DigestSplit(data, {i}), expected) << "split at " << i << " of " << data.size();
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < data.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(DigestSplit(data, everyByte), expected) << "byte by byte, length " << data.size();
}

TEST(MD5, Rfc1321TestSuiteForEverySplit) {
    struct Case {
        std::string text;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ExpectAllSplits(FromText(c.text), c.digest);
    }
}

// Lengths around the padding boundaries: the length field fits into the last data block
// (< 56 bytes left over) or needs a second block (56..63 left over). Reference digests were
// computed with md5sum over bytes (7 * i + 3) mod 256, i = 0 .. length - 1.
TEST(MD5, PaddingBoundaries) {
    struct Case {
        std::size_t length;
        const char* digest;
    };
    const Case cases[] = {
        {55, "52c0e574e1198de5fe3f8f11440dcb1b"},  {56, "46c9907fc908ee68b1e7b8e71286a518"},
        {63, "a62f6d59e837867693f042f5b8f5a236"},  {64, "7160b8fb5e9e4023d549c3971fbaeead"},
        {65, "70bd662e7aefbda85a0f7244167b7897"},  {119, "e84905d4214f4d1ca56c2cdcc152b143"},
        {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc"}, {128, "10b2da1a82f16d99a81a7203fe9f02cb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        Bytes data(c.length);
        for (std::size_t i = 0; i < c.length; ++i)
            data[i] = static_cast<unsigned char>((7 * i + 3) & 255);
        ExpectAllSplits(data, c.digest);
    }
}

// A million 'a' (md5sum reference), fed in pieces that do not divide 64, so the partial-block
// path and the direct whole-block path alternate over many blocks.
TEST(MD5, MillionBytesInUnevenPieces) {
    const Bytes data(1000000, 'a');
    const std::string expected = "7707d6ae4e027c70eea2a935c2296f21";
    EXPECT_EQ(DigestSplit(data, {}), expected);
    for (std::size_t piece : {1u, 63u, 100u, 4097u}) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = piece; at < data.size(); at += piece) cuts.push_back(at);
        EXPECT_EQ(DigestSplit(data, cuts), expected) << "pieces of " << piece;
    }
}

TEST(MD5, FinalLeavesTheRunningDigestUsable) {
    const Bytes abc = FromText("abc"), def = FromText("def");
    MD5::Hash h{};
    MD5 md5(h);
    md5.Update(abc.data(), abc.data() + abc.size());
    md5.Final();
    EXPECT_EQ(Hex(h), "900150983cd24fb0d6963f7d28e17f72");
    md5.Final();
    EXPECT_EQ(Hex(h), "900150983cd24fb0d6963f7d28e17f72");
    md5.Update(def.data(), def.data() + def.size());
    md5.Final();
    EXPECT_EQ(Hex(h), "e80b5017098950fc58aad83c8c14978e");  // md5sum of "abcdef"
}

TEST(MD5, EmptyAndReversedRanges) {
    MD5::Hash h{};
    MD5 md5(h);
    md5.Update(nullptr, nullptr);
    const Bytes a = FromText("a");
    EXPECT_THROW(md5.Update(a.data() + 1, a.data()), std::invalid_argument);
    md5.Final();
    EXPECT_EQ(Hex(h), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
