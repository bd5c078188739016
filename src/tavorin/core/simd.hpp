// Four doubles at a time: AVX2 where the processor has it, plain lanes with the same results.
//
// Kernels are written once against these types and functions and marked
// TAVORIN_SIMD_KERNEL.  On x86-64 the types wrap AVX2 registers and a kernel
// may run only when simd::available() (checked once per call, not per
// element); elsewhere, and in the build with TAVORIN_NO_AVX2, they are
// arrays of four and available() is always true; the arrays of four are also
// simd::plain everywhere, for a kernel's twin on x86 without AVX2.  Every
// operation is defined lane by lane with the exact rounding and NaN rules of
// its AVX2 instruction,
// so a kernel gives the same bytes either way; a kernel's scalar twin (for x86
// processors without AVX2) must keep the same per-lane order of operations.
#ifndef TAVORIN_CORE_SIMD_HPP
#define TAVORIN_CORE_SIMD_HPP

#include "core/compiler.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#if TAVORIN_AVX2
#include <immintrin.h>
#endif

namespace tavorin::simd {

namespace detail {

// For each set of lanes (bit k for lane k) of four doubles: the 32-bit lane
// indices that move those doubles to the front in order, the other lanes
// taking lane 0; and how many there are.
struct CompressTable {
    alignas(32) std::int32_t lanes[16][8];
    int count[16];
};

constexpr CompressTable make_compress_table() noexcept
{
    CompressTable table{};
    for (int set = 0; set < 16; ++set) {
        int kept = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((set >> lane) & 1) {
                table.lanes[set][2 * kept] = 2 * lane;
                table.lanes[set][2 * kept + 1] = 2 * lane + 1;
                ++kept;
            }
        }
        table.count[set] = kept;
        for (int rest = kept; rest < 4; ++rest) {
            table.lanes[set][2 * rest] = 0;
            table.lanes[set][2 * rest + 1] = 1;
        }
    }
    return table;
}

inline constexpr CompressTable k_compress = make_compress_table();

}  // namespace detail

// How many lanes `set` (bits(m) of a mask) names.
constexpr int lane_count(int set) noexcept
{
    return detail::k_compress.count[set];
}

// The plain lanes, compiled everywhere: the only implementation where AVX2
// is not compiled, and the twin that kernels run on x86 without it.
namespace plain {

struct F64x4 {
    double v[4];
};
struct Mask4 {
    bool v[4];
};
struct I64x4 {
    std::int64_t v[4];
};

#define TAVORIN_SIMD_LANES(expression)                                 \
    {                                                                  \
        {                                                              \
            expression(0), expression(1), expression(2), expression(3) \
        }                                                              \
    }

inline F64x4 load(const double *p) noexcept
{
    return {{p[0], p[1], p[2], p[3]}};
}
inline F64x4 load(const float *p) noexcept
{
    return {{p[0], p[1], p[2], p[3]}};
}
inline void store(double *p, F64x4 a) noexcept
{
    for (int k = 0; k < 4; ++k) {
        p[k] = a.v[k];
    }
}
inline void store(float *p, F64x4 a) noexcept
{
    for (int k = 0; k < 4; ++k) {
        p[k] = static_cast<float>(a.v[k]);
    }
}
// A store past the caches (the plain lanes store as store() does; the
// bytes are the same either way), and the fence that orders such stores
// before the stores that follow it.
inline void stream(double *p, F64x4 a) noexcept
{
    store(p, a);
}
inline void stream(float *p, F64x4 a) noexcept
{
    store(p, a);
}
inline void stream_fence() noexcept {}
inline F64x4 broadcast(double x) noexcept
{
    return {{x, x, x, x}};
}
inline F64x4 zero() noexcept
{
    return broadcast(0.0);
}

inline F64x4 operator+(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] + b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 operator-(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] - b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 operator*(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] * b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 operator/(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] / b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 min(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] < b.v[k] ? a.v[k] : b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 max(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] > b.v[k] ? a.v[k] : b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}

inline Mask4 lt(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] < b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline Mask4 le(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] <= b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline Mask4 eq(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] == b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline Mask4 ne(F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) !(a.v[k] == b.v[k])
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline Mask4 operator&(Mask4 a, Mask4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] && b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline Mask4 operator|(Mask4 a, Mask4 b) noexcept
{
#define TAVORIN_LANE(k) a.v[k] || b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline Mask4 andnot(Mask4 a, Mask4 b) noexcept
{
#define TAVORIN_LANE(k) !a.v[k] && b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline int bits(Mask4 m) noexcept
{
    return int(m.v[0]) | int(m.v[1]) << 1 | int(m.v[2]) << 2 | int(m.v[3]) << 3;
}

inline F64x4 select(Mask4 m, F64x4 a, F64x4 b) noexcept
{
#define TAVORIN_LANE(k) m.v[k] ? a.v[k] : b.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 keep(Mask4 m, F64x4 a) noexcept
{
    return select(m, a, zero());
}
inline F64x4 drop(Mask4 m, F64x4 a) noexcept
{
    return select(m, zero(), a);
}
// The next double above x (by its bits: from -0.0 and +0.0 the least
// positive double; NaN and infinities give what their bits plus one are).
inline F64x4 next_up(F64x4 x) noexcept
{
    F64x4 r;
    for (int k = 0; k < 4; ++k) {
        std::int64_t b;
        std::memcpy(&b, &x.v[k], sizeof b);
        b = x.v[k] == 0.0 ? 1 : x.v[k] < 0.0 ? b - 1 : b + 1;
        std::memcpy(&r.v[k], &b, sizeof b);
    }
    return r;
}
inline F64x4 negated(F64x4 x) noexcept
{
#define TAVORIN_LANE(k) -x.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
// |x| and x with the sign of s, by the sign bit (NaN included): fabs and copysign.
inline F64x4 absolute(F64x4 x) noexcept
{
#define TAVORIN_LANE(k) std::fabs(x.v[k])
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline F64x4 signed_as(F64x4 x, F64x4 s) noexcept
{
#define TAVORIN_LANE(k) std::copysign(x.v[k], s.v[k])
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
// The lanes' sign bits, lane k's as bit k.
inline int sign_bits(F64x4 x) noexcept
{
    int b = 0;
    for (int k = 0; k < 4; ++k) {
        b |= std::signbit(x.v[k]) ? 1 << k : 0;
    }
    return b;
}
// The next double below x.
inline F64x4 next_down(F64x4 x) noexcept
{
    return negated(next_up(negated(x)));
}
inline F64x4 compress(F64x4 a, int set) noexcept
{
    // The same table as the permute's: lane k takes the double whose low half is index 2 * k.
    const std::int32_t *lanes = detail::k_compress.lanes[set];
#define TAVORIN_LANE(k) a.v[lanes[2 * (k)] / 2]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}

inline I64x4 zero_counts() noexcept
{
    return {{0, 0, 0, 0}};
}
inline I64x4 count(I64x4 c, Mask4 m) noexcept
{
#define TAVORIN_LANE(k) c.v[k] + m.v[k]
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}
inline void store(std::int64_t *p, I64x4 c) noexcept
{
    for (int k = 0; k < 4; ++k) {
        p[k] = c.v[k];
    }
}

// Counts below 2^52 as doubles.
inline F64x4 to_doubles(I64x4 c) noexcept
{
#define TAVORIN_LANE(k) static_cast<double>(c.v[k])
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}

// The mask whose lane k is set where bit k of `set` is.
inline Mask4 mask(int set) noexcept
{
#define TAVORIN_LANE(k) ((set >> (k)) & 1) != 0
    return TAVORIN_SIMD_LANES(TAVORIN_LANE);
#undef TAVORIN_LANE
}

// Four vectors of four as a 4x4 matrix, rows to columns: lane k of a is
// afterwards what lane 0 of the k-th argument was, and so on.
inline void transpose(F64x4 &a, F64x4 &b, F64x4 &c, F64x4 &d) noexcept
{
    const F64x4 r[4] = {a, b, c, d};
    a = {{r[0].v[0], r[1].v[0], r[2].v[0], r[3].v[0]}};
    b = {{r[0].v[1], r[1].v[1], r[2].v[1], r[3].v[1]}};
    c = {{r[0].v[2], r[1].v[2], r[2].v[2], r[3].v[2]}};
    d = {{r[0].v[3], r[1].v[3], r[2].v[3], r[3].v[3]}};
}

// The least and the greatest of four doubles read back from lanes.
inline double min_of(const double (&x)[4]) noexcept
{
    const double a = x[0] < x[1] ? x[0] : x[1];
    const double b = x[2] < x[3] ? x[2] : x[3];
    return a < b ? a : b;
}
inline double max_of(const double (&x)[4]) noexcept
{
    const double a = x[0] > x[1] ? x[0] : x[1];
    const double b = x[2] > x[3] ? x[2] : x[3];
    return a > b ? a : b;
}

#undef TAVORIN_SIMD_LANES

}  // namespace plain

#if TAVORIN_AVX2

#define TAVORIN_SIMD_KERNEL TAVORIN_TARGET_AVX2
#define TAVORIN_SIMD_INLINE TAVORIN_TARGET_AVX2 TAVORIN_ALWAYS_INLINE

struct F64x4 {
    __m256d v;
};
// A comparison's result: every bit of a lane set, or none.
struct Mask4 {
    __m256d v;
};
struct I64x4 {
    __m256i v;
};

inline bool available() noexcept
{
    // Not cached in a local static: its guard would make every caller save
    // registers, and the residual is called for rows of a few elements.
    return cpu_has_avx2();
}

TAVORIN_SIMD_INLINE F64x4 load(const double *p) noexcept
{
    return {_mm256_loadu_pd(p)};
}
// Four floats widened to doubles (exactly).
TAVORIN_SIMD_INLINE F64x4 load(const float *p) noexcept
{
    return {_mm256_cvtps_pd(_mm_loadu_ps(p))};
}
TAVORIN_SIMD_INLINE void store(double *p, F64x4 a) noexcept
{
    _mm256_storeu_pd(p, a.v);
}
// Four doubles rounded to floats (to nearest, ties to even).
TAVORIN_SIMD_INLINE void store(float *p, F64x4 a) noexcept
{
    _mm_storeu_ps(p, _mm256_cvtpd_ps(a.v));
}
// Stores that skip the caches where the address allows (16 bytes aligned),
// so that writing a line costs no read of it first.
TAVORIN_SIMD_INLINE void stream(double *p, F64x4 a) noexcept
{
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    if ((at & 31) == 0) {
        _mm256_stream_pd(p, a.v);
    }
    else if ((at & 15) == 0) {
        _mm_stream_pd(p, _mm256_castpd256_pd128(a.v));
        _mm_stream_pd(p + 2, _mm256_extractf128_pd(a.v, 1));
    }
    else {
        _mm256_storeu_pd(p, a.v);
    }
}
TAVORIN_SIMD_INLINE void stream(float *p, F64x4 a) noexcept
{
    if ((reinterpret_cast<std::uintptr_t>(p) & 15) == 0) {
        _mm_stream_ps(p, _mm256_cvtpd_ps(a.v));
    }
    else {
        _mm_storeu_ps(p, _mm256_cvtpd_ps(a.v));
    }
}
TAVORIN_SIMD_INLINE void stream_fence() noexcept
{
    _mm_sfence();
}
TAVORIN_SIMD_INLINE F64x4 broadcast(double x) noexcept
{
    return {_mm256_set1_pd(x)};
}
TAVORIN_SIMD_INLINE F64x4 zero() noexcept
{
    return {_mm256_setzero_pd()};
}

TAVORIN_SIMD_INLINE F64x4 operator+(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_add_pd(a.v, b.v)};
}
TAVORIN_SIMD_INLINE F64x4 operator-(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_sub_pd(a.v, b.v)};
}
TAVORIN_SIMD_INLINE F64x4 operator*(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_mul_pd(a.v, b.v)};
}
TAVORIN_SIMD_INLINE F64x4 operator/(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_div_pd(a.v, b.v)};
}
// a < b ? a : b, lane by lane: b when either is NaN.
TAVORIN_SIMD_INLINE F64x4 min(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_min_pd(a.v, b.v)};
}
// a > b ? a : b, lane by lane: b when either is NaN.
TAVORIN_SIMD_INLINE F64x4 max(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_max_pd(a.v, b.v)};
}

// Ordered comparisons: false where either lane is NaN.
TAVORIN_SIMD_INLINE Mask4 lt(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)};
}
TAVORIN_SIMD_INLINE Mask4 le(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)};
}
TAVORIN_SIMD_INLINE Mask4 eq(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)};
}
// Unordered: true where either lane is NaN.
TAVORIN_SIMD_INLINE Mask4 ne(F64x4 a, F64x4 b) noexcept
{
    return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)};
}
TAVORIN_SIMD_INLINE Mask4 operator&(Mask4 a, Mask4 b) noexcept
{
    return {_mm256_and_pd(a.v, b.v)};
}
TAVORIN_SIMD_INLINE Mask4 operator|(Mask4 a, Mask4 b) noexcept
{
    return {_mm256_or_pd(a.v, b.v)};
}
// (not a) and b.
TAVORIN_SIMD_INLINE Mask4 andnot(Mask4 a, Mask4 b) noexcept
{
    return {_mm256_andnot_pd(a.v, b.v)};
}
// Bit k set for a set lane k.
TAVORIN_SIMD_INLINE int bits(Mask4 m) noexcept
{
    return _mm256_movemask_pd(m.v);
}

// m ? a : b, lane by lane.
TAVORIN_SIMD_INLINE F64x4 select(Mask4 m, F64x4 a, F64x4 b) noexcept
{
    return {_mm256_blendv_pd(b.v, a.v, m.v)};
}
// a where m is set, +0.0 elsewhere.
TAVORIN_SIMD_INLINE F64x4 keep(Mask4 m, F64x4 a) noexcept
{
    return {_mm256_and_pd(m.v, a.v)};
}
// +0.0 where m is set, a elsewhere.
TAVORIN_SIMD_INLINE F64x4 drop(Mask4 m, F64x4 a) noexcept
{
    return {_mm256_andnot_pd(m.v, a.v)};
}
// The next double above x (by its bits: from -0.0 and +0.0 the least
// positive double; NaN and infinities give what their bits plus one are).
TAVORIN_SIMD_INLINE F64x4 next_up(F64x4 x) noexcept
{
    const __m256d zero = _mm256_setzero_pd();
    const __m256i negative = _mm256_castpd_si256(_mm256_cmp_pd(x.v, zero, _CMP_LT_OQ));
    const __m256i one = _mm256_set1_epi64x(1);
    // +1 on the bits, or -1 (the comparison's all-ones) for a negative x.
    const __m256i step = _mm256_or_si256(negative, one);
    const __m256i bits = _mm256_add_epi64(_mm256_castpd_si256(x.v), step);
    const __m256d at_zero = _mm256_cmp_pd(x.v, zero, _CMP_EQ_OQ);
    return {_mm256_blendv_pd(_mm256_castsi256_pd(bits), _mm256_castsi256_pd(one), at_zero)};
}
TAVORIN_SIMD_INLINE F64x4 negated(F64x4 x) noexcept
{
    return {_mm256_xor_pd(x.v, _mm256_set1_pd(-0.0))};
}
// |x| and x with the sign of s, by the sign bit (NaN included): fabs and copysign.
TAVORIN_SIMD_INLINE F64x4 absolute(F64x4 x) noexcept
{
    return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), x.v)};
}
TAVORIN_SIMD_INLINE F64x4 signed_as(F64x4 x, F64x4 s) noexcept
{
    const __m256d sign = _mm256_set1_pd(-0.0);
    return {_mm256_or_pd(_mm256_andnot_pd(sign, x.v), _mm256_and_pd(sign, s.v))};
}
// The lanes' sign bits, lane k's as bit k.
TAVORIN_SIMD_INLINE int sign_bits(F64x4 x) noexcept
{
    return _mm256_movemask_pd(x.v);
}
// The next double below x.
TAVORIN_SIMD_INLINE F64x4 next_down(F64x4 x) noexcept
{
    return negated(next_up(negated(x)));
}

// The lanes of `a` that `set` (bits(m) of a mask) names, moved to the front
// in order; the lanes after them repeat lane 0.
TAVORIN_SIMD_INLINE F64x4 compress(F64x4 a, int set) noexcept
{
    const __m256i lanes =
        _mm256_load_si256(reinterpret_cast<const __m256i *>(detail::k_compress.lanes[set]));
    return {_mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(a.v), lanes))};
}

TAVORIN_SIMD_INLINE I64x4 zero_counts() noexcept
{
    return {_mm256_setzero_si256()};
}
// c + 1 in every set lane of m.
TAVORIN_SIMD_INLINE I64x4 count(I64x4 c, Mask4 m) noexcept
{
    // A set lane is the integer -1.
    return {_mm256_sub_epi64(c.v, _mm256_castpd_si256(m.v))};
}

TAVORIN_SIMD_INLINE void store(std::int64_t *p, I64x4 c) noexcept
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), c.v);
}

// Counts below 2^52 as doubles: the count in the mantissa of 2^52, less 2^52.
TAVORIN_SIMD_INLINE F64x4 to_doubles(I64x4 c) noexcept
{
    const __m256i magic = _mm256_castpd_si256(_mm256_set1_pd(0x1p52));
    const __m256d biased = _mm256_castsi256_pd(_mm256_or_si256(c.v, magic));
    return {_mm256_sub_pd(biased, _mm256_set1_pd(0x1p52))};
}

// The mask whose lane k is set where bit k of `set` is.
TAVORIN_SIMD_INLINE Mask4 mask(int set) noexcept
{
    const __m256i bit = _mm256_set_epi64x(8, 4, 2, 1);
    const __m256i picked = _mm256_and_si256(_mm256_set1_epi64x(set), bit);
    return {_mm256_castsi256_pd(_mm256_cmpeq_epi64(picked, bit))};
}

// Four vectors of four as a 4x4 matrix, rows to columns: lane k of a is
// afterwards what lane 0 of the k-th argument was, and so on.
TAVORIN_SIMD_INLINE void transpose(F64x4 &a, F64x4 &b, F64x4 &c, F64x4 &d) noexcept
{
    const __m256d ab_even = _mm256_unpacklo_pd(a.v, b.v);  // a0 b0 a2 b2
    const __m256d ab_odd = _mm256_unpackhi_pd(a.v, b.v);   // a1 b1 a3 b3
    const __m256d cd_even = _mm256_unpacklo_pd(c.v, d.v);
    const __m256d cd_odd = _mm256_unpackhi_pd(c.v, d.v);
    a.v = _mm256_permute2f128_pd(ab_even, cd_even, 0x20);
    b.v = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x20);
    c.v = _mm256_permute2f128_pd(ab_even, cd_even, 0x31);
    d.v = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x31);
}

#else

#define TAVORIN_SIMD_KERNEL
#define TAVORIN_SIMD_INLINE inline

constexpr bool available() noexcept
{
    return true;
}

using plain::absolute;
using plain::andnot;
using plain::bits;
using plain::broadcast;
using plain::compress;
using plain::count;
using plain::drop;
using plain::eq;
using plain::F64x4;
using plain::I64x4;
using plain::keep;
using plain::le;
using plain::load;
using plain::lt;
using plain::mask;
using plain::Mask4;
using plain::max;
using plain::min;
using plain::ne;
using plain::negated;
using plain::next_down;
using plain::next_up;
using plain::select;
using plain::sign_bits;
using plain::signed_as;
using plain::store;
using plain::stream;
using plain::stream_fence;
using plain::to_doubles;
using plain::transpose;
using plain::zero;
using plain::zero_counts;

#endif

}  // namespace tavorin::simd

#endif
