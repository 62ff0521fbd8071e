#include "dsp/PolyphaseDesign.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/FloatMode.h"

namespace DSP::FIR {

namespace {

__extension__ typedef unsigned __int128 u128;

// ---------------------------------------------------------------- ratio

// True when a/b lies strictly closer to n/d than c/e (exact; b, e <= 2^32).
bool closer(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t e, std::uint64_t n,
            std::uint64_t d) {
    auto dist = [&](std::uint64_t p, std::uint64_t q) {  // |p/q - n/d| * q * d
        const u128 x = u128(p) * d, y = u128(q) * n;
        return x > y ? x - y : y - x;
    };
    return dist(a, b) * e < dist(c, e) * b;
}

// Best approximation of n/d with denominator <= maxQ (continued fractions).
std::pair<std::uint64_t, std::uint64_t> bestApproximation(std::uint64_t n, std::uint64_t d,
                                                          std::uint64_t maxQ) {
    std::uint64_t h2 = 0, h1 = 1, k2 = 1, k1 = 0;  // convergents h/k, two back and one back
    std::uint64_t a = n, b = d;
    while (b != 0) {
        const std::uint64_t q = a / b;
        const u128 h = u128(q) * h1 + h2, k = u128(q) * k1 + k2;
        if (k > maxQ || h > UINT_MAX) {
            // Largest semiconvergent that still fits, against the last convergent.
            std::uint64_t t = (maxQ - k2) / k1;
            if (h1 != 0) t = std::min<std::uint64_t>(t, (UINT_MAX - h2) / h1);
            const std::uint64_t hs = h2 + t * h1, ks = k2 + t * k1;
            if (t > 0 && closer(hs, ks, h1, k1, n, d)) return {hs, ks};
            return {h1, k1};
        }
        h2 = h1, h1 = std::uint64_t(h);
        k2 = k1, k1 = std::uint64_t(k);
        const std::uint64_t r = a - q * b;
        a = b, b = r;
    }
    return {h1, k1};
}

// The first convergent of n/d within `tolerance` (relative) of it with denominator <= maxQ,
// else the best approximation with denominator <= maxQ: the fewest phases that do.
std::pair<std::uint64_t, std::uint64_t> fewestPhases(std::uint64_t n, std::uint64_t d,
                                                     std::uint64_t maxQ, double tolerance) {
    const double x = double(n) / double(d);
    std::uint64_t h2 = 0, h1 = 1, k2 = 1, k1 = 0;
    std::uint64_t a = n, b = d;
    while (b != 0) {
        const std::uint64_t q = a / b;
        const u128 h = u128(q) * h1 + h2, k = u128(q) * k1 + k2;
        if (k > maxQ || h > UINT_MAX) break;
        h2 = h1, h1 = std::uint64_t(h);
        k2 = k1, k1 = std::uint64_t(k);
        if (std::abs(double(h1) / double(k1) - x) <= tolerance * x) return {h1, k1};
        const std::uint64_t r = a - q * b;
        a = b, b = r;
    }
    return bestApproximation(n, d, maxQ);
}

// The fraction with the smallest denominator in [ln/ld, hn/hd] (0 < ln/ld < hn/hd; terms below
// 2^100): continued fractions of the two ends until they part.
std::pair<u128, u128> simplestBetween(u128 ln, u128 ld, u128 hn, u128 hd) {
    const u128 whole = ln / ld;
    if (whole * ld == ln || (whole + 1) * hd <= hn)
        return {whole * ld == ln ? whole : whole + 1, 1};
    // Same whole part: x = whole + 1 / y, y between the reciprocals of the fractional parts.
    const auto [p, q] = simplestBetween(hd, hn - whole * hd, ld, ln - whole * ld);
    return {whole * p + q, p};
}

// f = m * 2^x with m an odd integer (f positive and finite).
void decompose(float f, std::uint64_t& m, int& x) {
    int e;
    const double frac = std::frexp(double(f), &e);
    m = static_cast<std::uint64_t>(std::ldexp(frac, 24));
    x = e - 24;
    const int tz = std::countr_zero(m);
    m >>= tz;
    x += tz;
}

// The ratio of `fsIn` (computed in double precision: a rate times a speed) to fsOut that was
// meant: the fraction with the fewest phases within the rounding of that product (8 units of
// fsIn's last place; 44100 Hz at 99.6 % is 43923.6 Hz, 36603/40000 of 48000 Hz, where the
// float rate 43923.6015625 is not); none when its terms are out of range.
// meantRatio: that fraction with at most maxQ phases, or its first convergent within
// kRatioTolerance; none when no such fraction fits.
std::optional<std::pair<std::uint64_t, std::uint64_t>> meantFraction(double fsIn, float fsOut) {
    int e;
    const auto m = static_cast<std::uint64_t>(std::ldexp(std::frexp(fsIn, &e), 53));
    std::uint64_t outM;
    int outX;
    decompose(fsOut, outM, outX);
    // fsIn +- 8 units = (m -+ 8) 2^(e - 53); over fsOut = outM 2^outX.
    const int shift = e - 53 - outX;
    if (std::abs(shift) > 60) return std::nullopt;
    const u128 lo = u128(m) - 8, hi = u128(m) + 8;
    const u128 den = shift >= 0 ? u128(outM) : u128(outM) << -shift;
    const auto [sp, sq] =
        simplestBetween(shift >= 0 ? lo << shift : lo, den, shift >= 0 ? hi << shift : hi, den);
    if (sp > UINT64_MAX / 2 || sq > UINT64_MAX / 2) return std::nullopt;
    return std::pair{std::uint64_t(sp), std::uint64_t(sq)};
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> meantRatio(double fsIn, float fsOut,
                                                                  std::uint64_t maxQ) {
    const auto f = meantFraction(fsIn, fsOut);
    if (!f) return std::nullopt;
    const auto [sp, sq] = *f;
    if (sq <= maxQ && sp <= UINT_MAX) return f;
    const auto [p, q] = fewestPhases(sp, sq, maxQ, kRatioTolerance);
    const double x = double(sp) / double(sq);
    if (q > maxQ || p == 0 || std::abs(double(p) / double(q) - x) > kRatioTolerance * x)
        return std::nullopt;
    return std::pair{p, q};
}

}  // namespace

unsigned maxPhasesFor(std::uint32_t taps) {
    // A phase block: the padded taps and the offset (see PolyphaseTable).
    const std::size_t block = (std::size_t{(taps + 3) & ~3u} + 1) * sizeof(double);
    return static_cast<unsigned>(
        std::clamp<std::size_t>(kMaxTableBytes / block, 1, std::size_t{kMaxPhases}));
}

boost::rational<unsigned> polyphaseRatio(float fsIn, float fsOut, unsigned maxPhases,
                                         double fsInExact) {
    if (!(fsIn > 0) || !(fsOut > 0) || !std::isfinite(fsIn) || !std::isfinite(fsOut))
        throw std::invalid_argument("Sample rates must be positive and finite");
    std::uint64_t a, b;
    int xa, xb;
    decompose(fsIn, a, xa);
    decompose(fsOut, b, xb);
    const int shift = xa - xb;
    // a * 2^shift / b, with both terms integers below 2^63.
    const int room = 63 - std::bit_width(shift >= 0 ? a : b);
    if (std::abs(shift) > room)
        throw std::invalid_argument("The ratio of the sample rates is out of range");
    if (shift >= 0)
        a <<= shift;
    else
        b <<= -shift;
    const std::uint64_t g = std::gcd(a, b);
    a /= g, b /= g;
    if (a / b > UINT_MAX)
        throw std::invalid_argument("The ratio of the sample rates is out of range");

    maxPhases = std::clamp(maxPhases, 1u, kMaxPhases);
    std::uint64_t p = a, q = b;
    bool meant = false;
    // A rate the float rounded (a rate times a speed) converts at the rate meant, also when the
    // float's own ratio fits (12345 Hz at 100.01 % to 67890 Hz drifted by 1e-8 of the time).
    if (fsInExact > 0 && static_cast<float>(fsInExact) == fsIn &&
        (double(fsIn) != fsInExact || q > maxPhases || p > UINT_MAX)) {
        if (const auto r = meantRatio(fsInExact, fsOut, maxPhases)) {
            std::tie(p, q) = *r;
            meant = true;
        }
    }
    if (!meant && (q > maxPhases || p > UINT_MAX))
        std::tie(p, q) = fewestPhases(a, b, maxPhases, kRatioTolerance);
    const double exact = double(a) / double(b);
    if (p == 0 || p > UINT_MAX)
        throw std::invalid_argument("The ratio of the sample rates is out of range");
    if (!meant && std::abs(double(p) / double(q) - exact) > kRatioTolerance * exact) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "The ratio of the sample rates (%.9g Hz to %.9g Hz) needs more than %u "
                      "filter phases to be converted exactly",
                      double(fsIn), double(fsOut), maxPhases);
        throw RatioNeedsMorePhases(text, maxPhases);
    }
    // The float's ratio taken, where the float rounded the rate meant: the fraction nearest the
    // rate meant within the phases, when nearer (12345 Hz at 100.01 % to 67890 Hz drifted by
    // 1e-8 of the time on the float's 25489/140160, by 2e-9 on 864/4751).
    if (!meant && fsInExact > 0 && static_cast<float>(fsInExact) == fsIn &&
        double(fsIn) != fsInExact) {
        if (const auto f = meantFraction(fsInExact, fsOut)) {
            const auto [bp, bq] = bestApproximation(f->first, f->second, maxPhases);
            const double x = double(f->first) / double(f->second);
            if (bp > 0 && bp <= UINT_MAX &&
                std::abs(double(bp) / double(bq) - x) < std::abs(double(p) / double(q) - x))
                p = bp, q = bq;
        }
    }
    return boost::rational<unsigned>(static_cast<unsigned>(p), static_cast<unsigned>(q));
}

PlannedConvolution planConvolution(double origin, double syncOffset, double windowLength,
                                   boost::rational<unsigned> ratio) {
    if (!std::isfinite(origin) || !std::isfinite(syncOffset))
        throw std::invalid_argument("Time origin and sync offset must be finite");
    if (!(windowLength > 0) || !std::isfinite(windowLength) || windowLength > 1e6)
        throw std::invalid_argument("Polyphase window length out of range");
    const unsigned P = ratio.numerator(), Q = ratio.denominator();
    const double R = double(P) / double(Q);
    const double N = windowLength;
    const double s = syncOffset > 0 ? syncOffset : 0.0;

    const double D0 = origin - R * s + N / 2;
    // Beyond this the grid position loses its fraction.
    if (std::abs(D0) > 0x1p32) throw std::invalid_argument("Time origin or sync offset too large");
    const double k = std::ceil(D0 / R) - 1;
    const double D = D0 - k * R - N;
    // D lies in (-N, R - N]; far from it only when origin or sync offset are
    // so large that their sum lost its fraction.
    if (!(D > -N - 1 && D <= R - N + 1))
        throw std::invalid_argument("Time origin or sync offset too large");
    const double fD = std::floor(D);

    PlannedConvolution r;
    ConvolutionPlan& p = r.plan;
    p.leadIn = static_cast<std::int32_t>(-(fD + 1));
    p.firstTapOffset = (fD + 1) - D - N / 2;
    p.halfLength = N / 2;
    p.step = R;
    p.base = -p.firstTapOffset - N / 2;
    // Window lengths are whole numbers up to rounding.
    const double n = std::ceil(N - 1e-9 * N);
    if (Q == 1) {
        // One phase: taps at y - N/2 + i with y = 1 - frac(base) in (0, 1];
        // those at or beyond +N/2 are zero.
        const double y = (std::floor(p.base) + 1) - p.base;
        p.taps = static_cast<std::uint32_t>(std::max(1.0, std::ceil(N - y - 1e-9 * N)));
    } else {
        p.taps = static_cast<std::uint32_t>(n);
    }
    r.outputOrigin = k + s;
    return r;
}

// ---------------------------------------------------------------- table

PolyphaseTable::PolyphaseTable(const ConvolutionPlan& plan, boost::rational<unsigned> ratio,
                               const TapSampler& sample)
    : iResampler(plan),
      numerator(ratio.numerator()),
      denominator(ratio.denominator()),
      paddedTaps((taps + 3) & ~3u),
      stride(paddedTaps + 1) {
    if (numerator == 0 || denominator == 0 || denominator > kMaxPhases || taps == 0)
        throw WobblyBecause("the polyphase ratio " + std::to_string(numerator) + "/" +
                            std::to_string(denominator) + " is out of range (at most " +
                            std::to_string(kMaxPhases) + " phases)");
    coefficients.reset(new double[std::size_t{stride} * denominator]);
    ScopedFloatMode mode;
    for (std::uint32_t j = 0; j < denominator; ++j) {
        double* block = coefficients.get() + std::size_t{j} * stride;
        const double x = j * step + base;
        const double k = std::floor(x) + 1;
        const double y = k - x;  // in (0, 1]
        const std::int32_t ki = static_cast<std::int32_t>(k);
        block[0] = 0.0;
        std::memcpy(block, &ki, sizeof ki);
        sample(block + 1, block + stride, y - halfLength, taps);
    }
}

std::int32_t PolyphaseTable::offset(std::uint32_t j) const {
    std::int32_t k;
    std::memcpy(&k, coefficients.get() + std::size_t{j} * stride, sizeof k);
    return k;
}

std::uint64_t PolyphaseTable::inputNeeded(std::uint32_t phase, std::uint64_t n) const {
    if (n == 0) return 0;
    const std::uint64_t last = phase + n - 1;
    const std::uint64_t m = last / denominator;
    const auto ph = static_cast<std::uint32_t>(last % denominator);
    const std::uint64_t taps_ = offset(ph) + m * numerator + taps;
    const std::uint64_t consumed = (phase + n) / denominator * numerator;
    return std::max(taps_, consumed);
}

}  // namespace DSP::FIR
