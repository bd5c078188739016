// The one rule that ends every vector's rounds: the shift follows from the vector alone.
#include "core/finish.hpp"

#include "core/doubles.hpp"
#include "core/exact_sum.hpp"
#include "core/tuning.hpp"
#include "core/twofold.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace tavorin::finish {

namespace {

constexpr double k_max = std::numeric_limits<double>::max();
constexpr double k_eps = std::numeric_limits<double>::epsilon();

enum Class : int { at_upper, free_, at_lower };

struct Element {
    double y, l, u, w;
};

template <class T>
Element element(const Elements<T> &e, std::ptrdiff_t j) noexcept
{
    return {static_cast<double>(e.y[j * e.step]), e.l ? static_cast<double>(e.l[j]) : e.l_all,
            e.u ? static_cast<double>(e.u[j]) : e.u_all, e.w ? static_cast<double>(e.w[j]) : 1.0};
}

// The class at t, computed as the passes compute it (with w = 1, y - t*1 is y - t).
int class_at(const Element &x, double t) noexcept
{
    const double v = x.y - t * x.w;
    return x.u <= v ? at_upper : v <= x.l ? at_lower : free_;
}

// The k-th double below (above) a finite t, by its ordered integer (past
// the largest double: an infinity).
double down(double t, int k) noexcept
{
    return from_ordered_key(ordered_key(t) - k);
}

double up(double t, int k) noexcept
{
    return from_ordered_key(ordered_key(t) + k);
}

void add_term(Twofold &sum, double &magnitude, double a, double b) noexcept
{
    double p;
    double e;
    two_product(a, b, p, e);
    sum = sum + p;
    sum.lo += e;
    magnitude += std::fabs(p);
}

template <class T>
Band band_of(const Elements<T> &e, double lo, double hi) noexcept
{
    Band b;
    const bool shared = !e.l && !e.u && !e.w;
    b.a_least = shared ? std::numeric_limits<double>::infinity() : 0.0;
    for (std::ptrdiff_t j = 0; j < e.n; ++j) {
        const Element x = element(e, j);
        const int c = class_at(x, lo);
        if (c != class_at(x, hi)) {
            ++b.changing;
            continue;
        }
        if (c == free_) {
            ++b.free;
            if (e.w) {
                add_term(b.a, b.a_magnitude, x.w, x.y);
                add_term(b.s, b.s_magnitude, x.w, x.w);
            }
            else {
                b.a = b.a + x.y;
                b.a_magnitude += std::fabs(x.y);
                if (shared && x.y != 0) {
                    b.a_least = std::fmin(b.a_least, std::fabs(x.y));
                }
            }
        }
        else if (shared) {
            ++(c == at_upper ? b.upper : b.lower);
        }
        else {
            add_term(b.a, b.a_magnitude, x.w, c == at_upper ? x.u : x.l);
        }
    }
    return b;
}

// The counts' terms of a band with one l and u, and its slope without weights.
template <class T>
void complete(const Elements<T> &e, Band &b) noexcept
{
    if (!e.l && !e.u && !e.w) {
        // An infinite bound no element sits at adds nothing.
        if (b.upper > 0) {
            add_term(b.a, b.a_magnitude, static_cast<double>(b.upper), e.u_all);
        }
        if (b.lower > 0) {
            add_term(b.a, b.a_magnitude, static_cast<double>(b.lower), e.l_all);
        }
    }
    if (!e.w) {
        b.s = {static_cast<double>(b.free), 0.0};
    }
}

// A bound on the error of n terms summed with their rounding errors carried
// (the errors themselves summed in plain arithmetic), with room for the
// error terms of products lost below the least double (k_lost_below).  A
// larger bound only leaves more to the exact sums.
double sum_error(std::ptrdiff_t n, double magnitude) noexcept
{
    const double k = static_cast<double>(n + 4) * k_eps;
    return 4 * k * k * magnitude + k_lost_below;
}

// The gap from |x| to the next double up: every double of that size is a
// whole multiple of it.
double ulp(double x) noexcept
{
    x = std::fabs(x);
    return up(x, 1) - x;
}

// Where R's root lies against tau, on the band's line a - t*s (h in a): 0
// when it rounds to tau beyond doubt (ties to even), -1 (1) when it is
// below (above) the midpoint on that side beyond doubt, 2 when the sums
// cannot tell.  `grid` (0: none) divides every term of R exactly.
int against(const Band &b, const Twofold &a, std::ptrdiff_t n, double tau, double grid) noexcept
{
    const double s = b.s.hi;
    // s.lo enters through one plain product (and the sum tau + side*gap),
    // which round it by at most two ulps: its error is that, not s.lo itself
    // (which, about an ulp of s, had every weighted vector to the exact finish).
    const double error =
        sum_error(n, b.a_magnitude) + 8 * k_eps * k_eps * std::fabs(a.hi) +
        std::fabs(tau) * (sum_error(n, b.s_magnitude) + 4 * k_eps * std::fabs(b.s.lo)) * 2 +
        8 * k_eps * k_eps * std::fabs(tau * s);
    for (const double side : {-1.0, 1.0}) {
        const double gap = side < 0 ? (tau - down(tau, 1)) / 2 : (up(tau, 1) - tau) / 2;
        if (!(gap > 0)) {
            return 2;
        }
        // a - (tau + side*gap) * (s.hi + s.lo); side*gap*s is exact (gap a power of two).
        Twofold at = minus_product(a, tau, s);
        at = at + (-side * gap * s);
        at.lo -= (tau + side * gap) * b.s.lo;
        const double value = at.hi + at.lo;
        if (side < 0 ? value < -error : value > error) {
            return static_cast<int>(side);
        }
        if (side < 0 ? value > error : value < -error) {
            continue;
        }
        // Within the error of zero: exactly zero where the terms (and the
        // midpoint times the count) lie on a grid coarser than twice it.
        if (!(std::fabs(value) <= error && 2 * error < std::fmin(grid, gap))) {
            return 2;
        }
        if (!even(tau)) {
            return static_cast<int>(side);  // the tie goes to the even neighbour
        }
    }
    return 0;
}

// A power of two that divides every term of R on the band exactly, or 0
// (weights or bounds per element: products, whose grid is not kept).
template <class T>
double grid_of(const Elements<T> &e, const Band &b, double h) noexcept
{
    if (e.l || e.u || e.w || !(b.a_least > 0)) {  // NaN: not kept
        return 0.0;
    }
    double grid = std::isinf(b.a_least) ? std::numeric_limits<double>::infinity() : ulp(b.a_least);
    grid = b.upper > 0 && e.u_all != 0 ? std::fmin(grid, ulp(e.u_all)) : grid;
    grid = b.lower > 0 && e.l_all != 0 ? std::fmin(grid, ulp(e.l_all)) : grid;
    return h != 0 ? std::fmin(grid, ulp(h)) : grid;
}

// Whether the terms of a flat band (every element at a bound there) sum
// to h exactly: then every double of the band gives the same bytes.
template <class T>
bool flat_zero(const Elements<T> &e, const Band &b, double h) noexcept
{
    if (e.l || e.u || e.w) {
        return false;  // its terms' sum carries rounding: the exact finish tells
    }
    ExactSum r;
    if (b.upper > 0) {
        r.add(static_cast<double>(b.upper), e.u_all);
    }
    if (b.lower > 0) {
        r.add(static_cast<double>(b.lower), e.l_all);
    }
    r.add(-h);
    return r.sign() == 0;
}

// The exact finish: R's sign at any double from exact sums, over the
// elements whose class may still change in the bracket (the others summed
// once).
template <class T>
class Exact {
public:
    Exact(const Elements<T> &e, double h) noexcept : e_(e), h_(h), shared_(!e.l && !e.u && !e.w) {}

    Settled run(double tau) noexcept
    {
        Settled out;
        if (!std::isfinite(tau)) {
            tau = 0.0;
        }
        double lo = down(tau, 2);
        double hi = up(tau, 2);
        // Mostly the rounds' shift is within two doubles of the root (a class
        // changes beside it): the elements whose class is the same at both
        // ends are summed once, and the two signs that show the bracket
        // holds take the few others alone.
        fix_first(lo, hi);
        const int at_lo = sign_at(lo);
        const int at_hi = at_lo == 1 ? sign_at(hi) : 2;
        if (at_lo == 0 || (at_lo == 1 && at_hi == 0)) {
            out.tau = at_lo == 0 ? lo : hi;  // a root at a double
            return out;
        }
        if (!(at_lo == 1 && at_hi == -1)) {
            unfix();
            if (!close(lo, hi, out)) {
                return out;
            }
            if (!std::isnan(out.tau)) {
                return out;  // a root at a double
            }
        }
        fix(lo, hi);
        for (;;) {
            const double m = bit_middle(lo, hi);
            if (!(lo < m && m < hi)) {
                break;
            }
            const int s = sign_at(m);
            if (s == 2) {
                out.ok = false;
                return out;
            }
            if (s == 0) {
                out.tau = m;
                return out;
            }
            (s > 0 ? lo : hi) = m;
            fix(lo, hi);
        }
        // lo and hi adjacent, R(lo) > 0 > R(hi): R's root is in (lo, hi],
        // on lo's line unless it is hi's step down.  The line at the midpoint
        // says which of the two is nearer.
        ExactSum r;
        ExactSum s;
        int inf = 0;
        sums_at(lo, r, s, inf);
        if (inf != 0) {
            out.tau = hi;
            return out;
        }
        r.add_scaled(s, -((hi - lo) / 2));
        const int side = r.sign();
        out.tau = side > 0 ? hi : side < 0 ? lo : even(lo) ? lo : hi;
        return out;
    }

private:
    // Moves lo down (hi up) until R(lo) > 0 > R(hi); false when R keeps its
    // sign out to the largest double.  A double where R is zero goes to out.tau.
    bool close(double &lo, double &hi, Settled &out) noexcept
    {
        out.tau = std::numeric_limits<double>::quiet_NaN();
        for (const int side : {1, -1}) {
            double &end = side > 0 ? lo : hi;
            double &other = side > 0 ? hi : lo;
            double width = hi - lo;
            for (int k = 0;; ++k) {
                const int s = sign_at(end);
                if (s == 2) {
                    out.ok = false;
                    return false;
                }
                if (s == 0) {
                    out.tau = end;
                    return true;
                }
                if (s == side) {
                    break;
                }
                if (std::fabs(end) == k_max || k > 80) {
                    out.ok = false;
                    return false;
                }
                other = end;
                width = std::fmax(width * 0x1p32, std::fabs(end) * 0x1p-40);
                end = side > 0 ? end - width : end + width;
                end = std::fmin(std::fmax(end, -k_max), k_max);
            }
        }
        return true;
    }

    // One element's term of R(t) at its class there into r (w^2 into s when free).
    void add_at(const Element &x, int c, double t, ExactSum &r, ExactSum *s,
                int &inf) const noexcept
    {
        if (c == free_) {
            if (e_.w) {
                r.add(x.w, x.y);
                r.add(-t, x.w, x.w);
            }
            else {
                r.add(x.y);
                r.add(-t);
            }
            if (s) {
                s->add(x.w, x.w);
            }
            return;
        }
        add_bound(r, x.w, c == at_upper ? x.u : x.l, inf);
    }

    // + count * b, an infinite b where y - t*w overflowed past it.
    static void add_bound(ExactSum &r, double count, double b, int &inf) noexcept
    {
        if (count == 0) {
            return;
        }
        if (std::isinf(b)) {
            inf = inf == 0 || inf == (b > 0 ? 1 : -1) ? (b > 0 ? 1 : -1) : 2;
            return;
        }
        r.add(count, b);
    }

    // One element at its class there; with one l and u, the elements at
    // them counted (their terms added once, by add_counts).
    void take(const Element &x, int c, double t, ExactSum &r, ExactSum *s, int &inf,
              std::int64_t (&counts)[2]) const noexcept
    {
        if (shared_ && c != free_) {
            ++counts[c == at_upper ? 0 : 1];
            return;
        }
        add_at(x, c, t, r, s, inf);
    }

    void add_counts(ExactSum &r, const std::int64_t (&counts)[2], int &inf) const noexcept
    {
        add_bound(r, static_cast<double>(counts[0]), e_.u_all, inf);
        add_bound(r, static_cast<double>(counts[1]), e_.l_all, inf);
    }

    // R(t) and sum_free w^2 at t, exactly (inf: the sign of an infinite term).
    void sums_at(double t, ExactSum &r, ExactSum &s, int &inf) const noexcept
    {
        r = fixed_;
        r.add(-h_);
        r.add_scaled(fixed_s_, -t);
        s = fixed_s_;
        inf = fixed_inf_;
        std::int64_t counts[2] = {fixed_counts_[0], fixed_counts_[1]};
        const std::ptrdiff_t count = listed_ ? static_cast<std::ptrdiff_t>(kept_.size()) : e_.n;
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            const Element x = element(e_, listed_ ? kept_[static_cast<std::size_t>(i)] : i);
            take(x, class_at(x, t), t, r, &s, inf, counts);
        }
        add_counts(r, counts, inf);
    }

    // -1, 0 or 1; 2 where infinite terms of both signs leave it undefined.
    int sign_at(double t) const noexcept
    {
        ExactSum r;
        ExactSum s;
        int inf = 0;
        sums_at(t, r, s, inf);
        return inf != 0 ? inf : r.sign();
    }

    // fix(lo, hi) over every element, listing only those it keeps (no room
    // for the list: none fixed, every evaluation goes over every element).
    void fix_first(double lo, double hi) noexcept
    {
        try {
            kept_.reserve(static_cast<std::size_t>(e_.n));
            listed_ = true;
        }
        catch (...) {
            return;
        }
        if (shared_) {
            fix_shared(lo, hi);
            return;
        }
        for (std::ptrdiff_t j = 0; j < e_.n; ++j) {
            if (changing(element(e_, j), lo, hi)) {
                kept_.push_back(j);  // within the capacity reserved
            }
        }
    }

    // fix_first with one l and u and no weights: the elements at a bound
    // counted, the free ones' y summed exactly and counted (their w^2).
    void fix_shared(double lo, double hi) noexcept
    {
        const double l = e_.l_all;
        const double u = e_.u_all;
        std::int64_t counts[3] = {0, 0, 0};
        for (std::ptrdiff_t j = 0; j < e_.n; ++j) {
            const double y = static_cast<double>(e_.y[j * e_.step]);
            const double a = y - lo;
            const double b = y - hi;
            const int c = u <= a ? at_upper : a <= l ? at_lower : free_;
            if (c != (u <= b ? at_upper : b <= l ? at_lower : free_)) {
                kept_.push_back(j);  // within the capacity reserved
                continue;
            }
            ++counts[c];
            if (c == free_) {
                fixed_.add(y);
            }
        }
        fixed_counts_[0] += counts[at_upper];
        fixed_counts_[1] += counts[at_lower];
        if (counts[free_] > 0) {
            fixed_s_.add(static_cast<double>(counts[free_]));
        }
    }

    // Whether x changes class between lo and hi; where not, its term goes
    // into the fixed sums.
    bool changing(const Element &x, double lo, double hi) noexcept
    {
        const int c = class_at(x, lo);
        if (c != class_at(x, hi)) {
            return true;
        }
        if (c == free_) {
            fixed_.add(x.w, x.y);
            fixed_s_.add(x.w, x.w);
        }
        else {
            take(x, c, 0.0, fixed_, nullptr, fixed_inf_, fixed_counts_);  // no t in it
        }
        return false;
    }

    // Back to no element summed once, every one listed.
    void unfix() noexcept
    {
        if (!listed_) {
            return;
        }
        fixed_ = ExactSum();
        fixed_s_ = ExactSum();
        fixed_counts_[0] = fixed_counts_[1] = 0;
        fixed_inf_ = 0;
        kept_.resize(static_cast<std::size_t>(e_.n));  // within the capacity reserved
        for (std::ptrdiff_t j = 0; j < e_.n; ++j) {
            kept_[static_cast<std::size_t>(j)] = j;
        }
    }

    // The listed elements whose class is the same at lo and hi summed once:
    // R's terms then hold for every t of [lo, hi], which the evaluations
    // keep to.
    void fix(double lo, double hi) noexcept
    {
        if (!listed_) {
            return;
        }
        std::size_t kept = 0;
        for (const std::ptrdiff_t j : kept_) {
            if (changing(element(e_, j), lo, hi)) {
                kept_[kept++] = j;
            }
        }
        kept_.resize(kept);
    }

    const Elements<T> &e_;
    double h_;
    std::vector<std::ptrdiff_t> kept_;
    bool listed_ = false;
    bool shared_;
    std::int64_t fixed_counts_[2] = {0, 0};  // fixed elements at u and at l, with one l and u
    ExactSum fixed_;                         // the fixed elements' terms but -t * w^2
    ExactSum fixed_s_;                       // the fixed free elements' w^2
    int fixed_inf_ = 0;
};

}  // namespace

bool even(double t) noexcept
{
    std::uint64_t b;
    std::memcpy(&b, &t, sizeof b);
    return (b & 1) == 0;
}

template <class T>
Settled settle(const Elements<T> &e, double h, double tau, const Band *band) noexcept
{
    if (std::isinf(tau)) {
        return {tau};  // h is n*l or n*u: every element at that bound, from any shift beyond
    }
    for (int move = 0; move < tuning::k_settle_moves && std::isfinite(tau); ++move) {
        const double scale = e.l || e.u ? 0.0 : band_scale(e.l_all, e.u_all);
        const double lo = band_lo(tau, scale);
        const double hi = band_hi(tau, scale);
        Band b = move == 0 && band ? *band : band_of(e, lo, hi);
        complete(e, b);
        if (b.changing > 0) {
            // A class changes beside the shift: a kink at the root, or the end
            // of a piece where R is zero (every element at a bound, h their
            // sum).  The exact finish's first bracket holds either mostly,
            // over the few elements changing there: cheaper than bands beside.
            break;
        }
        const Twofold a = b.a + (-h);
        if (!std::isfinite(a.hi) || !std::isfinite(b.s.hi)) {
            break;  // sums beyond the doubles
        }
        if (!(b.s.hi > 0)) {
            if (b.upper + b.lower == e.n && flat_zero(e, b, h)) {
                return {tau};
            }
            break;
        }
        // The line's root, and its rounding decided within the band, where
        // the line is R: the quotient may be a double or two off.
        double next = quotient(a, b.s.hi + b.s.lo);
        Twofold line = a;
        for (int step = 0; step < 4 && down(next, 1) >= lo && up(next, 1) <= hi; ++step) {
            const std::ptrdiff_t terms = b.terms > 0 ? static_cast<std::ptrdiff_t>(b.terms) : e.n;
            const int side = against(b, line, terms, next, grid_of(e, b, h));
            if (side == 0) {
                return {next};
            }
            if (side == 2 && std::isnan(b.a_least)) {
                // Maybe a tie: the band again, with its least term for the grid.
                b = band_of(e, lo, hi);
                complete(e, b);
                line = b.a + (-h);
                continue;
            }
            if (side == 2) {
                return Exact<T>(e, h).run(tau);
            }
            next = side < 0 ? down(next, 1) : up(next, 1);
        }
        if (!(down(next, 1) >= lo && up(next, 1) <= hi)) {
            tau = next;  // R's line there has its root beyond the band
            continue;
        }
        break;
    }
    return Exact<T>(e, h).run(tau);
}

template Settled settle<float>(const Elements<float> &, double, double, const Band *) noexcept;
template Settled settle<double>(const Elements<double> &, double, double, const Band *) noexcept;

}  // namespace tavorin::finish
