#pragma once

// Re-blocking: makes a stream readable and seekable in a finer unit.

#include "stream/Stream.h"

namespace Stream {

// If `unit` is a multiple of the stream's granularity the stream already
// accepts it: its granularity becomes `unit` and the stream itself is
// returned. Otherwise a Reblocker stage with granularity `unit` buffers one
// upstream block at a time and hands out pieces of it.
Wrapper<iOver> reblock(Wrapper<iOver> stream, std::uint32_t unit);
Wrapper<iVOver> reblock(Wrapper<iVOver> stream, std::uint32_t unit);

}  // namespace Stream
