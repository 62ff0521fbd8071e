// AVX2 build of the FFT kernels, selected at run time. No FMA: the results
// are bit-identical to the portable build. Includes nothing with inline
// functions after the target switch, so no AVX code leaks into shared
// (linker-merged) functions.
#include "dsp/fft/Kernels.h"

#ifdef TESSIVAL_FFT_HAVE_AVX2
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#define TESSIVAL_FFT_NS avx2
#define TESSIVAL_FFT_ADDSUB 1
#include "dsp/fft/KernelsImpl.inc"
#include "dsp/fft/SplitKernelsImpl.inc"
#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
