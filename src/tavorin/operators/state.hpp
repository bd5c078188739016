// Everything tavorin.operators keeps between calls, in one place.
//
// Start-up writes it and calls only read it, with one exception: the trace
// entries' code cache, which calls fill as failure sites first fail (under the
// interpreter lock; it only grows, bounded by the number of sites).  None of
// it belongs to a module object: the module is tied to one interpreter and is
// never finalised, so this lives until the process ends.
#ifndef TAVORIN_STATE_HPP
#define TAVORIN_STATE_HPP

#include "core/root_finder.hpp"
#include "host/refs.hpp"
#include "operators/views.hpp"

#include <cstdint>

namespace tavorin {

// The parameters of proj_csimplex, in declaration order; the first
// k_required_count are required.
enum Param : int { k_y_view, k_h, k_l, k_u, k_xtol, k_rtol, k_mitr, k_param_count };
constexpr int k_required_count = 4;

// Names interned once at start-up, each with its hash computed there.
enum InternedName : int {
    k_dunder_name,
    k_dunder_main,
    k_dunder_test,
    k_proj_csimplex_name,
    k_qualified_module_name,
    k_interned_name_count
};

// The host and NumPy types whose instance sizes start-up checks.
constexpr int k_imported_type_count = 16;

// The defaults of the optional parameters: one float for both tolerances.
constexpr double k_default_tolerance = 1e-05;
constexpr long k_default_mitr = 20;

// A traceback entry's code object, kept per failure site (trace.cpp).
struct TraceCode {
    const char *function;
    int line;
    PyCodeObject *code;
};
constexpr int k_trace_code_capacity = 16;

struct ProcessState {
    std::int64_t main_interpreter_id = -1;
    Global current_module;
    Global module_dict;
    Global builtins_module;

    Global empty_tuple;  // the argument of min and max that raises their own empty-row error
    // Start-up makes these two with the empty tuple, in the same step, though
    // no call reads them: the step's failure (before the module is recorded,
    // so with no trace entry) is part of what start-up does.
    Global empty_bytes;
    Global empty_unicode;

    Global interned[k_interned_name_count];
    Global param_names[k_param_count];
    Py_hash_t param_hashes[k_param_count] = {};

    Global default_tolerance;  // k_default_tolerance, for both xtol and rtol
    Global default_mitr;       // k_default_mitr

    Global builtin_min;
    Global builtin_max;
    Global value_error, memory_error, type_error, index_error;
    // Looked up and kept because start-up requires them to exist, though no
    // call reads them.
    Global ellipsis, builtin_id;
    // The bracket may be computed straight from the row's doubles only when
    // min and max are the interpreter's own: anything else must see the row.
    bool genuine_min_max = false;

    Global imported_types[k_imported_type_count];

    // All four are bound so that start-up checks every signature; only brentq
    // is called.
    root_finder bisect = nullptr;
    root_finder ridder = nullptr;
    root_finder brenth = nullptr;
    root_finder brentq = nullptr;

    Global function;  // the published proj_csimplex

    // The view code's exceptions and types (views.cpp), readied by start-up.
    ViewExceptions view_exceptions = {};
    // The message of the IndexError that ends every row iteration, made once
    // because each bracket raises it twice per row.
    Global out_of_bounds;
    PyTypeObject view_type = {};
    PyTypeObject row_type = {};
    PySequenceMethods row_sequence_methods = {};

    // Filled during calls, see above.
    TraceCode trace_codes[k_trace_code_capacity] = {};
    int trace_code_count = 0;
};

extern ProcessState state;

}  // namespace tavorin

#endif
