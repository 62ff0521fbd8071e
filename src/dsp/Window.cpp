#include "dsp/Window.h"

#include <algorithm>
#include <boost/math/special_functions/bessel.hpp>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "base/FloatMode.h"
#include "base/Wobbly.h"

namespace DSP {

namespace {

constexpr double kPi = 3.141592653589793;

// Modified Bessel function of order 0, evaluated in double precision (the
// default policy would promote to long double, several times slower per
// tap); Boost's overflow error propagates.
double I0(double x) {
    using InDouble = boost::math::policies::policy<boost::math::policies::promote_double<false>>;
    return boost::math::cyl_bessel_i(0, x, InDouble());
}

// Horner's rule from the highest coefficient down.
template <std::size_t N>
double horner(const double (&c)[N], double x) {
    double r = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) r = r * x + c[i];
    return r;
}

// sin(y) / y, by its series near 0.
double sinc(double y) {
    if (std::fabs(y) < 0.03) {
        const double y2 = y * y;
        return 1.0 - y2 / 6.0 + y2 * y2 / 120.0 - y2 * y2 * y2 / 5040.0 +
               y2 * y2 * y2 * y2 / 362880.0;
    }
    return std::sin(y) / y;
}

bool isResponsePoint(ResponsePoint p) {
    return p == FirstNull || p == Minus6dB || p == Minus3dB;
}

void checkPoint(ResponsePoint p) {
    if (!isResponsePoint(p)) throw std::invalid_argument("window: unknown response point");
}

// Where sin(pi x) / (pi x) is 0, 10^(-6/20) and 10^(-3/20).
constexpr double kRectangularPoints[3] = {1.0, 0.6024798341651724, 0.44224338962626814};

// Kind-specific parts of WindowInstance<K>.
template <class K>
struct Kind;

template <>
struct Kind<Windows::Kaiser> {
    static constexpr bool adjustable = true;
    static double firstNull(const Windows::Kaiser& k) {
        return std::sqrt(1.0 + k.beta * k.beta / (kPi * kPi));
    }
    static double shape(const Windows::Kaiser& k, double t) {
        return I0(k.beta * std::sqrt(1.0 - t * t));
    }
    static double responsePoint(const Windows::Kaiser& k, ResponsePoint, double length) {
        return firstNull(k) / length;
    }
    static double widthStretch(const Windows::Kaiser& k, const WidthSpec& spec) {
        return 2.0 * firstNull(k) / (k.naturalWidth * spec.width);
    }
    static Windows::Kaiser adjusted(const Windows::Kaiser& k, ResponsePoint, double newLength,
                                    double length) {
        const double z = firstNull(k) * newLength / length;
        double d = z * z - 1.0;
        if (d < 0.0 && d > -1e-12) d = 0.0;  // rounding at beta = 0
        if (!(d >= 0.0) || !std::isfinite(d)) {
            throw std::invalid_argument("Kaiser window too short for the requested main lobe");
        }
        return Windows::kaiserBlock(kPi * std::sqrt(d));
    }
    static Math::complex spectrum(const Windows::Kaiser& k, double stretch, double scale,
                                  double omega) {
        return {scale * Windows::KaiserTransform(k.beta, stretch * omega), 0.0};
    }
};

template <>
struct Kind<Windows::PowerOfCosine> {
    static constexpr bool adjustable = true;
    static double firstNull(const Windows::PowerOfCosine& k) { return k.halfPower + 1.0; }
    static double shape(const Windows::PowerOfCosine& k, double t) {
        return std::pow(1.0 + std::cos(t), k.halfPower);
    }
    static double responsePoint(const Windows::PowerOfCosine& k, ResponsePoint p, double length) {
        return p == FirstNull ? firstNull(k) / length : 0.0;
    }
    static double widthStretch(const Windows::PowerOfCosine& k, const WidthSpec& spec) {
        return spec.point == FirstNull ? (2.0 * k.halfPower + 2.0) / (k.naturalWidth * spec.width)
                                       : 0.0;
    }
    static Windows::PowerOfCosine adjusted(const Windows::PowerOfCosine& k, ResponsePoint p,
                                           double newLength, double length) {
        const double exponent =
            p == FirstNull ? 2.0 * (firstNull(k) * newLength / length - 1.0) : 0.0;
        if (!(exponent >= 0.0) || !std::isfinite(exponent)) {
            throw std::invalid_argument("power-of-cosine window too short for the main lobe");
        }
        return Windows::powerOfCosineBlock(exponent);
    }
    static Math::complex spectrum(const Windows::PowerOfCosine&, double, double, double) {
        throw Wobbly{};
    }
};

template <>
struct Kind<Windows::Polynomial> {
    static constexpr bool adjustable = false;
    static double firstNull(const Windows::Polynomial& k) { return k.firstNull; }
    static double shape(const Windows::Polynomial& k, double t) {
        return k.c0 + k.c1 * std::cos(t) + k.c2 * std::cos(2.0 * t) + k.c3 * std::cos(3.0 * t);
    }
    static double responsePoint(const Windows::Polynomial& k, ResponsePoint, double length) {
        return k.firstNull / length;
    }
    static double widthStretch(const Windows::Polynomial& k, const WidthSpec& spec) {
        return 2.0 * k.firstNull / (k.naturalWidth * spec.width);
    }
    static Math::complex spectrum(const Windows::Polynomial&, double, double, double) {
        throw Wobbly{};
    }
};

template <>
struct Kind<Windows::Rectangular> {
    static constexpr bool adjustable = false;
    static double firstNull(const Windows::Rectangular&) { return 1.0; }
    static double shape(const Windows::Rectangular&, double) { return 1.0; }
    static double responsePoint(const Windows::Rectangular&, ResponsePoint p, double length) {
        return kRectangularPoints[p] / length;
    }
    static double widthStretch(const Windows::Rectangular& k, const WidthSpec& spec) {
        return 2.0 * kRectangularPoints[spec.point] / (k.naturalWidth * spec.width);
    }
    static Math::complex spectrum(const Windows::Rectangular&, double, double, double) {
        throw Wobbly{};
    }
};

}  // namespace

namespace Windows {

double rippleFor(double attenuationDb) {
    return 20.0 * std::log(1.0 + std::pow(0.1, 0.05 * attenuationDb));
}

double kaiserBeta(double a) {
    if (a <= 21.0) return 0.0;
    if (a <= 50.0) return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
    return 0.1102 * (a - 8.7);
}

double kaiserAttenuation(double beta) {
    static const double k[11] = {21.5674457614,  -0.673125267,   2.509376526,     1.066474915,
                                 -1.656898499,   1.004417419,    -0.3696193695,   0.08729076385,
                                 -0.01294159889, 0.001098394394, -4.073092714e-05};
    if (beta <= 0.0) return 21.0;
    if (beta <= 4.533514121) return horner(k, beta);
    return beta * 9.074410163339383 + 8.7;
}

double KaiserTransform(double beta, double u) {
    const double d = beta * beta - u * u;
    if (d >= 0.0) {
        const double s = std::sqrt(d);
        if (std::fabs(s) < 0.03) {
            return 2.0 *
                   (1.0 + d / 6.0 + d * d / 120.0 + d * d * d / 5040.0 + d * d * d * d / 362880.0);
        }
        return 2.0 * std::sinh(s) / s;
    }
    const double e = -d, s = std::sqrt(e);
    if (s < 0.03) {
        return 2.0 *
               (1.0 - e / 6.0 + e * e / 120.0 - e * e * e / 5040.0 + e * e * e * e / 362880.0);
    }
    return 2.0 * std::sin(s) / s;
}

double powerOfCosineExponent(double attenuationDb) {
    static const double q[8] = {-87.30613995,     10.06135285,      -0.4851071276,
                                0.01272724653,    -0.0001946654115, 1.739771641e-06,
                                -8.422827574e-09, 1.70558937e-11};
    return horner(q, std::max(attenuationDb, 28.0));
}

Kaiser kaiserBlock(double beta) {
    Kaiser k;
    k.naturalWidth = 2.0;
    k.integral = KaiserTransform(beta, 0.0);
    k.energy = std::numeric_limits<double>::quiet_NaN();
    k.peak = I0(beta);
    k.attenuation = kaiserAttenuation(beta);
    k.ripple = rippleFor(k.attenuation);
    k.beta = beta;
    return k;
}

PowerOfCosine powerOfCosineBlock(double p) {
    static const double r[9] = {19.06998014,    20.23754883,     -8.298219681,
                                3.699149132,    -1.036928415,    0.1776936054,
                                -0.01792366803, 0.0009658888448, -2.111652429e-05};
    const double step = 0.0030679615757712823;  // pi / 1024
    double s1 = 0.0, s2 = 0.0;
    for (int i = 0; i < 1024; ++i) {
        const double v = 1.0 + std::cos((i + 0.5) * step);
        s1 += std::pow(v, p);
        s2 += std::pow(v, p / 2.0);
    }
    PowerOfCosine k;
    k.naturalWidth = 2.0 * kPi;
    k.integral = step * s2 / std::pow(2.0, p / 2.0);
    k.energy = step * s1 * std::pow(2.0, -p);
    k.peak = std::pow(2.0, p / 2.0);
    k.attenuation = horner(r, p);
    k.ripple = rippleFor(k.attenuation);
    k.halfPower = p / 2.0;
    return k;
}

Polynomial blackmanHarrisBlock() {
    Polynomial k;
    k.c0 = 0.35875;
    k.c1 = 0.48829;
    k.c2 = 0.14128;
    k.c3 = 0.01168;
    k.naturalWidth = 2.0 * kPi;
    k.integral = 2.0 * kPi * k.c0;
    k.energy = 2.0 * kPi * (k.c0 * k.c0 + (k.c1 * k.c1 + k.c2 * k.c2 + k.c3 * k.c3) / 2.0);
    k.peak = k.c0 + k.c1 + k.c2 + k.c3;
    k.attenuation = 92.0;
    k.ripple = rippleFor(k.attenuation);
    k.firstNull = 4.0;
    return k;
}

const Rectangular& rectangularBlock() {
    static const Rectangular block = [] {
        Rectangular k;
        k.naturalWidth = 1.0;
        k.integral = 1.0;
        k.energy = 1.0;
        k.peak = 1.0;
        k.attenuation = 13.0;
        k.ripple = 4.040393929767711;
        return k;
    }();
    return block;
}

}  // namespace Windows

WindowTraits::WindowTraits(const Windows::Common& block, double stretch_, double scale_,
                           bool adjustable_, double firstNull)
    : flag(block.flag),
      lengthSamples(block.naturalWidth * stretch_),
      integral(block.integral * stretch_ * scale_),
      energy(block.energy * stretch_ * scale_ * scale_),
      peak(block.peak * scale_),
      attenuation(block.attenuation),
      ripple(Windows::rippleFor(block.attenuation)),
      stretch(stretch_),
      scale(scale_),
      adjustable(adjustable_),
      nullSpacing(lengthSamples / firstNull) {}

sptr<Window> Window::withGain(double gain) const {
    return scaled(stretch, scale * gain);
}

sptr<Window> Window::withPeak(double amplitude) const {
    return scaled(stretch, amplitude / shape()->peak);
}

unsigned Window::integerLength(unsigned flags) const {
    if (!(lengthSamples >= 0.0 && lengthSamples <= 2147483648.0)) {
        throw std::invalid_argument("window length out of range");
    }
    const auto n = static_cast<std::uint32_t>(std::ceil(lengthSamples));
    const std::uint32_t o = flags & Odd;
    std::uint32_t m = n - o;
    if (flags & PowerOfTwo) {
        --m;
        m |= m >> 1;
        m |= m >> 2;
        m |= m >> 4;
        m |= m >> 8;
        m |= m >> 16;
        ++m;
        return o + m;
    }
    if (flags & (Odd | Even)) return m + (m & 1) + o;
    return n;
}

template <class K>
WindowInstance<K>::WindowInstance(const K& block, double stretch_, double scale_)
    : Window(block, stretch_, scale_, Kind<K>::adjustable, Kind<K>::firstNull(block)),
      params(block) {}

template <class K>
double WindowInstance<K>::value(double x) const {
    if (lengthSamples < 2.0 * std::fabs(x)) return 0.0;
    return Kind<K>::shape(params, x / stretch);
}

template <class K>
sptr<Window> WindowInstance<K>::scaled(double newStretch, double newScale) const {
    return std::make_unique<WindowInstance<K>>(params, newStretch, newScale);
}

template <class K>
double WindowInstance<K>::responsePoint(ResponsePoint point) const {
    checkPoint(point);
    return Kind<K>::responsePoint(params, point, lengthSamples);
}

template <class K>
double WindowInstance<K>::sampleSum(SampleSpan span) const {
    ScopedFloatMode mode;
    double sum = 0.0, x = span.start;
    for (std::uint32_t i = 0; i < span.count; ++i, x += 1.0) sum += value(x);
    return scale * sum;
}

template <class K>
double WindowInstance<K>::sampleEnergy(SampleSpan span) const {
    ScopedFloatMode mode;
    double sum = 0.0, x = span.start;
    for (std::uint32_t i = 0; i < span.count; ++i, x += 1.0) {
        const double v = value(x);
        sum += v * v;
    }
    return scale * scale * sum;
}

template <class K>
Math::complex WindowInstance<K>::spectrum(double omega) const {
    return Kind<K>::spectrum(params, stretch, scale, omega);
}

template <class K>
void WindowInstance<K>::sample(double* begin, double* end, const FIR::BandSpec& kernel,
                               double start, unsigned count) const {
    if (end < begin || count > static_cast<std::size_t>(end - begin)) {
        throw std::length_error("window: more samples than the buffer holds");
    }
    ScopedFloatMode mode;
    const double s = kernel.sincOmega, c = kernel.cosineOmega;
    double x = start;
    for (unsigned i = 0; i < count; ++i, x += 1.0) {
        double v = value(x);
        if (v != 0.0) {
            double k = sinc(s * x);
            if (c != 0.0) k *= std::cos(c * x);
            v = v * scale * k;
        }
        begin[i] = v;
    }
    for (double* p = begin + count; p < end; ++p) *p = 0.0;
}

template <class K>
sptr<Window> WindowInstance<K>::adjust(ResponsePoint point, double newLength) const {
    if constexpr (!Kind<K>::adjustable) {
        throw WindowNotAdjustable{};
    } else {
        checkPoint(point);
        if (!(newLength > 0.0) || !std::isfinite(newLength) || !(lengthSamples > 0.0)) {
            throw std::invalid_argument("window: lengths must be positive");
        }
        const K block = Kind<K>::adjusted(params, point, newLength, lengthSamples);
        return std::make_unique<WindowInstance<K>>(block, newLength / block.naturalWidth, scale);
    }
}

template <class K>
sptr<Window> WindowInstance<K>::forWidth(const WidthSpec& spec) const {
    checkPoint(spec.point);
    const double newStretch = Kind<K>::widthStretch(params, spec);
    if (!(newStretch > 0.0) || !std::isfinite(newStretch)) {
        throw std::invalid_argument("window: no window has the requested main-lobe width");
    }
    return std::make_unique<WindowInstance<K>>(params, newStretch, 1.0);
}

template class WindowInstance<Windows::Kaiser>;
template class WindowInstance<Windows::PowerOfCosine>;
template class WindowInstance<Windows::Polynomial>;
template class WindowInstance<Windows::Rectangular>;

template <>
sptr<Window> WindowFactory<Windows::Kaiser>::create(const unsigned& attenuationDb) const {
    const double beta = Windows::kaiserBeta(static_cast<double>(attenuationDb));
    return std::make_unique<WindowInstance<Windows::Kaiser>>(Windows::kaiserBlock(beta), 1.0, 1.0);
}

template <>
sptr<Window> WindowFactory<Windows::PowerOfCosine>::create(const unsigned& attenuationDb) const {
    const double p = Windows::powerOfCosineExponent(static_cast<double>(attenuationDb));
    return std::make_unique<WindowInstance<Windows::PowerOfCosine>>(Windows::powerOfCosineBlock(p),
                                                                    1.0, 1.0);
}

const sptr<Window::Adjustable> kaiserWindows = std::make_unique<WindowFactory<Windows::Kaiser>>();
const sptr<Window::Adjustable> powerOfCosineWindows =
    std::make_unique<WindowFactory<Windows::PowerOfCosine>>();

}  // namespace DSP
