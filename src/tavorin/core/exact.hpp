// The exact shift of a row: the root of its piecewise-linear residual, refined from an estimate.
#ifndef TAVORIN_CORE_EXACT_HPP
#define TAVORIN_CORE_EXACT_HPP

#include "core/projection.hpp"

#include <cstddef>

namespace tavorin {

// The shift that solves sum_j clip(y_j - tau, l, u) = h exactly (up to the
// rounding of one sum and one division), starting from the estimate `tau`
// inside the bracket [xa, xb] of a feasible row.  NaN when the row holds a
// NaN or an infinity, so that such a row comes out all NaN.
double exact_shift(const params &p, double tau, double xa, double xb) noexcept;

// project_row with the shift from brentq refined by exact_shift.
void project_row_exact(root_finder brentq, params &p, double xa, double xb, double xtol,
                       double rtol, int mitr) noexcept;

}  // namespace tavorin

#endif
