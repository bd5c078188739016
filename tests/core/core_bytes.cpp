// The bytes the core gives for the cases read from stdin, for comparing builds and architectures.
//
// ./dev builds this program three times: natively (the AVX2 paths where the
// processor has them), with TAVORIN_NO_AVX2 (the plain lanes of simd.hpp) and
// for aarch64 (run under qemu), feeds each the same cases and requires the
// same output, byte for byte.  Each case is, little-endian, an int64 n, the
// doubles x, h, l, u and the n doubles of a row (tests/core/cases.py writes
// the suite's rows).  For each case a line holds, as hexadecimal bit patterns:
// the residual at x, every four-lane operation over the row's first doubles,
// and the row projected with a fixed bisection in place of SciPy's brentq, then
// by the exact solver (from the original row, its passes on the lanes; also
// with weights and per-element bounds).
#include "core/projection.hpp"
#include "core/shift.hpp"
#include "core/solver.hpp"
#include "core/simd.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void put_bits(double x);

// The exact method's projection of one vector.
void put_exact(const tavorin::shift::Vector<double> &v)
{
    tavorin::shift::Workspace ws;
    std::vector<double> exact(static_cast<std::size_t>(v.span.n));
    const tavorin::shift::Found found =
        tavorin::shift::solve_vector(v, ws, tavorin::shift::Splitter{});
    if (found.scaled) {
        tavorin::shift::write_scaled(v, ws, found, exact.data());
    }
    else {
        tavorin::shift::write_vector(v, found.tau, exact.data(), ws, tavorin::shift::Splitter{});
    }
    for (const double e : exact) {
        put_bits(e);
    }
}

using tavorin::simd::F64x4;
using tavorin::simd::Mask4;

// Enough lanes for every operation on the row's leading groups, without
// making the long rows' lines much longer.
constexpr std::size_t k_lane_doubles = 64;
// The bisection's step count: enough for it to reach the last bit of a shift.
constexpr int k_bisection_steps = 80;

void put_bits(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (value != value) {
        // The sign of a NaN that an operation makes (inf - inf, 0 * inf) is
        // the processor's choice: set on x86, clear on Arm.  Its payload is not.
        bits &= ~(std::uint64_t(1) << 63);
    }
    std::printf(" %016" PRIx64, bits);
}

TAVORIN_SIMD_KERNEL void put_lanes(const F64x4 &a)
{
    double lanes[4];
    tavorin::simd::store(lanes, a);
    for (const double lane : lanes) {
        put_bits(lane);
    }
}

// Every operation of simd.hpp on the groups a = y[i..i+4), b = y[i+4..i+8).
TAVORIN_SIMD_KERNEL void put_operations(const double *y, std::size_t n)
{
    namespace simd = tavorin::simd;
    for (std::size_t i = 0; i + 8 <= n && i + 8 <= k_lane_doubles; i += 4) {
        const F64x4 a = simd::load(y + i);
        const F64x4 b = simd::load(y + i + 4);
        put_lanes(a + b);
        put_lanes(a - b);
        put_lanes(a * b);
        put_lanes(a / b);
        put_lanes(simd::min(a, b));
        put_lanes(simd::max(a, b));
        const Mask4 masks[] = {simd::lt(a, b), simd::le(a, b), simd::eq(a, b), simd::ne(a, b)};
        tavorin::simd::I64x4 counts = simd::zero_counts();
        for (const Mask4 m : masks) {
            std::printf(" %x", simd::bits(m));
            put_lanes(simd::select(m, a, b));
            put_lanes(simd::keep(m, a));
            counts = simd::count(counts, m);
        }
        const Mask4 both = simd::lt(a, b) & simd::ne(a, b);
        const Mask4 either = simd::lt(a, b) | simd::eq(a, b);
        const Mask4 only = simd::andnot(simd::le(a, b), simd::ne(a, b));
        std::printf(" %x %x %x", simd::bits(both), simd::bits(either), simd::bits(only));
        std::int64_t counted[4];
        simd::store(counted, counts);
        for (const std::int64_t c : counted) {
            std::printf(" %" PRId64, c);
        }
        for (int set = 0; set < 16; ++set) {
            put_lanes(simd::compress(a, set));
            std::printf(" %d", simd::lane_count(set));
        }
        float narrow[4];
        simd::store(narrow, a);
        put_lanes(simd::load(narrow));
    }
}

// A bisection with a fixed number of steps: plain arithmetic, so that every
// build asks the residual for the same shifts as long as it answers the same.
double bisect(tavorin::callback_type f, double xa, double xb, void *args, double, double, int,
              tavorin::zeros_full_output *)
{
    const double fa = f(xa, args);
    for (int step = 0; step < k_bisection_steps; ++step) {
        const double xm = 0.5 * (xa + xb);
        if ((f(xm, args) < 0.0) == (fa < 0.0)) {
            xa = xm;
        }
        else {
            xb = xm;
        }
    }
    return 0.5 * (xa + xb);
}

bool read_case(std::int64_t *n, double scalars[4], std::vector<double> &row)
{
    if (std::fread(n, sizeof *n, 1, stdin) != 1) {
        return false;
    }
    row.resize(static_cast<std::size_t>(*n));
    return std::fread(scalars, sizeof(double), 4, stdin) == 4 &&
           std::fread(row.data(), sizeof(double), row.size(), stdin) == row.size();
}

}  // namespace

int main()
{
    if (!tavorin::simd::available()) {
        std::fprintf(stderr, "this processor lacks the four-lane instructions the build uses\n");
        return 2;
    }
    std::int64_t n;
    double scalars[4];
    std::vector<double> row;
    while (read_case(&n, scalars, row)) {
        const double x = scalars[0];
        tavorin::params p = {static_cast<std::ptrdiff_t>(n), scalars[1], scalars[2], scalars[3],
                             row.data()};
        put_bits(tavorin::f(x, &p));
        put_operations(row.data(), row.size());
        if (n > 0) {
            // The exact method on the row as read (any h: an infeasible one
            // must give the same bytes too).
            tavorin::shift::Vector<double> v;
            v.span.y = row.data();
            v.span.n = p.n;
            v.span.l_all = p.l;
            v.span.u_all = p.u;
            v.h = p.h;
            put_exact(v);
            // Again with weights from 2^-6 to 2^7 (the weighted passes), then
            // with per-element bounds too, all made by exact arithmetic.
            std::vector<double> w(row.size()), l(row.size()), u(row.size());
            for (std::size_t j = 0; j < row.size(); ++j) {
                w[j] = (1.0 + static_cast<double>(j % 7) / 8) *
                       static_cast<double>(std::int64_t{1} << (j * 5 % 13)) / 64;
                l[j] = p.l - static_cast<double>(j % 3) / 4;
                u[j] = p.u + static_cast<double>(j % 2) / 2;
            }
            v.span.w = w.data();
            put_exact(v);
            v.span.l = l.data();
            v.span.u = u.data();
            put_exact(v);
            // The batch solver (vectors with shared bounds side by side in
            // lanes) on nine rotations of the row.
            const std::ptrdiff_t m = 9;
            std::vector<double> rows(static_cast<std::size_t>(m * p.n)), batch(rows.size());
            for (std::ptrdiff_t r = 0; r < m; ++r) {
                for (std::ptrdiff_t j = 0; j < p.n; ++j) {
                    rows[static_cast<std::size_t>(r * p.n + j)] =
                        row[static_cast<std::size_t>((j + r) % p.n)];
                }
            }
            tavorin::Problem problem;
            problem.y = reinterpret_cast<const char *>(rows.data());
            problem.out = reinterpret_cast<char *>(batch.data());
            problem.m = m;
            problem.n = p.n;
            problem.y_stride = problem.out_stride =
                p.n * static_cast<std::ptrdiff_t>(sizeof(double));
            problem.h = {&p.h, 0};
            problem.l.vector = {&p.l, 0};
            problem.u.vector = {&p.u, 0};
            put_bits(static_cast<double>(tavorin::solve_rows(problem, 0, m)));
            for (const double e : batch) {
                put_bits(e);
            }
            double xa;
            double xb;
            tavorin::row_bracket(row.data(), p.n, p.l, p.u, &xa, &xb);
            tavorin::project_row(bisect, p, xa, xb, 0.0, 0.0, 0);
            for (const double v : row) {
                put_bits(v);
            }
        }
        std::printf("\n");
    }
    return std::ferror(stdin) ? 1 : 0;
}
