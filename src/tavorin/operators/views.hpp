// Typed buffer views: a caller's object acquired as a writable two-dimensional
// view of doubles whose rows are contiguous, and the one-row sequence objects
// that are handed to the builtins `min` and `max`.
#ifndef TAVORIN_VIEWS_HPP
#define TAVORIN_VIEWS_HPP

#include "host/refs.hpp"

#include <cstddef>

namespace tavorin {

// Room for this many axes, of which a view uses the first two.
constexpr int k_view_max_axes = 8;

// Where a view is held or released, as the fatal message of a broken
// acquisition count shows it ("... (line %d)"): stable numbers that identify
// the site, not lines of any file.
enum ViewSite : int {
    k_site_call = 1,          // the call's own view (driver.cpp)
    k_site_row_sequence = 2,  // the hold of a row sequence, for min and max
    k_site_test_hook = 3,     // the test helpers' own holds (tests/helpers)
};

// A two-dimensional double view, held by value in the caller's frame.
// `owner` is the view object whose acquisition count includes this view,
// Py_None for a None argument, or null when the view is empty or released.
// It carries no reference of its own: the owner's count does.
struct DoubleView2D {
    PyObject *owner = nullptr;
    char *data = nullptr;
    Py_ssize_t shape[k_view_max_axes] = {};
    Py_ssize_t strides[k_view_max_axes] = {};
    Py_ssize_t suboffsets[k_view_max_axes] = {};
};

// The exception types the view code raises, handed over by start-up (which
// caches them from the builtins module).
struct ViewExceptions {
    PyObject *value_error;
    PyObject *memory_error;
    PyObject *type_error;
    PyObject *index_error;
};

// Start-up: readies the view types (0, or -1 with an exception set).  May be
// called again after a failed start-up.
int prepare_view_types(const ViewExceptions &exceptions);

// Acquires `obj` as a writable, row-contiguous 2-D view of native doubles.
// Returns 0, or -1 with an exception set and `view` left empty.
int acquire_double_view_2d(PyObject *obj, DoubleView2D *view);
// Drops the view's hold.  Safe on an empty and on a None view.  `site`
// identifies the caller in the fatal message of a broken count.
void release_view(DoubleView2D *view, ViewSite site);
// Takes one more hold on the view's owner (for a row object sharing it).
void hold_view(DoubleView2D *view, ViewSite site);

// A new "tavorin.operators._memoryviewslice" over row `row` of `view`: a
// sequence of `shape[1]` floats with the elements' exact bits.  It holds the
// view's owner while it lives.  Null with an exception set on failure.
PyObject *make_row_sequence(DoubleView2D *view, Py_ssize_t row);

// Acquisition count of a view's owner (test hooks and consistency checks).
int view_acquisition_count(const DoubleView2D &view);

}  // namespace tavorin

#endif
