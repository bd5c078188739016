// Binding of proj_csimplex's arguments and the conversions of its scalars.
#ifndef TAVORIN_ARGUMENTS_HPP
#define TAVORIN_ARGUMENTS_HPP

#include "host/refs.hpp"
#include "operators/state.hpp"

namespace tavorin {

// The seven parameters of a call.  Values from the positional tuple and the
// defaults are borrowed: the tuple is immutable and outlives the call, the
// defaults live as long as the module.  A keyword dictionary is another
// matter: a caller that passes its own (through the C API) can change it
// while the call runs (a conversion method, or a key's __eq__ during a
// lookup, may clear it), so every value taken from it is held until the call
// returns.
struct BoundArguments {
    PyObject *slots[k_param_count];
    Ref from_dict[k_param_count];

    void take_from_dict(Py_ssize_t i, PyObject *value) noexcept
    {
        slots[i] = value;
        from_dict[i] = Ref::borrow(value);
    }
};

// Fills `bound` (the optional slots hold the defaults already) from the
// positional tuple and the keyword dictionary: 0, or -1 with an exception set.
int bind_arguments(PyObject *args, PyObject *kwds, BoundArguments &bound) noexcept;

// The conversions signal failure in band: -1.0 or -1 is a failure only while
// an exception is pending.
inline double to_double(PyObject *obj) noexcept
{
    if (PyFloat_CheckExact(obj)) {
        return PyFloat_AS_DOUBLE(obj);
    }
    return PyFloat_AsDouble(obj);
}

int to_int32(PyObject *obj) noexcept;

inline bool failed(double value) noexcept
{
    return value == -1.0 && PyErr_Occurred();
}
inline bool failed(int value) noexcept
{
    return value == -1 && PyErr_Occurred();
}

}  // namespace tavorin

#endif
