// The root of one vector's piecewise-linear residual: the shift tau of its projection.
#ifndef TAVORIN_CORE_SHIFT_HPP
#define TAVORIN_CORE_SHIFT_HPP

#include "core/blocks.hpp"
#include "core/passes.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavorin::shift {

// Runs fn(context, begin, end) over [0, items) split into `parts` ranges on
// threads; returns false (having run nothing) when it cannot.
struct Splitter {
    int parts = 1;
    bool (*run)(std::ptrdiff_t items, int parts, BlockWork fn, void *context) noexcept = nullptr;
};

// Scratch memory of one thread, grown as vectors need it.
struct Workspace {
    std::vector<double> y, l, u, w;        // the candidates of a filtering pass
    std::vector<double> sy, sl, su, sw;    // a sample
    std::vector<double> xy, xl, xu, xw;    // a scaled copy
    std::vector<passes::Filtered> chunks;  // a filtering pass, chunk by chunk
    std::vector<passes::Classes> classes;  // a long span's classes, chunk by chunk
    // The threads a long span's classify runs on (solve_vector's splitter).
    Splitter split;
    // Element visits of the passes (classify, filter) so far: what the
    // fuzzer holds to the O(n log n) bound.
    std::int64_t visits = 0;
    int exponent = 0;  // the scaled copy's
    // Vectors this long are sampled and filtered; shorter ones go straight
    // to the rounds on the whole vector (below it, measured, the filtering
    // pass and its copy cost more than the rounds they save).  The fuzzer
    // lowers it to reach that path with short inputs.
    std::ptrdiff_t filter_min_n = 8192;
};

// A vector's problem: its span (l, u, w per element where set) and h.
template <class T>
struct Vector {
    passes::Span<T> span;
    double h = 0.0;
};

struct Found {
    double tau = 0.0;
    bool finite = true;  // false: some y is NaN or infinite
    // Solved on the workspace's copy scaled by 2^-exponent (sums of the
    // vector overflow): tau is the copy's, write with write_scaled.
    bool scaled = false;
    int exponent = 0;
    bool written = false;  // the projection is in `out` already
};

// The shift of the vector's projection: x_j = clip(y_j - tau*w_j, l_j, u_j)
// has sum_j w_j x_j = h up to a few ulps of the vector's scale.  With `out`
// (memory apart from y), a round whose classes barely moved may write the
// projection of the next shift there at once, counting its classes: when they
// are the ones the shift came from, that write is the verification round and
// the result (Found::written); else it is overwritten later.
template <class T>
Found solve_vector(const Vector<T> &vector, bool plain, Workspace &ws, const Splitter &splitter,
                   T *out = nullptr) noexcept;

// The shift of a vector whose every element has the weight `weight` (its
// span without weights, h the weighted sum's), found on the workspace's copy
// scaled by powers of two: for an h / weight beyond the doubles.  Write it
// with write_scaled.
template <class T>
Found solve_weighted(const Vector<T> &vector, double weight, bool plain, Workspace &ws) noexcept;

// Writes the projection for the shift, on the splitter's threads when it has them.
template <class T>
void write_vector(const Vector<T> &vector, double tau, T *out, bool plain,
                  const Splitter &splitter) noexcept;

// Writes the projection of a vector solved on its scaled copy (the
// workspace still holding it): the copy's result scaled back, exactly.
template <class T>
void write_scaled(const Vector<T> &vector, const Workspace &ws, const Found &found,
                  T *out) noexcept;

}  // namespace tavorin::shift

#endif
