// A batch of rows with per-row bounds and its projection over row ranges (the brentq method).
#include "core/batch.hpp"

#include "core/projection.hpp"

#include <cstring>

namespace tavorin {

void project_rows(root_finder brentq, const Batch &batch, std::ptrdiff_t begin,
                  std::ptrdiff_t end) noexcept
{
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        double *row = reinterpret_cast<double *>(batch.rows + i * batch.row_stride);
        const char *source = batch.source + i * batch.source_stride;
        if (source != reinterpret_cast<const char *>(row)) {
            std::memcpy(row, source, static_cast<std::size_t>(batch.n) * sizeof(double));
        }
        params p = {batch.n, batch.h[i], batch.l[i], batch.u[i], row};
        double xa;
        double xb;
        row_bracket(row, batch.n, p.l, p.u, &xa, &xb);
        project_row(brentq, p, xa, xb, batch.xtol, batch.rtol, batch.maxiter);
    }
}

}  // namespace tavorin
