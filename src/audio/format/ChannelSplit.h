#pragma once

// De-interleaving and interleaving of audio streams: the stream stages plus
// the tag each result carries.

#include "audio/format/Format.h"
#include "stream/Interleave.h"

namespace Audio::Stream {

// De-interleaves an audio byte stream by the channels and sample size of
// its tag; the result carries the upstream's tag with channels 1 (each
// channel buffer is mono).
inline Wrapper<::Stream::iVOver> MakeOver2VOver(Wrapper<::Stream::iOver> upstream) {
    Tag tag = upstream.tag();
    Wrapper<::Stream::iVOver> out = ::Stream::MakeOver2VOver(
        std::move(upstream), tag.format.channels(), tag.format.bytesPerSample());
    tag.format.setChannels(1);
    out.setTag(tag);
    return out;
}

// Interleaves an audio channel stream; the result carries the upstream's
// tag with channels set back to the channel stream's count.
inline Wrapper<::Stream::iOver> MakeVOver2Over(Wrapper<::Stream::iVOver> upstream) {
    Tag tag = upstream.tag();
    std::uint32_t channels = upstream->channels;
    Wrapper<::Stream::iOver> out =
        ::Stream::MakeVOver2Over(std::move(upstream), tag.format.bytesPerSample());
    tag.format.setChannels(channels);
    out.setTag(tag);
    return out;
}

}  // namespace Audio::Stream
