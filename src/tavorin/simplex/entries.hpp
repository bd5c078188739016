// The functions of tavorin._simplex, one file each, and what they share.
#ifndef TAVORIN_SIMPLEX_ENTRIES_HPP
#define TAVORIN_SIMPLEX_ENTRIES_HPP

#include "core/root_finder.hpp"
#include "host/refs.hpp"

#include <cstddef>
#include <memory>
#include <type_traits>

namespace tavorin::simplex {

// SciPy's brentq, bound by the module's exec step (the same in every
// interpreter), then only read.
extern root_finder brentq;

// Runs work(context) with the interpreter lock released when `elements` is
// large enough to repay it, and takes the lock back.
void run_unlocked(std::ptrdiff_t elements, void (*work)(void *) noexcept, void *context) noexcept;

// The same with f(), any callable that throws nothing.
template <class F>
void run_unlocked(std::ptrdiff_t elements, F &&f) noexcept
{
    using Work = std::remove_reference_t<F>;
    static_assert(noexcept(f()), "work run without the lock must not throw");
    run_unlocked(
        elements, [](void *context) noexcept { (*static_cast<Work *>(context))(); },
        const_cast<void *>(static_cast<const volatile void *>(std::addressof(f))));
}

PyObject *project(PyObject *module, PyObject *args) noexcept;           // project.cpp
PyObject *solve(PyObject *module, PyObject *args) noexcept;             // solve.cpp
PyObject *first_infeasible(PyObject *module, PyObject *args) noexcept;  // sets.cpp
PyObject *first_nonfinite(PyObject *module, PyObject *args) noexcept;   // solve.cpp
PyObject *copy(PyObject *module, PyObject *args) noexcept;              // copy.cpp
PyObject *plain_kernels(PyObject *module, PyObject *arg) noexcept;      // solve.cpp
// jvp(x, dy, dh, dl, du, l, u, w, dx, workers) -> None
PyObject *project_jvp(PyObject *module, PyObject *args) noexcept;  // derivatives.cpp
// vjp(x, g, l, u, w, gy, gh, gl, gu, workers) -> None
PyObject *project_vjp(PyObject *module, PyObject *args) noexcept;    // derivatives.cpp
PyObject *xla_handler(PyObject *module, PyObject *unused) noexcept;  // xla.cpp

}  // namespace tavorin::simplex

#endif
