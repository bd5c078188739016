// The names and message sizes callers see, each written once.
#ifndef TAVORIN_OPERATORS_NAMES_HPP
#define TAVORIN_OPERATORS_NAMES_HPP

#include <cstddef>

// The pieces, as macros only so that the full names below are joined at compile time.
#define TAVORIN_QUALIFIED_MODULE "tavorin.operators"
#define TAVORIN_PUBLIC_NAME "proj_csimplex"

namespace tavorin {

// The module's own name (its definition's), the name it is imported by, and
// the name of its one function.  PyInit_operators spells the first again: the
// host finds the entry point by it.
constexpr const char *k_module_name = "operators";
constexpr const char *k_qualified_module = TAVORIN_QUALIFIED_MODULE;
constexpr const char *k_public_name = TAVORIN_PUBLIC_NAME;

// What traceback entries show: the failing function, and one file for all.
constexpr const char *k_function_name = TAVORIN_QUALIFIED_MODULE "." TAVORIN_PUBLIC_NAME;
constexpr const char *k_init_name = "init " TAVORIN_QUALIFIED_MODULE;
constexpr const char *k_source_file = "src/tavorin/operators";

// The internal view types, as their instances' reprs show them.
constexpr const char *k_view_type_name = TAVORIN_QUALIFIED_MODULE ".memoryview";
constexpr const char *k_row_type_name = TAVORIN_QUALIFIED_MODULE "._memoryviewslice";

// The buffer that the start-up warnings and the fatal message of a broken hold
// count are formatted into: longer texts are cut to one byte less.
constexpr std::size_t k_message_size = 200;

}  // namespace tavorin

#endif
