// Sums and products carried as two doubles (value and rounding error), for the shift's formula.
//
// Only error-free transformations of plain double arithmetic are used (no
// fused multiply-add, which x86-64 without FMA would compute in software), so
// every platform gives the same bits.
#ifndef TAVORIN_CORE_TWOFOLD_HPP
#define TAVORIN_CORE_TWOFOLD_HPP

namespace tavorin {

// hi + lo, with |lo| at most about half an ulp of hi once normalised.
struct Twofold {
    double hi = 0.0;
    double lo = 0.0;

    double value() const noexcept { return hi + lo; }
};

// a + b = s + e exactly (Knuth), whatever the magnitudes.
inline void two_sum(double a, double b, double &s, double &e) noexcept
{
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// a * b = p + e exactly (Dekker's product), for factors below 2^995.
inline void dekker_product(double a, double b, double &p, double &e) noexcept
{
    constexpr double k_split = 134217729.0;  // 2^27 + 1
    p = a * b;
    const double ca = k_split * a;
    const double a_hi = ca - (ca - a);
    const double a_lo = a - a_hi;
    const double cb = k_split * b;
    const double b_hi = cb - (cb - b);
    const double b_lo = b - b_hi;
    e = ((a_hi * b_hi - p) + a_hi * b_lo + a_lo * b_hi) + a_lo * b_lo;
}

// a * b = p + e exactly, unless the product overflows or underflows.
inline void two_product(double a, double b, double &p, double &e) noexcept
{
    // Splitting multiplies by 2^27: factors that large are split at 2^-54 of
    // their size (both, if need be) and the parts scaled back.
    constexpr double k_big = 0x1p995;
    const bool a_big = a > k_big || a < -k_big;
    const bool b_big = b > k_big || b < -k_big;
    if (!a_big && !b_big) {
        dekker_product(a, b, p, e);
        return;
    }
    const bool finite = a - a == 0 && b - b == 0;
    if (!finite) {
        p = a * b;
        e = 0.0;
        return;
    }
    const double scale = (a_big ? 0x1p54 : 1.0) * (b_big ? 0x1p54 : 1.0);
    dekker_product(a_big ? a * 0x1p-54 : a, b_big ? b * 0x1p-54 : b, p, e);
    p *= scale;
    e *= scale;
}

inline Twofold operator+(Twofold x, double b) noexcept
{
    Twofold r;
    double e;
    two_sum(x.hi, b, r.hi, e);
    r.lo = x.lo + e;
    return r;
}

inline Twofold operator+(Twofold x, Twofold y) noexcept
{
    Twofold r = x + y.hi;
    r.lo += y.lo;
    return r;
}

// x - t * s, for the residual of a line at t.
inline Twofold minus_product(Twofold x, double t, double s) noexcept
{
    double p;
    double e;
    two_product(t, s, p, e);
    Twofold r = x + (-p);
    r.lo -= e;
    return r;
}

// x / s, correct to about one rounding.
inline double quotient(Twofold x, double s) noexcept
{
    const double q = x.hi / s;
    const Twofold rest = minus_product(x, q, s);
    return q + rest.value() / s;
}

}  // namespace tavorin

#endif
