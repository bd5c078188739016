// The process-wide state of tavorin.operators, written only at start-up and read afterwards.
#ifndef TAVORIN_STATE_HPP
#define TAVORIN_STATE_HPP

#include "core/root_finder.hpp"
#include "host/refs.hpp"

#include <cstdint>

namespace tavorin {

constexpr const char *k_qualified_module = "tavorin.operators";

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

struct ProcessState {
    std::int64_t main_interpreter_id = -1;
    Global current_module;
    Global module_dict;
    Global builtins_module;

    Global empty_tuple;
    Global empty_bytes;
    Global empty_unicode;

    Global interned[k_interned_name_count];
    Global param_names[k_param_count];
    Py_hash_t param_hashes[k_param_count] = {};

    Global default_tolerance;  // 1e-05, the default of both xtol and rtol
    Global default_mitr;       // 20

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
};

extern ProcessState state;

}  // namespace tavorin

#endif
