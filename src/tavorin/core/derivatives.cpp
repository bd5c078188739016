// Derivatives of the projection at a computed x: tangents forward (JVP), cotangents back (VJP).
//
// Each row is read twice: the first pass gathers the sums over the free set
// (one shift per row needs them all), the second writes every element.  The
// sums run in four lanes, element j in lane j % 4, and are joined as
// (s0 + s1) + (s2 + s3), in the AVX2 loop, its tail and the plain twin
// alike, so the three give the same bytes.  Arithmetic is in double for
// float32 rows too; only the stores round.
#include "core/derivatives.hpp"

#include "core/simd.hpp"
#include "core/twofold.hpp"

#include <cmath>
#include <type_traits>

namespace tavorin::derivatives {

namespace {

template <typename T>
T *row_at(T *base, std::ptrdiff_t stride, std::ptrdiff_t i) noexcept
{
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    return reinterpret_cast<T *>(reinterpret_cast<Byte *>(base) + i * stride);
}

// One row of an operand: its own elements, or one value for all of them.
template <typename Real>
struct RowOf {
    const Real *p;
    double v;

    double operator[](std::ptrdiff_t j) const noexcept { return p ? static_cast<double>(p[j]) : v; }
};

// A bound given per row is rounded to Real first: the projection of a
// float32 row writes the rounded bound, and equality must see that.
template <typename Real>
RowOf<Real> row_of(const Operand<Real> &o, std::ptrdiff_t i, bool round) noexcept
{
    if (o.elements) {
        return {row_at(o.elements, o.row_stride, i), 0.0};
    }
    const double v = o.rows.data ? o.rows[i] : 1.0;
    return {nullptr, round ? static_cast<double>(static_cast<Real>(v)) : v};
}

template <typename Real>
struct RowSets {
    const Real *x;
    RowOf<Real> l, u, w;
};

template <typename Real>
RowSets<Real> sets_of(const Sets<Real> &s, std::ptrdiff_t i) noexcept
{
    return {row_at(s.x, s.x_stride, i), row_of(s.l, i, true), row_of(s.u, i, true),
            row_of(s.w, i, false)};
}

// An element's place: free strictly inside its bounds, else at l, else at
// u (l == u counts as at l); a NaN is none of them and moves with nothing.
struct Place {
    bool free, at_l, at_u;
};

inline Place place_of(double x, double l, double u) noexcept
{
    const bool at_l = x == l;
    return {l < x && x < u, at_l, !at_l && x == u};
}

inline double joined(const double (&s)[4]) noexcept
{
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// A row without free elements keeps its shift: nothing moves it.
inline double per_free_weight(double sum, double k) noexcept
{
    return k > 0.0 ? sum / k : 0.0;
}

// sum_F w^2 with per-element weights: each square and each lane's sum
// with its rounding error (k_lo), for the shift divides by it; w = 1 or one
// weight a row sums its squares plainly (exact for w = 1).
struct Sums {
    double num[4] = {0.0, 0.0, 0.0, 0.0};
    double k[4] = {0.0, 0.0, 0.0, 0.0};
    double k_lo[4] = {0.0, 0.0, 0.0, 0.0};
};

// w^2 into a lane's sum hi + lo, with the rounding errors of the square
// (Dekker's product) and of the sum (two_sum); the lanes' twin below.
inline void add_square(double &hi, double &lo, double w) noexcept
{
    double p;
    double e;
    dekker_product(w, w, p, e);
    double s;
    double f;
    two_sum(hi, p, s, f);
    hi = s;
    lo = lo + (f + e);
}

TAVORIN_SIMD_INLINE void add_squares(simd::F64x4 &hi, simd::F64x4 &lo, simd::F64x4 w) noexcept
{
    using namespace simd;
    const F64x4 c = broadcast(134217729.0) * w;
    const F64x4 w_hi = c - (c - w);
    const F64x4 w_lo = w - w_hi;
    const F64x4 p = w * w;
    const F64x4 e = ((w_hi * w_hi - p) + w_hi * w_lo + w_lo * w_hi) + w_lo * w_lo;
    const F64x4 s = hi + p;
    const F64x4 bb = s - hi;
    lo = lo + (((hi - (s - bb)) + (p - bb)) + e);
    hi = s;
}

// The lanes' sums of squares joined (an infinite one as it is: no error is left).
inline double joined(const double (&hi)[4], const double (&lo)[4]) noexcept
{
    Twofold t;
    for (int k = 0; k < 4; ++k) {
        t = t + hi[k];
        t.lo += lo[k];
    }
    return std::isfinite(t.hi) ? t.value() : t.hi;
}

inline double free_weight_of(const Sums &s, bool each) noexcept
{
    return each ? joined(s.k, s.k_lo) : joined(s.k);
}

inline void add_free_weight(Sums &s, std::ptrdiff_t j, bool free, double w, bool each) noexcept
{
    if (each) {
        add_square(s.k[j & 3], s.k_lo[j & 3], free ? w : 0.0);
    }
    else {
        s.k[j & 3] += free ? w * w : 0.0;
    }
}

template <bool Each>
TAVORIN_SIMD_INLINE void add_free_weights(simd::F64x4 &k, simd::F64x4 &k_lo, simd::Mask4 free,
                                          simd::F64x4 w) noexcept
{
    if (Each) {
        add_squares(k, k_lo, simd::keep(free, w));
    }
    else {
        k = k + simd::keep(free, w * w);
    }
}

// ---------------------------------------------------------------------------
// JVP
// ---------------------------------------------------------------------------

template <typename Real>
struct JvpRow {
    RowSets<Real> s;
    RowOf<Real> dy, dl, du;
    double dh;
    Real *dx;
};

template <typename Real>
JvpRow<Real> jvp_row(const Jvp<Real> &t, std::ptrdiff_t i) noexcept
{
    return {sets_of(t.sets, i),
            row_of(t.dy, i, false),
            row_of(t.dl, i, false),
            row_of(t.du, i, false),
            t.dh[i],
            row_at(t.dx, t.dx_stride, i)};
}

template <typename Real>
void jvp_gather_one(const JvpRow<Real> &r, Sums &sums, std::ptrdiff_t j) noexcept
{
    const double w = r.s.w[j];
    const Place p = place_of(static_cast<double>(r.s.x[j]), r.s.l[j], r.s.u[j]);
    const double term = ((p.free ? w * r.dy[j] : 0.0) + (p.at_l ? w * r.dl[j] : 0.0)) +
                        (p.at_u ? w * r.du[j] : 0.0);
    sums.num[j & 3] += term;
    add_free_weight(sums, j, p.free, w, r.s.w.p != nullptr);
}

template <typename Real>
void jvp_write_one(const JvpRow<Real> &r, double dtau, std::ptrdiff_t j) noexcept
{
    const Place p = place_of(static_cast<double>(r.s.x[j]), r.s.l[j], r.s.u[j]);
    const double moved = r.dy[j] - dtau * r.s.w[j];
    r.dx[j] = static_cast<Real>(p.at_l ? r.dl[j] : (p.at_u ? r.du[j] : moved));
}

template <typename Real>
double jvp_shift(const JvpRow<Real> &r, const Sums &sums) noexcept
{
    return per_free_weight(joined(sums.num) - r.dh, free_weight_of(sums, r.s.w.p != nullptr));
}

template <typename Real>
void jvp_row_plain(const JvpRow<Real> &r, std::ptrdiff_t n) noexcept
{
    Sums sums;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        jvp_gather_one(r, sums, j);
    }
    const double dtau = jvp_shift(r, sums);
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        jvp_write_one(r, dtau, j);
    }
}

template <typename Real>
TAVORIN_SIMD_INLINE simd::F64x4 lanes(const RowOf<Real> &r, simd::F64x4 all,
                                      std::ptrdiff_t j) noexcept
{
    return r.p ? simd::load(r.p + j) : all;
}

struct PlaceLanes {
    simd::Mask4 free, at_l, at_u;
};

TAVORIN_SIMD_INLINE PlaceLanes place_lanes(simd::F64x4 x, simd::F64x4 l, simd::F64x4 u) noexcept
{
    const simd::Mask4 at_l = simd::eq(x, l);
    return {simd::lt(l, x) & simd::lt(x, u), at_l, simd::andnot(at_l, simd::eq(x, u))};
}

template <typename Real, bool Each>
TAVORIN_SIMD_KERNEL void jvp_row_simd(const JvpRow<Real> &r, std::ptrdiff_t n) noexcept
{
    using namespace simd;
    const F64x4 l_all = broadcast(r.s.l.v), u_all = broadcast(r.s.u.v);
    const F64x4 w_all = broadcast(r.s.w.v), dy_all = broadcast(r.dy.v);
    const F64x4 dl_all = broadcast(r.dl.v), du_all = broadcast(r.du.v);
    const std::ptrdiff_t n4 = n - n % 4;
    F64x4 num = zero(), k = zero(), k_lo = zero();
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const F64x4 w = lanes(r.s.w, w_all, j);
        const PlaceLanes p =
            place_lanes(load(r.s.x + j), lanes(r.s.l, l_all, j), lanes(r.s.u, u_all, j));
        const F64x4 term =
            (keep(p.free, w * lanes(r.dy, dy_all, j)) + keep(p.at_l, w * lanes(r.dl, dl_all, j))) +
            keep(p.at_u, w * lanes(r.du, du_all, j));
        num = num + term;
        add_free_weights<Each>(k, k_lo, p.free, w);
    }
    Sums sums;
    store(sums.num, num);
    store(sums.k, k);
    store(sums.k_lo, k_lo);
    for (std::ptrdiff_t j = n4; j < n; ++j) {
        jvp_gather_one(r, sums, j);
    }
    const double dtau = jvp_shift(r, sums);
    const F64x4 dtau_all = broadcast(dtau);
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const PlaceLanes p =
            place_lanes(load(r.s.x + j), lanes(r.s.l, l_all, j), lanes(r.s.u, u_all, j));
        const F64x4 moved = lanes(r.dy, dy_all, j) - dtau_all * lanes(r.s.w, w_all, j);
        store(r.dx + j, select(p.at_l, lanes(r.dl, dl_all, j),
                               select(p.at_u, lanes(r.du, du_all, j), moved)));
    }
    for (std::ptrdiff_t j = n4; j < n; ++j) {
        jvp_write_one(r, dtau, j);
    }
}

// ---------------------------------------------------------------------------
// VJP
// ---------------------------------------------------------------------------

template <typename Real>
struct VjpRow {
    RowSets<Real> s;
    const Real *g;
    Real *gy;
    Real *gl;  // per element, or null
    Real *gu;
};

template <typename Real>
VjpRow<Real> vjp_row(const Vjp<Real> &c, std::ptrdiff_t i) noexcept
{
    const auto elements = [i](const Sink<Real> &sink) {
        return sink.elements ? row_at(sink.elements, sink.row_stride, i) : nullptr;
    };
    return {sets_of(c.sets, i), row_at(c.g, c.g_stride, i), row_at(c.gy, c.gy_stride, i),
            elements(c.gl), elements(c.gu)};
}

template <typename Real>
void vjp_gather_one(const VjpRow<Real> &r, Sums &sums, std::ptrdiff_t j) noexcept
{
    const double w = r.s.w[j];
    const Place p = place_of(static_cast<double>(r.s.x[j]), r.s.l[j], r.s.u[j]);
    sums.num[j & 3] += p.free ? w * static_cast<double>(r.g[j]) : 0.0;
    add_free_weight(sums, j, p.free, w, r.s.w.p != nullptr);
}

// The bounds' row sums, when they are wanted per row.
struct BoundSums {
    double l[4] = {0.0, 0.0, 0.0, 0.0};
    double u[4] = {0.0, 0.0, 0.0, 0.0};
};

template <typename Real>
void vjp_write_one(const VjpRow<Real> &r, double m, BoundSums &bounds, std::ptrdiff_t j) noexcept
{
    const Place p = place_of(static_cast<double>(r.s.x[j]), r.s.l[j], r.s.u[j]);
    const double rest = static_cast<double>(r.g[j]) - m * r.s.w[j];
    r.gy[j] = static_cast<Real>(p.free ? rest : 0.0);
    const double to_l = p.at_l ? rest : 0.0;
    const double to_u = p.at_u ? rest : 0.0;
    if (r.gl) {
        r.gl[j] = static_cast<Real>(to_l);
    }
    if (r.gu) {
        r.gu[j] = static_cast<Real>(to_u);
    }
    bounds.l[j & 3] += to_l;
    bounds.u[j & 3] += to_u;
}

template <typename Real>
void vjp_finish(const Vjp<Real> &c, std::ptrdiff_t i, double m, const BoundSums &bounds) noexcept
{
    if (c.gh) {
        c.gh[i] = m;
    }
    if (c.gl.rows) {
        c.gl.rows[i] = joined(bounds.l);
    }
    if (c.gu.rows) {
        c.gu.rows[i] = joined(bounds.u);
    }
}

template <typename Real>
void vjp_row_plain(const Vjp<Real> &c, std::ptrdiff_t i) noexcept
{
    const VjpRow<Real> r = vjp_row(c, i);
    const std::ptrdiff_t n = c.sets.n;
    Sums sums;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        vjp_gather_one(r, sums, j);
    }
    const double m = per_free_weight(joined(sums.num), free_weight_of(sums, r.s.w.p != nullptr));
    BoundSums bounds;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        vjp_write_one(r, m, bounds, j);
    }
    vjp_finish(c, i, m, bounds);
}

template <typename Real, bool Each>
TAVORIN_SIMD_KERNEL void vjp_row_simd(const Vjp<Real> &c, std::ptrdiff_t i) noexcept
{
    using namespace simd;
    const VjpRow<Real> r = vjp_row(c, i);
    const std::ptrdiff_t n = c.sets.n;
    const F64x4 l_all = broadcast(r.s.l.v), u_all = broadcast(r.s.u.v);
    const F64x4 w_all = broadcast(r.s.w.v);
    const std::ptrdiff_t n4 = n - n % 4;
    F64x4 num = zero(), k = zero(), k_lo = zero();
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const F64x4 w = lanes(r.s.w, w_all, j);
        const PlaceLanes p =
            place_lanes(load(r.s.x + j), lanes(r.s.l, l_all, j), lanes(r.s.u, u_all, j));
        num = num + keep(p.free, w * load(r.g + j));
        add_free_weights<Each>(k, k_lo, p.free, w);
    }
    Sums sums;
    store(sums.num, num);
    store(sums.k, k);
    store(sums.k_lo, k_lo);
    for (std::ptrdiff_t j = n4; j < n; ++j) {
        vjp_gather_one(r, sums, j);
    }
    const double m = per_free_weight(joined(sums.num), free_weight_of(sums, r.s.w.p != nullptr));
    const F64x4 m_all = broadcast(m);
    F64x4 to_l_sum = zero(), to_u_sum = zero();
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const PlaceLanes p =
            place_lanes(load(r.s.x + j), lanes(r.s.l, l_all, j), lanes(r.s.u, u_all, j));
        const F64x4 rest = load(r.g + j) - m_all * lanes(r.s.w, w_all, j);
        store(r.gy + j, keep(p.free, rest));
        const F64x4 to_l = keep(p.at_l, rest);
        const F64x4 to_u = keep(p.at_u, rest);
        if (r.gl) {
            store(r.gl + j, to_l);
        }
        if (r.gu) {
            store(r.gu + j, to_u);
        }
        to_l_sum = to_l_sum + to_l;
        to_u_sum = to_u_sum + to_u;
    }
    BoundSums bounds;
    store(bounds.l, to_l_sum);
    store(bounds.u, to_u_sum);
    for (std::ptrdiff_t j = n4; j < n; ++j) {
        vjp_write_one(r, m, bounds, j);
    }
    vjp_finish(c, i, m, bounds);
}

// ---------------------------------------------------------------------------
// Free weight
// ---------------------------------------------------------------------------

template <typename Real>
void free_weight_one(const RowSets<Real> &s, Sums &k, std::ptrdiff_t j) noexcept
{
    const bool free = place_of(static_cast<double>(s.x[j]), s.l[j], s.u[j]).free;
    add_free_weight(k, j, free, s.w[j], s.w.p != nullptr);
}

template <typename Real>
Real free_weight_plain(const Sets<Real> &sets, std::ptrdiff_t i) noexcept
{
    const RowSets<Real> s = sets_of(sets, i);
    Sums k;
    for (std::ptrdiff_t j = 0; j < sets.n; ++j) {
        free_weight_one(s, k, j);
    }
    return static_cast<Real>(free_weight_of(k, s.w.p != nullptr));
}

template <typename Real, bool Each>
TAVORIN_SIMD_KERNEL Real free_weight_simd(const Sets<Real> &sets, std::ptrdiff_t i) noexcept
{
    using namespace simd;
    const RowSets<Real> s = sets_of(sets, i);
    const F64x4 l_all = broadcast(s.l.v), u_all = broadcast(s.u.v), w_all = broadcast(s.w.v);
    const std::ptrdiff_t n4 = sets.n - sets.n % 4;
    F64x4 k_lanes = zero(), k_lo = zero();
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const F64x4 w = lanes(s.w, w_all, j);
        const PlaceLanes p = place_lanes(load(s.x + j), lanes(s.l, l_all, j), lanes(s.u, u_all, j));
        add_free_weights<Each>(k_lanes, k_lo, p.free, w);
    }
    Sums k;
    store(k.k, k_lanes);
    store(k.k_lo, k_lo);
    for (std::ptrdiff_t j = n4; j < sets.n; ++j) {
        free_weight_one(s, k, j);
    }
    return static_cast<Real>(free_weight_of(k, Each));
}

}  // namespace

template <typename Real>
void free_weight_rows(const Sets<Real> &sets, Real *k, std::ptrdiff_t begin,
                      std::ptrdiff_t end) noexcept
{
    if (!simd::available()) {
        free_weight_rows_plain(sets, k, begin, end);
        return;
    }
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        k[i] = sets.w.elements ? free_weight_simd<Real, true>(sets, i)
                               : free_weight_simd<Real, false>(sets, i);
    }
}

template <typename Real>
void free_weight_rows_plain(const Sets<Real> &sets, Real *k, std::ptrdiff_t begin,
                            std::ptrdiff_t end) noexcept
{
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        k[i] = free_weight_plain(sets, i);
    }
}

template <typename Real>
void jvp_rows(const Jvp<Real> &jvp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    if (!simd::available()) {
        jvp_rows_plain(jvp, begin, end);
        return;
    }
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const JvpRow<Real> r = jvp_row(jvp, i);
        if (r.s.w.p) {
            jvp_row_simd<Real, true>(r, jvp.sets.n);
        }
        else {
            jvp_row_simd<Real, false>(r, jvp.sets.n);
        }
    }
}

template <typename Real>
void vjp_rows(const Vjp<Real> &vjp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    if (!simd::available()) {
        vjp_rows_plain(vjp, begin, end);
        return;
    }
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        if (vjp.sets.w.elements) {
            vjp_row_simd<Real, true>(vjp, i);
        }
        else {
            vjp_row_simd<Real, false>(vjp, i);
        }
    }
}

template <typename Real>
void jvp_rows_plain(const Jvp<Real> &jvp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        jvp_row_plain(jvp_row(jvp, i), jvp.sets.n);
    }
}

template <typename Real>
void vjp_rows_plain(const Vjp<Real> &vjp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        vjp_row_plain(vjp, i);
    }
}

template void jvp_rows(const Jvp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void jvp_rows(const Jvp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows(const Vjp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows(const Vjp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void jvp_rows_plain(const Jvp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void jvp_rows_plain(const Jvp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows_plain(const Vjp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows_plain(const Vjp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void free_weight_rows(const Sets<float> &, float *, std::ptrdiff_t,
                               std::ptrdiff_t) noexcept;
template void free_weight_rows(const Sets<double> &, double *, std::ptrdiff_t,
                               std::ptrdiff_t) noexcept;
template void free_weight_rows_plain(const Sets<float> &, float *, std::ptrdiff_t,
                                     std::ptrdiff_t) noexcept;
template void free_weight_rows_plain(const Sets<double> &, double *, std::ptrdiff_t,
                                     std::ptrdiff_t) noexcept;

}  // namespace tavorin::derivatives
