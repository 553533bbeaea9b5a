// libFuzzer harness of the buffer format-string rule. Beyond "no crash and no
// sanitizer finding", every input is held to properties the rule must keep
// whatever the string:
//  - the outcome is deterministic and a message is one of the known kinds,
//    in valid UTF-8 (it becomes the text of a Python ValueError);
//  - no string is accepted both as a 4-byte and as an 8-byte item;
//  - spaces, carriage returns and newlines change nothing;
//  - a leading native byte-order prefix '@' changes nothing;
//  - an accepted format stays accepted inside a record, and becomes
//    "expected end" when a second item follows it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "module/buffer_format.hpp"

namespace {

using quorvane::checkBufferFormat;
using quorvane::ElementDescriptor;

[[noreturn]] void fail(const char* what, const std::string& format) {
    std::fprintf(stderr, "property violated: %s\nformat: \"", what);
    for (unsigned char c : format) {
        if (c >= 0x20 && c < 0x7f) std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02x", c);
    }
    std::fprintf(stderr, "\"\n");
    std::abort();
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool knownMessage(const std::string& m) {
    return startsWith(m, "Buffer dtype mismatch, expected ") ||
           m == "Big-endian buffer not supported on little-endian compiler" ||
           startsWith(m, "Does not understand character buffer dtype format string ('") ||
           m == "Unexpected format string character: 'Z'";
}

bool validUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        if (c < 0x80) extra = 0;
        else if (c >= 0xc2 && c <= 0xdf) extra = 1;
        else if (c >= 0xe0 && c <= 0xef) extra = 2;
        else if (c >= 0xf0 && c <= 0xf4) extra = 3;
        else return false;
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string withoutBlanks(const std::string& format) {
    std::string out;
    for (char c : format) {
        if (c != ' ' && c != '\r' && c != '\n') out += c;
    }
    return out;
}

void checkOne(const std::string& format, const ElementDescriptor& descriptor, const char* code) {
    const std::optional<std::string> outcome = checkBufferFormat(format.c_str(), descriptor);
    if (checkBufferFormat(format.c_str(), descriptor) != outcome) fail("not deterministic", format);
    if (outcome) {
        if (!knownMessage(*outcome)) fail("unknown kind of message", format);
        if (!validUtf8(*outcome)) fail("message is not valid UTF-8", format);
    }
    if (checkBufferFormat(withoutBlanks(format).c_str(), descriptor) != outcome) {
        fail("blanks changed the outcome", format);
    }
    if (checkBufferFormat(("@" + format).c_str(), descriptor) != outcome) {
        fail("a leading '@' changed the outcome", format);
    }
    if (!outcome) {
        if (checkBufferFormat(("T{" + format + "}").c_str(), descriptor)) {
            fail("an accepted format was refused inside a record", format);
        }
        const std::optional<std::string> twice = checkBufferFormat((format + code).c_str(), descriptor);
        const std::string expected = std::string("Buffer dtype mismatch, expected end but got '") +
                                     descriptor.name + "'";
        if (!twice || *twice != expected) fail("a second item was not refused as such", format);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Format strings are C strings: the first NUL ends them.
    std::string format(reinterpret_cast<const char*>(data), size);
    format.resize(format.find('\0') == std::string::npos ? size : format.find('\0'));

    checkOne(format, quorvane::kFloatDescriptor, "f");
    checkOne(format, quorvane::kDoubleDescriptor, "d");
    if (!checkBufferFormat(format.c_str(), quorvane::kFloatDescriptor) &&
        !checkBufferFormat(format.c_str(), quorvane::kDoubleDescriptor)) {
        fail("accepted as a 4-byte and as an 8-byte item", format);
    }
    // The null format stands for unsigned bytes.
    if (size == 0 && checkBufferFormat(nullptr, quorvane::kFloatDescriptor) !=
                         std::optional<std::string>("Buffer dtype mismatch, expected 'float' but got 'unsigned char'")) {
        fail("null format is not taken as 'B'", format);
    }
    return 0;
}
