// The buffer format-string checker, free of the interpreter: one element at offset 0, or why not.
#ifndef TAVORIN_CORE_FORMAT_CHECK_HPP
#define TAVORIN_CORE_FORMAT_CHECK_HPP

#include <cstdint>

namespace tavorin {

// What the checker compares against.  The module only ever expects a plain
// scalar, so a description has no array extents and no fields.
struct element_desc {
    const char *name;
    std::uint64_t size;
    char kind_group;  // 'H' char, 'I' signed, 'U' unsigned/bool, 'R' real, 'C' complex, 'O' object
};

extern const element_desc double_desc;

// Why a string was refused.  The message of each sits in format_errors.cpp.
enum class FormatFault {
    none,
    dtype_mismatch,     // expected, got
    field_offset,       // number: the offset the element would be at
    unknown_character,  // character
    big_endian,
    complex_prefix,   // character: the 'Z' that no complex item follows
    missing_comma,    // character: what stands after a dimension
    dimension_count,  // number: the dimensions listed
    unclosed_dimensions,
    unclosed_name,
    repeated_array,
    brace_after_t,
    unmatched_brace,
    structure_repeated_zero_times,
    number_too_large,     // number: the largest count read
    structures_too_deep,  // number: the deepest nesting checked
    structures_repeated_too_often,
};

// The checker's answer: `fault` is none for an accepted string; otherwise the
// fields that fault's message needs are set.
struct FormatVerdict {
    FormatFault fault = FormatFault::none;
    char character = 0;
    std::int64_t number = 0;
    // The expected element's name, or null once it has been matched: then
    // only the end of the string was expected.
    const char *expected = nullptr;
    const char *got = nullptr;  // what stood there instead, as messages show it
    // The work the check took, in characters examined; bounded by the
    // string's length (see format_check.cpp).
    std::uint64_t steps = 0;
};

FormatVerdict check_format(const element_desc &expected, const char *format) noexcept;

}  // namespace tavorin

#endif
