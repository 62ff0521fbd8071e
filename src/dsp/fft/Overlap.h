#pragma once

// Where an inverse split transform of N points delivers its results instead of back into its
// arrays, added onto the overlap of the block before it (overlap-add convolution). Part p (0:
// the real parts, 1: the imaginary parts) gives its points [0, head[p]) as z + add[p][i] and
// [head[p], block) as z, both into out[p][i], and its points [block, N) into rest[p][i - block].
// head[p] <= block <= N. The six areas lie outside the transform's arrays, and `rest` apart from
// `add`. The bits are those of the in-place inverse followed by these copies and additions.
#include <cstddef>

namespace OOURA::FFT {

struct Overlap {
    double* out[2];
    const double* add[2];  // may be null where head[p] is 0
    double* rest[2];
    std::size_t head[2];
    std::size_t block;
};

}  // namespace OOURA::FFT
