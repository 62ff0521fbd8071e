#pragma once

// The instruction set of this library's vector kernels (integer decoding and
// encoding, the dither generator). The same names, order and environment
// variable as the DSP kernels' switch, which this library cannot see: in
// force by default is the best set the CPU has, or the one TESSIVAL_ISA
// names (portable, avx2 or avx512; unknown or unsupported: the best), read
// once on first use. Every set gives the same bits.
//
// AVX2 here needs AVX2 alone; AVX-512 needs AVX-512F and AVX-512DQ.

namespace Audio {

enum class KernelIsa { Portable, AVX2, AVX512 };

// The set in force.
KernelIsa kernelIsa();
// The best set the CPU has; fixed for the process.
KernelIsa bestKernelIsa();
// Puts `isa` in force when the CPU has it (tests, benchmarks); returns false
// and changes nothing otherwise. Select before starting work.
bool selectKernelIsa(KernelIsa isa);
// Back to the default (TESSIVAL_ISA or the best set).
void resetKernelIsa();

}  // namespace Audio
