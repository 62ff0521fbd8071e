// The audio overloads of de-interleaving and interleaving: the tags.

#include <gtest/gtest.h>

#include "audio/format/ChannelSplit.h"
#include "stream/TestStreams.h"

using namespace Stream;
using TestStreams::MemoryOver;

TEST(Interleave, AudioOverloadsWriteTheTags) {
    auto* src = new MemoryOver(std::vector<std::uint8_t>(64, 0));
    Audio::Stream::Tag tag;
    tag.origin = 12.5;
    tag.format = Audio::Format().setBytesPerSample(8).setSampleType(2).setChannels(2);
    tag.format.sampleRate = 44100.0f;
    Audio::Stream::Wrapper<iOver> in(src);
    in.setTag(tag);

    Audio::Stream::Wrapper<iVOver> split = Audio::Stream::MakeOver2VOver(in);
    EXPECT_EQ(split->channels, 2u);
    EXPECT_EQ(split.format().channels(), 1u);
    EXPECT_EQ(split.format().bytesPerSample(), 8u);
    EXPECT_EQ(split.tag().origin, 12.5);

    Audio::Stream::Wrapper<iOver> merged = Audio::Stream::MakeVOver2Over(split);
    EXPECT_EQ(merged.format(), tag.format);
    EXPECT_EQ(merged.tag().origin, 12.5);

    Audio::Stream::Wrapper<iOver> untagged(new MemoryOver({}));
    EXPECT_THROW(Audio::Stream::MakeOver2VOver(untagged), Wobbly);
}
