// tavorin._simplex.jvp and .vjp: the derivatives of the projection, taken from buffers.
//
// The Python layer (_derivatives.py) hands over the projection x as a 2-D
// float64 or float32 buffer with contiguous rows, and every other argument as
// a float (one value for all), a 1-D float64 buffer (one per row) or a 2-D
// buffer of x's shape and format (one per element).  Results go into buffers
// the caller made for them, which must not overlap the inputs.  As for the
// projection, the lock is let go for large work and the rows are split over
// threads started for this call.
#include "core/blocks.hpp"
#include "core/derivatives.hpp"
#include "host/buffer.hpp"
#include "simplex/entries.hpp"
#include "simplex/values.hpp"

namespace tavorin::simplex {

namespace {

using derivatives::Jvp;
using derivatives::Operand;
using derivatives::PerRow;
using derivatives::Sink;
using derivatives::Vjp;

template <typename T>
constexpr Real k_real = sizeof(T) == sizeof(double) ? Real::f64 : Real::f32;

int raise_bad(const char *name, const char *what) noexcept
{
    PyErr_Format(PyExc_ValueError, "%s: %s", name, what);
    return -1;
}

// A 2-D buffer of m rows of n Reals, each row contiguous and aligned.
template <typename T>
int take_rows(PyObject *obj, const char *name, bool writable, Py_ssize_t m, Py_ssize_t n,
              HeldBuffer &held, T *&data, std::ptrdiff_t &row_stride) noexcept
{
    Matrix matrix;
    if (take_matrix(obj, name, writable, held, matrix) < 0) {
        return -1;
    }
    if (matrix.real != k_real<T> || matrix.m != m || matrix.n != n) {
        return raise_bad(name, "expected a 2-D buffer of x's shape and format");
    }
    data = reinterpret_cast<T *>(matrix.data);
    row_stride = matrix.row_stride;
    return 0;
}

// One double per row, written: m adjacent aligned doubles.
int take_row_sums(PyObject *obj, const char *name, Py_ssize_t m, HeldBuffer &held,
                  double *&data) noexcept
{
    const double *values = nullptr;
    Py_ssize_t stride = 0;
    if (take_doubles(obj, name, m, held, values, stride, true) < 0) {
        return -1;
    }
    if (m > 1 && stride != 1) {
        return raise_bad(name, "the doubles must be adjacent");
    }
    data = const_cast<double *>(values);  // taken writable
    return 0;
}

// None (weights only: all 1), a float, one double per row or one Real per element.
template <typename T>
int take_operand(PyObject *obj, const char *name, Py_ssize_t m, Py_ssize_t n, HeldBuffer &held,
                 double &scalar, Operand<T> &operand) noexcept
{
    operand = {nullptr, 0, {nullptr, 0}};
    if (obj == Py_None) {
        return 0;
    }
    if (!PyFloat_Check(obj)) {
        const int ndim = ndim_of(obj);
        if (ndim < 0) {
            return -1;
        }
        if (ndim == 2) {
            const T *data = nullptr;
            if (take_rows(obj, name, false, m, n, held, data, operand.row_stride) < 0) {
                return -1;
            }
            operand.elements = data;
            return 0;
        }
    }
    return take_per_vector(obj, name, m, held, scalar, operand.rows);
}

// None (not wanted), one double per row (the row's sum) or one Real per element.
template <typename T>
int take_sink(PyObject *obj, const char *name, Py_ssize_t m, Py_ssize_t n, HeldBuffer &held,
              Sink<T> &sink) noexcept
{
    sink = {nullptr, 0, nullptr};
    if (obj == Py_None) {
        return 0;
    }
    const int ndim = ndim_of(obj);
    if (ndim < 0) {
        return -1;
    }
    if (ndim == 2) {
        return take_rows(obj, name, true, m, n, held, sink.elements, sink.row_stride);
    }
    return take_row_sums(obj, name, m, held, sink.rows);
}

// Runs work(begin, end) over the m rows on up to `workers` threads, with the
// lock released when the work is large enough: 0, or -1 with an exception set.
template <class F>
int run(std::ptrdiff_t m, std::ptrdiff_t n, Py_ssize_t workers, const F &work) noexcept
{
    if (workers < 1) {
        return raise_bad("workers", "expected at least one thread");
    }
    if (m == 0) {
        return 0;
    }
    const int count = block_count(m, n, workers);
    bool started = true;
    run_unlocked(m * n, [&]() noexcept { started = run_in_blocks(m, count, work); });
    if (!started) {
        PyErr_Format(PyExc_RuntimeError,
                     "workers: could not start %d threads; nothing was computed", count - 1);
        return -1;
    }
    return 0;
}

struct Scalars {
    double dy = 0.0, dh = 0.0, dl = 0.0, du = 0.0, l = 0.0, u = 0.0, w = 0.0;
};

template <typename T>
int take_sets(PyObject *x, PyObject *l, PyObject *u, PyObject *w, Py_ssize_t m, Py_ssize_t n,
              HeldBuffer (&held)[4], Scalars &scalars, derivatives::Sets<T> &sets) noexcept
{
    sets.m = m;
    sets.n = n;
    const T *data = nullptr;
    if (take_rows(x, "x", false, m, n, held[0], data, sets.x_stride) < 0) {
        return -1;
    }
    sets.x = data;
    if (l == Py_None || u == Py_None) {
        PyErr_SetString(PyExc_TypeError, "l, u: expected a bound");
        return -1;
    }
    if (take_operand(l, "l", m, n, held[1], scalars.l, sets.l) < 0 ||
        take_operand(u, "u", m, n, held[2], scalars.u, sets.u) < 0 ||
        take_operand(w, "w", m, n, held[3], scalars.w, sets.w) < 0) {
        return -1;
    }
    return 0;
}

template <typename T>
PyObject *jvp_of(Py_ssize_t m, Py_ssize_t n, PyObject *const (&a)[9], Py_ssize_t workers) noexcept
{
    HeldBuffer sets_held[4], dy, dh, dl, du, dx;
    Scalars scalars;
    Jvp<T> jvp{};
    if (take_sets(a[0], a[5], a[6], a[7], m, n, sets_held, scalars, jvp.sets) < 0) {
        return nullptr;
    }
    if (a[1] == Py_None || a[3] == Py_None || a[4] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "dy, dl, du: expected a tangent");
        return nullptr;
    }
    if (take_operand(a[1], "dy", m, n, dy, scalars.dy, jvp.dy) < 0 ||
        take_per_vector(a[2], "dh", m, dh, scalars.dh, jvp.dh) < 0 ||
        take_operand(a[3], "dl", m, n, dl, scalars.dl, jvp.dl) < 0 ||
        take_operand(a[4], "du", m, n, du, scalars.du, jvp.du) < 0 ||
        take_rows(a[8], "dx", true, m, n, dx, jvp.dx, jvp.dx_stride) < 0) {
        return nullptr;
    }
    const auto rows = [&jvp](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        derivatives::jvp_rows(jvp, begin, end);
    };
    if (run(m, n, workers, rows) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <typename T>
PyObject *vjp_of(Py_ssize_t m, Py_ssize_t n, PyObject *const (&a)[9], Py_ssize_t workers) noexcept
{
    HeldBuffer sets_held[4], g, gy, gh, gl, gu;
    Scalars scalars;
    Vjp<T> vjp{};
    if (take_sets(a[0], a[2], a[3], a[4], m, n, sets_held, scalars, vjp.sets) < 0) {
        return nullptr;
    }
    const T *g_data = nullptr;
    if (take_rows(a[1], "g", false, m, n, g, g_data, vjp.g_stride) < 0 ||
        take_rows(a[5], "gy", true, m, n, gy, vjp.gy, vjp.gy_stride) < 0) {
        return nullptr;
    }
    vjp.g = g_data;
    if (a[6] != Py_None && take_row_sums(a[6], "gh", m, gh, vjp.gh) < 0) {
        return nullptr;
    }
    if (take_sink(a[7], "gl", m, n, gl, vjp.gl) < 0 ||
        take_sink(a[8], "gu", m, n, gu, vjp.gu) < 0) {
        return nullptr;
    }
    const auto rows = [&vjp](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        derivatives::vjp_rows(vjp, begin, end);
    };
    if (run(m, n, workers, rows) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The arguments of jvp or vjp: nine objects and the thread count, x deciding
// the element type and every other argument's shape.
template <PyObject *(*F64)(Py_ssize_t, Py_ssize_t, PyObject *const (&)[9], Py_ssize_t) noexcept,
          PyObject *(*F32)(Py_ssize_t, Py_ssize_t, PyObject *const (&)[9], Py_ssize_t) noexcept>
PyObject *call(PyObject *args, const char *format) noexcept
{
    PyObject *a[9];
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, format, &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7],
                          &a[8], &workers)) {
        return nullptr;
    }
    Matrix x;
    {
        HeldBuffer held;
        if (take_matrix(a[0], "x", false, held, x) < 0) {
            return nullptr;
        }
    }
    return x.real == Real::f32 ? F32(x.m, x.n, a, workers) : F64(x.m, x.n, a, workers);
}

}  // namespace

PyObject *project_jvp(PyObject *, PyObject *args) noexcept
{
    return call<jvp_of<double>, jvp_of<float>>(args, "OOOOOOOOOn:jvp");
}

PyObject *project_vjp(PyObject *, PyObject *args) noexcept
{
    return call<vjp_of<double>, vjp_of<float>>(args, "OOOOOOOOOn:vjp");
}

}  // namespace tavorin::simplex
