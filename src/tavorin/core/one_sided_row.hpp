// One vector of a one-sided set as its clip reads it, and the exact sign of the
// clip's sum against h (one_sided_sign.cpp): shared by the decisions in one_sided.cpp.
#ifndef TAVORIN_CORE_ONE_SIDED_ROW_HPP
#define TAVORIN_CORE_ONE_SIDED_ROW_HPP

#include "core/solver.hpp"

#include <cstddef>

namespace tavorin::one_sided {

// Vector i's values of a per-element operand, or null where it has one per vector.
template <class T>
const T *row_of(const Operand &o, std::ptrdiff_t i) noexcept
{
    return o.each ? reinterpret_cast<const T *>(o.each + i * o.each_stride) : nullptr;
}

// The elements of one vector as the clip reads them.
template <class T>
struct Row {
    const T *y;
    const T *l;  // per element, else l_all for all
    const T *u;
    const T *w;  // per element, else w_all (1 without weights)
    T l_all;
    T u_all;
    double w_all;
    std::ptrdiff_t n;

    // min(max(y, l), u) as the lanes take them (simd.hpp): at u when
    // u <= y, else at l when y <= l, as the passes class an element at a
    // shift of 0.
    T clip(std::ptrdiff_t j) const noexcept
    {
        const T y_j = y[j];
        const T u_j = u ? u[j] : u_all;
        const T l_j = l ? l[j] : l_all;
        const T c = y_j > l_j ? y_j : l_j;
        return c < u_j ? c : u_j;
    }
    double weight(std::ptrdiff_t j) const noexcept { return w ? static_cast<double>(w[j]) : w_all; }
};

// Vector i of the problem as the clip reads it.
template <class T>
inline Row<T> row_at(const Problem &p, std::ptrdiff_t i) noexcept
{
    Row<T> r;
    r.y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
    r.l = row_of<T>(p.l, i);
    r.u = row_of<T>(p.u, i);
    r.w = row_of<T>(p.w, i);
    r.l_all = r.l ? T(0) : static_cast<T>(p.l.vector[i]);
    r.u_all = r.u ? T(0) : static_cast<T>(p.u.vector[i]);
    r.w_all = p.w.vector.data && !p.w.each ? p.w.vector[i] : 1.0;
    r.n = p.n;
    return r;
}

// The sign of sum_j w_j clip(y_j) - h (the clip written to x when not null),
// or 2 when y holds a NaN or an infinity: from a sum in doubles where its
// error bound decides it, else exactly (a sum within rounding of h, or beyond
// the doubles).
template <class T>
int clip_sign(const Row<T> &r, T *x, double h) noexcept;

}  // namespace tavorin::one_sided

#endif
