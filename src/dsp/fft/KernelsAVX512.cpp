// AVX-512 build of the FFT kernels, selected at run time: the passes on
// four complex values per vector, everything else as in the AVX2 build. No
// FMA (contraction is off for this file): the results are bit-identical to
// the portable build.
#include "dsp/fft/Kernels.h"

#ifdef TESSIVAL_FFT_HAVE_AVX2
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx2"))), apply_to = function)
#else
#pragma GCC target("avx512f,avx2")
#endif
#define TESSIVAL_FFT_NS avx512
#define TESSIVAL_FFT_ADDSUB 1
#define TESSIVAL_FFT_WIDE 1
#include "dsp/fft/KernelsImpl.inc"
#include "dsp/fft/SplitKernelsImpl.inc"
#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
