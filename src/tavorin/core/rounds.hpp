// Newton's rounds on one span's residual, kept inside a bracket, ending on a shift whose
// classes verify it (shift.cpp's opening comment says how they go).
#ifndef TAVORIN_CORE_ROUNDS_HPP
#define TAVORIN_CORE_ROUNDS_HPP

#include "core/chunks.hpp"
#include "core/tuning.hpp"

namespace tavorin::shift {

using tuning::k_max_rounds;
using tuning::k_newton_rounds;

// r's line on the piece holding a shift: r(t) = a - t*slope there.
struct Line {
    Twofold a;
    double slope = 0.0;
    std::int64_t upper = 0;
    std::int64_t lower = 0;

    // r(t) in plain arithmetic: it only steers (the sign picks the bracket's
    // end), while the root that becomes the answer is computed to an ulp.
    double at(double t) const noexcept { return (a.hi - t * slope) + a.lo; }
    double root() const noexcept { return quotient(a, slope); }
};

enum class Outcome { root, below, above, failed };

struct Search {
    double lo = -k_inf;
    double hi = k_inf;
    bool lo_soft = false;  // an end not yet evaluated, beyond which the span does not hold
    bool hi_soft = false;
};

struct Rounds {
    Outcome outcome = Outcome::failed;
    double tau = k_nan;
    Line line;
    bool written = false;
};

// A write of the whole vector at a trial shift that verifies it on the way:
// false when its classes are not (upper, lower).  At most one a vector.
struct Speculation {
    bool (*write)(void *context, double tau, std::int64_t upper, std::int64_t lower) noexcept;
    void *context;
    bool used = false;
};

// Newton's rounds on the span's residual (plus the fixed classes), from tau.
template <class T>
Rounds newton(const Span<T> &s, const Table<T> &passes, const Classes &fixed, double h,
              std::int64_t total, double tau, Search b, Workspace &ws,
              Speculation *speculation = nullptr) noexcept;

// The shift of the whole vector from the rounds alone, from `tau` (or, when
// it is NaN, from the hyperplane's shift: every element free).
template <class T>
Rounds whole(const Span<T> &s, const Table<T> &passes, double h, double tau, Search b,
             Workspace &ws, Speculation *speculation = nullptr) noexcept;

}  // namespace tavorin::shift

#endif
