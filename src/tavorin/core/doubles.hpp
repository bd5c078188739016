// Doubles as ordered integers: the middle of two doubles by count of doubles between them, the
// double where a monotone test turns.
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

// The least finite double x with test(x), for a test false below some
// double and true from it on, searched outwards from `guess` (first the
// doubles next to it) and then by halves: +inf when the test holds for no
// finite double, -inf when for every one.
template <class Test>
double least_passing(Test test, double guess) noexcept
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double largest = std::numeric_limits<double>::max();
    // Keys counted up from the most negative finite double's, unsigned, so
    // that no difference overflows.
    const auto key = [](double x) { return static_cast<std::uint64_t>(ordered_key(x)); };
    const std::uint64_t base = key(-largest);
    const std::uint64_t span = key(largest) - base;
    const auto at = [&](std::uint64_t k) {
        return from_ordered_key(static_cast<std::int64_t>(k + base));
    };
    guess = guess != guess ? 0.0 : guess < -largest ? -largest : guess > largest ? largest : guess;
    const std::uint64_t k = key(guess) - base;
    if (k > 0 && k < span) {
        // The usual case, without branches to mispredict: a guess within one
        // double of where the test turns.
        const bool below = test(at(k - 1));
        const bool here = test(at(k));
        const bool above = test(at(k + 1));
        if (!below & above) {
            return at(here ? k : k + 1);
        }
    }
    std::uint64_t lo;
    std::uint64_t hi;
    std::uint64_t step = 1;
    const auto grow = [&] { step = step > span / 2 ? span : 2 * step; };
    if (test(at(k))) {
        for (hi = k;; hi = lo, grow()) {
            lo = hi > step ? hi - step : 0;
            if (!test(at(lo))) {
                break;
            }
            if (lo == 0) {
                return -inf;
            }
        }
    }
    else {
        for (lo = k;; lo = hi, grow()) {
            hi = span - lo > step ? lo + step : span;
            if (test(at(hi))) {
                break;
            }
            if (hi == span) {
                return inf;
            }
        }
    }
    while (hi - lo > 1) {
        const std::uint64_t middle = lo + (hi - lo) / 2;
        (test(at(middle)) ? hi : lo) = middle;
    }
    return at(hi);
}

// The greatest finite double x with test(x), for a test true up to some
// double and false above it: +inf when it holds for every finite double,
// -inf when for none.
template <class Test>
double greatest_passing(Test test, double guess) noexcept
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double first_false = least_passing([&](double x) { return !test(x); }, guess);
    if (first_false == -inf || first_false == inf) {
        return first_false;
    }
    if (first_false == -std::numeric_limits<double>::max()) {
        return -inf;
    }
    return from_ordered_key(ordered_key(first_false) - 1);
}

}  // namespace tavorin

#endif
