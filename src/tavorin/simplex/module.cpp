// tavorin._simplex: the batched projection behind tavorin.project_capped_simplex.
//
// The Python layer (_api.py) does the array work: it hands over a 2-D float64
// array whose rows are contiguous, and h, l and u each as a float or as a
// float64 vector with one value per row.  Here the buffers are taken, the
// interpreter lock is let go for the numerical phase when the work is large
// enough, and the rows are split over threads started for this call.  No
// interpreter object is touched without the lock, and the buffers stay
// exported until the call returns, so no other thread can free or resize them
// meanwhile.
#include "host/capsules.hpp"
#include "host/compat.hpp"
#include "core/batch.hpp"
#include "core/blocks.hpp"
#include "simplex/derivatives.hpp"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

namespace tavorin {

namespace {

// Written once by the module's exec step (the same value in every
// interpreter), then only read.
root_finder brentq = nullptr;

// Below this many elements the work is over before another thread could use
// the lock; NumPy draws its line at 500 elements for far cheaper loops.
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

bool is_double_format(const char *format) noexcept
{
    if (!format) {
        return false;
    }
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    return std::strcmp(format, "d") == 0;
}

bool is_aligned(const void *address, Py_ssize_t stride) noexcept
{
    return reinterpret_cast<std::uintptr_t>(address) % alignof(double) == 0 &&
           stride % static_cast<Py_ssize_t>(sizeof(double)) == 0;
}

int raise_bad(const char *name, const char *what) noexcept
{
    PyErr_Format(PyExc_ValueError, "%s: %s", name, what);
    return -1;
}

// The rows: a writable 2-D buffer of aligned native doubles, each row contiguous.
int take_rows(PyObject *obj, Buffer &buffer, Batch &batch) noexcept
{
    if (buffer.acquire(obj, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    const Py_buffer &view = buffer.view();
    if (view.ndim != 2 || view.itemsize != sizeof(double) || !is_double_format(view.format)) {
        return raise_bad("rows", "expected a 2-D buffer of doubles");
    }
    const Py_ssize_t m = view.shape[0];
    const Py_ssize_t n = view.shape[1];
    if (n > 1 && view.strides[1] != static_cast<Py_ssize_t>(sizeof(double))) {
        return raise_bad("rows", "each row must be contiguous");
    }
    if (m > 0 && n > 0 && !is_aligned(view.buf, view.strides[0])) {
        return raise_bad("rows", "the doubles must be aligned");
    }
    batch.rows = static_cast<char *>(view.buf);
    batch.m = m;
    batch.n = n;
    batch.row_stride = view.strides[0];
    return 0;
}

// A per-row value: a float for every row, or a 1-D buffer of m doubles.
int take_row_values(PyObject *obj, const char *name, Py_ssize_t m, Buffer &buffer, double &scalar,
                    RowValues &values) noexcept
{
    if (PyFloat_Check(obj)) {
        scalar = PyFloat_AS_DOUBLE(obj);
        values = {&scalar, 0};
        return 0;
    }
    if (buffer.acquire(obj, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        return -1;
    }
    const Py_buffer &view = buffer.view();
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !is_double_format(view.format) ||
        view.shape[0] != m) {
        return raise_bad(name, "expected a float or one double per row");
    }
    if (m > 0 && !is_aligned(view.buf, view.strides[0])) {
        return raise_bad(name, "the doubles must be aligned");
    }
    values = {static_cast<const double *>(view.buf),
              view.strides[0] / static_cast<Py_ssize_t>(sizeof(double))};
    return 0;
}

// The buffers of one call and the batch they describe.
struct Call {
    Buffer rows, h, l, u;
    double h_scalar = 0.0, l_scalar = 0.0, u_scalar = 0.0;
    Batch batch{};
};

int take_bounds(PyObject *h, PyObject *l, PyObject *u, Call &call) noexcept
{
    const Py_ssize_t m = call.batch.m;
    if (take_row_values(h, "h", m, call.h, call.h_scalar, call.batch.h) < 0 ||
        take_row_values(l, "l", m, call.l, call.l_scalar, call.batch.l) < 0 ||
        take_row_values(u, "u", m, call.u, call.u_scalar, call.batch.u) < 0) {
        return -1;
    }
    return 0;
}

// Hosts before 3.14 end a thread that takes the lock back during
// finalization with pthread_exit, whose unwinding would reach this noexcept
// code (std::terminate: the process aborts at exit) and release the buffers
// without the lock.  Such a thread (a daemon thread in a long call when the
// program ends) waits here instead, as 3.14 makes it wait, until the process
// is gone.  Finalization that begins between the test and the take still
// ends the thread the old way; the window is a few instructions wide.
void take_lock_back(PyThreadState *saved) noexcept
{
    while (compat::is_finalizing()) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    PyEval_RestoreThread(saved);
}

void project_block(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    project_rows(brentq, *static_cast<const Batch *>(context), begin, end);
}

// first_infeasible(m, n, h, l, u) -> index of the first of m rows of n
// elements without a feasible point, or -1.
PyObject *first_infeasible_row(PyObject *, PyObject *args) noexcept
{
    PyObject *h;
    PyObject *l;
    PyObject *u;
    Call call;
    if (!PyArg_ParseTuple(args, "nnOOO:first_infeasible", &call.batch.m, &call.batch.n, &h, &l,
                          &u)) {
        return nullptr;
    }
    if (take_bounds(h, l, u, call) < 0) {
        return nullptr;
    }
    return PyLong_FromSsize_t(first_infeasible(call.batch));
}

// project(rows, h, l, u, xtol, rtol, maxiter, exact, workers) -> None
PyObject *project(PyObject *, PyObject *args) noexcept
{
    PyObject *rows;
    PyObject *h;
    PyObject *l;
    PyObject *u;
    Call call;
    int exact;
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "OOOOddipn:project", &rows, &h, &l, &u, &call.batch.xtol,
                          &call.batch.rtol, &call.batch.maxiter, &exact, &workers)) {
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers: expected at least one thread");
        return nullptr;
    }
    if (take_rows(rows, call.rows, call.batch) < 0 || take_bounds(h, l, u, call) < 0) {
        return nullptr;
    }
    Batch &batch = call.batch;
    batch.exact = exact != 0;
    if (batch.m == 0) {
        Py_RETURN_NONE;
    }
    if (batch.n == 0) {
        PyErr_SetString(PyExc_ValueError, "rows: a row must not be empty");
        return nullptr;
    }
    const int blocks = block_count(batch.m, batch.n, workers);
    // Only the numerical phase runs without the lock: it touches no
    // interpreter object, and the buffers stay exported until we return.
    const bool release_lock = batch.m * batch.n >= k_release_lock_min_elements;
    PyThreadState *const saved = release_lock ? PyEval_SaveThread() : nullptr;
    const bool done = run_in_blocks(batch.m, blocks, project_block, &batch);
    if (saved) {
        take_lock_back(saved);
    }
    if (!done) {
        PyErr_Format(PyExc_RuntimeError,
                     "workers: could not start %d threads; nothing was projected", blocks - 1);
        return nullptr;
    }
    Py_RETURN_NONE;
}

int module_exec(PyObject *) noexcept
{
    Ref zeros(PyImport_ImportModule(k_zeros_module));
    if (!zeros) {
        return -1;
    }
    return import_c_function(zeros.get(), "brentq", &brentq);
}

PyMethodDef module_methods[] = {
    {"project", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(project)),
     METH_VARARGS, nullptr},
    {"first_infeasible",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(first_infeasible_row)),
     METH_VARARGS, nullptr},
    {"jvp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(project_jvp)),
     METH_VARARGS, nullptr},
    {"vjp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(project_vjp)),
     METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // As for tavorin.operators: the root finder is bound process-wide and the
    // interpreter lock is relied on outside the released numerical phase.
    TAVORIN_SUPPORT_SLOTS  // what the module supports, where the host asks (compat.hpp)
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_simplex", nullptr, 0,       module_methods,
    module_slots,          nullptr,    nullptr, nullptr,
};

}  // namespace

}  // namespace tavorin

extern "C" {

PyMODINIT_FUNC PyInit__simplex(void)
{
    return PyModuleDef_Init(&tavorin::module_def);
}
}
