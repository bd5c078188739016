// Binding of SciPy's compiled root finders through the capsules of its C-level table.
#ifndef TAVORIN_CAPSULES_HPP
#define TAVORIN_CAPSULES_HPP

#include "core/root_finder.hpp"
#include "host/refs.hpp"

namespace tavorin {

// The module whose `__pyx_capi__` table publishes the root finders.
constexpr const char *k_zeros_module = "scipy.optimize.cython_optimize._zeros";

// Takes `function_name` from `module.__pyx_capi__`, accepting only a capsule
// named with the exact signature text of a root finder: 0, or -1 with an
// ImportError (missing) or TypeError (another signature) set.
int import_c_function(PyObject *module, const char *function_name,
                      root_finder *destination) noexcept;

}  // namespace tavorin

#endif
