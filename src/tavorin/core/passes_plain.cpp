// The solver's passes on four plain lanes: the same bytes as the AVX2 ones, anywhere.
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

namespace plain_kernels {
namespace v = ::tavorin::simd::plain;
#define TAVORIN_LANES_KERNEL
#define TAVORIN_LANES_INLINE inline
#include "core/passes.inc"
#undef TAVORIN_LANES_KERNEL
#undef TAVORIN_LANES_INLINE
}  // namespace plain_kernels
namespace kernels = plain_kernels;

#include "core/passes_target.inc"

template <class T>
const Table<T> &plain_table(int layout) noexcept
{
    return table_of_layout<T>(layout);
}

template const Table<double> &plain_table<double>(int) noexcept;
template const Table<float> &plain_table<float>(int) noexcept;

}  // namespace tavorin::passes
