// A long span's passes chunk by chunk, on the splitter's threads or on the caller's:
// each chunk's sums kept apart and added in chunk order, so that the result is the
// same bytes however many threads ran them; and the small helpers the rounds share.
#ifndef TAVORIN_CORE_CHUNKS_HPP
#define TAVORIN_CORE_CHUNKS_HPP

#include "core/shift.hpp"
#include "core/twofold.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tavorin::shift {

using passes::Candidates;
using passes::Classes;
using passes::Filtered;
using passes::Span;
using passes::Table;

constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

// The filtering pass runs over chunks of k_chunk elements, each keeping its
// candidates in its own region and its sums apart; the regions are moved
// together and the sums added in chunk order, so the result is the same bytes
// whether the chunks ran on one thread or several.
using tuning::k_chunk;

template <class T>
const Table<T> &table_of(const Span<T> &s, const Workspace &ws) noexcept
{
    return passes::table<T>(s.l != nullptr, s.u != nullptr, s.w != nullptr, ws.plain);
}

inline Twofold twofold(passes::Sum s) noexcept
{
    return {s.hi, s.lo};
}

template <class T>
double bound_at(const T *each, double all, std::ptrdiff_t j) noexcept
{
    return each ? static_cast<double>(each[j]) : all;
}

// The n candidates a filtering pass of s left in the workspace, as a span
// of doubles with s's shared l and u.
template <class T>
Span<double> kept_of(const Span<T> &s, const Workspace &ws, std::ptrdiff_t n) noexcept
{
    Span<double> kept;
    kept.y = ws.y.data();
    kept.l = s.l ? ws.l.data() : nullptr;
    kept.u = s.u ? ws.u.data() : nullptr;
    kept.w = s.w ? ws.w.data() : nullptr;
    kept.l_all = s.l_all;
    kept.u_all = s.u_all;
    kept.n = n;
    return kept;
}

// Piece k of a span whose elements lie in the workspace's pieces.
template <class T>
Span<T> piece_of(const Span<T> &s, const Workspace &ws, std::size_t k) noexcept
{
    const std::ptrdiff_t a = ws.piece_at[k];
    Span<T> p = s;
    p.y += a;
    p.l = s.l ? s.l + a : nullptr;
    p.u = s.u ? s.u + a : nullptr;
    p.w = s.w ? s.w + a : nullptr;
    p.n = ws.piece_n[k];
    return p;
}

template <class T>
Span<T> chunk_of(const Span<T> &s, std::ptrdiff_t chunk, std::ptrdiff_t size) noexcept
{
    const std::ptrdiff_t a = chunk * size;
    const std::ptrdiff_t b = std::min(s.n, a + size);
    Span<T> p = s;
    p.y += a;
    p.l = s.l ? s.l + a : nullptr;
    p.u = s.u ? s.u + a : nullptr;
    p.w = s.w ? s.w + a : nullptr;
    p.n = b - a;
    return p;
}

// Room for the candidates of a vector of n elements.
std::ptrdiff_t candidate_room(std::ptrdiff_t n) noexcept;

// The classes of a span; one of two chunks or more (or a span in the
// workspace's pieces) is classified chunk by chunk (on the workspace's
// threads when it has them) and the chunks' sums added in order, so that
// the result is the same bytes however many threads ran it.
template <class T>
Classes classify_all(const Span<T> &s, const Table<T> &passes, double tau, Workspace &ws) noexcept;

// The write, with how many elements it put at u and at l; one of two chunks
// or more runs chunk by chunk on the workspace's threads when it has them.
template <class T>
void write_counted(const Span<T> &s, const Table<T> &passes, double tau, T *out, Workspace &ws,
                   std::int64_t &upper, std::int64_t &lower) noexcept;

// The filtering pass over every chunk; `pieces` tells whether the
// candidates were left in the workspace's pieces (else they are together
// at the start of `out`).
template <class T>
Filtered filter_all(const Span<T> &s, const Table<T> &passes, double lo, double hi, bool summing,
                    const Candidates &out, Workspace &ws, const Splitter &splitter,
                    bool &pieces) noexcept;

}  // namespace tavorin::shift

#endif
