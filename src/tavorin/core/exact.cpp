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
#include "core/exact.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include <immintrin.h>

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

// Adds element j to the piece: the scalar form of the loop below, and its tail.
inline void scan_one(Piece &piece, double (&sums)[4], std::ptrdiff_t j, double v, double tau,
                     double l, double u) noexcept
{
    const double leaves_u = v - u;
    const double reaches_l = v - l;
    const bool at_u = tau < leaves_u;
    const bool at_l = !at_u && tau >= reaches_l;
    const bool free = !at_u && !at_l;  // a NaN element is free
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

// The free elements' sum needs no fixed order (the division that follows
// rounds anyway), so it is kept in four running sums, element j in sum j % 4,
// both here and in the AVX2 loop: the two give the same piece to the bit.
Piece scan_scalar(const params &p, double tau) noexcept
{
    Piece piece;
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        scan_one(piece, sums, j, p.y[j], tau, p.l, p.u);
    }
    piece.free_sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    return piece;
}

// Four elements a step with masks instead of branches: on rows with many
// free elements the scalar loop's branches are mispredicted often enough to
// cost more than brentq itself.
__attribute__((target("avx2"))) Piece scan_avx2(const params &p, double tau) noexcept
{
    const __m256d vt = _mm256_set1_pd(tau);
    const __m256d vl = _mm256_set1_pd(p.l);
    const __m256d vu = _mm256_set1_pd(p.u);
    const __m256d inf = _mm256_set1_pd(k_inf);
    const __m256d minus_inf = _mm256_set1_pd(-k_inf);
    __m256d sums = _mm256_setzero_pd();
    __m256d above = inf;
    __m256d below = minus_inf;
    __m256i upper = _mm256_setzero_si256();
    __m256i lower = _mm256_setzero_si256();
    const std::ptrdiff_t n4 = p.n - p.n % 4;
    for (std::ptrdiff_t j = 0; j < n4; j += 4) {
        const __m256d v = _mm256_loadu_pd(p.y + j);
        const __m256d leaves_u = _mm256_sub_pd(v, vu);
        const __m256d reaches_l = _mm256_sub_pd(v, vl);
        // Ordered comparisons are false for NaN, as in scan_one.
        const __m256d at_u = _mm256_cmp_pd(vt, leaves_u, _CMP_LT_OQ);
        const __m256d at_l = _mm256_andnot_pd(at_u, _mm256_cmp_pd(vt, reaches_l, _CMP_GE_OQ));
        const __m256d fixed = _mm256_or_pd(at_u, at_l);
        sums = _mm256_add_pd(sums, _mm256_andnot_pd(fixed, v));
        // A set mask lane is the integer -1.
        upper = _mm256_sub_epi64(upper, _mm256_castpd_si256(at_u));
        lower = _mm256_sub_epi64(lower, _mm256_castpd_si256(at_l));
        const __m256d l_above = _mm256_cmp_pd(vt, reaches_l, _CMP_LT_OQ);
        const __m256d u_below = _mm256_cmp_pd(vt, leaves_u, _CMP_GE_OQ);
        const __m256d next_above =
            _mm256_blendv_pd(_mm256_blendv_pd(inf, reaches_l, l_above), leaves_u, at_u);
        const __m256d next_below =
            _mm256_blendv_pd(_mm256_blendv_pd(minus_inf, leaves_u, u_below), reaches_l, at_l);
        above = _mm256_min_pd(above, next_above);
        below = _mm256_max_pd(below, next_below);
    }
    alignas(32) double s[4];
    alignas(32) double a[4];
    alignas(32) double b[4];
    alignas(32) std::int64_t cu[4];
    alignas(32) std::int64_t cl[4];
    _mm256_store_pd(s, sums);
    _mm256_store_pd(a, above);
    _mm256_store_pd(b, below);
    _mm256_store_si256(reinterpret_cast<__m256i *>(cu), upper);
    _mm256_store_si256(reinterpret_cast<__m256i *>(cl), lower);
    Piece piece;
    for (int k = 0; k < 4; ++k) {
        piece.upper += cu[k];
        piece.lower += cl[k];
        piece.above = a[k] < piece.above ? a[k] : piece.above;
        piece.below = b[k] > piece.below ? b[k] : piece.below;
    }
    for (std::ptrdiff_t j = n4; j < p.n; ++j) {
        scan_one(piece, s, j, p.y[j], tau, p.l, p.u);
    }
    piece.free_sum = (s[0] + s[1]) + (s[2] + s[3]);
    return piece;
}

Piece scan(const params &p, double tau) noexcept
{
    return __builtin_cpu_supports("avx2") ? scan_avx2(p, tau) : scan_scalar(p, tau);
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
