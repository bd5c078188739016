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

#include <cstddef>
#include <cstdint>

namespace tavorin::passes {

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
};

// A sum per lane and the rounding error it carries, reduced.
struct Sum {
    double hi = 0.0;
    double lo = 0.0;
};

// The classes at one shift: sums over the free elements of w_j*y_j and
// w_j^2 (the weights' sum only with per-element weights), over the elements
// at a bound of w_j times that bound (only with per-element bounds or
// weights), and how many are at either bound.
struct Classes {
    Sum free_wy;
    Sum free_ww;
    Sum bound_w;
    std::int64_t upper = 0;
    std::int64_t lower = 0;
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
// [lo, hi] as a Classes (no free sums), how many candidates it kept, whether
// they fitted, and whether every y was finite.
struct Filtered {
    Classes fixed;
    std::ptrdiff_t kept = 0;
    bool fitted = true;
    bool finite = true;
};

// The passes for one element type and one layout of l, u, w.
template <class T>
struct Table {
    Classes (*classify)(const Span<T> &row, double tau) noexcept;
    Filtered (*filter)(const Span<T> &row, double lo, double hi, const Candidates &out,
                       std::ptrdiff_t offset) noexcept;
    void (*write)(const Span<T> &row, double tau, T *out) noexcept;
    // The write, with how many elements it put at u and at l.
    void (*write_count)(const Span<T> &row, double tau, T *out, std::int64_t &upper,
                        std::int64_t &lower) noexcept;
    bool (*finite)(const T *y, std::ptrdiff_t n) noexcept;
    // The whole solve of up to four short vectors (n <= k_short, bounds the
    // same for every element, no weights), `stride` elements apart, in
    // registers, their rounds interleaved: ok[k] false when it did not
    // settle vector k (a non-finite sum, say), for the general path to do.
    // The leading settled vectors' projections are written to out
    // (`out_stride` elements apart; null: not written).
    void (*short_shifts)(const T *y, std::ptrdiff_t stride, std::ptrdiff_t n, int count,
                         const double *l, const double *u, const double *h, double *tau, bool *ok,
                         T *out, std::ptrdiff_t out_stride) noexcept;
};

// The longest vector short_shift takes.
constexpr std::ptrdiff_t k_short = 16;

// The passes for a layout (l, u, w per element or not): the lane kernels,
// or their plain twins when `plain` (or when the processor lacks AVX2).
template <class T>
const Table<T> &table(bool l_each, bool u_each, bool w_each, bool plain) noexcept;

// Whether the plain twins are forced (a switch for the tests).
bool plain_forced() noexcept;
void force_plain(bool plain) noexcept;

}  // namespace tavorin::passes

#endif
