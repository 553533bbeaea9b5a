#include "simd/cpu_features.hpp"

#include <atomic>
#include <cstring>

namespace quorvane::simd {

namespace {

// -1 until pinned.
std::atomic<int> pinned{-1};

}  // namespace

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

Isa active() {
    const int isa = pinned.load(std::memory_order_relaxed);
    return isa < 0 ? best() : static_cast<Isa>(isa);
}

bool pin(Isa isa) {
    if (!supports(isa)) return false;
    pinned.store(static_cast<int>(isa), std::memory_order_relaxed);
    return true;
}

const char* name(Isa isa) {
    switch (isa) {
        case Isa::Sse2: return "sse2";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
    }
    return "?";
}

bool isaNamed(const char* text, Isa& isa) {
    for (Isa candidate : kAllIsas) {
        if (std::strcmp(text, name(candidate)) == 0) {
            isa = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace quorvane::simd
