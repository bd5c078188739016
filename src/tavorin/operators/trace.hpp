// Traceback entries that the module's failing functions add for themselves.
#ifndef TAVORIN_TRACE_HPP
#define TAVORIN_TRACE_HPP

#include "operators/names.hpp"

namespace tavorin {

// The line each failure site shows in a traceback.  These are stable numbers
// that callers see (and may match on), not lines of any file in this tree.
enum TraceLine : int {
    k_line_startup = 1,
    k_line_call = 28,
    k_line_h = 29,
    k_line_l = 30,
    k_line_u = 31,
    k_line_lower_bracket = 43,
    k_line_upper_bracket = 44,
    k_line_row_scalars = 45,
};

// Adds an entry naming `function_name` at `line` to the pending exception's
// traceback.  Reports nothing: whatever goes wrong, the pending exception is
// the one that stays.
void add_trace_entry(const char *function_name, int line) noexcept;

}  // namespace tavorin

#endif
