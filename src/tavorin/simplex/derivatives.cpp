// tavorin._simplex.jvp and .vjp: the derivatives of the projection, taken from buffers.
//
// The Python layer (_derivatives.py) hands over the projection x as a 2-D
// float64 or float32 buffer with contiguous rows, and every other argument as
// a float (one value for all), a 1-D float64 buffer (one per row) or a 2-D
// buffer of x's shape and format (one per element).  Results go into buffers
// the caller made for them, which must not overlap the inputs.  As for the
// projection, the lock is let go for large work and the rows are split over
// threads started for this call.
#include "simplex/derivatives.hpp"

#include "host/compat.hpp"
#include "core/blocks.hpp"
#include "core/derivatives.hpp"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace tavorin {

namespace {

using derivatives::Jvp;
using derivatives::Operand;
using derivatives::PerRow;
using derivatives::Sink;
using derivatives::Vjp;

// As for the projection: below this the work ends before another thread could use the lock.
constexpr std::ptrdiff_t k_release_lock_min_elements = 500;

class Buffer {
public:
    Buffer() noexcept = default;
    ~Buffer()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    int acquire(PyObject *obj, int flags) noexcept
    {
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
            return -1;
        }
        held_ = true;
        return 0;
    }
    const Py_buffer &view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

template <typename Real>
constexpr char k_code = sizeof(Real) == sizeof(double) ? 'd' : 'f';

bool has_format(const Py_buffer &view, char code, Py_ssize_t itemsize) noexcept
{
    const char *format = view.format;
    if (!format || view.itemsize != itemsize) {
        return false;
    }
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    return format[0] == code && format[1] == '\0';
}

bool is_aligned(const void *address, Py_ssize_t stride, Py_ssize_t itemsize) noexcept
{
    return reinterpret_cast<std::uintptr_t>(address) % static_cast<std::uintptr_t>(itemsize) == 0 &&
           stride % itemsize == 0;
}

int raise_bad(const char *name, const char *what) noexcept
{
    PyErr_Format(PyExc_ValueError, "%s: %s", name, what);
    return -1;
}

int acquire(PyObject *obj, bool writable, Buffer &buffer) noexcept
{
    return buffer.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0));
}

// A 2-D buffer (acquired) of m rows of n Reals, each row contiguous and aligned.
template <typename Real>
int check_matrix(const Buffer &buffer, const char *name, Py_ssize_t m, Py_ssize_t n, Real *&data,
                 std::ptrdiff_t &row_stride) noexcept
{
    const Py_buffer &view = buffer.view();
    if (view.ndim != 2 || !has_format(view, k_code<Real>, sizeof(Real)) || view.shape[0] != m ||
        view.shape[1] != n) {
        return raise_bad(name, "expected a 2-D buffer of x's shape and format");
    }
    if (n > 1 && view.strides[1] != static_cast<Py_ssize_t>(sizeof(Real))) {
        return raise_bad(name, "each row must be contiguous");
    }
    if (m > 0 && n > 0 && !is_aligned(view.buf, view.strides[0], sizeof(Real))) {
        return raise_bad(name, "the elements must be aligned");
    }
    data = static_cast<Real *>(view.buf);
    row_stride = view.strides[0];
    return 0;
}

template <typename Real>
int take_matrix(PyObject *obj, const char *name, bool writable, Py_ssize_t m, Py_ssize_t n,
                Buffer &buffer, Real *&data, std::ptrdiff_t &row_stride) noexcept
{
    if (acquire(obj, writable, buffer) < 0) {
        return -1;
    }
    return check_matrix(buffer, name, m, n, data, row_stride);
}

// One double per row: a 1-D buffer (acquired) of m aligned doubles, adjacent when written.
int check_per_row(const Buffer &buffer, const char *name, bool writable, Py_ssize_t m,
                  double *&data, std::ptrdiff_t &stride) noexcept
{
    const Py_buffer &view = buffer.view();
    if (view.ndim != 1 || !has_format(view, 'd', sizeof(double)) || view.shape[0] != m) {
        return raise_bad(name, "expected one double per row");
    }
    if (m > 0 && !is_aligned(view.buf, view.strides[0], sizeof(double))) {
        return raise_bad(name, "the doubles must be aligned");
    }
    if (writable && m > 1 && view.strides[0] != static_cast<Py_ssize_t>(sizeof(double))) {
        return raise_bad(name, "the doubles must be adjacent");
    }
    data = static_cast<double *>(view.buf);
    stride = view.strides[0] / static_cast<Py_ssize_t>(sizeof(double));
    return 0;
}

// A value per row, from a float or a buffer.
int take_row_values(PyObject *obj, const char *name, Py_ssize_t m, Buffer &buffer, double &scalar,
                    PerRow &values) noexcept
{
    if (PyFloat_Check(obj)) {
        scalar = PyFloat_AS_DOUBLE(obj);
        values = {&scalar, 0};
        return 0;
    }
    double *data = nullptr;
    std::ptrdiff_t stride = 0;
    if (acquire(obj, false, buffer) < 0 ||
        check_per_row(buffer, name, false, m, data, stride) < 0) {
        return -1;
    }
    values = {data, stride};
    return 0;
}

// None (weights only: all 1), a float, one double per row or one Real per element.
template <typename Real>
int take_operand(PyObject *obj, const char *name, Py_ssize_t m, Py_ssize_t n, Buffer &buffer,
                 double &scalar, Operand<Real> &operand) noexcept
{
    operand = {nullptr, 0, {nullptr, 0}};
    if (obj == Py_None) {
        return 0;
    }
    if (PyFloat_Check(obj)) {
        return take_row_values(obj, name, m, buffer, scalar, operand.rows);
    }
    if (acquire(obj, false, buffer) < 0) {
        return -1;
    }
    if (buffer.view().ndim == 2) {
        Real *data = nullptr;
        if (check_matrix(buffer, name, m, n, data, operand.row_stride) < 0) {
            return -1;
        }
        operand.elements = data;
        return 0;
    }
    double *data = nullptr;
    if (check_per_row(buffer, name, false, m, data, operand.rows.stride) < 0) {
        return -1;
    }
    operand.rows.data = data;
    return 0;
}

// None (not wanted), one double per row (the row's sum) or one Real per element.
template <typename Real>
int take_sink(PyObject *obj, const char *name, Py_ssize_t m, Py_ssize_t n, Buffer &buffer,
              Sink<Real> &sink) noexcept
{
    sink = {nullptr, 0, nullptr};
    if (obj == Py_None) {
        return 0;
    }
    if (acquire(obj, true, buffer) < 0) {
        return -1;
    }
    if (buffer.view().ndim == 2) {
        return check_matrix(buffer, name, m, n, sink.elements, sink.row_stride);
    }
    std::ptrdiff_t stride = 0;
    return check_per_row(buffer, name, true, m, sink.rows, stride);
}

// Hosts before 3.14 end a thread that takes the lock back during
// finalization with pthread_exit, which would unwind through this noexcept
// code; such a thread waits here until the process is gone instead.
void take_lock_back(PyThreadState *saved) noexcept
{
    while (compat::is_finalizing()) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    PyEval_RestoreThread(saved);
}

int run(std::ptrdiff_t m, std::ptrdiff_t n, Py_ssize_t workers, BlockWork work,
        void *context) noexcept
{
    if (workers < 1) {
        return raise_bad("workers", "expected at least one thread");
    }
    if (m == 0) {
        return 0;
    }
    const int blocks = block_count(m, n, workers);
    const bool release_lock = m * n >= k_release_lock_min_elements;
    PyThreadState *const saved = release_lock ? PyEval_SaveThread() : nullptr;
    const bool done = run_in_blocks(m, blocks, work, context);
    if (saved) {
        take_lock_back(saved);
    }
    if (!done) {
        PyErr_Format(PyExc_RuntimeError,
                     "workers: could not start %d threads; nothing was computed", blocks - 1);
        return -1;
    }
    return 0;
}

// The x buffer decides the format; its shape every other's.
struct Rows {
    Buffer buffer;
    Py_ssize_t m = 0, n = 0;
    bool single = false;
};

int take_x(PyObject *obj, Rows &rows) noexcept
{
    if (rows.buffer.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    const Py_buffer &view = rows.buffer.view();
    if (view.ndim != 2) {
        return raise_bad("x", "expected a 2-D buffer");
    }
    if (has_format(view, 'f', sizeof(float))) {
        rows.single = true;
    }
    else if (!has_format(view, 'd', sizeof(double))) {
        return raise_bad("x", "expected doubles or floats");
    }
    rows.m = view.shape[0];
    rows.n = view.shape[1];
    return 0;
}

struct Scalars {
    double dy = 0.0, dh = 0.0, dl = 0.0, du = 0.0, l = 0.0, u = 0.0, w = 0.0;
};

template <typename Real>
int take_sets(PyObject *x, PyObject *l, PyObject *u, PyObject *w, Py_ssize_t m, Py_ssize_t n,
              Buffer (&buffers)[4], Scalars &scalars, derivatives::Sets<Real> &sets) noexcept
{
    sets.m = m;
    sets.n = n;
    Real *data = nullptr;
    if (take_matrix(x, "x", false, m, n, buffers[0], data, sets.x_stride) < 0) {
        return -1;
    }
    sets.x = data;
    if (l == Py_None || u == Py_None) {
        PyErr_SetString(PyExc_TypeError, "l, u: expected a bound");
        return -1;
    }
    if (take_operand(l, "l", m, n, buffers[1], scalars.l, sets.l) < 0 ||
        take_operand(u, "u", m, n, buffers[2], scalars.u, sets.u) < 0 ||
        take_operand(w, "w", m, n, buffers[3], scalars.w, sets.w) < 0) {
        return -1;
    }
    return 0;
}

template <typename Real>
void jvp_block(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    derivatives::jvp_rows(*static_cast<const Jvp<Real> *>(context), begin, end);
}

template <typename Real>
void vjp_block(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    derivatives::vjp_rows(*static_cast<const Vjp<Real> *>(context), begin, end);
}

template <typename Real>
PyObject *jvp_of(Py_ssize_t m, Py_ssize_t n, PyObject *const (&a)[9], Py_ssize_t workers) noexcept
{
    Buffer sets_buffers[4], dy, dh, dl, du, dx;
    Scalars scalars;
    Jvp<Real> jvp{};
    if (take_sets(a[0], a[5], a[6], a[7], m, n, sets_buffers, scalars, jvp.sets) < 0) {
        return nullptr;
    }
    if (a[1] == Py_None || a[3] == Py_None || a[4] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "dy, dl, du: expected a tangent");
        return nullptr;
    }
    if (take_operand(a[1], "dy", m, n, dy, scalars.dy, jvp.dy) < 0 ||
        take_row_values(a[2], "dh", m, dh, scalars.dh, jvp.dh) < 0 ||
        take_operand(a[3], "dl", m, n, dl, scalars.dl, jvp.dl) < 0 ||
        take_operand(a[4], "du", m, n, du, scalars.du, jvp.du) < 0 ||
        take_matrix(a[8], "dx", true, m, n, dx, jvp.dx, jvp.dx_stride) < 0) {
        return nullptr;
    }
    if (run(m, n, workers, jvp_block<Real>, &jvp) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <typename Real>
PyObject *vjp_of(Py_ssize_t m, Py_ssize_t n, PyObject *const (&a)[9], Py_ssize_t workers) noexcept
{
    Buffer sets_buffers[4], g, gy, gh, gl, gu;
    Scalars scalars;
    Vjp<Real> vjp{};
    if (take_sets(a[0], a[2], a[3], a[4], m, n, sets_buffers, scalars, vjp.sets) < 0) {
        return nullptr;
    }
    Real *g_data = nullptr;
    if (take_matrix(a[1], "g", false, m, n, g, g_data, vjp.g_stride) < 0 ||
        take_matrix(a[5], "gy", true, m, n, gy, vjp.gy, vjp.gy_stride) < 0) {
        return nullptr;
    }
    vjp.g = g_data;
    if (a[6] != Py_None) {
        std::ptrdiff_t stride = 0;
        if (acquire(a[6], true, gh) < 0 || check_per_row(gh, "gh", true, m, vjp.gh, stride) < 0) {
            return nullptr;
        }
    }
    if (take_sink(a[7], "gl", m, n, gl, vjp.gl) < 0 ||
        take_sink(a[8], "gu", m, n, gu, vjp.gu) < 0) {
        return nullptr;
    }
    if (run(m, n, workers, vjp_block<Real>, &vjp) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyObject *project_jvp(PyObject *, PyObject *args) noexcept
{
    PyObject *a[9];
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "OOOOOOOOOn:jvp", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6],
                          &a[7], &a[8], &workers)) {
        return nullptr;
    }
    Rows rows;
    if (take_x(a[0], rows) < 0) {
        return nullptr;
    }
    return rows.single ? jvp_of<float>(rows.m, rows.n, a, workers)
                       : jvp_of<double>(rows.m, rows.n, a, workers);
}

PyObject *project_vjp(PyObject *, PyObject *args) noexcept
{
    PyObject *a[9];
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "OOOOOOOOOn:vjp", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6],
                          &a[7], &a[8], &workers)) {
        return nullptr;
    }
    Rows rows;
    if (take_x(a[0], rows) < 0) {
        return nullptr;
    }
    return rows.single ? vjp_of<float>(rows.m, rows.n, a, workers)
                       : vjp_of<double>(rows.m, rows.n, a, workers);
}

}  // namespace tavorin
