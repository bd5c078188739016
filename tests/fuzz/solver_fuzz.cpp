// Coverage-guided fuzzing of the exact solver: the optimality conditions of every result, and its
// work.
//
// Built by `./dev fuzz-solver` with libFuzzer, AddressSanitizer and
// UndefinedBehaviorSanitizer.  An input is a vector of arbitrary doubles with
// per-element (or shared) bounds, including infinite ones and ones near the
// largest double, optional weights from 10^-9 to 10^9, and an h inside its
// range.  For every input the solver must stay within its bound of element
// visits, and its result x must satisfy, in 80-bit arithmetic where the
// platform has it, the conditions that characterise the projection:
// l <= x <= u; the elements strictly between their bounds share one shift
// tau (x_j = y_j - tau*w_j); those at u have y_j - tau*w_j >= u_j and those
// at l have y_j - tau*w_j <= l_j; and sum_j w_j x_j = h, each to a few ulps
// of the vector's scale.  Vectors holding NaN or infinities must merely
// finish.  Through the batch solver, the vector alone and the same vector
// after another one (whose shift its rounds may start from) must give the
// same bytes, and a vector with shared bounds solved again from its own
// shift too.
#include "core/finish.hpp"
#include "core/passes.hpp"
#include "core/shift.hpp"
#include "core/solver.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using Wide = long double;
constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr Wide k_eps = std::numeric_limits<double>::epsilon();

struct Reader {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    double raw()
    {
        std::uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) {
            bits |= static_cast<std::uint64_t>(byte()) << (8 * k);
        }
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
    // A double from a small set of telling values, or arbitrary bits.
    double value()
    {
        static const double special[] = {0.0,    -0.0,  1.0,    -1.0, 0.5,  3.0, 1e308, -1e308,
                                         1e-300, k_inf, -k_inf, 2.0,  -7.0, 1e8, 1e-8,  0.25};
        const std::uint8_t b = byte();
        if (b < 128) {
            return special[b % 16];
        }
        return raw();
    }
};

const std::vector<double> *g_y, *g_x, *g_l, *g_u, *g_w;
double g_h;

[[noreturn]] void fail(const char *what, std::size_t j)
{
    std::fprintf(stderr, "solver_fuzz: %s (element %zu), h = %.17g\n", what, j, g_h);
    for (std::size_t k = 0; k < g_y->size() && k < 40; ++k) {
        std::fprintf(stderr, "  y %.17g  l %.17g  u %.17g  w %.17g  -> x %.17g\n", (*g_y)[k],
                     (*g_l)[k], (*g_u)[k], (*g_w)[k], (*g_x)[k]);
    }
    std::abort();
}

// The conditions on one result x of the vector (g_y, bounds, weights, h);
// `reported_finite` is what the solver said of y.
void check(const std::vector<double> &x, bool reported_finite)
{
    const std::vector<double> &y = *g_y, &l = *g_l, &u = *g_u, &w = *g_w;
    const double h = g_h;
    const std::size_t n = y.size();
    g_x = &x;
    bool finite = true;
    for (std::size_t j = 0; j < n; ++j) {
        finite = finite && std::isfinite(y[j]);
    }
    if (!finite) {
        if (reported_finite) {
            fail("a NaN or infinity not reported", 0);
        }
        return;
    }
    if (!reported_finite) {
        fail("a finite vector reported as non-finite", 0);
    }

    for (std::size_t j = 0; j < n; ++j) {
        // An answer near the largest double is checked like any other, even
        // where its shift (x_j / w_j, small weights) is beyond the doubles.
        if (std::isinf(x[j])) {
            if (x[j] != (x[j] > 0 ? u[j] : l[j])) {
                fail("an infinite x_j inside finite bounds", j);
            }
            return;  // the projection itself is beyond the doubles
        }
    }
    // The vector's scale: its largest finite magnitude.
    Wide scale = std::fabs(static_cast<Wide>(h)) / n;
    for (std::size_t j = 0; j < n; ++j) {
        for (const double s : {y[j], x[j], l[j], u[j]}) {
            if (std::isfinite(s)) {
                scale = std::max(scale, static_cast<Wide>(std::fabs(s)));
            }
        }
    }
    // One shift for the free elements; an interval of shifts that the
    // elements at a bound allow.
    Wide tau_lo = -INFINITY, tau_hi = INFINITY;
    Wide sum = 0, size_of_sum = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (!(l[j] <= x[j] && x[j] <= u[j])) {
            fail("x outside its bounds", j);
        }
        const Wide wj = w[j];
        sum += wj * x[j];
        // Below the normal doubles rounding is absolute (of x_j and of the product).
        size_of_sum += wj * (scale + 2 * std::numeric_limits<double>::denorm_min() / k_eps);
        size_of_sum += 2 * std::numeric_limits<double>::denorm_min() / k_eps;
        const Wide shift = (static_cast<Wide>(y[j]) - x[j]) / wj;
        // Each element's shift is known to a few ulps of the scale (divided by its weight).
        const Wide slack = (8 * k_eps * scale + 2 * std::numeric_limits<double>::denorm_min()) / wj;
        const bool at_u = x[j] == u[j];
        const bool at_l = x[j] == l[j];
        if (!at_u && !at_l) {
            tau_lo = std::max(tau_lo, shift - slack);
            tau_hi = std::min(tau_hi, shift + slack);
        }
        else {
            // At u: tau <= (y - u)/w, at l: tau >= (y - l)/w (either when l == u).
            if (at_u && !at_l) {
                tau_hi = std::min(tau_hi, shift + slack);
            }
            if (at_l && !at_u) {
                tau_lo = std::max(tau_lo, shift - slack);
            }
        }
    }
    if (!(tau_lo <= tau_hi)) {
        fail("no single shift explains x (free elements disagree, or a bound is on the wrong side)",
             0);
    }
    if (std::fabs(sum - h) > 16 * k_eps * (size_of_sum + std::fabs(static_cast<Wide>(h)))) {
        fail("sum_j w_j x_j is not h", 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Reader in{data, size};
    const std::uint8_t shape = in.byte();
    const bool l_each = shape & 1;
    const bool u_each = shape & 2;
    const bool w_each = shape & 4;
    const std::size_t n = 1 + (size / 9) % 700;
    std::vector<double> y(n), l(n), u(n), w(n, 1.0);
    // With weights up to 10^9 the shift is up to 10^9 times smaller than the
    // values it moves: values too small for it to be a normal double are 0.
    const auto tame = [w_each](double v) {
        return w_each && std::fabs(v) < 0x1p-900 ? 0.0 * v : v;
    };
    for (std::size_t j = 0; j < n; ++j) {
        // Runs of equal values (ties) are common in what users project.
        y[j] = (j > 0 && in.byte() < 64) ? y[j - 1] : tame(in.value());
    }
    const double l_all = tame(in.value());
    const double u_all = tame(in.value());
    for (std::size_t j = 0; j < n; ++j) {
        l[j] = l_each ? tame(in.value()) : l_all;
        u[j] = u_each ? tame(in.value()) : u_all;
        if (std::isnan(l[j]) || l[j] == k_inf) {
            l[j] = -k_inf;
        }
        if (std::isnan(u[j]) || u[j] == -k_inf) {
            u[j] = k_inf;
        }
        if (l[j] > u[j]) {
            // Keep a bound shared by every element shared.
            if (u_each) {
                u[j] = l[j];
            }
            else if (l_each) {
                l[j] = u[j];
            }
            else {
                std::swap(l[j], u[j]);
            }
        }
        if (w_each) {
            // Weights from 10^-9 to 10^9: a free element's small weight
            // divides the rounding of the others' terms by itself.
            const int high = in.byte();
            const int k = high << 8 | in.byte();
            w[j] = std::pow(10.0, -9.0 + 18.0 * k / 65535.0);
        }
    }
    // h somewhere in [sum w l, sum w u] (a finite part of it).
    Wide low = 0, high = 0;
    for (std::size_t j = 0; j < n; ++j) {
        low += static_cast<Wide>(w[j]) * l[j];
        high += static_cast<Wide>(w[j]) * u[j];
    }
    const Wide t = in.byte() / 255.0L;
    Wide h_wide;
    if (std::isfinite(low) && std::isfinite(high)) {
        h_wide = low + t * (high - low);
    }
    else if (std::isfinite(low)) {
        h_wide = low + t * 1e3L;
    }
    else if (std::isfinite(high)) {
        h_wide = high - t * 1e3L;
    }
    else {
        h_wide = (t - 0.5L) * 1e3L;
    }
    const double h = static_cast<double>(h_wide);
    if (!std::isfinite(h) || static_cast<Wide>(h) < low || static_cast<Wide>(h) > high) {
        return 0;  // no feasible h that is a double
    }

    tavorin::shift::Vector<double> v;
    v.span.y = y.data();
    v.span.n = static_cast<std::ptrdiff_t>(n);
    v.span.l = l_each ? l.data() : nullptr;
    v.span.u = u_each ? u.data() : nullptr;
    v.span.w = w_each ? w.data() : nullptr;
    v.span.l_all = l[0];
    v.span.u_all = u[0];
    v.h = h;
    tavorin::shift::Workspace ws;
    ws.plain = (shape & 8) != 0;
    ws.filter_min_n = (shape & 16) ? 64 : ws.filter_min_n;
    ws.summing_min_n = (shape & 128) ? 0 : ws.summing_min_n;
    const tavorin::shift::Splitter one;
    std::vector<double> x(n);
    // Writing ahead of the verification (into x) or not.
    const tavorin::shift::Found found =
        tavorin::shift::solve_vector(v, ws, one, (shape & 32) ? x.data() : nullptr);
    g_y = &y;
    g_x = &x;
    g_l = &l;
    g_u = &u;
    g_w = &w;
    g_h = h;
    if (found.scaled) {
        tavorin::shift::write_scaled(v, ws, found, x.data());
    }
    else if (!found.written) {
        tavorin::shift::write_vector(v, found.tau, x.data(), ws, one);
    }

    // The work: a bounded number of passes (Newton, then at most 64 of bisection).
    const double log_n = std::log2(static_cast<double>(n) + 1);
    if (static_cast<double>(ws.visits) > 200.0 * n * log_n + 20000) {
        fail("more element visits than O(n log n) allows", 0);
    }
    check(x, found.finite);
    if (!l_each && !u_each && !w_each && found.finite && !found.scaled &&
        static_cast<std::ptrdiff_t>(n) < ws.filter_min_n) {
        // Started from its own shift (as from a like neighbour's): the same bytes
        // once the two results are settled as the batch solver settles them (the
        // rounds from there may end on another shift; where they go to the scaled
        // copy, the vector's own start is taken again).
        tavorin::shift::Workspace again;
        again.plain = ws.plain;
        again.filter_min_n = ws.filter_min_n;
        again.summing_min_n = ws.summing_min_n;
        std::vector<double> x1(n), x2(n);
        tavorin::shift::Found other = tavorin::shift::solve_vector(
            v, again, one, (shape & 32) ? x2.data() : nullptr, found.tau);
        tavorin::shift::Workspace cold;
        cold.plain = ws.plain;
        cold.filter_min_n = ws.filter_min_n;
        cold.summing_min_n = ws.summing_min_n;
        tavorin::shift::Workspace *other_ws = &again;
        if (other.scaled) {
            // As the batch solver does: the vector's own start again.
            other = tavorin::shift::solve_vector(v, cold, one, static_cast<double *>(nullptr),
                                                 std::numeric_limits<double>::quiet_NaN());
            other_ws = &cold;
        }
        // What the batch solver writes for a result of the rounds (solver.cpp,
        // solve_one): the shift the finish's rule settles, else the rounds' own.
        const auto write_settled = [&](const tavorin::shift::Found &f, tavorin::shift::Workspace &w,
                                       double *out) {
            namespace finish = tavorin::finish;
            if (f.scaled && f.verified) {
                tavorin::shift::write_scaled(v, w, f, out);
                return;
            }
            const finish::Elements<double> e{
                v.span.y, 1, nullptr, nullptr, nullptr, v.span.l_all, v.span.u_all, v.span.n};
            finish::Settled s;
            if (f.scaled) {
                s = finish::settle(e, v.h, std::numeric_limits<double>::quiet_NaN());
            }
            else {
                const double scale = finish::band_scale(v.span.l_all, v.span.u_all);
                const finish::Band band = tavorin::shift::band_vector(
                    v, finish::band_lo(f.tau, scale), finish::band_hi(f.tau, scale), w, one);
                s = finish::settle(e, v.h, f.tau, &band);
            }
            if (s.ok) {
                tavorin::shift::write_vector(v, s.tau, out, w, one);
            }
            else if (f.scaled) {
                tavorin::shift::write_scaled(v, w, f, out);
            }
            else {
                tavorin::shift::write_vector(v, f.tau, out, w, one);
            }
        };
        write_settled(found, ws, x1.data());
        write_settled(other, *other_ws, x2.data());
        if (std::memcmp(x1.data(), x2.data(), n * sizeof(double)) != 0) {
            fail("started from its own shift, the vector gets other bytes", 0);
        }
    }
    {
        // What a caller gets: the vector alone, and as the second and third
        // of a batch led by another vector (2y + 1, its bounds and weights),
        // whose shift the next one's rounds may start from.  The three
        // results must be one, whatever the rounds started from, and meet
        // the conditions.
        const std::ptrdiff_t nn = static_cast<std::ptrdiff_t>(n);
        std::vector<double> rows(3 * n), ls(3 * n), us(3 * n), ws3(3 * n), out(3 * n), alone(n);
        for (std::ptrdiff_t r = 0; r < 3; ++r) {
            for (std::ptrdiff_t j = 0; j < nn; ++j) {
                rows[r * nn + j] = r == 0 ? 2 * y[j] + 1 : y[j];
                ls[r * nn + j] = l[j];
                us[r * nn + j] = u[j];
                ws3[r * nn + j] = w[j];
            }
        }
        const double lv = l[0], uv = u[0];
        const auto problem = [&](const double *ys, double *xs, std::ptrdiff_t m) {
            tavorin::Problem p;
            p.y = reinterpret_cast<const char *>(ys);
            p.out = reinterpret_cast<char *>(xs);
            p.m = m;
            p.n = nn;
            p.y_stride = p.out_stride = nn * static_cast<std::ptrdiff_t>(sizeof(double));
            p.h = {&h, 0};
            p.l.vector = {&lv, 0};
            p.u.vector = {&uv, 0};
            const std::ptrdiff_t stride = nn * static_cast<std::ptrdiff_t>(sizeof(double));
            const std::ptrdiff_t skip = m == 3 ? 0 : nn;  // the copies of y's operands
            if (l_each) {
                p.l.each = reinterpret_cast<const char *>(ls.data() + skip);
                p.l.each_stride = stride;
            }
            if (u_each) {
                p.u.each = reinterpret_cast<const char *>(us.data() + skip);
                p.u.each_stride = stride;
            }
            if (w_each) {
                p.w.each = reinterpret_cast<const char *>(ws3.data() + skip);
                p.w.each_stride = stride;
            }
            p.check_finite = true;
            return p;
        };
        const bool plain = (shape & 8) != 0;
        const bool was_plain = tavorin::passes::plain_forced();
        tavorin::passes::force_plain(plain);
        const std::ptrdiff_t first_alone =
            tavorin::solve_rows(problem(rows.data() + nn, alone.data(), 1), 0, 1);
        const tavorin::Problem batch = problem(rows.data(), out.data(), 3);
        const std::ptrdiff_t first_batch = tavorin::solve_rows(batch, 0, 3);
        tavorin::passes::force_plain(was_plain);
        if (first_alone < 0) {
            check(alone, true);
            if (first_batch == 0) {
                // The leading vector overflowed to a non-finite one: y's own
                // results are not written then.
            }
            else {
                for (std::ptrdiff_t r = 1; r < 3; ++r) {
                    if (std::memcmp(alone.data(), out.data() + r * nn, n * sizeof(double)) != 0) {
                        g_x = &alone;
                        fail("in a batch, the vector gets other bytes than alone", 0);
                    }
                }
            }
        }
    }
    if (!l_each && !u_each && !w_each &&
        n <= static_cast<std::size_t>(tavorin::passes::k_side_max_n)) {
        // The same vector through the batch solver, which solves vectors
        // with shared bounds side by side in lanes: in several copies (a lane
        // each, the ninth starting from the first's shift), each checked.
        const std::ptrdiff_t m = (shape & 64) ? 9 : 1;
        std::vector<double> rows(static_cast<std::size_t>(m) * n), out(rows.size());
        for (std::ptrdiff_t r = 0; r < m; ++r) {
            std::copy(y.begin(), y.end(), rows.begin() + r * static_cast<std::ptrdiff_t>(n));
        }
        const double lv = l[0], uv = u[0];
        tavorin::Problem p;
        p.y = reinterpret_cast<const char *>(rows.data());
        p.out = reinterpret_cast<char *>(out.data());
        p.m = m;
        p.n = static_cast<std::ptrdiff_t>(n);
        p.y_stride = p.out_stride = p.n * static_cast<std::ptrdiff_t>(sizeof(double));
        p.h = {&h, 0};
        p.l.vector = {&lv, 0};
        p.u.vector = {&uv, 0};
        p.check_finite = true;
        const bool plain = (shape & 8) != 0;
        const bool was_plain = tavorin::passes::plain_forced();
        tavorin::passes::force_plain(plain);
        const std::ptrdiff_t first = tavorin::solve_rows(p, 0, m);
        tavorin::passes::force_plain(was_plain);
        for (std::ptrdiff_t r = 0; r < m; ++r) {
            const std::vector<double> x_r(out.begin() + r * p.n, out.begin() + (r + 1) * p.n);
            if (first >= 0 && r >= first) {
                if (first != 0) {
                    fail("the batch solver reported a later vector than the first", 0);
                }
                check(x_r, false);
                break;
            }
            check(x_r, true);
        }
    }
    return 0;
}
