// Doubles as ordered integers: the middle of two doubles by count of doubles between them.
#ifndef TAVORIN_CORE_DOUBLES_HPP
#define TAVORIN_CORE_DOUBLES_HPP

#include <cstdint>
#include <cstring>
#include <limits>

namespace tavorin {

// Monotone in x (with -0.0 and +0.0 equal).
inline std::int64_t ordered_key(double x) noexcept
{
    std::int64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b >= 0 ? b : -(b & std::numeric_limits<std::int64_t>::max());
}

inline double from_ordered_key(std::int64_t k) noexcept
{
    const std::uint64_t b = k >= 0 ? static_cast<std::uint64_t>(k)
                                   : (static_cast<std::uint64_t>(-k) | (std::uint64_t(1) << 63));
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// The double halfway (in count) between lo and hi: bisection by it ends
// within 64 halvings, whatever the magnitudes.
inline double bit_middle(double lo, double hi) noexcept
{
    const std::int64_t a = ordered_key(lo);
    const std::int64_t b = ordered_key(hi);
    return from_ordered_key((a >> 1) + (b >> 1) + (a & b & 1));
}

}  // namespace tavorin

#endif
