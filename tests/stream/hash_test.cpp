// The hashing stage: prefix + content, silence as zeros, nothing past length.

#include <gtest/gtest.h>

#include <cstring>

#include "stream/Hash.h"

using namespace Stream;

namespace {

// Delivers `data` then Silence, in whatever block sizes are asked for.
class Bytes final : public iOver, public Source {
public:
    Bytes(std::string d, bool silent = false) : data_(std::move(d)), silent_(silent) {
        length = static_cast<std::int64_t>(data_.size());
    }
    void seek(std::uint64_t p) override { at_ = p; }
    Block read(slice<std::uint8_t> dest, std::uint32_t) override {
        std::size_t n = dest.length();
        for (std::size_t i = 0; i < n; ++i)
            dest.begin[i] = at_ + i < data_.size() ? std::uint8_t(data_[at_ + i]) : 0x55;
        at_ += n;
        return {dest.begin, dest.end, silent_ ? Silence : Samples};
    }

private:
    std::string data_;
    bool silent_;
    std::uint64_t at_ = 0;
};

MD5::Hash digestOf(const std::string& s) {
    MD5::Hash h{};
    MD5 m(h);
    m.Update(reinterpret_cast<const unsigned char*>(s.data()),
             reinterpret_cast<const unsigned char*>(s.data()) + s.size());
    m.Final();
    return h;
}

MD5::Hash hashThrough(const std::string& prefix, const std::string& content, std::size_t step,
                      std::size_t readTotal, bool silent = false) {
    MD5::Hash h{};
    {
        auto p = reinterpret_cast<const unsigned char*>(prefix.data());
        Wrapper<iOver> s = Hash(h, Wrapper<iOver>(new Bytes(content, silent)), {p, prefix.size()});
        std::vector<std::uint8_t> buf(step);
        for (std::size_t done = 0; done < readTotal; done += step) {
            Block b = s->read({buf.data(), step}, static_cast<std::uint32_t>(step));
            s->position += static_cast<std::int64_t>(b.length());
        }
    }
    return h;
}

}  // namespace

TEST(Hash, PrefixAndContentSplitAnywhere) {
    const std::string msg = "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    const MD5::Hash want = digestOf(msg);
    for (std::size_t cut = 0; cut <= msg.size(); cut += 7)
        for (std::size_t step : {1u, 5u, 64u})
            EXPECT_EQ(hashThrough(msg.substr(0, cut), msg.substr(cut), step, msg.size() - cut), want)
                << cut << " " << step;
}

TEST(Hash, StopsAtLengthAndHashesSilenceAsZeros) {
    // blocks run past the length: only `length` bytes are hashed
    EXPECT_EQ(hashThrough("", "abc", 8, 8), digestOf("abc"));
    // a Silence block of 4 bytes counts as 4 zero bytes
    EXPECT_EQ(hashThrough("", "wxyz", 4, 4, true), digestOf(std::string(4, '\0')));
}

TEST(Hash, SilenceIsHandedOnAsZeros) {
    MD5::Hash h{};
    Wrapper<iOver> s = Hash(h, Wrapper<iOver>(new Bytes("abcd", true)), {});
    std::uint8_t buf[4] = {9, 9, 9, 9};
    Block b = s->read({buf, 4}, 4);
    EXPECT_EQ(b.kind, Zeros);
    EXPECT_EQ(buf[0], 0);
}
