// tavorin._simplex's derivative functions, for the module's method table.
#ifndef TAVORIN_SIMPLEX_DERIVATIVES_HPP
#define TAVORIN_SIMPLEX_DERIVATIVES_HPP

#include "host/refs.hpp"

namespace tavorin {

// jvp(x, dy, dh, dl, du, l, u, w, dx, workers) -> None
PyObject *project_jvp(PyObject *module, PyObject *args) noexcept;
// vjp(x, g, l, u, w, gy, gh, gl, gu, workers) -> None
PyObject *project_vjp(PyObject *module, PyObject *args) noexcept;

}  // namespace tavorin

#endif
