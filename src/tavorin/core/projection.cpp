// The bracket of a row and the update of a row from the root finder's shift.
#include "core/projection.hpp"

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

void project_row(root_finder brentq, params &p, double xa, double xb, double xtol, double rtol,
                 int mitr) noexcept
{
    // No status record: the shift is used whatever brentq returns.
    const double x = brentq(f, xa, xb, &p, xtol, rtol, mitr, nullptr);
    double *y = p.y;
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        y[j] = clip(y[j] - x, p.l, p.u);
    }
}

}  // namespace tavorin
