// Which vectors have an empty or ill-defined set, and which hold a NaN or an infinity.
#include "core/feasibility.hpp"

#include "core/passes.hpp"
#include "core/twofold.hpp"

#include <cmath>
#include <limits>

namespace tavorin {

namespace {

constexpr double k_inf = std::numeric_limits<double>::infinity();
constexpr double k_eps = std::numeric_limits<double>::epsilon();
// Products are summed at 2^-600 of their size: no sum of 2^62 of them
// overflows, and the terms that underflow there are far below the tolerance.
constexpr int k_down = 600;

// The sum of w_j b_j over a vector, compensated and scaled down; infinite
// when some b_j is infinite (with that sign); `size` gets sum |w_j b_j|.
struct Scaled {
    Twofold sum;
    double size = 0.0;
    bool infinite = false;
};

void add(Scaled &s, double w, double b, double times = 1.0) noexcept
{
    if (std::isinf(b)) {
        s.infinite = true;
        return;
    }
    // Each product with its rounding error, as the solver sums them: the
    // sum is then exact far below the slack, which alone decides.
    double t;
    double e;
    two_product(std::ldexp(w, -k_down / 2), std::ldexp(b, -k_down / 2), t, e);
    if (times != 1.0) {
        double f;
        e *= times;
        two_product(t, times, t, f);
        e += f;
    }
    s.sum = s.sum + t;
    s.sum.lo += e;
    s.size += std::fabs(t);
}

template <class T>
double value(const Operand &o, std::ptrdiff_t i, std::ptrdiff_t j) noexcept
{
    if (o.each) {
        return static_cast<double>(reinterpret_cast<const T *>(o.each + i * o.each_stride)[j]);
    }
    return o.vector[i];
}

template <class T>
bool feasible(const Problem &p, std::ptrdiff_t i) noexcept
{
    const double h = p.h[i];
    if (!std::isfinite(h)) {
        return false;
    }
    const bool weighted = p.w.vector.data != nullptr || p.w.each != nullptr;
    Scaled low;
    Scaled high;
    if (!p.l.each && !p.u.each && !p.w.each) {
        // The same terms throughout: n times one of them, exactly enough.
        const double l = p.l.vector[i];
        const double u = p.u.vector[i];
        const double w = weighted ? p.w.vector[i] : 1.0;
        if (std::isnan(l) || l == k_inf || std::isnan(u) || u == -k_inf || l > u ||
            !std::isfinite(w) || !(w > 0)) {
            return false;
        }
        const double n = static_cast<double>(p.n);
        add(low, w, l, n);
        add(high, w, u, n);
    }
    for (std::ptrdiff_t j = 0; (p.l.each || p.u.each || p.w.each) && j < p.n; ++j) {
        const double l = value<T>(p.l, i, j);
        const double u = value<T>(p.u, i, j);
        const double w = weighted ? value<T>(p.w, i, j) : 1.0;
        if (std::isnan(l) || l == k_inf || std::isnan(u) || u == -k_inf || l > u ||
            !std::isfinite(w) || !(w > 0)) {
            return false;
        }
        add(low, w, l);
        add(high, w, u);
    }
    const double hs = std::ldexp(h, -k_down);
    // A few ulps of the terms' scale, and of h's own.
    const double slack_low = 4 * k_eps * (low.size + std::fabs(hs));
    const double slack_high = 4 * k_eps * (high.size + std::fabs(hs));
    // One-sided, only the side the sum is bounded from.
    const bool above_low =
        p.sense < 0 || low.infinite || (hs - low.sum.hi) - low.sum.lo >= -slack_low;
    const bool below_high =
        p.sense > 0 || high.infinite || (high.sum.hi - hs) + high.sum.lo >= -slack_high;
    return above_low && below_high;
}

}  // namespace

std::ptrdiff_t first_infeasible(const Problem &p) noexcept
{
    // Scalar values are the common case: one vector stands for all.
    const bool same_for_all = p.h.stride == 0 && !p.l.each && p.l.vector.stride == 0 && !p.u.each &&
                              p.u.vector.stride == 0 && !p.w.each && p.w.vector.stride == 0;
    const std::ptrdiff_t rows = same_for_all && p.m > 0 ? 1 : p.m;
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        if (!(p.single ? feasible<float>(p, i) : feasible<double>(p, i))) {
            return i;
        }
    }
    return -1;
}

std::ptrdiff_t first_nonfinite(const char *y, std::ptrdiff_t m, std::ptrdiff_t n,
                               std::ptrdiff_t stride, bool single) noexcept
{
    const bool plain = passes::plain_forced();
    const auto &doubles = passes::table<double>(false, false, false, plain);
    const auto &floats = passes::table<float>(false, false, false, plain);
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        const char *row = y + i * stride;
        const bool finite = single ? floats.finite(reinterpret_cast<const float *>(row), n)
                                   : doubles.finite(reinterpret_cast<const double *>(row), n);
        if (!finite) {
            return i;
        }
    }
    return -1;
}

}  // namespace tavorin
