// The exact method: each vector's projection onto {x : l <= x <= u, sum_j w_j x_j = h} (or <= h,
// or >= h), over row ranges.
#ifndef TAVORIN_CORE_SOLVER_HPP
#define TAVORIN_CORE_SOLVER_HPP

#include "core/blocks.hpp"
#include "core/row_values.hpp"

#include <cstddef>
#include <cstdint>

namespace tavorin {

// l, u or w: one value per vector, or (when `each` is set) one per element,
// m rows of n values of y's type, `each_stride` bytes apart.
struct Operand {
    RowValues vector{nullptr, 0};
    const char *each = nullptr;
    std::ptrdiff_t each_stride = 0;
};

// m vectors of n adjacent elements (float32 when `single`, else float64),
// read from y and written to out, which may be the same memory.  Without
// weights, `w.vector.data` is null.
struct Problem {
    const char *y = nullptr;
    char *out = nullptr;
    std::ptrdiff_t m = 0;
    std::ptrdiff_t n = 0;
    std::ptrdiff_t y_stride = 0;
    std::ptrdiff_t out_stride = 0;
    bool single = false;
    RowValues h{nullptr, 0};
    Operand l;
    Operand u;
    Operand w;
    bool check_finite = false;
    // y is known to hold no NaN or infinity (the caller scanned it).
    bool finite = false;
    // 0: sum_j w_j x_j = h; 1: <= h; -1: >= h.  One-sided, a vector whose
    // clip(y, l, u) satisfies the sum is that clip, else the equality's
    // projection.
    int sense = 0;
    // The l1 ball (with l = 0, u = inf and sense 1): |y| is what is projected,
    // and the result takes y's signs; out apart from y.
    bool signs = false;
    // Where not null (a long vector of the ball, solved in place on |y| with
    // sense 0: a problem of one vector), the signs its written result takes,
    // a bit an element (signs.hpp).
    const std::uint8_t *sign_bits = nullptr;
};

// Solves the vectors [begin, end) on the calling thread.  With check_finite,
// stops at the first vector holding a NaN or an infinity and returns its
// index; otherwise (and when there is none) returns -1, such a vector then
// getting some result.  With a team, a long vector's passes run on its
// threads.
std::ptrdiff_t solve_rows(const Problem &problem, std::ptrdiff_t begin, std::ptrdiff_t end,
                          Team *team = nullptr) noexcept;

// The problem's vectors [begin, begin + count) as a problem of their own.
Problem rows_of(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t count) noexcept;

// Solves every vector on up to `workers` threads: the lowest vector index
// solve_rows reported, or -1.  `started` is false when threads could not be
// started (and then nothing was written).
std::ptrdiff_t solve(const Problem &problem, std::ptrdiff_t workers, bool &started) noexcept;

// The threads the call above starts for `problem` (the calling one among them) ...
int solve_threads(const Problem &problem, std::ptrdiff_t workers) noexcept;
// ... and the solve on a team already started, of that size or any other
// (which other jobs of the call may share before or after).
std::ptrdiff_t solve(const Problem &problem, Team &team) noexcept;

}  // namespace tavorin

#endif
