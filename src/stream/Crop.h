#pragma once

// Cutting a stream to a window, and putting silence in front of it.
// Byte streams count bytes; channel streams count bytes per channel.

#include <atomic>
#include <functional>
#include <memory>

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

// The source cut to a length it learns only while it is read (a stream whose end is found at its
// end): `lengthOf` gives it in bytes (a multiple of `unit`), or -1 while unknown; it is asked
// after every read of the source and must be known before the source passes it (Wobbly
// otherwise). Up to it past the source's end, the filler's silence.
Wrapper<iOver> cropWhenKnown(Wrapper<iOver> source, std::uint32_t unit,
                             std::function<std::int64_t()> lengthOf, Filler filler = nullptr);

// The source, telling `length` its length in bytes (-1 until known) as soon as it knows it, for a
// reader further down the chain, on whatever thread (release order: what the source delivered
// before is visible with it).
Wrapper<iOver> announceLength(Wrapper<iOver> source,
                              std::shared_ptr<std::atomic<std::int64_t>> length);

// The source preceded by `count` bytes per channel of silence.
Wrapper<iVOver> pad(Wrapper<iVOver> source, std::int64_t count);

// pad by count when count > 0, the source when 0, crop(source, -count, 0)
// when count < 0.
Wrapper<iVOver> shift(Wrapper<iVOver> source, std::int64_t count);

}  // namespace Stream
