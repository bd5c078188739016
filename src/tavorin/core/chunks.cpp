// A long span's passes chunk by chunk (chunks.hpp).
#include "core/chunks.hpp"

#include "core/signs.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tavorin::shift {

namespace {

std::ptrdiff_t region_of(std::ptrdiff_t chunk) noexcept
{
    return chunk * (k_chunk / 2 + 16);
}

// Runs f(begin, end) over `chunks` chunks, a chunk at a time on the
// splitter's threads, or on the calling thread when it has none.
template <class F>
void on_chunks(const Splitter &splitter, std::ptrdiff_t chunks, F &&f) noexcept
{
    if (splitter.splits() && chunks > 1) {
        splitter.team->run(chunks, 1, f);
    }
    else {
        f(std::ptrdiff_t{0}, chunks);
    }
}

// Chunks [begin, end)'s classes at tau (pieces: the span lies in the
// workspace's pieces, else in chunks of k_chunk); with `out`, each chunk's
// projection written there on the way (write_count: the counts at the
// bounds only).
template <class T>
void classify_chunks(const Span<T> &s, const Table<T> &passes, double tau, T *out, Classes *results,
                     const Workspace *pieces, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    for (std::ptrdiff_t k = begin; k < end; ++k) {
        const Span<T> chunk =
            pieces ? piece_of(s, *pieces, static_cast<std::size_t>(k)) : chunk_of(s, k, k_chunk);
        Classes &c = results[k];
        if (out) {
            passes.write_count(chunk, tau, out + k * k_chunk, c.upper, c.lower);
        }
        else {
            c = passes.classify(chunk, tau);
        }
    }
}

}  // namespace

// Room for the candidates of a vector of n elements.
std::ptrdiff_t candidate_room(std::ptrdiff_t n) noexcept
{
    return region_of((n + k_chunk - 1) / k_chunk);
}

// The classes of a span; one of two chunks or more (or a span in the
// workspace's pieces) is classified chunk by chunk (on the workspace's
// threads when it has them) and the chunks' sums added in order, so that
// the result is the same bytes however many threads ran it.
template <class T>
Classes classify_all(const Span<T> &s, const Table<T> &passes, double tau, Workspace &ws) noexcept
{
    const bool pieces = ws.pieces_used;
    const std::ptrdiff_t chunks =
        pieces ? static_cast<std::ptrdiff_t>(ws.piece_at.size()) : (s.n + k_chunk - 1) / k_chunk;
    if (!pieces) {
        if (chunks < 2) {
            return passes.classify(s, tau);
        }
        try {
            ws.classes.resize(static_cast<std::size_t>(chunks));
        }
        catch (...) {
            return passes.classify(s, tau);
        }
    }
    Classes *const results = ws.classes.data();
    const Workspace *const in = pieces ? &ws : nullptr;
    on_chunks(ws.split, chunks, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        classify_chunks(s, passes, tau, static_cast<T *>(nullptr), results, in, begin, end);
    });
    Classes all;
    Twofold wy, ww, bw;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        const Classes &c = ws.classes[static_cast<std::size_t>(k)];
        wy = wy + twofold(c.free_wy);
        ww = ww + twofold(c.free_ww);
        bw = bw + twofold(c.bound_w);
        all.upper += c.upper;
        all.lower += c.lower;
        all.finite = all.finite && c.finite;
    }
    all.free_wy = {wy.hi, wy.lo};
    all.free_ww = {ww.hi, ww.lo};
    all.bound_w = {bw.hi, bw.lo};
    return all;
}

// The filtering pass over every chunk; `pieces` tells whether the
// candidates were left in the workspace's pieces (else they are together
// at the start of `out`).
template <class T>
Filtered filter_all(const Span<T> &s, const Table<T> &passes, double lo, double hi, bool summing,
                    const Candidates &out, Workspace &ws, const Splitter &splitter,
                    bool &pieces) noexcept
{
    const std::ptrdiff_t chunks = (s.n + k_chunk - 1) / k_chunk;
    Filtered *const results = ws.chunks.data();
    // Threads put each chunk's candidates at the start of its own region,
    // moved together below; one thread puts them straight after the last
    // chunk's, with the same room after them (so the same fit).
    const bool packed = !splitter.splits();
    if (packed) {
        std::ptrdiff_t at = 0;
        for (std::ptrdiff_t k = 0; k < chunks; ++k) {
            Candidates region = out;
            region.capacity = at + (region_of(k + 1) - region_of(k));
            results[k] = passes.filter[summing](chunk_of(s, k, k_chunk), lo, hi, region, at);
            at += results[k].kept;
        }
    }
    else {
        on_chunks(splitter, chunks, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
            for (std::ptrdiff_t k = begin; k < end; ++k) {
                Candidates region = out;
                region.capacity = region_of(k + 1);
                results[k] =
                    passes.filter[summing](chunk_of(s, k, k_chunk), lo, hi, region, region_of(k));
            }
        });
    }
    // Many candidates stay where they are, as pieces (their rounds split
    // over the threads as they lie), wherever they were put: the same pieces
    // whatever the threads, so the same sums.
    std::ptrdiff_t total = 0;
    bool fitted = true;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        total += results[k].kept;
        fitted = fitted && results[k].fitted;
    }
    pieces = false;
    ws.piece_at.clear();
    ws.piece_n.clear();
    if (fitted && total >= 2 * k_chunk) {
        try {
            ws.piece_at.resize(static_cast<std::size_t>(chunks));
            ws.piece_n.resize(static_cast<std::size_t>(chunks));
            ws.classes.resize(static_cast<std::size_t>(chunks));
            std::ptrdiff_t at = 0;
            for (std::ptrdiff_t k = 0; k < chunks; ++k) {
                ws.piece_at[static_cast<std::size_t>(k)] = packed ? at : region_of(k);
                ws.piece_n[static_cast<std::size_t>(k)] = results[k].kept;
                at += results[k].kept;
            }
            pieces = true;
        }
        catch (...) {
            ws.piece_at.clear();
            ws.piece_n.clear();
        }
    }
    Filtered all;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        const Filtered &f = results[k];
        all.fitted = all.fitted && f.fitted;
        all.finite = all.finite && f.finite;
        all.fixed.upper += f.fixed.upper;
        all.fixed.lower += f.fixed.lower;
        all.fixed.free += f.fixed.free;
        all.magnitude += f.magnitude;
        all.free_magnitude += f.free_magnitude;
        all.free_least = std::fmin(all.free_least, f.free_least);
        const Twofold b = twofold(all.fixed.bound_w) + twofold(f.fixed.bound_w);
        all.fixed.bound_w = {b.hi, b.lo};
        const Twofold wy = twofold(all.fixed.free_wy) + twofold(f.fixed.free_wy);
        all.fixed.free_wy = {wy.hi, wy.lo};
        const Twofold ww = twofold(all.fixed.free_ww) + twofold(f.fixed.free_ww);
        all.fixed.free_ww = {ww.hi, ww.lo};
        if (!packed && !pieces && all.fitted && f.kept > 0 && region_of(k) != all.kept) {
            for (double *a : {out.y, out.l, out.u, out.w}) {
                if (a) {
                    std::memmove(a + all.kept, a + region_of(k),
                                 static_cast<std::size_t>(f.kept) * sizeof(double));
                }
            }
        }
        all.kept += f.kept;
    }
    return all;
}

// The write, with how many elements it put at u and at l; one of two chunks
// or more runs chunk by chunk on the workspace's threads when it has them.
template <class T>
void write_counted(const Span<T> &s, const Table<T> &passes, double tau, T *out, Workspace &ws,
                   std::int64_t &upper, std::int64_t &lower) noexcept
{
    const std::ptrdiff_t chunks = (s.n + k_chunk - 1) / k_chunk;
    if (chunks < 2 || !ws.split.splits()) {
        passes.write_count(s, tau, out, upper, lower);
        return;
    }
    try {
        ws.classes.resize(static_cast<std::size_t>(chunks));
    }
    catch (...) {
        passes.write_count(s, tau, out, upper, lower);
        return;
    }
    Classes *const results = ws.classes.data();
    on_chunks(ws.split, chunks, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        classify_chunks(s, passes, tau, out, results, static_cast<const Workspace *>(nullptr),
                        begin, end);
    });
    upper = 0;
    lower = 0;
    for (std::ptrdiff_t k = 0; k < chunks; ++k) {
        upper += ws.classes[static_cast<std::size_t>(k)].upper;
        lower += ws.classes[static_cast<std::size_t>(k)].lower;
    }
}

template <class T>
void write_vector(const Vector<T> &v, double tau, T *out, const Workspace &ws,
                  const Splitter &splitter) noexcept
{
    const Table<T> &passes = table_of(v.span, ws);
    const std::ptrdiff_t chunks = (v.span.n + k_chunk - 1) / k_chunk;
    const Span<T> &s = v.span;
    on_chunks(splitter, chunks, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        Span<T> range = chunk_of(s, begin, k_chunk);
        range.n = std::min(s.n, end * k_chunk) - begin * k_chunk;
        passes.write(range, tau, out + begin * k_chunk);
        if (v.sign_bits) {
            signs::signed_by(v.sign_bits + begin * k_chunk / 8, out + begin * k_chunk, range.n);
        }
    });
}

namespace {

// b's sums and counts into all's.  The sums carry their rounding errors, so
// their order only moves the bound on those errors, never the shift settled
// from them.
void add_band(finish::Band &all, const finish::Band &b) noexcept
{
    all.changing += b.changing;
    all.upper += b.upper;
    all.lower += b.lower;
    all.free += b.free;
    all.a = all.a + b.a;
    all.s = all.s + b.s;
    all.a_magnitude += b.a_magnitude;
    all.s_magnitude += b.s_magnitude;
    all.a_least = std::fmin(all.a_least, b.a_least);
}

// The band of [lo, hi] over `count` parts of a span (part(k) the k-th, in
// order), on the splitter's threads when it has them.
template <class T, class Part>
finish::Band band_of_parts(const Table<T> &passes, std::ptrdiff_t count, const Part &part,
                           double lo, double hi, const Splitter &splitter) noexcept
{
    std::vector<finish::Band> parts;
    if (splitter.splits() && count > 1) {
        try {
            parts.resize(static_cast<std::size_t>(count));
        }
        catch (...) {
            parts.clear();
        }
    }
    if (parts.empty()) {
        finish::Band all = passes.band(part(0), lo, hi);
        for (std::ptrdiff_t k = 1; k < count; ++k) {
            add_band(all, passes.band(part(k), lo, hi));
        }
        return all;
    }
    finish::Band *const results = parts.data();
    on_chunks(splitter, count, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        for (std::ptrdiff_t k = begin; k < end; ++k) {
            results[k] = passes.band(part(k), lo, hi);
        }
    });
    finish::Band all = parts[0];
    for (std::size_t k = 1; k < parts.size(); ++k) {
        add_band(all, parts[k]);
    }
    return all;
}

// Whether the workspace's filtering pass is of this vector's elements and
// its band holds [lo, hi]: every element it did not keep then has one class
// over [lo, hi] (classes are monotone in the shift).
template <class T>
bool filtered_over(const Span<T> &s, const Filtering &f, double lo, double hi) noexcept
{
    return f.y == s.y && f.l == s.l && f.u == s.u && f.w == s.w && f.n == s.n &&
           f.l_all == s.l_all && f.u_all == s.u_all && f.lo <= lo && hi <= f.hi;
}

}  // namespace

template <class T>
finish::Band band_vector(const Vector<T> &v, double lo, double hi, const Workspace &ws,
                         const Splitter &splitter) noexcept
{
    if (ws.filtering.y && filtered_over(v.span, ws.filtering, lo, hi)) {
        // The candidates' band, and the other elements' classes and sums.
        const Filtering &f = ws.filtering;
        const Span<double> kept = kept_of(v.span, ws, f.filtered.kept);
        const Table<double> &passes = table_of(kept, ws);
        const auto piece = [&](std::ptrdiff_t k) noexcept {
            return piece_of(kept, ws, static_cast<std::size_t>(k));
        };
        const auto pieces = static_cast<std::ptrdiff_t>(ws.piece_at.size());
        finish::Band b = f.pieces ? band_of_parts(passes, pieces, piece, lo, hi, splitter)
                                  : passes.band(kept, lo, hi);
        const Classes &fixed = f.filtered.fixed;
        b.upper += fixed.upper;
        b.lower += fixed.lower;
        if (v.span.l || v.span.u || v.span.w) {
            b.a = b.a + twofold(fixed.bound_w);
            b.a_magnitude += f.filtered.magnitude;
        }
        if (fixed.free > 0) {
            // The elements the pass summed as free over its band (no weights).
            b.free += fixed.free;
            b.a = b.a + twofold(fixed.free_wy);
            b.a_magnitude += f.filtered.free_magnitude;
            b.a_least = std::fmin(b.a_least, f.filtered.free_least);
        }
        // The candidates' sums have at most 2 k_chunk terms (or go in pieces
        // of at most k_chunk), the pass's one chunk each; each part's bound is
        // by its own terms, and the parts' sums added as 4 * chunks more.
        const std::ptrdiff_t chunks = (v.span.n + k_chunk - 1) / k_chunk;
        const std::ptrdiff_t terms = 2 * k_chunk + 4 * chunks + 8;
        b.terms = terms < v.span.n ? terms : 0;
        return b;
    }
    const Table<T> &passes = table_of(v.span, ws);
    const std::ptrdiff_t chunks = (v.span.n + k_chunk - 1) / k_chunk;
    if (chunks < 2) {
        return passes.band(v.span, lo, hi);
    }
    // In chunks on one thread too: the bound on one sum's error grows as the
    // square of its terms, and over 10^7 free elements it would send most
    // vectors to the exact finish.  Each chunk's error is bounded with its
    // own k_chunk terms, and adding the chunks' sums (each two doubles, an
    // error free sum of the leading parts) as by 2 * chunks more.
    const auto chunk = [&](std::ptrdiff_t k) noexcept { return chunk_of(v.span, k, k_chunk); };
    finish::Band b = band_of_parts(passes, chunks, chunk, lo, hi, splitter);
    b.terms = k_chunk + 2 * chunks;
    return b;
}

template Classes classify_all<double>(const Span<double> &, const Table<double> &, double,
                                      Workspace &) noexcept;
template Classes classify_all<float>(const Span<float> &, const Table<float> &, double,
                                     Workspace &) noexcept;
template Filtered filter_all<double>(const Span<double> &, const Table<double> &, double, double,
                                     bool, const Candidates &, Workspace &, const Splitter &,
                                     bool &) noexcept;
template Filtered filter_all<float>(const Span<float> &, const Table<float> &, double, double, bool,
                                    const Candidates &, Workspace &, const Splitter &,
                                    bool &) noexcept;
template void write_counted<double>(const Span<double> &, const Table<double> &, double, double *,
                                    Workspace &, std::int64_t &, std::int64_t &) noexcept;
template void write_counted<float>(const Span<float> &, const Table<float> &, double, float *,
                                   Workspace &, std::int64_t &, std::int64_t &) noexcept;
template finish::Band band_vector<double>(const Vector<double> &, double, double, const Workspace &,
                                          const Splitter &) noexcept;
template finish::Band band_vector<float>(const Vector<float> &, double, double, const Workspace &,
                                         const Splitter &) noexcept;
template void write_vector<double>(const Vector<double> &, double, double *, const Workspace &,
                                   const Splitter &) noexcept;
template void write_vector<float>(const Vector<float> &, double, float *, const Workspace &,
                                  const Splitter &) noexcept;

}  // namespace tavorin::shift
