// The exact solver's passes over a vector: classify at a shift, filter, write, scan for non-finite
// values.
//
// Element j of a vector is at its upper bound at the shift tau when
// u_j <= y_j - tau*w_j, else at its lower bound when y_j - tau*w_j <= l_j,
// else free, with every operation rounded as the write pass rounds it: the
// classes are exactly what the written result shows, and each class is
// monotone in tau.  Every pass has a lane kernel (AVX2 where the processor
// has it) and a plain twin giving the same bytes; sums are kept per lane in
// blocks of four vectors added pairwise, each block then added with its
// rounding error carried, so a sum is good to a few ulps of its terms.
#ifndef TAVORIN_CORE_PASSES_HPP
#define TAVORIN_CORE_PASSES_HPP

#include "core/finish.hpp"
#include "core/tuning.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tavorin::passes {

// The least term of a one-sided decision's error bound (one_sided.cpp, and
// Side::sense): beyond what the products' underflow loses (half the least
// subnormal each), and normal, since arithmetic on subnormals is slow.
constexpr double k_clip_least = 0x1p-1020;

// The error bound of a clip's plain sum over n elements less h, from the
// terms' and h's magnitudes: each product and each addition rounds once, by
// at most half an ulp of a partial sum of magnitudes or, underflowing, of the
// least double.  slack * magnitude + least, the two kept apart for the lanes.
struct ClipError {
    double slack;
    double least;
    double of(double magnitude) const noexcept { return slack * magnitude + least; }
};

inline ClipError clip_error(std::ptrdiff_t n) noexcept
{
    const double terms = static_cast<double>(n) + 2;
    return {terms * std::numeric_limits<double>::epsilon(), terms * k_clip_least};
}

// One vector as the passes read it: l, u, w point at n values each, or are
// null and the same value holds for every element (no weights: w = 1).
template <class T>
struct Span {
    const T *y = nullptr;
    const T *l = nullptr;
    const T *u = nullptr;
    const T *w = nullptr;
    double l_all = 0.0;
    double u_all = 0.0;
    std::ptrdiff_t n = 0;
    bool finite = false;  // every y known finite: classify need not look
    // Its writes store past the caches: into memory apart from y, and more
    // of it than the caches would keep for the caller (a line written
    // through them is first read).
    bool stream = false;
    // With per-element weights, whether classify sums the bound terms w_j*b_j
    // with their products' rounding error.  Rounds whose shift the finish
    // then settles from exact sums of its own need not (rounded, a small
    // free weight may leave them many ulps off, which the finish's moves
    // repay); a shift that stands as the rounds left it (the scaled copy's)
    // does.
    bool exact_bounds = true;
};

// A sum per lane and the rounding error it carries, reduced.
struct Sum {
    double hi = 0.0;
    double lo = 0.0;
};

// The classes at one shift: sums over the free elements of w_j*y_j and
// w_j^2 (the weights' sum only with per-element weights), over the elements
// at a bound of w_j times that bound (only with per-element bounds or
// weights), and how many are at either bound.  `free` counts free elements
// only where they are not simply the others (a filtering pass's).
struct Classes {
    Sum free_wy;
    Sum free_ww;
    Sum bound_w;
    std::int64_t upper = 0;
    std::int64_t lower = 0;
    std::int64_t free = 0;
    bool finite = true;  // every y finite (from classify)
};

// Where the candidates of a filtering pass go: the elements that may be
// free for some shift in [lo, hi], y (and l, u, w where per element) as
// doubles, at most `capacity` of them.
struct Candidates {
    double *y = nullptr;
    double *l = nullptr;
    double *u = nullptr;
    double *w = nullptr;
    std::ptrdiff_t capacity = 0;
};

// What a filtering pass saw: the elements at a bound for every shift of
// [lo, hi] and those free for every one of them, as a Classes; how many
// candidates (the others) it kept, whether they fitted, and whether every y
// was finite.
struct Filtered {
    Classes fixed;
    // The magnitudes of bound_w's terms, sum |w_j b_j| (0 with one l and u
    // and no weights, whose counts serve): its error's bound, for a band
    // taken over the candidates alone (shift::band_vector).
    double magnitude = 0.0;
    // Where the pass summed the free elements without weights: the sum of
    // their |y| and the least nonzero one (infinite: none), for that band.
    double free_magnitude = 0.0;
    double free_least = std::numeric_limits<double>::infinity();
    std::ptrdiff_t kept = 0;
    bool fitted = true;
    bool finite = true;
};

// A call of the whole solve of up to k_side_rows vectors of at most
// k_side_max_n elements (one l, u and h each, no weights) side by side in
// lanes (Table::side_by_side).
template <class T>
struct Side {
    // The vectors: `count` rows of n elements, `stride` elements apart.
    const T *y = nullptr;
    std::ptrdiff_t stride = 0;
    std::ptrdiff_t n = 0;
    int count = 0;
    // k_side_rows entries each, those past `count` copies of the first.
    const double *l = nullptr;
    const double *u = nullptr;
    const double *h = nullptr;
    // start[k] (plus the hyperplane's shift (sum y - h) / n when
    // `relative`), when that is finite and not beyond every breakpoint, is
    // vector k's first trial shift (else the hyperplane's is); start[k]
    // returns the offset of the shift found from the hyperplane's.
    double *start = nullptr;
    bool relative = false;
    // Unless `probe` is null or probe[0] NaN, the copy also takes r at the
    // probe[k] shifts, and Newton's step from there with slope[k] elements
    // free, where finite, is the first trial shift instead; slope (if not
    // null) returns how many elements of each vector are free at its shift
    // (NaN where unknown).
    const double *probe = nullptr;
    double *slope = nullptr;
    // What it found: tau[k], and ok[k] false when it left vector k to the
    // general path (a non-finite y or sum, l >= u, magnitudes near the
    // largest double, a clip that may satisfy a one-sided sum).
    double *tau = nullptr;
    bool *ok = nullptr;
    // With `sense` (then not null), bit k % 4 of clipped[k / 4]
    // (k_side_rows / 4 of them) set where vector k's clip satisfies its sum
    // (the bound shows it) and is written to out; ok[k] is false there.
    int *clipped = nullptr;
    // The settled vectors' projections are written to out (`out_stride`
    // elements apart; may be the rows themselves; null: not written); with
    // `stream`, whole lines of it are stored past the caches where its rows
    // allow.
    T *out = nullptr;
    std::ptrdiff_t out_stride = 0;
    bool stream = false;
    // One-sided (1: sum_j x_j <= h, -1: >= h; 0: the equality): a vector
    // whose clip(y, l, u), l and u rounded to T, satisfies its sum by the
    // sum's error bound is the clip (`clipped`, where out is not null); one
    // the bound leaves open is left unsettled, for the caller to decide
    // exactly; the rest are the equality's.
    int sense = 0;
    // Where the next call's vectors start (null: none; only read ahead
    // into the caches).
    const T *next = nullptr;
    // side_scratch(n) doubles.
    double *scratch = nullptr;
};

// The passes for one element type and one layout of l, u, w.
template <class T>
struct Table {
    Classes (*classify)(const Span<T> &row, double tau) noexcept;
    // filter[1] also sums the elements free over the whole of [lo, hi]
    // (filter[0] keeps them as candidates: cheaper where they are few).
    Filtered (*filter[2])(const Span<T> &row, double lo, double hi, const Candidates &out,
                          std::ptrdiff_t offset) noexcept;
    void (*write)(const Span<T> &row, double tau, T *out) noexcept;
    // The write, with how many elements it put at u and at l.
    void (*write_count)(const Span<T> &row, double tau, T *out, std::int64_t &upper,
                        std::int64_t &lower) noexcept;
    bool (*finite)(const T *y, std::ptrdiff_t n) noexcept;
    // The band of [lo, hi] (finish.hpp).
    finish::Band (*band)(const Span<T> &row, double lo, double hi) noexcept;
    // The whole solve of up to k_side_rows vectors side by side (Side).
    void (*side_by_side)(const Side<T> &call) noexcept;
};

using tuning::k_extra_newton_points;
using tuning::k_side_band_cut_min_n;
using tuning::k_side_cut_min_n;
using tuning::k_side_fetch_bytes;
using tuning::k_side_fetch_start;
using tuning::k_side_grid_max_n;
using tuning::k_side_least_max_n;
using tuning::k_side_max_n;
using tuning::k_side_rows;

constexpr std::ptrdiff_t side_scratch(std::ptrdiff_t n) noexcept
{
    return k_side_rows * n;
}

// The passes for a layout (l, u, w per element or not): the lane kernels,
// or their plain twins when `plain` (or when the processor lacks AVX2).
template <class T>
const Table<T> &table(bool l_each, bool u_each, bool w_each, bool plain) noexcept;

// Whether the plain twins are forced (a switch for the tests).
bool plain_forced() noexcept;
void force_plain(bool plain) noexcept;

}  // namespace tavorin::passes

#endif
