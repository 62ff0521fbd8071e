#pragma once

// Cutting a stream to a window, and putting silence in front of it.
// Byte streams count bytes; channel streams count bytes per channel.

#include "stream/Stream.h"

namespace Stream {

// The source without its first `start` bytes and exactly `length` bytes
// long (no end limit when length <= 0). Bytes past the window or the
// source's real end are the filler's silence, or zeros / Silence without a
// filler. Returns the source itself when start and length are both 0.
Wrapper<iOver> crop(Wrapper<iOver> source, std::int64_t start, std::int64_t length,
                    Filler filler = nullptr);
Wrapper<iVOver> crop(Wrapper<iVOver> source, std::int64_t start, std::int64_t length,
                     Filler filler = nullptr);

// The source preceded by `count` bytes per channel of silence.
Wrapper<iVOver> pad(Wrapper<iVOver> source, std::int64_t count);

// pad by count when count > 0, the source when 0, crop(source, -count, 0)
// when count < 0.
Wrapper<iVOver> shift(Wrapper<iVOver> source, std::int64_t count);

}  // namespace Stream
