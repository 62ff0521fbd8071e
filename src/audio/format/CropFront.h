#pragma once

#include "audio/format/Format.h"

namespace Audio::Stream {

// Removes the first `bytes` bytes (whole frames) of an audio byte stream;
// the tag's origin drops by the frames removed.
Wrapper<::Stream::iOver> CropFront(Wrapper<::Stream::iOver> source, std::int64_t bytes);

}  // namespace Audio::Stream
