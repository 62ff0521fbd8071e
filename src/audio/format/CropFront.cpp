#include "audio/format/CropFront.h"

#include "audio/format/SilenceFiller.h"
#include "stream/Crop.h"

namespace Audio::Stream {

Wrapper<::Stream::iOver> CropFront(Wrapper<::Stream::iOver> source, std::int64_t bytes) {
    const Tag tag = source.tag();
    const std::int64_t frame = tag.format.bytesPerFrame();
    Wrapper<::Stream::iOver> r =
        ::Stream::crop(std::move(source), bytes, 0, SilenceFiller(tag.format));
    Tag t = tag;
    if (frame > 0) t.origin = tag.origin - static_cast<double>(bytes / frame);
    r.setTag(t);
    return r;
}

}  // namespace Audio::Stream
