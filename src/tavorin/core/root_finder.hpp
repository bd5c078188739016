// SciPy's types for its compiled bracketing root finders, as its capsules publish them.
#ifndef TAVORIN_CORE_ROOT_FINDER_HPP
#define TAVORIN_CORE_ROOT_FINDER_HPP

namespace tavorin {

// SciPy's status record (named as SciPy names it).  The projection reads
// only `error_num`, to tell a bracket with one sign at both ends.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

// error_num of a bracket whose ends have the same sign (or a NaN residual).
constexpr int k_sign_error = -1;

using callback_type = double (*)(double x, void *args);
using root_finder = double (*)(callback_type f, double xa, double xb, void *args, double xtol,
                               double rtol, int mitr, zeros_full_output *full_output);

}  // namespace tavorin

#endif
