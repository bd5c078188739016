// tavorin.operators: in-place projection of the rows of a float64 array onto
// the capped simplex { x : l <= x_j <= u, sum x_j = h }.
//
// Design constraints:
// - Start-up is multi-phase (create + exec) and ties the module to one
//   interpreter and one module object per process; everything it makes is
//   process-wide, written only at start-up and read afterwards.
// - Every failing function adds exactly one traceback entry naming itself
//   and the line of the failing step, then passes the exception on.
// - The residual is called by SciPy's compiled brentq many times per row: it
//   runs on raw doubles with no host calls or allocation, and its sum is
//   accumulated strictly left to right because its exact value steers the
//   root finder (terms that are exactly zero may be left out: that changes
//   no bit of the sum).
// - The interpreter lock is held throughout; the module takes no lock.
#include "operators.hpp"

#include "buffer_views.hpp"

#include <frameobject.h>
#include <longintrepr.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include <immintrin.h>

// NumPy's headers are read only for the sizes of its type objects; no NumPy
// function is called, so its function table is never imported.
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

extern "C" {
// A host that embeds the module as its main program sets this before start-up.
__attribute__((visibility("default"))) extern int module_is_main;
}

namespace tavorin {

// ---------------------------------------------------------------------------
// Numerical core
// ---------------------------------------------------------------------------

namespace {

// The clip of t to [l, u], in exactly this order and with these comparisons:
// a NaN t stays NaN (both tests are false), l > u gives l, and t == u gives t.
// Both steps map onto minsd/maxsd, so the loops stay branch-free.
inline double clip(double t, double l, double u) noexcept
{
    const double c = (u < t) ? u : t;
    return (l > c) ? l : c;
}

// Adds the clips of y[i..n) - x to s strictly left to right: a reassociated
// (vectorised or pairwise) sum would round differently and send brentq down
// another path.  The clips of two neighbours are independent, so computing
// them ahead keeps the adder busy without changing the order of the additions.
inline double add_clips(double s, const double *y, Py_ssize_t i, Py_ssize_t n, double x, double l,
                        double u) noexcept
{
    for (; i + 2 <= n; i += 2) {
        const double c0 = clip(y[i] - x, l, u);
        const double c1 = clip(y[i + 1] - x, l, u);
        s += c0;
        s += c1;
    }
    if (i < n) {
        s += clip(y[i] - x, l, u);
    }
    return s;
}

// Leaving out the terms that are exactly zero keeps the sum bit for bit: it
// starts at +0.0 and can never become -0.0 (x + (-x) is +0.0 when rounding to
// nearest), and adding +0.0 or -0.0 to anything but -0.0 changes no bit of it,
// NaN and infinities included.  So only the other terms need to go through the
// dependent chain of additions, still in index order; with l = 0 most terms
// are zero at most trial shifts.  The terms are compacted with AVX2, four at a
// time with one permute; without a lane permute (SSE2 alone) the compaction
// measured slower than adding every term on rows of about a hundred, so
// without AVX2 every term is added.
constexpr Py_ssize_t k_block = 128;
// On shorter rows the latency from load to compacted store to reload before
// the first addition is not repaid.
constexpr Py_ssize_t k_compaction_min_n = 96;

// For each mask of the non-zero lanes among four doubles: the 32-bit lane
// indices that move those doubles to the front in order, and their count.
struct Compaction {
    alignas(32) std::int32_t lanes[16][8];
    std::int32_t count[16];
};

constexpr Compaction make_compaction() noexcept
{
    Compaction table{};
    for (int mask = 0; mask < 16; ++mask) {
        int kept = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane) & 1) {
                table.lanes[mask][2 * kept] = 2 * lane;
                table.lanes[mask][2 * kept + 1] = 2 * lane + 1;
                ++kept;
            }
        }
        table.count[mask] = kept;
    }
    return table;
}

constexpr Compaction k_compaction = make_compaction();

// Appends the non-zero clips of y[0..4) - x to out[k..), writing four slots.
__attribute__((target("avx2"))) inline void append_nonzero(const double *y, __m256d x, __m256d l,
                                                           __m256d u, double *out,
                                                           Py_ssize_t &k) noexcept
{
    // min(u, t) and max(l, c) return their second operand when either is NaN:
    // the same results as clip.  A NaN compares unequal to zero and is kept.
    const __m256d c = _mm256_max_pd(l, _mm256_min_pd(u, _mm256_sub_pd(_mm256_loadu_pd(y), x)));
    const int mask = _mm256_movemask_pd(_mm256_cmp_pd(c, _mm256_setzero_pd(), _CMP_NEQ_UQ));
    const __m256i lanes =
        _mm256_load_si256(reinterpret_cast<const __m256i *>(k_compaction.lanes[mask]));
    _mm256_storeu_pd(out + k,
                     _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(c), lanes)));
    k += k_compaction.count[mask];
}

inline double add4(double s, const double *t) noexcept
{
    s += t[0];
    s += t[1];
    s += t[2];
    s += t[3];
    return s;
}

// The residual with the zero terms left out of the sum.  Each block's
// non-zero terms are compacted while the previous block's are being added,
// so the compaction hides behind the latency of the chain; the chain reads
// whole groups of four, padded with +0.0.
__attribute__((target("avx2"))) double residual_without_zeros(double x, const params &p) noexcept
{
    const double *y = p.y;
    const Py_ssize_t n = p.n - p.n % 4;
    alignas(32) double buffers[2][k_block + 4];
    double *pending = buffers[0];
    double *fresh = buffers[1];
    Py_ssize_t n_pending = 0;
    const __m256d vx = _mm256_set1_pd(x);
    const __m256d vl = _mm256_set1_pd(p.l);
    const __m256d vu = _mm256_set1_pd(p.u);
    double s = 0.0;
    for (Py_ssize_t i = 0; i < n; i += k_block) {
        const Py_ssize_t len = (n - i < k_block) ? n - i : k_block;
        Py_ssize_t k = 0;
        Py_ssize_t j = 0;
        for (; j < len && j < n_pending; j += 4) {
            append_nonzero(y + i + j, vx, vl, vu, fresh, k);
            s = add4(s, pending + j);
        }
        for (Py_ssize_t t = j; t < n_pending; t += 4) {
            s = add4(s, pending + t);
        }
        for (; j < len; j += 4) {
            append_nonzero(y + i + j, vx, vl, vu, fresh, k);
        }
        _mm256_storeu_pd(fresh + k, _mm256_setzero_pd());
        std::swap(pending, fresh);
        n_pending = k;
    }
    for (Py_ssize_t t = 0; t < n_pending; t += 4) {
        s = add4(s, pending + t);
    }
    return add_clips(s, y, n, p.n, x, p.l, p.u) - p.h;
}

}  // namespace

double f(double x, void *args) noexcept
{
    const params &p = *static_cast<const params *>(args);
    if (p.n >= k_compaction_min_n && __builtin_cpu_supports("avx2")) {
        return residual_without_zeros(x, p);
    }
    return add_clips(0.0, p.y, 0, p.n, x, p.l, p.u) - p.h;
}

void project_row(root_finder brentq, params &p, double xa, double xb, double xtol, double rtol,
                 int mitr) noexcept
{
    // No status record: the shift is used whatever brentq returns.
    const double x = brentq(f, xa, xb, &p, xtol, rtol, mitr, nullptr);
    double *y = p.y;
    for (Py_ssize_t j = 0; j < p.n; ++j) {
        y[j] = clip(y[j] - x, p.l, p.u);
    }
}

// ---------------------------------------------------------------------------
// Process-wide state, written only at start-up
// ---------------------------------------------------------------------------

namespace {

constexpr const char *k_qualified_module = "tavorin.operators";
constexpr const char *k_source_file = "src/tavorin/operators";
constexpr const char *k_init_name = "init tavorin.operators";
constexpr const char *k_function_name = "tavorin.operators.proj_csimplex";

constexpr const char *k_capsule_signature =
    "double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, double, double, "
    "void *, double, double, int, "
    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)";

// The parameters of proj_csimplex, in declaration order.
enum Param { P_Y_VIEW, P_H, P_L, P_U, P_XTOL, P_RTOL, P_MITR, N_PARAMS };
constexpr const char *k_param_names[N_PARAMS] = {"y_view", "h", "l", "u", "xtol", "rtol", "mitr"};
constexpr Py_ssize_t k_required = 4;

enum SizeCheck { Warn, Ignore };

struct ImportedType {
    const char *module;
    const char *name;
    size_t size;
    SizeCheck mode;
};

// The instance sizes come from the headers the module is built against.
const ImportedType k_imported_types[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), Warn},
    {"numpy", "dtype", sizeof(PyArray_Descr), Ignore},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), Ignore},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), Ignore},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), Ignore},
    {"numpy", "generic", sizeof(PyObject), Warn},
    {"numpy", "number", sizeof(PyObject), Warn},
    {"numpy", "integer", sizeof(PyObject), Warn},
    {"numpy", "signedinteger", sizeof(PyObject), Warn},
    {"numpy", "unsignedinteger", sizeof(PyObject), Warn},
    {"numpy", "inexact", sizeof(PyObject), Warn},
    {"numpy", "floating", sizeof(PyObject), Warn},
    {"numpy", "complexfloating", sizeof(PyObject), Warn},
    {"numpy", "flexible", sizeof(PyObject), Warn},
    {"numpy", "character", sizeof(PyObject), Warn},
    {"numpy", "ufunc", sizeof(PyUFuncObject), Ignore},
};
constexpr size_t N_IMPORTED_TYPES = sizeof(k_imported_types) / sizeof(k_imported_types[0]);

// Interned names made once at start-up (each with its hash computed there).
enum Name { N___NAME__, N___MAIN__, N___TEST__, N_PROJ_CSIMPLEX, N_QUALIFIED_MODULE, N_NAMES };
constexpr const char *k_names[N_NAMES] = {"__name__", "__main__", "__test__", "proj_csimplex",
                                          "tavorin.operators"};

struct ProcessState {
    int64_t main_interpreter_id = -1;
    Global current_module;
    Global module_dict;
    Global builtins_module;

    Global empty_tuple;
    Global empty_bytes;
    Global empty_unicode;

    Global names[N_NAMES];
    Global params[N_PARAMS];  // interned parameter names
    Py_hash_t param_hashes[N_PARAMS] = {};

    Global default_tolerance;  // 1e-05, the default of both xtol and rtol
    Global default_mitr;       // 20

    Global builtin_min;
    Global builtin_max;
    Global value_error, memory_error, type_error, ellipsis, builtin_id, index_error;
    // The bracket may be computed straight from the row's doubles only when
    // min and max are the interpreter's own: anything else must see the row.
    bool genuine_min_max = false;

    Global types[N_IMPORTED_TYPES];

    root_finder bisect = nullptr;
    root_finder ridder = nullptr;
    root_finder brenth = nullptr;
    root_finder brentq = nullptr;

    Global function;  // the published proj_csimplex
};

ProcessState state;

// ---------------------------------------------------------------------------
// Trace entries
// ---------------------------------------------------------------------------

// Code objects are kept per failure site, so a failure that repeats makes no
// new ones; the cache only grows, bounded by the number of sites.
struct CodeCacheEntry {
    const char *function;
    int line;
    PyCodeObject *code;
};
CodeCacheEntry code_cache[16];
int code_cache_size = 0;

PyCodeObject *code_for_site(const char *function_name, int line, const char *file_name) noexcept
{
    for (int i = 0; i < code_cache_size; ++i) {
        if (code_cache[i].line == line && std::strcmp(code_cache[i].function, function_name) == 0) {
            Py_INCREF(code_cache[i].code);
            return code_cache[i].code;
        }
    }
    Ref file(PyUnicode_FromString(file_name));
    if (!file) {
        return nullptr;
    }
    Ref name(PyUnicode_FromString(function_name));
    if (!name) {
        return nullptr;
    }
    PyObject *empty = state.empty_tuple.get();
    PyObject *bytes = state.empty_bytes.get();
    PyCodeObject *code = PyCode_New(0, 0, 0, 0, 0, bytes, empty, empty, empty, empty, empty,
                                    file.get(), name.get(), line, bytes);
    if (code && code_cache_size < 16) {
        Py_INCREF(code);
        code_cache[code_cache_size++] = {function_name, line, code};
    }
    return code;
}

void add_trace_entry(const char *function_name, int line, const char *file_name) noexcept
{
    if (!state.module_dict || !state.empty_tuple || !state.empty_bytes) {
        return;
    }
    // Whatever goes wrong here, the caller's exception is the one that stays.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref code(reinterpret_cast<PyObject *>(code_for_site(function_name, line, file_name)));
    Ref frame;
    if (code) {
        frame.reset(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                        state.module_dict.get(), nullptr)));
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) {
        reinterpret_cast<PyFrameObject *>(frame.get())->f_lineno = line;
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
    }
}

// ---------------------------------------------------------------------------
// Scalar conversions
// ---------------------------------------------------------------------------

// -1.0 is a failure only while an exception is pending.
inline double to_double(PyObject *obj) noexcept
{
    if (PyFloat_CheckExact(obj)) {
        return PyFloat_AS_DOUBLE(obj);
    }
    return PyFloat_AsDouble(obj);
}

inline bool failed(double value) noexcept
{
    return value == -1.0 && PyErr_Occurred();
}
inline bool failed(int value) noexcept
{
    return value == -1 && PyErr_Occurred();
}

int int32_or_overflow(long long value) noexcept
{
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    return static_cast<int>(value);
}

// Reads a host integer without calling any method of it.  Integers of at most
// two 30-bit digits (magnitude below 2^60) are assembled in place.
int long_to_int32(PyObject *obj) noexcept
{
    static_assert(PyLong_SHIFT == 30, "the in-place reading assumes 30-bit digits");
    const PyLongObject *v = reinterpret_cast<const PyLongObject *>(obj);
    const digit *d = v->ob_digit;
    switch (Py_SIZE(obj)) {
    case 0: return 0;
    case 1: return int32_or_overflow(static_cast<long long>(d[0]));
    case -1: return int32_or_overflow(-static_cast<long long>(d[0]));
    case 2:
        return int32_or_overflow(
            static_cast<long long>((static_cast<unsigned long long>(d[1]) << PyLong_SHIFT) | d[0]));
    case -2:
        return int32_or_overflow(-static_cast<long long>(
            (static_cast<unsigned long long>(d[1]) << PyLong_SHIFT) | d[0]));
    default: break;
    }
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    return int32_or_overflow(value);
}

// -1 is a failure only while an exception is pending.
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

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

// The seven parameters of a call.  Values from the positional tuple and the
// defaults are borrowed: the tuple is immutable and outlives the call, the
// defaults live as long as the module.  A keyword dictionary is another
// matter: a caller that passes its own (through the C API) can change it
// while the call runs (a conversion method, or a key's __eq__ during a
// lookup, may clear it), so every value taken from it is held until the call
// returns.
struct BoundArguments {
    PyObject *slots[N_PARAMS];
    Ref from_dict[N_PARAMS];

    void take_from_dict(Py_ssize_t i, PyObject *value) noexcept
    {
        slots[i] = value;
        from_dict[i] = Ref::borrow(value);
    }
};

int raise_argument_count(Py_ssize_t given) noexcept
{
    const bool too_few = given < k_required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 "proj_csimplex", too_few ? "at least" : "at most",
                 too_few ? k_required : static_cast<Py_ssize_t>(N_PARAMS), "s", given);
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
        for (Py_ssize_t i = num_pos_args; i < N_PARAMS; ++i) {
            if (key == state.params[i].get()) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            if (!PyUnicode_Check(key) || PyUnicode_READY(key) < 0) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "proj_csimplex");
                return -1;
            }
            for (Py_ssize_t i = num_pos_args; i < N_PARAMS && found < 0; ++i) {
                const int same = same_name(key, state.params[i].get());
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
            const int same = same_name(key, state.params[i].get());
            if (same < 0) {
                return -1;
            }
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             "proj_csimplex", key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     "proj_csimplex", key);
        return -1;
    }
    return 0;
}

// Fills `bound` (the optional slots hold the defaults already) from the
// positional tuple and the keyword dictionary.
int bind_arguments(PyObject *args, PyObject *kwds, BoundArguments &bound) noexcept
{
    const Py_ssize_t k = PyTuple_GET_SIZE(args);
    if (!kwds) {
        // No name work at all on the positional path.
        if (k < k_required || k > N_PARAMS) {
            return raise_argument_count(k);
        }
        for (Py_ssize_t i = 0; i < k; ++i) {
            bound.slots[i] = PyTuple_GET_ITEM(args, i);
        }
        return 0;
    }
    if (k > N_PARAMS) {
        return raise_argument_count(k);
    }
    for (Py_ssize_t i = 0; i < k; ++i) {
        bound.slots[i] = PyTuple_GET_ITEM(args, i);
    }
    Py_ssize_t remaining = PyDict_GET_SIZE(kwds);
    // The interned names carry their hash, so each lookup hashes nothing.
    for (Py_ssize_t i = k; i < k_required; ++i) {
        PyObject *value =
            _PyDict_GetItem_KnownHash(kwds, state.params[i].get(), state.param_hashes[i]);
        if (!value) {
            if (PyErr_Occurred()) {
                return -1;
            }
            return raise_argument_count(i);
        }
        bound.take_from_dict(i, value);
        --remaining;
    }
    for (Py_ssize_t i = k > k_required ? k : k_required; i < N_PARAMS && remaining > 0; ++i) {
        PyObject *value =
            _PyDict_GetItem_KnownHash(kwds, state.params[i].get(), state.param_hashes[i]);
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

// ---------------------------------------------------------------------------
// The public operation
// ---------------------------------------------------------------------------

// Sites that identify a release in the fatal message of a broken hold count.
constexpr int k_release_site_call = 1;

// Releases the call's view on every way out of the call.
class ViewRelease {
public:
    explicit ViewRelease(DoubleView2D &view) noexcept : view_(view) {}
    ~ViewRelease() { release_view(&view_, k_release_site_call); }
    ViewRelease(const ViewRelease &) = delete;
    ViewRelease &operator=(const ViewRelease &) = delete;

private:
    DoubleView2D &view_;
};

PyObject *fail_call(int line) noexcept
{
    add_trace_entry(k_function_name, line, k_source_file);
    return nullptr;
}

// One bracket end through the host, exactly as a caller would compute it:
// `builtin(row) - bound`, with the row given as a sequence of floats.
int bracket_end_via_builtin(PyObject *builtin, DoubleView2D &view, Py_ssize_t row, double bound,
                            double *out) noexcept
{
    Ref extreme;
    {
        Ref sequence(make_row_sequence(&view, row));
        if (!sequence) {
            return -1;
        }
        extreme.reset(PyObject_CallOneArg(builtin, sequence.get()));
    }
    if (!extreme) {
        return -1;
    }
    Ref bound_obj(PyFloat_FromDouble(bound));
    if (!bound_obj) {
        return -1;
    }
    Ref difference(PyNumber_Subtract(extreme.get(), bound_obj.get()));
    extreme.reset();
    bound_obj.reset();
    if (!difference) {
        return -1;
    }
    const double value = to_double(difference.get());
    if (failed(value)) {
        return -1;
    }
    *out = value;
    return 0;
}

// The builtins' own error for an empty row (the fast bracket never sees one).
int raise_empty_row(PyObject *builtin) noexcept
{
    Ref result(PyObject_CallOneArg(builtin, state.empty_tuple.get()));
    if (result) {
        // Unreachable for the genuine builtins; keep the failure a failure.
        PyErr_SetString(PyExc_ValueError, "empty row");
    }
    return -1;
}

PyObject *proj_csimplex(PyObject *, PyObject *args, PyObject *kwds) noexcept
{
    BoundArguments bound = {{nullptr, nullptr, nullptr, nullptr, state.default_tolerance.get(),
                             state.default_tolerance.get(), state.default_mitr.get()},
                            {}};
    if (bind_arguments(args, kwds, bound) < 0) {
        return fail_call(28);
    }
    PyObject *const *slots = bound.slots;

    DoubleView2D y_view;
    if (acquire_double_view_2d(slots[P_Y_VIEW], &y_view) < 0) {
        return fail_call(28);
    }
    ViewRelease release(y_view);

    const double h = to_double(slots[P_H]);
    if (failed(h)) {
        return fail_call(29);
    }
    const double l = to_double(slots[P_L]);
    if (failed(l)) {
        return fail_call(30);
    }
    const double u = to_double(slots[P_U]);
    if (failed(u)) {
        return fail_call(31);
    }

    const Py_ssize_t m = y_view.shape[0];
    const Py_ssize_t n = y_view.shape[1];
    params p = {n, h, l, u, nullptr};
    PyObject *const min = state.builtin_min.get();
    PyObject *const max = state.builtin_max.get();
    const bool fast_bracket = state.genuine_min_max;

    for (Py_ssize_t i = 0; i < m; ++i) {
        // An empty row may sit on a null address, where no offset may be taken.
        p.y = reinterpret_cast<double *>(n > 0 ? y_view.data + i * y_view.strides[0] : y_view.data);
        double xa;
        double xb;
        if (fast_bracket && n > 0) {
            // The host's rules for floats: the first element stays unless a
            // later one compares strictly smaller (larger); NaN never does.
            double lo = p.y[0];
            double hi = p.y[0];
            for (Py_ssize_t j = 1; j < n; ++j) {
                const double v = p.y[j];
                lo = (v < lo) ? v : lo;
                hi = (v > hi) ? v : hi;
            }
            xa = lo - u;
            xb = hi - l;
        }
        else if (fast_bracket) {
            raise_empty_row(min);
            return fail_call(43);
        }
        else {
            if (bracket_end_via_builtin(min, y_view, i, u, &xa) < 0) {
                return fail_call(43);
            }
            if (bracket_end_via_builtin(max, y_view, i, l, &xb) < 0) {
                return fail_call(44);
            }
        }

        const double xtol = to_double(slots[P_XTOL]);
        if (failed(xtol)) {
            return fail_call(45);
        }
        const double rtol = to_double(slots[P_RTOL]);
        if (failed(rtol)) {
            return fail_call(45);
        }
        const int mitr = to_int32(slots[P_MITR]);
        if (failed(mitr)) {
            return fail_call(45);
        }
        project_row(state.brentq, p, xa, xb, xtol, rtol, mitr);
    }
    Py_RETURN_NONE;
}

PyMethodDef proj_csimplex_def = {
    "proj_csimplex",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(proj_csimplex)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

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
    const int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
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

int check_runtime_version() noexcept
{
    // Only "M.m" of either version is kept, so a two-digit minor version is
    // cut to its first digit on both sides alike.
    char build_version[4] = {};
    char runtime_version[4] = {};
    PyOS_snprintf(build_version, sizeof(build_version), "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    PyOS_snprintf(runtime_version, sizeof(runtime_version), "%s", Py_GetVersion());
    return warn_version_mismatch(build_version, runtime_version);
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
    if (!PyCFunction_Check(obj)) {
        return false;
    }
    PyCFunctionObject *function = reinterpret_cast<PyCFunctionObject *>(obj);
    return function->m_self == state.builtins_module.get() && function->m_ml &&
           std::strcmp(function->m_ml->ml_name, name) == 0;
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
    if (actual > expected_size && mode == Warn) {
        char warning[200];
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

int make_constants() noexcept
{
    for (int i = 0; i < N_NAMES; ++i) {
        state.names[i].reset(PyUnicode_InternFromString(k_names[i]));
        if (!state.names[i] || PyObject_Hash(state.names[i].get()) == -1) {
            return -1;
        }
    }
    for (int i = 0; i < N_PARAMS; ++i) {
        state.params[i].reset(PyUnicode_InternFromString(k_param_names[i]));
        if (!state.params[i]) {
            return -1;
        }
        state.param_hashes[i] = PyObject_Hash(state.params[i].get());
        if (state.param_hashes[i] == -1) {
            return -1;
        }
    }
    state.default_tolerance.reset(PyFloat_FromDouble(1e-05));
    state.default_mitr.reset(PyLong_FromLong(20));
    if (!state.default_tolerance || !state.default_mitr) {
        return -1;
    }
    return 0;
}

int register_module(PyObject *module) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();
    if (!modules) {
        return -1;
    }
    PyObject *key = state.names[N_QUALIFIED_MODULE].get();
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
    for (size_t i = 0; i < N_IMPORTED_TYPES; ++i) {
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
        state.types[i].reset(type);
    }
    return 0;
}

int bind_root_finders() noexcept
{
    Ref zeros(PyImport_ImportModule("scipy.optimize.cython_optimize._zeros"));
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

int exec_failed(int line) noexcept
{
    if (state.current_module) {
        if (state.module_dict) {
            add_trace_entry(k_init_name, line, k_source_file);
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
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'operators' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (check_runtime_version() < 0) {
        return exec_failed(1);
    }
    state.empty_tuple.reset(PyTuple_New(0));
    state.empty_bytes.reset(PyBytes_FromStringAndSize("", 0));
    state.empty_unicode.reset(PyUnicode_FromStringAndSize("", 0));
    if (!state.empty_tuple || !state.empty_bytes || !state.empty_unicode) {
        return exec_failed(1);
    }

    Py_INCREF(module);
    state.current_module.reset(module);
    PyObject *dict = PyModule_GetDict(module);
    Py_XINCREF(dict);
    state.module_dict.reset(dict);
    if (!dict) {
        return exec_failed(1);
    }
    PyObject *builtins = PyImport_AddModule("builtins");
    Py_XINCREF(builtins);
    state.builtins_module.reset(builtins);
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return exec_failed(1);
    }
    if (make_constants() < 0) {
        return exec_failed(1);
    }
    if (module_is_main && PyObject_SetAttr(module, state.names[N___NAME__].get(),
                                           state.names[N___MAIN__].get()) < 0) {
        return exec_failed(1);
    }
    if (register_module(module) < 0) {
        return exec_failed(1);
    }
    if (cache_builtins() < 0) {
        return exec_failed(1);
    }
    const ViewExceptions exceptions = {state.value_error.get(), state.memory_error.get(),
                                       state.type_error.get(), state.index_error.get()};
    if (prepare_view_types(exceptions) < 0) {
        return exec_failed(1);
    }
    if (import_types() < 0) {
        return exec_failed(1);
    }
    if (bind_root_finders() < 0) {
        return exec_failed(1);
    }

    state.function.reset(
        PyCMethod_New(&proj_csimplex_def, nullptr, state.names[N_QUALIFIED_MODULE].get(), nullptr));
    if (!state.function ||
        PyDict_SetItem(dict, state.names[N_PROJ_CSIMPLEX].get(), state.function.get()) < 0) {
        return exec_failed(28);
    }
    Ref test_dict(PyDict_New());
    if (!test_dict || PyDict_SetItem(dict, state.names[N___TEST__].get(), test_dict.get()) < 0) {
        return exec_failed(1);
    }
    if (complete_view_types() < 0) {
        return exec_failed(1);
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "operators", nullptr, 0,       module_methods,
    module_slots,          nullptr,     nullptr, nullptr,
};

}  // namespace

int warn_version_mismatch(const char *build_version, const char *runtime_version)
{
    if (build_version[0] == runtime_version[0] && build_version[2] == runtime_version[2]) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  build_version, k_qualified_module, runtime_version);
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace tavorin

extern "C" {

__attribute__((visibility("default"))) int module_is_main = 0;

PyMODINIT_FUNC PyInit_operators(void)
{
    return PyModuleDef_Init(&tavorin::module_def);
}
}
