// One value per vector, read with a stride (0: the same value for every vector).
#ifndef TAVORIN_CORE_ROW_VALUES_HPP
#define TAVORIN_CORE_ROW_VALUES_HPP

#include <cstddef>

namespace tavorin {

// One value per row, `stride` doubles apart; stride 0 gives every row the same one.
struct RowValues {
    const double *data;
    std::ptrdiff_t stride;

    double operator[](std::ptrdiff_t i) const noexcept { return data[i * stride]; }
};

}  // namespace tavorin

#endif
