// Typed buffer views: the caller's array as a 2-D double view, and its one-row sequences.
//
// A caller's array is acquired once per call, through one buffer request,
// by a view object of our own type; the row sequences handed to `min` and
// `max` share that object instead of asking the exporter again.  The view
// object counts its holds atomically and keeps one strong reference for all
// of them, so the caller's buffer stays exported exactly as long as some
// view refers to it.
//
// The exporter is not trusted: everything it reports (dimension count,
// shape, strides, suboffsets, length, address, read-only flag, format) is
// checked before the view is handed out, so the module never reads or
// writes outside the exported memory whatever the exporter claims.
#include "operators/views.hpp"

#include "core/compiler.hpp"
#include "core/format_check.hpp"
#include "host/compat.hpp"
#include "operators/format_errors.hpp"
#include "operators/names.hpp"
#include "operators/state.hpp"

#include <atomic>
#include <cstring>
#include <new>

namespace tavorin {

namespace {

// The exceptions, the row iteration's IndexError message and the types live
// with the rest of the process-wide state (state.hpp); prepare_view_types
// writes them.
PyObject *value_error() noexcept
{
    return state.view_exceptions.value_error;
}

// ---------------------------------------------------------------------------
// View objects
// ---------------------------------------------------------------------------

// "tavorin.operators.memoryview": one buffer acquisition and its hold count.
//
// These objects are reachable only from the C stack of a call and from the
// row sequences made during it, so they can never be part of a reference
// cycle; they are not tracked by the garbage collector, which keeps the
// per-row sequence objects cheap.
struct ViewObject {
    PyObject_HEAD
    PyObject *exporter;
    // Atomic so the count stays exact even if a row sequence holding the view
    // is freed on a thread without the interpreter lock; under the lock, as on
    // every path the module itself takes, it costs one locked addition.
    std::atomic<int> acquisition_count;
    Py_buffer buffer;
};

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the count is a plain 32-bit integer");

// "tavorin.operators._memoryviewslice": one row of a held view as a sequence
// of floats.  Its own view part acquires nothing; `hold` refers to the view
// object of the call.
struct RowSequence {
    ViewObject base;
    DoubleView2D hold;
    const char *row;
    Py_ssize_t length;
};

constexpr int k_request_flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;
static_assert(k_request_flags == 61, "the request every exporter sees");
// The dimensions of every view.
constexpr int k_axes = 2;

ViewObject *as_view_object(PyObject *owner) noexcept
{
    return reinterpret_cast<ViewObject *>(owner);
}

// The part of the view object that a bare allocation leaves undefined.
void init_view_fields(ViewObject *self) noexcept
{
    self->exporter = nullptr;
    new (&self->acquisition_count) std::atomic<int>(0);
    std::memset(&self->buffer, 0, sizeof self->buffer);
}

void clear_view_fields(ViewObject *self) noexcept
{
    // Deallocation may run while an exception is propagating (the failed
    // acquisition drops its view object on its way out); releasing the buffer
    // can run arbitrary code of the exporter, which must not see or lose it.
    const compat::PendingException pending;
    if (self->buffer.obj) {
        PyBuffer_Release(&self->buffer);
    }
    Py_CLEAR(self->exporter);
}

void destroy_view_object(PyObject *self) noexcept
{
    clear_view_fields(as_view_object(self));
    Py_TYPE(self)->tp_free(self);
}

PyObject *create_view_object(PyObject *obj, int flags) noexcept
{
    ViewObject *self = PyObject_New(ViewObject, &state.view_type);
    if (!self) {
        return nullptr;
    }
    init_view_fields(self);
    Ref owned(reinterpret_cast<PyObject *>(self));
    Py_INCREF(obj);
    self->exporter = obj;
    if (PyObject_GetBuffer(obj, &self->buffer, flags) < 0) {
        // The protocol says a failed request leaves `obj` empty; make sure
        // the deallocation does not release what was never obtained.
        self->buffer.obj = nullptr;
        if (!PyErr_Occurred()) {
            PyErr_SetString(value_error(), "Buffer request failed without an exception");
        }
        return nullptr;
    }
    if (!self->buffer.obj) {
        Py_INCREF(Py_None);
        self->buffer.obj = Py_None;
    }
    return owned.release();
}

[[noreturn]] void fatal_count(int count, ViewSite site) noexcept
{
    char message[k_message_size];
    PyOS_snprintf(message, sizeof message, "Acquisition count is %d (line %d)", count,
                  static_cast<int>(site));
    Py_FatalError(message);
}

// ---------------------------------------------------------------------------
// Row sequences
// ---------------------------------------------------------------------------

void destroy_row_sequence(PyObject *self) noexcept
{
    auto *seq = reinterpret_cast<RowSequence *>(self);
    release_view(&seq->hold, k_site_row_sequence);
    clear_view_fields(&seq->base);
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t row_length(PyObject *self) noexcept
{
    return reinterpret_cast<RowSequence *>(self)->length;
}

// The host adds the length to a negative index before calling this, so a
// negative index here is out of range: adding it again would let indices
// from -2n to -n-1 wrap around into the row.
PyObject *row_item(PyObject *self, Py_ssize_t i) noexcept
{
    auto *seq = reinterpret_cast<RowSequence *>(self);
    if (static_cast<std::size_t>(i) >= static_cast<std::size_t>(seq->length)) {
        PyErr_SetObject(state.view_exceptions.index_error, state.out_of_bounds.get());
        return nullptr;
    }
    // Copied as bytes so that NaN payloads and -0.0 come out unchanged.
    double value;
    std::memcpy(&value, seq->row + i * static_cast<Py_ssize_t>(sizeof(double)), sizeof value);
    return PyFloat_FromDouble(value);
}

int ready_types() noexcept
{
    PyTypeObject &view_type = state.view_type;
    PyTypeObject &row_type = state.row_type;
    if (!(view_type.tp_flags & Py_TPFLAGS_READY)) {
        Py_SET_REFCNT(reinterpret_cast<PyObject *>(&view_type), 1);
        view_type.tp_name = k_view_type_name;
        view_type.tp_basicsize = sizeof(ViewObject);
        view_type.tp_dealloc = destroy_view_object;
        view_type.tp_flags = Py_TPFLAGS_DEFAULT;
        view_type.tp_free = PyObject_Del;
        if (PyType_Ready(&view_type) < 0) {
            return -1;
        }
    }
    if (!(row_type.tp_flags & Py_TPFLAGS_READY)) {
        state.row_sequence_methods.sq_length = row_length;
        state.row_sequence_methods.sq_item = row_item;
        Py_SET_REFCNT(reinterpret_cast<PyObject *>(&row_type), 1);
        row_type.tp_name = k_row_type_name;
        row_type.tp_basicsize = sizeof(RowSequence);
        row_type.tp_dealloc = destroy_row_sequence;
        row_type.tp_as_sequence = &state.row_sequence_methods;
        // No tp_iter: the builtins iterate the row as an old-style sequence,
        // asking for items 0, 1, ... until the IndexError.
        row_type.tp_flags = Py_TPFLAGS_DEFAULT;
        row_type.tp_base = &view_type;
        row_type.tp_free = PyObject_Del;
        if (PyType_Ready(&row_type) < 0) {
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Acquisition
// ---------------------------------------------------------------------------

int refuse(const char *message) noexcept
{
    PyErr_SetString(value_error(), message);
    return -1;
}

// Suboffsets and strides of one axis, as far as the view's axis
// requirements go: `direct_stride` is the one stride the axis may have, or 0
// when any stride of magnitude at least the item size will do.
int check_axis(const Py_buffer &b, int axis, Py_ssize_t direct_stride) noexcept
{
    if (b.shape[axis] > 1) {
        if (!b.strides) {
            if (b.suboffsets) {
                return refuse("Buffer exposes suboffsets but no strides");
            }
        }
        else {
            const Py_ssize_t stride = b.strides[axis];
            const bool fits = direct_stride ? stride == direct_stride
                                            : (stride >= b.itemsize || stride <= -b.itemsize);
            if (!fits) {
                return refuse("Buffer and memoryview are not contiguous in the same dimension.");
            }
        }
    }
    if (b.suboffsets && b.suboffsets[axis] >= 0) {
        PyErr_Format(value_error(), "Buffer not compatible with direct access in dimension %d.",
                     axis);
        return -1;
    }
    return 0;
}

int check_layout(const Py_buffer &b) noexcept
{
    if (check_axis(b, 0, 0) < 0 || check_axis(b, 1, b.itemsize) < 0) {
        return -1;
    }
    if (b.strides) {
        Py_ssize_t expected = b.itemsize;
        for (int axis = 1; axis >= 0; --axis) {
            if (b.shape[axis] > 1 && b.strides[axis] != expected) {
                return refuse("Buffer not C contiguous.");
            }
            // Cannot wrap: the caller has checked that the extents' product
            // times the item size fits.
            expected *= b.shape[axis];
        }
    }
    return 0;
}

// Everything about the exported buffer, in the order a caller sees the
// refusals: the request, the dimension count, the format, the item size,
// the shape, the layout, and that the memory really covers the shape.
int check_buffer(const Py_buffer &b) noexcept
{
    if (b.readonly) {
        // An exporter that honours the request never gets here; we write
        // into this memory, so one that ignores it must be refused.
        return refuse("Buffer is read-only but a writable buffer was requested");
    }
    if (b.ndim != k_axes) {
        PyErr_Format(value_error(), "Buffer has wrong number of dimensions (expected %d, got %d)",
                     k_axes, b.ndim);
        return -1;
    }
    // An absent format means unsigned bytes in the buffer protocol.
    const char *format = (b.format && b.format[0]) ? b.format : "B";
    if (raise_format_error(value_error(), check_format(double_desc, format)) < 0) {
        return -1;
    }
    if (b.itemsize != static_cast<Py_ssize_t>(double_desc.size)) {
        PyErr_Format(value_error(),
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zu byte%s)",
                     b.itemsize, b.itemsize > 1 ? "s" : "", double_desc.name,
                     static_cast<std::size_t>(double_desc.size), "s");
        return -1;
    }
    if (!b.shape) {
        return refuse("Buffer exposes no shape");
    }
    for (int axis = 0; axis < k_axes; ++axis) {
        if (b.shape[axis] < 0) {
            PyErr_Format(value_error(), "Buffer has negative extent %zd in dimension %d.",
                         b.shape[axis], axis);
            return -1;
        }
    }
    Py_ssize_t row_bytes;
    Py_ssize_t total_bytes;
    if (mul_overflow(b.shape[1], b.itemsize, &row_bytes) ||
        mul_overflow(b.shape[0], row_bytes, &total_bytes)) {
        PyErr_Format(value_error(), "Buffer shape (%zd, %zd) is too large to address.", b.shape[0],
                     b.shape[1]);
        return -1;
    }
    if (b.len > 0 && check_layout(b) < 0) {
        return -1;
    }
    if (b.len < total_bytes) {
        PyErr_Format(value_error(),
                     "Buffer length (%zd bytes) is smaller than its shape requires (%zd bytes).",
                     b.len, total_bytes);
        return -1;
    }
    if (!b.buf && total_bytes > 0) {
        return refuse("Buffer exposes a null address for a non-empty shape");
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interface
// ---------------------------------------------------------------------------

int prepare_view_types(const ViewExceptions &exceptions)
{
    state.view_exceptions = exceptions;
    if (!state.out_of_bounds) {
        state.out_of_bounds.reset(
            PyUnicode_FromFormat("Out of bounds on buffer access (axis %d)", 0));
        if (!state.out_of_bounds) {
            return -1;
        }
    }
    return ready_types();
}

int acquire_double_view_2d(PyObject *obj, DoubleView2D *view)
{
    *view = DoubleView2D();
    if (obj == Py_None) {
        view->owner = Py_None;
        return 0;
    }
    Ref owner(create_view_object(obj, k_request_flags));
    if (!owner) {
        return -1;
    }
    const Py_buffer &b = as_view_object(owner.get())->buffer;
    if (check_buffer(b) < 0) {
        return -1;  // dropping `owner` releases the caller's buffer
    }
    for (int axis = 0; axis < k_axes; ++axis) {
        view->shape[axis] = b.shape[axis];
        view->suboffsets[axis] = b.suboffsets ? b.suboffsets[axis] : -1;
    }
    if (b.strides) {
        view->strides[0] = b.strides[0];
        view->strides[1] = b.strides[1];
    }
    else {
        view->strides[1] = b.itemsize;
        view->strides[0] = b.itemsize * b.shape[1];
    }
    view->data = static_cast<char *>(b.buf);
    // The creation reference becomes the one strong reference of all holds.
    as_view_object(owner.get())->acquisition_count.fetch_add(1);
    view->owner = owner.release();
    return 0;
}

void release_view(DoubleView2D *view, ViewSite site)
{
    PyObject *owner = view->owner;
    view->owner = nullptr;
    if (!owner || owner == Py_None) {
        return;
    }
    const int before = as_view_object(owner)->acquisition_count.fetch_sub(1);
    if (before <= 0) {
        fatal_count(before, site);
    }
    view->data = nullptr;
    if (before == 1) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(owner);
        PyGILState_Release(gil);
    }
}

void hold_view(DoubleView2D *view, ViewSite site)
{
    PyObject *owner = view->owner;
    if (!owner || owner == Py_None) {
        return;
    }
    const int before = as_view_object(owner)->acquisition_count.fetch_add(1);
    if (before < 0) {
        fatal_count(before, site);
    }
    if (before == 0) {
        PyGILState_STATE gil = PyGILState_Ensure();
        Py_INCREF(owner);
        PyGILState_Release(gil);
    }
}

PyObject *make_row_sequence(DoubleView2D *view, Py_ssize_t row)
{
    if (!view->owner || view->owner == Py_None) {
        PyErr_SetString(value_error(), "Cannot take a row of an empty view");
        return nullptr;
    }
    if (row < 0 || row >= view->shape[0]) {
        PyErr_SetObject(state.view_exceptions.index_error, state.out_of_bounds.get());
        return nullptr;
    }
    RowSequence *seq = PyObject_New(RowSequence, &state.row_type);
    if (!seq) {
        return nullptr;
    }
    init_view_fields(&seq->base);
    new (&seq->hold) DoubleView2D();
    seq->hold.owner = view->owner;
    hold_view(&seq->hold, k_site_row_sequence);
    seq->length = view->shape[1];
    // An empty row may sit on a null address, where no offset may be added.
    seq->row = seq->length > 0 ? view->data + row * view->strides[0] : view->data;
    return reinterpret_cast<PyObject *>(seq);
}

int view_acquisition_count(const DoubleView2D &view)
{
    if (!view.owner || view.owner == Py_None) {
        return 0;
    }
    return as_view_object(view.owner)->acquisition_count.load();
}

}  // namespace tavorin
