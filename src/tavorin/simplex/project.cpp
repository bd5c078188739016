// _simplex.project: the "brentq" method, proj_csimplex's rows copied into out and projected there.
#include "core/batch.hpp"
#include "core/blocks.hpp"
#include "host/buffer.hpp"
#include "simplex/entries.hpp"
#include "simplex/values.hpp"

namespace tavorin::simplex {

// project(y, out, h, l, u, xtol, rtol, maxiter, workers) -> None
PyObject *project(PyObject *, PyObject *args) noexcept
{
    PyObject *y_obj, *out_obj, *h_obj, *l_obj, *u_obj;
    Batch batch{};
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "OOOOOddin:project", &y_obj, &out_obj, &h_obj, &l_obj, &u_obj,
                          &batch.xtol, &batch.rtol, &batch.maxiter, &workers)) {
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers: expected at least one thread");
        return nullptr;
    }
    HeldBuffer y_held, out_held, h_held, l_held, u_held;
    Matrix y, out;
    if (take_matrix(y_obj, "y", false, y_held, y) < 0 ||
        take_matrix(out_obj, "out", true, out_held, out) < 0) {
        return nullptr;
    }
    if (y.real != Real::f64 || out.real != Real::f64) {
        PyErr_SetString(PyExc_TypeError, "y, out: the brentq method takes float64 elements");
        return nullptr;
    }
    if (out.m != y.m || out.n != y.n) {
        PyErr_SetString(PyExc_ValueError, "out: expected y's shape");
        return nullptr;
    }
    if (overlaps_partly(y, out)) {
        PyErr_SetString(PyExc_ValueError, "out: overlaps y without being y");
        return nullptr;
    }
    double h = 0.0, l = 0.0, u = 0.0;
    if (take_per_vector(h_obj, "h", y.m, h_held, h, batch.h) < 0 ||
        take_per_vector(l_obj, "l", y.m, l_held, l, batch.l) < 0 ||
        take_per_vector(u_obj, "u", y.m, u_held, u, batch.u) < 0) {
        return nullptr;
    }
    if (y.m == 0) {
        Py_RETURN_NONE;
    }
    if (y.n == 0) {
        PyErr_SetString(PyExc_ValueError, "y: a row must not be empty");
        return nullptr;
    }
    batch.rows = out.data;
    batch.source = y.data;
    batch.m = y.m;
    batch.n = y.n;
    batch.row_stride = out.row_stride;
    batch.source_stride = y.row_stride;
    const int blocks = block_count(batch.m, batch.n, workers);
    bool started = false;
    const auto rows = [&batch](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        project_rows(brentq, batch, begin, end);
    };
    // Each block copies its own rows first: nothing is written before every
    // thread has started.
    run_unlocked(batch.m * batch.n,
                 [&]() noexcept { started = run_in_blocks(batch.m, blocks, rows); });
    if (!started) {
        PyErr_Format(PyExc_RuntimeError,
                     "workers: could not start %d threads; nothing was projected", blocks - 1);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace tavorin::simplex
