// _simplex.copy: a block of float64 or float32 elements copied between any two layouts, on the
// call's threads (the scratch copies around the solver: vectors gathered from the caller's
// strided array, results scattered into an out the solver cannot write directly).
#include "core/blocks.hpp"
#include "host/buffer.hpp"
#include "simplex/entries.hpp"

#include <cstring>

namespace tavorin::simplex {

namespace {

// Rows copied together where elements are not adjacent: a cache line of doubles.
constexpr std::ptrdiff_t k_tile_rows = 8;

// Rows [begin, end) of elements of `size` bytes, not adjacent on one side at least.
template <std::size_t size>
void copy_tiles(const Block &from, const Block &to, std::ptrdiff_t begin,
                std::ptrdiff_t end) noexcept
{
    // A few rows at a time, column by column: when one side is a transpose of
    // the other, its rows' elements at one column share cache lines.
    for (std::ptrdiff_t first = begin; first < end; first += k_tile_rows) {
        const std::ptrdiff_t last = end - first < k_tile_rows ? end : first + k_tile_rows;
        for (std::ptrdiff_t j = 0; j < from.n; ++j) {
            const char *source = from.data + j * from.column_stride;
            char *target = to.data + j * to.column_stride;
            for (std::ptrdiff_t i = first; i < last; ++i) {
                // memcpy, not a typed load: the elements of either side may be unaligned.
                std::memcpy(target + i * to.row_stride, source + i * from.row_stride, size);
            }
        }
    }
}

void copy_rows(const Block &from, const Block &to, std::ptrdiff_t begin,
               std::ptrdiff_t end) noexcept
{
    const bool single = from.real == Real::f32;
    const std::ptrdiff_t size = single ? 4 : 8;
    if (from.column_stride == size && to.column_stride == size) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            std::memcpy(to.data + i * to.row_stride, from.data + i * from.row_stride,
                        static_cast<std::size_t>(from.n * size));
        }
    }
    else if (single) {
        copy_tiles<4>(from, to, begin, end);
    }
    else {
        copy_tiles<8>(from, to, begin, end);
    }
}

void run(const Block &from, const Block &to, std::ptrdiff_t workers) noexcept
{
    const std::ptrdiff_t m = from.m;
    Team team(block_count(m, from.n, workers));
    if (!team.started()) {
        // A copy refuses nothing: without threads it is done on this one.
        copy_rows(from, to, 0, m);
        return;
    }
    // Ranges of rows worth a take, four a thread or more.
    const std::ptrdiff_t ranges = 4 * static_cast<std::ptrdiff_t>(team.size());
    const std::ptrdiff_t grain = (m + ranges - 1) / ranges;
    team.run(m, (grain + k_tile_rows - 1) / k_tile_rows * k_tile_rows,
             [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
                 copy_rows(from, to, begin, end);
             });
}

}  // namespace

// copy(source, target, workers) -> None
PyObject *copy(PyObject *, PyObject *args) noexcept
{
    PyObject *from_obj, *to_obj;
    Py_ssize_t workers;
    if (!PyArg_ParseTuple(args, "OOn:copy", &from_obj, &to_obj, &workers)) {
        return nullptr;
    }
    if (workers < 1) {
        PyErr_SetString(PyExc_ValueError, "workers: expected at least one thread");
        return nullptr;
    }
    HeldBuffer from_held, to_held;
    Block from, to;
    if (take_block(from_obj, "source", false, from_held, from) < 0 ||
        take_block(to_obj, "target", true, to_held, to) < 0) {
        return nullptr;
    }
    if (from.m != to.m || from.n != to.n || from.real != to.real) {
        PyErr_SetString(PyExc_ValueError, "target: expected the source's shape and element type");
        return nullptr;
    }
    run_unlocked(from.m * from.n, [&]() noexcept { run(from, to, workers); });
    Py_RETURN_NONE;
}

}  // namespace tavorin::simplex
