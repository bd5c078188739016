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

#include "core/rounds.hpp"

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

using tuning::k_band;
using tuning::k_sample_max;
using tuning::k_sample_min;
using tuning::k_sample_start_min_n;

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
Band band_of(const Span<T> &s, double h, Workspace &ws) noexcept
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
    const Rounds found = whole(sample, table_of(sample, ws), hs, k_nan, Search{}, ws);
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
    band.summing = s.n >= summing_min_n(ws) && 16 * free >= k;
    return band;
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
Found scaled(const Vector<T> &v, Workspace &ws, double weight = 1.0) noexcept
{
    Span<double> copy;
    double h = 0.0;
    double tau_scale = 1.0;
    if (!scaled_copy(v, ws, copy, h, tau_scale, weight)) {
        return {k_nan, true};
    }
    ws.visits += 2 * v.span.n;
    const Rounds r = whole(copy, table_of(copy, ws), h, k_nan, Search{}, ws);
    Found found;
    found.tau = r.tau;
    found.scaled = true;
    found.exponent = ws.exponent;
    found.verified = r.outcome == Outcome::root;
    return found;
}

// The rounds on the whole vector, or on the scaled copy when a sum overflows.
template <class T>
Found whole_or_scaled(const Vector<T> &v, const Table<T> &passes, Workspace &ws, double tau,
                      Search b, bool known_finite, Speculation *speculation = nullptr) noexcept
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
    return scaled(v, ws);
}

// The filtered path: false when it does not apply (and `found` is untouched).
template <class T>
bool filtered(const Vector<T> &v, const Table<T> &passes, Workspace &ws, const Splitter &splitter,
              Found &found, Speculation *spec) noexcept
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
    const Band band = band_of(s, v.h, ws);
    if (std::isnan(band.lo)) {
        if (std::isnan(band.tau)) {
            return false;
        }
        found = whole_or_scaled(v, passes, ws, band.tau, Search{}, false, spec);
        return true;
    }
    Candidates out{ws.y.data(), s.l ? ws.l.data() : nullptr, s.u ? ws.u.data() : nullptr,
                   s.w ? ws.w.data() : nullptr, capacity};
    // A root beyond the band gets one more filtering pass, over a band from
    // the end it passed to beyond the candidates' Newton step from there
    // (that step is close when few elements change class on the way), before
    // the rounds go over every element.
    double lo = band.lo;
    double hi = band.hi;
    double from = band.tau;
    Search rest;
    for (int pass = 0;; ++pass) {
        bool pieces = false;
        const Filtered f = filter_all(s, passes, lo, hi, band.summing, out, ws, splitter, pieces);
        ws.visits += s.n;
        if (!f.finite) {
            found = {k_nan, false};
            return true;
        }
        if (!f.fitted) {
            found = whole_or_scaled(v, passes, ws, from, rest, true, spec);
            return true;
        }
        if (!band.summing || !s.w) {
            ws.filtering = {s.y, s.l, s.u, s.w, s.l_all, s.u_all, s.n, lo, hi, f, pieces};
        }
        Span<double> kept = kept_of(s, ws, f.kept);
        kept.finite = true;  // the filtering pass looked
        // As the vector's: the finish settles the shift from exact sums of its own.
        kept.exact_bounds = s.exact_bounds;
        ws.pieces_used = pieces;  // only the candidates' rounds read them as pieces
        const Rounds r = newton(kept, table_of(kept, ws), f.fixed, v.h, s.n, from,
                                Search{lo, hi, true, true}, ws, spec);
        ws.pieces_used = false;
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
        case Outcome::failed: found = scaled(v, ws); return true;
        }
        if (!(from > rest.lo && from < rest.hi)) {
            from = k_nan;  // start from the hyperplane's shift
        }
        if (pass > 0 || std::isnan(from)) {
            break;
        }
        // The candidates in `out` are the next pass's from here on.
        ws.filtering = Filtering{};
        const double reach = std::fmax(std::fabs(from - r.tau), 0.5 * (hi - lo));
        lo = r.outcome == Outcome::above ? r.tau : from - reach;
        hi = r.outcome == Outcome::above ? from + reach : r.tau;
        if (!(lo < hi) || !std::isfinite(hi - lo)) {
            break;
        }
    }
    found = whole_or_scaled(v, passes, ws, from, rest, true, spec);
    return true;
}

// A start for the rounds on a vector of middling length: the exact shift of
// a small sample of it (NaN when there is none).
template <class T>
double sample_start(const Vector<T> &v, Workspace &ws) noexcept
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
            passes::Side<double> call;
            call.y = y;
            call.stride = k;
            call.n = k;
            call.count = 1;
            call.l = l;
            call.u = u;
            call.h = h;
            call.start = start;
            call.tau = tau;
            call.ok = ok;
            call.scratch = scratch;
            passes::table<double>(false, false, false, ws.plain).side_by_side(call);
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
    const Rounds found = whole(sample, table_of(sample, ws), hs, k_nan, Search{}, ws);
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
Found solve_vector(const Vector<T> &v, Workspace &ws, const Splitter &splitter, T *out,
                   double start) noexcept
{
    const Table<T> &passes = table_of(v.span, ws);
    ws.split = splitter;
    ws.filtering = Filtering{};
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
    if (v.span.n >= filter_min_n(ws) && !hyperplane &&
        filtered(v, passes, ws, splitter, found, spec)) {
        return found;
    }
    if (std::isnan(start) && v.span.n >= k_sample_start_min_n && !hyperplane) {
        start = sample_start(v, ws);
    }
    return whole_or_scaled(v, passes, ws, hyperplane ? k_nan : start, Search{}, false, spec);
}

template <class T>
Found solve_weighted(const Vector<T> &v, double weight, Workspace &ws) noexcept
{
    ws.split = Splitter{};
    return scaled(v, ws, weight);
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
template Found solve_vector<double>(const Vector<double> &, Workspace &, const Splitter &, double *,
                                    double) noexcept;
template Found solve_vector<float>(const Vector<float> &, Workspace &, const Splitter &, float *,
                                   double) noexcept;
template Found solve_weighted<double>(const Vector<double> &, double, Workspace &) noexcept;
template Found solve_weighted<float>(const Vector<float> &, double, Workspace &) noexcept;

}  // namespace tavorin::shift
