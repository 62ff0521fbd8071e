#include "stream/Hash.h"

#include <algorithm>

namespace Stream {

namespace {

class InsertHasher final : public iOver, public Consumer<Wrapper<iOver>> {
public:
    InsertHasher(MD5::Hash& destination, Wrapper<iOver> up, slice<const unsigned char> prefix)
        : Consumer(std::move(up)), md5_(destination) {
        granularity = upstream->granularity;
        expansion = upstream->expansion;
        position = upstream->position;
        copyTagFrom(*upstream);
        md5_.Update(prefix.begin, prefix.end);
    }
    ~InsertHasher() override { md5_.Final(); }

    void seek(std::uint64_t p) override {
        upstream->seek(p);
        upstream->position = static_cast<std::int64_t>(p);
    }

    Block read(slice<std::uint8_t> dest, std::uint32_t capacity) override {
        const std::int64_t P = upstream->position;
        Block blk = upstream->read(dest, capacity);
        const auto n = static_cast<std::int64_t>(blk.length());
        upstream->position += n;
        inheritLength(*upstream);
        const std::int64_t keep = keptLength(n, P, upstream->length);
        if (blk.kind == Silence && n != 0) {
            std::fill(blk.begin, blk.end, std::uint8_t{0});
            blk.kind = Zeros;
        }
        md5_.Update(blk.begin, blk.begin + keep);
        return blk;
    }

private:
    MD5 md5_;
};

}  // namespace

Wrapper<iOver> Hash(MD5::Hash& destination, Wrapper<iOver> source,
                    slice<const unsigned char> prefix) {
    return Wrapper<iOver>(new InsertHasher(destination, std::move(source), prefix));
}

}  // namespace Stream
