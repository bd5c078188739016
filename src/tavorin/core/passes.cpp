// The choice between the passes compiled on AVX2 lanes and on plain lanes.
#include "core/passes.hpp"

#include "core/passes_target.hpp"
#include "core/simd.hpp"

#include <atomic>

namespace tavorin::passes {

namespace {

std::atomic<bool> g_plain{false};

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
    return plain ? plain_table<T>(layout) : lane_table<T>(layout);
}

template const Table<double> &table<double>(bool, bool, bool, bool) noexcept;
template const Table<float> &table<float>(bool, bool, bool, bool) noexcept;

}  // namespace tavorin::passes
