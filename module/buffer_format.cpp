// The element-format rule for array buffers.
//
// The parser walks the format string once, left to right, and reports the
// first problem it meets. It looks for a single real floating item of the
// descriptor's size; records ('T{...}') only group items and are looked into,
// padding ('x') and field names (':name:') describe no item. Repeat counts and
// sub-array shapes multiply the items they apply to; since only "none", "one"
// and "more than one" matter, they are kept saturated at two and never
// overflow. Records are tracked on an explicit stack, not by recursion, so
// deep nesting costs memory proportional to the input and nothing more.
#include "module/buffer_format.hpp"

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "module/interface.hpp"

namespace quorvane {
namespace {

// Number of items a count or shape describes, saturated: 0, 1 or 2 (= many).
using Multiplicity = std::uint8_t;
constexpr Multiplicity kMany = 2;

Multiplicity times(Multiplicity a, Multiplicity b) {
    const unsigned product = static_cast<unsigned>(a) * b;
    return static_cast<Multiplicity>(product > kMany ? kMany : product);
}

const char* const kUnparsable = "unparsable format string";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The message format with each conversion ('%s', '%c', ...) replaced by the
// next field, in order.
std::string fillFormat(const char* format, std::initializer_list<std::string_view> fields) {
    std::string text;
    auto field = fields.begin();
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            text += *p;
            continue;
        }
        // Skip flags, width, precision and length up to the conversion letter.
        constexpr std::string_view kSpecifierPrefix = "-+ #0123456789.hlz";
        while (p[1] != '\0' && kSpecifierPrefix.find(p[1]) != std::string_view::npos) ++p;
        if (p[1] == '\0') break;
        ++p;
        if (field != fields.end()) text += *field++;
    }
    return text;
}

// Item codes the parser takes as an item. 'P' has a description ("a pointer")
// but is deliberately not among them: it falls under the characters that are
// not understood and is reported as such, never as a mismatch.
const char* itemDescription(char code) {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'O': return "Python object";
        case 's':
        case 'p': return "a string";
        default: return nullptr;
    }
}

const char* complexDescription(char code) {
    switch (code) {
        case 'f': return "'complex float'";
        case 'd': return "'complex double'";
        case 'g': return "'complex long double'";
        default: return nullptr;
    }
}

// Size of a real floating code. The standard sizes ('=' and '<') define no
// long double, so 'g' is taken at the platform's size under every prefix;
// 'f' and 'd' are 4 and 8 bytes natively and in standard sizes alike.
std::size_t realFloatSize(char code) {
    switch (code) {
        case 'f': return 4;
        case 'd': return 8;
        case 'g': return sizeof(long double);
        default: return 0;
    }
}

// Characters that may appear outside field names; any other one is refused.
bool isUnderstood(char c) {
    if (isDigit(c) || itemDescription(c) != nullptr) return true;
    switch (c) {
        case '@': case '^': case '=': case '<': case '>': case '!':
        case 'x': case 'Z': case 'T': case '{': case '}':
        case '(': case ')': case ',': case ':':
            return true;
        default:
            return false;
    }
}

std::string notUnderstood(char c) {
    // The character is rendered as the code point of its byte value, so the
    // message is valid UTF-8 whatever byte the exporter sent.
    const auto byte = static_cast<unsigned char>(c);
    std::string character;
    if (byte < 0x80) {
        character += static_cast<char>(byte);
    } else {
        character += static_cast<char>(0xC0 | (byte >> 6));
        character += static_cast<char>(0x80 | (byte & 0x3F));
    }
    return fillFormat(interface::kUnknownFormatCharacter, {character});
}

class FormatChecker {
public:
    FormatChecker(const char* format, const ElementDescriptor& descriptor)
        : cursor_(format), descriptor_(descriptor) {}

    std::optional<std::string> run();

private:
    struct OpenRecord {
        Multiplicity repeat;
        bool itemFoundBefore;  // whether the item had been found when it opened
    };

    // Next significant character; spaces and line breaks are skipped.
    char peek() {
        while (*cursor_ == ' ' || *cursor_ == '\r' || *cursor_ == '\n') ++cursor_;
        return *cursor_;
    }

    std::string mismatch(const char* found) const {
        if (itemFound_) return fillFormat(interface::kDtypeMismatch, {"", "end", "", found});
        return fillFormat(interface::kDtypeMismatch, {"'", descriptor_.name, "'", found});
    }

    // Reads a decimal count at the cursor (a digit is known to be there).
    Multiplicity readCount() {
        unsigned value = 0;
        while (isDigit(peek())) {
            value = value * 10 + static_cast<unsigned>(*cursor_ - '0');
            if (value > kMany) value = kMany;
            ++cursor_;
        }
        return static_cast<Multiplicity>(value);
    }

    // Reads a sub-array shape "(n,m,...)" at the cursor; the product of its
    // extents goes to 'shape'. Returns the error, if any.
    std::optional<std::string> readShape(Multiplicity& shape);

    // Accounts for 'count' items of a code that matches or not.
    std::optional<std::string> takeItems(Multiplicity count, bool matches, const char* description);

    const char* cursor_;
    const ElementDescriptor& descriptor_;
    bool itemFound_ = false;
    std::size_t mutedRecords_ = 0;  // open records repeated zero times
    std::vector<OpenRecord> records_;
};

std::optional<std::string> FormatChecker::readShape(Multiplicity& shape) {
    ++cursor_;  // '('
    shape = 1;
    for (;;) {
        char c = peek();
        if (!isDigit(c)) return isUnderstood(c) || c == '\0' ? mismatch(kUnparsable) : notUnderstood(c);
        shape = times(shape, readCount());
        c = peek();
        if (c != ')' && c != ',') {
            return isUnderstood(c) || c == '\0' ? mismatch(kUnparsable) : notUnderstood(c);
        }
        ++cursor_;
        if (c == ')') return std::nullopt;
    }
}

std::optional<std::string> FormatChecker::takeItems(Multiplicity count, bool matches,
                                                    const char* description) {
    if (count == 0 || mutedRecords_ > 0) return std::nullopt;
    if (itemFound_ || !matches) return mismatch(description);
    if (count > 1) {
        // The first item is the one expected; the next one follows it.
        itemFound_ = true;
        return mismatch(description);
    }
    itemFound_ = true;
    return std::nullopt;
}

std::optional<std::string> FormatChecker::run() {
    for (;;) {
        char c = peek();
        if (c == '\0') {
            if (!records_.empty()) return mismatch(kUnparsable);
            if (!itemFound_) return mismatch("end");
            return std::nullopt;
        }

        // Tokens that take no count.
        switch (c) {
            case '@': case '^': case '=': case '<':
                ++cursor_;
                continue;
            case '>': case '!':
                return std::string(interface::kBigEndian);
            case ':':
                ++cursor_;
                while (*cursor_ != '\0' && *cursor_ != ':') ++cursor_;
                if (*cursor_ == '\0') return mismatch(kUnparsable);
                ++cursor_;
                continue;
            case '}': {
                if (records_.empty()) return mismatch(kUnparsable);
                const OpenRecord record = records_.back();
                records_.pop_back();
                ++cursor_;
                if (record.repeat == 0) {
                    --mutedRecords_;
                } else if (record.repeat > 1 && mutedRecords_ == 0 && itemFound_ &&
                           !record.itemFoundBefore) {
                    // The record held the item and is repeated: its next copy
                    // is a second item.
                    return mismatch("a struct");
                }
                continue;
            }
            default:
                break;
        }

        // An element: optional shape, optional count, then a code.
        Multiplicity shape = 1;
        Multiplicity count = 1;
        if (c == '(') {
            if (auto error = readShape(shape)) return error;
            c = peek();
        }
        if (isDigit(c)) {
            count = readCount();
            c = peek();
        }
        if (c == '\0') return mismatch(kUnparsable);
        if (!isUnderstood(c)) return notUnderstood(c);
        ++cursor_;

        if (c == 'x') continue;
        if (c == 'T') {
            if (peek() != '{') return mismatch(kUnparsable);
            ++cursor_;
            const Multiplicity repeat = times(shape, count);
            if (repeat == 0) ++mutedRecords_;
            records_.push_back({repeat, itemFound_});
            continue;
        }
        if (c == 'Z') {
            const char* description = complexDescription(peek());
            if (description == nullptr) return fillFormat(interface::kUnexpectedFormatCharacter, {"Z"});
            ++cursor_;
            if (auto error = takeItems(times(shape, count), false, description)) return error;
            continue;
        }
        if (const char* description = itemDescription(c)) {
            const std::size_t size = realFloatSize(c);
            const bool matches = size != 0 && size == descriptor_.size;
            // For strings the count is a length: one string, however long.
            const Multiplicity items = (c == 's' || c == 'p') ? shape : times(shape, count);
            if (auto error = takeItems(items, matches, description)) return error;
            continue;
        }

        // A count or shape not followed by a code, or notation out of place.
        return mismatch(kUnparsable);
    }
}

}  // namespace

std::optional<std::string> checkBufferFormat(const char* format, const ElementDescriptor& descriptor) {
    return FormatChecker(format != nullptr ? format : "B", descriptor).run();
}

}  // namespace quorvane
