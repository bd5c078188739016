// Test-only entry points into the numerical core and the version check.  Never installed.
#include "core/projection.hpp"
#include "host/refs.hpp"
#include "operators/version_check.hpp"

#include <vector>

namespace {

using tavorin::Ref;

bool read_row(PyObject *seq, std::vector<double> &row)
{
    Ref fast(PySequence_Fast(seq, "a sequence of floats is required"));
    if (!fast) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    row.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        row[static_cast<size_t>(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast.get(), i));
        if (row[static_cast<size_t>(i)] == -1.0 && PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

PyObject *to_list(const std::vector<double> &row)
{
    Ref list(PyList_New(static_cast<Py_ssize_t>(row.size())));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < row.size(); ++i) {
        PyObject *item = PyFloat_FromDouble(row[i]);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// residual(row, x, h, l, u) -> f(x) for that row
PyObject *residual(PyObject *, PyObject *args) noexcept
{
    PyObject *seq;
    double x, h, l, u;
    if (!PyArg_ParseTuple(args, "Odddd", &seq, &x, &h, &l, &u)) {
        return nullptr;
    }
    std::vector<double> row;
    if (!read_row(seq, row)) {
        return nullptr;
    }
    tavorin::params p = {static_cast<std::ptrdiff_t>(row.size()), h, l, u, row.data()};
    return PyFloat_FromDouble(tavorin::f(x, &p));
}

// project(row, xa, xb, h, l, u, xtol, rtol, mitr, brentq_capsule) -> projected row
PyObject *project(PyObject *, PyObject *args) noexcept
{
    PyObject *seq, *capsule;
    double xa, xb, h, l, u, xtol, rtol;
    int mitr;
    if (!PyArg_ParseTuple(args, "OdddddddiO", &seq, &xa, &xb, &h, &l, &u, &xtol, &rtol, &mitr,
                          &capsule)) {
        return nullptr;
    }
    void *pointer = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (!pointer) {
        return nullptr;
    }
    std::vector<double> row;
    if (!read_row(seq, row)) {
        return nullptr;
    }
    tavorin::params p = {static_cast<std::ptrdiff_t>(row.size()), h, l, u, row.data()};
    tavorin::project_row(reinterpret_cast<tavorin::root_finder>(pointer), p, xa, xb, xtol, rtol,
                         mitr);
    return to_list(row);
}

// version_warning(build, runtime) -> None; warns (or raises) on a mismatch
PyObject *version_warning(PyObject *, PyObject *args) noexcept
{
    const char *build;
    const char *runtime;
    if (!PyArg_ParseTuple(args, "ss", &build, &runtime)) {
        return nullptr;
    }
    if (tavorin::warn_version_mismatch(build, runtime) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"residual", residual, METH_VARARGS, nullptr},
    {"project", project, METH_VARARGS, nullptr},
    {"version_warning", version_warning, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_corehooks", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__corehooks(void)
{
    return PyModule_Create(&module_def);
}
