// The kernel tables of every instruction set this CPU runs, for the tests
// that check each of them.
#pragma once

#include <vector>

#include "cmod5n/cmod5n_kernels.hpp"
#include "era5/wind_angle_kernels.hpp"
#include "tests/cpp/support/search_probes.hpp"
#include "simd/cpu_features.hpp"

namespace quorvane::support {

template <class Table>
std::vector<const Table*> availableKernels(const Table* (*tableFor)(simd::Isa)) {
    std::vector<const Table*> kernels;
    for (const simd::Isa isa : simd::kAllIsas) {
        if (const Table* k = tableFor(isa)) kernels.push_back(k);
    }
    return kernels;
}

inline std::vector<const SearchProbes*> availableSearchProbes() {
    return availableKernels(searchProbes);
}

inline std::vector<const era5::WindAngleKernels*> availableWindAngleKernels() {
    return availableKernels(era5::windAngleKernels);
}

}  // namespace quorvane::support
