// The bracket of a row and the update of a row from the root finder's shift.
#include "core/projection.hpp"

#include <cmath>

namespace tavorin {

void row_bracket(const double *y, std::ptrdiff_t n, double l, double u, double *xa,
                 double *xb) noexcept
{
    // The first element stays unless a later one compares strictly smaller
    // (larger); NaN never does.  This is what the builtins min and max give
    // for a sequence of floats.
    double lo = y[0];
    double hi = y[0];
    for (std::ptrdiff_t j = 1; j < n; ++j) {
        const double v = y[j];
        lo = (v < lo) ? v : lo;
        hi = (v > hi) ? v : hi;
    }
    *xa = lo - u;
    *xb = hi - l;
}

namespace {

// The shift for a feasible row on which brentq saw one sign over the whole
// bracket.  In exact arithmetic that cannot happen, but rounded it does when
// h is at (or within rounding of) n*l or n*u: the residual at both ends then
// has the sign of the nearer end's rounding error, and brentq's answer (0)
// would leave the row merely clipped.  The residual at xb tells which end
// the root sits at: positive means h is at n*l, so every element goes to l
// (tau = xb); otherwise every element goes to u (tau = xa).  A NaN residual
// (a NaN in the row) keeps brentq's answer, as does a row whose set is empty
// or a single point (l == u: every shift gives the projection, and the row
// keeps the signed zeros brentq's shift gives it).
double shift_after_sign_error(params &p, double x, double xa, double xb) noexcept
{
    const double n = static_cast<double>(p.n);
    const bool feasible = p.l < p.u && n * p.l <= p.h && p.h <= n * p.u;
    if (!feasible || !std::isfinite(xa) || !std::isfinite(xb)) {
        return x;
    }
    const double at_xb = f(xb, &p);
    if (at_xb > 0.0) {
        return xb;
    }
    if (at_xb <= 0.0) {
        return xa;
    }
    return x;
}

}  // namespace

void project_row(root_finder brentq, params &p, double xa, double xb, double xtol, double rtol,
                 int mitr) noexcept
{
    // The status record is read only to catch a bracket with one sign; every
    // other row uses brentq's shift whatever it is.
    zeros_full_output status{};
    double x = brentq(f, xa, xb, &p, xtol, rtol, mitr, &status);
    if (status.error_num == k_sign_error) {
        x = shift_after_sign_error(p, x, xa, xb);
    }
    double *y = p.y;
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        y[j] = clip(y[j] - x, p.l, p.u);
    }
}

}  // namespace tavorin
