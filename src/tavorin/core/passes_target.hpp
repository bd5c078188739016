// The passes' kernel tables of one target, each compiled in its own unit
// (passes_lanes.cpp, passes_plain.cpp) so that a build compiles them side by
// side; passes.cpp chooses between them.
#ifndef TAVORIN_CORE_PASSES_TARGET_HPP
#define TAVORIN_CORE_PASSES_TARGET_HPP

#include "core/passes.hpp"

namespace tavorin::passes {

// layout: 4 per-element l, 2 per-element u, 1 per-element weights.
template <class T>
const Table<T> &lane_table(int layout) noexcept;
template <class T>
const Table<T> &plain_table(int layout) noexcept;

}  // namespace tavorin::passes

#endif
