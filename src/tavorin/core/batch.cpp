// A batch of rows with per-row bounds, its feasibility check and its projection over row ranges.
#include "core/batch.hpp"

#include "core/exact.hpp"
#include "core/projection.hpp"

#include <cmath>

namespace tavorin {

std::ptrdiff_t first_infeasible(const Batch &batch) noexcept
{
    const double n = static_cast<double>(batch.n);
    // Scalar bounds are the common case: one test stands for every row.
    const bool same_for_all = batch.h.stride == 0 && batch.l.stride == 0 && batch.u.stride == 0;
    const std::ptrdiff_t rows = same_for_all && batch.m > 0 ? 1 : batch.m;
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        const double h = batch.h[i];
        const double l = batch.l[i];
        const double u = batch.u[i];
        const bool finite = std::isfinite(h) && std::isfinite(l) && std::isfinite(u);
        if (!finite || !(l <= u) || !(n * l <= h) || !(h <= n * u)) {
            return i;
        }
    }
    return -1;
}

void project_rows(root_finder brentq, const Batch &batch, std::ptrdiff_t begin,
                  std::ptrdiff_t end) noexcept
{
    const auto project = batch.exact ? project_row_exact : project_row;
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        double *row = reinterpret_cast<double *>(batch.rows + i * batch.row_stride);
        params p = {batch.n, batch.h[i], batch.l[i], batch.u[i], row};
        double xa;
        double xb;
        row_bracket(row, batch.n, p.l, p.u, &xa, &xb);
        project(brentq, p, xa, xb, batch.xtol, batch.rtol, batch.maxiter);
    }
}

}  // namespace tavorin
