#pragma once

// Window functions for FIR design.
//
// A window kind defines a shape on a support of `naturalWidth` natural units
// centred on 0. An instance maps sample positions x (samples, 0 = centre) to
// t = x / stretch, so it is `lengthSamples` = naturalWidth * stretch samples
// long, and multiplies the shape by `scale`. Outside |x| <= lengthSamples / 2
// it is 0. Frequencies are in cycles per sample, except the argument of
// `spectrum` (radians per sample).
//
// Windows are immutable; every operation that "changes" one returns a new
// instance. They may be read from several threads.
#include <cstdint>

#include "base/sptr.h"
#include "dsp/BandSpec.h"
#include "dsp/fft/Complex.h"

namespace DSP {

enum ResponsePoint : std::uint32_t {
    FirstNull = 0,  // first zero of the amplitude response
    Minus6dB = 1,   // amplitude 10^(-6/20)
    Minus3dB = 2,   // amplitude 10^(-3/20)
};

enum LengthRounding : unsigned { Odd = 1, Even = 2, PowerOfTwo = 4 };

struct WidthSpec {
    double width;  // cycles per sample
    ResponsePoint point;
};

struct SampleSpan {
    std::uint32_t count;
    double start;  // position of the first sample, samples from the centre
};

// Parameter blocks, one per kind, copied into every instance.
namespace Windows {

struct Common {
    bool flag = true;           // always true
    double naturalWidth = 0.0;  // support width in natural units
    double integral = 0.0;      // integral measure of the unnormalised shape
    double energy = 0.0;        // energy measure (NaN for Kaiser)
    double peak = 0.0;          // unnormalised value at t = 0
    double attenuation = 0.0;   // stop-band attenuation in dB of a filter made with it
    double ripple = 0.0;        // 20 ln(1 + 10^(-attenuation / 20))
};

// I0(beta sqrt(1 - t^2)), t in [-1, 1].
struct Kaiser : Common {
    double beta = 0.0;
};

// (1 + cos t)^halfPower, t in [-pi, pi]; halfPower = p / 2 for exponent p.
struct PowerOfCosine : Common {
    double halfPower = 0.0;
};

// c0 + c1 cos t + c2 cos 2t + c3 cos 3t, t in [-pi, pi]; first null at
// `firstNull` natural units (a 4-term Blackman-Harris shape by default).
struct Polynomial : Common {
    double c0 = 0.0, c1 = 0.0, c2 = 0.0, c3 = 0.0;
    double firstNull = 0.0;
    double spare0 = 0.0, spare1 = 0.0;  // unused
};

// 1 on a support of width 1.
struct Rectangular : Common {};

// 20 ln(1 + 0.1^(0.05 A)).
double rippleFor(double attenuationDb);

// Kaiser beta for a stop-band attenuation (dB), and the attenuation that a
// beta reaches (the inverse rule).
double kaiserBeta(double attenuationDb);
double kaiserAttenuation(double beta);

// F(beta, u): the Fourier transform of the unnormalised Kaiser shape on
// [-1, 1] at angular frequency u; F(beta, 0) = 2 sinh(beta) / beta.
double KaiserTransform(double beta, double u);

// Power-of-cosine exponent for a stop-band attenuation (dB); below 28 dB as 28.
double powerOfCosineExponent(double attenuationDb);

Kaiser kaiserBlock(double beta);
PowerOfCosine powerOfCosineBlock(double exponent);
Polynomial blackmanHarrisBlock();
// The process-wide constant block (built on first use, thread-safe).
const Rectangular& rectangularBlock();

}  // namespace Windows

// The scaled characteristics of one instance.
struct WindowTraits {
    bool flag;
    double lengthSamples;  // naturalWidth * stretch
    double integral;       // block integral * stretch * scale
    double energy;         // block energy * stretch * scale^2
    double peak;           // block peak * scale
    double attenuation;
    double ripple;
    double stretch;  // samples per natural unit
    double scale;    // amplitude factor
    bool adjustable;
    double nullSpacing;  // lengthSamples / first-null position in natural units

protected:
    WindowTraits(const Windows::Common& block, double stretch, double scale, bool adjustable,
                 double firstNull);
};

class Window : public WindowTraits {
public:
    virtual ~Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Same kind and parameter block, new stretch and scale.
    virtual sptr<Window> scaled(double newStretch, double newScale) const = 0;
    // Frequency of a response point, cycles per sample.
    virtual double responsePoint(ResponsePoint point) const = 0;
    // scale * sum of w(start + i), i < count.
    virtual double sampleSum(SampleSpan span) const = 0;
    // scale^2 * sum of w(start + i)^2, i < count.
    virtual double sampleEnergy(SampleSpan span) const = 0;
    // Transform at omega radians per sample (Kaiser only; others throw Wobbly).
    virtual Math::complex spectrum(double omega) const = 0;
    // begin[i] = window(start + i) * kernel(start + i) for i < count, then
    // zeros up to end. Throws std::length_error when count exceeds the buffer.
    virtual void sample(double* begin, double* end, const FIR::BandSpec& kernel, double start,
                        unsigned count) const = 0;
    // New window of length newLength samples whose response point stays put
    // (the shape parameter changes). Throws WindowNotAdjustable for the fixed
    // kinds, std::invalid_argument when no shape keeps the point.
    virtual sptr<Window> adjust(ResponsePoint point, double newLength) const = 0;
    // Same shape, scale 1, stretched so that the response point lies at
    // width / 2 (for FirstNull: the main lobe is `width` wide). Throws
    // std::invalid_argument unless that gives a positive finite stretch.
    virtual sptr<Window> forWidth(const WidthSpec& spec) const = 0;
    // The instance's parameter block (its common fields).
    virtual const Windows::Common* shape() const = 0;

    sptr<Window> withGain(double gain) const;
    // Scaled so that `peak` equals amplitude.
    sptr<Window> withPeak(double amplitude) const;
    // ceil(lengthSamples) rounded as the LengthRounding flags say. Throws
    // std::invalid_argument when the length is not finite or above 2^31.
    unsigned integerLength(unsigned flags) const;

    // Factory of one adjustable kind, by target attenuation.
    class Adjustable {
    public:
        virtual ~Adjustable() = default;
        // A window of the kind for `attenuationDb` with stretch 1 and scale 1.
        virtual sptr<Window> create(const unsigned& attenuationDb) const = 0;
    };

protected:
    using WindowTraits::WindowTraits;
};

struct WindowBase {};

template <class K>
class WindowInstance final : public WindowBase, public Window {
public:
    struct WindowNotAdjustable {};

    WindowInstance(const K& block, double stretch, double scale);

    sptr<Window> scaled(double newStretch, double newScale) const override;
    double responsePoint(ResponsePoint point) const override;
    double sampleSum(SampleSpan span) const override;
    double sampleEnergy(SampleSpan span) const override;
    Math::complex spectrum(double omega) const override;
    void sample(double* begin, double* end, const FIR::BandSpec& kernel, double start,
                unsigned count) const override;
    sptr<Window> adjust(ResponsePoint point, double newLength) const override;
    sptr<Window> forWidth(const WidthSpec& spec) const override;
    const Windows::Common* shape() const override { return &params; }

    // The unscaled shape at x samples from the centre (0 outside).
    double value(double x) const;

    const K params;
};

extern template class WindowInstance<Windows::Kaiser>;
extern template class WindowInstance<Windows::PowerOfCosine>;
extern template class WindowInstance<Windows::Polynomial>;
extern template class WindowInstance<Windows::Rectangular>;

// Exists for Kaiser and PowerOfCosine.
template <class K>
class WindowFactory final : public Window::Adjustable {
public:
    sptr<Window> create(const unsigned& attenuationDb) const override;
};

template <>
sptr<Window> WindowFactory<Windows::Kaiser>::create(const unsigned& attenuationDb) const;
template <>
sptr<Window> WindowFactory<Windows::PowerOfCosine>::create(const unsigned& attenuationDb) const;

// The shared factories, built during static initialisation (do not use them
// from other static initialisers).
extern const sptr<Window::Adjustable> kaiserWindows;
extern const sptr<Window::Adjustable> powerOfCosineWindows;

}  // namespace DSP
