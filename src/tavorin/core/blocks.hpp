// Running work over contiguous blocks of rows on threads started for one call.
#ifndef TAVORIN_CORE_BLOCKS_HPP
#define TAVORIN_CORE_BLOCKS_HPP

#include <cstddef>

namespace tavorin {

using BlockWork = void (*)(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;

// How many threads to give m rows of n elements when the caller allows
// `allowed`: never more than rows, and one thread for work too small to
// repay starting another.
int block_count(std::ptrdiff_t m, std::ptrdiff_t n, std::ptrdiff_t allowed) noexcept;

// Runs work over [0, m) split into `blocks` contiguous ranges, the calling
// thread doing the first.  Either every block runs or none does: false when
// a thread could not be started, and then nothing ran.  Every thread started
// has ended when this returns.
bool run_in_blocks(std::ptrdiff_t m, int blocks, BlockWork work, void *context) noexcept;

}  // namespace tavorin

#endif
