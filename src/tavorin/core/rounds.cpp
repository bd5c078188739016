// Newton's rounds on one span's residual (rounds.hpp).
#include "core/rounds.hpp"

#include "core/doubles.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tavorin::shift {

namespace {

Twofold times(std::int64_t count, double bound) noexcept
{
    if (count == 0 || (bound == 0 && !std::signbit(bound))) {
        // An infinite bound no element sits at, or the usual lower bound
        // 0, whose product is {+0, +0} without Dekker's split.
        return {};
    }
    Twofold t;
    two_product(static_cast<double>(count), bound, t.hi, t.lo);
    return t;
}

// The line from the classes c of the span's elements and those fixed beforehand.
template <class T>
Line line_of(const Span<T> &s, const Classes &c, const Classes &fixed, double h) noexcept
{
    Line line;
    line.upper = c.upper + fixed.upper;
    line.lower = c.lower + fixed.lower;
    Twofold a = twofold(c.free_wy) + twofold(fixed.free_wy);
    if (s.l || s.u || s.w) {
        a = a + twofold(c.bound_w) + twofold(fixed.bound_w);
    }
    else {
        a = a + times(line.upper, s.u_all) + times(line.lower, s.l_all);
    }
    line.a = a + (-h);
    if (s.w) {
        const Twofold ww = twofold(c.free_ww) + twofold(fixed.free_ww);
        line.slope = ww.hi + ww.lo;
    }
    else {
        line.slope = static_cast<double>(s.n - c.upper - c.lower + fixed.free);
    }
    return line;
}

// Whether b is a or one of the k doubles after a towards b.
bool within_doubles(double a, double b, int k) noexcept
{
    for (int i = 0; i < k && a != b; ++i) {
        a = std::nextafter(a, b);
    }
    return a == b;
}

double middle(double lo, double hi) noexcept
{
    const double m = lo + (hi - lo) / 2;
    return std::isfinite(m) ? m : lo / 2 + hi / 2;
}

// The farthest breakpoint of the span's elements in one direction, found so
// far in `far`; false when one lies beyond the doubles.
template <class T>
bool far_scan(const Span<T> &s, bool up, double &far) noexcept
{
    for (std::ptrdiff_t j = 0; j < s.n; ++j) {
        const double y = s.y[j];
        const double w = s.w ? static_cast<double>(s.w[j]) : 1.0;
        for (const double b : {bound_at(s.l, s.l_all, j), bound_at(s.u, s.u_all, j)}) {
            const double p = (y - b) / w;
            if (std::isfinite(p)) {
                far = up ? std::max(far, p) : std::min(far, p);
            }
            else if (std::isfinite(b)) {
                return false;
            }
        }
    }
    return true;
}

// A shift beyond every breakpoint of the span (or of its pieces, when the
// workspace's pieces hold it) on one side (upwards when up): there every
// element with a finite bound on that side sits at it.  Infinite when no
// element has one, or when one lies beyond the doubles (for the scaled copy).
template <class T>
double far_breakpoint(const Span<T> &s, bool up, const Workspace &ws) noexcept
{
    double far = up ? -k_inf : k_inf;
    bool within = true;
    if (ws.pieces_used) {
        for (std::size_t k = 0; k < ws.piece_at.size() && within; ++k) {
            within = far_scan(piece_of(s, ws, k), up, far);
        }
    }
    else {
        within = far_scan(s, up, far);
    }
    if (!within || !std::isfinite(far)) {
        return up ? k_inf : -k_inf;
    }
    // Past the rounding of the breakpoints' own division.
    const double margin = std::fabs(far) * (4 * std::numeric_limits<double>::epsilon()) + 1e-300;
    return up ? far + margin : far - margin;
}

}  // namespace

// Newton's rounds on the span's residual (plus the fixed classes), from tau.
template <class T>
Rounds newton(const Span<T> &s, const Table<T> &passes, const Classes &fixed, double h,
              std::int64_t total, double tau, Search b, Workspace &ws,
              Speculation *speculation) noexcept
{
    double r_lo = k_nan;
    double r_hi = k_nan;
    bool have_prev = false;
    Line prev;
    double prev_root = k_nan;
    double prev_tau = k_nan;
    bool tried_past = false;
    int tries = 0;
    double last_point = k_nan;
    Rounds out;
    for (int round = 0; round < k_max_rounds; ++round) {
        const Classes classes = classify_all(s, passes, tau, ws);
        ws.visits += s.n;
        if (!classes.finite) {
            out.outcome = Outcome::failed;  // the caller tells NaN and infinities from overflow
            return out;
        }
        const Line line = line_of(s, classes, fixed, h);
        out.tau = tau;
        out.line = line;
        if (have_prev && tau == prev_root && line.upper == prev.upper && line.lower == prev.lower) {
            out.outcome = Outcome::root;
            return out;
        }
        const double r = line.at(tau);
        if (std::isnan(r) || std::isinf(line.a.hi) || !std::isfinite(line.slope)) {
            out.outcome = Outcome::failed;
            return out;
        }
        if (b.lo_soft && tau == b.lo) {
            b.lo_soft = false;
            if (r < 0) {
                out.outcome = Outcome::below;
                return out;
            }
        }
        if (b.hi_soft && tau == b.hi) {
            b.hi_soft = false;
            if (r > 0) {
                out.outcome = Outcome::above;
                return out;
            }
        }
        out.outcome = Outcome::root;
        if (r == 0) {
            // r is plain arithmetic: where some element is free, r == 0 may
            // hold an ulp away from Newton's point of the classes, which is
            // then taken (and verified), so that the result does not depend
            // on where the rounds started (a neighbour's shift, in a batch).
            const double point = line.slope > 0 ? line.root() : tau;
            if (!(point != tau && point > b.lo && point < b.hi)) {
                return out;
            }
        }
        // A start outside the bracket leaves it as it is.  An end moved to
        // an evaluated shift is no longer soft: left soft, it kept the
        // bracket from counting as closed, so bisection never began and
        // a secant crept across a flat piece until the rounds ran out.
        if (r > 0 && tau >= b.lo) {
            b.lo = tau;
            b.lo_soft = false;
            r_lo = r;
        }
        else if (r < 0 && tau <= b.hi) {
            b.hi = tau;
            b.hi_soft = false;
            r_hi = r;
        }
        double next = k_nan;
        const bool flat = !(line.slope > 0);
        if (flat) {
            // Every element at a bound: at one end of the range the row is
            // the bound row whatever h's last bits say.
            if ((r > 0 && line.lower == total) || (r < 0 && line.upper == total)) {
                return out;
            }
        }
        else {
            next = line.root();
            if (next == tau) {
                return out;
            }
        }
        // When the next step is likely to move no element, write the next
        // shift's projection now and let that write verify it.  The elements
        // the last step moved over its length estimate the breakpoints' density
        // here, and so how many the next step would move (a bound on the
        // count alone had random vectors of 10^5 to 10^7 written twice).
        const std::int64_t moved =
            std::abs(line.upper - prev.upper) + std::abs(line.lower - prev.lower);
        if (speculation && !speculation->used && have_prev && !flat && next > b.lo && next < b.hi &&
            static_cast<double>(moved) * std::fabs(next - tau) <= std::fabs(tau - prev_tau)) {
            speculation->used = true;
            ws.visits += total;
            if (speculation->write(speculation->context, next, line.upper, line.lower)) {
                out.tau = next;
                out.written = true;
                return out;
            }
        }
        have_prev = !flat;
        prev = line;
        prev_root = next;
        prev_tau = tau;
        if (!flat && !tried_past && !(next > b.lo && next < b.hi) && within_doubles(tau, next, 2)) {
            // Newton's point an ulp or two past the end this shift just set:
            // r, rounded, and the point, rounded, disagree on the side of tau
            // the root lies.  The classes there are most likely tau's, and
            // then it is the root, which rounds from elsewhere verify too.
            tried_past = true;
            tau = next;
            continue;
        }
        // Newton's point where the last round's classes gave it too.
        const bool again = !flat && next == last_point && next > b.lo && next < b.hi;
        last_point = flat ? k_nan : next;
        if (!(next > b.lo && next < b.hi)) {
            have_prev = false;
            if (r > 0 && b.hi_soft) {
                next = b.hi;
            }
            else if (r < 0 && b.lo_soft) {
                next = b.lo;
            }
            else if (r > 0 && b.hi == k_inf) {
                // A flat piece with nothing above it known: close the bracket.
                next = far_breakpoint(s, true, ws);
                ws.visits += s.n;
                // Past every breakpoint and still flat: elements free only
                // where rounding lets them be (far from their size); halve
                // the doubles between here and the largest.
                next = next > tau ? next : bit_middle(tau, std::numeric_limits<double>::max());
            }
            else if (r < 0 && b.lo == -k_inf) {
                next = far_breakpoint(s, false, ws);
                ws.visits += s.n;
                next = next < tau ? next : bit_middle(-std::numeric_limits<double>::max(), tau);
            }
            else {
                next = b.lo + (b.hi - b.lo) * (r_lo / (r_lo - r_hi));
                if (!(next > b.lo && next < b.hi)) {
                    next = middle(b.lo, b.hi);
                }
            }
        }
        const bool closed = std::isfinite(b.lo) && std::isfinite(b.hi) && !b.lo_soft && !b.hi_soft;
        if (round >= k_newton_rounds && closed) {
            if (again && tries < passes::k_extra_newton_points) {
                // A few times, the point that two shifts' classes agree
                // on instead: where they are the root's it verifies, and ends
                // the rounds on Newton's point, as rounds from elsewhere end
                // (where not, it becomes an end of the bracket).
                ++tries;
            }
            else {
                have_prev = false;
                next = bit_middle(b.lo, b.hi);
            }
        }
        if (std::isinf(next)) {
            // The root lies beyond the largest double: for the scaled copy.
            out.outcome = Outcome::failed;
            return out;
        }
        const bool inside = (next > b.lo && next < b.hi) || (b.lo_soft && next == b.lo) ||
                            (b.hi_soft && next == b.hi);
        if (!inside) {
            if (!std::isfinite(b.lo) || !std::isfinite(b.hi)) {
                // The bracket is open past the largest double (small free
                // weights make the shift far larger than the answer): for
                // the scaled copy, not the last double.
                out.outcome = Outcome::failed;
                return out;
            }
            // No double strictly between the ends: the root is between two
            // neighbours, either one as good as the other.
            out.tau = std::fabs(r_lo) <= std::fabs(r_hi) ? b.lo : b.hi;
            return out;
        }
        tau = next;
    }
    // Rounds that ran out without verifying a shift give no answer: the
    // caller goes the general way.
    out.outcome = Outcome::failed;
    return out;
}

namespace {

// A root beside a flat piece of r where r is zero: every free element moved
// to u (or to l) leaves r exactly zero, as a round computes it there.  Any
// shift on the piece gives every element its bound, while at the root itself
// a free element may come out an ulp from it, on one side or the other as
// the rounds came.  Such a root steps one ulp onto the piece (when the
// classes there are the piece's: it is wider than that), so that a vector's
// bytes do not depend on where its rounds started.  One l and u for every
// element; the rest have no neighbour's start.
template <class T>
void onto_flat_piece(const Span<T> &s, const Table<T> &passes, double h, Rounds &r,
                     Workspace &ws) noexcept
{
    const std::int64_t free = s.n - r.line.upper - r.line.lower;
    if (s.l || s.u || s.w || free <= 0 || !std::isfinite(r.tau)) {
        return;
    }
    for (const bool up : {true, false}) {
        Classes piece;
        piece.upper = r.line.upper + (up ? free : 0);
        piece.lower = r.line.lower + (up ? 0 : free);
        const Line flat = line_of(s, piece, Classes{}, h);
        if (flat.a.hi + flat.a.lo != 0) {
            continue;
        }
        const double step = std::nextafter(r.tau, up ? -k_inf : k_inf);
        const Classes at = classify_all(s, passes, step, ws);
        ws.visits += s.n;
        if (at.upper == piece.upper && at.lower == piece.lower) {
            r.tau = step;
            r.line = line_of(s, at, Classes{}, h);
            r.written = false;
        }
        return;
    }
}

}  // namespace

// The shift of the whole vector from the rounds alone, from `tau` (or, when
// it is NaN, from the hyperplane's shift: every element free).
template <class T>
Rounds whole(const Span<T> &s, const Table<T> &passes, double h, double tau, Search b,
             Workspace &ws, Speculation *speculation) noexcept
{
    const Classes none{};
    if (std::isnan(tau)) {
        const Line all_free = line_of(s, classify_all(s, passes, k_nan, ws), none, h);
        ws.visits += s.n;
        tau = all_free.root();
        if (!std::isfinite(tau)) {
            return {};
        }
        if (!s.l && !s.u && s.l_all == -k_inf && s.u_all == k_inf) {
            return {Outcome::root, tau, all_free};  // the hyperplane: one formula
        }
    }
    Rounds r = newton(s, passes, none, h, s.n, tau, b, ws, speculation);
    if (r.outcome == Outcome::root) {
        onto_flat_piece(s, passes, h, r, ws);
    }
    return r;
}

template Rounds newton<double>(const Span<double> &, const Table<double> &, const Classes &, double,
                               std::int64_t, double, Search, Workspace &, Speculation *) noexcept;
template Rounds newton<float>(const Span<float> &, const Table<float> &, const Classes &, double,
                              std::int64_t, double, Search, Workspace &, Speculation *) noexcept;
template Rounds whole<double>(const Span<double> &, const Table<double> &, double, double, Search,
                              Workspace &, Speculation *) noexcept;
template Rounds whole<float>(const Span<float> &, const Table<float> &, double, double, Search,
                             Workspace &, Speculation *) noexcept;

}  // namespace tavorin::shift
