#pragma once

// Internal to the polyphase stage: the loops that compute a run of outputs
// from the coefficient table (PolyphaseDesign.h), in a portable, an AVX2 and
// an AVX-512 build, the set in force (dsp/fft/Isa.h) chosen per call.
#include <cstddef>
#include <cstdint>

namespace DSP::FIR::detail {

// One run of outputs for one channel, or for two channels sharing the
// coefficients (out2/in2 non-null).
struct KernelArgs {
    double* out;
    double* out2;
    std::uint32_t count;
    const double* in;
    const double* in2;
    const double* table;  // phase blocks of `stride` doubles (PolyphaseDesign.h)
    std::uint32_t taps;
    std::uint32_t stride;  // taps rounded up to a multiple of 4 (zeros), + 1
    std::uint32_t P;
    std::uint32_t Q;
    std::uint32_t phase;
    // Work area of the transposed kernels (null: not used), scratchRows rows
    // of eight doubles per channel, 64-byte aligned.
    double* scratch;
    std::size_t scratchRows;
};

using KernelFn = void (*)(const KernelArgs&);

// store: out = the outputs; add: out += them. The 2 forms take two channels.
struct PolyphaseKernels {
    KernelFn store, add, store2, add2;
};

// The loops of the set in force.
const PolyphaseKernels& polyphaseKernels();

}  // namespace DSP::FIR::detail
