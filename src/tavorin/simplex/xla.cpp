// _simplex.xla_handler: the exact method as an XLA foreign function, for tavorin.jax on the CPU.
//
// XLA hands the handler its own buffers, so the projection reads y and writes
// the result where JAX keeps them: no copy to NumPy arrays and back, no
// interpreter.  It runs on XLA's threads without the interpreter lock and
// touches no Python object.
//
// The call (made by tavorin/jax.py): y of shape (..., n) in float32 or
// float64; `rows` (..., k) of y's type, whose columns are h and then l, u and
// w where those are given per vector (each of its leading dimensions y's or 1,
// shared along it); then one (..., n) buffer for each of l,
// u and w given per element; the result has y's shape and, when asked for, a
// second result of y's leading shape gets each vector's sum_F w_j^2 over its
// free elements (what the derivative divides by: one pass over rows just
// written, cheaper here than as masks and sums in XLA).  The attribute
// `kinds` says how l, u and w come: 2 bits each (0 none, 1 per vector,
// 2 per element), l lowest.  The optional attribute `mode` (0 when absent)
// says which set: its 2 lowest bits the sum's relation to h (0 ==, 1 <=,
// 2 >=); bit 2 the l1 ball, whose radius is h's column and whose l and u are
// not given (0 and inf: |y| is projected with "<=", then y's signs copied
// back, as the NumPy function does); bit 3 a y left unchecked for NaN and
// infinity.
#include "core/derivatives.hpp"
#include "core/feasibility.hpp"
#include "core/solver.hpp"
#include "simplex/entries.hpp"
#include "simplex/xla_abi.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace tavorin::simplex {

namespace {

constexpr int k_kind_row = 1;
constexpr int k_kind_element = 2;
constexpr std::int64_t k_mode_sense = 3;
constexpr std::int64_t k_mode_ball = 4;
constexpr std::int64_t k_mode_unchecked = 8;

xla::Error *fail(const xla::CallFrame *frame, xla::ErrorCode code, const char *message) noexcept
{
    xla::ErrorCreateArgs args{sizeof(xla::ErrorCreateArgs), nullptr, message, code};
    return frame->api->error_create(&args);
}

xla::Error *fail(const xla::CallFrame *frame, const std::string &message) noexcept
{
    return fail(frame, xla::k_invalid_argument, message.c_str());
}

// The batch index of vector `index` in the leading dimensions of `shape`, as Python shows it.
std::string batch_index(const xla::Buffer &shape, std::ptrdiff_t index)
{
    std::vector<std::int64_t> at(static_cast<std::size_t>(shape.rank - 1));
    for (std::size_t d = at.size(); d-- > 0;) {
        at[d] = index % shape.dims[d];
        index /= shape.dims[d];
    }
    std::string text = "(";
    for (std::size_t d = 0; d < at.size(); ++d) {
        text += std::to_string(at[d]) + (at.size() == 1 ? "," : d + 1 < at.size() ? ", " : "");
    }
    return text + ")";
}

// The integer attribute `wanted`, when the call has it.
bool read_int(const xla::Attrs &attrs, const char *wanted, std::int64_t &value) noexcept
{
    const std::size_t length = std::strlen(wanted);
    for (std::int64_t i = 0; i < attrs.size; ++i) {
        const xla::ByteSpan &name = *attrs.names[i];
        if (attrs.types[i] != xla::k_attr_scalar || name.len != length ||
            std::memcmp(name.ptr, wanted, length) != 0) {
            continue;
        }
        const auto &scalar = *static_cast<const xla::Scalar *>(attrs.attrs[i]);
        if (scalar.dtype == xla::k_s32) {
            value = *static_cast<const std::int32_t *>(scalar.value);
            return true;
        }
        if (scalar.dtype == xla::k_s64) {
            value = *static_cast<const std::int64_t *>(scalar.value);
            return true;
        }
    }
    return false;
}

// A double as Python's repr writes it: the fewest digits that read back the same.
std::string shown(double value)
{
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value > 0 ? "inf" : "-inf";
    }
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) {
            break;
        }
    }
    std::string result = text;
    if (result.find_first_of(".en") == std::string::npos) {
        result += ".0";
    }
    return result;
}

// Whether `b` has y's type and rank, `last` elements along its last dimension, and
// each leading dimension y's (or, when `broadcast`, y's or 1).
bool matches(const xla::Buffer &b, const xla::Buffer &y, std::int64_t last,
             bool broadcast = false) noexcept
{
    if (b.dtype != y.dtype || b.rank != y.rank || b.dims[b.rank - 1] != last) {
        return false;
    }
    for (std::int64_t d = 0; d + 1 < y.rank; ++d) {
        if (b.dims[d] != y.dims[d] && !(broadcast && b.dims[d] == 1)) {
            return false;
        }
    }
    return true;
}

// The per-vector table as doubles for m vectors: `shared` (every leading
// dimension 1) is one row read by all, with stride 0, so the solver takes the
// path of sets shared by every vector; one broadcast along only some
// dimensions is expanded into `expanded`.
const double *per_vector_table(const xla::Buffer &rows, const xla::Buffer &y, std::int64_t m,
                               std::vector<double> &widened, std::vector<double> &expanded,
                               bool &shared)
{
    const std::int64_t k = rows.dims[rows.rank - 1];
    std::int64_t count = k;
    bool whole = true;
    shared = true;
    for (std::int64_t d = 0; d + 1 < y.rank; ++d) {
        count *= rows.dims[d];
        shared = shared && rows.dims[d] == 1;
        whole = whole && rows.dims[d] == y.dims[d];
    }
    const double *table = static_cast<const double *>(rows.data);
    if (rows.dtype == xla::k_f32) {
        widened.resize(static_cast<std::size_t>(count));
        const float *from = static_cast<const float *>(rows.data);
        for (std::size_t i = 0; i < widened.size(); ++i) {
            widened[i] = from[i];
        }
        table = widened.data();
    }
    if (shared || whole) {
        return table;
    }
    expanded.resize(static_cast<std::size_t>(m * k));
    for (std::int64_t i = 0; i < m; ++i) {
        std::int64_t rest = i, from = 0, step = 1;
        for (std::int64_t d = y.rank - 2; d >= 0; --d) {
            if (rows.dims[d] != 1) {
                from += rest % y.dims[d] * step;
            }
            rest /= y.dims[d];
            step *= rows.dims[d];
        }
        std::copy_n(table + from * k, k, expanded.data() + i * k);
    }
    return expanded.data();
}

template <typename Real>
derivatives::Operand<Real> operand_of(const Operand &o) noexcept
{
    return {reinterpret_cast<const Real *>(o.each), o.each_stride, o.vector};
}

template <typename Real>
void free_weights(const Problem &p, void *k) noexcept
{
    const derivatives::Sets<Real> sets{p.m,
                                       p.n,
                                       reinterpret_cast<const Real *>(p.out),
                                       p.out_stride,
                                       operand_of<Real>(p.l),
                                       operand_of<Real>(p.u),
                                       operand_of<Real>(p.w)};
    derivatives::free_weight_rows(sets, static_cast<Real *>(k), 0, p.m);
}

// Elements of a block of |x| for the ball's free weights, kept in the caches.
constexpr std::ptrdiff_t k_ball_block = 8192;

// The l1 ball as the NumPy function solves it (the core's: |y| a block at a
// time, y's signs put back), then, when `k` is asked for, each vector's free
// weight, taken from |x| a block at a time.  Returns the first vector holding
// a NaN or an infinity (when checked), or -1.
template <typename Real>
std::ptrdiff_t solve_ball(Problem p, Real *k, bool &started)
{
    p.signs = true;
    const std::ptrdiff_t bad = solve(p, 1, started);
    if (bad >= 0 || !started || !k) {
        return bad;
    }
    const std::ptrdiff_t block = std::max<std::ptrdiff_t>(1, k_ball_block / p.n);
    std::vector<Real> scratch(static_cast<std::size_t>(std::min(block, p.m) * p.n));
    for (std::ptrdiff_t begin = 0; begin < p.m; begin += block) {
        Problem part = rows_of(p, begin, std::min(block, p.m - begin));
        const Real *x = reinterpret_cast<const Real *>(part.out);
        const std::ptrdiff_t size = part.m * p.n;
        for (std::ptrdiff_t i = 0; i < size; ++i) {
            scratch[static_cast<std::size_t>(i)] = std::fabs(x[i]);
        }
        part.out = reinterpret_cast<char *>(scratch.data());
        free_weights<Real>(part, k + begin);
    }
    return -1;
}

xla::Error *execute(xla::CallFrame *frame)
{
    const auto bad_call = [frame](const char *what) {
        return fail(frame, std::string("tavorin.jax: unexpected call of the projection: ") + what);
    };
    std::int64_t kinds = 0, mode = 0;
    if (!read_int(frame->attrs, "kinds", kinds)) {
        return bad_call("no integer attribute 'kinds'");
    }
    read_int(frame->attrs, "mode", mode);
    const bool ball = (mode & k_mode_ball) != 0;
    if (mode < 0 || mode > 15 || (mode & k_mode_sense) == 3 ||
        (ball && (mode & k_mode_sense) != 1)) {
        return bad_call("'mode' out of range");
    }
    int given[3];
    int row_columns = 1, element_buffers = 0;
    for (int k = 0; k < 3; ++k) {
        given[k] = static_cast<int>((kinds >> (2 * k)) & 3);
        row_columns += given[k] == k_kind_row;
        element_buffers += given[k] == k_kind_element;
    }
    // The ball takes no bounds; every other set both.
    const bool bounds_right =
        ball ? given[0] == 0 && given[1] == 0 : given[0] != 0 && given[1] != 0;
    if (!bounds_right || given[0] == 3 || given[1] == 3 || given[2] == 3) {
        return bad_call("'kinds' out of range");
    }
    const xla::Args &args = frame->args;
    if (args.size != 2 + element_buffers || frame->rets.size < 1 || frame->rets.size > 2) {
        return bad_call("wrong number of buffers");
    }
    for (std::int64_t i = 0; i < args.size; ++i) {
        if (args.types[i] != xla::k_buffer) {
            return bad_call("an argument is not a buffer");
        }
    }
    for (std::int64_t i = 0; i < frame->rets.size; ++i) {
        if (frame->rets.types[i] != xla::k_buffer) {
            return bad_call("a result is not a buffer");
        }
    }
    const auto &y = *static_cast<const xla::Buffer *>(args.args[0]);
    const auto &rows = *static_cast<const xla::Buffer *>(args.args[1]);
    const auto &out = *static_cast<const xla::Buffer *>(frame->rets.rets[0]);
    if ((y.dtype != xla::k_f32 && y.dtype != xla::k_f64) || y.rank < 1) {
        return bad_call("y is not an array of float32 or float64");
    }
    const std::int64_t n = y.dims[y.rank - 1];
    if (!matches(rows, y, row_columns, true) || !matches(out, y, n)) {
        return bad_call("buffers of mismatched shapes or types");
    }
    const xla::Buffer *k = nullptr;
    if (frame->rets.size == 2) {
        k = static_cast<const xla::Buffer *>(frame->rets.rets[1]);
        if (k->dtype != y.dtype || k->rank != y.rank - 1 ||
            !std::equal(k->dims, k->dims + k->rank, y.dims)) {
            return bad_call("buffers of mismatched shapes or types");
        }
    }
    for (int i = 0; i < element_buffers; ++i) {
        if (!matches(*static_cast<const xla::Buffer *>(args.args[2 + i]), y, n)) {
            return bad_call("buffers of mismatched shapes or types");
        }
    }
    std::int64_t m = 1;
    for (std::int64_t d = 0; d + 1 < y.rank; ++d) {
        m *= y.dims[d];
    }
    if (m == 0 || n == 0) {
        return nullptr;
    }
    if (ball && y.data == out.data) {
        return bad_call("the result shares y's buffer");  // the ball reads y after writing
    }

    const bool single = y.dtype == xla::k_f32;
    const std::ptrdiff_t size = single ? 4 : 8;
    // Values per vector are read as doubles: float32 columns are widened first.
    std::vector<double> widened, expanded;
    bool shared = false;
    const double *columns = per_vector_table(rows, y, m, widened, expanded, shared);
    const std::ptrdiff_t row_stride = shared ? 0 : row_columns;
    Problem problem;
    problem.y = static_cast<const char *>(y.data);
    problem.out = static_cast<char *>(out.data);
    problem.m = m;
    problem.n = n;
    problem.y_stride = problem.out_stride = n * size;
    problem.single = single;
    problem.check_finite = (mode & k_mode_unchecked) == 0;
    problem.sense = (mode & k_mode_sense) == 2 ? -1 : static_cast<int>(mode & k_mode_sense);
    problem.h = {columns, row_stride};
    static const double zero = 0.0, infinity = std::numeric_limits<double>::infinity();
    if (ball) {
        problem.l.vector = {&zero, 0};
        problem.u.vector = {&infinity, 0};
    }
    Operand *operands[3] = {&problem.l, &problem.u, &problem.w};
    int column = 1, element = 2;
    for (int k = 0; k < 3; ++k) {
        if (given[k] == k_kind_row) {
            operands[k]->vector = {columns + column++, row_stride};
        }
        else if (given[k] == k_kind_element) {
            operands[k]->each = static_cast<const char *>(
                static_cast<const xla::Buffer *>(args.args[element++])->data);
            operands[k]->each_stride = n * size;
        }
    }

    const std::ptrdiff_t infeasible = first_infeasible(problem);
    if (infeasible >= 0) {
        const std::string at = batch_index(y, infeasible);
        if (ball) {
            const double radius = columns[row_stride * infeasible];
            if (!(std::isfinite(radius) && radius >= 0)) {
                return fail(frame,
                            "tavorin.jax.project_l1_ball: radius must be finite and >= 0, "
                            "got " +
                                shown(radius) + " for the vector at batch index " + at);
            }
            return fail(frame,
                        "tavorin.jax.project_l1_ball: weights must be finite and > 0 "
                        "for the vector at batch index " +
                            at);
        }
        const char *low = given[2] ? "sum(w*l)" : "sum(l)";
        const char *high = given[2] ? "sum(w*u)" : "sum(u)";
        const std::string sum = problem.sense == 0   ? std::string(low) + " <= h <= " + high
                                : problem.sense == 1 ? std::string(low) + " <= h"
                                                     : std::string("h <= ") + high;
        return fail(frame,
                    "tavorin.jax.project_capped_simplex: no feasible point for the vector at batch "
                    "index " +
                        at + ": needs a finite h, l < +inf, u > -inf, l <= u" +
                        (given[2] ? ", finite weights > 0 and " : " and ") + sum);
    }
    bool started = true;
    void *weights = k ? k->data : nullptr;
    const std::ptrdiff_t nonfinite =
        !ball    ? solve(problem, 1, started)
        : single ? solve_ball<float>(problem, static_cast<float *>(weights), started)
                 : solve_ball<double>(problem, static_cast<double *>(weights), started);
    if (!started) {
        return fail(frame, xla::k_resource_exhausted,
                    "tavorin.jax: could not start the threads; nothing was projected");
    }
    if (nonfinite >= 0) {
        return fail(frame, std::string(ball ? "tavorin.jax.project_l1_ball"
                                            : "tavorin.jax.project_capped_simplex") +
                               ": y holds NaN or infinity in the vector at batch index " +
                               batch_index(y, nonfinite));
    }
    if (k && !ball) {
        (single ? free_weights<float> : free_weights<double>)(problem, k->data);
    }
    return nullptr;
}

// XLA's entry: a metadata query at registration, then the calls themselves.
extern "C" xla::Error *handle(xla::CallFrame *frame) noexcept
{
    for (xla::Extension *e = frame->extension_start; e; e = e->next) {
        if (e->type == xla::k_extension_metadata) {
            xla::Metadata &metadata = *reinterpret_cast<xla::MetadataExtension *>(e)->metadata;
            metadata.api_version.major_version = 0;
            metadata.api_version.minor_version = 1;
            metadata.traits = 0;
            return nullptr;
        }
    }
    if (frame->stage != xla::k_stage_execute) {
        return nullptr;
    }
    try {
        return execute(frame);
    }
    catch (const std::bad_alloc &) {
        return fail(frame, xla::k_resource_exhausted, "tavorin.jax: out of memory");
    }
    catch (...) {
        return fail(frame, xla::k_internal, "tavorin.jax: the projection failed");
    }
}

}  // namespace

// xla_handler() -> capsule holding the handler, for jax.ffi.register_ffi_target.
PyObject *xla_handler(PyObject *, PyObject *) noexcept
{
    return PyCapsule_New(reinterpret_cast<void *>(&handle), nullptr, nullptr);
}

}  // namespace tavorin::simplex
