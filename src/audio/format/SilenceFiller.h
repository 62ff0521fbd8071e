#pragma once

// Silence of offset-binary sample formats.
//
// Two's-complement and float silence is zero bytes, which the stream
// framework produces by itself; offset-binary silence is the midpoint (only
// the most significant bit set), written in the format's byte order.

#include <stdexcept>

#include "audio/format/Format.h"
#include "stream/Stream.h"

namespace Audio {

namespace SilenceFillers {
// A sample width (other than 1, 2, 3, 4 or 8 bytes) that has no filler.
struct UnsupportedFormat : std::invalid_argument {
    UnsupportedFormat() : std::invalid_argument("no silence filler for this sample width") {}
};
}  // namespace SilenceFillers

// The filler for `f`, or null when silence is zero bytes (f is not offset
// binary, or is a float format). A filler writes every whole sample of its
// range and leaves a trailing partial sample untouched.
::Stream::Filler SilenceFiller(Format f);

}  // namespace Audio
