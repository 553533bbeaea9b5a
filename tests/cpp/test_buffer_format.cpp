#include "module/buffer_format.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using quorvane::checkBufferFormat;
using quorvane::kDoubleDescriptor;
using quorvane::kFloatDescriptor;

const std::string kBigEndianMessage = "Big-endian buffer not supported on little-endian compiler";
const std::string kUnparsableAsItem = "Buffer dtype mismatch, expected 'float' but got unparsable format string";
const std::string kUnparsableAsEnd = "Buffer dtype mismatch, expected end but got unparsable format string";

std::string expectedFloat(const std::string& found) {
    return "Buffer dtype mismatch, expected 'float' but got " + found;
}
std::string expectedEnd(const std::string& found) {
    return "Buffer dtype mismatch, expected end but got " + found;
}
std::string notUnderstood(const std::string& character) {
    return "Does not understand character buffer dtype format string ('" + character + "')";
}

// Checks against "float" and returns the message, or "" when accepted.
std::string floatOutcome(const char* format) {
    return checkBufferFormat(format, kFloatDescriptor).value_or("");
}

TEST(BufferFormatAccepts, SingleItemOfTheDescriptorsSize) {
    for (const char* format : {"f", "@f", "^f", "=f", "<f", " f", "f\r\n", "<@=^f", "1f", "0001f", "1 f"}) {
        EXPECT_EQ(floatOutcome(format), "") << format;
    }
    for (const char* format : {"d", "<d", "=d", "1d"}) {
        EXPECT_EQ(checkBufferFormat(format, kDoubleDescriptor), std::nullopt) << format;
    }
}

TEST(BufferFormatAccepts, PaddingFieldNamesRecordsAndUnitShapes) {
    for (const char* format : {":x:f", "f:x:", "f:a b}{:", "xxfx", "3xf2x", "T{f:x:}", "T{xxxxf:x:}",
                               "T{T{f:b:}:a:}", "T{:a:f}x", "1T{f}", "(1)f", "(1,1)f", "( 1 , 1 ) f",
                               "T{f}T{}", "T { f }", "<T{=f}"}) {
        EXPECT_EQ(floatOutcome(format), "") << format;
    }
}

TEST(BufferFormatAccepts, ZeroCountsDescribeNoItem) {
    for (const char* format : {"0ff", "f0d", "f0f", "(0)ff", "(2,0)ff", "0T{dd}f", "f0T{f}", "0T{T{f}2f}f"}) {
        EXPECT_EQ(floatOutcome(format), "") << format;
    }
    // A zero count still has to be well formed.
    EXPECT_EQ(floatOutcome("0T{e}f"), notUnderstood("e"));
    EXPECT_EQ(floatOutcome("0Zxf"), "Unexpected format string character: 'Z'");
    EXPECT_EQ(floatOutcome("0>f"), kUnparsableAsItem);
    EXPECT_EQ(floatOutcome("0T{>f}f"), kBigEndianMessage);
    // For strings the count is a length: "0s" is still one (empty) string.
    EXPECT_EQ(floatOutcome("0sf"), expectedFloat("a string"));
    EXPECT_EQ(floatOutcome("f0p"), expectedEnd("a string"));
}

TEST(BufferFormatBigEndian, RefusedWhereverItAppears) {
    for (const char* format : {">f", "!f", "> f", "f>", "T{!f}", ":x:>d"}) {
        EXPECT_EQ(floatOutcome(format), kBigEndianMessage) << format;
    }
    // The format is read left to right: an earlier fault wins.
    EXPECT_EQ(floatOutcome("d>f"), expectedFloat("'double'"));
}

TEST(BufferFormatMismatch, EachCodeIsDescribed) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"?", "'bool'"},          {"c", "'char'"},
        {"b", "'signed char'"},   {"B", "'unsigned char'"},
        {"h", "'short'"},         {"H", "'unsigned short'"},
        {"i", "'int'"},           {"I", "'unsigned int'"},
        {"l", "'long'"},          {"L", "'unsigned long'"},
        {"q", "'long long'"},     {"Q", "'unsigned long long'"},
        {"d", "'double'"},        {"g", "'long double'"},
        {"Zf", "'complex float'"}, {"Zd", "'complex double'"},
        {"Zg", "'complex long double'"}, {"O", "Python object"},
        {"s", "a string"},        {"p", "a string"},
    };
    for (const auto& [format, description] : cases) {
        EXPECT_EQ(floatOutcome(format), expectedFloat(description)) << format;
        // A trailing item changes nothing: the first one already fails.
        EXPECT_EQ(floatOutcome((std::string(format) + "f").c_str()), expectedFloat(description)) << format;
    }
    EXPECT_EQ(floatOutcome(""), expectedFloat("end"));
    EXPECT_EQ(checkBufferFormat("f", kDoubleDescriptor),
              "Buffer dtype mismatch, expected 'double' but got 'float'");
    EXPECT_EQ(checkBufferFormat("<g", kDoubleDescriptor),
              "Buffer dtype mismatch, expected 'double' but got 'long double'");
}

TEST(BufferFormatMismatch, NullFormatIsUnsignedBytes) {
    EXPECT_EQ(checkBufferFormat(nullptr, kFloatDescriptor), expectedFloat("'unsigned char'"));
}

TEST(BufferFormatMismatch, NothingButPaddingOrEmptyRecordsIsEnd) {
    for (const char* format : {"x", "  ", "@", ":name:", "T{}", "T{xx}", "2T{}", "0f"}) {
        EXPECT_EQ(floatOutcome(format), expectedFloat("end")) << format;
    }
}

TEST(BufferFormatMismatch, MismatchedItemsInsideRecordsAndShapes) {
    EXPECT_EQ(floatOutcome("T{d:x:}"), expectedFloat("'double'"));
    EXPECT_EQ(floatOutcome("T{i:a:f:b:}"), expectedFloat("'int'"));
    EXPECT_EQ(floatOutcome("(2)d"), expectedFloat("'double'"));
    EXPECT_EQ(floatOutcome("2T{q}"), expectedFloat("'long long'"));
}

TEST(BufferFormatExpectedEnd, SecondItemAfterTheFirst) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"ff", "'float'"},        {"2f", "'float'"},       {"99f", "'float'"},
        {"(2)f", "'float'"},      {"(1,3)f", "'float'"},   {"fi", "'int'"},
        {"fZd", "'complex double'"}, {"f3s", "a string"},  {"fO", "Python object"},
        {"T{f:x:f:y:}", "'float'"}, {"T{(2)f:x:}", "'float'"}, {"T{f}T{f}", "'float'"},
        {"fT{xd}", "'double'"},   {"f:a:x2f", "'float'"},
    };
    for (const auto& [format, description] : cases) {
        EXPECT_EQ(floatOutcome(format), expectedEnd(description)) << format;
    }
}

TEST(BufferFormatExpectedEnd, RepeatedRecordHoldingTheItemIsAStruct) {
    for (const char* format : {"2T{f}", "(2)T{f}", "T{2T{xf}}", "2T{T{f}}", "2T{3T{x}f}"}) {
        EXPECT_EQ(floatOutcome(format), expectedEnd("a struct")) << format;
    }
    // A repeated record without items after the item adds nothing.
    EXPECT_EQ(floatOutcome("f3T{x}"), "");
}

TEST(BufferFormatUnknown, CharactersOutsideTheNotation) {
    for (const char* character : {"e", "w", "u", "n", "N", "P", "\t", "a", "%"}) {
        EXPECT_EQ(floatOutcome(character), notUnderstood(character)) << character;
        EXPECT_EQ(floatOutcome((std::string("f") + character).c_str()), notUnderstood(character)) << character;
    }
    EXPECT_EQ(floatOutcome("3e"), notUnderstood("e"));
    EXPECT_EQ(floatOutcome("3w"), notUnderstood("w"));
    EXPECT_EQ(floatOutcome("(e)f"), notUnderstood("e"));
    EXPECT_EQ(floatOutcome("(2;)f"), notUnderstood(";"));
    EXPECT_EQ(floatOutcome("T{fe}"), notUnderstood("e"));
    // Names may hold anything, between their colons.
    EXPECT_EQ(floatOutcome("f:e\t\xff:"), "");
    // A byte outside ASCII is reported as the code point of its value.
    EXPECT_EQ(floatOutcome("\xe9"), notUnderstood("\xc3\xa9"));
}

TEST(BufferFormatUnknown, ZMustBeFollowedByAFloatingCode) {
    const std::string message = "Unexpected format string character: 'Z'";
    for (const char* format : {"Z", "Zi", "ZZf", "Ze", "ZP", "fZ", "Z}", "T{Z}", "2Zq"}) {
        EXPECT_EQ(floatOutcome(format), message) << format;
    }
    EXPECT_EQ(floatOutcome("Z f"), expectedFloat("'complex float'"));
}

TEST(BufferFormatMalformed, NotationOutOfPlaceIsUnparsable) {
    for (const char* format : {"2", "(2)", "T", "Tf", "}", "{f}", ")", ",", "T{f", "T{", ":a", "()f",
                               "(2,)f", "(,2)f", "((1))f", "(1", "2:a:f", "2<f", "2(1)f", "2x}"}) {
        const std::string outcome = floatOutcome(format);
        EXPECT_TRUE(outcome == kUnparsableAsItem || outcome == kUnparsableAsEnd) << format << ": " << outcome;
    }
    EXPECT_EQ(floatOutcome("2"), kUnparsableAsItem);
    EXPECT_EQ(floatOutcome("f}"), kUnparsableAsEnd);
    EXPECT_EQ(floatOutcome("T{f"), kUnparsableAsEnd);
    EXPECT_EQ(floatOutcome("f:name"), kUnparsableAsEnd);
}

// Format strings NumPy exports, checked against "float".
TEST(BufferFormatNumPy, ActualExports) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"f", ""},                                          // float32
        {"T{f:x:}", ""},                                    // record of one float32 (itemsize 4 or 8)
        {"T{xxxxf:x:}", ""},                                // the field at offset 4
        {"T{T{f:b:}:a:}", ""},                              // nested record
        {"T{(1)f:x:}", ""},                                 // field of shape (1,)
        {">f", kBigEndianMessage},                          // big-endian float32
        {"d", expectedFloat("'double'")},                   // float64
        {"l", expectedFloat("'long'")},                     // int64
        {"q", expectedFloat("'long long'")},                // longlong
        {"B", expectedFloat("'unsigned char'")},            // uint8
        {"?", expectedFloat("'bool'")},                     // bool
        {"Zf", expectedFloat("'complex float'")},           // complex64
        {"Zg", expectedFloat("'complex long double'")},     // clongdouble
        {"g", expectedFloat("'long double'")},              // longdouble
        {"e", notUnderstood("e")},                          // float16
        {"O", expectedFloat("Python object")},              // object
        {"3s", expectedFloat("a string")},                  // S3
        {"3w", notUnderstood("w")},                         // U3
        {"T{f:x:f:y:}", expectedEnd("'float'")},            // two float32 fields
        {"T{(2)f:x:}", expectedEnd("'float'")},             // field of shape (2,)
    };
    for (const auto& [format, outcome] : cases) {
        EXPECT_EQ(floatOutcome(format), outcome) << format;
    }
}

TEST(BufferFormatHostile, DeepNestingNeitherRecursesNorFails) {
    const std::size_t depth = 200000;
    std::string nested;
    for (std::size_t i = 0; i < depth; ++i) nested += "T{";
    nested += "f";
    const std::string unterminated = nested;
    for (std::size_t i = 0; i < depth; ++i) nested += "}";
    EXPECT_EQ(floatOutcome(nested.c_str()), "");
    EXPECT_EQ(floatOutcome(unterminated.c_str()), kUnparsableAsEnd);
    EXPECT_EQ(floatOutcome((std::string(depth, '(') + "f").c_str()), kUnparsableAsItem);
}

TEST(BufferFormatHostile, HugeCountsSaturate) {
    EXPECT_EQ(floatOutcome("99999999999999999999f"), expectedEnd("'float'"));
    EXPECT_EQ(floatOutcome("18446744073709551617f"), expectedEnd("'float'"));  // 2^64 + 1
    EXPECT_EQ(floatOutcome("(4294967296,4294967296)f"), expectedEnd("'float'"));
    EXPECT_EQ(floatOutcome((std::string(100000, '0') + "1f").c_str()), "");
    EXPECT_EQ(floatOutcome((std::string(100000, '9') + "x" + "f").c_str()), "");
    EXPECT_EQ(floatOutcome((std::string(100000, '0') + "f").c_str()), expectedFloat("end"));
}

TEST(BufferFormatHostile, LongRunsOfIgnoredCharacters) {
    EXPECT_EQ(floatOutcome((std::string(100000, ' ') + "f" + std::string(100000, '<')).c_str()), "");
    EXPECT_EQ(floatOutcome((":" + std::string(100000, 'f') + ":f").c_str()), "");
}

}  // namespace
