#include "audio/format/ScaleDither.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>

namespace Audio {

namespace {

// 2^shift as a double; |shift| stays far inside the exponent range because
// scale exponents are 8-bit.
double gainOf(std::int32_t shift) {
    return std::ldexp(1.0, shift);
}

// scaleExponent with the reserved values (default, unspecified) read as
// the type's default.
std::int32_t scaleOf(const Format& f) {
    std::uint32_t s = f.scaleExponent();
    if (s == Format::kScaleDefault || s == Format::kScaleUnspecified) {
        s = f.isInteger() ? f.bytesPerSample() * 8 : 1;
    }
    return static_cast<std::int32_t>(s);
}

}  // namespace

ScaleDither<0, 0>::ScaleDither(std::int32_t s) : shift(s) {
    active = false;
}

void ScaleDither<0, 0>::process(slice<double> samples) {
    const double g = gainOf(shift);
    for (double* p = samples.begin; p != samples.end; ++p) *p *= g;
}

DitherGenerator::DitherGenerator(std::uint64_t seed)
    : state{seed != 0 ? seed : 0x9E3779B97F4A7C15ULL, 0} {}

std::uint64_t DitherSeed() {
    static std::atomic<std::uint64_t> serial{0};
    auto ticks = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return ticks ^ (serial.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ULL);
}

ScaleDither<1, 0>::ScaleDither(std::int32_t s, std::uint64_t seed)
    : DitherGenerator(seed), shift(s) {
    active = true;
}

void ScaleDither<1, 0>::process(slice<double> samples) {
    const double g = gainOf(shift);
    constexpr double kStep = 1.0 / 2147483648.0;  // 2^-31
    Run run(*this);
    for (double* p = samples.begin; p != samples.end; ++p) {
        std::uint64_t w = run.next();
        // Difference of two uniform 31-bit numbers: triangular on (-2^31, 2^31).
        auto lo = static_cast<std::int32_t>(w & 0x7FFFFFFFu);
        auto hi = static_cast<std::int32_t>((w >> 32) & 0x7FFFFFFFu);
        double x = *p * g;
        *p = x + static_cast<double>(lo - hi) * kStep;
    }
    run.save(*this, samples.length());
}

ScaleDither<2, 4>::ScaleDither(std::int32_t s, std::uint64_t seed)
    : DitherGenerator(seed), shift(s) {
    active = true;
}

void ScaleDither<2, 4>::process(slice<double> samples) {
    const double g = gainOf(shift);
    Run run(*this);
    std::uint64_t draws = 0;
    for (double* p = samples.begin; p != samples.end; ++p) {
        double x = *p * g;
        std::uint64_t bits;
        std::memcpy(&bits, &x, 8);
        std::uint64_t e = (bits >> 52) & 0x7FF;
        if (e == 0) {  // zero or denormal: no dither, no draw
            *p = x;
            continue;
        }
        // c uniform on [-2^31, 2^31), scaled by 2^(e-1023-55) so that |c| is
        // below 2^(unbiased e - 24), half a float ulp in x's binade. For
        // binades far below float's range the scale would underflow: no
        // dither is needed there, as the value rounds to zero anyway.
        ++draws;
        auto c =
            static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(run.next())));
        std::uint64_t scaleBits = e > 55 ? (e - 55) << 52 : 0;
        double scale;
        std::memcpy(&scale, &scaleBits, 8);
        *p = x + c * scale;
    }
    run.save(*this, draws);
}

std::int32_t ScaleShift(const Format& in, const Format& out, bool downmix) {
    std::int32_t inScale = scaleOf(in);
    if (in.isInteger()) inScale += static_cast<std::int32_t>(in.paddingBits());
    return scaleOf(out) - inScale - (downmix ? 1 : 0);
}

std::uint64_t SeedFromNumber(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

sptr<iScaleDither> SelectScaleDither(const Format& in, const Format& out, bool downmix,
                                     std::uint64_t seed) {
    std::int32_t shift = ScaleShift(in, out, downmix);
    if (out.isInteger() && (in.isFloat() || scaleOf(out) < scaleOf(in))) {
        return std::make_unique<ScaleDither<1, 0>>(shift, seed);
    }
    if (!out.isInteger() && in.isFloat() && out.bytesPerSample() < in.bytesPerSample()) {
        return std::make_unique<ScaleDither<2, 4>>(shift, seed);
    }
    if (shift != 0) return std::make_unique<ScaleDither<0, 0>>(shift);
    return nullptr;
}

}  // namespace Audio
