// The l1 ball's elementwise steps over runs of elements, on AVX2 where the processor has it:
// |y| into z, and y's signs onto x (fabs and copysign, by the sign bit).
#ifndef TAVORIN_CORE_SIGNS_HPP
#define TAVORIN_CORE_SIGNS_HPP

#include "core/simd.hpp"

#include <cmath>
#include <cstddef>

namespace tavorin::signs {

template <class T>
TAVORIN_SIMD_KERNEL void absolutes_simd(const T *y, T *z, std::ptrdiff_t count) noexcept
{
    std::ptrdiff_t j = 0;
    for (; j + 4 <= count; j += 4) {
        simd::store(z + j, simd::absolute(simd::load(y + j)));
    }
    for (; j < count; ++j) {
        z[j] = std::fabs(y[j]);
    }
}

template <class T>
TAVORIN_SIMD_KERNEL void signed_simd(const T *y, T *x, std::ptrdiff_t count) noexcept
{
    std::ptrdiff_t j = 0;
    for (; j + 4 <= count; j += 4) {
        simd::store(x + j, simd::signed_as(simd::load(x + j), simd::load(y + j)));
    }
    for (; j < count; ++j) {
        x[j] = std::copysign(x[j], y[j]);
    }
}

// z_j = |y_j| for j < count.
template <class T>
void absolutes(const T *y, T *z, std::ptrdiff_t count) noexcept
{
    if (simd::available()) {
        absolutes_simd(y, z, count);
        return;
    }
    for (std::ptrdiff_t j = 0; j < count; ++j) {
        z[j] = std::fabs(y[j]);
    }
}

// x_j takes y_j's sign (-0.0 included) for j < count.
template <class T>
void signed_like(const T *y, T *x, std::ptrdiff_t count) noexcept
{
    if (simd::available()) {
        signed_simd(y, x, count);
        return;
    }
    for (std::ptrdiff_t j = 0; j < count; ++j) {
        x[j] = std::copysign(x[j], y[j]);
    }
}

}  // namespace tavorin::signs

#endif
