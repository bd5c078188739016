// _simplex.solve and first_nonfinite: the "exact" method and its scan for NaN and infinities.
#include "core/feasibility.hpp"
#include "core/passes.hpp"
#include "core/solver.hpp"
#include "simplex/entries.hpp"
#include "simplex/values.hpp"

namespace tavorin::simplex {

namespace {

struct Run {
    const Problem *problem;
    Py_ssize_t workers;
    bool started;
    std::ptrdiff_t first;
};

void run(void *context) noexcept
{
    Run &r = *static_cast<Run *>(context);
    r.first = tavorin::solve(*r.problem, r.workers, r.started);
}

struct Scan {
    const Matrix *y;
    std::ptrdiff_t first;
};

void scan(void *context) noexcept
{
    Scan &s = *static_cast<Scan *>(context);
    s.first = tavorin::first_nonfinite(s.y->data, s.y->m, s.y->n, s.y->row_stride,
                                       s.y->real == Real::f32);
}

}  // namespace

// solve(y, out, h, l, u, w, check_finite, workers) -> int
PyObject *solve(PyObject *, PyObject *args) noexcept
{
    PyObject *y_obj, *out_obj, *h_obj, *l_obj, *u_obj, *w_obj;
    int check_finite;
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "OOOOOOpn:solve", &y_obj, &out_obj, &h_obj, &l_obj, &u_obj, &w_obj,
                          &check_finite, &workers)) {
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers: expected at least one thread");
        return nullptr;
    }
    HeldBuffer y_held, out_held;
    Matrix y, out;
    if (take_matrix(y_obj, "y", false, y_held, y) < 0 ||
        take_matrix(out_obj, "out", true, out_held, out) < 0) {
        return nullptr;
    }
    if (out.m != y.m || out.n != y.n || out.real != y.real) {
        PyErr_SetString(PyExc_ValueError, "out: expected y's shape and element type");
        return nullptr;
    }
    if (overlaps_partly(y, out)) {
        PyErr_SetString(PyExc_ValueError, "out: overlaps y without being y");
        return nullptr;
    }
    Problem problem;
    Sets sets;
    Real real = y.real;
    if (take_sets(h_obj, l_obj, u_obj, w_obj, y.m, y.n, real, sets, problem) < 0) {
        return nullptr;
    }
    if (y.m > 0 && y.n == 0) {
        PyErr_SetString(PyExc_ValueError, "y: a vector must not be empty");
        return nullptr;
    }
    problem.y = y.data;
    problem.out = out.data;
    problem.m = y.m;
    problem.n = y.n;
    problem.y_stride = y.row_stride;
    problem.out_stride = out.row_stride;
    problem.single = y.real == Real::f32;
    problem.check_finite = check_finite != 0;
    Run r{&problem, workers, true, -1};
    run_unlocked(y.m * y.n, run, &r);
    if (!r.started) {
        PyErr_SetString(PyExc_RuntimeError,
                        "workers: could not start the threads; nothing was projected");
        return nullptr;
    }
    return PyLong_FromSsize_t(r.first);
}

// first_nonfinite(y) -> int
PyObject *first_nonfinite(PyObject *, PyObject *arg) noexcept
{
    HeldBuffer held;
    Matrix y;
    if (take_matrix(arg, "y", false, held, y) < 0) {
        return nullptr;
    }
    Scan s{&y, -1};
    run_unlocked(y.m * y.n, scan, &s);
    return PyLong_FromSsize_t(s.first);
}

// _plain_kernels(flag) -> bool: for the tests, run the plain twins of the
// lane kernels from now on (or not); returns the previous setting.
PyObject *plain_kernels(PyObject *, PyObject *arg) noexcept
{
    const int flag = PyObject_IsTrue(arg);
    if (flag < 0) {
        return nullptr;
    }
    const bool previous = passes::plain_forced();
    passes::force_plain(flag != 0);
    return PyBool_FromLong(previous);
}

}  // namespace tavorin::simplex
