// A batch of rows with per-row bounds, its feasibility check and its projection over row ranges.
#ifndef TAVORIN_CORE_BATCH_HPP
#define TAVORIN_CORE_BATCH_HPP

#include "core/root_finder.hpp"

#include <cstddef>

namespace tavorin {

// One value per row, `stride` doubles apart; stride 0 gives every row the same one.
struct RowValues {
    const double *data;
    std::ptrdiff_t stride;

    double operator[](std::ptrdiff_t i) const noexcept { return data[i * stride]; }
};

// m rows of n adjacent doubles, `row_stride` bytes apart, projected in place.
struct Batch {
    char *rows;
    std::ptrdiff_t m;
    std::ptrdiff_t n;
    std::ptrdiff_t row_stride;
    RowValues h;
    RowValues l;
    RowValues u;
    double xtol;
    double rtol;
    int maxiter;
    bool exact;
};

// The first row whose capped simplex is empty (l > u, or h outside
// [n*l, n*u]) or whose h, l or u is not finite; -1 when there is none.
std::ptrdiff_t first_infeasible(const Batch &batch) noexcept;

// Projects the rows [begin, end): with `exact` false exactly as
// proj_csimplex does (the same bracket, brentq call and write-back).
void project_rows(root_finder brentq, const Batch &batch, std::ptrdiff_t begin,
                  std::ptrdiff_t end) noexcept;

}  // namespace tavorin

#endif
