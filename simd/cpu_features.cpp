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
    // kAllIsas runs from the narrowest to the widest: the last supported.
    static const Isa chosen = [] {
        Isa widest = kAllIsas[0];
        for (Isa isa : kAllIsas) {
            if (supports(isa)) widest = isa;
        }
        return widest;
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
