// Taking the caller's buffers: checked shape, format, strides and alignment before anything is
// written.
//
// An exporter may describe its memory in any way PEP 3118 allows (and some
// describe it wrongly): every field the passes rely on is checked here, so a
// refusal always comes before the first element is read or written.
#include "host/buffer.hpp"

#include "core/compiler.hpp"

#include <cstdint>
#include <cstring>

namespace tavorin {

HeldBuffer::~HeldBuffer()
{
    release();
}

void HeldBuffer::release() noexcept
{
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

int HeldBuffer::acquire(PyObject *obj, int flags) noexcept
{
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
        return -1;
    }
    held_ = true;
    return 0;
}

namespace {

bool little_endian() noexcept
{
    const std::uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

Py_ssize_t size_of(Real real) noexcept
{
    return real == Real::f64 ? 8 : real == Real::f32 ? 4 : 0;
}

int refuse(PyObject *type, const char *name, const char *what) noexcept
{
    PyErr_Format(type, "%s: %s", name, what);
    return -1;
}

bool aligned(const void *address, Py_ssize_t size) noexcept
{
    return reinterpret_cast<std::uintptr_t>(address) % static_cast<std::uintptr_t>(size) == 0;
}

// The shape's byte count, or -1 when it does not fit.
Py_ssize_t bytes_of(const Py_buffer &view, Py_ssize_t itemsize) noexcept
{
    std::ptrdiff_t total = itemsize;
    for (int k = 0; k < view.ndim; ++k) {
        if (view.shape[k] < 0 || mul_overflow(total, view.shape[k], &total)) {
            return -1;
        }
    }
    return total;
}

// The checks both shapes share: format, item size, strides, length.
int check_view(const Py_buffer &view, const char *name, int ndim, Real &real) noexcept
{
    if (view.ndim != ndim) {
        return refuse(PyExc_ValueError, name,
                      ndim == 2 ? "expected a 2-D buffer" : "expected a 1-D buffer");
    }
    real = real_of(view.format);
    if (real == Real::other || view.itemsize != size_of(real)) {
        return refuse(PyExc_TypeError, name,
                      "expected native float64 ('d') or float32 ('f') elements");
    }
    if (!view.shape || !view.strides) {
        return refuse(PyExc_ValueError, name, "the buffer gives no shape or strides");
    }
    if (view.suboffsets) {
        for (int k = 0; k < view.ndim; ++k) {
            if (view.suboffsets[k] >= 0) {
                return refuse(PyExc_ValueError, name, "indirect buffers are not supported");
            }
        }
    }
    const Py_ssize_t bytes = bytes_of(view, view.itemsize);
    if (bytes < 0) {
        return refuse(PyExc_ValueError, name, "the buffer's shape is negative or too large");
    }
    if (view.len != bytes) {
        return refuse(PyExc_ValueError, name, "the buffer's length does not match its shape");
    }
    return 0;
}

}  // namespace

Real real_of(const char *format) noexcept
{
    if (!format) {
        return Real::other;
    }
    if (*format == '@' || *format == '=' || (*format == '<' && little_endian())) {
        ++format;
    }
    if (format[0] != '\0' && format[1] == '\0') {
        if (format[0] == 'd') {
            return Real::f64;
        }
        if (format[0] == 'f') {
            return Real::f32;
        }
    }
    return Real::other;
}

int take_matrix(PyObject *obj, const char *name, bool writable, HeldBuffer &held,
                Matrix &out) noexcept
{
    const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (held.acquire(obj, flags) < 0) {
        return -1;
    }
    const Py_buffer &view = held.view();
    if (check_view(view, name, 2, out.real) < 0) {
        return -1;
    }
    const Py_ssize_t size = view.itemsize;
    out.m = view.shape[0];
    out.n = view.shape[1];
    if (out.n > 1 && view.strides[1] != size) {
        return refuse(PyExc_ValueError, name, "each row must be contiguous");
    }
    if (out.m > 0 && out.n > 0 &&
        (!aligned(view.buf, size) || (out.m > 1 && view.strides[0] % size != 0))) {
        return refuse(PyExc_ValueError, name, "the elements must be aligned");
    }
    out.data = static_cast<char *>(view.buf);
    out.row_stride = view.strides[0];
    return 0;
}

int take_block(PyObject *obj, const char *name, bool writable, HeldBuffer &held,
               Block &out) noexcept
{
    const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (held.acquire(obj, flags) < 0) {
        return -1;
    }
    const Py_buffer &view = held.view();
    if (check_view(view, name, 2, out.real) < 0) {
        return -1;
    }
    out.data = static_cast<char *>(view.buf);
    out.m = view.shape[0];
    out.n = view.shape[1];
    out.row_stride = view.strides[0];
    out.column_stride = view.strides[1];
    return 0;
}

bool overlaps_partly(const Matrix &a, const Matrix &b) noexcept
{
    if (a.m == 0 || a.n == 0 || b.m == 0 || b.n == 0) {
        return false;
    }
    if (a.data == b.data && a.row_stride == b.row_stride && a.m == b.m && a.n == b.n &&
        a.real == b.real) {
        return false;  // the very same elements
    }
    const auto extent = [](const Matrix &x, std::uintptr_t &lo, std::uintptr_t &hi) {
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(x.data);
        const std::intptr_t span = static_cast<std::intptr_t>(x.row_stride) * (x.m - 1);
        lo = span < 0 ? base + static_cast<std::uintptr_t>(span) : base;
        hi = (span < 0 ? base : base + static_cast<std::uintptr_t>(span)) +
             static_cast<std::uintptr_t>(x.n * size_of(x.real));
    };
    std::uintptr_t a_lo, a_hi, b_lo, b_hi;
    extent(a, a_lo, a_hi);
    extent(b, b_lo, b_hi);
    return a_lo < b_hi && b_lo < a_hi;
}

int take_doubles(PyObject *obj, const char *name, Py_ssize_t m, HeldBuffer &held,
                 const double *&data, Py_ssize_t &stride, bool writable) noexcept
{
    if (held.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)) < 0) {
        return -1;
    }
    const Py_buffer &view = held.view();
    Real real;
    if (check_view(view, name, 1, real) < 0) {
        return -1;
    }
    if (real != Real::f64) {
        return refuse(PyExc_TypeError, name, "expected float64 ('d') values, one per vector");
    }
    if (view.shape[0] != m) {
        return refuse(PyExc_ValueError, name, "expected one value per vector");
    }
    if (m > 0 && (!aligned(view.buf, 8) || (m > 1 && view.strides[0] % 8 != 0))) {
        return refuse(PyExc_ValueError, name, "the values must be aligned");
    }
    data = static_cast<const double *>(view.buf);
    stride = view.strides[0] / 8;
    return 0;
}

int ndim_of(PyObject *obj) noexcept
{
    HeldBuffer held;
    if (held.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    return held.view().ndim;
}

}  // namespace tavorin
