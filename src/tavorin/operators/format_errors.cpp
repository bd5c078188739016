// Every message of the buffer format-string checker, and the one function that raises them.
#include "operators/format_errors.hpp"

namespace tavorin {

namespace {

// The "%c" messages show the offending byte itself, except that a byte above
// 127 is shown as \xNN: on its own it is not a character of any text.
int raise_with_char(PyObject *value_error, const char *before, char c, const char *after) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 128) {
        PyErr_Format(value_error, "%s%c%s", before, static_cast<int>(byte), after);
    }
    else {
        static const char hex[] = "0123456789abcdef";
        const char shown[] = {'\\', 'x', hex[byte >> 4], hex[byte & 15], '\0'};
        PyErr_Format(value_error, "%s%s%s", before, shown, after);
    }
    return -1;
}

int raise_text(PyObject *value_error, const char *message) noexcept
{
    PyErr_SetString(value_error, message);
    return -1;
}

}  // namespace

int raise_format_error(PyObject *value_error, const FormatVerdict &verdict) noexcept
{
    const char character = verdict.character;
    const auto number = static_cast<Py_ssize_t>(verdict.number);
    switch (verdict.fault) {
    case k_format_accepted: return 0;
    case k_dtype_mismatch:
        // Once the element has been matched, only the end was expected.
        if (verdict.expected) {
            PyErr_Format(value_error, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                         verdict.expected, "'", verdict.got);
        }
        else {
            PyErr_Format(value_error, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                         "end", "", verdict.got);
        }
        return -1;
    case k_field_offset:
        PyErr_Format(value_error,
                     "Buffer dtype mismatch; next field is at offset %zd but %zd expected", number,
                     Py_ssize_t(0));
        return -1;
    case k_unknown_character:
        return raise_with_char(value_error,
                               "Does not understand character buffer dtype format string ('",
                               character, "')");
    case k_big_endian:
        return raise_text(value_error, "Big-endian buffer not supported on little-endian compiler");
    case k_complex_prefix:
        return raise_with_char(value_error, "Unexpected format string character: '", character,
                               "'");
    case k_missing_comma:
        return raise_with_char(value_error, "Expected a comma in format string, got '", character,
                               "'");
    case k_dimension_count:
        PyErr_Format(value_error, "Expected %d dimension(s), got %zd", 0, number);
        return -1;
    case k_unclosed_dimensions:
        return raise_text(value_error, "Unexpected end of format string, expected ')'");
    case k_unclosed_name:
        return raise_text(value_error, "Unexpected end of format string, expected ':'");
    case k_repeated_array:
        return raise_text(value_error, "Cannot handle repeated arrays in format string");
    case k_brace_after_t:
        return raise_text(value_error, "Buffer acquisition: Expected '{' after 'T'");
    case k_unmatched_brace: return raise_text(value_error, "Unmatched '}' in format string");
    case k_structure_repeated_zero_times:
        return raise_text(value_error,
                          "Cannot handle structures repeated 0 times in format string");
    case k_number_too_large:
        PyErr_Format(value_error, "Number in format string exceeds %zd", number);
        return -1;
    case k_structures_too_deep:
        PyErr_Format(value_error, "Buffer format string nests structures deeper than %zd levels",
                     number);
        return -1;
    case k_structures_repeated_too_often:
        return raise_text(value_error,
                          "Buffer format string repeats structures too often to be checked");
    }
    return 0;
}

}  // namespace tavorin
