// Portable build of the FFT kernels (SSE2 on x86-64).
#define TESSIVAL_FFT_NS generic
#include "dsp/fft/KernelsImpl.inc"
#include "dsp/fft/SplitKernelsImpl.inc"
