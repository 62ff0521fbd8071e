// Every registered writer, sample type, channel count and length (none,
// one frame, several blocks): what a writer stores reads back bit-exactly
// with its speaker layout.

#include <gtest/gtest.h>

#include <cmath>

#include "support/IOTestUtil.h"
#include "audio/io/OpenFile.h"
#include "audio/io/FLACWriter.h"
#include "audio/io/WavpackWriter.h"

using namespace IOTest;
using Audio::Format;
using Audio::IO::iFileWriter_Wavpack;

namespace {

// Samples for `f`: random integers, or floats within +-1.
Bytes Samples(const Format& f, std::size_t frames, std::uint32_t seed) {
    const std::size_t n = frames * f.channels();
    if (f.isInteger()) return Sequence(n * f.bytesPerSample(), seed);
    Bytes out(n * f.bytesPerSample());
    const Bytes r = Sequence(n * 4, seed);
    for (std::size_t i = 0; i < n; ++i) {
        std::int32_t v;
        std::memcpy(&v, &r[i * 4], 4);
        const double x = std::ldexp(double(v), -31);
        if (f.bytesPerSample() == 4) {
            const float y = float(x);
            std::memcpy(&out[i * 4], &y, 4);
        } else {
            std::memcpy(&out[i * 8], &x, 8);
        }
    }
    return out;
}

// Each sample as a number comparable across containers: integers
// sign-extended and aligned to a 40-bit scale, floats by their bits.
std::vector<std::int64_t> Values(const Bytes& b, const Format& f) {
    const std::uint32_t w = f.bytesPerSample();
    std::vector<std::int64_t> out(b.size() / w);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint64_t u = 0;
        for (std::uint32_t k = 0; k < w; ++k) u |= std::uint64_t(b[i * w + k]) << (8 * k);
        if (f.isFloat()) {
            out[i] = std::int64_t(u);
            continue;
        }
        if (f.isUnsigned()) u ^= std::uint64_t{1} << (8 * w - 1);
        const int shift = 64 - 8 * int(w);
        const std::int64_t v = std::int64_t(u << shift) >> shift;
        out[i] = v * (std::int64_t{1} << (40 - f.scaleExponent()));
    }
    return out;
}

TEST(WriterRoundTrip, EveryWriterTypeChannelCountAndLength) {
    using Audio::IO::kFlacWriter, Audio::IO::kRawWriter, Audio::IO::kWavpackWriter,
        Audio::IO::kWaveWriter;
    const Format types[] = {
        MakeFormat(1, Format::Integer, 8, 1, 44100),  MakeFormat(2, Format::Integer, 16, 1, 44100),
        MakeFormat(3, Format::Integer, 24, 1, 44100), MakeFormat(4, Format::Integer, 32, 1, 44100),
        MakeFormat(4, Format::Float, 1, 1, 44100),    MakeFormat(8, Format::Float, 1, 1, 44100)};
    struct Layout {
        std::uint32_t channels, given, stored;  // stored: the layout read back
    };
    const Layout layouts[] = {{1, 0, 0x4},  {2, 0, 0x3},       {3, 0x7, 0x7},
                              {6, 0, 0x3F}, {8, 0x63F, 0x63F}, {33, 0x3FFFF, 0x3FFFF}};
    TempDir dir;
    for (const int id : {kWaveWriter, kWavpackWriter, kRawWriter, kFlacWriter}) {
        for (Format type : types) {
            for (const Layout& l : layouts) {
                for (const std::size_t frames : {0u, 1u, 3001u}) {
                    SCOPED_TRACE(testing::Message()
                                 << "writer " << id << ", " << type.bytesPerSample() << "-byte "
                                 << (type.isFloat() ? "float" : "int") << ", " << l.channels
                                 << " channels, " << frames << " frames");
                    const Format f = Format(type).setChannels(l.channels);
                    const Bytes data = Samples(f, frames, l.channels + frames);
                    const std::string path = dir.file(id == kWaveWriter  ? "rt.wav"
                                                      : id == kRawWriter ? "rt.raw"
                                                      : id == kFlacWriter ? "rt.flac"
                                                                         : "rt.wv");
                    // FLAC: integers only, at most 8 channels.
                    if (id == kFlacWriter && (f.isFloat() || l.channels > 8)) {
                        EXPECT_THROW(WriteThrough(id, data, f, l.given, path),
                                     Audio::IO::iFileWriter::IrredeemableFormat);
                        continue;
                    }
                    if (id == kWavpackWriter && f.bytesPerSample() == 8) {
                        EXPECT_THROW(WriteThrough(id, data, f, l.given, path),
                                     Audio::IO::iFileWriter::IrredeemableFormat);
                        continue;
                    }
                    if (id == kWavpackWriter && frames == 0) {
                        EXPECT_THROW(WriteThrough(id, data, f, l.given, path),
                                     iFileWriter_Wavpack::NoSamples);
                        continue;
                    }
                    WriteThrough(id, data, f, l.given, path);
                    if (id == kRawWriter) {
                        EXPECT_EQ(ReadFile(path), data);
                        continue;
                    }
                    Audio::IO::InputDetails details;
                    auto back = Audio::IO::OpenFile(
                        Filesystem::Path::Parse(path, Filesystem::Path::Kind::File), nullptr,
                        nullptr, &details);
                    const Format g = back.format();
                    EXPECT_EQ(g.channels(), l.channels);
                    EXPECT_EQ(g.sampleType(), f.sampleType());
                    EXPECT_EQ(g.sampleRate, 44100.0f);
                    // An empty FLAC stream states no length (total 0 means unknown).
                    if (!(id == kFlacWriter && frames == 0)) {
                        EXPECT_EQ(back->length, std::int64_t(frames * g.bytesPerFrame()));
                    }
                    const Bytes got = ReadAll(*back);
                    EXPECT_EQ(Values(got, g), Values(data, f));
                    // A plain mono or stereo WAVE header states no mask: the usual one.
                    const std::uint32_t mask = details.channelMask ? details.channelMask
                                               : l.channels == 1   ? 0x4
                                               : l.channels == 2   ? 0x3
                                                                   : 0;
                    EXPECT_EQ(mask, l.stored);
                }
            }
        }
    }
}

}  // namespace
