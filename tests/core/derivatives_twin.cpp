// Test-only program: the derivative kernels against their plain twins, byte for byte.
// installed.
//
// Random rows of every length up to 69 (every tail of the four-element steps)
// and every mix of per-row and per-element bounds and weights, in float32 and
// float64.  Prints how many of the cases differed (exits 1 if any did), and a
// checksum of every result, which builds for other processors must reproduce.
#include "core/derivatives.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace tavorin::derivatives;

// FNV-1a over the bytes of every result, of both twins.
std::uint64_t checksum = 14695981039346656037ull;

template <typename T>
bool same(const std::vector<T> &a, const std::vector<T> &b)
{
    for (const std::vector<T> *v : {&a, &b}) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(v->data());
        for (std::size_t k = 0; k < v->size() * sizeof(T); ++k) {
            checksum = (checksum ^ bytes[k]) * 1099511628211ull;
        }
    }
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// kind: bit 0 per-element l, bit 1 per-element weights, bit 2 per-row weights (else none),
// bit 3 per-element u.
template <typename Real>
bool twins_agree(int n, int kind, std::mt19937_64 &rng)
{
    const int m = 3;
    const std::ptrdiff_t stride = n * static_cast<std::ptrdiff_t>(sizeof(Real));
    // Inputs from the generator's bits by exact arithmetic alone (the standard
    // distributions call the maths library, which differs between processors).
    const auto unit = [&rng] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    const auto uniform = [&unit] { return 0.5 + 1.5 * unit(); };
    const auto normal = [&unit] { return 2.0 * (unit() + unit() + unit() - 1.5); };
    const auto size = static_cast<size_t>(m * n);
    std::vector<Real> x(size), g(size), l_elements(size), u_elements(size), w_elements(size),
        dy(size), du(size);
    std::vector<double> l_rows(m), u_rows(m), w_rows(m), dh(m), dl(m);
    for (int i = 0; i < m; ++i) {
        l_rows[i] = -0.3 * uniform();
        u_rows[i] = 0.4 * uniform();
        w_rows[i] = uniform();
        dh[i] = normal();
        dl[i] = normal();
    }
    for (size_t k = 0; k < size; ++k) {
        const size_t i = k / static_cast<size_t>(n);
        l_elements[k] = static_cast<Real>(l_rows[i] - 0.1 * uniform());
        u_elements[k] = static_cast<Real>(u_rows[i] + 0.1 * uniform());
        // About a third of the elements land exactly on a bound.
        const double lo = kind & 1 ? l_elements[k] : static_cast<Real>(l_rows[i]);
        const double hi = kind & 8 ? u_elements[k] : static_cast<Real>(u_rows[i]);
        const double v = normal();
        x[k] = static_cast<Real>(v < lo ? lo : (v > hi ? hi : v));
        g[k] = static_cast<Real>(normal());
        w_elements[k] = static_cast<Real>(uniform());
        dy[k] = static_cast<Real>(normal());
        du[k] = static_cast<Real>(normal());
    }
    const Sets<Real> sets{
        m,
        n,
        x.data(),
        stride,
        {kind & 1 ? l_elements.data() : nullptr, stride, {l_rows.data(), 1}},
        {kind & 8 ? u_elements.data() : nullptr, stride, {u_rows.data(), 1}},
        {kind & 2 ? w_elements.data() : nullptr, stride, {kind & 4 ? w_rows.data() : nullptr, 1}}};
    std::vector<Real> dx[2] = {std::vector<Real>(size), std::vector<Real>(size)};
    std::vector<Real> gy[2] = {std::vector<Real>(size), std::vector<Real>(size)};
    std::vector<Real> gl[2] = {std::vector<Real>(size), std::vector<Real>(size)};
    std::vector<double> gh[2] = {std::vector<double>(m), std::vector<double>(m)};
    std::vector<double> gu[2] = {std::vector<double>(m), std::vector<double>(m)};
    std::vector<Real> k[2] = {std::vector<Real>(m), std::vector<Real>(m)};
    for (int twin = 0; twin < 2; ++twin) {
        const Jvp<Real> jvp{sets,
                            {dy.data(), stride, {nullptr, 0}},
                            {dh.data(), 1},
                            {nullptr, 0, {dl.data(), 1}},
                            {du.data(), stride, {nullptr, 0}},
                            dx[twin].data(),
                            stride};
        const Vjp<Real> vjp{sets,
                            g.data(),
                            stride,
                            gy[twin].data(),
                            stride,
                            gh[twin].data(),
                            {gl[twin].data(), stride, nullptr},
                            {nullptr, 0, gu[twin].data()}};
        if (twin == 0) {
            jvp_rows(jvp, 0, m);
            vjp_rows(vjp, 0, m);
            free_weight_rows(sets, k[twin].data(), 0, m);
        }
        else {
            jvp_rows_plain(jvp, 0, m);
            vjp_rows_plain(vjp, 0, m);
            free_weight_rows_plain(sets, k[twin].data(), 0, m);
        }
    }
    return same(dx[0], dx[1]) && same(gy[0], gy[1]) && same(gl[0], gl[1]) && same(gh[0], gh[1]) &&
           same(gu[0], gu[1]) && same(k[0], k[1]);
}

}  // namespace

int main()
{
    std::mt19937_64 rng(1);
    int differ = 0;
    int cases = 0;
    for (int round = 0; round < 10; ++round) {
        for (int n = 1; n < 70; ++n) {
            for (int kind = 0; kind < 16; ++kind) {
                differ += !twins_agree<double>(n, kind, rng);
                differ += !twins_agree<float>(n, kind, rng);
                cases += 2;
            }
        }
    }
    std::printf("%d of %d cases differ\nchecksum %016" PRIx64 "\n", differ, cases, checksum);
    return differ != 0;
}
