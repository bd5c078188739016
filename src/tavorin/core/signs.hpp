// The l1 ball's elementwise steps over runs of elements, on AVX2 where the processor has it:
// |y| into z, y's signs onto x (fabs and copysign, by the sign bit), and the signs kept a
// bit an element between the two (bit j % 8 of byte j / 8), so that a long vector's write
// need not read y again.
#ifndef TAVORIN_CORE_SIGNS_HPP
#define TAVORIN_CORE_SIGNS_HPP

#include "core/simd.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tavorin::signs {

// The sign of each lane of four bits (bit k: lane k negative), as doubles.
struct SignTable {
    double lanes[16][4];
    constexpr SignTable() noexcept : lanes{}
    {
        for (int b = 0; b < 16; ++b) {
            for (int k = 0; k < 4; ++k) {
                lanes[b][k] = (b >> k) & 1 ? -0.0 : 0.0;
            }
        }
    }
};
inline constexpr SignTable k_sign_table{};

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

template <class T>
TAVORIN_SIMD_KERNEL void signed_by_simd(const std::uint8_t *bits, T *x,
                                        std::ptrdiff_t count) noexcept
{
    std::ptrdiff_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const int b = bits[j / 8];
        simd::store(x + j,
                    simd::signed_as(simd::load(x + j), simd::load(k_sign_table.lanes[b & 15])));
        simd::store(x + j + 4,
                    simd::signed_as(simd::load(x + j + 4), simd::load(k_sign_table.lanes[b >> 4])));
    }
    for (; j < count; ++j) {
        x[j] = std::copysign(x[j], (bits[j / 8] >> (j % 8)) & 1 ? T(-1) : T(1));
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

// x_j takes the sign bit j of `bits` (from a multiple of 8 elements on) for j < count.
template <class T>
void signed_by(const std::uint8_t *bits, T *x, std::ptrdiff_t count) noexcept
{
    if (simd::available()) {
        signed_by_simd(bits, x, count);
        return;
    }
    for (std::ptrdiff_t j = 0; j < count; ++j) {
        x[j] = std::copysign(x[j], (bits[j / 8] >> (j % 8)) & 1 ? T(-1) : T(1));
    }
}

}  // namespace tavorin::signs

#endif
