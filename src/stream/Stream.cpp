#include "stream/Stream.h"

namespace Stream {

bool VBlock::allSilent(std::uint32_t channelCount) const {
    if (begin == end) return true;
    if (channelCount > 32) return false;
    std::uint32_t all = channelCount == 32 ? kAllSilent : (1u << channelCount) - 1;
    return (silentMask & all) == all;
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
    std::uint32_t n = set ? set->count() : 0;
    if (n > 32) n = 32;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t bit = 1u << i;
        bool aSilent = a.silentMask & bit, aZero = a.zeroedMask & bit;
        bool bSilent = b.silentMask & bit, bZero = b.zeroedMask & bit;
        if (aSilent && !aZero && !bSilent) {
            if (a.end > a.begin) std::memset((*set)[i] + a.begin, 0, a.end - a.begin);
            a.silentMask |= bit;
            a.zeroedMask |= bit;
        } else if (bSilent && !bZero && !aSilent) {
            if (b.end > b.begin) std::memset((*set)[i] + b.begin, 0, b.end - b.begin);
            b.silentMask |= bit;
            b.zeroedMask |= bit;
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
