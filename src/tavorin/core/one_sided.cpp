// Whether a one-sided set's vector is its clip: one vector at a time, or runs of them four
// at a time, the sums in lanes and their error bounds (the exact sign in one_sided_sign.cpp).
#include "core/one_sided.hpp"
#include "core/one_sided_row.hpp"

#include "core/passes.hpp"
#include "core/simd.hpp"
#include "core/tuning.hpp"

#include <cmath>
#include <limits>

namespace tavorin::one_sided {

namespace {

using tuning::k_one_sided_block_max_n;
using tuning::k_one_sided_guess_sample;

// Vector i's clip(y, l, u) into its row of out (sets of one value per vector).
template <class T>
void clip_row(const Problem &p, std::ptrdiff_t i) noexcept
{
    const T *y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
    T *x = reinterpret_cast<T *>(p.out + i * p.out_stride);
    const T l_i = static_cast<T>(p.l.vector[i]);
    const T u_i = static_cast<T>(p.u.vector[i]);
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        const T above = y[j] > l_i ? y[j] : l_i;
        x[j] = above < u_i ? above : u_i;
    }
}

struct Sums {
    double sum;
    double size;
    double probe;
};

// Elements j to j + 3 into the sums: of the terms w clip(y_j) (the clip to x
// with Write; x may be null without), of their magnitudes (not with
// OneSign), and of y itself (not with Probe false: y known finite).
template <class T, bool Weighted, bool OneSign, bool Write, bool Probe = true>
TAVORIN_SIMD_INLINE void clip_step(const T *y, T *x, std::ptrdiff_t j, simd::F64x4 l, simd::F64x4 u,
                                   simd::F64x4 w, simd::F64x4 &sum, simd::F64x4 &size,
                                   simd::F64x4 &probe) noexcept
{
    using namespace simd;
    const F64x4 y0 = load(y + j);
    const F64x4 c0 = min(max(y0, l), u);
    if (Write) {
        store(x + j, c0);
    }
    const F64x4 t0 = Weighted ? w * c0 : c0;
    sum = sum + t0;
    if (!OneSign) {
        size = size + max(t0, negated(t0));
    }
    if (Probe) {
        probe = probe + y0;
    }
}

// One vector's sums for clipped_run_simd, in four sets of four lanes: of the
// terms w clip(y_j), of their magnitudes, and of y itself (not finite after
// a NaN or an infinity, or past the doubles).  With OneSign every term has
// the sign of the first (l >= 0 and u >= 0, or u <= 0, and one weight), so
// the magnitudes' sum is the sum's own; with Write the clip goes to x.
template <class T, bool Weighted, bool OneSign, bool Write, bool Probe = true>
TAVORIN_SIMD_INLINE Sums scalar_sums(const T *y, T *x, std::ptrdiff_t n, T l_i, T u_i,
                                     double w_i) noexcept
{
    using namespace simd;
    const F64x4 l = broadcast(static_cast<double>(l_i));
    const F64x4 u = broadcast(static_cast<double>(u_i));
    const F64x4 w = broadcast(w_i);
    // Four sets of lanes: four chains of additions in flight, and the loop's
    // own steps once every sixteen elements.
    F64x4 sum[4] = {zero(), zero(), zero(), zero()};
    F64x4 size[4] = {zero(), zero(), zero(), zero()};
    F64x4 probe[4] = {zero(), zero(), zero(), zero()};
    std::ptrdiff_t j = 0;
    for (; j + 16 <= n; j += 16) {
        for (int q = 0; q < 4; ++q) {
            clip_step<T, Weighted, OneSign, Write, Probe>(y, x, j + 4 * q, l, u, w, sum[q], size[q],
                                                          probe[q]);
        }
    }
    for (int q = 0; j + 4 <= n; j += 4, ++q) {
        clip_step<T, Weighted, OneSign, Write, Probe>(y, x, j, l, u, w, sum[q], size[q], probe[q]);
    }
    double sums[4], sizes[4], probes[4];
    store(sums, (sum[0] + sum[1]) + (sum[2] + sum[3]));
    store(sizes, (size[0] + size[1]) + (size[2] + size[3]));
    store(probes, (probe[0] + probe[1]) + (probe[2] + probe[3]));
    for (; j < n; ++j) {
        const T y_j = y[j];
        const T above = y_j > l_i ? y_j : l_i;
        const T c = above < u_i ? above : u_i;
        if (Write) {
            x[j] = c;
        }
        const double t = w_i * static_cast<double>(c);
        sums[0] += t;
        sizes[0] += std::fabs(t);
        probes[0] += static_cast<double>(y_j);
    }
    Sums s;
    s.sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    s.size = OneSign ? std::fabs(s.sum) : (sizes[0] + sizes[1]) + (sizes[2] + sizes[3]);
    s.probe = (probes[0] + probes[1]) + (probes[2] + probes[3]);
    return s;
}

// One vector's sums for clipped_block, left in lanes: scalar_sums' in one
// set of four, the last partial four read overlapping the four before and
// masked to the elements those did not hold (n >= 4).  With OneSign the
// magnitudes are not summed (clipped_block takes the sum's own).
template <class T, bool Weighted, bool OneSign, bool Write>
TAVORIN_SIMD_INLINE void lane_sums(const T *y, T *x, std::ptrdiff_t n, simd::F64x4 l, simd::F64x4 u,
                                   simd::F64x4 w, simd::Mask4 tail, simd::F64x4 &sum,
                                   simd::F64x4 &size, simd::F64x4 &probe) noexcept
{
    using namespace simd;
    F64x4 s = zero(), a = zero(), q = zero();
    std::ptrdiff_t j = 0;
    for (; j + 4 <= n; j += 4) {
        clip_step<T, Weighted, OneSign, Write>(y, x, j, l, u, w, s, a, q);
    }
    if (j < n) {
        const F64x4 y0 = load(y + n - 4);
        const F64x4 c0 = min(max(y0, l), u);
        if (Write) {
            store(x + n - 4, c0);  // the clip again where the four before wrote it
        }
        const F64x4 t0 = keep(tail, Weighted ? w * c0 : c0);
        s = s + t0;
        if (!OneSign) {
            a = a + max(t0, negated(t0));
        }
        q = q + keep(tail, y0);
    }
    sum = s;
    size = a;
    probe = q;
}

// clipped_run_simd's four vectors from i on (rows of 4 to
// k_one_sided_block_max_n): their sums as lane_sums leaves them, reduced
// and bounded together, lane k vector i + k's.  Sets `decided` (bit k: the
// bound decides vector i + k, else clip_satisfies) and `below` (its sum
// below h).
template <class T, bool Weighted>
TAVORIN_SIMD_INLINE void clipped_block(const Problem &p, std::ptrdiff_t i, bool ahead,
                                       simd::Mask4 tail, double slack, double least, int &decided,
                                       int &below) noexcept
{
    using namespace simd;
    const std::ptrdiff_t n = p.n;
    F64x4 sum[4], size[4], probe[4];
    double h[4];
    int one_sign = 0;
    for (int k = 0; k < 4; ++k) {
        const T *y = reinterpret_cast<const T *>(p.y + (i + k) * p.y_stride);
        T *x = reinterpret_cast<T *>(p.out + (i + k) * p.out_stride);
        const T l_k = static_cast<T>(p.l.vector[i + k]);
        const T u_k = static_cast<T>(p.u.vector[i + k]);
        const F64x4 l = broadcast(static_cast<double>(l_k));
        const F64x4 u = broadcast(static_cast<double>(u_k));
        const F64x4 w = broadcast(Weighted ? p.w.vector[i + k] : 1.0);
        h[k] = p.h[i + k];
        if ((l_k >= 0 && u_k >= 0) || u_k <= 0) {  // the clip lies in [min(l, u), u]
            one_sign |= 1 << k;
            if (ahead) {
                lane_sums<T, Weighted, true, true>(y, x, n, l, u, w, tail, sum[k], size[k],
                                                   probe[k]);
            }
            else {
                lane_sums<T, Weighted, true, false>(y, x, n, l, u, w, tail, sum[k], size[k],
                                                    probe[k]);
            }
        }
        else if (ahead) {
            lane_sums<T, Weighted, false, true>(y, x, n, l, u, w, tail, sum[k], size[k], probe[k]);
        }
        else {
            lane_sums<T, Weighted, false, false>(y, x, n, l, u, w, tail, sum[k], size[k], probe[k]);
        }
    }
    transpose(sum[0], sum[1], sum[2], sum[3]);
    transpose(size[0], size[1], size[2], size[3]);
    transpose(probe[0], probe[1], probe[2], probe[3]);
    const F64x4 total = ((sum[0] + sum[1]) + (sum[2] + sum[3])) - load(h);
    const F64x4 sums = (sum[0] + sum[1]) + (sum[2] + sum[3]);
    const F64x4 sizes = ((size[0] + size[1]) + (size[2] + size[3])) +
                        keep(mask(one_sign), max(sums, negated(sums)));
    const F64x4 probes = (probe[0] + probe[1]) + (probe[2] + probe[3]);
    const F64x4 hs = load(h);
    const F64x4 bound = broadcast(slack) * (sizes + max(hs, negated(hs))) + broadcast(least);
    const Mask4 ok = lt(bound, max(total, negated(total))) &
                     le(bound, broadcast(std::numeric_limits<double>::max())) &
                     eq(probes - probes, zero());
    decided = bits(ok);
    below = bits(lt(total, zero()));
}

// Whether vector i's clip satisfies it, from clipped_block's lane for it
// (`decided`: the bound decides; `below`: its sum below h), else
// clip_satisfies; the clip written when it does and was not written ahead.
template <class T>
TAVORIN_SIMD_INLINE bool settled(const Problem &p, std::ptrdiff_t i, bool decided, bool below,
                                 bool clipped, bool ahead) noexcept
{
    if (!decided) {
        // NaN or infinity in y, a sum within rounding of h or beyond the doubles.
        return clip_satisfies<T>(p, i, clipped);
    }
    const bool satisfied = (below ? -p.sense : p.sense) <= 0;
    if (satisfied && !ahead) {
        clip_row<T>(p, i);
    }
    return satisfied;
}

// Vectors i on of the block `d` holds, while it holds them and they go as the
// run expects (settled, the clip written if it was not): false at one that
// does not (i left at it).
template <class T>
TAVORIN_SIMD_INLINE bool from_block(const Problem &p, std::ptrdiff_t &i, std::ptrdiff_t end,
                                    bool clipped, const Decisions &d) noexcept
{
    for (; i < end && i >= d.first && i < d.first + 4; ++i) {
        const int k = static_cast<int>(i - d.first);
        if (settled<T>(p, i, d.decided >> k & 1, d.below >> k & 1, clipped, d.written) != clipped) {
            return false;
        }
    }
    return true;
}

// clipped_block's blocks for vectors that share l, u, w and h, from i on
// while four are left before `reach` (i left past the last taken): the
// setup once, and a block all of whose vectors the bound decides as the run
// expects settled in one test.  The last block read stays in `d`.  The
// vector the run stops at, or -1.
template <class T, bool Weighted, bool OneSign, bool Write>
TAVORIN_SIMD_INLINE std::ptrdiff_t uniform_blocks(const Problem &p, std::ptrdiff_t &i,
                                                  std::ptrdiff_t end, std::ptrdiff_t reach,
                                                  bool clipped, simd::Mask4 tail, double slack,
                                                  double least, Decisions &d) noexcept
{
    using namespace simd;
    const std::ptrdiff_t n = p.n;
    const F64x4 l = broadcast(static_cast<double>(static_cast<T>(p.l.vector[i])));
    const F64x4 u = broadcast(static_cast<double>(static_cast<T>(p.u.vector[i])));
    const F64x4 w = broadcast(Weighted ? p.w.vector[i] : 1.0);
    const double h = p.h[i];
    const F64x4 hs = broadcast(h);
    const F64x4 slacks = broadcast(slack);
    const F64x4 rest = broadcast(slack * std::fabs(h) + least);
    const F64x4 most = broadcast(std::numeric_limits<double>::max());
    // Bit k of the satisfied vectors' mask from bit k of the below-h one.
    const int flip = p.sense > 0 ? 0 : 0xf;
    const int want = clipped ? 0xf : 0;
    while (i < end && i + 4 <= reach) {
        F64x4 sum[4], size[4], probe[4];
        for (int k = 0; k < 4; ++k) {
            const T *y = reinterpret_cast<const T *>(p.y + (i + k) * p.y_stride);
            T *x = reinterpret_cast<T *>(p.out + (i + k) * p.out_stride);
            lane_sums<T, Weighted, OneSign, Write>(y, x, n, l, u, w, tail, sum[k], size[k],
                                                   probe[k]);
        }
        transpose(sum[0], sum[1], sum[2], sum[3]);
        transpose(probe[0], probe[1], probe[2], probe[3]);
        const F64x4 sums = (sum[0] + sum[1]) + (sum[2] + sum[3]);
        F64x4 sizes = max(sums, negated(sums));
        if (!OneSign) {
            transpose(size[0], size[1], size[2], size[3]);
            sizes = (size[0] + size[1]) + (size[2] + size[3]);
        }
        const F64x4 probes = (probe[0] + probe[1]) + (probe[2] + probe[3]);
        const F64x4 total = sums - hs;
        const F64x4 bound = slacks * sizes + rest;
        const Mask4 ok =
            lt(bound, max(total, negated(total))) & le(bound, most) & eq(probes - probes, zero());
        const int decided = bits(ok);
        const int below = bits(lt(total, zero()));
        const bool expected =
            decided == 0xf && ((below ^ flip) & 0xf) == want && (Write || !clipped);
        if (expected && i + 4 <= end) {
            i += 4;  // as expected, and (clipped) written ahead
            continue;
        }
        d.first = i;
        d.decided = decided;
        d.below = below;
        d.written = Write;
        if (expected) {
            i = end;  // the rest of the block stays in d for the next run
            break;
        }
        if (!from_block<T>(p, i, end, clipped, d)) {
            return i;
        }
        if (i >= end) {
            break;  // the rest of the block stays in d for the next run
        }
    }
    return -1;
}

// clipped_run for sets of one value per vector: each vector's sums in lanes
// (scalar_sums), decided here where the error bound decides it, else by
// clip_satisfies.  The clip is written as it is summed only in a run
// expected clipped (an active vector's row is the equality's to write); a
// vector that turns out otherwise is clipped again, or left.  One call for a
// run of short vectors, not a call and its setup each.
template <class T, bool Weighted>
TAVORIN_SIMD_KERNEL std::ptrdiff_t clipped_run_simd(const Problem &p, std::ptrdiff_t begin,
                                                    std::ptrdiff_t end, bool clipped,
                                                    Decisions &d) noexcept
{
    const std::ptrdiff_t n = p.n;
    const bool ahead = clipped && p.out != p.y;
    const passes::ClipError error = passes::clip_error(n);
    const double slack = error.slack;
    const double least = error.least;
    std::ptrdiff_t i = begin;
    if (n >= 4 && n <= k_one_sided_block_max_n) {
        // A run within the block read before needs no setup.
        if (!from_block<T>(p, i, end, clipped, d) || i >= end) {
            return i - begin;
        }
        // Blocks may read ahead of the run, up to the thread's last vector.
        const std::ptrdiff_t reach = d.limit > end ? d.limit : end;
        const simd::Mask4 tail = simd::mask((0xf << (4 - n % 4)) & 0xf);
        const bool uniform = p.l.vector.stride == 0 && p.u.vector.stride == 0 &&
                             (!Weighted || p.w.vector.stride == 0) && p.h.stride == 0;
        if (uniform) {
            const T l_i = static_cast<T>(p.l.vector[i]);
            const T u_i = static_cast<T>(p.u.vector[i]);
            const bool one_sign = (l_i >= 0 && u_i >= 0) || u_i <= 0;
            const std::ptrdiff_t stop =
                one_sign ? (ahead ? uniform_blocks<T, Weighted, true, true>(
                                        p, i, end, reach, clipped, tail, slack, least, d)
                                  : uniform_blocks<T, Weighted, true, false>(
                                        p, i, end, reach, clipped, tail, slack, least, d))
                         : (ahead ? uniform_blocks<T, Weighted, false, true>(
                                        p, i, end, reach, clipped, tail, slack, least, d)
                                  : uniform_blocks<T, Weighted, false, false>(
                                        p, i, end, reach, clipped, tail, slack, least, d));
            if (stop >= 0) {
                return stop - begin;
            }
        }
        while (i < end && i + 4 <= reach) {
            clipped_block<T, Weighted>(p, i, ahead, tail, slack, least, d.decided, d.below);
            d.first = i;
            d.written = ahead;
            if (!from_block<T>(p, i, end, clipped, d)) {
                return i - begin;
            }
        }
    }
    for (; i < end; ++i) {
        const T *y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
        T *x = reinterpret_cast<T *>(p.out + i * p.out_stride);
        const T l_i = static_cast<T>(p.l.vector[i]);
        const T u_i = static_cast<T>(p.u.vector[i]);
        const double w_i = Weighted ? p.w.vector[i] : 1.0;
        // The clip lies in [min(l, u), u].
        const bool one_sign = (l_i >= 0 && u_i >= 0) || u_i <= 0;
        const Sums s =
            one_sign ? (ahead ? scalar_sums<T, Weighted, true, true>(y, x, n, l_i, u_i, w_i)
                              : scalar_sums<T, Weighted, true, false>(y, x, n, l_i, u_i, w_i))
                     : (ahead ? scalar_sums<T, Weighted, false, true>(y, x, n, l_i, u_i, w_i)
                              : scalar_sums<T, Weighted, false, false>(y, x, n, l_i, u_i, w_i));
        const double h = p.h[i];
        const double total = s.sum - h;
        const double bound = error.of(s.size + std::fabs(h));
        if (!(std::isfinite(s.probe) && std::fabs(total) > bound &&
              bound <= std::numeric_limits<double>::max())) {
            // NaN or infinity in y, a sum within rounding of h or beyond the doubles.
            if (clip_satisfies<T>(p, i, clipped) != clipped) {
                break;
            }
            continue;
        }
        const bool satisfied = (total > 0 ? p.sense : -p.sense) <= 0;
        if (satisfied && !ahead) {
            clip_row<T>(p, i);
        }
        if (satisfied != clipped) {
            break;
        }
    }
    return i - begin;
}

// The sign of sum_j w clip(y_j) - h for sets of one value per vector, from
// scalar_sums where its error bound decides it, else 3 (clip_sign decides).
// `finite`: y is known to hold no NaN or infinity (scanned), so that the sums
// need not look for them when the clip is not written.
template <class T, bool Weighted>
TAVORIN_SIMD_KERNEL int scalar_sign(const Row<T> &r, T *x, double h, bool finite) noexcept
{
    const bool one_sign = (r.l_all >= 0 && r.u_all >= 0) || r.u_all <= 0;
    const T l = r.l_all;
    const T u = r.u_all;
    Sums s;
    if (x) {
        s = one_sign ? scalar_sums<T, Weighted, true, true>(r.y, x, r.n, l, u, r.w_all)
                     : scalar_sums<T, Weighted, false, true>(r.y, x, r.n, l, u, r.w_all);
    }
    else if (finite) {
        s = one_sign ? scalar_sums<T, Weighted, true, false, false>(r.y, x, r.n, l, u, r.w_all)
                     : scalar_sums<T, Weighted, false, false, false>(r.y, x, r.n, l, u, r.w_all);
    }
    else {
        s = one_sign ? scalar_sums<T, Weighted, true, false>(r.y, x, r.n, l, u, r.w_all)
                     : scalar_sums<T, Weighted, false, false>(r.y, x, r.n, l, u, r.w_all);
    }
    const double total = s.sum - h;
    const double bound = passes::clip_error(r.n).of(s.size + std::fabs(h));
    if (std::isfinite(s.probe) && std::fabs(total) > bound &&
        bound <= std::numeric_limits<double>::max()) {
        return total > 0 ? 1 : -1;
    }
    return 3;
}

template <class T>
int scalar_sign(const Row<T> &r, T *x, double h, bool finite) noexcept
{
    return r.w_all != 1.0 ? scalar_sign<T, true>(r, x, h, finite)
                          : scalar_sign<T, false>(r, x, h, finite);
}

}  // namespace

template <class T>
bool likely_clipped(const Problem &p, std::ptrdiff_t i) noexcept
{
    constexpr std::ptrdiff_t k = k_one_sided_guess_sample;
    const Row<T> r = row_at<T>(p, i);
    if (r.n < 2 * k) {
        return true;
    }
    // Evenly spread, the first half a step in.
    double sum = 0.0;
    for (std::ptrdiff_t q = 0; q < k; ++q) {
        const std::ptrdiff_t j = (2 * q + 1) * r.n / (2 * k);
        sum += r.weight(j) * static_cast<double>(r.clip(j));
    }
    const double estimate = sum * (static_cast<double>(r.n) / static_cast<double>(k));
    return p.sense > 0 ? !(estimate > p.h[i]) : !(estimate < p.h[i]);
}

template <class T>
bool clip_satisfies(const Problem &p, std::ptrdiff_t i, bool write) noexcept
{
    const Row<T> r = row_at<T>(p, i);
    T *out = reinterpret_cast<T *>(p.out + i * p.out_stride);
    // In place, y stays intact until the clip is known to be the result.
    const bool ahead = write && p.out != p.y;
    int sign = 3;
    if (!r.l && !r.u && !r.w && simd::available()) {
        sign = scalar_sign(r, ahead ? out : nullptr, p.h[i], p.finite);
    }
    if (sign == 3) {
        sign = clip_sign(r, ahead ? out : nullptr, p.h[i]);
    }
    if (sign == 2 || sign * p.sense > 0) {
        return false;  // NaN or infinity: the equality's solve refuses or projects it
    }
    for (std::ptrdiff_t j = 0; !ahead && j < r.n; ++j) {
        out[j] = r.clip(j);
    }
    return true;
}

template <class T>
bool equality_first(const Problem &p, std::ptrdiff_t i) noexcept
{
    if (p.out == p.y || p.l.each || p.u.each || p.w.vector.data) {
        return false;
    }
    const double l = p.l.vector[i];
    const double u = p.u.vector[i];
    if (static_cast<double>(static_cast<T>(l)) != l ||
        static_cast<double>(static_cast<T>(u)) != u) {
        return false;
    }
    const double reach = static_cast<double>(p.n) * (p.sense > 0 ? u : l);
    if (std::isinf(reach)) {
        return p.sense > 0 ? reach > 0 : reach < 0;
    }
    // 2^-20: past the product's rounding and the bound's to float.
    const double margin = std::fabs(reach) * 0x1p-20;
    return p.sense > 0 ? p.h[i] < reach - margin : p.h[i] > reach + margin;
}

template <class T>
int clips_of_unsettled(const Problem &p, std::ptrdiff_t i, int count, bool *ok,
                       const int *clipped) noexcept
{
    int clips = 0;
    for (int k = 0; k < count; ++k) {
        const bool written = ((clipped[k / 4] >> (k % 4)) & 1) != 0;
        if (!ok[k] && (written || clip_satisfies<T>(p, i + k))) {
            ok[k] = true;
            ++clips;
        }
    }
    return clips;
}

template <class T>
std::ptrdiff_t clipped_run(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t end, bool clipped,
                           Decisions *decisions) noexcept
{
    if (simd::available() && !p.l.each && !p.u.each && !p.w.each) {
        Decisions none;
        Decisions &d = decisions ? *decisions : none;
        return p.w.vector.data ? clipped_run_simd<T, true>(p, begin, end, clipped, d)
                               : clipped_run_simd<T, false>(p, begin, end, clipped, d);
    }
    std::ptrdiff_t i = begin;
    while (i < end && clip_satisfies<T>(p, i, clipped) == clipped) {
        ++i;
    }
    return i - begin;
}

template bool likely_clipped<float>(const Problem &, std::ptrdiff_t) noexcept;
template bool likely_clipped<double>(const Problem &, std::ptrdiff_t) noexcept;
template bool equality_first<float>(const Problem &, std::ptrdiff_t) noexcept;
template bool equality_first<double>(const Problem &, std::ptrdiff_t) noexcept;
template bool clip_satisfies<float>(const Problem &, std::ptrdiff_t, bool) noexcept;
template bool clip_satisfies<double>(const Problem &, std::ptrdiff_t, bool) noexcept;
template int clips_of_unsettled<float>(const Problem &, std::ptrdiff_t, int, bool *,
                                       const int *) noexcept;
template int clips_of_unsettled<double>(const Problem &, std::ptrdiff_t, int, bool *,
                                        const int *) noexcept;
template std::ptrdiff_t clipped_run<float>(const Problem &, std::ptrdiff_t, std::ptrdiff_t, bool,
                                           Decisions *) noexcept;
template std::ptrdiff_t clipped_run<double>(const Problem &, std::ptrdiff_t, std::ptrdiff_t, bool,
                                            Decisions *) noexcept;

}  // namespace tavorin::one_sided
