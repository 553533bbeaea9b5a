// Run-time choice of the vector instruction set for the numerical kernels.
//
// The kernels come in three builds: SSE2 (every x86-64), AVX2 and AVX-512F.
// The two wider ones use SLEEF's fused-multiply-add variants, so they are
// offered only where the CPU has FMA as well; their scalar companion is then
// the purecfma scalar family, otherwise the purec one. Results can differ
// between the two families at near-ties, so a caller may pin one.
#pragma once

#include <cstddef>
#include <iterator>

namespace quorvane::simd {

enum class Isa : int { Sse2 = 0, Avx2 = 1, Avx512 = 2 };

inline constexpr Isa kAllIsas[] = {Isa::Sse2, Isa::Avx2, Isa::Avx512};
inline constexpr std::size_t kIsaCount = std::size(kAllIsas);

// Whether this CPU (and the operating system) can run kernels built for isa.
bool supports(Isa isa);

// The widest supported instruction set.
Isa best();

// The instruction set every kernel family runs with: best() unless pinned.
Isa active();

// Makes isa the active set of every kernel family; false, with nothing
// changed, when this CPU cannot run it. Meant for start-up, before any
// kernel runs: a call running meanwhile may use either set.
bool pin(Isa isa);

// Whether the kernels of isa use SLEEF's FMA variants.
constexpr bool usesFma(Isa isa) { return isa != Isa::Sse2; }

const char* name(Isa isa);

// The set whose name() is text; false when there is none.
bool isaNamed(const char* text, Isa& isa);

}  // namespace quorvane::simd
