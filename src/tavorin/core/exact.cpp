// The exact shift of a row: the root of its piecewise-linear residual, refined from an estimate.
//
// sum_j clip(y_j - tau, l, u) is continuous, non-increasing and linear between
// the breakpoints y_j - u (element j leaves u) and y_j - l (it reaches l).  On
// the piece that holds an estimate, the elements strictly between their
// breakpoints are free and the others sit at a bound, so the root of that
// piece's line is one division.  If it falls outside the piece, the piece is
// cut from the bracket and the scan repeats where the line pointed (or at the
// bracket's middle when it pointed outside the bracket).  brentq's estimate
// is usually on the root's piece or next to it: one or two scans.
#include "exact.hpp"

#include <cmath>
#include <limits>

namespace tavorin {

namespace {

constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

// Enough for brentq's estimate in every case we have seen by far; each round
// cuts at least one piece off the bracket, so this only bounds pathological
// rows, which then keep the last root of a piece's line.
constexpr int k_max_rounds = 64;

// The piece of the residual that holds a shift, seen from the right: an
// element whose breakpoint equals the shift counts as it is just above it.
struct Piece {
    std::ptrdiff_t upper = 0;  // elements at u
    std::ptrdiff_t lower = 0;  // elements at l
    double free_sum = 0.0;     // sum of the free elements' y_j
    double below = -k_inf;     // the last breakpoint at or below the shift
    double above = k_inf;      // the first breakpoint above it
};

// The free elements' sum needs no fixed order (the division that follows
// rounds anyway), so four running sums keep the loop free of one long chain.
Piece scan(const params &p, double tau) noexcept
{
    Piece piece;
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        const double v = p.y[j];
        const double leaves_u = v - p.u;
        const double reaches_l = v - p.l;
        const bool at_u = tau < leaves_u;
        const bool at_l = !at_u && tau >= reaches_l;
        const bool free = !at_u && !at_l;
        piece.upper += at_u;
        piece.lower += at_l;
        sums[j & 3] += free ? v : 0.0;
        // An element at u has both breakpoints above the shift, one at l both
        // below; a free one has one on either side.
        const double next_above = at_u ? leaves_u : (free ? reaches_l : k_inf);
        const double next_below = at_l ? reaches_l : (free ? leaves_u : -k_inf);
        piece.above = next_above < piece.above ? next_above : piece.above;
        piece.below = next_below > piece.below ? next_below : piece.below;
    }
    piece.free_sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    return piece;
}

}  // namespace

double exact_shift(const params &p, double tau, double xa, double xb) noexcept
{
    if (!std::isfinite(xa) || !std::isfinite(xb)) {
        return k_nan;
    }
    double lo = xa;
    double hi = xb;
    if (!(tau >= lo && tau <= hi)) {
        tau = lo + (hi - lo) / 2;
    }
    double t = tau;
    for (int round = 0; round < k_max_rounds; ++round) {
        const Piece piece = scan(p, tau);
        const std::ptrdiff_t n_free = p.n - piece.upper - piece.lower;
        const double fixed =
            static_cast<double>(piece.upper) * p.u + static_cast<double>(piece.lower) * p.l;
        if (n_free > 0) {
            t = (piece.free_sum + fixed - p.h) / static_cast<double>(n_free);
            if (std::isnan(t)) {
                return k_nan;  // a NaN element is always free
            }
            if (t >= piece.below && t <= piece.above) {
                return t;
            }
            if (t > piece.above) {
                lo = piece.above;
            }
            else {
                hi = piece.below;
            }
        }
        else {
            // A flat piece: its value is the sum of the bounds alone.
            const double excess = fixed - p.h;
            if (excess == 0.0) {
                return tau;
            }
            if (excess > 0.0) {
                lo = piece.above;
            }
            else {
                hi = piece.below;
            }
            t = tau;
        }
        if (!(lo < hi)) {
            return lo;  // the root is this breakpoint
        }
        const double middle = lo + (hi - lo) / 2;
        if (t > lo && t < hi) {
            tau = t;
        }
        else if (middle > lo && middle < hi) {
            tau = middle;
        }
        else {
            return lo;  // lo and hi are neighbouring doubles
        }
    }
    return t;
}

void project_row_exact(root_finder brentq, params &p, double xa, double xb, double xtol,
                       double rtol, int mitr) noexcept
{
    const double estimate = brentq(f, xa, xb, &p, xtol, rtol, mitr, nullptr);
    const double x = exact_shift(p, estimate, xa, xb);
    double *y = p.y;
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        y[j] = clip(y[j] - x, p.l, p.u);
    }
}

}  // namespace tavorin
