// One large block of scratch doubles kept between calls, so that a long vector's candidates do
// not fault in fresh pages on every call.
#ifndef TAVORIN_CORE_SPARE_HPP
#define TAVORIN_CORE_SPARE_HPP

#include "core/tuning.hpp"

#include <cstddef>

namespace tavorin::spare {

// The sizes of the block kept (tuning.hpp).
constexpr std::ptrdiff_t k_min_doubles = tuning::k_spare_min_doubles;
constexpr std::ptrdiff_t k_max_doubles = tuning::k_spare_max_doubles;

// A block of n doubles, uninitialised, or null without memory.
double *allocate(std::ptrdiff_t n) noexcept;

// The kept block when it holds at least n doubles (its size in `size`), else
// null; a kept block too small is freed.  Small requests (below the least
// block kept) never take it.
double *take(std::ptrdiff_t n, std::ptrdiff_t &size) noexcept;

// Hands back a block of `size` doubles from allocate or take: it becomes the
// kept block (the one kept before is freed), or is freed.
void give(double *block, std::ptrdiff_t size) noexcept;

}  // namespace tavorin::spare

#endif
