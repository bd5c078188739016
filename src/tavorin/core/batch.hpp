// A batch of rows with per-row bounds and its projection over row ranges (the brentq method).
#ifndef TAVORIN_CORE_BATCH_HPP
#define TAVORIN_CORE_BATCH_HPP

#include "core/root_finder.hpp"
#include "core/row_values.hpp"

#include <cstddef>

namespace tavorin {

// m rows of n adjacent doubles, `row_stride` bytes apart, projected into
// `rows` from `source` (which may be `rows` itself).
struct Batch {
    char *rows;
    const char *source;
    std::ptrdiff_t m;
    std::ptrdiff_t n;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t source_stride;
    RowValues h;
    RowValues l;
    RowValues u;
    double xtol;
    double rtol;
    int maxiter;
};

// Copies the rows [begin, end) of the source in (unless they are the same
// memory) and projects them exactly as proj_csimplex does (the same bracket,
// brentq call and write-back).
void project_rows(root_finder brentq, const Batch &batch, std::ptrdiff_t begin,
                  std::ptrdiff_t end) noexcept;

}  // namespace tavorin

#endif
