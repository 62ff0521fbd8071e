#pragma once

// In-memory channel source for the benchmarks, as the de-interleaver would
// deliver it: one vector of doubles per channel, read in whole samples, zeros
// past the end. `data` must outlive the source.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/format/Format.h"
#include "stream/Stream.h"

namespace Bench {

class MemorySource final : public Stream::iVOver, public Stream::Source {
public:
    MemorySource(const std::vector<std::vector<double>>& data, Audio::Format format)
        : data_(data) {
        channels = static_cast<std::uint32_t>(data.size());
        granularity = 8;
        length = static_cast<std::int64_t>(data[0].size() * 8);
        setTag(Audio::Stream::Tag{0.0, format});
    }
    void seek(std::uint64_t p) override { next_ = p / 8; }
    Stream::VBlock read(Stream::VSlice dest, std::uint32_t) override {
        const std::size_t n = dest.length() / 8, size = data_[0].size();
        const std::size_t have = next_ < size ? std::min(n, size - next_) : 0;
        for (std::uint32_t c = 0; c < channels; ++c) {
            auto* out = reinterpret_cast<double*>((*dest.channels)[c] + dest.begin);
            std::memcpy(out, data_[c].data() + next_, have * 8);
            std::memset(out + have, 0, (n - have) * 8);
        }
        next_ += n;
        return {dest.channels, dest.begin, dest.end, {}, {}};
    }

private:
    const std::vector<std::vector<double>>& data_;
    std::size_t next_ = 0;
};

}  // namespace Bench
