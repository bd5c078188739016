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
enum FormatFault : int {
    k_format_accepted,
    k_dtype_mismatch,     // expected, got
    k_field_offset,       // number: the offset the element would be at
    k_unknown_character,  // character
    k_big_endian,
    k_complex_prefix,   // character: the 'Z' that no complex item follows
    k_missing_comma,    // character: what stands after a dimension
    k_dimension_count,  // number: the dimensions listed
    k_unclosed_dimensions,
    k_unclosed_name,
    k_repeated_array,
    k_brace_after_t,
    k_unmatched_brace,
    k_structure_repeated_zero_times,
    k_number_too_large,     // number: the largest count read
    k_structures_too_deep,  // number: the deepest nesting checked
    k_structures_repeated_too_often,
};

// The checker's answer: `fault` is k_format_accepted for an accepted string; otherwise the
// fields that fault's message needs are set.
struct FormatVerdict {
    FormatFault fault = k_format_accepted;
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
