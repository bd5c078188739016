// Test-only entry points into the typed buffer views, linked from the
// module's own objects: what the tests need to see and the public module
// cannot show (hold counts, the format checker on its own, row sequences).
// Never installed.
#include "core/format_check.hpp"
#include "operators/format_errors.hpp"
#include "operators/views.hpp"

#include <cstring>

namespace {

using tavorin::DoubleView2D;
using tavorin::Ref;

// check_format(text): None when `text` (str or bytes) describes one double,
// else the checker's ValueError.
PyObject *check_format(PyObject *, PyObject *arg) noexcept
{
    const char *text = nullptr;
    if (PyUnicode_Check(arg)) {
        Py_ssize_t size;
        text = PyUnicode_AsUTF8AndSize(arg, &size);
        if (text && std::strlen(text) != static_cast<size_t>(size)) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return nullptr;
        }
    }
    else if (PyBytes_AsStringAndSize(arg, const_cast<char **>(&text), nullptr) < 0) {
        return nullptr;
    }
    if (!text || tavorin::raise_format_error(
                     PyExc_ValueError, tavorin::check_format(tavorin::double_desc, text)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *pair(const Py_ssize_t *values) noexcept
{
    return Py_BuildValue("(nn)", values[0], values[1]);
}

// acquire(obj): acquires and releases a view; returns what it held.
PyObject *acquire(PyObject *, PyObject *obj) noexcept
{
    DoubleView2D view;
    if (tavorin::acquire_double_view_2d(obj, &view) < 0) {
        return nullptr;
    }
    Ref shape(pair(view.shape));
    Ref strides(pair(view.strides));
    Ref suboffsets(pair(view.suboffsets));
    const int count = tavorin::view_acquisition_count(view);
    const bool owner_is_none = view.owner == Py_None;
    const bool data_is_null = view.data == nullptr;
    tavorin::release_view(&view, tavorin::k_site_test_hook);
    if (!shape || !strides || !suboffsets) {
        return nullptr;
    }
    return Py_BuildValue("{sOsOsOsisOsO}", "shape", shape.get(), "strides", strides.get(),
                         "suboffsets", suboffsets.get(), "count", count, "owner_is_none",
                         owner_is_none ? Py_True : Py_False, "data_is_null",
                         data_is_null ? Py_True : Py_False);
}

// hold_counts(obj): the acquisition count after each step of a call's life:
// acquired, row sequence made, row sequence dropped, extra hold taken,
// extra hold released, view released.
PyObject *hold_counts(PyObject *, PyObject *obj) noexcept
{
    DoubleView2D view;
    if (tavorin::acquire_double_view_2d(obj, &view) < 0) {
        return nullptr;
    }
    int counts[6];
    counts[0] = tavorin::view_acquisition_count(view);
    Ref row(tavorin::make_row_sequence(&view, 0));
    if (!row) {
        tavorin::release_view(&view, tavorin::k_site_test_hook);
        return nullptr;
    }
    counts[1] = tavorin::view_acquisition_count(view);
    row.reset();
    counts[2] = tavorin::view_acquisition_count(view);
    DoubleView2D extra = view;
    tavorin::hold_view(&extra, tavorin::k_site_test_hook);
    counts[3] = tavorin::view_acquisition_count(view);
    tavorin::release_view(&extra, tavorin::k_site_test_hook);
    counts[4] = tavorin::view_acquisition_count(view);
    // Keep the view object alive past its last release to read the count.
    Ref owner = Ref::borrow(view.owner);
    DoubleView2D last = view;
    tavorin::release_view(&view, tavorin::k_site_test_hook);
    counts[5] = tavorin::view_acquisition_count(last);
    return Py_BuildValue("[iiiiii]", counts[0], counts[1], counts[2], counts[3], counts[4],
                         counts[5]);
}

// row_sequence(obj, row): the row sequence over one row, which outlives the
// call's own view and keeps the buffer exported until it goes.
PyObject *row_sequence(PyObject *, PyObject *args) noexcept
{
    PyObject *obj;
    Py_ssize_t row;
    if (!PyArg_ParseTuple(args, "On", &obj, &row)) {
        return nullptr;
    }
    DoubleView2D view;
    if (tavorin::acquire_double_view_2d(obj, &view) < 0) {
        return nullptr;
    }
    PyObject *seq = tavorin::make_row_sequence(&view, row);
    tavorin::release_view(&view, tavorin::k_site_test_hook);
    return seq;
}

// broken_release(obj): releases one hold twice; must end the process.
PyObject *broken_release(PyObject *, PyObject *obj) noexcept
{
    DoubleView2D view;
    if (tavorin::acquire_double_view_2d(obj, &view) < 0) {
        return nullptr;
    }
    Ref owner = Ref::borrow(view.owner);
    DoubleView2D copy = view;
    tavorin::release_view(&view, tavorin::k_site_test_hook);
    tavorin::release_view(&copy, tavorin::k_site_test_hook);
    Py_RETURN_NONE;
}

const tavorin::ViewExceptions host_exceptions() noexcept
{
    return {PyExc_ValueError, PyExc_MemoryError, PyExc_TypeError, PyExc_IndexError};
}

// prepare(): runs the start-up preparation again, as a repeated import would.
PyObject *prepare(PyObject *, PyObject *) noexcept
{
    if (tavorin::prepare_view_types(host_exceptions()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"check_format", check_format, METH_O, nullptr},
    {"acquire", acquire, METH_O, nullptr},
    {"hold_counts", hold_counts, METH_O, nullptr},
    {"row_sequence", row_sequence, METH_VARARGS, nullptr},
    {"broken_release", broken_release, METH_O, nullptr},
    {"prepare", prepare, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_viewhooks", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__viewhooks()
{
    if (tavorin::prepare_view_types(host_exceptions()) < 0) {
        return nullptr;
    }
    return PyModule_Create(&module_def);
}
