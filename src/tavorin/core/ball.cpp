// The l1 ball over rows, a block of vectors at a time in scratch the caches keep.
#include "core/ball.hpp"

#include "core/passes.hpp"
#include "core/signs.hpp"
#include "core/simd.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace tavorin::ball {

namespace {

// Elements of a block: |y| written, solved and signed while it is in the
// caches (64 KiB of doubles), in whole chunks of the solver's warm starts.
constexpr std::ptrdiff_t k_block_elements = std::ptrdiff_t{1} << 13;

// |y| of `rows` vectors into rows `stride` bytes apart from `to` (one loop
// over a block of contiguous rows: short rows' own loops barely vectorise).
template <class T>
void absolute(const Problem &part, char *to, std::ptrdiff_t stride) noexcept
{
    const auto row = part.n * static_cast<std::ptrdiff_t>(sizeof(T));
    const bool whole = part.y_stride == row && stride == row;
    const std::ptrdiff_t rows = whole ? 1 : part.m;
    const std::ptrdiff_t count = whole ? part.m * part.n : part.n;
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        const T *y = reinterpret_cast<const T *>(part.y + i * part.y_stride);
        T *z = reinterpret_cast<T *>(to + i * stride);
        signs::absolutes(y, z, count);
    }
}

// The first `rows` vectors of out get the signs of y's.
template <class T>
void signed_back(const Problem &part, std::ptrdiff_t rows) noexcept
{
    const auto row = part.n * static_cast<std::ptrdiff_t>(sizeof(T));
    const bool whole = part.y_stride == row && part.out_stride == row;
    const std::ptrdiff_t passes = whole ? 1 : rows;
    const std::ptrdiff_t count = whole ? rows * part.n : part.n;
    for (std::ptrdiff_t i = 0; i < passes; ++i) {
        const T *y = reinterpret_cast<const T *>(part.y + i * part.y_stride);
        T *x = reinterpret_cast<T *>(part.out + i * part.out_stride);
        signs::signed_like(y, x, count);
    }
}

// |y| into z and its sum (weighted per element with Each), in four sets of
// lanes (any order of the additions keeps absolute_side's bound), and y's
// signs into `bits` (signs.hpp).
template <class T, bool Each>
TAVORIN_SIMD_KERNEL double absolute_sum(const T *y, T *z, const T *w, std::uint8_t *bits,
                                        std::ptrdiff_t n) noexcept
{
    using namespace simd;
    F64x4 sums[4] = {zero(), zero(), zero(), zero()};
    std::ptrdiff_t j = 0;
    for (; j + 16 <= n; j += 16) {
        int signs = 0;
        for (int q = 0; q < 4; ++q) {
            const F64x4 e = load(y + j + 4 * q);
            const F64x4 a = absolute(e);
            signs |= sign_bits(e) << (4 * q);
            store(z + j + 4 * q, a);
            sums[q] = sums[q] + (Each ? load(w + j + 4 * q) * a : a);
        }
        if (bits) {
            bits[j / 8] = static_cast<std::uint8_t>(signs);
            bits[j / 8 + 1] = static_cast<std::uint8_t>(signs >> 8);
        }
    }
    double s[4];
    store(s, (sums[0] + sums[1]) + (sums[2] + sums[3]));
    for (; j < n; ++j) {
        z[j] = std::fabs(y[j]);
        const double a = static_cast<double>(z[j]);
        s[0] += Each ? static_cast<double>(w[j]) * a : a;
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}

template <class T, bool Each>
double absolute_sum_plain(const T *y, T *z, const T *w, std::ptrdiff_t n) noexcept
{
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::ptrdiff_t j = 0;
    for (; j + 4 <= n; j += 4) {
        for (int k = 0; k < 4; ++k) {
            z[j + k] = std::fabs(y[j + k]);
            const double a = static_cast<double>(z[j + k]);
            s[k] += Each ? static_cast<double>(w[j + k]) * a : a;
        }
    }
    for (; j < n; ++j) {
        z[j] = std::fabs(y[j]);
        const double a = static_cast<double>(z[j]);
        s[0] += Each ? static_cast<double>(w[j]) * a : a;
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// |y| of a vector longer than a block into its row of out, and the weighted
// sum of it: whether that shows the vector inside the ball (-1), outside
// (1), or neither (0: a sum within its error bound of h, the bound
// clip_satisfies takes, or not finite); y's signs into `bits` (zeroed)
// unless null.
template <class T, bool Each>
int absolute_side(const Problem &part, std::uint8_t *bits) noexcept
{
    const T *y = reinterpret_cast<const T *>(part.y);
    T *z = reinterpret_cast<T *>(part.out);
    const T *w = reinterpret_cast<const T *>(part.w.each);
    const std::ptrdiff_t n = part.n;
    const double w_all = part.w.vector.data && !Each ? part.w.vector[0] : 1.0;
    const bool lanes = simd::available();
    const double sum = (lanes ? absolute_sum<T, Each>(y, z, w, bits, n)
                              : absolute_sum_plain<T, Each>(y, z, w, n)) *
                       w_all;
    // The signs the lanes left: past their last sixteen, or all of them.
    for (std::ptrdiff_t j = lanes ? n - n % 16 : 0; bits && j < n; ++j) {
        bits[j / 8] = static_cast<std::uint8_t>(bits[j / 8] | std::signbit(y[j]) << (j % 8));
    }
    const double h = part.h[0];
    const double bound = passes::clip_error(n).of(sum + std::fabs(h));
    if (!(std::isfinite(sum) && std::fabs(sum - h) > bound &&
          bound <= std::numeric_limits<double>::max())) {
        return 0;
    }
    return sum > h ? 1 : -1;
}

// A vector longer than a block, solved in out (never y's memory), where a
// block of scratch would not stay in the caches anyway.  |y|'s pass decides
// the ball where it can: inside, y is the result; outside, the equality's
// projection, which then reads |y| without the one-sided decision's pass.
template <class T>
std::ptrdiff_t solve_long(const Problem &p, std::ptrdiff_t i, Team *team) noexcept
{
    Problem part = rows_of(p, i, 1);
    part.signs = false;
    // y's signs a bit an element, for the write to take without reading y again.
    const std::unique_ptr<std::uint8_t[]> bits(
        new (std::nothrow) std::uint8_t[static_cast<std::size_t>(p.n / 8 + 1)]());
    const int side = part.w.each ? absolute_side<T, true>(part, bits.get())
                                 : absolute_side<T, false>(part, bits.get());
    if (side < 0) {
        std::memcpy(part.out, part.y, static_cast<std::size_t>(p.n) * sizeof(T));
        return -1;
    }
    const Problem signs = part;
    part.y = part.out;
    part.y_stride = part.out_stride;
    if (side > 0 && bits) {
        // The equality's, whose write takes y's signs as it goes.
        part.sense = 0;
        part.sign_bits = bits.get();
        return tavorin::solve_rows(part, 0, 1, team);
    }
    part.sense = side > 0 ? 0 : part.sense;
    const std::ptrdiff_t bad = tavorin::solve_rows(part, 0, 1, team);
    if (bad < 0) {
        signed_back<T>(signs, 1);
    }
    return bad;
}

template <class T>
std::ptrdiff_t solve_typed(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t end, Team *team,
                           std::ptrdiff_t chunk) noexcept
{
    const std::ptrdiff_t chunks = k_block_elements / (p.n * chunk);
    const std::ptrdiff_t fit = chunk * (chunks < 1 ? 1 : chunks);
    if (p.n > k_block_elements) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const std::ptrdiff_t bad = solve_long<T>(p, i, team);
            if (bad >= 0) {
                return i + bad;
            }
        }
        return -1;
    }
    const std::ptrdiff_t block = fit < end - begin ? fit : end - begin;
    const std::unique_ptr<T[]> scratch(new (std::nothrow) T[static_cast<std::size_t>(block * p.n)]);
    for (std::ptrdiff_t i = begin; i < end; i += block) {
        Problem part = rows_of(p, i, block < end - i ? block : end - i);
        part.signs = false;
        const Problem signs = part;
        // Without room for the block, |y| goes into out and is solved there in place.
        char *to = scratch ? reinterpret_cast<char *>(scratch.get()) : part.out;
        const std::ptrdiff_t stride =
            scratch ? p.n * static_cast<std::ptrdiff_t>(sizeof(T)) : part.out_stride;
        absolute<T>(part, to, stride);
        part.y = to;
        part.y_stride = stride;
        const std::ptrdiff_t bad = tavorin::solve_rows(part, 0, part.m, team);
        signed_back<T>(signs, bad >= 0 ? bad : part.m);
        if (bad >= 0) {
            return i + bad;
        }
    }
    return -1;
}

}  // namespace

std::ptrdiff_t solve_rows(const Problem &problem, std::ptrdiff_t begin, std::ptrdiff_t end,
                          Team *team, std::ptrdiff_t chunk) noexcept
{
    return problem.single ? solve_typed<float>(problem, begin, end, team, chunk)
                          : solve_typed<double>(problem, begin, end, team, chunk);
}

}  // namespace tavorin::ball
