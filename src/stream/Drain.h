#pragma once

// Draining: pulls an iUnder to its end in 16384-byte steps and reports
// progress, in units of 16384 bytes, at most once per mebibyte.

#include <cstdint>

#include "stream/Stream.h"

namespace Stream {

// Receiver of a drain's progress. Called on the draining thread; must not
// block for long.
class iDrainProgress {
public:
    virtual ~iDrainProgress() = default;
    // `done` of `total` units are finished; `first` on the drain's first
    // report. total is 0 while the stream's length is unknown. Returning
    // false stops the drain.
    virtual bool progress(std::uint32_t done, std::uint32_t total, bool first) = 0;
    // The drain reached the end of the stream.
    virtual void finished() = 0;
};

constexpr std::uint32_t kDrainBlock = 16384;          // bytes per peek and per progress unit
constexpr std::uint64_t kDrainReportEvery = 1 << 20;  // bytes between reports

// Consumes `stream` up to its length. Returns true when the end was
// reached (after calling progress->finished()), false when the receiver
// asked to stop; progress may be null. Upstream exceptions pass through.
//
// End of stream: the position reaching the known length. While the length
// is unknown the stream counts as unbounded: the drain goes on, reporting
// total 0 once per mebibyte so that the receiver can stop it; a peek that
// yields no bytes then ends the drain (the stream has nothing more). A
// stream that yields no bytes before reaching its known length throws
// Wobbly: its output would be short.
bool drain(Wrapper<iUnder> stream, iDrainProgress* progress);

}  // namespace Stream
