// The root of one vector's piecewise-linear residual: the shift tau of its projection.
#ifndef TAVORIN_CORE_SHIFT_HPP
#define TAVORIN_CORE_SHIFT_HPP

#include "core/blocks.hpp"
#include "core/tuning.hpp"
#include "core/passes.hpp"
#include "core/spare.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace tavorin::shift {

// The threads a long vector's passes split over: the calling thread alone,
// or a team kept for the call.
struct Splitter {
    Team *team = nullptr;

    bool splits() const noexcept { return team && team->size() > 1; }
};

// Doubles left uninitialised: a vector's zero fill would touch every page
// of the candidates' room, most of which a filtering pass leaves unused
// (measured: a fifth of the time of one vector of 10^7).  Large blocks are
// handed on to the next call (core/spare.hpp), whose pages are then already
// mapped.
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { spare::give(data_, size_); }

    double *data() noexcept { return data_; }
    const double *data() const noexcept { return data_; }
    double &operator[](std::ptrdiff_t i) noexcept { return data_[i]; }
    double operator[](std::ptrdiff_t i) const noexcept { return data_[i]; }
    // Room for n doubles (what it held is lost when it grows); false
    // when there is no memory for them.
    bool reserve(std::ptrdiff_t n) noexcept
    {
        if (n <= size_) {
            return true;
        }
        std::ptrdiff_t size = n;
        double *grown = spare::take(n, size);
        if (!grown) {
            grown = spare::allocate(n);
            if (!grown) {
                return false;
            }
        }
        spare::give(data_, size_);
        data_ = grown;
        size_ = size;
        return true;
    }

private:
    double *data_ = nullptr;
    std::ptrdiff_t size_ = 0;
};

using tuning::k_filter_min_n;

// What a filtering pass left of the vector it filtered last: the band of
// shifts [lo, hi] over which every element it did not keep has one class,
// and those elements' sums, exact as a band's (counts, and sums carried with
// their rounding errors; not when it summed free ones too).  A band inside
// it is then the candidates' band plus those (band_vector).
struct Filtering {
    const void *y = nullptr;  // the vector's elements (null: none kept)
    const void *l = nullptr;
    const void *u = nullptr;
    const void *w = nullptr;
    double l_all = 0.0;
    double u_all = 0.0;
    std::ptrdiff_t n = 0;
    double lo = 0.0;
    double hi = 0.0;
    passes::Filtered filtered;
    bool pieces = false;  // the candidates lie in the workspace's pieces
};

// Scratch memory of one thread, grown as vectors need it, and the passes'
// build its vectors run on.
struct Workspace {
    // The passes' plain twins, not the lane kernels: chosen once where a
    // call begins (passes::plain_forced), read by every pass it takes.
    bool plain = false;
    Scratch y, l, u, w;                    // the candidates of a filtering pass
    Scratch sy, sl, su, sw;                // a sample
    Scratch xy, xl, xu, xw;                // a scaled copy
    std::vector<passes::Filtered> chunks;  // a filtering pass, chunk by chunk
    std::vector<passes::Classes> classes;  // a long span's classes, chunk by chunk
    // Where a filtering pass's many candidates lie, chunk by chunk (offset
    // into y, l, u, w above, and count), while `pieces_used`: their rounds
    // classify them piece by piece, as they lie, on one thread or several
    // (`classes` has room for a piece each: the vector's chunk count).
    std::vector<std::ptrdiff_t> piece_at, piece_n;
    bool pieces_used = false;
    // The threads a long span's classify runs on (solve_vector's splitter).
    Splitter split;
    // The last solve_vector's filtering pass, while its candidates are held.
    Filtering filtering;
    // Element visits of the passes (classify, filter) so far: what the
    // fuzzer holds to the O(n log n) bound.
    std::int64_t visits = 0;
    int exponent = 0;  // the scaled copy's
#ifdef TAVORIN_TEST_KNOBS
    // The lengths from which vectors are filtered, and summed by the filter
    // (tuning.hpp); the fuzzer lowers them to reach those paths with short
    // inputs.  Only its build has them (meson's fuzz option).
    std::ptrdiff_t filter_min_n = tuning::k_filter_min_n;
    std::ptrdiff_t summing_min_n = tuning::k_summing_min_n;
#endif
};

// The lengths from which vectors are filtered and summed by the filter: the
// tuning's, or the fuzzer's knobs.
inline std::ptrdiff_t filter_min_n([[maybe_unused]] const Workspace &ws) noexcept
{
#ifdef TAVORIN_TEST_KNOBS
    return ws.filter_min_n;
#else
    return tuning::k_filter_min_n;
#endif
}
inline std::ptrdiff_t summing_min_n([[maybe_unused]] const Workspace &ws) noexcept
{
#ifdef TAVORIN_TEST_KNOBS
    return ws.summing_min_n;
#else
    return tuning::k_summing_min_n;
#endif
}

// A vector's problem: its span (l, u, w per element where set) and h.
template <class T>
struct Vector {
    passes::Span<T> span;
    double h = 0.0;
    // Where not null, the signs write_vector gives the result, a bit an
    // element (signs.hpp).
    const std::uint8_t *sign_bits = nullptr;
};

struct Found {
    double tau = 0.0;
    bool finite = true;  // false: some y is NaN or infinite
    // Solved on the workspace's copy scaled by 2^-exponent (sums of the
    // vector overflow): tau is the copy's, write with write_scaled.
    bool scaled = false;
    int exponent = 0;
    bool verified = true;  // false: the scaled copy's rounds ran out (tau a last trial)
    bool written = false;  // the projection is in `out` already
};

// The shift of the vector's projection: x_j = clip(y_j - tau*w_j, l_j, u_j)
// has sum_j w_j x_j = h up to a few ulps of the vector's scale.  With `out`
// (memory apart from y), a round whose classes barely moved may write the
// projection of the next shift there at once, counting its classes: when they
// are the ones the shift came from, that write is the verification round and
// the result (Found::written); else it is overwritten later.  A vector
// shorter than filter_min_n(ws) starts its rounds from `start` where it is a
// number (a like vector's shift, from its neighbour in a batch), else from a
// sample's.  Where they start changes how many rounds they take; the result
// is the one finish.hpp's rule settles from their shift.
template <class T>
Found solve_vector(const Vector<T> &vector, Workspace &ws, const Splitter &splitter,
                   T *out = nullptr,
                   double start = std::numeric_limits<double>::quiet_NaN()) noexcept;

// The shift of a vector whose every element has the weight `weight` (its
// span without weights, h the weighted sum's), found on the workspace's copy
// scaled by powers of two: for an h / weight beyond the doubles.  Write it
// with write_scaled.
template <class T>
Found solve_weighted(const Vector<T> &vector, double weight, Workspace &ws) noexcept;

// Writes the projection for the shift, on the splitter's threads when it has them.
template <class T>
void write_vector(const Vector<T> &vector, double tau, T *out, const Workspace &ws,
                  const Splitter &splitter) noexcept;

// The band of [lo, hi] over the vector (finish.hpp), on the splitter's
// threads when it has them: over the candidates of the workspace's
// filtering pass alone where `ws` holds that of this vector and its band
// holds [lo, hi], else over every element.
template <class T>
finish::Band band_vector(const Vector<T> &vector, double lo, double hi, const Workspace &ws,
                         const Splitter &splitter) noexcept;

// Writes the projection of a vector solved on its scaled copy (the
// workspace still holding it): the copy's result scaled back, exactly.
template <class T>
void write_scaled(const Vector<T> &vector, const Workspace &ws, const Found &found,
                  T *out) noexcept;

}  // namespace tavorin::shift

#endif
