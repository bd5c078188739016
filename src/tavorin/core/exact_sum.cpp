// Exact sums of doubles and of products of two or three doubles, with their sign.
#include "core/exact_sum.hpp"

#include "core/compiler.hpp"

#include <cstring>

namespace tavorin {

namespace {

// A finite double as m * 2^e with m an integer below 2^53 (0 for zero);
// true when it is negative.
bool parts(double a, std::uint64_t &m, int &e) noexcept
{
    std::uint64_t b;
    std::memcpy(&b, &a, sizeof b);
    const int biased = static_cast<int>((b >> 52) & 0x7ff);
    m = b & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0) {
        e = -1074;  // subnormal (or zero)
    }
    else {
        m |= std::uint64_t{1} << 52;
        e = biased - 1075;
    }
    return (b >> 63) != 0;
}

}  // namespace

ExactSum::ExactSum() noexcept
{
    std::memset(digit_, 0, sizeof digit_);
}

void ExactSum::add_bits(const std::uint64_t (&w)[3], int e, bool negative) noexcept
{
    if ((w[0] | w[1] | w[2]) == 0) {
        return;
    }
    const int place = e - k_low;
    if (place < 0) {
        return;  // below every product of doubles: not reached
    }
    int q = place / 32;
    const int shift = place % 32;
    // w << shift, 32 bits at a time (up to 224 bits: seven digits).
    std::uint64_t s[4];
    s[0] = w[0] << shift;
    s[1] = shift ? (w[1] << shift) | (w[0] >> (64 - shift)) : w[1];
    s[2] = shift ? (w[2] << shift) | (w[1] >> (64 - shift)) : w[2];
    s[3] = shift ? w[2] >> (64 - shift) : 0;
    low_ = q < low_ ? q : low_;
    for (int k = 0; k < 8 && q < k_digits; ++k, ++q) {
        const auto d = static_cast<std::int64_t>((s[k / 2] >> (32 * (k % 2))) & 0xffffffffu);
        digit_[q] += negative ? -d : d;
    }
    // A digit above the term's, for the carries.
    const int top = q < k_digits ? q : k_digits - 1;
    high_ = top > high_ ? top : high_;
    // Each digit takes 2^31 terms of 32 bits before its word could overflow.
    if (++unsettled_ >= (std::int64_t{1} << 30)) {
        settle();
    }
}

void ExactSum::add(double a) noexcept
{
    std::uint64_t m;
    int e;
    const bool negative = parts(a, m, e);
    add_bits({m, 0, 0}, e, negative);
}

void ExactSum::add(double a, double b) noexcept
{
    std::uint64_t ma, mb;
    int ea, eb;
    const bool negative = parts(a, ma, ea) != parts(b, mb, eb);
    std::uint64_t high;
    const std::uint64_t low = mul_wide(ma, mb, &high);
    add_bits({low, high, 0}, ea + eb, negative);
}

void ExactSum::add(double a, double b, double c) noexcept
{
    std::uint64_t ma, mb, mc;
    int ea, eb, ec;
    const bool negative = (parts(a, ma, ea) != parts(b, mb, eb)) != parts(c, mc, ec);
    std::uint64_t p1;
    const std::uint64_t p0 = mul_wide(ma, mb, &p1);  // below 2^106
    std::uint64_t h0, h1;
    const std::uint64_t l0 = mul_wide(p0, mc, &h0);
    const std::uint64_t l1 = mul_wide(p1, mc, &h1);  // p1 * mc below 2^95
    const std::uint64_t mid = h0 + l1;
    add_bits({l0, mid, h1 + (mid < h0 ? 1 : 0)}, ea + eb + ec, negative);
}

void ExactSum::add_scaled(const ExactSum &s, double t) noexcept
{
    std::uint64_t m;
    int e;
    const bool negative = parts(t, m, e);
    for (int i = s.low_; i <= s.high_; ++i) {
        const std::int64_t d = s.digit_[i];
        if (d == 0) {
            continue;
        }
        // |d| below 2^63, m below 2^53: the product fits in two words.
        const std::uint64_t magnitude =
            d < 0 ? 0 - static_cast<std::uint64_t>(d) : static_cast<std::uint64_t>(d);
        std::uint64_t high;
        const std::uint64_t low = mul_wide(magnitude, m, &high);
        add_bits({low, high, 0}, e + k_low + 32 * i, negative != (d < 0));
    }
}

void ExactSum::add(const ExactSum &s) noexcept
{
    for (int i = s.low_; i <= s.high_; ++i) {
        digit_[i] += s.digit_[i];
    }
    low_ = s.low_ < low_ ? s.low_ : low_;
    high_ = s.high_ > high_ ? s.high_ : high_;
    if ((unsettled_ += s.unsettled_ + 1) >= (std::int64_t{1} << 30)) {
        settle();
    }
}

void ExactSum::settle() noexcept
{
    // Each digit into [0, 2^32), its carry (rounded down) into the next; the
    // last one keeps the sign.
    for (int i = low_; i < high_; ++i) {
        const std::int64_t carry = digit_[i] >> 32;  // arithmetic: rounds down
        digit_[i] -= carry * (std::int64_t{1} << 32);
        digit_[i + 1] += carry;
    }
    unsettled_ = 0;
}

int ExactSum::sign() noexcept
{
    // Settled, every digit below the highest touched lies in [0, 2^32): the
    // highest nonzero one has the sum's sign.
    settle();
    for (int i = high_; i >= low_ && i >= 0; --i) {
        if (digit_[i] != 0) {
            return i == high_ && digit_[i] < 0 ? -1 : 1;
        }
    }
    return 0;
}

}  // namespace tavorin
