// _simplex.solve and first_nonfinite: the "exact" method and its scan for NaN and infinities,
// both on the call's threads.
#include "core/feasibility.hpp"
#include "core/passes.hpp"
#include "core/solver.hpp"
#include "simplex/entries.hpp"
#include "simplex/values.hpp"

#include <atomic>

namespace tavorin::simplex {

namespace {

struct Run {
    const Problem *problem;
    Py_ssize_t workers;
    bool started;
    std::ptrdiff_t first;
};

void run(void *context) noexcept
{
    Run &r = *static_cast<Run *>(context);
    r.first = tavorin::solve(*r.problem, r.workers, r.started);
}

// The scan's items are pieces of rows: a long row is split, so that one
// vector's check runs on every thread too.
constexpr std::ptrdiff_t k_scan_piece = 1 << 16;
// Elements a thread scans per take: few enough takes that they cost nothing
// beside the reads, enough that a thread held up delays nobody.
constexpr std::ptrdiff_t k_scan_take = 1 << 15;

struct Scan {
    const Matrix *y;
    std::ptrdiff_t workers;
    std::ptrdiff_t pieces;  // per row
    std::ptrdiff_t piece;   // elements
    std::atomic<std::ptrdiff_t> first{-1};
    bool started = true;
};

// Lowers `first` to `row` unless a lower row is already known.
void report(std::atomic<std::ptrdiff_t> &first, std::ptrdiff_t row) noexcept
{
    std::ptrdiff_t known = first.load(std::memory_order_relaxed);
    while ((known < 0 || row < known) &&
           !first.compare_exchange_weak(known, row, std::memory_order_relaxed)) {
    }
}

void scan_pieces(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    Scan &s = *static_cast<Scan *>(context);
    const Matrix &y = *s.y;
    const bool single = y.real == Real::f32;
    const std::ptrdiff_t size = single ? 4 : 8;
    for (std::ptrdiff_t item = begin; item < end; ++item) {
        const std::ptrdiff_t row = item / s.pieces;
        const std::ptrdiff_t known = s.first.load(std::memory_order_relaxed);
        if (known >= 0 && known <= row) {
            return;  // the items left are in rows at or after it
        }
        const std::ptrdiff_t start = (item % s.pieces) * s.piece;
        const std::ptrdiff_t count = y.n - start < s.piece ? y.n - start : s.piece;
        const char *data = y.data + row * y.row_stride + start * size;
        if (tavorin::first_nonfinite(data, 1, count, y.row_stride, single) >= 0) {
            report(s.first, row);
        }
    }
}

void scan(void *context) noexcept
{
    Scan &s = *static_cast<Scan *>(context);
    const std::ptrdiff_t items = s.y->m * s.pieces;
    const int threads = block_count(items, s.piece, s.workers);
    Team team(threads);
    s.started = team.started();
    const std::ptrdiff_t grain = k_scan_take / s.piece;
    team.run(items, grain > 1 ? grain : 1, scan_pieces, &s);
}

}  // namespace

// solve(y, out, h, l, u, w, check_finite, workers, sense=0) -> int
PyObject *solve(PyObject *, PyObject *args) noexcept
{
    PyObject *y_obj, *out_obj, *h_obj, *l_obj, *u_obj, *w_obj;
    int check_finite;
    Py_ssize_t workers;
    int sense = 0;
    if (!PyArg_ParseTuple(args, "OOOOOOpn|i:solve", &y_obj, &out_obj, &h_obj, &l_obj, &u_obj,
                          &w_obj, &check_finite, &workers, &sense)) {
        return nullptr;
    }
    if (sense < -1 || sense > 1) {
        PyErr_SetString(PyExc_ValueError, "sense: expected -1, 0 or 1");
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers: expected at least one thread");
        return nullptr;
    }
    HeldBuffer y_held, out_held;
    Matrix y, out;
    if (take_matrix(y_obj, "y", false, y_held, y) < 0 ||
        take_matrix(out_obj, "out", true, out_held, out) < 0) {
        return nullptr;
    }
    if (out.m != y.m || out.n != y.n || out.real != y.real) {
        PyErr_SetString(PyExc_ValueError, "out: expected y's shape and element type");
        return nullptr;
    }
    if (overlaps_partly(y, out)) {
        PyErr_SetString(PyExc_ValueError, "out: overlaps y without being y");
        return nullptr;
    }
    Problem problem;
    Sets sets;
    Real real = y.real;
    if (take_sets(h_obj, l_obj, u_obj, w_obj, y.m, y.n, real, sets, problem) < 0) {
        return nullptr;
    }
    if (y.m > 0 && y.n == 0) {
        PyErr_SetString(PyExc_ValueError, "y: a vector must not be empty");
        return nullptr;
    }
    problem.y = y.data;
    problem.out = out.data;
    problem.m = y.m;
    problem.n = y.n;
    problem.y_stride = y.row_stride;
    problem.out_stride = out.row_stride;
    problem.single = y.real == Real::f32;
    problem.check_finite = check_finite != 0;
    problem.sense = sense;
    Run r{&problem, workers, true, -1};
    run_unlocked(y.m * y.n, run, &r);
    if (!r.started) {
        PyErr_SetString(PyExc_RuntimeError,
                        "workers: could not start the threads; nothing was projected");
        return nullptr;
    }
    return PyLong_FromSsize_t(r.first);
}

// first_nonfinite(y, workers) -> int
PyObject *first_nonfinite(PyObject *, PyObject *args) noexcept
{
    PyObject *y_obj;
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "On:first_nonfinite", &y_obj, &workers)) {
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers: expected at least one thread");
        return nullptr;
    }
    HeldBuffer held;
    Matrix y;
    if (take_matrix(y_obj, "y", false, held, y) < 0) {
        return nullptr;
    }
    Scan s;
    s.y = &y;
    s.workers = workers;
    s.piece = y.n < k_scan_piece ? y.n : k_scan_piece;
    s.pieces = s.piece > 0 ? (y.n + s.piece - 1) / s.piece : 0;
    run_unlocked(y.m * y.n, scan, &s);
    if (!s.started) {
        PyErr_SetString(PyExc_RuntimeError,
                        "workers: could not start the threads; nothing was projected");
        return nullptr;
    }
    return PyLong_FromSsize_t(s.first.load(std::memory_order_relaxed));
}

// _plain_kernels(flag) -> bool: for the tests, run the plain twins of the
// lane kernels from now on (or not); returns the previous setting.
PyObject *plain_kernels(PyObject *, PyObject *arg) noexcept
{
    const int flag = PyObject_IsTrue(arg);
    if (flag < 0) {
        return nullptr;
    }
    const bool previous = passes::plain_forced();
    passes::force_plain(flag != 0);
    return PyBool_FromLong(previous);
}

}  // namespace tavorin::simplex
