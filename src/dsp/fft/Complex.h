#pragma once

#include <type_traits>

namespace Math {

// A complex number as two doubles, real part first. Arrays of it have the
// layout of interleaved (real, imaginary) doubles, which the FFT relies on.
struct complex {
    double real;
    double imag;

    friend constexpr complex operator+(complex a, complex b) {
        return {a.real + b.real, a.imag + b.imag};
    }
    friend constexpr complex operator-(complex a, complex b) {
        return {a.real - b.real, a.imag - b.imag};
    }
    // Plain product, no special handling of infinities.
    friend constexpr complex operator*(complex a, complex b) {
        return {a.real * b.real - a.imag * b.imag, a.real * b.imag + a.imag * b.real};
    }
    friend constexpr complex operator*(complex a, double s) { return {a.real * s, a.imag * s}; }
    complex& operator+=(complex b) { return *this = *this + b; }
    complex& operator*=(complex b) { return *this = *this * b; }
    friend constexpr bool operator==(complex a, complex b) = default;
};

constexpr complex conj(complex a) {
    return {a.real, -a.imag};
}

static_assert(sizeof(complex) == 2 * sizeof(double));
static_assert(std::is_trivial_v<complex>);

}  // namespace Math
