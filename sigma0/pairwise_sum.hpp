// NumPy's order of summation for float64 add reductions, which
// np.add.reduceat follows for each output element: the first element, plus
// the pairwise sum of the others. The pairwise sum of n elements is a plain
// loop from 0.0 below 8 elements; up to 128 (PW_BLOCKSIZE) eight running sums
// over the elements 8 apart, added as ((r0 + r1) + (r2 + r3)) + ((r4 + r5) +
// (r6 + r7)), then the elements past the last multiple of 8 one by one;
// beyond, the sums of the two halves (the first half a multiple of 8).
// The order was checked against NumPy by experiment (tests/python/test_loops.py
// and tests/cpp/test_block_pass.cpp); it holds whatever the stride.
#pragma once

#include <cstdint>

namespace quorvane::sigma0 {

inline constexpr std::int64_t kPairwiseBlock = 128;

// The pairwise sum of n values `stride` elements apart.
inline double pairwiseSum(const double* a, std::int64_t n, std::int64_t stride) {
    if (n < 8) {
        double res = 0.0;
        for (std::int64_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= kPairwiseBlock) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k * stride];
        std::int64_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int k = 0; k < 8; ++k) r[k] += a[(i + k) * stride];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwiseSum(a, n2, stride) + pairwiseSum(a + n2 * stride, n - n2, stride);
}

// What np.add.reduceat gives for one output element over n >= 1 values.
inline double reduceatSum(const double* a, std::int64_t n, std::int64_t stride) {
    return n > 1 ? a[0] + pairwiseSum(a + stride, n - 1, stride) : a[0];
}

}  // namespace quorvane::sigma0
