// Exact sums of doubles and of products of two or three doubles, with their sign.
//
// A value is kept as signed 32-bit digits in 64-bit words at fixed binary
// places, from 2^-3328 (below the least product of three subnormal doubles)
// to past 2^3104 (above the greatest of three finite ones, summed 2^32
// times): no term is ever rounded, so the sign of a sum does not depend on
// the order of its terms.  Digits take carries lazily; `sign` settles them.
// Slow next to the passes (tens of nanoseconds a term): for the few
// elements and the rare vectors whose shift rounding leaves in doubt.
#ifndef TAVORIN_CORE_EXACT_SUM_HPP
#define TAVORIN_CORE_EXACT_SUM_HPP

#include <cstdint>

namespace tavorin {

class ExactSum {
public:
    ExactSum() noexcept;

    void add(double a) noexcept;
    void add(double a, double b) noexcept;            // + a*b
    void add(double a, double b, double c) noexcept;  // + a*b*c
    // + s * t (s another sum, t a double).
    void add_scaled(const ExactSum &s, double t) noexcept;
    void add(const ExactSum &s) noexcept;

    // -1, 0 or 1.
    int sign() noexcept;

private:
    static constexpr int k_digits = 206;
    static constexpr int k_low = -3328;  // the lowest digit's place, a multiple of 32

    // + (or - when negative) the integer w[0] + w[1] 2^64 + w[2] 2^128, times 2^e.
    void add_bits(const std::uint64_t (&w)[3], int e, bool negative) noexcept;
    void settle() noexcept;

    std::int64_t digit_[k_digits];
    std::int64_t unsettled_ = 0;  // terms since the carries were last settled
    int low_ = k_digits;          // the digits ever touched: [low_, high_]
    int high_ = -1;
};

}  // namespace tavorin

#endif
