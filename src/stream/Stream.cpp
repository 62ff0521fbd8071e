#include "stream/Stream.h"

namespace Stream {

bool VBlock::allSilent(std::uint32_t channelCount) const {
    return begin == end || silentMask.covers(channelCount);
}

Block join(Block a, Block b) {
    Block r{a.begin, b.end, Silence};
    if (a.kind == Silence && b.kind == Silence) {
        r.kind = Silence;
    } else if (a.kind == Silence) {
        if (!a.empty()) {
            std::memset(a.begin, 0, a.length());
            r.kind = b.kind == Zeros ? Zeros : Samples;
        } else {
            r.kind = Samples;
        }
    } else {
        if (b.kind == Silence && !b.empty()) {
            std::memset(b.begin, 0, b.length());
            b.kind = Zeros;
        }
        r.kind = (a.kind == Zeros && b.kind == Zeros) ? Zeros : Samples;
    }
    if (r.begin == r.end) r.kind = Silence;
    return r;
}

VBlock join(VBlock a, VBlock b) {
    Channels* set = a.channels ? a.channels : b.channels;
    const std::uint32_t n = set ? set->count() : 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const bool aSilent = a.silentMask.test(i), aZero = a.zeroedMask.test(i);
        const bool bSilent = b.silentMask.test(i), bZero = b.zeroedMask.test(i);
        if (aSilent && !aZero && !bSilent) {
            if (a.end > a.begin) std::memset((*set)[i] + a.begin, 0, a.end - a.begin);
            a.zeroedMask.set(i);
        } else if (bSilent && !bZero && !aSilent) {
            if (b.end > b.begin) std::memset((*set)[i] + b.begin, 0, b.end - b.begin);
            b.zeroedMask.set(i);
        }
    }
    VBlock r;
    r.channels = a.channels;
    r.begin = a.begin;
    r.end = b.end;
    r.silentMask = a.silentMask & b.silentMask;
    r.zeroedMask = a.zeroedMask & b.zeroedMask;
    return r;
}

}  // namespace Stream
