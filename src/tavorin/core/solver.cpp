// The exact method over rows: each vector's operands picked out, solved, written; threads over
// vectors.
#include "core/solver.hpp"

#include "core/ball.hpp"
#include "core/blocks.hpp"
#include "core/finish.hpp"
#include "core/one_sided.hpp"
#include "core/shift.hpp"
#include "core/signs.hpp"
#include "core/tuning.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

namespace tavorin {

namespace {

using tuning::k_min_elements_per_take;
using tuning::k_side_stream_min_n;
using tuning::k_split_min_n;
using tuning::k_stream_min_bytes;

// Threads take whole chunks of vectors solved side by side, within which
// the rounds start warm (a chunk's first call starts cold, from the
// hyperplane's shift): k_warm_calls_min to k_warm_calls_max calls of
// passes::k_side_rows vectors, a k_warm_share-th of the batch's calls, so
// that a batch of 1024 or more has 16 chunks or more to share out.  The size
// depends on the batch alone, never on the threads, so neither does any result.
std::ptrdiff_t warm_rows(std::ptrdiff_t m) noexcept
{
    constexpr std::ptrdiff_t rows = passes::k_side_rows;
    const std::ptrdiff_t calls = m / (tuning::k_warm_share * rows);
    return rows * (calls < tuning::k_warm_calls_min   ? tuning::k_warm_calls_min
                   : calls > tuning::k_warm_calls_max ? tuning::k_warm_calls_max
                                                      : calls);
}

// Vectors solved one at a time start their rounds from the last one's
// shift when both are in one chunk of a k_warm_share-th of the batch, 1 to
// k_warm_vectors_max (so that a small batch still shares out over threads),
// the first of a chunk from a sample of itself.  Vectors sampled and
// filtered take no start: one at a time.
std::ptrdiff_t chunk_rows(const Problem &p) noexcept
{
    if (p.n <= passes::k_side_max_n) {
        return warm_rows(p.m);
    }
    if (p.n >= shift::k_filter_min_n) {
        return 1;
    }
    const std::ptrdiff_t rows = p.m / tuning::k_warm_share;
    return rows < 1 ? 1 : rows > tuning::k_warm_vectors_max ? tuning::k_warm_vectors_max : rows;
}

// Warm starts of one kind (shifts, or offsets from the hyperplane's
// shift): the last call's mean, and how far each call's values strayed
// from their mean, summed over the first calls of the chunk.
struct Starts {
    double mean = std::numeric_limits<double>::quiet_NaN();
    double squares = 0.0;

    // One call's values (ok[k] false past the call's vectors), and whether
    // to add their spread.
    void add(const double (&values)[passes::k_side_rows], const bool (&ok)[passes::k_side_rows],
             bool spread) noexcept
    {
        double sum = 0.0;
        double settled = 0.0;
        for (int k = 0; k < passes::k_side_rows; ++k) {
            sum += ok[k] ? values[k] : 0.0;
            settled += ok[k] ? 1.0 : 0.0;
        }
        mean = settled > 0 ? sum / settled : std::numeric_limits<double>::quiet_NaN();
        for (int k = 0; k < passes::k_side_rows && spread; ++k) {
            const double d = ok[k] ? values[k] - mean : 0.0;
            squares += d * d;
        }
    }
};

// Whether the call's writes go past the caches (passes::Span::stream).
template <class T>
bool streams(const Problem &p) noexcept
{
    return p.out != p.y && p.m * p.n * static_cast<std::ptrdiff_t>(sizeof(T)) >= k_stream_min_bytes;
}

template <class T>
const T *each_row(const Operand &o, std::ptrdiff_t i) noexcept
{
    return o.each ? reinterpret_cast<const T *>(o.each + i * o.each_stride) : nullptr;
}

// One vector by the general path (shift.cpp): false when check_finite
// found a NaN or an infinity in it.  `start` is where its rounds start (NaN:
// from a sample), and on return the shift found, for the next vector's start
// (NaN where it is no shift of the vector's own: solved on a scaled copy, or
// not finite).
template <class T>
bool solve_one(const Problem &p, std::ptrdiff_t i, shift::Workspace &ws,
               const shift::Splitter &splitter, double &start) noexcept
{
    const double from = start;
    start = std::numeric_limits<double>::quiet_NaN();
    shift::Vector<T> v;
    v.span.y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
    v.span.n = p.n;
    v.span.l = each_row<T>(p.l, i);
    v.span.u = each_row<T>(p.u, i);
    v.span.w = each_row<T>(p.w, i);
    v.span.stream = streams<T>(p);
    // Its shift is settled below from exact sums: the rounds' need not be.
    v.span.exact_bounds = false;
    v.span.l_all = p.l.each ? 0.0 : p.l.vector[i];
    v.span.u_all = p.u.each ? 0.0 : p.u.vector[i];
    v.h = p.h[i];
    v.sign_bits = p.sign_bits;
    T *out = reinterpret_cast<T *>(p.out + i * p.out_stride);
    // The scaled copy's write gives no signs: they follow it.
    const auto write_scaled = [&](const shift::Found &found) noexcept {
        shift::write_scaled(v, ws, found, out);
        if (v.sign_bits) {
            signs::signed_by(v.sign_bits, out, v.span.n);
        }
    };
    if (p.w.vector.data && !p.w.each) {
        // One weight c for the whole vector: sum_j x_j = h / c with the
        // shift tau*c, so the plain passes serve (the shift is not returned),
        // unless h / c is beyond the doubles while h is not.
        const double c = p.w.vector[i];
        v.h = p.h[i] / c;
        if (!std::isfinite(v.h) && std::isfinite(p.h[i])) {
            const passes::Table<T> &pass = passes::table<T>(false, false, false, ws.plain);
            if (p.check_finite && !pass.finite(v.span.y, v.span.n)) {
                return false;
            }
            v.h = p.h[i];
            const shift::Found found = shift::solve_weighted(v, c, ws);
            if (found.scaled) {
                write_scaled(found);
            }
            else {
                // No room for the copy: some result, as for non-finite y unchecked.
                shift::write_vector(v, found.tau, out, ws, splitter);
            }
            return true;
        }
    }
    // Writing ahead of the verification needs y intact after a miss (and
    // gives no signs).
    const bool apart = p.out != p.y && !v.sign_bits;
    const shift::Found found = shift::solve_vector(v, ws, splitter, apart ? out : nullptr, from);
    if (found.scaled && !std::isnan(from)) {
        // Rounds from a warm start that went to the scaled copy (some sum on
        // their way overflowed, which depends on where they started): the
        // vector's own start chooses between the two paths, as for the vector
        // alone.
        double cold = std::numeric_limits<double>::quiet_NaN();
        const bool done = solve_one<T>(p, i, ws, splitter, cold);
        start = cold;
        return done;
    }
    if (!found.finite) {
        if (p.check_finite) {
            return false;
        }
        shift::write_vector(v, std::numeric_limits<double>::quiet_NaN(), out, ws, splitter);
        return true;
    }
    // The rounds' shift settled by the one rule; a scaled copy's verified
    // shift stands (its sums are beyond the doubles).
    if (found.scaled && found.verified) {
        write_scaled(found);
        return true;
    }
    const finish::Elements<T> elements{
        v.span.y, 1, v.span.l, v.span.u, v.span.w, v.span.l_all, v.span.u_all, v.span.n};
    finish::Settled settled;
    if (found.scaled) {
        settled = finish::settle(elements, v.h, std::numeric_limits<double>::quiet_NaN());
    }
    else {
        const double scale =
            v.span.l || v.span.u ? 0.0 : finish::band_scale(v.span.l_all, v.span.u_all);
        const finish::Band band = shift::band_vector(
            v, finish::band_lo(found.tau, scale), finish::band_hi(found.tau, scale), ws, splitter);
        settled = finish::settle(elements, v.h, found.tau, &band);
    }
    if (!settled.ok) {
        // Beyond the exact finish's doubles too: the rounds' last shift.
        if (found.scaled) {
            write_scaled(found);
        }
        else if (!found.written) {
            shift::write_vector(v, found.tau, out, ws, splitter);
        }
        return true;
    }
    start = settled.tau;
    if (!found.written || found.scaled || settled.tau != found.tau) {
        shift::write_vector(v, settled.tau, out, ws, splitter);
    }
    return true;
}

template <class T>
std::ptrdiff_t solve_typed(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t end,
                           Team *team) noexcept
{
    shift::Workspace ws;
    ws.plain = passes::plain_forced();
    const shift::Splitter splitter{team};
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    bool side = p.n <= passes::k_side_max_n && !p.l.each && !p.u.each && !p.w.each &&
                p.y_stride % size == 0 && p.out_stride % size == 0;
    // Left uninitialised: the copy writes it before the rounds read it (one
    // vector of 1000 to 2048 elements 10 to 17% faster than with a zero fill).
    std::unique_ptr<double[]> scratch;
    if (side) {
        scratch.reset(
            new (std::nothrow) double[static_cast<std::size_t>(passes::side_scratch(p.n))]);
        side = scratch != nullptr;  // else the general path, which needs no more than the vector
    }
    const passes::Table<T> &sides = passes::table<T>(false, false, false, ws.plain);
    // Each call's vectors start their rounds from the call's before, when
    // both are in one chunk of warm_rows (vectors of a batch are often
    // alike): from their own hyperplane's shift plus its mean offset from
    // that, unless the offsets have varied more than twice as much as the
    // shifts themselves in the chunk's first calls, then from its mean shift
    // (the offset follows vectors alike up to their mean; the shift itself
    // those whose shift their largest elements decide, as for top-k).  A
    // start that does not depend on how the rows were split over threads,
    // which split at chunk boundaries.
    constexpr int rows = passes::k_side_rows;
    const std::ptrdiff_t chunk = chunk_rows(p);
    Starts shifts;
    Starts offsets;
    // From k_side_grid_max_n elements on, the copy also probes r at the
    // last call's mean shift, and the rounds start from Newton's step from
    // there with the last call's mean slope (how many elements were free).
    const bool probing = p.n >= passes::k_side_grid_max_n;
    const bool streaming = streams<T>(p) && p.n >= k_side_stream_min_n;
    Starts frees;
    // Vectors one at a time: the last one's shift, and what the chunk's
    // first took (element visits); a warm start costing a pass more than
    // that is not worth it for the rest of the chunk (vectors not alike).
    // Only vectors with one l, u and weight each: for the others no step onto
    // a flat piece (rounds.cpp, onto_flat_piece) keeps their bytes from
    // depending on the start.
    const bool alike = !p.l.each && !p.u.each && !p.w.each;
    double last = std::numeric_limits<double>::quiet_NaN();
    std::int64_t cold = 0;
    bool warming = false;
    std::ptrdiff_t clipped_at = -1;    // one-sided: the vector found clipped after a run
    std::ptrdiff_t unclipped_at = -1;  // and found not to be after a run of clipped ones
    // One-sided: the last vector (or call's vectors) went the equality's way,
    // so the next is taken as the same, its clip not written ahead (the
    // range's first vector as a sample of its elements suggests).
    bool active = false;
    // What every call of vectors side by side shares; each sets its rows.
    double l[rows], u[rows], h[rows], start[rows], tau[rows], probe[rows], slope[rows];
    bool ok[rows];
    int clipped[rows / 4] = {};
    passes::Side<T> call;
    call.stride = p.y_stride / size;
    call.n = p.n;
    call.l = l;
    call.u = u;
    call.h = h;
    call.start = start;
    call.probe = probing ? probe : nullptr;
    call.slope = probing ? slope : nullptr;
    call.tau = tau;
    call.ok = ok;
    call.clipped = clipped;
    call.out_stride = p.out_stride / size;
    call.stream = streaming;
    call.scratch = scratch.get();
    // One-sided: the last block of four vectors decided together, for the next run.
    one_sided::Decisions decisions;
    decisions.limit = end;
    std::ptrdiff_t i = begin;
    while (i < end) {
        if (!side) {
            // One-sided: a vector taken as not clipped takes the equality's
            // solve first where it may, and its shift decides it (a pass
            // over the vector less); the others are decided first.
            bool undecided = false;
            if (p.sense != 0) {
                if (i == begin) {
                    active = !one_sided::likely_clipped<T>(p, i);
                }
                undecided = active && one_sided::equality_first<T>(p, i);
                const bool clipped = !undecided && one_sided::clip_satisfies<T>(p, i, !active);
                active = !clipped;
                if (clipped) {
                    ++i;
                    continue;
                }
            }
            if (i % chunk == 0) {
                last = std::numeric_limits<double>::quiet_NaN();
                warming = alike;
            }
            double start = warming ? last : std::numeric_limits<double>::quiet_NaN();
            const bool warm = !std::isnan(start);
            const std::int64_t before = ws.visits;
            if (!solve_one<T>(p, i, ws, splitter, start)) {
                return i;
            }
            if (undecided && !one_sided::equality_stands(p, start) &&
                one_sided::clip_satisfies<T>(p, i, false)) {
                active = false;  // its clip, written over the equality's result
            }
            const std::int64_t visits = ws.visits - before;
            if (!warm) {
                cold = visits;
            }
            else if (visits > cold + p.n) {
                warming = false;
            }
            last = start;
            ++i;
            continue;
        }
        // Several vectors at a time side by side; one it leaves goes the general way.
        int count = static_cast<int>(end - i < rows ? end - i : rows);
        if (p.sense != 0) {
            // One-sided: a vector its clip satisfies is done; a run of the
            // others goes side by side (the run's starts do not change its
            // results, only how soon they come).
            if (i == clipped_at) {
                ++i;
                continue;
            }
            if (i != unclipped_at && !active) {
                const std::ptrdiff_t clipped =
                    one_sided::clipped_run<T>(p, i, end, true, &decisions);
                if (clipped > 0) {
                    i += clipped;
                    unclipped_at = i;  // the vector the run stopped at, if any
                    continue;
                }
            }
            // Vector i is known not clipped, unless taken as such after a call
            // of vectors none of which was.
            const int known = i == unclipped_at || !active ? 1 : 0;
            // Without weights (the kernel's sums are those of one weight) the
            // next vectors go side by side as they come, and the kernel tells
            // each one's clip from its copy (Side::sense): calls of eight
            // where the clipped and the others alternate, not runs of a few.
            const bool telling = !p.w.vector.data;
            call.sense = telling ? p.sense : 0;
            const int run = telling ? count
                                    : known + static_cast<int>(one_sided::clipped_run<T>(
                                                  p, i + known, i + count, false, &decisions));
            if (run == 0) {
                active = false;  // its clip satisfies it, and is written
                ++i;
                continue;
            }
            clipped_at = run < count ? i + run : -1;
            active = run == count;
            count = run;
        }
        const bool warmed = i % chunk != 0 && i - rows >= begin;
        for (int k = 0; k < rows; ++k) {
            const std::ptrdiff_t r = i + (k < count ? k : 0);
            l[k] = p.l.vector[r];
            u[k] = p.u.vector[r];
            h[k] = p.w.vector.data ? p.h[r] / p.w.vector[r] : p.h[r];
        }
        if (i % chunk == 0) {
            shifts = Starts{};
            offsets = Starts{};
            frees = Starts{};
        }
        const bool relative = offsets.squares <= 2 * shifts.squares;
        for (double &s : start) {
            s = !warmed    ? std::numeric_limits<double>::quiet_NaN()
                : relative ? offsets.mean
                           : shifts.mean;
        }
        const T *y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
        T *out = reinterpret_cast<T *>(p.out + i * p.out_stride);
        // The next call's rows, fetched ahead when it has as many.
        const T *next = i + count + rows <= end ? y + rows * (p.y_stride / size) : nullptr;
        for (int k = 0; k < rows && probing; ++k) {
            probe[k] = warmed ? shifts.mean : std::numeric_limits<double>::quiet_NaN();
            slope[k] = frees.mean;
        }
        call.y = y;
        call.count = count;
        call.relative = relative;
        call.out = out;
        call.next = next;
        sides.side_by_side(call);
        if (probing) {
            frees.add(slope, ok, false);
        }
        // Two calls judge the chunk's kind of start (measured: keeping
        // the spreads of every call cost short vectors 2 to 3%).
        const bool judging = i % chunk < 2 * rows;
        shifts.add(tau, ok, judging);
        offsets.add(start, ok, judging);
        if (call.sense != 0 && one_sided::clips_of_unsettled<T>(p, i, count, ok, clipped) > 0) {
            active = false;  // the next go as after a clipped one
        }
        for (int k = 0; k < count; ++k) {
            double start = std::numeric_limits<double>::quiet_NaN();
            if (!ok[k] && !solve_one<T>(p, i + k, ws, splitter, start)) {
                return i + k;
            }
        }
        i += count;
    }
    return -1;
}

}  // namespace

std::ptrdiff_t solve_rows(const Problem &problem, std::ptrdiff_t begin, std::ptrdiff_t end,
                          Team *team) noexcept
{
    if (problem.signs) {
        return ball::solve_rows(problem, begin, end, team, chunk_rows(problem));
    }
    return problem.single ? solve_typed<float>(problem, begin, end, team)
                          : solve_typed<double>(problem, begin, end, team);
}

namespace {

// Few long vectors: each one's passes are split over the threads.
bool splits_vectors(const Problem &problem, std::ptrdiff_t threads) noexcept
{
    return problem.m < threads && problem.n >= k_split_min_n;
}

}  // namespace

int solve_threads(const Problem &problem, std::ptrdiff_t workers) noexcept
{
    if (problem.m == 0 || problem.n == 0) {
        return 1;
    }
    if (splits_vectors(problem, workers)) {
        return static_cast<int>(workers < 64 ? workers : 64);
    }
    // Vectors go to threads in whole chunks, no more threads than chunks.
    const std::ptrdiff_t rows = chunk_rows(problem);
    const std::ptrdiff_t chunks = (problem.m + rows - 1) / rows;
    const int threads =
        block_count(problem.m, problem.n, workers < (1 << 10) ? workers : (1 << 10));
    return static_cast<int>(threads < chunks ? threads : chunks);
}

std::ptrdiff_t solve(const Problem &problem, Team &team) noexcept
{
    if (problem.m == 0 || problem.n == 0) {
        return -1;
    }
    if (splits_vectors(problem, team.size())) {
        return solve_rows(problem, 0, problem.m, &team);
    }
    // Vectors go to threads in whole chunks, within which their rounds start warm.
    const std::ptrdiff_t rows = chunk_rows(problem);
    const std::ptrdiff_t chunks = (problem.m + rows - 1) / rows;
    // Ranges of chunks worth taking, four a thread or more where there are as many chunks.
    const std::ptrdiff_t per_chunk = rows * problem.n;
    const std::ptrdiff_t worth = (k_min_elements_per_take + per_chunk - 1) / per_chunk;
    const std::ptrdiff_t shared = chunks / (4 * team.size());
    const std::ptrdiff_t grain = worth < shared ? worth : shared;
    std::atomic<std::ptrdiff_t> lowest{-1};
    team.run(chunks, grain > 1 ? grain : 1, [&](std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
        const std::ptrdiff_t m = problem.m;
        const std::ptrdiff_t first =
            solve_rows(problem, begin * rows, end * rows < m ? end * rows : m);
        // The lowest vector any chunk reported: every chunk before it was taken
        // (chunks are taken in order) and ran to its end or to a lower one.
        std::ptrdiff_t seen = lowest.load(std::memory_order_relaxed);
        while (first >= 0 && (seen < 0 || first < seen) &&
               !lowest.compare_exchange_weak(seen, first, std::memory_order_relaxed)) {
        }
    });
    return lowest.load(std::memory_order_relaxed);
}

// The problem's vectors [begin, begin + count) as a problem of their own.
Problem rows_of(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t count) noexcept
{
    const auto shifted = [begin](RowValues v) {
        return v.data ? RowValues{v.data + begin * v.stride, v.stride} : v;
    };
    Problem part = p;
    part.y += begin * p.y_stride;
    part.out += begin * p.out_stride;
    part.m = count;
    part.h = shifted(p.h);
    for (Operand *o : {&part.l, &part.u, &part.w}) {
        o->vector = shifted(o->vector);
        if (o->each) {
            o->each += begin * o->each_stride;
        }
    }
    return part;
}

std::ptrdiff_t solve(const Problem &problem, std::ptrdiff_t workers, bool &started) noexcept
{
    Team team(solve_threads(problem, workers));
    started = team.started();
    return started ? solve(problem, team) : -1;
}

}  // namespace tavorin
