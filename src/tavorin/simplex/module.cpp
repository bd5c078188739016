// tavorin._simplex: the method table and start-up of the module behind
// tavorin.project_capped_simplex.
//
// The Python layer (_api.py) does the array work and hands over 2-D buffers
// whose rows are contiguous (copy takes any strides); each function takes and checks its buffers,
// lets the interpreter lock go for the numerical phase when the work is large
// enough, and splits it over threads started for that call.  No interpreter
// object is touched without the lock, and the buffers stay exported until
// the call returns, so no other thread can free or resize them meanwhile.
#include "host/capsules.hpp"
#include "host/compat.hpp"
#include "simplex/entries.hpp"

#include <chrono>
#include <thread>

namespace tavorin::simplex {

root_finder brentq = nullptr;

namespace {

// Below this many elements the work is over before another thread could use
// the lock; NumPy draws its line at 500 elements for far cheaper loops.
constexpr std::ptrdiff_t k_release_lock_min_elements = 500;

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

int module_exec(PyObject *) noexcept
{
    Ref zeros(PyImport_ImportModule(k_zeros_module));
    if (!zeros) {
        return -1;
    }
    return import_c_function(zeros.get(), "brentq", &brentq);
}

template <PyObject *(*F)(PyObject *, PyObject *) noexcept>
PyMethodDef method(const char *name, int flags) noexcept
{
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F)), flags,
            nullptr};
}

// One line per function.
PyMethodDef module_methods[] = {
    method<project>("project", METH_VARARGS),
    method<solve>("solve", METH_VARARGS),
    method<first_infeasible>("first_infeasible", METH_VARARGS),
    method<first_nonfinite>("first_nonfinite", METH_VARARGS),
    method<copy>("copy", METH_VARARGS),
    method<plain_kernels>("_plain_kernels", METH_O),
    method<project_jvp>("jvp", METH_VARARGS),
    method<project_vjp>("vjp", METH_VARARGS),
    method<xla_handler>("xla_handler", METH_NOARGS),
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

void run_unlocked(std::ptrdiff_t elements, void (*work)(void *) noexcept, void *context) noexcept
{
    // Only the numerical phase runs without the lock: it touches no
    // interpreter object, and the buffers stay exported until we return.
    PyThreadState *const saved =
        elements >= k_release_lock_min_elements ? PyEval_SaveThread() : nullptr;
    work(context);
    if (saved) {
        take_lock_back(saved);
    }
}

}  // namespace tavorin::simplex

extern "C" {

PyMODINIT_FUNC PyInit__simplex(void)
{
    return PyModuleDef_Init(&tavorin::simplex::module_def);
}
}
