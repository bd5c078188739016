// Compiler and architecture differences, so that the rest of the code is plain C++.
//
// GCC and Clang spell target attributes, forced inlining, symbol visibility
// and overflow-checked arithmetic one way, MSVC another; AVX2 code exists
// only on x86-64.  Everything that depends on either is spelled here once.
#ifndef TAVORIN_CORE_COMPILER_HPP
#define TAVORIN_CORE_COMPILER_HPP

#include <cstddef>
#include <cstdint>
#include <limits>

// Whether the AVX2 paths are compiled: on x86-64 unless TAVORIN_NO_AVX2 is
// defined (the build that checks the plain paths give the same bytes).  They
// run only where the processor has AVX2 (cpu_has_avx2).
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(TAVORIN_NO_AVX2)
#define TAVORIN_AVX2 1
#else
#define TAVORIN_AVX2 0
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
// MSVC compiles AVX2 intrinsics in any function, and has no per-function target.
#define TAVORIN_TARGET_AVX2
#define TAVORIN_ALWAYS_INLINE __forceinline
#define TAVORIN_EXPORT __declspec(dllexport)
#define TAVORIN_NOINLINE __declspec(noinline)
#else
#define TAVORIN_TARGET_AVX2 __attribute__((target("avx2")))
#define TAVORIN_ALWAYS_INLINE inline __attribute__((always_inline))
#define TAVORIN_EXPORT __attribute__((visibility("default")))
#define TAVORIN_NOINLINE __attribute__((noinline))
#endif

namespace tavorin {

// Whether this processor (and its operating system) runs AVX2 code.  Cheap
// enough to ask in every call of a kernel: no call and no guard on the way.
inline bool cpu_has_avx2() noexcept
{
#if !TAVORIN_AVX2
    return false;
#elif defined(_MSC_VER) && !defined(__clang__)
    static const bool has = [] {
        int info[4];
        __cpuid(info, 1);
        const bool os_saves_ymm = (info[2] & (1 << 27)) && (_xgetbv(0) & 6) == 6;
        __cpuidex(info, 7, 0);
        return os_saves_ymm && (info[1] & (1 << 5));
    }();
    return has;
#else
    // One test of a word the compiler's runtime fills when it is loaded.
    return __builtin_cpu_supports("avx2");
#endif
}

// Unrolls the loop that follows twice where the compiler takes the hint
// (GCC and Clang); MSVC has no such pragma and would warn of an unknown one.
#if defined(_MSC_VER) && !defined(__clang__)
#define TAVORIN_UNROLL_TWICE
#else
#define TAVORIN_UNROLL_TWICE _Pragma("GCC unroll 2")
#endif

// Hints that the line at p is about to be read, or written: it is fetched
// into the caches meanwhile.  Never faults, whatever p is.
inline void prefetch_read(const void *p) noexcept
{
#if defined(_MSC_VER) && !defined(__clang__)
#if defined(_M_X64)
    _mm_prefetch(static_cast<const char *>(p), _MM_HINT_T1);
#else
    (void)p;
#endif
#else
    __builtin_prefetch(p, 0, 2);
#endif
}

inline void prefetch_write(const void *p) noexcept
{
#if defined(_MSC_VER) && !defined(__clang__)
    prefetch_read(p);
#else
    __builtin_prefetch(p, 1, 2);
#endif
}

// Tells the processor this thread is waiting in a loop on memory another
// thread writes (x86's pause, Arm's yield): less power, and on a core
// shared by two hardware threads the other one runs meanwhile.
inline void spin_pause() noexcept
{
#if defined(_MSC_VER) && !defined(__clang__)
#if defined(_M_X64)
    _mm_pause();
#endif
#elif defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

// a * b into *product; true when it overflowed (and *product is then unspecified).
inline bool mul_overflow(std::ptrdiff_t a, std::ptrdiff_t b, std::ptrdiff_t *product) noexcept
{
#if defined(_MSC_VER) && !defined(__clang__)
    constexpr std::ptrdiff_t k_max = std::numeric_limits<std::ptrdiff_t>::max();
    constexpr std::ptrdiff_t k_min = std::numeric_limits<std::ptrdiff_t>::min();
    if (a != 0 && b != 0) {
        const bool overflow = (a > 0) == (b > 0) ? (a > 0 ? a > k_max / b : a < k_max / b)
                                                 : (a > 0 ? b < k_min / a : a < k_min / b);
        if (overflow) {
            return true;
        }
    }
    *product = a * b;
    return false;
#else
    return __builtin_mul_overflow(a, b, product);
#endif
}

// The full product of two 64-bit integers: the low half returned, the high half in *high.
inline std::uint64_t mul_wide(std::uint64_t a, std::uint64_t b, std::uint64_t *high) noexcept
{
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
    return _umul128(a, b, high);
#elif defined(_MSC_VER) && !defined(__clang__)
    *high = __umulh(a, b);
    return a * b;
#else
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    *high = static_cast<std::uint64_t>(p >> 64);
    return static_cast<std::uint64_t>(p);
#endif
}

}  // namespace tavorin

#endif
