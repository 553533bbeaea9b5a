// A typed, strided view of a two-dimensional array buffer.
//
// Element (i, j) of type T lies at data + i * stride[0] + j * stride[1] bytes.
// Strides are taken as the exporter gives them: any sign, any spacing, not
// necessarily a multiple of the element size. Loads and stores go through
// memcpy so that unaligned elements are handled without undefined behaviour.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorvane::grid {

template <class T>
struct GridView {
    char* data = nullptr;
    std::int64_t extent[2] = {0, 0};   // rows, columns
    std::int64_t stride[2] = {0, 0};   // bytes between rows, between columns

    std::int64_t rows() const { return extent[0]; }
    std::int64_t columns() const { return extent[1]; }

    char* address(std::int64_t i, std::int64_t j) const {
        // Pointer arithmetic on char* with signed offsets; the view guarantees
        // the result lies inside the exporter's memory for in-range indices.
        return data + i * stride[0] + j * stride[1];
    }

    T load(std::int64_t i, std::int64_t j) const {
        T value;
        std::memcpy(&value, address(i, j), sizeof value);
        return value;
    }

    void store(std::int64_t i, std::int64_t j, T value) const {
        std::memcpy(address(i, j), &value, sizeof value);
    }
};

}  // namespace quorvane::grid
