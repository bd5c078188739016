// The l1 ball over rows, a block of vectors at a time in scratch the caches keep.
#include "core/ball.hpp"

#include <cmath>
#include <memory>
#include <new>

namespace tavorin::ball {

namespace {

// Elements of a block: |y| written, solved and signed while it is in the
// caches (64 KiB of doubles), in whole chunks of the solver's warm starts.
constexpr std::ptrdiff_t k_block_elements = std::ptrdiff_t{1} << 13;

// |y| of the part's vectors into rows `stride` bytes apart from `to`.
template <class T>
void absolute(const Problem &part, char *to, std::ptrdiff_t stride) noexcept
{
    for (std::ptrdiff_t i = 0; i < part.m; ++i) {
        const T *y = reinterpret_cast<const T *>(part.y + i * part.y_stride);
        T *z = reinterpret_cast<T *>(to + i * stride);
        for (std::ptrdiff_t j = 0; j < part.n; ++j) {
            z[j] = std::fabs(y[j]);
        }
    }
}

// The first `rows` vectors of out get the signs of y's.
template <class T>
void signed_back(const Problem &part, std::ptrdiff_t rows) noexcept
{
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        const T *y = reinterpret_cast<const T *>(part.y + i * part.y_stride);
        T *x = reinterpret_cast<T *>(part.out + i * part.out_stride);
        for (std::ptrdiff_t j = 0; j < part.n; ++j) {
            x[j] = std::copysign(x[j], y[j]);
        }
    }
}

template <class T>
std::ptrdiff_t solve_typed(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t end, Team *team,
                           std::ptrdiff_t chunk) noexcept
{
    const std::ptrdiff_t chunks = k_block_elements / (p.n * chunk);
    const std::ptrdiff_t fit = chunk * (chunks < 1 ? 1 : chunks);
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
