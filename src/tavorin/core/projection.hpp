// The projection of one row onto the capped simplex: residual, bracket and row update.
//
// Everything here runs on raw doubles, with no interpreter and no allocation,
// so it can be called from any thread; the root finder is handed in by the
// caller, which binds it.
#ifndef TAVORIN_CORE_PROJECTION_HPP
#define TAVORIN_CORE_PROJECTION_HPP

#include "core/root_finder.hpp"

#include <cstddef>

namespace tavorin {

// One row's problem, read by the residual through the root finder's untyped
// argument pointer.
struct params {
    std::ptrdiff_t n;
    double h;
    double l;
    double u;
    double *y;
};

// The clip of t to [l, u], in exactly this order and with these comparisons:
// a NaN t stays NaN (both tests are false), l > u gives l, and t == u gives t.
// Both steps map onto minsd/maxsd, so the loops stay branch-free.
inline double clip(double t, double l, double u) noexcept
{
    const double c = (u < t) ? u : t;
    return (l > c) ? l : c;
}

// The residual of a row for the trial shift `x`: the sum of the clipped,
// shifted row minus h.  Its type is the root finder's callback type.
double f(double x, void *args) noexcept;

// The bracket of a non-empty row: [min(y) - u, max(y) - l], with min and max
// taken by the interpreter's rules for floats.
void row_bracket(const double *y, std::ptrdiff_t n, double l, double u, double *xa,
                 double *xb) noexcept;

// Projects the row `p.y` in place: finds the shift with `brentq` on the
// bracket [xa, xb] and clips every element of the shifted row to [l, u].
void project_row(root_finder brentq, params &p, double xa, double xb, double xtol, double rtol,
                 int mitr) noexcept;

}  // namespace tavorin

#endif
