#pragma once

// Saves the calling thread's floating-point control state, sets flush
// denormals to zero (unless asked not to: a translation of samples keeps the
// tiniest values as they are) and round to nearest, and restores the saved
// state on destruction (also when an exception passes through).
//
// On x86-64 the state is the SSE control register (MXCSR): FTZ (bit 15),
// DAZ (bit 6) and the rounding field (bits 13-14). The x87 precision control
// of 32-bit builds does not exist for SSE arithmetic, which is always double.
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>

class ScopedFloatMode {
public:
    explicit ScopedFloatMode(bool flushDenormals = true) : saved_(_mm_getcsr()) {
        const unsigned flush = kFlushToZero | kDenormalsAreZero;
        _mm_setcsr((saved_ & ~kRoundMask & ~flush) | (flushDenormals ? flush : 0u));
    }
    ~ScopedFloatMode() { _mm_setcsr(saved_); }
    ScopedFloatMode(const ScopedFloatMode&) = delete;
    ScopedFloatMode& operator=(const ScopedFloatMode&) = delete;

    static constexpr unsigned kFlushToZero = 0x8000;
    static constexpr unsigned kDenormalsAreZero = 0x0040;
    static constexpr unsigned kRoundMask = 0x6000;

private:
    unsigned saved_;
};
#else
#include <cfenv>

class ScopedFloatMode {
public:
    explicit ScopedFloatMode(bool = true) : saved_(std::fegetround()) {
        std::fesetround(FE_TONEAREST);
    }
    ~ScopedFloatMode() { std::fesetround(saved_); }
    ScopedFloatMode(const ScopedFloatMode&) = delete;
    ScopedFloatMode& operator=(const ScopedFloatMode&) = delete;

private:
    int saved_;
};
#endif
