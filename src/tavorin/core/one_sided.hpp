// The sets whose sum is bounded from one side: where clip(y, l, u) already satisfies the sum.
#ifndef TAVORIN_CORE_ONE_SIDED_HPP
#define TAVORIN_CORE_ONE_SIDED_HPP

#include "core/solver.hpp"

#include <cstddef>

namespace tavorin::one_sided {

// Whether vector i of a one-sided problem (problem.sense not 0) is solved by
// its clip alone: sum_j w_j clip(y_j, l_j, u_j) - h has the sign the sense
// allows (zero included), decided exactly from the clip as written (bounds
// rounded to y's type), so that it depends on the vector alone.  When it is,
// the clip is in the vector's row of `out`; when not (or y holds a NaN or an
// infinity), `out` is unchanged where it is y, else holds some values the
// equality's solve overwrites.  `write`: whether to write the clip as it is
// summed (a vector expected clipped), else only once it is known to be the
// result (expected not: its row is the equality's to write).
template <class T>
bool clip_satisfies(const Problem &problem, std::ptrdiff_t i, bool write = true) noexcept;

// A guess, from a sample of its elements, whether clip_satisfies holds for
// vector i: where to write its clip as it is summed when no vector before it
// tells.  Only a guess (true for short vectors); the decision is clip_satisfies'.
template <class T>
bool likely_clipped(const Problem &problem, std::ptrdiff_t i) noexcept;

// Whether vector i of a one-sided problem may take the equality's solve
// before its decision, whose shift then decides it (equality_stands): out
// apart from y (the clip may still replace the equality's result); one l and
// u, both of y's type, so that the clip's sum is the equality's residual at
// shift 0; no weights (one weight divides h, whose rounding could turn that
// residual's sign); and h inside the equality's range by far more than the
// rounding of n*u (n*l for ">="), so that the equality's root exists.
template <class T>
bool equality_first(const Problem &problem, std::ptrdiff_t i) noexcept;

// Whether the equality's result at shift `tau` (the finish's, NaN where
// there is none) is the one-sided set's.  R(0), the residual at shift 0, is
// the clip's exact sum less h, and R does not increase, so with "<=" a
// shift above 0 (the double nearest R's root) shows R(0) > 0, the
// constraint active; or R(0) = 0 with R zero up to tau, where every element
// is at a bound and the clip has the same bytes.  Mirrored for ">=".  At 0
// or NaN, clip_satisfies decides.
inline bool equality_stands(const Problem &problem, double tau) noexcept
{
    return problem.sense > 0 ? tau > 0 : tau < 0;
}

// For each of the vectors [i, i + count) with ok[k] false, whether its clip
// is the result (then ok[k] is set): where the side-by-side kernel wrote it
// (Side::clipped), else where clip_satisfies holds, which writes it.
// How many they were.
template <class T>
int clips_of_unsettled(const Problem &problem, std::ptrdiff_t i, int count, bool *ok,
                       const int *clipped) noexcept;

// The decisions of the last four vectors clipped_run read together, kept for
// the next call, which takes them instead of reading the vectors again (runs
// often end inside a block of four).  One for a thread's vectors, in order.
struct Decisions {
    std::ptrdiff_t first = -1;  // the vectors first to first + 3 (none with -1)
    int decided = 0;            // bit k: its sums' error bound decided vector first + k
    int below = 0;              // bit k: its clip's sum below h
    bool written = false;       // their clips are in out
    std::ptrdiff_t limit = 0;   // a block may read vectors before this one (the thread's)
};

// How many of the vectors [begin, end), from begin on, clip_satisfies holds
// for (or, without `clipped`, does not hold for), each left as clip_satisfies
// leaves it, and so is the first vector past the run (if any); the rows of
// out past that hold some values their own solve overwrites.  `decisions`:
// kept from the call before (vectors taken in order), or null.
template <class T>
std::ptrdiff_t clipped_run(const Problem &problem, std::ptrdiff_t begin, std::ptrdiff_t end,
                           bool clipped = true, Decisions *decisions = nullptr) noexcept;

}  // namespace tavorin::one_sided

#endif
