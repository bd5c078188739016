// _simplex.first_infeasible: the first vector whose set is empty or not well defined.
#include "core/feasibility.hpp"
#include "simplex/entries.hpp"
#include "simplex/values.hpp"

namespace tavorin::simplex {

// first_infeasible(m, n, h, l, u, w, sense=0) -> int
PyObject *first_infeasible(PyObject *, PyObject *args) noexcept
{
    Py_ssize_t m, n;
    PyObject *h, *l, *u, *w;
    int sense = 0;
    if (!PyArg_ParseTuple(args, "nnOOOO|i:first_infeasible", &m, &n, &h, &l, &u, &w, &sense)) {
        return nullptr;
    }
    if (m < 0 || n < 0) {
        PyErr_SetString(PyExc_ValueError, "m, n: expected sizes of at least 0");
        return nullptr;
    }
    Problem problem;
    Sets sets;
    Real real = Real::other;
    if (take_sets(h, l, u, w, m, n, real, sets, problem) < 0) {
        return nullptr;
    }
    problem.m = m;
    problem.n = n;
    problem.single = real == Real::f32;
    problem.sense = sense;
    return PyLong_FromSsize_t(first_infeasible(problem));
}

}  // namespace tavorin::simplex
