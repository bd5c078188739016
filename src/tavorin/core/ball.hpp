// The l1 ball over rows: |y| solved with "<=" onto {z >= 0, sum_j w_j z_j <= h}, y's signs put
// back.
#ifndef TAVORIN_CORE_BALL_HPP
#define TAVORIN_CORE_BALL_HPP

#include "core/solver.hpp"

#include <cstddef>

namespace tavorin::ball {

// solve_rows for a problem with `signs` set (l = 0, u = inf, sense 1): the
// vectors [begin, end) a block at a time, |y| copied into a block of scratch
// that stays in the caches (a vector longer than a block: into out), solved
// from there into out, and y's signs copied onto the result (-0.0 included,
// so that a vector inside the ball comes back with y's bytes).  out must not
// be y.  Blocks are whole `chunk`s of the
// solver's warm starts (begin a multiple of it), so that the vectors start
// their rounds as they would without blocks.  Returns what solve_rows
// returns; with check_finite, the vectors before the one reported are written.
std::ptrdiff_t solve_rows(const Problem &problem, std::ptrdiff_t begin, std::ptrdiff_t end,
                          Team *team, std::ptrdiff_t chunk) noexcept;

}  // namespace tavorin::ball

#endif
