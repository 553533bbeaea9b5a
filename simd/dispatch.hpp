// The choice among a kernel family's tables, one table per instruction set.
//
// A family (the wind speed search, the wind direction rows) is a struct of
// function pointers. Its header declares one table per instruction set, each
// defined constinit in the translation unit built for that set; the family's
// dispatch unit, built for plain x86-64, lists their addresses in the order
// of Isa and picks among them with the functions below. Being constant
// initialised, a table is never read before it is filled, whatever the order
// of static initialisation.
#pragma once

#include <array>
#include <cstddef>

#include "simd/cpu_features.hpp"

namespace quorvane::simd {

template <class Table>
using IsaTables = std::array<const Table*, kIsaCount>;

// The table for isa, or nullptr when this CPU cannot run it.
template <class Table>
const Table* tableFor(const IsaTables<Table>& tables, Isa isa) {
    return supports(isa) ? tables[static_cast<std::size_t>(isa)] : nullptr;
}

// The table for active().
template <class Table>
const Table& activeTable(const IsaTables<Table>& tables) {
    return *tables[static_cast<std::size_t>(active())];
}

}  // namespace quorvane::simd
