#include "simd/cpu_features.hpp"

namespace quorvane::simd {

bool supports(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::Sse2:
            return true;
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
                   __builtin_cpu_supports("fma");
    }
    return false;
}

Isa best() {
    static const Isa chosen = [] {
        if (supports(Isa::Avx512)) return Isa::Avx512;
        if (supports(Isa::Avx2)) return Isa::Avx2;
        return Isa::Sse2;
    }();
    return chosen;
}

const char* name(Isa isa) {
    switch (isa) {
        case Isa::Sse2: return "sse2";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
    }
    return "?";
}

}  // namespace quorvane::simd
