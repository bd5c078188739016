// proj_csimplex: binds the call, acquires the array and projects it row by row.
//
// The interpreter lock is held throughout.  The bracket goes through the
// builtins min and max unless they are the interpreter's own, in which case
// the same values are computed straight from the row's doubles.
#include "operators/driver.hpp"

#include "core/projection.hpp"
#include "host/compat.hpp"
#include "operators/arguments.hpp"
#include "operators/state.hpp"
#include "operators/trace.hpp"
#include "operators/views.hpp"

namespace tavorin {

namespace {

// Releases the call's view on every way out of the call.
class ViewRelease {
public:
    explicit ViewRelease(DoubleView2D &view) noexcept : view_(view) {}
    ~ViewRelease() { release_view(&view_, k_site_call); }
    ViewRelease(const ViewRelease &) = delete;
    ViewRelease &operator=(const ViewRelease &) = delete;

private:
    DoubleView2D &view_;
};

PyObject *fail_call(TraceLine line) noexcept
{
    add_trace_entry(k_function_name, line);
    return nullptr;
}

// A scalar argument converted by to_double or to_int32 into *value: false
// after a failure, with the trace entry at `line` added.
bool convert(PyObject *obj, TraceLine line, double *value) noexcept
{
    *value = to_double(obj);
    if (failed(*value)) {
        fail_call(line);
        return false;
    }
    return true;
}
bool convert(PyObject *obj, TraceLine line, int *value) noexcept
{
    *value = to_int32(obj);
    if (failed(*value)) {
        fail_call(line);
        return false;
    }
    return true;
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

}  // namespace

PyObject *proj_csimplex(PyObject *, PyObject *args, PyObject *kwds) noexcept
{
    // The function object can reach another interpreter through any object
    // both share, though the module cannot be imported there.  Nothing of the
    // process state belongs to that interpreter, and the view's hold and
    // release would take the lock state of this one and never return; so
    // the call is refused before it touches anything, the trace entry
    // (which is built from that state) included.
    if (compat::current_interpreter_id() != state.main_interpreter_id) {
        PyErr_SetString(PyExc_RuntimeError, TAVORIN_QUALIFIED_MODULE
                        " is bound to the interpreter that imported it; "
                        "it cannot be called from another interpreter");
        return nullptr;
    }
    BoundArguments bound = {{nullptr, nullptr, nullptr, nullptr, state.default_tolerance.get(),
                             state.default_tolerance.get(), state.default_mitr.get()},
                            {}};
    if (bind_arguments(args, kwds, bound) < 0) {
        return fail_call(k_line_call);
    }
    PyObject *const *slots = bound.slots;

    DoubleView2D y_view;
    if (acquire_double_view_2d(slots[k_y_view], &y_view) < 0) {
        return fail_call(k_line_call);
    }
    ViewRelease release(y_view);

    double h;
    double l;
    double u;
    if (!convert(slots[k_h], k_line_h, &h) || !convert(slots[k_l], k_line_l, &l) ||
        !convert(slots[k_u], k_line_u, &u)) {
        return nullptr;
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
            row_bracket(p.y, n, l, u, &xa, &xb);
        }
        else if (fast_bracket) {
            raise_empty_row(min);
            return fail_call(k_line_lower_bracket);
        }
        else {
            if (bracket_end_via_builtin(min, y_view, i, u, &xa) < 0) {
                return fail_call(k_line_lower_bracket);
            }
            if (bracket_end_via_builtin(max, y_view, i, l, &xb) < 0) {
                return fail_call(k_line_upper_bracket);
            }
        }

        // Converted again for every row, not once: a tolerance's conversion
        // may give another value (or fail) on a later row, and each row sees
        // what the conversion gives at that moment.
        double xtol;
        double rtol;
        int mitr;
        if (!convert(slots[k_xtol], k_line_row_scalars, &xtol) ||
            !convert(slots[k_rtol], k_line_row_scalars, &rtol) ||
            !convert(slots[k_mitr], k_line_row_scalars, &mitr)) {
            return nullptr;
        }
        project_row(state.brentq, p, xa, xb, xtol, rtol, mitr);
    }
    Py_RETURN_NONE;
}

}  // namespace tavorin
