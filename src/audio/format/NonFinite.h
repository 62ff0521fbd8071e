#pragma once

// A guard for float inputs: NaNs and infinities (a float file may hold them)
// would turn into full-scale bursts in the filters. The guard replaces each
// with silence (+0.0) and counts them, so the job can say so.

#include <cstdint>
#include <memory>
#include <string>

#include "audio/format/Format.h"

namespace Audio {

// What a guard replaced; written by the chain's thread while it is read.
struct NonFiniteCount {
    std::uint64_t samples = 0;
    std::int64_t firstFrame = -1;  // frame of the first one, from the stream's start
    std::uint32_t firstChannel = 0;

    // "3 non-finite samples (NaN or infinity) in the input, the first at
    // frame 1234 of channel 2, converted as silence"; channels count from 1.
    std::string describe() const;
};

namespace Stream {

// `source` with its non-finite float samples replaced by +0.0, counted in
// `count`. Sources of other sample types are returned as they are.
Wrapper<::Stream::iOver> GuardNonFinite(Wrapper<::Stream::iOver> source,
                                        std::shared_ptr<NonFiniteCount> count);

}  // namespace Stream

}  // namespace Audio
