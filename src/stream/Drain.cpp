#include "stream/Drain.h"

#include <algorithm>
#include <limits>
#include <string>

namespace Stream {

namespace {

std::uint32_t unitsCeil(std::int64_t bytes) {
    std::uint64_t units = (static_cast<std::uint64_t>(bytes) + kDrainBlock - 1) / kDrainBlock;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(units, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

bool drain(Wrapper<iUnder> stream, iDrainProgress* progress) {
    if (!stream) throw Wobbly{};
    iUnder& u = *stream;
    std::uint64_t total = 0;  // bytes consumed by this drain
    for (;;) {
        const Block block = u.peek(kDrainBlock);
        std::uint64_t n = block.length();
        const std::int64_t length = u.length;
        const std::int64_t position = u.position;
        if (length >= 0) {
            if (position >= length) {
                if (progress) progress->finished();
                return true;
            }
            n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(length - position));
        }
        if (n == 0) {
            if (length >= 0)
                throw WobblyBecause("the input ended " + std::to_string(length - position) +
                                    " bytes before its stated length");
            if (progress) progress->finished();
            return true;
        }

        const bool first = total < kDrainReportEvery;
        const bool report = total % kDrainReportEvery + n >= kDrainReportEvery;
        total += n;
        if (report && progress) {
            const std::uint32_t units = length >= 0 ? unitsCeil(length) : 0;
            if (!progress->progress(unitsCeil(position), units, first)) return false;
        }
        u.consume(static_cast<std::uint32_t>(n));
        u.position += static_cast<std::int64_t>(n);
    }
}

}  // namespace Stream
