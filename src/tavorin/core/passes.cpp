// The solver's passes compiled on AVX2 lanes and on plain lanes, and the choice between them.
#include "core/passes.hpp"

#include "core/simd.hpp"
#include "core/doubles.hpp"
#include "core/finish.hpp"
#include "core/twofold.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include <atomic>

namespace tavorin::passes {

namespace lane_kernels {
namespace v = ::tavorin::simd;
#define TAVORIN_LANES_KERNEL TAVORIN_SIMD_KERNEL
#define TAVORIN_LANES_INLINE TAVORIN_SIMD_INLINE
#include "core/passes.inc"
#undef TAVORIN_LANES_KERNEL
#undef TAVORIN_LANES_INLINE
}  // namespace lane_kernels

namespace plain_kernels {
namespace v = ::tavorin::simd::plain;
#define TAVORIN_LANES_KERNEL
#define TAVORIN_LANES_INLINE inline
#include "core/passes.inc"
#undef TAVORIN_LANES_KERNEL
#undef TAVORIN_LANES_INLINE
}  // namespace plain_kernels

namespace {

std::atomic<bool> g_plain{false};

template <class T, bool LE, bool UE, bool WE>
const Table<T> &tables(bool plain) noexcept
{
    static const Table<T> lanes = {
        lane_kernels::classify<T, LE, UE, WE>,
        {lane_kernels::filter<T, LE, UE, WE, false>, lane_kernels::filter<T, LE, UE, WE, true>},
        lane_kernels::write<T, LE, UE, WE>,
        lane_kernels::write_count<T, LE, UE, WE>,
        lane_kernels::finite<T>,
        lane_kernels::band<T, LE, UE, WE>,
        lane_kernels::side_by_side<T>,
    };
    static const Table<T> twins = {
        plain_kernels::classify<T, LE, UE, WE>,
        {plain_kernels::filter<T, LE, UE, WE, false>, plain_kernels::filter<T, LE, UE, WE, true>},
        plain_kernels::write<T, LE, UE, WE>,
        plain_kernels::write_count<T, LE, UE, WE>,
        plain_kernels::finite<T>,
        plain_kernels::band<T, LE, UE, WE>,
        plain_kernels::side_by_side<T>,
    };
    return plain ? twins : lanes;
}

}  // namespace

bool plain_forced() noexcept
{
    return g_plain.load(std::memory_order_relaxed);
}

void force_plain(bool plain) noexcept
{
    g_plain.store(plain, std::memory_order_relaxed);
}

template <class T>
const Table<T> &table(bool l_each, bool u_each, bool w_each, bool plain) noexcept
{
    plain = plain || !simd::available();
    const int layout = (l_each ? 4 : 0) | (u_each ? 2 : 0) | (w_each ? 1 : 0);
    switch (layout) {
    case 0: return tables<T, false, false, false>(plain);
    case 1: return tables<T, false, false, true>(plain);
    case 2: return tables<T, false, true, false>(plain);
    case 3: return tables<T, false, true, true>(plain);
    case 4: return tables<T, true, false, false>(plain);
    case 5: return tables<T, true, false, true>(plain);
    case 6: return tables<T, true, true, false>(plain);
    default: return tables<T, true, true, true>(plain);
    }
}

template const Table<double> &table<double>(bool, bool, bool, bool) noexcept;
template const Table<float> &table<float>(bool, bool, bool, bool) noexcept;

}  // namespace tavorin::passes
