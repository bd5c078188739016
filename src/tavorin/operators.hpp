// The numerical core of the capped-simplex projection, shared by the module
// and by the test-only hooks that exercise it without the public entry point.
#ifndef TAVORIN_OPERATORS_HPP
#define TAVORIN_OPERATORS_HPP

#include "refs.hpp"

namespace tavorin {

// SciPy's status record for its compiled root finders.  Only its type is
// needed: the module always passes a null pointer.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

using callback_type = double (*)(double x, void *args);
using root_finder = double (*)(callback_type f, double xa, double xb, void *args, double xtol,
                               double rtol, int iter, zeros_full_output *full_output);

// One row's problem, read by the residual through the root finder's untyped
// argument pointer.  `n` is kept at full width so that no row is truncated.
struct params {
    Py_ssize_t n;
    double h;
    double l;
    double u;
    double *y;
};

// The residual of a row for the trial shift `x`: the sum of the clipped,
// shifted row minus h.  Its type is the root finder's callback type.
double f(double x, void *args) noexcept;

// Projects the row `p.y` in place: finds the shift with `brentq` on the
// bracket [xa, xb] and clips every element of the shifted row to [l, u].
void project_row(root_finder brentq, params &p, double xa, double xb, double xtol, double rtol,
                 int mitr) noexcept;

// The version check made at start-up, with both texts given: 0, or -1 when
// the mismatch warning was turned into an exception.
int warn_version_mismatch(const char *build_version, const char *runtime_version);

}  // namespace tavorin

#endif
