// The element-format rule for array buffers: decides whether a buffer format
// string (as exported through the buffer protocol) describes exactly one real
// floating-point item of the expected size, and otherwise produces the
// ValueError message. Holds no Python, so it can be tested and fuzzed alone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorvane {

struct ElementDescriptor {
    const char* name;     // "float" or "double"
    std::size_t size;     // 4 or 8
    const char* format;   // "f" or "d": the format code a result is exported with
};

inline constexpr ElementDescriptor kFloatDescriptor{"float", 4, "f"};
inline constexpr ElementDescriptor kDoubleDescriptor{"double", 8, "d"};

// The descriptor of a grid's element type: float or double.
template <class T>
inline constexpr const ElementDescriptor& kDescriptorOf =
    sizeof(T) == 8 ? kDoubleDescriptor : kFloatDescriptor;

// Checks a format string against the descriptor. Returns nothing when the
// format is accepted, otherwise the message of the ValueError to raise.
// A null format means unsigned bytes ("B"), as the buffer protocol defines.
std::optional<std::string> checkBufferFormat(const char* format, const ElementDescriptor& descriptor);

}  // namespace quorvane
