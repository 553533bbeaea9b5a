// The IEEE default floating-point mode for the duration of a scope.
//
// The kernels' results are exact only in round-to-nearest without
// flush-to-zero or denormals-are-zero, but a thread's mode is whatever its
// caller left there: a library built with -ffast-math sets FTZ and DAZ at
// load time on the thread that loads it, and OpenMP workers keep the mode
// they were created with. Every thread that computes therefore sets the
// default mode itself and gives the caller's back afterwards, the sticky
// exception flags included.
#pragma once

#include <immintrin.h>

namespace quorvane::simd {

class DefaultFloatMode {
public:
    DefaultFloatMode() {
        __asm__ volatile("fnstcw %0" : "=m"(x87_));
        mxcsr_ = _mm_getcsr();
        // All exceptions masked, round to nearest, no FTZ or DAZ; x87 as
        // well, for any library code that uses it: extended precision.
        const unsigned short x87 = kX87Default;
        __asm__ volatile("fldcw %0" : : "m"(x87));
        _mm_setcsr(kMxcsrDefault);
    }
    ~DefaultFloatMode() {
        _mm_setcsr(mxcsr_);
        __asm__ volatile("fldcw %0" : : "m"(x87_));
    }
    DefaultFloatMode(const DefaultFloatMode&) = delete;
    DefaultFloatMode& operator=(const DefaultFloatMode&) = delete;

    static constexpr unsigned kMxcsrDefault = 0x1F80;
    static constexpr unsigned short kX87Default = 0x037F;

private:
    unsigned mxcsr_;
    unsigned short x87_;
};

}  // namespace quorvane::simd
