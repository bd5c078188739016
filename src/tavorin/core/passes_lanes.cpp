// The solver's passes on AVX2 lanes (used where the processor has them).
#include "core/passes_target.hpp"

#include "core/simd.hpp"
#include "core/doubles.hpp"
#include "core/finish.hpp"
#include "core/twofold.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace tavorin::passes {

namespace lane_kernels {
namespace v = ::tavorin::simd;
#define TAVORIN_LANES_KERNEL TAVORIN_SIMD_KERNEL
#define TAVORIN_LANES_INLINE TAVORIN_SIMD_INLINE
#include "core/passes.inc"
#undef TAVORIN_LANES_KERNEL
#undef TAVORIN_LANES_INLINE
}  // namespace lane_kernels
namespace kernels = lane_kernels;

#include "core/passes_target.inc"

template <class T>
const Table<T> &lane_table(int layout) noexcept
{
    return table_of_layout<T>(layout);
}

template const Table<double> &lane_table<double>(int) noexcept;
template const Table<float> &lane_table<float>(int) noexcept;

}  // namespace tavorin::passes
