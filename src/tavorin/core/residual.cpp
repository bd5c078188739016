// The residual of a row, with the four-lane path that leaves exactly-zero terms out of the sum.
//
// brentq calls the residual many times per row: it runs on raw doubles with no
// allocation, and its sum is accumulated strictly left to right because its
// exact value steers the root finder (terms that are exactly zero may be left
// out: that changes no bit of the sum).
#include "core/projection.hpp"
#include "core/simd.hpp"

#include <utility>

namespace tavorin {

namespace {

// Adds the clips of y[i..n) - x to s strictly left to right: a reassociated
// (vectorised or pairwise) sum would round differently and send brentq down
// another path.  The clips of two neighbours are independent, so computing
// them ahead keeps the adder busy without changing the order of the additions.
inline double add_clips(double s, const double *y, std::ptrdiff_t i, std::ptrdiff_t n, double x,
                        double l, double u) noexcept
{
    for (; i + 2 <= n; i += 2) {
        const double c0 = clip(y[i] - x, l, u);
        const double c1 = clip(y[i + 1] - x, l, u);
        s += c0;
        s += c1;
    }
    if (i < n) {
        s += clip(y[i] - x, l, u);
    }
    return s;
}

// Leaving out the terms that are exactly zero keeps the sum bit for bit: it
// starts at +0.0 and can never become -0.0 (x + (-x) is +0.0 when rounding to
// nearest), and adding +0.0 or -0.0 to anything but -0.0 changes no bit of it,
// NaN and infinities included.  So only the other terms need to go through the
// dependent chain of additions, still in index order; with l = 0 most terms
// are zero at most trial shifts.  The terms are compacted four at a time with
// one lane permute (simd::compress); on x86 without AVX2 (SSE2 alone has no
// such permute) the compaction measured slower than adding every term on rows
// of about a hundred, so there every term is added.
constexpr std::ptrdiff_t k_block = 128;
// On shorter rows the latency from load to compacted store to reload before
// the first addition is not repaid.
constexpr std::ptrdiff_t k_compaction_min_n = 96;

// Appends the non-zero clips of y[0..4) - x to out[k..), writing four slots.
TAVORIN_SIMD_INLINE void append_nonzero(const double *y, simd::F64x4 x, simd::F64x4 l,
                                        simd::F64x4 u, double *out, std::ptrdiff_t &k) noexcept
{
    // min(u, t) and max(l, c) return their second operand when either is NaN:
    // the same results as clip.  A NaN compares unequal to zero and is kept.
    const simd::F64x4 c = simd::max(l, simd::min(u, simd::load(y) - x));
    const int set = simd::bits(simd::ne(c, simd::zero()));
    simd::store(out + k, simd::compress(c, set));
    k += simd::lane_count(set);
}

inline double add4(double s, const double *t) noexcept
{
    s += t[0];
    s += t[1];
    s += t[2];
    s += t[3];
    return s;
}

// The residual with the zero terms left out of the sum.  Each block's
// non-zero terms are compacted while the previous block's are being added,
// so the compaction hides behind the latency of the chain; the chain reads
// whole groups of four, padded with +0.0.
TAVORIN_SIMD_KERNEL double residual_without_zeros(double x, const params &p) noexcept
{
    const double *y = p.y;
    const std::ptrdiff_t n = p.n - p.n % 4;
    alignas(32) double buffers[2][k_block + 4];
    double *pending = buffers[0];
    double *fresh = buffers[1];
    std::ptrdiff_t n_pending = 0;
    const simd::F64x4 vx = simd::broadcast(x);
    const simd::F64x4 vl = simd::broadcast(p.l);
    const simd::F64x4 vu = simd::broadcast(p.u);
    double s = 0.0;
    for (std::ptrdiff_t i = 0; i < n; i += k_block) {
        const std::ptrdiff_t len = (n - i < k_block) ? n - i : k_block;
        std::ptrdiff_t k = 0;
        std::ptrdiff_t j = 0;
        for (; j < len && j < n_pending; j += 4) {
            append_nonzero(y + i + j, vx, vl, vu, fresh, k);
            s = add4(s, pending + j);
        }
        for (std::ptrdiff_t t = j; t < n_pending; t += 4) {
            s = add4(s, pending + t);
        }
        for (; j < len; j += 4) {
            append_nonzero(y + i + j, vx, vl, vu, fresh, k);
        }
        simd::store(fresh + k, simd::zero());
        std::swap(pending, fresh);
        n_pending = k;
    }
    for (std::ptrdiff_t t = 0; t < n_pending; t += 4) {
        s = add4(s, pending + t);
    }
    return add_clips(s, y, n, p.n, x, p.l, p.u) - p.h;
}

}  // namespace

double f(double x, void *args) noexcept
{
    const params &p = *static_cast<const params *>(args);
    if (p.n >= k_compaction_min_n && simd::available()) {
        return residual_without_zeros(x, p);
    }
    return add_clips(0.0, p.y, 0, p.n, x, p.l, p.u) - p.h;
}

}  // namespace tavorin
