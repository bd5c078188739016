// The exact sign of a one-sided vector's clipped sum against h (one_sided_row.hpp).
#include "core/one_sided_row.hpp"

#include "core/exact_sum.hpp"
#include "core/passes.hpp"
#include "core/simd.hpp"

#include <cmath>
#include <limits>

namespace tavorin::one_sided {

namespace {

// The sign of sum_j w_j clip(y_j) - h, exactly.
template <class T>
int exact_sign(const Row<T> &r, double h) noexcept
{
    ExactSum s;
    for (std::ptrdiff_t j = 0; j < r.n; ++j) {
        s.add(r.weight(j), static_cast<double>(r.clip(j)));
    }
    s.add(-h);
    return s.sign();
}

// Whether y holds a NaN or an infinity (the sum of y above was not finite:
// either, or finite elements past the doubles).
template <class T>
bool nonfinite(const Row<T> &r) noexcept
{
    for (std::ptrdiff_t j = 0; j < r.n; ++j) {
        if (!std::isfinite(static_cast<double>(r.y[j]))) {
            return true;
        }
    }
    return false;
}

// The sign from four lanes' sums: of the terms, of their magnitudes, and of
// y itself (not finite after a NaN or an infinity), or 2 for a NaN or an
// infinity in y.
template <class T>
int decided(const Row<T> &r, const double (&sum)[4], const double (&size)[4],
            const double (&probe)[4], double h) noexcept
{
    const double total = ((sum[0] + sum[1]) + (sum[2] + sum[3])) - h;
    const double magnitude = ((size[0] + size[1]) + (size[2] + size[3])) + std::fabs(h);
    if (!std::isfinite((probe[0] + probe[1]) + (probe[2] + probe[3])) && nonfinite(r)) {
        return 2;
    }
    const double bound = passes::clip_error(r.n).of(magnitude);
    if (std::isfinite(bound) && std::fabs(total) > bound) {
        return total > 0 ? 1 : -1;
    }
    return exact_sign(r, h);
}

// The elements [from, n) into the first of the sums (the clip written to x
// when not null), one at a time: the tail the four sums leave.
template <class T>
inline void add_tail(const Row<T> &r, T *x, std::ptrdiff_t from, double (&sum)[4],
                     double (&size)[4], double (&probe)[4]) noexcept
{
    for (std::ptrdiff_t j = from; j < r.n; ++j) {
        const T c = r.clip(j);
        if (x) {
            x[j] = c;
        }
        const double t = r.weight(j) * static_cast<double>(c);
        sum[0] += t;
        size[0] += std::fabs(t);
        probe[0] += static_cast<double>(r.y[j]);
    }
}

// The sign of sum_j w_j clip(y_j) - h (the clip written to x when not
// null), or 2 when y holds a NaN or an infinity: from a sum in doubles where
// its error bound decides it, else exactly (a sum within rounding of h, or
// beyond the doubles).
template <class T>
int clip_sign_plain(const Row<T> &r, T *x, double h) noexcept
{
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    double size[4] = {0.0, 0.0, 0.0, 0.0};
    double probe[4] = {0.0, 0.0, 0.0, 0.0};  // y itself: not finite after a NaN or an infinity
    std::ptrdiff_t j = 0;
    for (; j + 4 <= r.n; j += 4) {
        for (int k = 0; k < 4; ++k) {
            const T c = r.clip(j + k);
            if (x) {
                x[j + k] = c;
            }
            const double t = r.weight(j + k) * static_cast<double>(c);
            sum[k] += t;
            size[k] += std::fabs(t);
            probe[k] += static_cast<double>(r.y[j + k]);
        }
    }
    add_tail(r, x, j, sum, size, probe);
    return decided(r, sum, size, probe, h);
}

// clip_sign_plain in lanes of four; the clip is min(max(y, l), u), which
// classes as the rule does (at u when u <= y, else at l when y <= l).
template <class T, bool Write, bool Each, bool Weighted>
TAVORIN_SIMD_KERNEL int clip_sign_simd(const Row<T> &r, T *x, double h) noexcept
{
    using namespace simd;
    const F64x4 l_all = broadcast(static_cast<double>(r.l_all));
    const F64x4 u_all = broadcast(static_cast<double>(r.u_all));
    const F64x4 w_all = broadcast(r.w_all);
    F64x4 sum = zero(), size = zero(), probe = zero();
    const std::ptrdiff_t n4 = r.n - r.n % 4;
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const F64x4 y = load(r.y + j);
        const F64x4 l = Each && r.l ? load(r.l + j) : l_all;
        const F64x4 u = Each && r.u ? load(r.u + j) : u_all;
        const F64x4 c = min(max(y, l), u);
        if (Write) {
            store(x + j, c);
        }
        const F64x4 t = Weighted ? (Each && r.w ? load(r.w + j) : w_all) * c : c;
        sum = sum + t;
        size = size + max(t, negated(t));
        probe = probe + y;
    }
    double sums[4], sizes[4], probes[4];
    store(sums, sum);
    store(sizes, size);
    store(probes, probe);
    add_tail(r, Write ? x : nullptr, n4, sums, sizes, probes);
    return decided(r, sums, sizes, probes, h);
}

}  // namespace

template <class T>
int clip_sign(const Row<T> &r, T *x, double h) noexcept
{
    if (!simd::available()) {
        return clip_sign_plain(r, x, h);
    }
    const bool each = r.l || r.u || r.w;
    const bool weighted = r.w || r.w_all != 1.0;
    if (each) {
        return x ? clip_sign_simd<T, true, true, true>(r, x, h)
                 : clip_sign_simd<T, false, true, true>(r, x, h);
    }
    if (weighted) {
        return x ? clip_sign_simd<T, true, false, true>(r, x, h)
                 : clip_sign_simd<T, false, false, true>(r, x, h);
    }
    return x ? clip_sign_simd<T, true, false, false>(r, x, h)
             : clip_sign_simd<T, false, false, false>(r, x, h);
}

template int clip_sign<float>(const Row<float> &, float *, double) noexcept;
template int clip_sign<double>(const Row<double> &, double *, double) noexcept;

}  // namespace tavorin::one_sided
