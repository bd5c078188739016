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
    case FormatFault::none: return 0;
    case FormatFault::dtype_mismatch:
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
    case FormatFault::field_offset:
        PyErr_Format(value_error,
                     "Buffer dtype mismatch; next field is at offset %zd but %zd expected", number,
                     Py_ssize_t(0));
        return -1;
    case FormatFault::unknown_character:
        return raise_with_char(value_error,
                               "Does not understand character buffer dtype format string ('",
                               character, "')");
    case FormatFault::big_endian:
        return raise_text(value_error, "Big-endian buffer not supported on little-endian compiler");
    case FormatFault::complex_prefix:
        return raise_with_char(value_error, "Unexpected format string character: '", character,
                               "'");
    case FormatFault::missing_comma:
        return raise_with_char(value_error, "Expected a comma in format string, got '", character,
                               "'");
    case FormatFault::dimension_count:
        PyErr_Format(value_error, "Expected %d dimension(s), got %zd", 0, number);
        return -1;
    case FormatFault::unclosed_dimensions:
        return raise_text(value_error, "Unexpected end of format string, expected ')'");
    case FormatFault::unclosed_name:
        return raise_text(value_error, "Unexpected end of format string, expected ':'");
    case FormatFault::repeated_array:
        return raise_text(value_error, "Cannot handle repeated arrays in format string");
    case FormatFault::brace_after_t:
        return raise_text(value_error, "Buffer acquisition: Expected '{' after 'T'");
    case FormatFault::unmatched_brace:
        return raise_text(value_error, "Unmatched '}' in format string");
    case FormatFault::structure_repeated_zero_times:
        return raise_text(value_error,
                          "Cannot handle structures repeated 0 times in format string");
    case FormatFault::number_too_large:
        PyErr_Format(value_error, "Number in format string exceeds %zd", number);
        return -1;
    case FormatFault::structures_too_deep:
        PyErr_Format(value_error, "Buffer format string nests structures deeper than %zd levels",
                     number);
        return -1;
    case FormatFault::structures_repeated_too_often:
        return raise_text(value_error,
                          "Buffer format string repeats structures too often to be checked");
    }
    return 0;
}

}  // namespace tavorin
