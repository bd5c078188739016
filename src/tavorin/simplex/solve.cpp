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

// The scan's items are pieces of rows: a long row is split, so that one
// vector's check runs on every thread too.
constexpr std::ptrdiff_t k_scan_piece = 1 << 16;
// Elements a thread scans per take: few enough takes that they cost nothing
// beside the reads, enough that a thread held up delays nobody.
constexpr std::ptrdiff_t k_scan_take = 1 << 15;

// Lowers `first` to `row` unless a lower row is already known.
void report(std::atomic<std::ptrdiff_t> &first, std::ptrdiff_t row) noexcept
{
    std::ptrdiff_t known = first.load(std::memory_order_relaxed);
    while ((known < 0 || row < known) &&
           !first.compare_exchange_weak(known, row, std::memory_order_relaxed)) {
    }
}

// How a scan of y splits into items, pieces of rows.
struct Pieces {
    std::ptrdiff_t piece;  // elements
    std::ptrdiff_t per_row;

    explicit Pieces(const Matrix &y) noexcept
        : piece(y.n < k_scan_piece ? y.n : k_scan_piece),
          per_row(piece > 0 ? (y.n + piece - 1) / piece : 0)
    {
    }
    std::ptrdiff_t items(const Matrix &y) const noexcept { return y.m * per_row; }
};

// The first of `rows` whole rows from `data` holding a NaN or an infinity, or -1.
// Adjacent rows are read as one run of elements first (short rows one call
// each cost a call each: 100000 rows of 10 six times the reads' time).
std::ptrdiff_t first_in_rows(const Matrix &y, const char *data, std::ptrdiff_t rows) noexcept
{
    const bool single = y.real == Real::f32;
    const std::ptrdiff_t size = single ? 4 : 8;
    if (y.row_stride == y.n * size &&
        tavorin::first_nonfinite(data, 1, rows * y.n, 0, single) < 0) {
        return -1;
    }
    return tavorin::first_nonfinite(data, rows, y.n, y.row_stride, single);
}

// The first row of y holding a NaN or an infinity, or -1, on the team's threads.
std::ptrdiff_t scan(const Matrix &y, Team &team) noexcept
{
    const Pieces pieces(y);
    const bool single = y.real == Real::f32;
    const std::ptrdiff_t size = single ? 4 : 8;
    std::atomic<std::ptrdiff_t> first{-1};
    const std::ptrdiff_t grain = k_scan_take / pieces.piece;
    team.run(pieces.items(y), grain > 1 ? grain : 1,
             [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
                 const std::ptrdiff_t known = first.load(std::memory_order_relaxed);
                 if (known >= 0 && known <= begin / pieces.per_row) {
                     return;  // the items are in rows at or after it
                 }
                 if (pieces.per_row == 1) {  // whole rows
                     const std::ptrdiff_t bad =
                         first_in_rows(y, y.data + begin * y.row_stride, end - begin);
                     if (bad >= 0) {
                         report(first, begin + bad);
                     }
                     return;
                 }
                 for (std::ptrdiff_t item = begin; item < end; ++item) {
                     const std::ptrdiff_t row = item / pieces.per_row;
                     const std::ptrdiff_t seen = first.load(std::memory_order_relaxed);
                     if (seen >= 0 && seen <= row) {
                         return;
                     }
                     const std::ptrdiff_t start = (item % pieces.per_row) * pieces.piece;
                     const std::ptrdiff_t count =
                         y.n - start < pieces.piece ? y.n - start : pieces.piece;
                     const char *data = y.data + row * y.row_stride + start * size;
                     if (tavorin::first_nonfinite(data, 1, count, 0, single) >= 0) {
                         report(first, row);
                     }
                 }
             });
    return first.load(std::memory_order_relaxed);
}

PyObject *raise_not_started() noexcept
{
    PyErr_SetString(PyExc_RuntimeError,
                    "workers: could not start the threads; nothing was projected");
    return nullptr;
}

}  // namespace

// solve(y, out, h, l, u, w, check_finite, workers, sense=0, signs=0) -> int
//
// check_finite: 0 (False) none; 1 (True) a vector holding NaN or infinity
// stops the solve there, the vectors before it written; 2 the whole of y is
// scanned first, on the same threads, and nothing is written if it holds one.
// signs: 1 projects |y| and gives the result y's signs (the l1 ball; out
// apart from y).
PyObject *solve(PyObject *, PyObject *args) noexcept
{
    PyObject *y_obj, *out_obj, *h_obj, *l_obj, *u_obj, *w_obj;
    int check_finite;
    Py_ssize_t workers;
    int sense = 0;
    int signs = 0;
    if (!PyArg_ParseTuple(args, "OOOOOOin|ii:solve", &y_obj, &out_obj, &h_obj, &l_obj, &u_obj,
                          &w_obj, &check_finite, &workers, &sense, &signs)) {
        return nullptr;
    }
    if (check_finite < 0 || check_finite > 2) {
        PyErr_SetString(PyExc_ValueError, "check_finite: expected 0, 1 or 2");
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
    if (signs != 0 && y.m > 0 && out.data == y.data) {
        PyErr_SetString(PyExc_ValueError, "out: must be apart from y to take its signs");
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
    problem.check_finite = check_finite == 1;
    problem.sense = sense;
    problem.signs = signs != 0;
    bool started = true;
    std::ptrdiff_t first = -1;
    // One team for the scan and the solve: its threads start once, and the
    // scan's reads leave y in the caches the solve reads it from.
    run_unlocked(y.m * y.n, [&]() noexcept {
        Team team(solve_threads(problem, workers));
        started = team.started();
        if (started && check_finite == 2) {
            first = scan(y, team);
        }
        if (started && first < 0) {
            problem.finite = check_finite == 2;
            first = tavorin::solve(problem, team);
        }
    });
    if (!started) {
        return raise_not_started();
    }
    return PyLong_FromSsize_t(first);
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
    bool started = true;
    std::ptrdiff_t first = -1;
    run_unlocked(y.m * y.n, [&]() noexcept {
        const Pieces pieces(y);
        Team team(block_count(pieces.items(y), pieces.piece, workers));
        started = team.started();
        first = started ? scan(y, team) : -1;
    });
    if (!started) {
        return raise_not_started();
    }
    return PyLong_FromSsize_t(first);
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
