// The root of one vector's piecewise-linear residual: the shift tau of its projection.
//
// r(tau) = sum_j w_j clip(y_j - tau*w_j, l_j, u_j) - h is continuous,
// non-increasing and linear between breakpoints.  Each pass classifies the
// elements at a trial shift (passes.hpp), which gives r's line on the piece
// holding it; the line's root is Newton's next trial, kept inside the bracket
// the signs of r have established (else a secant step, a step to the next
// breakpoint on a flat piece, and after a few rounds bisection on the bits of
// the shift, so every vector ends after a bounded number of passes).  A shift
// is the answer once the classes at it are the ones its formula came from:
// classes are monotone in tau, so equal counts on both sides of a step mean
// no element moved.
//
// Long vectors first solve a strided sample of themselves exactly; a band of
// a few standard errors around the sample's shift then filters the vector in
// one pass: elements at a bound over the whole band are summed once, the rest
// (those that may still be free) are copied out, and Newton's rounds run on
// that copy alone.  A root outside the band sends the vector through the full
// rounds.  Sums whose terms overflow (bounds near the largest double) are
// redone on a copy scaled by powers of two, which changes no classification.
#include "core/shift.hpp"

#include "core/doubles.hpp"
#include "core/twofold.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace tavorin::shift {

namespace {

using passes::Candidates;
using passes::Classes;
using passes::Filtered;
using passes::Span;
using passes::Table;

constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

constexpr std::ptrdiff_t k_sample_min = 32;
// Vectors this long (and shorter than Workspace::filter_min_n) start their rounds
// from a sample's shift rather than the hyperplane's.
constexpr std::ptrdiff_t k_sample_start_min_n = 64;
constexpr std::ptrdiff_t k_sample_max = 4096;
// Half the band, in standard errors of the sample's shift.
constexpr double k_band = 3.0;
// Newton and secant rounds before bisection takes over; bisection on the
// bits of a double ends within 64 more.
constexpr int k_newton_rounds = 16;
constexpr int k_max_rounds = k_newton_rounds + 80;

template <class T>
const Table<T> &table_of(const Span<T> &s, bool plain) noexcept
{
    return passes::table<T>(s.l != nullptr, s.u != nullptr, s.w != nullptr, plain);
}

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

Twofold twofold(passes::Sum s) noexcept
{
    return {s.hi, s.lo};
}

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

// The line from the classes of `evaluated` elements and those fixed beforehand.
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

template <class T>
double bound_at(const T *each, double all, std::ptrdiff_t j) noexcept
{
    return each ? static_cast<double>(each[j]) : all;
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

// Piece k of a span whose elements lie in the workspace's pieces.
template <class T>
Span<T> piece_of(const Span<T> &s, const Workspace &ws, std::size_t k) noexcept
{
    const std::ptrdiff_t a = ws.piece_at[k];
    Span<T> p = s;
    p.y += a;
    p.l = s.l ? s.l + a : nullptr;
    p.u = s.u ? s.u + a : nullptr;
    p.w = s.w ? s.w + a : nullptr;
    p.n = ws.piece_n[k];
    return p;
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

template <class T>
void write_counted(const Span<T> &s, const Table<T> &passes, double tau, T *out, Workspace &ws,
                   std::int64_t &upper, std::int64_t &lower) noexcept;

template <class T>
struct SpeculativeWrite {
    const Span<T> *row;
    const Table<T> *passes;
    T *out;
    Workspace *ws;

    static bool write(void *context, double tau, std::int64_t upper, std::int64_t lower) noexcept
    {
        auto &w = *static_cast<SpeculativeWrite *>(context);
        std::int64_t up = 0;
        std::int64_t down = 0;
        write_counted(*w.row, *w.passes, tau, w.out, *w.ws, up, down);
        return up == upper && down == lower;
    }
};

template <class T>
Classes classify_all(const Span<T> &s, const Table<T> &passes, double tau, Workspace &ws) noexcept;

// Newton's rounds on the span's residual (plus the fixed classes), from tau.
template <class T>
Rounds newton(const Span<T> &s, const Table<T> &passes, const Classes &fixed, double h,
              std::int64_t total, double tau, Search b, Workspace &ws,
              Speculation *speculation = nullptr) noexcept
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

// The shift of the whole vector from the rounds alone, from `tau` (or, when
// it is NaN, from the hyperplane's shift: every element free).
template <class T>
Rounds whole(const Span<T> &s, const Table<T> &passes, double h, double tau, Search b,
             Workspace &ws, Speculation *speculation = nullptr) noexcept
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

// A sample of the vector into the workspace, as doubles: k elements (k a
// multiple of eight) in runs of eight adjacent ones spread evenly over the
// vector, so that it touches few cache lines ahead of the pass that reads
// them all.
template <class T>
Span<double> sample_of(const Span<T> &s, std::ptrdiff_t k, Workspace &ws) noexcept
{
    constexpr std::ptrdiff_t run = 8;
    const std::ptrdiff_t runs = k / run;
    Span<double> out;
    out.n = runs * run;
    out.l_all = s.l_all;
    out.u_all = s.u_all;
    out.y = ws.sy.data();
    out.l = s.l ? ws.sl.data() : nullptr;
    out.u = s.u ? ws.su.data() : nullptr;
    out.w = s.w ? ws.sw.data() : nullptr;
    for (std::ptrdiff_t r = 0; r < runs; ++r) {
        const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(
            static_cast<double>(r) * static_cast<double>(s.n - run) / static_cast<double>(runs));
        for (std::ptrdiff_t q = 0; q < run; ++q) {
            const std::ptrdiff_t i = r * run + q;
            const std::ptrdiff_t j = first + q;
            ws.sy[i] = s.y[j];
            if (s.l) {
                ws.sl[i] = s.l[j];
            }
            if (s.u) {
                ws.su[i] = s.u[j];
            }
            if (s.w) {
                ws.sw[i] = s.w[j];
            }
        }
    }
    return out;
}

struct Band {
    double lo = k_nan;
    double hi = k_nan;
    double tau = k_nan;
    // Whether the sample has many elements free over the whole band: the
    // filtering pass then sums those too, rather than keeping them.
    bool summing = false;
};

// The sample's exact shift and a band around it likely to hold the vector's.
template <class T>
Band band_of(const Span<T> &s, double h, bool plain, Workspace &ws) noexcept
{
    std::ptrdiff_t k = std::min<std::ptrdiff_t>(
        k_sample_max, std::max<std::ptrdiff_t>(
                          k_sample_min, static_cast<std::ptrdiff_t>(2.0 * std::sqrt(double(s.n)))));
    k -= k % 8;
    const Span<double> sample = sample_of(s, k, ws);
    // The sample's h: the vector's share, inside the sample's own range.
    double least = 0.0;
    double most = 0.0;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        const double w = sample.w ? sample.w[i] : 1.0;
        least += w * bound_at(sample.l, sample.l_all, i);
        most += w * bound_at(sample.u, sample.u_all, i);
    }
    double hs = h / static_cast<double>(s.n) * static_cast<double>(k);
    hs = std::min(std::max(hs, least), most);
    if (!std::isfinite(hs)) {
        return {};
    }
    const Rounds found = whole(sample, table_of(sample, plain), hs, k_nan, Search{}, ws);
    if (found.outcome != Outcome::root || !std::isfinite(found.tau)) {
        return {};
    }
    const double tau = found.tau;
    // The spread of the sample's terms at its shift gives the standard
    // error of the vector's residual there; the slope turns it into a shift.
    double mean = 0.0;
    double slope = 0.0;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        const double w = sample.w ? sample.w[i] : 1.0;
        const double l = bound_at(sample.l, sample.l_all, i);
        const double u = bound_at(sample.u, sample.u_all, i);
        const double x = std::max(std::min(sample.y[i] - tau * w, u), l);
        mean += w * x;
        slope += (l < x && x < u) ? w * w : 0.0;
    }
    mean /= static_cast<double>(k);
    double var = 0.0;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        const double w = sample.w ? sample.w[i] : 1.0;
        const double l = bound_at(sample.l, sample.l_all, i);
        const double u = bound_at(sample.u, sample.u_all, i);
        const double x = std::max(std::min(sample.y[i] - tau * w, u), l);
        var += (w * x - mean) * (w * x - mean);
    }
    var /= static_cast<double>(k);
    Band band;
    band.tau = tau;
    if (slope > 0) {
        const double d = k_band * std::sqrt(var * static_cast<double>(k)) / slope;
        band.lo = tau - d;
        band.hi = tau + d;
    }
    else {
        // A flat piece (integer data, say): the sample's neighbouring breakpoints.
        double below = -k_inf;
        double above = k_inf;
        for (std::ptrdiff_t i = 0; i < k; ++i) {
            const double w = sample.w ? sample.w[i] : 1.0;
            for (const double b :
                 {bound_at(sample.l, sample.l_all, i), bound_at(sample.u, sample.u_all, i)}) {
                const double p = (sample.y[i] - b) / w;
                below = p < tau ? std::max(below, p) : below;
                above = p > tau ? std::min(above, p) : above;
            }
        }
        band.lo = std::isfinite(below) ? below - (tau - below) : k_nan;
        band.hi = std::isfinite(above) ? above + (above - tau) : k_nan;
    }
    if (!(band.lo < tau && tau < band.hi) || !std::isfinite(band.lo) || !std::isfinite(band.hi)) {
        return {k_nan, k_nan, tau};
    }
    std::ptrdiff_t free = 0;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        const double w = sample.w ? sample.w[i] : 1.0;
        free += bound_at(sample.l, sample.l_all, i) < sample.y[i] - band.hi * w &&
                sample.y[i] - band.lo * w < bound_at(sample.u, sample.u_all, i);
    }
    band.summing = s.n >= ws.summing_min_n && 16 * free >= k;
    return band;
}

// The filtering pass runs over chunks of this many elements (a multiple of
// 16, so that the lanes see the elements the whole vector's pass would),
// each keeping its candidates in its own region and its sums apart; the
// regions are moved together and the sums added in chunk order, so the
// result is the same bytes whether the chunks ran on one thread or several.
constexpr std::ptrdiff_t k_chunk = 1 << 16;

template <class T>
struct FilterJob {
    const Span<T> *s;
    const Table<T> *passes;
    double lo;
    double hi;
    bool summing;
    Candidates out;
    passes::Filtered *results;
};

std::ptrdiff_t region_of(std::ptrdiff_t chunk) noexcept
{
    return chunk * (k_chunk / 2 + 16);
}

template <class T>
Span<T> chunk_of(const Span<T> &s, std::ptrdiff_t chunk, std::ptrdiff_t size) noexcept
{
    const std::ptrdiff_t a = chunk * size;
    const std::ptrdiff_t b = std::min(s.n, a + size);
    Span<T> p = s;
    p.y += a;
    p.l = s.l ? s.l + a : nullptr;
    p.u = s.u ? s.u + a : nullptr;
    p.w = s.w ? s.w + a : nullptr;
    p.n = b - a;
    return p;
}

// Runs fn over `chunks` chunks, a chunk at a time on the splitter's
// threads, or on the calling thread when it has none.
void on_chunks(const Splitter &splitter, std::ptrdiff_t chunks, BlockWork fn, void *job) noexcept
{
    if (splitter.splits() && chunks > 1) {
        splitter.team->run(chunks, 1, fn, job);
    }
    else {
        fn(job, 0, chunks);
    }
}

// Each chunk's classes at tau; with `out`, the chunk's projection written
// there on the way (write_count: the counts at the bounds only).
template <class T>
struct ClassifyJob {
    const Span<T> *s;
    const Table<T> *passes;
    double tau;
    T *out;
    Classes *results;
    const Workspace *pieces;  // the span lies in these pieces (else in chunks of k_chunk)
};

template <class T>
void classify_chunks(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    auto &job = *static_cast<ClassifyJob<T> *>(context);
    for (std::ptrdiff_t k = begin; k < end; ++k) {
        const Span<T> chunk = job.pieces
                                  ? piece_of(*job.s, *job.pieces, static_cast<std::size_t>(k))
                                  : chunk_of(*job.s, k, k_chunk);
        Classes &c = job.results[k];
        if (job.out) {
            job.passes->write_count(chunk, job.tau, job.out + k * k_chunk, c.upper, c.lower);
        }
        else {
            c = job.passes->classify(chunk, job.tau);
        }
    }
}

// The classes of a span; one of two chunks or more (or a span in the
// workspace's pieces) is classified chunk by chunk (on the workspace's
// threads when it has them) and the chunks' sums added in order, so that
// the result is the same bytes however many threads ran it.
template <class T>
Classes classify_all(const Span<T> &s, const Table<T> &passes, double tau, Workspace &ws) noexcept
{
    const bool pieces = ws.pieces_used;
    const std::ptrdiff_t chunks =
        pieces ? static_cast<std::ptrdiff_t>(ws.piece_at.size()) : (s.n + k_chunk - 1) / k_chunk;
    if (!pieces) {
        if (chunks < 2) {
            return passes.classify(s, tau);
        }
        try {
            ws.classes.resize(static_cast<std::size_t>(chunks));
        }
        catch (...) {
            return passes.classify(s, tau);
        }
    }
    ClassifyJob<T> job{&s, &passes, tau, nullptr, ws.classes.data(), pieces ? &ws : nullptr};
    on_chunks(ws.split, chunks, classify_chunks<T>, &job);
    Classes all;
    Twofold wy, ww, bw;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        const Classes &c = ws.classes[static_cast<std::size_t>(k)];
        wy = wy + twofold(c.free_wy);
        ww = ww + twofold(c.free_ww);
        bw = bw + twofold(c.bound_w);
        all.upper += c.upper;
        all.lower += c.lower;
        all.finite = all.finite && c.finite;
    }
    all.free_wy = {wy.hi, wy.lo};
    all.free_ww = {ww.hi, ww.lo};
    all.bound_w = {bw.hi, bw.lo};
    return all;
}

template <class T>
void filter_chunks(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    auto &job = *static_cast<FilterJob<T> *>(context);
    for (std::ptrdiff_t k = begin; k < end; ++k) {
        Candidates region = job.out;
        region.capacity = region_of(k + 1);
        job.results[k] = job.passes->filter[job.summing](chunk_of(*job.s, k, k_chunk), job.lo,
                                                         job.hi, region, region_of(k));
    }
}

// Room for the candidates of a vector of n elements.
std::ptrdiff_t candidate_room(std::ptrdiff_t n) noexcept
{
    return region_of((n + k_chunk - 1) / k_chunk);
}

// The filtering pass over every chunk; `pieces` tells whether the
// candidates were left in the workspace's pieces (else they are together
// at the start of `out`).
template <class T>
Filtered filter_all(const Span<T> &s, const Table<T> &passes, double lo, double hi, bool summing,
                    const Candidates &out, Workspace &ws, const Splitter &splitter,
                    bool &pieces) noexcept
{
    const std::ptrdiff_t chunks = (s.n + k_chunk - 1) / k_chunk;
    FilterJob<T> job{&s, &passes, lo, hi, summing, out, ws.chunks.data()};
    // Threads put each chunk's candidates at the start of its own region,
    // moved together below; one thread puts them straight after the last
    // chunk's, with the same room after them (so the same fit).
    const bool packed = !splitter.splits();
    if (packed) {
        std::ptrdiff_t at = 0;
        for (std::ptrdiff_t k = 0; k < chunks; ++k) {
            Candidates region = out;
            region.capacity = at + (region_of(k + 1) - region_of(k));
            job.results[k] = passes.filter[summing](chunk_of(s, k, k_chunk), lo, hi, region, at);
            at += job.results[k].kept;
        }
    }
    else {
        on_chunks(splitter, chunks, filter_chunks<T>, &job);
    }
    // Many candidates stay where they are, as pieces (their rounds split
    // over the threads as they lie), wherever they were put: the same pieces
    // whatever the threads, so the same sums.
    std::ptrdiff_t total = 0;
    bool fitted = true;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        total += job.results[k].kept;
        fitted = fitted && job.results[k].fitted;
    }
    pieces = false;
    ws.piece_at.clear();
    ws.piece_n.clear();
    if (fitted && total >= 2 * k_chunk) {
        try {
            ws.piece_at.resize(static_cast<std::size_t>(chunks));
            ws.piece_n.resize(static_cast<std::size_t>(chunks));
            ws.classes.resize(static_cast<std::size_t>(chunks));
            std::ptrdiff_t at = 0;
            for (std::ptrdiff_t k = 0; k < chunks; ++k) {
                ws.piece_at[static_cast<std::size_t>(k)] = packed ? at : region_of(k);
                ws.piece_n[static_cast<std::size_t>(k)] = job.results[k].kept;
                at += job.results[k].kept;
            }
            pieces = true;
        }
        catch (...) {
            ws.piece_at.clear();
            ws.piece_n.clear();
        }
    }
    Filtered all;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        const Filtered &f = job.results[k];
        all.fitted = all.fitted && f.fitted;
        all.finite = all.finite && f.finite;
        all.fixed.upper += f.fixed.upper;
        all.fixed.lower += f.fixed.lower;
        all.fixed.free += f.fixed.free;
        const Twofold b = twofold(all.fixed.bound_w) + twofold(f.fixed.bound_w);
        all.fixed.bound_w = {b.hi, b.lo};
        const Twofold wy = twofold(all.fixed.free_wy) + twofold(f.fixed.free_wy);
        all.fixed.free_wy = {wy.hi, wy.lo};
        const Twofold ww = twofold(all.fixed.free_ww) + twofold(f.fixed.free_ww);
        all.fixed.free_ww = {ww.hi, ww.lo};
        if (!packed && !pieces && all.fitted && f.kept > 0 && region_of(k) != all.kept) {
            for (double *a : {out.y, out.l, out.u, out.w}) {
                if (a) {
                    std::memmove(a + all.kept, a + region_of(k),
                                 static_cast<std::size_t>(f.kept) * sizeof(double));
                }
            }
        }
        all.kept += f.kept;
    }
    return all;
}

// How much further than by 2^-e the copy's y, bounds and h are scaled down
// so that its shift is a double too.  Every root of r's lines is
// (sum_F w y + sum_B w b - h) / sum_F w^2, below A / min w^2 with A the sum
// of every term's magnitude (and the breakpoints (y - b) / w are too); with
// small free weights that passes the largest double while every x_j is
// one.  What the extra scaling loses below the least double is far below
// the ulps of such a vector's scale (at least the shift times the least
// weight); at most 2^900 more, past which the projection is not a double.
template <class T>
int shift_room(const Vector<T> &v, int e, int q) noexcept
{
    const Span<T> &s = v.span;
    if (!s.w) {
        return 0;  // one weight, scaled to about 1: the shift is x - y over it
    }
    double terms = std::ldexp(std::fabs(v.h), q - e);
    double least = k_inf;
    for (std::ptrdiff_t j = 0; j < s.n; ++j) {
        const double l = bound_at(s.l, s.l_all, j);
        const double u = bound_at(s.u, s.u_all, j);
        const double b =
            std::max(std::isfinite(l) ? std::fabs(l) : 0.0, std::isfinite(u) ? std::fabs(u) : 0.0);
        const double w = std::ldexp(static_cast<double>(s.w[j]), q);
        terms += w * std::ldexp(std::fabs(static_cast<double>(s.y[j])) + b, -e);
        least = std::min(least, w);
    }
    if (!(least > 0) || !std::isfinite(terms) || terms == 0) {
        return 0;
    }
    // |shift| < terms / least^2 <= 2^(ilogb(terms) + 1 - 2 ilogb(least)).
    const int top = std::ilogb(terms) + 1 - 2 * std::ilogb(least);
    return std::min(900, std::max(0, top - 1000));
}

// The vector copied into the workspace scaled by powers of two, so that no
// sum of its terms overflows; tau_scale turns the copy's shift into the vector's.
template <class T>
bool scaled_copy(const Vector<T> &v, Workspace &ws, Span<double> &out, double &h, double &tau_scale,
                 double weight) noexcept
{
    const Span<T> &s = v.span;
    const std::ptrdiff_t n = s.n;
    if (!ws.xy.reserve(n) || !ws.xl.reserve(n) || !ws.xu.reserve(n) || !ws.xw.reserve(n)) {
        return false;
    }
    double big = std::fabs(v.h);
    double heavy = 0.0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const double l = bound_at(s.l, s.l_all, j);
        const double u = bound_at(s.u, s.u_all, j);
        big = std::max(big, std::fabs(static_cast<double>(s.y[j])));
        big = std::isfinite(l) ? std::max(big, std::fabs(l)) : big;
        big = std::isfinite(u) ? std::max(big, std::fabs(u)) : big;
        heavy = std::max(heavy, s.w ? static_cast<double>(s.w[j]) : weight);
    }
    // Terms below 2^(1022 - log2 n - 4) cannot overflow a sum of n of them;
    // Dekker's split of a product's factor needs another 27 bits of room.
    const int room = 960 - std::ilogb(static_cast<double>(n));
    int e = big > 0 ? std::max(0, std::ilogb(big) - room) : 0;
    const int q = -std::ilogb(heavy);
    e += shift_room(v, e, q);
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        ws.xy[j] = std::ldexp(static_cast<double>(s.y[j]), -e);
        ws.xl[j] = std::ldexp(bound_at(s.l, s.l_all, j), -e);
        ws.xu[j] = std::ldexp(bound_at(s.u, s.u_all, j), -e);
        ws.xw[j] = std::ldexp(s.w ? static_cast<double>(s.w[j]) : weight, q);
    }
    out.y = ws.xy.data();
    out.l = ws.xl.data();
    out.u = ws.xu.data();
    out.w = ws.xw.data();
    out.n = n;
    h = std::ldexp(v.h, q - e);
    tau_scale = std::ldexp(1.0, e + q);
    ws.exponent = e;
    return true;
}

template <class T>
Found scaled(const Vector<T> &v, bool plain, Workspace &ws, double weight = 1.0) noexcept
{
    Span<double> copy;
    double h = 0.0;
    double tau_scale = 1.0;
    if (!scaled_copy(v, ws, copy, h, tau_scale, weight)) {
        return {k_nan, true};
    }
    ws.visits += 2 * v.span.n;
    const Rounds r = whole(copy, table_of(copy, plain), h, k_nan, Search{}, ws);
    Found found;
    found.tau = r.tau;
    found.scaled = true;
    found.exponent = ws.exponent;
    found.verified = r.outcome == Outcome::root;
    return found;
}

// The rounds on the whole vector, or on the scaled copy when a sum overflows.
template <class T>
Found whole_or_scaled(const Vector<T> &v, const Table<T> &passes, bool plain, Workspace &ws,
                      double tau, Search b, bool known_finite,
                      Speculation *speculation = nullptr) noexcept
{
    const Rounds r = whole(v.span, passes, v.h, tau, b, ws, speculation);
    if (r.outcome == Outcome::root) {
        Found found;
        found.tau = r.tau;
        found.written = r.written;
        return found;
    }
    if (!known_finite && !passes.finite(v.span.y, v.span.n)) {
        return {k_nan, false};
    }
    return scaled(v, plain, ws);
}

// The filtered path: false when it does not apply (and `found` is untouched).
template <class T>
bool filtered(const Vector<T> &v, const Table<T> &passes, bool plain, Workspace &ws,
              const Splitter &splitter, Found &found, Speculation *spec) noexcept
{
    const Span<T> &s = v.span;
    const std::ptrdiff_t capacity = candidate_room(s.n);
    try {
        ws.chunks.resize(static_cast<std::size_t>((s.n + k_chunk - 1) / k_chunk));
    }
    catch (...) {
        return false;
    }
    if (!ws.sy.reserve(k_sample_max) || (s.l && !ws.sl.reserve(k_sample_max)) ||
        (s.u && !ws.su.reserve(k_sample_max)) || (s.w && !ws.sw.reserve(k_sample_max)) ||
        !ws.y.reserve(capacity) || (s.l && !ws.l.reserve(capacity)) ||
        (s.u && !ws.u.reserve(capacity)) || (s.w && !ws.w.reserve(capacity))) {
        return false;
    }
    const Band band = band_of(s, v.h, plain, ws);
    if (std::isnan(band.lo)) {
        if (std::isnan(band.tau)) {
            return false;
        }
        found = whole_or_scaled(v, passes, plain, ws, band.tau, Search{}, false, spec);
        return true;
    }
    Candidates out{ws.y.data(), s.l ? ws.l.data() : nullptr, s.u ? ws.u.data() : nullptr,
                   s.w ? ws.w.data() : nullptr, capacity};
    bool pieces = false;
    const Filtered f =
        filter_all(s, passes, band.lo, band.hi, band.summing, out, ws, splitter, pieces);
    ws.visits += s.n;
    if (!f.finite) {
        found = {k_nan, false};
        return true;
    }
    if (!f.fitted) {
        found = whole_or_scaled(v, passes, plain, ws, band.tau, Search{}, true, spec);
        return true;
    }
    Span<double> kept;
    kept.y = out.y;
    kept.l = out.l;
    kept.u = out.u;
    kept.w = out.w;
    kept.l_all = s.l_all;
    kept.u_all = s.u_all;
    kept.n = f.kept;
    kept.finite = true;       // the filtering pass looked
    ws.pieces_used = pieces;  // only the candidates' rounds read them as pieces
    const Rounds r = newton(kept, table_of(kept, plain), f.fixed, v.h, s.n, band.tau,
                            Search{band.lo, band.hi, true, true}, ws, spec);
    ws.pieces_used = false;
    Search rest;
    double from = k_nan;
    switch (r.outcome) {
    case Outcome::root:
        found = {r.tau, true};
        found.written = r.written;
        return true;
    case Outcome::above:
        rest.lo = r.tau;
        from = r.line.slope > 0 ? r.line.root() : std::nextafter(r.tau, k_inf);
        break;
    case Outcome::below:
        rest.hi = r.tau;
        from = r.line.slope > 0 ? r.line.root() : std::nextafter(r.tau, -k_inf);
        break;
    case Outcome::failed: found = scaled(v, plain, ws); return true;
    }
    if (!(from > rest.lo && from < rest.hi)) {
        from = k_nan;  // start from the hyperplane's shift
    }
    found = whole_or_scaled(v, passes, plain, ws, from, rest, true, spec);
    return true;
}

template <class T>
struct WriteJob {
    const Span<T> *s;
    const Table<T> *passes;
    double tau;
    T *out;
};

template <class T>
void write_chunks(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    auto &job = *static_cast<WriteJob<T> *>(context);
    const Span<T> part = chunk_of(*job.s, begin, k_chunk);
    Span<T> range = part;
    range.n = std::min(job.s->n, end * k_chunk) - begin * k_chunk;
    job.passes->write(range, job.tau, job.out + begin * k_chunk);
}

// The write, with how many elements it put at u and at l; one of two chunks
// or more runs chunk by chunk on the workspace's threads when it has them.
template <class T>
void write_counted(const Span<T> &s, const Table<T> &passes, double tau, T *out, Workspace &ws,
                   std::int64_t &upper, std::int64_t &lower) noexcept
{
    const std::ptrdiff_t chunks = (s.n + k_chunk - 1) / k_chunk;
    if (chunks < 2 || !ws.split.splits()) {
        passes.write_count(s, tau, out, upper, lower);
        return;
    }
    try {
        ws.classes.resize(static_cast<std::size_t>(chunks));
    }
    catch (...) {
        passes.write_count(s, tau, out, upper, lower);
        return;
    }
    ClassifyJob<T> job{&s, &passes, tau, out, ws.classes.data(), nullptr};
    on_chunks(ws.split, chunks, classify_chunks<T>, &job);
    upper = 0;
    lower = 0;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        upper += ws.classes[static_cast<std::size_t>(k)].upper;
        lower += ws.classes[static_cast<std::size_t>(k)].lower;
    }
}

// A start for the rounds on a vector of middling length: the exact shift of
// a small sample of it (NaN when there is none).
template <class T>
double sample_start(const Vector<T> &v, bool plain, Workspace &ws) noexcept
{
    // 16 elements, or with per-element operands about sqrt(n) up to 64: how
    // good the start is hardly depends on it (measured), its cost does.
    const bool same_bounds = !v.span.l && !v.span.u && !v.span.w;
    if (same_bounds) {
        // Sixteen elements evenly spread, through the kernel of short vectors.
        constexpr std::ptrdiff_t k = 16;
        double y[k];
        const std::ptrdiff_t n = v.span.n;
        for (std::ptrdiff_t i = 0; i < k; ++i) {
            y[i] = static_cast<double>(v.span.y[(i * n) / k]);
        }
        const double share = v.h / static_cast<double>(n) * static_cast<double>(k);
        const double least = v.span.l_all * static_cast<double>(k);
        const double most = v.span.u_all * static_cast<double>(k);
        const double hs = std::min(std::max(share, least), most);
        constexpr int rows = passes::k_side_rows;
        double l[rows], u[rows], h[rows], start[rows], tau[rows];
        bool ok[rows] = {false};
        for (int i = 0; i < rows; ++i) {
            l[i] = v.span.l_all;
            u[i] = v.span.u_all;
            h[i] = hs;
            start[i] = k_nan;
        }
        double scratch[passes::side_scratch(k)];
        if (std::isfinite(hs)) {
            passes::table<double>(false, false, false, plain)
                .side_by_side(y, k, k, 1, l, u, h, start, false, nullptr, nullptr, tau, ok, nullptr,
                              0, false, nullptr, scratch);
        }
        ws.visits += 4 * k;
        return ok[0] ? tau[0] : k_nan;
    }
    std::ptrdiff_t k = std::max<std::ptrdiff_t>(
        16, std::min<std::ptrdiff_t>(64, static_cast<std::ptrdiff_t>(std::sqrt(double(v.span.n)))));
    k -= k % 8;
    if (!ws.sy.reserve(k) || (v.span.l && !ws.sl.reserve(k)) || (v.span.u && !ws.su.reserve(k)) ||
        (v.span.w && !ws.sw.reserve(k))) {
        return k_nan;
    }
    const Span<double> sample = sample_of(v.span, k, ws);
    double least = 0.0;
    double most = 0.0;
    for (std::ptrdiff_t i = 0; i < k; ++i) {
        const double w = sample.w ? sample.w[i] : 1.0;
        least += w * bound_at(sample.l, sample.l_all, i);
        most += w * bound_at(sample.u, sample.u_all, i);
    }
    const double hs = std::min(
        std::max(v.h / static_cast<double>(v.span.n) * static_cast<double>(k), least), most);
    if (!std::isfinite(hs)) {
        return k_nan;
    }
    const Rounds found = whole(sample, table_of(sample, plain), hs, k_nan, Search{}, ws);
    return found.outcome == Outcome::root ? found.tau : k_nan;
}

// Whether h is exactly n times the bound b (finite): then the vector's
// only feasible point has every element at b.
bool at_end(std::ptrdiff_t n, double b, double h) noexcept
{
    double p;
    double e;
    two_product(static_cast<double>(n), b, p, e);
    return std::isfinite(b) && p == h && e == 0.0;
}

}  // namespace

template <class T>
Found solve_vector(const Vector<T> &v, bool plain, Workspace &ws, const Splitter &splitter, T *out,
                   double start) noexcept
{
    const Table<T> &passes = table_of(v.span, plain);
    ws.split = splitter;
    if (!v.span.l && !v.span.u && !v.span.w) {
        // The write gives every element its bound from an infinite shift.
        const bool top = at_end(v.span.n, v.span.u_all, v.h);
        if (top || at_end(v.span.n, v.span.l_all, v.h)) {
            if (!passes.finite(v.span.y, v.span.n)) {
                return {k_nan, false};
            }
            return {top ? -k_inf : k_inf, true};
        }
    }
    const bool hyperplane =
        !v.span.l && !v.span.u && v.span.l_all == -k_inf && v.span.u_all == k_inf;
    SpeculativeWrite<T> write{&v.span, &passes, out, &ws};
    Speculation speculation{SpeculativeWrite<T>::write, &write};
    Speculation *const spec = out ? &speculation : nullptr;
    Found found;
    if (v.span.n >= ws.filter_min_n && !hyperplane &&
        filtered(v, passes, plain, ws, splitter, found, spec)) {
        return found;
    }
    if (std::isnan(start) && v.span.n >= k_sample_start_min_n && !hyperplane) {
        start = sample_start(v, plain, ws);
    }
    return whole_or_scaled(v, passes, plain, ws, hyperplane ? k_nan : start, Search{}, false, spec);
}

template <class T>
Found solve_weighted(const Vector<T> &v, double weight, bool plain, Workspace &ws) noexcept
{
    ws.split = Splitter{};
    return scaled(v, plain, ws, weight);
}

template <class T>
void write_vector(const Vector<T> &v, double tau, T *out, bool plain,
                  const Splitter &splitter) noexcept
{
    const Table<T> &passes = table_of(v.span, plain);
    WriteJob<T> job{&v.span, &passes, tau, out};
    const std::ptrdiff_t chunks = (v.span.n + k_chunk - 1) / k_chunk;
    on_chunks(splitter, chunks, write_chunks<T>, &job);
}

namespace {

// The band of each chunk of k_chunk elements, added up in chunk order.
template <class T>
struct BandJob {
    const Span<T> *s;
    const Table<T> *passes;
    double lo;
    double hi;
    finish::Band *results;
};

template <class T>
void band_chunks(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    auto &job = *static_cast<BandJob<T> *>(context);
    for (std::ptrdiff_t k = begin; k < end; ++k) {
        job.results[k] = job.passes->band(chunk_of(*job.s, k, k_chunk), job.lo, job.hi);
    }
}

}  // namespace

template <class T>
finish::Band band_vector(const Vector<T> &v, double lo, double hi, bool plain,
                         const Splitter &splitter) noexcept
{
    const Table<T> &passes = table_of(v.span, plain);
    const std::ptrdiff_t chunks = (v.span.n + k_chunk - 1) / k_chunk;
    if (!splitter.splits() || chunks < 2) {
        return passes.band(v.span, lo, hi);
    }
    std::vector<finish::Band> parts;
    try {
        parts.resize(static_cast<std::size_t>(chunks));
    }
    catch (...) {
        return passes.band(v.span, lo, hi);
    }
    BandJob<T> job{&v.span, &passes, lo, hi, parts.data()};
    on_chunks(splitter, chunks, band_chunks<T>, &job);
    // The chunks' sums carry their rounding errors, so their order only
    // moves the bound on those errors, never the shift settled from them.
    finish::Band all = parts[0];
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const finish::Band &b = parts[k];
        all.changing += b.changing;
        all.upper += b.upper;
        all.lower += b.lower;
        all.free += b.free;
        all.a = all.a + b.a;
        all.s = all.s + b.s;
        all.a_magnitude += b.a_magnitude;
        all.s_magnitude += b.s_magnitude;
        all.a_least = std::fmin(all.a_least, b.a_least);
    }
    return all;
}

template <class T>
void write_scaled(const Vector<T> &v, const Workspace &ws, const Found &found, T *out) noexcept
{
    const Span<T> &s = v.span;
    for (std::ptrdiff_t j = 0; j < s.n; ++j) {
        // The copy's classes; a bound is written as the vector's own (its
        // scaled copy may have lost bits below the smallest normal double).
        const double t = ws.xy[j] - found.tau * ws.xw[j];
        const double l = bound_at(s.l, s.l_all, j);
        const double u = bound_at(s.u, s.u_all, j);
        const double x = ws.xu[j] <= t ? u : t <= ws.xl[j] ? l : std::ldexp(t, found.exponent);
        out[j] = static_cast<T>(std::max(std::min(x, u), l));
    }
}

template void write_scaled<double>(const Vector<double> &, const Workspace &, const Found &,
                                   double *) noexcept;
template void write_scaled<float>(const Vector<float> &, const Workspace &, const Found &,
                                  float *) noexcept;
template Found solve_vector<double>(const Vector<double> &, bool, Workspace &, const Splitter &,
                                    double *, double) noexcept;
template Found solve_vector<float>(const Vector<float> &, bool, Workspace &, const Splitter &,
                                   float *, double) noexcept;
template Found solve_weighted<double>(const Vector<double> &, double, bool, Workspace &) noexcept;
template Found solve_weighted<float>(const Vector<float> &, double, bool, Workspace &) noexcept;
template finish::Band band_vector<double>(const Vector<double> &, double, double, bool,
                                          const Splitter &) noexcept;
template finish::Band band_vector<float>(const Vector<float> &, double, double, bool,
                                         const Splitter &) noexcept;
template void write_vector<double>(const Vector<double> &, double, double *, bool,
                                   const Splitter &) noexcept;
template void write_vector<float>(const Vector<float> &, double, float *, bool,
                                  const Splitter &) noexcept;

}  // namespace tavorin::shift
