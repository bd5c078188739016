// Per-vector and per-element operands of the simplex functions: a float, one double per vector, or
// a matrix.
#ifndef TAVORIN_SIMPLEX_VALUES_HPP
#define TAVORIN_SIMPLEX_VALUES_HPP

#include "core/solver.hpp"
#include "host/buffer.hpp"

namespace tavorin::simplex {

// A value per vector: a Python float for every vector, or a 1-D buffer of m
// float64 values.  `scalar` holds the float.  0, or -1 with an exception set.
int take_per_vector(PyObject *obj, const char *name, Py_ssize_t m, HeldBuffer &held, double &scalar,
                    RowValues &values) noexcept;

// l, u or w: as take_per_vector, or (when `each_allowed`) a 2-D buffer of
// (m, n) elements of type `real` (any of float64 and float32 when `real` is
// Real::other, which then becomes the buffer's type).
int take_operand(PyObject *obj, const char *name, Py_ssize_t m, Py_ssize_t n, Real &real,
                 HeldBuffer &held, double &scalar, Operand &out) noexcept;

// The buffers of h, l, u, w held for a call, and the floats among them.
struct Sets {
    HeldBuffer h, l, u, w;
    double h_scalar = 0.0, l_scalar = 0.0, u_scalar = 0.0, w_scalar = 0.0;
};

// Takes h, l, u and w (None: no weights) into the problem's fields for m
// vectors of n elements; per-element operands must have type `real` (or,
// when it is Real::other, share one type, which it becomes).
int take_sets(PyObject *h, PyObject *l, PyObject *u, PyObject *w, Py_ssize_t m, Py_ssize_t n,
              Real &real, Sets &sets, Problem &problem) noexcept;

}  // namespace tavorin::simplex

#endif
