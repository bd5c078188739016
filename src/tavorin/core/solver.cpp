// The exact method over rows: each vector's operands picked out, solved, written; threads over
// vectors.
#include "core/solver.hpp"

#include "core/blocks.hpp"
#include "core/shift.hpp"

#include <cmath>
#include <limits>

namespace tavorin {

namespace {

// A vector this long gets the threads to itself when there are fewer
// vectors than threads.
constexpr std::ptrdiff_t k_split_min_n = 1 << 18;

template <class T>
const T *each_row(const Operand &o, std::ptrdiff_t i) noexcept
{
    return o.each ? reinterpret_cast<const T *>(o.each + i * o.each_stride) : nullptr;
}

bool run_parts(std::ptrdiff_t items, int parts, BlockWork fn, void *context) noexcept
{
    return run_in_blocks(items, parts, fn, context);
}

template <class T>
std::ptrdiff_t solve_typed(const Problem &p, std::ptrdiff_t begin, std::ptrdiff_t end,
                           int parts) noexcept
{
    const bool plain = passes::plain_forced();
    shift::Workspace ws;
    shift::Splitter splitter{parts, parts > 1 ? run_parts : nullptr};
    const bool weighted = p.w.vector.data != nullptr || p.w.each != nullptr;
    const bool short_rows = p.n <= passes::k_short && !p.l.each && !p.u.each && !p.w.each &&
                            p.y_stride % static_cast<std::ptrdiff_t>(sizeof(T)) == 0 &&
                            p.out_stride % static_cast<std::ptrdiff_t>(sizeof(T)) == 0;
    const passes::Table<T> &shorts = passes::table<T>(false, false, false, plain);
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        if (short_rows) {
            // Four vectors at a time through the short kernel; one it does
            // not settle goes the general way below.
            const int count = static_cast<int>(end - i < 4 ? end - i : 4);
            double l[4], u[4], h[4], tau[4];
            bool ok[4];
            for (int k = 0; k < count; ++k) {
                l[k] = p.l.vector[i + k];
                u[k] = p.u.vector[i + k];
                h[k] = weighted ? p.h[i + k] / p.w.vector[i + k] : p.h[i + k];
            }
            const T *y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
            T *out = reinterpret_cast<T *>(p.out + i * p.out_stride);
            constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
            shorts.short_shifts(y, p.y_stride / size, p.n, count, l, u, h, tau, ok, out,
                                p.out_stride / size);
            int k = 0;
            while (k < count && ok[k]) {
                ++k;
            }
            i += k;
            if (k == count) {
                --i;
                continue;
            }
        }
        shift::Vector<T> v;
        v.span.y = reinterpret_cast<const T *>(p.y + i * p.y_stride);
        v.span.n = p.n;
        v.span.l = each_row<T>(p.l, i);
        v.span.u = each_row<T>(p.u, i);
        v.span.w = each_row<T>(p.w, i);
        v.span.l_all = p.l.each ? 0.0 : p.l.vector[i];
        v.span.u_all = p.u.each ? 0.0 : p.u.vector[i];
        v.h = p.h[i];
        if (weighted && !p.w.each) {
            // One weight c for the whole vector: sum_j x_j = h / c with the
            // shift tau*c, so the plain passes serve (the shift is not returned).
            v.h = p.h[i] / p.w.vector[i];
        }
        T *out = reinterpret_cast<T *>(p.out + i * p.out_stride);
        // Writing ahead of the verification needs y intact after a miss.
        const bool apart = p.out != p.y;
        const shift::Found found =
            shift::solve_vector(v, plain, ws, splitter, apart ? out : nullptr);
        if (found.written && found.finite) {
            continue;
        }
        double tau = found.tau;
        if (!found.finite) {
            if (p.check_finite) {
                return i;
            }
            tau = std::numeric_limits<double>::quiet_NaN();
        }
        if (found.scaled && found.finite) {
            shift::write_scaled(v, ws, found, out);
        }
        else {
            shift::write_vector(v, tau, out, plain, splitter);
        }
    }
    return -1;
}

struct Job {
    const Problem *problem;
    int blocks;
    std::ptrdiff_t first[1 << 10];
};

void solve_block(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
{
    Job &job = *static_cast<Job *>(context);
    // run_in_blocks hands each block its own range; find which block this is
    // by its start, as run_in_blocks computes it.
    const std::ptrdiff_t m = job.problem->m;
    int k = 0;
    while (k + 1 < job.blocks && static_cast<std::ptrdiff_t>(static_cast<long double>(m) * (k + 1) /
                                                             job.blocks) <= begin) {
        ++k;
    }
    job.first[k] = solve_rows(*job.problem, begin, end, 1);
}

}  // namespace

std::ptrdiff_t solve_rows(const Problem &problem, std::ptrdiff_t begin, std::ptrdiff_t end,
                          int parts) noexcept
{
    return problem.single ? solve_typed<float>(problem, begin, end, parts)
                          : solve_typed<double>(problem, begin, end, parts);
}

std::ptrdiff_t solve(const Problem &problem, std::ptrdiff_t workers, bool &started) noexcept
{
    started = true;
    if (problem.m == 0 || problem.n == 0) {
        return -1;
    }
    if (problem.m < workers && problem.n >= k_split_min_n) {
        // Few long vectors: each one's passes split over the threads.
        const int parts = static_cast<int>(workers < 64 ? workers : 64);
        return solve_rows(problem, 0, problem.m, parts);
    }
    Job job;
    job.problem = &problem;
    job.blocks = block_count(problem.m, problem.n, workers < (1 << 10) ? workers : (1 << 10));
    for (int k = 0; k < job.blocks; ++k) {
        job.first[k] = -1;
    }
    started = run_in_blocks(problem.m, job.blocks, solve_block, &job);
    for (int k = 0; k < job.blocks; ++k) {
        if (job.first[k] >= 0) {
            return job.first[k];
        }
    }
    return -1;
}

}  // namespace tavorin
