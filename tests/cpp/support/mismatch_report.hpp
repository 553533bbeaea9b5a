// Comparison of many results with their expected values: the number of
// mismatches, the first few reported as failures with the caller's
// description, and bit-level equality of floating-point results.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace quorvane::support {

// Same bits.
inline bool sameBits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Same bits, except that NaNs of any sign or payload count as equal.
template <class T>
bool sameValue(T a, T b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

class MismatchReport {
public:
    static constexpr int kShown = 5;

    // Counts one comparison; a mismatch among the first kShown is reported as
    // a failure with the text describe() streams (called for those only).
    template <class Describe>
    void compare(bool same, Describe describe) {
        ++compared_;
        if (!same && mismatches_++ < kShown) ADD_FAILURE() << describe();
    }

    std::int64_t mismatches() const { return mismatches_; }
    std::int64_t compared() const { return compared_; }

    void expectNone() const { EXPECT_EQ(mismatches_, 0) << "of " << compared_ << " compared"; }

private:
    std::int64_t compared_ = 0;
    std::int64_t mismatches_ = 0;
};

}  // namespace quorvane::support
