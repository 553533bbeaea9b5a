// Run-time choice of the vector instruction set for the numerical kernels.
//
// The kernels come in three builds: SSE2 (every x86-64), AVX2 and AVX-512F.
// The two wider ones use SLEEF's fused-multiply-add variants, so they are
// offered only where the CPU has FMA as well; their scalar companion is then
// the purecfma scalar family, otherwise the purec one.
#pragma once

#include <cstddef>
#include <iterator>

namespace quorvane::simd {

enum class Isa : int { Sse2 = 0, Avx2 = 1, Avx512 = 2 };

inline constexpr Isa kAllIsas[] = {Isa::Sse2, Isa::Avx2, Isa::Avx512};
inline constexpr std::size_t kIsaCount = std::size(kAllIsas);

// Whether this CPU (and the operating system) can run kernels built for isa.
bool supports(Isa isa);

// The widest supported instruction set; fixed for the life of the process.
Isa best();

// Whether the kernels of isa use SLEEF's FMA variants.
constexpr bool usesFma(Isa isa) { return isa != Isa::Sse2; }

const char* name(Isa isa);

}  // namespace quorvane::simd
