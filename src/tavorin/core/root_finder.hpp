// SciPy's types for its compiled bracketing root finders, as its capsules publish them.
#ifndef TAVORIN_CORE_ROOT_FINDER_HPP
#define TAVORIN_CORE_ROOT_FINDER_HPP

namespace tavorin {

// SciPy's status record (named as SciPy names it).  Only its type is needed:
// the projection always passes a null pointer.
struct zeros_full_output {
    int funcalls;
    int iterations;
    int error_num;
    double root;
};

using callback_type = double (*)(double x, void *args);
using root_finder = double (*)(callback_type f, double xa, double xb, void *args, double xtol,
                               double rtol, int mitr, zeros_full_output *full_output);

}  // namespace tavorin

#endif
