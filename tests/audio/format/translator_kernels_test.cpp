// Bit-exact behaviour of the decoders and encoders: rounding, clipping,
// offset binary, packing and byte order of every width, lossless round trips.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "audio/format/KernelIsa.h"
#include "audio/format/Translator.h"
#include "audio/format/TranslatorKernels.h"
#include "translator_helpers.h"

using Audio::Format;
using Audio::FormatTranslator;
using namespace fmt_test;

namespace {

// Encodes doubles with the encoder of a translator from 64-bit float (scale
// equal to the output's) to `out`: the kernel alone, no gain, no dither.
std::vector<std::uint8_t> encode(Format out, const std::vector<double>& values,
                                 unsigned flags = 0) {
    FormatTranslator t(flags, floatFormat(8, out.channels(), 0xFF), out);
    std::vector<std::uint8_t> in = doublesToBytes(values);
    std::vector<std::uint8_t> bytes(values.size() * out.bytesPerSample());
    t.encoder(bytes.data(), in.data(), values.size());
    return bytes;
}

std::vector<std::int64_t> decodeToIntegers(Format in, const std::vector<std::uint8_t>& bytes) {
    // To 64-bit float with the input's scale: no gain step, pure decoding.
    FormatTranslator t(1, in, floatFormat(8, in.channels(), 0xFF));
    EXPECT_EQ(t.scaleDither, nullptr);
    std::size_t n = bytes.size() / in.bytesPerSample();
    std::vector<std::uint8_t> out(n * 8);
    Stream::Block r =
        t.Translate({const_cast<std::uint8_t*>(bytes.data()),
                     const_cast<std::uint8_t*>(bytes.data()) + bytes.size(), Stream::Samples},
                    out.data());
    EXPECT_EQ(r.length(), n * 8);
    std::vector<std::int64_t> values;
    for (std::size_t i = 0; i < n; ++i) {
        double d = doubleAt(out.data(), i);
        EXPECT_EQ(d, std::trunc(d));
        values.push_back(static_cast<std::int64_t>(d));
    }
    return values;
}

struct IntType {
    std::uint32_t bytes;
    bool offset;
    bool big;
};

std::vector<IntType> allIntTypes() {
    std::vector<IntType> types;
    for (std::uint32_t w = 1; w <= 4; ++w)
        for (bool offset : {false, true})
            for (bool big : {false, true}) types.push_back({w, offset, big});
    return types;
}

// Every value for 8 and 16 bits; extremes and a spread of others above.
std::vector<std::int64_t> testValues(std::uint32_t bytes) {
    const std::int64_t lo = -(std::int64_t{1} << (8 * bytes - 1)), hi = -lo - 1;
    std::vector<std::int64_t> v;
    if (bytes <= 2) {
        for (std::int64_t x = lo; x <= hi; ++x) v.push_back(x);
        return v;
    }
    v = {lo, lo + 1, -1, 0, 1, hi - 1, hi, 0x123456 % hi, -(0x654321 % hi)};
    std::mt19937_64 rng(bytes);
    std::uniform_int_distribution<std::int64_t> dist(lo, hi);
    for (int i = 0; i < 4001; ++i) v.push_back(dist(rng));
    return v;
}

}  // namespace

TEST(TranslatorEncoder, RoundsTiesToEvenClipsAndMapsNaNToMinimum) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> in = {2.5,     3.5,      -2.5,   -3.5, 40000.0, -40000.0, nan,
                              32767.5, -32768.5, 0.4999, -0.0, 1e300,   -inf,     inf};
    std::vector<std::int16_t> expect = {2,     4,      -2, -4, 32767, -32768, -32768,
                                        32767, -32768, 0,  0,  32767, -32768, 32767};
    std::vector<std::uint8_t> bytes = encode(intFormat(2), in);
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::int16_t v;
        std::memcpy(&v, bytes.data() + 2 * i, 2);
        EXPECT_EQ(v, expect[i]) << "input " << in[i];
    }
    // Offset binary: silence is the midpoint.
    EXPECT_EQ(encode(intFormat(2, 1, kOffset), {0.0}), (std::vector<std::uint8_t>{0x00, 0x80}));
    EXPECT_EQ(encode(intFormat(1, 1, kOffset), {0.0, -128.0, 127.0}),
              (std::vector<std::uint8_t>{0x80, 0x00, 0xFF}));
}

TEST(TranslatorEncoder, ClipsToEveryWidthAndToScaleOnRequest) {
    for (std::uint32_t w = 1; w <= 4; ++w) {
        const double top = std::ldexp(1.0, 8 * w - 1);
        std::vector<std::uint8_t> got = encode(intFormat(w), {top, -top - 1.0, top * 4, -top * 4});
        std::vector<std::uint8_t> want(4 * w);
        const auto hi = static_cast<std::int64_t>(top) - 1, lo = -static_cast<std::int64_t>(top);
        packInt(&want[0], hi, w, false, false);
        packInt(&want[w], lo, w, false, false);
        packInt(&want[2 * w], hi, w, false, false);
        packInt(&want[3 * w], lo, w, false, false);
        EXPECT_EQ(got, want) << w << " bytes";
    }
    // ClipToScale: a 16-bit container with a 12-bit scale clips to 12 bits;
    // without the flag it clips to the container.
    Format f12 = intFormat(2, 1, 0, 12);
    std::vector<std::uint8_t> clipped =
        encode(f12, {3000.0, -3000.0}, FormatTranslator::ClipToScale);
    std::vector<std::uint8_t> want(4);
    packInt(&want[0], 2047, 2, false, false);
    packInt(&want[2], -2048, 2, false, false);
    EXPECT_EQ(clipped, want);
    std::vector<std::uint8_t> full = encode(f12, {3000.0, -3000.0});
    packInt(&want[0], 3000, 2, false, false);
    packInt(&want[2], -3000, 2, false, false);
    EXPECT_EQ(full, want);
}

TEST(TranslatorEncoder, PacksTwentyFourBitSamples) {
    // Six values cover a round of four and a remainder of two.
    std::vector<double> in = {1.0, -1.0, 0x123456, -8388608.0, 8388608.0, 0x0A0B0C};
    std::vector<std::uint8_t> le = encode(intFormat(3), in);
    EXPECT_EQ(le,
              (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x56, 0x34, 0x12, 0x00,
                                         0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x0C, 0x0B, 0x0A}));
    std::vector<std::uint8_t> be = encode(intFormat(3, 1, kBig), in);
    EXPECT_EQ(be,
              (std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0x80,
                                         0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x0A, 0x0B, 0x0C}));
    std::vector<std::uint8_t> off = encode(intFormat(3, 1, kOffset), {0.0, 8388607.0});
    EXPECT_EQ(off, (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF}));
}

TEST(TranslatorDecoder, OffsetBinaryAndSignExtension) {
    EXPECT_EQ(decodeToIntegers(intFormat(1, 1, kOffset), {0x80, 0x00, 0xFF}),
              (std::vector<std::int64_t>{0, -128, 127}));
    EXPECT_EQ(decodeToIntegers(intFormat(1), {0x80, 0xFF, 0x7F}),
              (std::vector<std::int64_t>{-128, -1, 127}));
    EXPECT_EQ(decodeToIntegers(intFormat(3, 1, kOffset), {0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF}),
              (std::vector<std::int64_t>{0, 8388607}));
    // Five 24-bit samples: a packed round of four and a single one.
    EXPECT_EQ(decodeToIntegers(intFormat(3), {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF,
                                              0x56, 0x34, 0x12, 0x01, 0x00, 0x80}),
              (std::vector<std::int64_t>{-8388608, 8388607, -1, 0x123456, -8388607}));
    EXPECT_EQ(decodeToIntegers(intFormat(4, 1, kOffset | kBig), {0x80, 0, 0, 0, 0, 0, 0, 0}),
              (std::vector<std::int64_t>{0, -2147483648LL}));
}

// Every integer type, both orders, signed and offset: bytes decode to the
// reference values and encode back to the same bytes.
TEST(TranslatorKernels, IntegerRoundTripThroughDoubleIsLossless) {
    for (const IntType& t : allIntTypes()) {
        const Format f = intFormat(t.bytes, 1, (t.offset ? kOffset : 0) | (t.big ? kBig : 0));
        const std::vector<std::int64_t> values = testValues(t.bytes);
        std::vector<std::uint8_t> bytes(values.size() * t.bytes);
        for (std::size_t i = 0; i < values.size(); ++i) {
            packInt(&bytes[i * t.bytes], values[i], t.bytes, t.offset, t.big);
        }
        SCOPED_TRACE(testing::Message()
                     << t.bytes << " bytes, offset " << t.offset << ", big " << t.big);
        std::vector<std::int64_t> decoded = decodeToIntegers(f, bytes);
        ASSERT_EQ(decoded, values);
        std::vector<double> asDoubles(decoded.begin(), decoded.end());
        EXPECT_EQ(encode(f, asDoubles), bytes);
    }
}

TEST(TranslatorKernels, FloatsInBothByteOrders) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {0.0f, -0.0f, 1.0f,   -1.5f, 3.4e38f,
                                       -inf, inf,   1e-30f, 0.1f,  -123456.789f};
    for (bool big : {false, true}) {
        // 32-bit float to 64-bit float: exact widening.
        std::vector<std::uint8_t> f32(values.size() * 4);
        for (std::size_t i = 0; i < values.size(); ++i) {
            std::uint32_t bits;
            std::memcpy(&bits, &values[i], 4);
            packInt(&f32[4 * i], bits, 4, false, big);
        }
        Format in = floatFormat(4, 1, 1, big ? kBig : 0);
        FormatTranslator widen(1, in, floatFormat(8));
        ASSERT_EQ(widen.scaleDither, nullptr);
        std::vector<std::uint8_t> wide(values.size() * 8);
        widen.Translate({f32.data(), f32.data() + f32.size(), Stream::Samples}, wide.data());
        for (std::size_t i = 0; i < values.size(); ++i) {
            double d = doubleAt(wide.data(), i);
            EXPECT_EQ(std::signbit(d), std::signbit(values[i]));
            EXPECT_EQ(d, static_cast<double>(values[i]));
        }
        // And back: the float encoder in the same byte order restores the bytes.
        std::vector<double> asDoubles(values.begin(), values.end());
        EXPECT_EQ(encode(in, asDoubles), f32);

        // 64-bit floats: a byte swap each way.
        std::vector<std::uint8_t> f64(values.size() * 8);
        for (std::size_t i = 0; i < values.size(); ++i) {
            double d = values[i] * 1.000000001;
            std::uint64_t bits;
            std::memcpy(&bits, &d, 8);
            packInt(&f64[8 * i], static_cast<std::int64_t>(bits), 8, false, big);
            asDoubles[i] = d;
        }
        Format in64 = floatFormat(8, 1, 1, big ? kBig : 0);
        FormatTranslator copy(1, in64, floatFormat(8));
        std::vector<std::uint8_t> native(f64.size());
        copy.Translate({f64.data(), f64.data() + f64.size(), Stream::Samples}, native.data());
        EXPECT_EQ(native, doublesToBytes(asDoubles));
        EXPECT_EQ(encode(in64, asDoubles), f64);
    }
}

TEST(TranslatorEncoder, FloatNarrowingRoundsToNearestEven) {
    const double ulp = std::ldexp(1.0, -23);  // float spacing in [1, 2)
    std::vector<std::uint8_t> bytes =
        encode(floatFormat(4), {1.0 + ulp / 2, 1.0 + 1.5 * ulp, 1.0 + 0.75 * ulp, 1e39});
    float f[4];
    std::memcpy(f, bytes.data(), 16);
    EXPECT_EQ(f[0], 1.0f);
    EXPECT_EQ(f[1], static_cast<float>(1.0 + 2 * ulp));
    EXPECT_EQ(f[2], static_cast<float>(1.0 + ulp));
    EXPECT_TRUE(std::isinf(f[3]));  // floats are not clipped
}

// The vector kernels of every instruction set the CPU has against the portable ones,
// for every integer type, parameter kind and length around the vector widths: the
// same output bytes, and nothing written past the n samples.
TEST(TranslatorKernels, EveryInstructionSetGivesThePortableBits) {
    std::mt19937_64 rng(5);
    std::vector<std::uint8_t> raw(4 * 300);
    for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
    const double special[] = {0.5, 1.5, -2.5, -0.0, NAN, INFINITY, -INFINITY, 1e300, -1e300,
                              8388607.5, -8388608.5, 2147483647.5, 32767.5, -32768.5};
    std::vector<double> values;
    for (int i = 0; i < 300; ++i) {
        values.push_back(i % 4 == 0 ? special[i / 4 % std::size(special)]
                                    : std::ldexp(std::sin(i * 1.7), 8 * (i % 5)));
    }
    const std::uint8_t kGuard = 0xEE;
    struct Params {
        std::uint32_t p1, p2;  // decoder: bits to clear; encoder: shift, clip bits
    };
    for (const IntType& type : allIntTypes()) {
        const std::uint32_t w = type.bytes;
        const auto low = static_cast<std::uint8_t>(0x20 + w);
        for (const Params& p : {Params{0, 8 * w}, Params{w > 1 ? 4u : 1u, 8 * w - 4}}) {
            for (std::size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 23, 31, 33, 255, 300}) {
                auto run = [&](Audio::KernelIsa isa) {
                    EXPECT_TRUE(Audio::selectKernelIsa(isa));
                    auto dec = Audio::Kernels::Decoder(low, type.offset, type.big);
                    auto enc = Audio::Kernels::Encoder(low, type.offset, type.big);
                    // Sources end where the samples end, so reads past them would be out of range.
                    std::vector<std::uint8_t> src(raw.begin(), raw.begin() + w * n);
                    std::vector<std::uint8_t> out(8 * n + 16, kGuard);
                    dec(out.data(), src.data(), n, p.p1, 8 * w);
                    std::vector<std::uint8_t> doubles = doublesToBytes(
                        std::vector<double>(values.begin(), values.begin() + n));
                    std::vector<std::uint8_t> packed(w * n + 16, kGuard);
                    enc(packed.data(), doubles.data(), n, p.p1, p.p2);
                    out.insert(out.end(), packed.begin(), packed.end());
                    return out;
                };
                const std::vector<std::uint8_t> expected = run(Audio::KernelIsa::Portable);
                for (Audio::KernelIsa isa : {Audio::KernelIsa::AVX2, Audio::KernelIsa::AVX512}) {
                    if (isa > Audio::bestKernelIsa()) continue;
                    EXPECT_EQ(run(isa), expected) << w << " offset " << type.offset << " big "
                                                  << type.big << " p1 " << p.p1 << " n " << n;
                }
            }
        }
    }
    Audio::resetKernelIsa();
}
