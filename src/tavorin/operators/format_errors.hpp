// The ValueError a refused buffer format string raises.
#ifndef TAVORIN_FORMAT_ERRORS_HPP
#define TAVORIN_FORMAT_ERRORS_HPP

#include "core/format_check.hpp"
#include "host/refs.hpp"

namespace tavorin {

// 0 for an accepted string; otherwise sets `value_error` with the verdict's
// message and returns -1.
int raise_format_error(PyObject *value_error, const FormatVerdict &verdict) noexcept;

}  // namespace tavorin

#endif
