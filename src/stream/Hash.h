#pragma once

// A byte-stream stage that computes the MD5 digest of a prefix followed by
// every content byte pulled through it. The digest reaches `destination`
// when the stage is destroyed; the destination must outlive the stage.

#include "base/slice.h"
#include "stream/MD5.h"
#include "stream/Stream.h"

namespace Stream {

Wrapper<iOver> Hash(MD5::Hash& destination, Wrapper<iOver> source,
                    slice<const unsigned char> prefix);

}  // namespace Stream
