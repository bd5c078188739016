// Binding of SciPy's compiled root finders through the capsules of its C-level table.
#include "host/capsules.hpp"

namespace tavorin {

namespace {

// The capsule's name is the C signature as Cython spells it: a root finder
// of another signature must never be called through our function type.
constexpr const char *k_capsule_signature =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
    "void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

}  // namespace

int import_c_function(PyObject *module, const char *function_name,
                      root_finder *destination) noexcept
{
    Ref table(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table) {
        return -1;
    }
    const char *module_name = PyModule_GetName(module);
    if (!module_name) {
        return -1;
    }
    PyObject *entry =
        PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), function_name) : nullptr;
    if (!entry) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                     module_name, function_name);
        return -1;
    }
    if (!PyCapsule_IsValid(entry, k_capsule_signature)) {
        const char *got = "(not a capsule)";
        if (PyCapsule_CheckExact(entry)) {
            const char *capsule_name = PyCapsule_GetName(entry);
            got = capsule_name ? capsule_name : "(unnamed capsule)";
        }
        PyErr_Format(PyExc_TypeError,
                     "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     module_name, function_name, k_capsule_signature, got);
        return -1;
    }
    void *pointer = PyCapsule_GetPointer(entry, k_capsule_signature);
    if (!pointer) {
        return -1;
    }
    *destination = reinterpret_cast<root_finder>(pointer);
    return 0;
}

}  // namespace tavorin
