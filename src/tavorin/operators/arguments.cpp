// Binding of proj_csimplex's arguments and the conversion of its integer iteration limit.
#include "operators/arguments.hpp"

#include "host/compat.hpp"
#include "operators/names.hpp"

#include <cstdint>

namespace tavorin {

namespace {

int int32_or_overflow(long long value) noexcept
{
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    return static_cast<int>(value);
}

// Reads a host integer without calling any method of it.
int long_to_int32(PyObject *obj) noexcept
{
    long long small;
    if (compat::read_small_int(obj, &small)) {
        return int32_or_overflow(small);
    }
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    return int32_or_overflow(value);
}

int raise_argument_count(Py_ssize_t given) noexcept
{
    const bool too_few = given < k_required_count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 k_public_name, too_few ? "at least" : "at most",
                 too_few ? k_required_count : static_cast<Py_ssize_t>(k_param_count), "s", given);
    return -1;
}

// Equal in the host's sense: identity first, names of another length are
// skipped before any comparison.  1 equal, 0 not, -1 comparison failed.
int same_name(PyObject *key, PyObject *name) noexcept
{
    if (key == name) {
        return 1;
    }
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) {
        return 0;
    }
    const int cmp = PyUnicode_Compare(key, name);
    if (cmp < 0 && PyErr_Occurred()) {
        return -1;
    }
    return cmp == 0;
}

// The slow path, run only when some keyword was not consumed by the lookups:
// finds the first offending keyword in the caller's order.
int match_keywords(PyObject *kwds, BoundArguments &bound, Py_ssize_t num_pos_args) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_ssize_t found = -1;
        for (Py_ssize_t i = num_pos_args; i < k_param_count; ++i) {
            if (key == state.param_names[i].get()) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            if (!PyUnicode_Check(key) || compat::unicode_ready(key) < 0) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", k_public_name);
                return -1;
            }
            for (Py_ssize_t i = num_pos_args; i < k_param_count && found < 0; ++i) {
                const int same = same_name(key, state.param_names[i].get());
                if (same < 0) {
                    return -1;
                }
                if (same) {
                    found = i;
                }
            }
        }
        if (found >= 0) {
            bound.take_from_dict(found, value);
            continue;
        }
        for (Py_ssize_t i = 0; i < num_pos_args; ++i) {
            const int same = same_name(key, state.param_names[i].get());
            if (same < 0) {
                return -1;
            }
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             k_public_name, key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", k_public_name,
                     key);
        return -1;
    }
    return 0;
}

}  // namespace

int bind_arguments(PyObject *args, PyObject *kwds, BoundArguments &bound) noexcept
{
    const Py_ssize_t k = PyTuple_GET_SIZE(args);
    if (!kwds) {
        // No name work at all on the positional path.
        if (k < k_required_count || k > k_param_count) {
            return raise_argument_count(k);
        }
        for (Py_ssize_t i = 0; i < k; ++i) {
            bound.slots[i] = PyTuple_GET_ITEM(args, i);
        }
        return 0;
    }
    if (k > k_param_count) {
        return raise_argument_count(k);
    }
    for (Py_ssize_t i = 0; i < k; ++i) {
        bound.slots[i] = PyTuple_GET_ITEM(args, i);
    }
    Py_ssize_t remaining = PyDict_GET_SIZE(kwds);
    // The interned names carry their hash, so each lookup hashes nothing.
    for (Py_ssize_t i = k; i < k_required_count; ++i) {
        PyObject *value =
            compat::dict_get_known_hash(kwds, state.param_names[i].get(), state.param_hashes[i]);
        if (!value) {
            if (PyErr_Occurred()) {
                return -1;
            }
            return raise_argument_count(i);
        }
        bound.take_from_dict(i, value);
        --remaining;
    }
    for (Py_ssize_t i = k > k_required_count ? k : k_required_count;
         i < k_param_count && remaining > 0; ++i) {
        PyObject *value =
            compat::dict_get_known_hash(kwds, state.param_names[i].get(), state.param_hashes[i]);
        if (value) {
            bound.take_from_dict(i, value);
            --remaining;
        }
        else if (PyErr_Occurred()) {
            return -1;
        }
    }
    if (remaining > 0) {
        return match_keywords(kwds, bound, k);
    }
    return 0;
}

int to_int32(PyObject *obj) noexcept
{
    if (PyLong_Check(obj)) {
        return long_to_int32(obj);
    }
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    Ref result(nb && nb->nb_int ? nb->nb_int(obj) : nullptr);
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return -1;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(result.get())->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return -1;
        }
    }
    return long_to_int32(result.get());
}

}  // namespace tavorin
