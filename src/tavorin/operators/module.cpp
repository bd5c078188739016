// tavorin.operators: start-up, the module definition and its entry point.
//
// Start-up is multi-phase (create + exec) and ties the module to one
// interpreter and one module object per process; everything it makes is
// process-wide (state.hpp, which says what calls add to it later).
#include "core/compiler.hpp"
#include "host/capsules.hpp"
#include "host/compat.hpp"
#include "operators/driver.hpp"
#include "operators/names.hpp"
#include "operators/state.hpp"
#include "operators/trace.hpp"
#include "operators/version_check.hpp"
#include "operators/views.hpp"

#include <cstring>

// NumPy's headers are read only for the sizes of its type objects; no NumPy
// function is called, so its function table is never imported.
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

extern "C" {
// A host that embeds the module as its main program sets this before start-up.
TAVORIN_EXPORT extern int module_is_main;
}

namespace tavorin {

namespace {

constexpr const char *k_param_names[k_param_count] = {"y_view", "h",    "l",   "u",
                                                      "xtol",   "rtol", "mitr"};
constexpr const char *k_interned_names[k_interned_name_count] = {"__name__", "__main__", "__test__",
                                                                 k_public_name, k_qualified_module};

enum SizeCheck : int { k_warn_if_larger, k_ignore_if_larger };

struct ImportedType {
    const char *module;
    const char *name;
    size_t size;
    SizeCheck mode;
};

// The instance sizes come from the headers the module is built against.
const ImportedType k_imported_types[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), k_warn_if_larger},
    {"numpy", "dtype", sizeof(PyArray_Descr), k_ignore_if_larger},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), k_ignore_if_larger},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), k_ignore_if_larger},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), k_ignore_if_larger},
    {"numpy", "generic", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "number", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "integer", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "signedinteger", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "unsignedinteger", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "inexact", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "floating", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "complexfloating", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "flexible", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "character", sizeof(PyObject), k_warn_if_larger},
    {"numpy", "ufunc", sizeof(PyUFuncObject), k_ignore_if_larger},
};
static_assert(sizeof(k_imported_types) / sizeof(k_imported_types[0]) == k_imported_type_count,
              "one slot of the state per checked type");

PyMethodDef proj_csimplex_def = {
    k_public_name,
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(proj_csimplex)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from_name, const char *to_name,
                        bool none_allowed) noexcept
{
    Ref value(PyObject_GetAttrString(spec, from_name));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (none_allowed || value.get() != Py_None) {
        if (PyDict_SetItemString(dict, to_name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept
{
    const std::int64_t id = compat::current_interpreter_id();
    if (state.main_interpreter_id == -1) {
        state.main_interpreter_id = id;
        if (id == -1) {
            return nullptr;
        }
    }
    else if (id != state.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.current_module) {
        Py_INCREF(state.current_module.get());
        return state.current_module.get();
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    if (!dict) {
        return nullptr;
    }
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

PyObject *lookup_builtin(PyObject *name) noexcept
{
    PyObject *builtins = state.builtins_module.get();
    getattrofunc getattro = Py_TYPE(builtins)->tp_getattro;
    PyObject *result = getattro ? getattro(builtins, name) : PyObject_GetAttr(builtins, name);
    if (!result) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return result;
}

bool is_genuine_builtin(PyObject *obj, const char *name) noexcept
{
    return compat::is_builtin_function(obj, state.builtins_module.get(), name);
}

PyObject *import_type_object(PyObject *module, const char *module_name, const char *type_name,
                             size_t expected_size, SizeCheck mode) noexcept
{
    Ref type(PyObject_GetAttrString(module, type_name));
    if (!type) {
        return nullptr;
    }
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
        return nullptr;
    }
    const size_t actual =
        static_cast<size_t>(reinterpret_cast<PyTypeObject *>(type.get())->tp_basicsize);
    if (actual < expected_size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     module_name, type_name, static_cast<Py_ssize_t>(expected_size),
                     static_cast<Py_ssize_t>(actual));
        return nullptr;
    }
    if (actual > expected_size && mode == k_warn_if_larger) {
        char warning[k_message_size];
        PyOS_snprintf(warning, sizeof(warning),
                      "%s.%s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, type_name, static_cast<Py_ssize_t>(expected_size),
                      static_cast<Py_ssize_t>(actual));
        if (PyErr_WarnEx(nullptr, warning, 0) < 0) {
            return nullptr;
        }
    }
    return type.release();
}

int make_constants() noexcept
{
    for (int i = 0; i < k_interned_name_count; ++i) {
        state.interned[i].reset(PyUnicode_InternFromString(k_interned_names[i]));
        if (!state.interned[i] || PyObject_Hash(state.interned[i].get()) == -1) {
            return -1;
        }
    }
    for (int i = 0; i < k_param_count; ++i) {
        state.param_names[i].reset(PyUnicode_InternFromString(k_param_names[i]));
        if (!state.param_names[i]) {
            return -1;
        }
        state.param_hashes[i] = PyObject_Hash(state.param_names[i].get());
        if (state.param_hashes[i] == -1) {
            return -1;
        }
    }
    state.default_tolerance.reset(PyFloat_FromDouble(k_default_tolerance));
    state.default_mitr.reset(PyLong_FromLong(k_default_mitr));
    if (!state.default_tolerance || !state.default_mitr) {
        return -1;
    }
    return 0;
}

// Puts the module into sys.modules under its qualified name while exec is
// still running (the import system does so only after it), unless an entry is
// there already: the imports start-up runs next (NumPy, SciPy) may import
// this module in turn and must find this object rather than start a second
// import, and a module renamed "__main__" (module_is_main) stays importable
// under its own name.
int register_module(PyObject *module) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();
    if (!modules) {
        return -1;
    }
    PyObject *key = state.interned[k_qualified_module_name].get();
    if (PyDict_Check(modules)) {
        PyObject *existing = PyDict_GetItemWithError(modules, key);
        if (existing) {
            return 0;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        return PyDict_SetItem(modules, key, module);
    }
    const int present = PyMapping_HasKey(modules, key);
    return present ? 0 : PyObject_SetItem(modules, key, module);
}

// The builtins start-up requires, in lookup order, and where each is kept
// (those without a place are only required to exist).
struct BuiltinName {
    const char *name;
    Global ProcessState::*slot;
};
constexpr BuiltinName k_builtins[] = {
    {"range", nullptr},
    {"min", &ProcessState::builtin_min},
    {"max", &ProcessState::builtin_max},
    {"ImportError", nullptr},
    {"ValueError", &ProcessState::value_error},
    {"MemoryError", &ProcessState::memory_error},
    {"enumerate", nullptr},
    {"TypeError", &ProcessState::type_error},
    {"Ellipsis", &ProcessState::ellipsis},
    {"id", &ProcessState::builtin_id},
    {"IndexError", &ProcessState::index_error},
};

int cache_builtins() noexcept
{
    for (const BuiltinName &builtin : k_builtins) {
        Ref name(PyUnicode_InternFromString(builtin.name));
        if (!name) {
            return -1;
        }
        Ref found(lookup_builtin(name.get()));
        if (!found) {
            return -1;
        }
        if (builtin.slot) {
            (state.*builtin.slot).reset(found.release());
        }
    }
    state.genuine_min_max = is_genuine_builtin(state.builtin_min.get(), "min") &&
                            is_genuine_builtin(state.builtin_max.get(), "max");
    return 0;
}

int import_types() noexcept
{
    const char *current = nullptr;
    Ref module;
    for (size_t i = 0; i < k_imported_type_count; ++i) {
        const ImportedType &t = k_imported_types[i];
        if (!current || std::strcmp(current, t.module) != 0) {
            module.reset(PyImport_ImportModule(t.module));
            if (!module) {
                return -1;
            }
            current = t.module;
        }
        PyObject *type = import_type_object(module.get(), t.module, t.name, t.size, t.mode);
        if (!type) {
            return -1;
        }
        state.imported_types[i].reset(type);
    }
    return 0;
}

int bind_root_finders() noexcept
{
    Ref zeros(PyImport_ImportModule(k_zeros_module));
    if (!zeros) {
        return -1;
    }
    if (import_c_function(zeros.get(), "bisect", &state.bisect) < 0 ||
        import_c_function(zeros.get(), "ridder", &state.ridder) < 0 ||
        import_c_function(zeros.get(), "brenth", &state.brenth) < 0 ||
        import_c_function(zeros.get(), "brentq", &state.brentq) < 0) {
        return -1;
    }
    return 0;
}

int exec_failed(TraceLine line) noexcept
{
    if (state.current_module) {
        if (state.module_dict) {
            add_trace_entry(k_init_name, line);
        }
        state.current_module.reset(nullptr);
    }
    else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, k_init_name);
    }
    return -1;
}

int module_exec(PyObject *module) noexcept
{
    if (state.current_module) {
        if (state.current_module.get() == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     k_module_name);
        return -1;
    }
    if (check_runtime_version() < 0) {
        return exec_failed(k_line_startup);
    }
    // Made before the module is recorded, so a failure here adds no trace
    // entry (empty_bytes and empty_unicode: see state.hpp).
    state.empty_tuple.reset(PyTuple_New(0));
    state.empty_bytes.reset(PyBytes_FromStringAndSize("", 0));
    state.empty_unicode.reset(PyUnicode_FromStringAndSize("", 0));
    if (!state.empty_tuple || !state.empty_bytes || !state.empty_unicode) {
        return exec_failed(k_line_startup);
    }

    Py_INCREF(module);
    state.current_module.reset(module);
    PyObject *dict = PyModule_GetDict(module);
    Py_XINCREF(dict);
    state.module_dict.reset(dict);
    if (!dict) {
        return exec_failed(k_line_startup);
    }
    // A namespace that names its builtins, as one made by running Python code
    // does: the traceback frames of trace.cpp take it as their globals, and a
    // frame whose globals lack "__builtins__" gets a made-up builtins dict.
    PyObject *builtins = PyImport_AddModule("builtins");
    Py_XINCREF(builtins);
    state.builtins_module.reset(builtins);
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return exec_failed(k_line_startup);
    }
    if (make_constants() < 0) {
        return exec_failed(k_line_startup);
    }
    if (module_is_main && PyObject_SetAttr(module, state.interned[k_dunder_name].get(),
                                           state.interned[k_dunder_main].get()) < 0) {
        return exec_failed(k_line_startup);
    }
    if (register_module(module) < 0) {
        return exec_failed(k_line_startup);
    }
    if (cache_builtins() < 0) {
        return exec_failed(k_line_startup);
    }
    const ViewExceptions exceptions = {state.value_error.get(), state.memory_error.get(),
                                       state.type_error.get(), state.index_error.get()};
    if (prepare_view_types(exceptions) < 0) {
        return exec_failed(k_line_startup);
    }
    if (import_types() < 0) {
        return exec_failed(k_line_startup);
    }
    if (bind_root_finders() < 0) {
        return exec_failed(k_line_startup);
    }

    // Published without a self (not through m_methods): the function belongs
    // to no module object, only to the process state, so it reads nothing
    // through a module that may be replaced after a failed start-up.
    state.function.reset(PyCMethod_New(&proj_csimplex_def, nullptr,
                                       state.interned[k_qualified_module_name].get(), nullptr));
    if (!state.function || PyDict_SetItem(dict, state.interned[k_proj_csimplex_name].get(),
                                          state.function.get()) < 0) {
        return exec_failed(k_line_call);
    }
    Ref test_dict(PyDict_New());
    if (!test_dict ||
        PyDict_SetItem(dict, state.interned[k_dunder_test].get(), test_dict.get()) < 0) {
        return exec_failed(k_line_startup);
    }
    // The view types need nothing more once the function is published: they
    // stay internal and never appear in the namespace.
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    TAVORIN_SUPPORT_SLOTS  // what the module supports, where the host asks (compat.hpp)
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, k_module_name, nullptr, 0,       module_methods,
    module_slots,          nullptr,       nullptr, nullptr,
};

}  // namespace

}  // namespace tavorin

extern "C" {

TAVORIN_EXPORT int module_is_main = 0;

PyMODINIT_FUNC PyInit_operators(void)
{
    return PyModuleDef_Init(&tavorin::module_def);
}
}
