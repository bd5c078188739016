// Which vectors have an empty or ill-defined set, and which hold a NaN or an infinity.
#ifndef TAVORIN_CORE_FEASIBILITY_HPP
#define TAVORIN_CORE_FEASIBILITY_HPP

#include "core/solver.hpp"

#include <cstddef>

namespace tavorin {

// The first of `problem.m` vectors (y and out unused) whose set is empty or
// not well defined, or -1: h not finite, l NaN or +inf, u NaN or -inf, some
// l_j > u_j, a weight not finite or not > 0, or h outside
// [sum_j w_j l_j, sum_j w_j u_j] by more than a few ulps of those sums' terms
// (sums are taken so that neither overflow nor rounding refuses a feasible
// set); one-sided, h below the first (sense 1) or above the second (-1).
std::ptrdiff_t first_infeasible(const Problem &problem) noexcept;

// The first of m rows (n elements of float32 when `single`, else float64,
// `stride` bytes apart) holding a NaN or an infinity, or -1.
std::ptrdiff_t first_nonfinite(const char *y, std::ptrdiff_t m, std::ptrdiff_t n,
                               std::ptrdiff_t stride, bool single) noexcept;

}  // namespace tavorin

#endif
