// The one rule that ends every vector's rounds: the shift follows from the vector alone.
//
// Element j is classed at a shift t as the passes class it (at u when
// u_j <= y_j - t*w_j, else at l when y_j - t*w_j <= l_j, else free, each
// operation rounded as the write rounds it), which is monotone in t.  With
// those classes, the residual summed exactly,
//   R(t) = sum_free w_j (y_j - t*w_j) + sum_upper w_j u_j + sum_lower w_j l_j - h,
// is non-increasing in t (an element leaving the free ones only lowers it),
// linear between the doubles where a class changes.  The shift written is
// the double nearest R's root, ties to even; where R is zero over a range,
// every element there is at a bound, and any double of it gives the same
// bytes.  No start, batch, path or thread count enters this rule, so where
// the rounds started changes how long they take, never the result.
//
// The rounds' shift is settled with sums carried with their rounding error:
// when no class changes within two doubles of the shift, R there is one
// line, and its root's rounding is decided with a bound on those sums'
// error.  Elsewhere (a class changes beside the root, rounds that did not
// end on it, sums too close to call) the finish is exact: the bracket is
// closed with exact signs, then halved on the doubles between its ends,
// at most about a hundred evaluations over the elements whose class still
// changes inside it.
#ifndef TAVORIN_CORE_FINISH_HPP
#define TAVORIN_CORE_FINISH_HPP

#include "core/doubles.hpp"
#include "core/tuning.hpp"
#include "core/twofold.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tavorin::finish {

// Room in the sums' error bounds for the error terms of products lost below
// the least double, (n + 4) 2^-1060 at most: 2^-1000 exceeds it for any n and
// is a normal double (arithmetic on a subnormal one takes about a hundred
// cycles, once a vector).
constexpr double k_lost_below = 0x1p-1000;

// One vector's elements as the finish reads them: y[j * step]; l, u and w
// per element (adjacent) where not null, else l_all and u_all for every
// element and no weights.
template <class T>
struct Elements {
    const T *y = nullptr;
    std::ptrdiff_t step = 1;
    const T *l = nullptr;
    const T *u = nullptr;
    const T *w = nullptr;
    double l_all = 0.0;
    double u_all = 0.0;
    std::ptrdiff_t n = 0;
};

// The band of a shift: the elements whose class is the same at both ends
// of [lo, hi] and their terms of R but -t*w^2 summed with each term's
// rounding error carried (per element bounds and weights; with one l and u
// the counts at them, whose terms are added exactly), how many change class
// inside it, and the terms' magnitudes, which bound the sums' error.
struct Band {
    std::int64_t changing = 0;
    std::int64_t upper = 0;
    std::int64_t lower = 0;
    std::int64_t free = 0;
    Twofold a;  // sum_free w_j y_j (+ sum w_j u_j and w_j l_j where counts do not serve)
    Twofold s;  // sum_free w_j^2, with weights
    double a_magnitude = 0.0;
    double s_magnitude = 0.0;
    // With one l and u and no weights, the least nonzero |y_j| of the free
    // elements (infinite: none): every term of R is then a whole multiple of
    // its ulp, so an error below half of it tells an exact tie.  Otherwise 0;
    // NaN where a pass did not keep it.
    double a_least = 0.0;
    // How many terms the sums' error bound counts: 0 for every element of
    // the vector in one sum; less where the band was summed in parts, each
    // part's sum with its own bound and the parts' sums then added.
    std::int64_t terms = 0;
};

// The band's ends around a shift: a few doubles either side, and at least
// a few roundings of `scale` (band_scale), within which the rounds' plain
// sums leave their shift.  Its width changes the path, never the result.
// Inline: the rounds of short vectors take them once a vector.
inline double band_lo(double tau, double scale) noexcept
{
    const double d = tuning::k_band_roundings * std::numeric_limits<double>::epsilon() *
                     std::fmax(scale, std::fabs(tau));
    return std::fmin(from_ordered_key(ordered_key(tau) - tuning::k_band_doubles), tau - d);
}
inline double band_hi(double tau, double scale) noexcept
{
    const double d = tuning::k_band_roundings * std::numeric_limits<double>::epsilon() *
                     std::fmax(scale, std::fabs(tau));
    return std::fmax(from_ordered_key(ordered_key(tau) + tuning::k_band_doubles), tau + d);
}
// Whether the last bit of t's significand is 0 (ties go to such a double).
bool even(double t) noexcept;

// The larger finite |l| and |u| every element shares (0: none).
inline double band_scale(double l_all, double u_all) noexcept
{
    const double l = std::isfinite(l_all) ? std::fabs(l_all) : 0.0;
    const double u = std::isfinite(u_all) ? std::fabs(u_all) : 0.0;
    return std::fmax(l, u);
}

struct Settled {
    double tau = 0.0;
    bool ok = true;  // false: R keeps its sign out to the largest double (the scaled copy's)
};

// The shift of the rule above, from a shift `tau` the rounds ended on (any
// double: the nearer the root, the sooner the finish), and when not null its
// band as a pass computed it.  Every y finite.
template <class T>
Settled settle(const Elements<T> &e, double h, double tau, const Band *band = nullptr) noexcept;

}  // namespace tavorin::finish

#endif
