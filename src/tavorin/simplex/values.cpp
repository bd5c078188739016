// Per-vector and per-element operands of the simplex functions: a float, one double per vector, or
// a matrix.
#include "simplex/values.hpp"

namespace tavorin::simplex {

int take_per_vector(PyObject *obj, const char *name, Py_ssize_t m, HeldBuffer &held, double &scalar,
                    RowValues &values) noexcept
{
    if (PyFloat_Check(obj)) {
        scalar = PyFloat_AS_DOUBLE(obj);
        values = {&scalar, 0};
        return 0;
    }
    const double *data = nullptr;
    Py_ssize_t stride = 0;
    if (take_doubles(obj, name, m, held, data, stride) < 0) {
        return -1;
    }
    values = {data, stride};
    return 0;
}

int take_operand(PyObject *obj, const char *name, Py_ssize_t m, Py_ssize_t n, Real &real,
                 HeldBuffer &held, double &scalar, Operand &out) noexcept
{
    if (PyFloat_Check(obj)) {
        return take_per_vector(obj, name, m, held, scalar, out.vector);
    }
    if (held.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    const int ndim = held.view().ndim;
    held.release();
    if (ndim != 2) {
        return take_per_vector(obj, name, m, held, scalar, out.vector);
    }
    Matrix matrix;
    if (take_matrix(obj, name, false, held, matrix) < 0) {
        return -1;
    }
    if (matrix.m != m || matrix.n != n) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd rows of %zd elements, got %zd of %zd",
                     name, m, n, matrix.m, matrix.n);
        return -1;
    }
    if (real != Real::other && matrix.real != real) {
        PyErr_Format(PyExc_TypeError, "%s: per-element values must have y's element type", name);
        return -1;
    }
    real = matrix.real;
    out.each = matrix.data;
    out.each_stride = matrix.row_stride;
    return 0;
}

int take_sets(PyObject *h, PyObject *l, PyObject *u, PyObject *w, Py_ssize_t m, Py_ssize_t n,
              Real &real, Sets &sets, Problem &problem) noexcept
{
    if (take_per_vector(h, "h", m, sets.h, sets.h_scalar, problem.h) < 0 ||
        take_operand(l, "l", m, n, real, sets.l, sets.l_scalar, problem.l) < 0 ||
        take_operand(u, "u", m, n, real, sets.u, sets.u_scalar, problem.u) < 0) {
        return -1;
    }
    if (w != Py_None && take_operand(w, "w", m, n, real, sets.w, sets.w_scalar, problem.w) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace tavorin::simplex
