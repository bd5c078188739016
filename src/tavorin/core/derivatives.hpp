// Derivatives of the projection at a computed x: tangents forward (JVP), cotangents back (VJP).
//
// Per vector, with x_j = clip(y_j - tau w_j, l_j, u_j) and sum_j w_j x_j = h,
// the free elements F = { j : l_j < x_j < u_j } (strict, read from x itself,
// so a tie counts as clipped) move with y and tau; the others sit at their
// bound and move with it.  With k = sum_F w_j^2:
//   dtau = (sum_F w dy + sum_L w dl + sum_U w du - dh) / k
//   dx_F = dy_F - dtau w_F,  dx_L = dl_L,  dx_U = du_U
// and, for a cotangent g with m = sum_F w g / k,
//   gy = 1_F (g - m w),  gh = m,  gl = 1_L (g - m w),  gu = 1_U (g - m w).
// A vector without free elements (k = 0) has tau undetermined; it is taken
// as fixed there, so the y-Jacobian and the h-derivative are zero.
#ifndef TAVORIN_CORE_DERIVATIVES_HPP
#define TAVORIN_CORE_DERIVATIVES_HPP

#include "core/row_values.hpp"

#include <cstddef>

namespace tavorin::derivatives {

using PerRow = RowValues;

// What one argument gives each element: its row's value, or (when
// `elements` is set) a value of its own, rows `row_stride` bytes apart.
template <typename Real>
struct Operand {
    const Real *elements;
    std::ptrdiff_t row_stride;
    PerRow rows;
};

// Where a bound's cotangent goes: per element (rows `row_stride` bytes apart),
// or summed over each row into `rows` (one double per row, adjacent), or nowhere.
template <typename Real>
struct Sink {
    Real *elements;
    std::ptrdiff_t row_stride;
    double *rows;
};

// m vectors of n elements: the projection x (rows contiguous, `x_stride`
// bytes apart), the bounds and the weights (rows.data null: every weight 1).
template <typename Real>
struct Sets {
    std::ptrdiff_t m;
    std::ptrdiff_t n;
    const Real *x;
    std::ptrdiff_t x_stride;
    Operand<Real> l;
    Operand<Real> u;
    Operand<Real> w;
};

// dx = J (dy, dh, dl, du); dx has x's layout with `dx_stride` between rows.
template <typename Real>
struct Jvp {
    Sets<Real> sets;
    Operand<Real> dy;
    PerRow dh;
    Operand<Real> dl;
    Operand<Real> du;
    Real *dx;
    std::ptrdiff_t dx_stride;
};

// (gy, gh, gl, gu) = J^T g; gy has x's layout, gh one double per row (or null).
template <typename Real>
struct Vjp {
    Sets<Real> sets;
    const Real *g;
    std::ptrdiff_t g_stride;
    Real *gy;
    std::ptrdiff_t gy_stride;
    double *gh;
    Sink<Real> gl;
    Sink<Real> gu;
};

// Each computes the rows [begin, end): O(n) per row, the row read twice
// (once for the sums, once for the results), the same bytes with or without
// AVX2.  Bounds given per row are compared with x after rounding to Real,
// as the projection rounds them when it writes an element at its bound.
template <typename Real>
void jvp_rows(const Jvp<Real> &jvp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;
template <typename Real>
void vjp_rows(const Vjp<Real> &vjp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;

// k = sum_F w_j^2 of each row (its number of free elements without
// weights), into k[begin .. end): what the derivatives divide by, for
// frameworks that differentiate the projection themselves.
template <typename Real>
void free_weight_rows(const Sets<Real> &sets, Real *k, std::ptrdiff_t begin,
                      std::ptrdiff_t end) noexcept;

// The same loops compiled on plain lanes: what the three above run where the
// processor has no AVX2, callable anywhere so that tests compare the bytes.
template <typename Real>
void jvp_rows_plain(const Jvp<Real> &jvp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;
template <typename Real>
void vjp_rows_plain(const Vjp<Real> &vjp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;
template <typename Real>
void free_weight_rows_plain(const Sets<Real> &sets, Real *k, std::ptrdiff_t begin,
                            std::ptrdiff_t end) noexcept;

}  // namespace tavorin::derivatives

#endif
