// The choice among the probe tables. Built for plain x86-64.
#include "tests/cpp/support/search_probes.hpp"

#include "simd/dispatch.hpp"

namespace quorvane::support {

// In the order of simd::Isa.
constexpr simd::IsaTables<SearchProbes> kTables = {&kSearchProbesSse2, &kSearchProbesAvx2, &kSearchProbesAvx512};

const SearchProbes* searchProbes(simd::Isa isa) { return simd::tableFor(kTables, isa); }

const SearchProbes& activeSearchProbes() { return simd::activeTable(kTables); }

}  // namespace quorvane::support
