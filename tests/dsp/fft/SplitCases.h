#pragma once

// Shared by the split-transform tests: random arrays, and the sizes and ends an overlap-add
// delivery is checked at (head and block ends inside vectors of four and of eight values, at a
// quarter's start, empty heads and blocks, a whole block).
#include <cstddef>
#include <random>
#include <vector>

namespace SplitTesting {

inline std::vector<double> randomReals(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = d(rng);
    return v;
}

struct OverlapCase {
    std::size_t N, headRe, headIm, block;
};

inline constexpr OverlapCase kOverlapCases[] = {{16, 5, 0, 11},       {64, 0, 0, 64},
                                                {64, 13, 64, 64},     {128, 37, 3, 91},
                                                {1024, 101, 0, 923},  {4096, 508, 508, 3588},
                                                {4096, 509, 0, 3587}, {8192, 4095, 17, 4097},
                                                {8192, 0, 0, 0},      {16384, 1500, 1499, 14885}};

}  // namespace SplitTesting
