// Derivatives of the projection at a computed x: tangents forward (JVP), cotangents back (VJP).
//
// Each row is read twice: the first pass gathers the sums over the free set
// (one shift per row needs them all), the second writes every element.  The
// sums run in four lanes, element j in lane j % 4, and are joined as
// (s0 + s1) + (s2 + s3).  The loops are written once (derivatives.inc) and
// compiled on AVX2 lanes and on plain lanes, which give the same bytes.
// Arithmetic is in double for float32 rows too; only the stores round.
#include "core/derivatives.hpp"

#include "core/simd.hpp"
#include "core/twofold.hpp"

#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

namespace tavorin::derivatives {

namespace {

template <typename T>
T *row_at(T *base, std::ptrdiff_t stride, std::ptrdiff_t i) noexcept
{
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    return reinterpret_cast<T *>(reinterpret_cast<Byte *>(base) + i * stride);
}

// The last `left` < 4 elements of an array from j, copied into `pad` and
// followed there by `fill`; null for an array that is not there.
template <typename Real>
const Real *copied(const Real *p, std::ptrdiff_t j, std::ptrdiff_t left, Real (&pad)[4],
                   Real fill = Real(0)) noexcept
{
    if (!p) {
        return nullptr;
    }
    for (std::ptrdiff_t k = 0; k < 4; ++k) {
        pad[k] = k < left ? p[j + k] : fill;
    }
    return pad;
}

// The first `left` results of a padded tail written back to their row from j.
template <typename Real>
void copy_back(const Real (&pad)[4], Real *p, std::ptrdiff_t j, std::ptrdiff_t left) noexcept
{
    for (std::ptrdiff_t k = 0; p && k < left; ++k) {
        p[j + k] = pad[k];
    }
}

inline double joined(const double (&s)[4]) noexcept
{
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// The lanes' sums of squares and their errors joined (an infinite sum as it
// is: no error is left).
inline double joined(const double (&hi)[4], const double (&lo)[4]) noexcept
{
    Twofold t;
    for (int k = 0; k < 4; ++k) {
        t = t + hi[k];
        t.lo += lo[k];
    }
    return std::isfinite(t.hi) ? t.value() : t.hi;
}

// A row without free elements keeps its shift: nothing moves it.
inline double per_free_weight(double sum, double k) noexcept
{
    return k > 0.0 ? sum / k : 0.0;
}

// The kernels of one compilation for one layout of the sets, a row a call.
template <typename Real>
struct Kernels {
    void (*jvp)(const Jvp<Real> &, std::ptrdiff_t) noexcept;
    void (*vjp)(const Vjp<Real> &, std::ptrdiff_t) noexcept;
    void (*free_weight)(const Sets<Real> &, Real *, std::ptrdiff_t) noexcept;
};

namespace lane_kernels {
namespace v = ::tavorin::simd;
#define TAVORIN_LANES_KERNEL TAVORIN_SIMD_KERNEL
#define TAVORIN_LANES_INLINE TAVORIN_SIMD_INLINE
#include "core/derivatives.inc"
#undef TAVORIN_LANES_KERNEL
#undef TAVORIN_LANES_INLINE
}  // namespace lane_kernels

namespace plain_kernels {
namespace v = ::tavorin::simd::plain;
#define TAVORIN_LANES_KERNEL
#define TAVORIN_LANES_INLINE inline
#include "core/derivatives.inc"
#undef TAVORIN_LANES_KERNEL
#undef TAVORIN_LANES_INLINE
}  // namespace plain_kernels

// The AVX2 kernels where the processor has AVX2 and they are not refused,
// else the plain ones; for the layout of the sets.
template <typename Real>
Kernels<Real> kernels(const Sets<Real> &sets, bool plain) noexcept
{
    const int layout =
        (sets.l.elements ? 4 : 0) | (sets.u.elements ? 2 : 0) | (sets.w.elements ? 1 : 0);
    constexpr auto layouts = std::make_integer_sequence<int, 8>();
    return plain || !simd::available() ? plain_kernels::kernels<Real>(layout, layouts)
                                       : lane_kernels::kernels<Real>(layout, layouts);
}

// row(args..., i) for each row i of [begin, end).
template <typename Row, typename... Args>
void each_row(Row row, std::ptrdiff_t begin, std::ptrdiff_t end, const Args &...args) noexcept
{
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        row(args..., i);
    }
}

}  // namespace

template <typename Real>
void jvp_rows(const Jvp<Real> &jvp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    each_row(kernels(jvp.sets, false).jvp, begin, end, jvp);
}

template <typename Real>
void vjp_rows(const Vjp<Real> &vjp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    each_row(kernels(vjp.sets, false).vjp, begin, end, vjp);
}

template <typename Real>
void free_weight_rows(const Sets<Real> &sets, Real *k, std::ptrdiff_t begin,
                      std::ptrdiff_t end) noexcept
{
    each_row(kernels(sets, false).free_weight, begin, end, sets, k);
}

template <typename Real>
void jvp_rows_plain(const Jvp<Real> &jvp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    each_row(kernels(jvp.sets, true).jvp, begin, end, jvp);
}

template <typename Real>
void vjp_rows_plain(const Vjp<Real> &vjp, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    each_row(kernels(vjp.sets, true).vjp, begin, end, vjp);
}

template <typename Real>
void free_weight_rows_plain(const Sets<Real> &sets, Real *k, std::ptrdiff_t begin,
                            std::ptrdiff_t end) noexcept
{
    each_row(kernels(sets, true).free_weight, begin, end, sets, k);
}

template void jvp_rows(const Jvp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void jvp_rows(const Jvp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows(const Vjp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows(const Vjp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void jvp_rows_plain(const Jvp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void jvp_rows_plain(const Jvp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows_plain(const Vjp<float> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void vjp_rows_plain(const Vjp<double> &, std::ptrdiff_t, std::ptrdiff_t) noexcept;
template void free_weight_rows(const Sets<float> &, float *, std::ptrdiff_t,
                               std::ptrdiff_t) noexcept;
template void free_weight_rows(const Sets<double> &, double *, std::ptrdiff_t,
                               std::ptrdiff_t) noexcept;
template void free_weight_rows_plain(const Sets<float> &, float *, std::ptrdiff_t,
                                     std::ptrdiff_t) noexcept;
template void free_weight_rows_plain(const Sets<double> &, double *, std::ptrdiff_t,
                                     std::ptrdiff_t) noexcept;

}  // namespace tavorin::derivatives
