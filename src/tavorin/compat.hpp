// Every use of the host interpreter that depends on its version or on its private API.
//
// The rest of the module calls only these wrappers, so supporting another host
// version means changing this file alone.  Each wrapper says what the host it
// was written for offers and what replaces that on newer hosts.
#ifndef TAVORIN_COMPAT_HPP
#define TAVORIN_COMPAT_HPP

#include "refs.hpp"

#include <frameobject.h>
#include <longintrepr.h>

#include <cstdint>
#include <cstring>

namespace tavorin::compat {

// Reads an int of magnitude below 2^60 (at most two 30-bit digits) in place,
// without calling any of its methods.  False for a larger int, which the
// caller reads through PyLong_AsLong.  3.12 changed the int layout: there the
// unstable PyUnstable_Long_IsCompact / PyUnstable_Long_CompactValue replace
// the digit reading.
inline bool read_small_int(PyObject *obj, long long *value) noexcept
{
    static_assert(PyLong_SHIFT == 30, "the in-place reading assumes 30-bit digits");
    const digit *d = reinterpret_cast<const PyLongObject *>(obj)->ob_digit;
    const auto two_digits = [d] {
        return static_cast<long long>((static_cast<unsigned long long>(d[1]) << PyLong_SHIFT) |
                                      d[0]);
    };
    switch (Py_SIZE(obj)) {
    case 0: *value = 0; return true;
    case 1: *value = static_cast<long long>(d[0]); return true;
    case -1: *value = -static_cast<long long>(d[0]); return true;
    case 2: *value = two_digits(); return true;
    case -2: *value = -two_digits(); return true;
    default: return false;
    }
}

// A dictionary lookup with the key's hash already known: borrowed value, or
// null (with an exception set only on failure).  Private API, exported by
// every host from 3.9 through 3.13.
inline PyObject *dict_get_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash) noexcept
{
    return _PyDict_GetItem_KnownHash(dict, key, hash);
}

// Makes a string's canonical representation ready: 0, or -1 with an exception
// set.  From 3.12 every string is always ready and PyUnicode_READY is deprecated.
inline int unicode_ready(PyObject *text) noexcept
{
    return PyUnicode_READY(text);
}

// Whether `obj` is the built-in function `name` bound to the module `self`.
// Reads the fields of a built-in function object, which are not public API.
inline bool is_builtin_function(PyObject *obj, PyObject *self, const char *name) noexcept
{
    if (!PyCFunction_Check(obj)) {
        return false;
    }
    const PyCFunctionObject *function = reinterpret_cast<const PyCFunctionObject *>(obj);
    return function->m_self == self && function->m_ml &&
           std::strcmp(function->m_ml->ml_name, name) == 0;
}

// The interpreter the calling thread runs in, by its id.
inline std::int64_t current_interpreter_id() noexcept
{
    return PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
}

// Takes the pending exception out of the way and puts it back when it goes
// out of scope, discarding whatever was raised in between.  PyErr_Fetch and
// PyErr_Restore are deprecated from 3.12 in favour of PyErr_GetRaisedException
// and PyErr_SetRaisedException.
class PendingException {
public:
    PendingException() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingException()
    {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
    PendingException(const PendingException &) = delete;
    PendingException &operator=(const PendingException &) = delete;

private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
};

// A code object that carries only names, for a trace entry: no arguments or
// locals, the empty byte string as its code and line table, the empty tuple
// for every tuple, and `line` as its first line.  PyCode_New took another
// argument list from 3.11 and became PyUnstable_Code_New in 3.12.
inline PyCodeObject *new_names_only_code(PyObject *file, PyObject *name, int line,
                                         PyObject *empty_tuple, PyObject *empty_bytes) noexcept
{
    PyObject *t = empty_tuple;
    return PyCode_New(0, 0, 0, 0, 0, empty_bytes, t, t, t, t, t, file, name, line, empty_bytes);
}

// Sets a frame's current line.  From 3.11 a frame's line cannot be set: it
// comes from the code object's line table instead.
inline void set_frame_line(PyFrameObject *frame, int line) noexcept
{
    frame->f_lineno = line;
}

// Whether the interpreter is finalizing; safe to ask without the lock.
// _Py_IsFinalizing is private through 3.12; 3.13 made it public as
// Py_IsFinalizing.
inline bool is_finalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace tavorin::compat

#endif
