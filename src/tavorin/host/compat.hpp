// Every use of the host interpreter that depends on its version or on its private API.
//
// The rest of the module calls only these wrappers, so supporting another host
// version means changing this file alone.  The module is built for CPython 3.9
// through 3.13; each difference is named by the version that introduced it, and
// the code for older hosts comes first.
#ifndef TAVORIN_COMPAT_HPP
#define TAVORIN_COMPAT_HPP

#include "host/refs.hpp"

#if PY_VERSION_HEX < 0x030B0000
// 3.11 moved the int layout into Python.h and dropped this header.
#include <longintrepr.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavorin::compat {

// Reads an int of magnitude below 2^60 in place, without calling any of its
// methods: true with the value, or false for an int the caller must read
// through PyLong_AsLong (which reads any int without calling its methods too).
inline bool read_small_int(PyObject *obj, long long *value) noexcept
{
#if PY_VERSION_HEX < 0x030C0000
    // A signed digit count and 30-bit digits; counts -2 ... 2 are assembled here.
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
#else
    // 3.12: a new int layout, whose one-digit ("compact") values the host
    // reads for its callers; larger ones go through PyLong_AsLong.
    const PyLongObject *v = reinterpret_cast<const PyLongObject *>(obj);
    if (!PyUnstable_Long_IsCompact(v)) {
        return false;
    }
    *value = PyUnstable_Long_CompactValue(v);
    return true;
#endif
}

// A dictionary lookup with the key's hash already known: borrowed value, or
// null (with an exception set only on failure).  Private API, exported by
// every host from 3.9 through 3.13.
inline PyObject *dict_get_known_hash(PyObject *dict, PyObject *key, Py_hash_t hash) noexcept
{
    return _PyDict_GetItem_KnownHash(dict, key, hash);
}

// Makes a string's canonical representation ready: 0, or -1 with an exception set.
inline int unicode_ready(PyObject *text) noexcept
{
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    // 3.12: every string is always ready, and PyUnicode_READY is deprecated.
    (void)text;
    return 0;
#endif
}

// Whether `obj` is the built-in function `name` bound to the module `self`.
// Reads the fields of a built-in function object, which are CPython API but
// not stable ABI; their layout is unchanged from 3.9 through 3.13.
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
// out of scope, discarding whatever was raised in between.
class PendingException {
public:
#if PY_VERSION_HEX < 0x030C0000
    PendingException() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingException()
    {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }
#else
    // 3.12: the pending exception is one object, and PyErr_Fetch and
    // PyErr_Restore are deprecated.
    PendingException() noexcept : exception_(PyErr_GetRaisedException()) {}
    ~PendingException()
    {
        PyErr_Clear();
        PyErr_SetRaisedException(exception_);
    }
#endif
    PendingException(const PendingException &) = delete;
    PendingException &operator=(const PendingException &) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
#else
    PyObject *exception_ = nullptr;
#endif
};

// Whether the interpreter is finalizing; safe to ask without the lock.
inline bool is_finalizing() noexcept
{
#if PY_VERSION_HEX < 0x030D0000
    return _Py_IsFinalizing() != 0;  // private API through 3.12
#else
    // 3.13: public, as Py_IsFinalizing.
    return Py_IsFinalizing() != 0;
#endif
}

// "major.minor" of a version text ("3.13.0 (main, ...)", or "3.13") as the
// start-up version check keeps it, and whether two such texts are the same
// version.
#if PY_VERSION_HEX < 0x030A0000
// Three characters are kept, of which the first and the third are compared:
// the texts of a 3.9 build are only ever one digit each.
constexpr std::size_t k_version_text_size = 4;
inline void major_minor(const char *version, char *text) noexcept
{
    PyOS_snprintf(text, k_version_text_size, "%s", version);
}
inline bool same_version(const char *a, const char *b) noexcept
{
    return a[0] == b[0] && a[2] == b[2];
}
#else
// 3.10: the first two-digit minor version.  Three characters would keep only
// "3.1" of every later version, so both numbers are kept and compared in full.
constexpr std::size_t k_version_text_size = 16;
inline void major_minor(const char *version, char *text) noexcept
{
    constexpr const char *k_digits = "0123456789";
    std::size_t length = std::strspn(version, k_digits);
    if (version[length] == '.') {
        length += 1 + std::strspn(version + length + 1, k_digits);
    }
    PyOS_snprintf(text, k_version_text_size, "%.*s", static_cast<int>(length), version);
}
inline bool same_version(const char *a, const char *b) noexcept
{
    return std::strcmp(a, b) == 0;
}
#endif

// The slots that declare what the module supports where the host asks: one
// interpreter per process, so an isolated sub-interpreter refuses it before
// any of its code runs (3.12), and the interpreter lock (3.13: a free-threaded
// host keeps the lock enabled while the module is loaded).  A plain list of
// table entries, so that the module's slot table stays one literal.
#if defined(Py_mod_multiple_interpreters)
#define TAVORIN_SLOT_MULTIPLE_INTERPRETERS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define TAVORIN_SLOT_MULTIPLE_INTERPRETERS
#endif
#if defined(Py_mod_gil)
#define TAVORIN_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define TAVORIN_SLOT_GIL
#endif
#define TAVORIN_SUPPORT_SLOTS TAVORIN_SLOT_MULTIPLE_INTERPRETERS TAVORIN_SLOT_GIL

}  // namespace tavorin::compat

#endif
