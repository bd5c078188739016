// Which vectors have an empty or ill-defined set, and which hold a NaN or an infinity.
#include "core/feasibility.hpp"

#include "core/passes.hpp"
#include "core/twofold.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavorin {

namespace {

constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr double k_eps = std::numeric_limits<double>::epsilon();
// Products are summed at 2^-600 of their size: no sum of 2^62 of them
// overflows, and the terms that underflow there are far below the tolerance.
constexpr int k_down = 600;

// The sum of w_j b_j over a vector, compensated and scaled down; infinite
// when some b_j is infinite (with that sign); `size` gets sum |w_j b_j|.
struct Scaled {
    Twofold sum;
    double size = 0.0;
    bool infinite = false;
};

void add(Scaled &s, double w, double b, double times = 1.0) noexcept
{
    if (std::isinf(b)) {
        s.infinite = true;
        return;
    }
    // Each product with its rounding error, as the solver sums them: the
    // sum is then exact far below the slack, which alone decides.
    double t;
    double e;
    two_product(std::ldexp(w, -k_down / 2), std::ldexp(b, -k_down / 2), t, e);
    if (times != 1.0) {
        double f;
        e *= times;
        two_product(t, times, t, f);
        e += f;
    }
    s.sum = s.sum + t;
    s.sum.lo += e;
    s.size += std::fabs(t);
}

template <class T>
const T *row(const Operand &o, std::ptrdiff_t i) noexcept
{
    return o.each ? reinterpret_cast<const T *>(o.each + i * o.each_stride) : nullptr;
}

template <class T>
double value(const Operand &o, std::ptrdiff_t i, std::ptrdiff_t j) noexcept
{
    if (o.each) {
        return static_cast<double>(reinterpret_cast<const T *>(o.each + i * o.each_stride)[j]);
    }
    return o.vector[i];
}

// l not NaN or +inf, u not NaN or -inf, l <= u, w finite and > 0 (without
// branches: l <= u is false for a NaN).
bool valid(double l, double u, double w) noexcept
{
    return (l <= u) & (l != k_inf) & (u != -k_inf) & (w > 0) & (w < k_inf);
}

// Whether h - sum w_j l_j (or sum w_j u_j - h) clears -slack, from its plain
// sum `distance`: 1 or 0 where a bound on that sum's error decides it as the
// exact sums would, -1 where it does not.  Each product and each addition
// rounds once, by half an ulp of a partial sum of magnitudes or, underflowing,
// of the least double (n + 2 of those are below 2^-1000 for any n, a normal
// number: arithmetic on subnormals costs a hundred cycles); the slack taken
// from the plain magnitudes is within n roundings of the compensated sums'
// own, far inside the bound.
int clears(double distance, double magnitude, double h, double n) noexcept
{
    const double scale = magnitude + std::fabs(h);
    const double slack = 4 * k_eps * scale;
    const double error = 2 * (n + 8) * k_eps * scale + 0x1p-1000;
    if (!std::isfinite(distance) || !std::isfinite(error)) {
        return -1;
    }
    if (distance + slack > error) {
        return 1;
    }
    return distance + slack < -error ? 0 : -1;
}

// The per-element case in plain doubles: 1 feasible, 0 not, -1 for the
// compensated sums to decide (h near an end of its range, or a product
// overflowing): a few operations an element where the compensated sums take
// four scalings and two error-free products.
template <class T>
int feasible_plain(const Problem &p, std::ptrdiff_t i, double h, bool weighted) noexcept
{
    const T *ls = row<T>(p.l, i);
    const T *us = row<T>(p.u, i);
    const T *ws = weighted ? row<T>(p.w, i) : nullptr;
    const double l_all = ls ? 0.0 : p.l.vector[i];
    const double u_all = us ? 0.0 : p.u.vector[i];
    const double w_all = ws || !weighted ? 1.0 : p.w.vector[i];
    double low = 0.0;
    double high = 0.0;
    double low_size = 0.0;
    double high_size = 0.0;
    bool ok = true;
    bool low_infinite = false;
    bool high_infinite = false;
    // No branch on the values: the loop runs to the end either way.  An l of
    // +inf, a u of -inf or a w of +inf leaves a sum that is not finite, for
    // the compensated pass to refuse element by element.
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        const double l = ls ? static_cast<double>(ls[j]) : l_all;
        const double u = us ? static_cast<double>(us[j]) : u_all;
        const double w = ws ? static_cast<double>(ws[j]) : w_all;
        ok &= (l <= u) & (w > 0);
        const bool l_inf = l == -k_inf;
        const bool u_inf = u == k_inf;
        low_infinite |= l_inf;
        high_infinite |= u_inf;
        const double tl = l_inf ? 0.0 : w * l;
        const double tu = u_inf ? 0.0 : w * u;
        low += tl;
        high += tu;
        low_size += std::fabs(tl);
        high_size += std::fabs(tu);
    }
    if (!ok) {
        return 0;
    }
    if (!std::isfinite(low + high) || !std::isfinite(low_size + high_size)) {
        return -1;
    }
    const double n = static_cast<double>(p.n);
    const int above_low = p.sense < 0 || low_infinite ? 1 : clears(h - low, low_size, h, n);
    const int below_high = p.sense > 0 || high_infinite ? 1 : clears(high - h, high_size, h, n);
    if (above_low == 0 || below_high == 0) {
        return 0;
    }
    return above_low == 1 && below_high == 1 ? 1 : -1;
}

// The same with one l, u and w (valid) for every element: n*w*l and n*w*u
// in plain doubles, whose two roundings (an underflow's error n times the
// least double's at most) are far inside the error clears allows n terms.
int feasible_row(const Problem &p, double l, double u, double w, double h) noexcept
{
    const double n = static_cast<double>(p.n);
    const double low = l == -k_inf ? 0.0 : n * (w * l);
    const double high = u == k_inf ? 0.0 : n * (w * u);
    if (!std::isfinite(low) || !std::isfinite(high)) {
        return -1;
    }
    const int above_low = p.sense < 0 || l == -k_inf ? 1 : clears(h - low, std::fabs(low), h, n);
    const int below_high = p.sense > 0 || u == k_inf ? 1 : clears(high - h, std::fabs(high), h, n);
    if (above_low == 0 || below_high == 0) {
        return 0;
    }
    return above_low == 1 && below_high == 1 ? 1 : -1;
}

template <class T>
bool feasible(const Problem &p, std::ptrdiff_t i) noexcept
{
    const double h = p.h[i];
    if (!std::isfinite(h)) {
        return false;
    }
    const bool weighted = p.w.vector.data != nullptr || p.w.each != nullptr;
    const bool each = p.l.each || p.u.each || p.w.each;
    if (each) {
        const int plain = feasible_plain<T>(p, i, h, weighted);
        if (plain >= 0) {
            return plain == 1;
        }
    }
    Scaled low;
    Scaled high;
    if (!each) {
        // The same terms throughout: n times one of them, exactly enough.
        const double l = p.l.vector[i];
        const double u = p.u.vector[i];
        const double w = weighted ? p.w.vector[i] : 1.0;
        if (!valid(l, u, w)) {
            return false;
        }
        const int plain = feasible_row(p, l, u, w, h);
        if (plain >= 0) {
            return plain == 1;
        }
        const double n = static_cast<double>(p.n);
        add(low, w, l, n);
        add(high, w, u, n);
    }
    for (std::ptrdiff_t j = 0; each && j < p.n; ++j) {
        const double l = value<T>(p.l, i, j);
        const double u = value<T>(p.u, i, j);
        const double w = weighted ? value<T>(p.w, i, j) : 1.0;
        if (!valid(l, u, w)) {
            return false;
        }
        add(low, w, l);
        add(high, w, u);
    }
    const double hs = std::ldexp(h, -k_down);
    // A few ulps of the terms' scale, and of h's own.
    const double slack_low = 4 * k_eps * (low.size + std::fabs(hs));
    const double slack_high = 4 * k_eps * (high.size + std::fabs(hs));
    // One-sided, only the side the sum is bounded from.
    const bool above_low =
        p.sense < 0 || low.infinite || (hs - low.sum.hi) - low.sum.lo >= -slack_low;
    const bool below_high =
        p.sense > 0 || high.infinite || (high.sum.hi - hs) + high.sum.lo >= -slack_high;
    return above_low && below_high;
}

}  // namespace

std::ptrdiff_t first_infeasible(const Problem &p) noexcept
{
    // Scalar values are the common case: one vector stands for all.
    const bool same_for_all = p.h.stride == 0 && !p.l.each && p.l.vector.stride == 0 && !p.u.each &&
                              p.u.vector.stride == 0 && !p.w.each && p.w.vector.stride == 0;
    const std::ptrdiff_t rows = same_for_all && p.m > 0 ? 1 : p.m;
    // Values per vector often repeat along the batch (one value broadcast to
    // every vector): a vector with the last one's h, l, u and w is as feasible.
    const bool per_vector = !p.l.each && !p.u.each && !p.w.each;
    double last[4] = {};
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        if (per_vector) {
            const double now[4] = {p.h[i], p.l.vector[i], p.u.vector[i],
                                   p.w.vector.data ? p.w.vector[i] : 1.0};
            const bool again = i > 0 && now[0] == last[0] && now[1] == last[1] &&
                               now[2] == last[2] && now[3] == last[3];
            std::copy(now, now + 4, last);
            if (again) {
                continue;
            }
        }
        if (!(p.single ? feasible<float>(p, i) : feasible<double>(p, i))) {
            return i;
        }
    }
    return -1;
}

std::ptrdiff_t first_nonfinite(const char *y, std::ptrdiff_t m, std::ptrdiff_t n,
                               std::ptrdiff_t stride, bool single) noexcept
{
    const bool plain = passes::plain_forced();
    const auto &doubles = passes::table<double>(false, false, false, plain);
    const auto &floats = passes::table<float>(false, false, false, plain);
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const char *row = y + i * stride;
        const bool finite = single ? floats.finite(reinterpret_cast<const float *>(row), n)
                                   : doubles.finite(reinterpret_cast<const double *>(row), n);
        if (!finite) {
            return i;
        }
    }
    return -1;
}

}  // namespace tavorin
