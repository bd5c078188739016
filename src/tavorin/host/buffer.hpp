// Taking the caller's buffers: checked shape, format, strides and alignment before anything is
// written.
#ifndef TAVORIN_HOST_BUFFER_HPP
#define TAVORIN_HOST_BUFFER_HPP

#include "host/refs.hpp"

#include <cstddef>

namespace tavorin {

// A buffer held for the duration of a call and released with it.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    ~HeldBuffer();
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;

    // PyObject_GetBuffer with `flags`: 0, or -1 with the exporter's exception set.
    int acquire(PyObject *obj, int flags) noexcept;
    // Releases the buffer now (if held), so that it can be acquired again.
    void release() noexcept;
    const Py_buffer &view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The element types the solver takes.
enum class Real { f64, f32, other };

// The type a buffer format string names: 'd' or 'f', optionally after one of
// the native prefixes '@', '=' and (on little-endian hosts) '<'.
Real real_of(const char *format) noexcept;

// m rows of n elements, each row contiguous, rows `row_stride` bytes apart.
struct Matrix {
    char *data = nullptr;
    Py_ssize_t m = 0;
    Py_ssize_t n = 0;
    Py_ssize_t row_stride = 0;
    Real real = Real::other;
};

// Takes a 2-D buffer of aligned float64 or float32 elements with contiguous
// rows (writable when asked): 0, or -1 with a TypeError (not a buffer, or
// not of those types) or ValueError (shape, strides, alignment, length) naming
// `name`.  `held` keeps it exported.
int take_matrix(PyObject *obj, const char *name, bool writable, HeldBuffer &held,
                Matrix &out) noexcept;

// m rows of n elements at any strides, possibly unaligned (the layouts
// NumPy's views and received buffers have), for copies.
struct Block {
    char *data = nullptr;
    Py_ssize_t m = 0;
    Py_ssize_t n = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t column_stride = 0;
    Real real = Real::other;
};

// Takes a 2-D buffer of native float64 or float32 elements at any strides
// (writable when asked): 0, or -1 with a TypeError or ValueError naming `name`.
int take_block(PyObject *obj, const char *name, bool writable, HeldBuffer &held,
               Block &out) noexcept;

// Whether two matrices' memory overlaps without being the very same elements
// (same address, shape and strides).
bool overlaps_partly(const Matrix &a, const Matrix &b) noexcept;

// Takes a 1-D buffer of m aligned float64 values at any stride (writable
// when asked): `data` and `stride` (in doubles), or -1 with a TypeError or
// ValueError naming `name`.
int take_doubles(PyObject *obj, const char *name, Py_ssize_t m, HeldBuffer &held,
                 const double *&data, Py_ssize_t &stride, bool writable = false) noexcept;

// The number of dimensions `obj` exports (its buffer taken and released
// again), or -1 with the exporter's exception set.
int ndim_of(PyObject *obj) noexcept;

}  // namespace tavorin

#endif
