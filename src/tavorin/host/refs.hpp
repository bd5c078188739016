// Reference ownership for the module's C++ code.
//
// `Ref` owns exactly one strong reference and drops it when it goes out of
// scope, so every exit of a function, success or failure, drops what the
// function made.  Borrowed references stay plain `PyObject *`.
//
// `Global` is for process-wide objects made at start-up: it has no destructor
// (those objects must outlive interpreter finalisation, where a static
// destructor running Py_DECREF would be too late), but re-assigning it drops
// the object it held, so a start-up that runs again after a failure does not
// leak what the first attempt made.
#ifndef TAVORIN_REFS_HPP
#define TAVORIN_REFS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavorin {

class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject *owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject *borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(Ref &&other) noexcept : p_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept
    {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject *owned = nullptr) noexcept
    {
        PyObject *old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

struct Global {
    PyObject *p = nullptr;
    // Takes ownership of `owned` (which may be null) and drops the previous object.
    void reset(PyObject *owned) noexcept { Py_XSETREF(p, owned); }
    PyObject *get() const noexcept { return p; }
    explicit operator bool() const noexcept { return p != nullptr; }
};

}  // namespace tavorin

#endif
