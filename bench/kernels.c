/* Reference kernels for the benchmark: the projection written as plain C with
 * no Python objects anywhere, and the floor that only repeats the residual
 * evaluations the root finder actually asked for.
 *
 * Compiled by bench/ckernels.py at run time (gcc -O2, no -ffast-math: the
 * residual must round exactly as the module's does, or brentq would take a
 * different path and the outputs could not be compared bit for bit).
 */
#include <stddef.h>
#include <stdint.h>

typedef double (*callback_type)(double x, void *args);

/* SciPy's status record for its compiled root finders. */
typedef struct {
    int funcalls;
    int iterations;
    int error_num;
    double root;
} zeros_full_output;

typedef double (*root_finder)(callback_type f, double xa, double xb, void *args, double xtol,
                              double rtol, int iter, zeros_full_output *full_output);

typedef struct {
    ptrdiff_t n;
    double h;
    double l;
    double u;
    const double *y;
    /* Only the recording residual uses these. */
    double *trial_x;
    ptrdiff_t recorded;
    ptrdiff_t capacity;
} row_problem;

/* u first, then l: a NaN stays NaN, l > u gives l, t == u gives t.  Each step
 * is one minsd/maxsd. */
static inline double clip(double t, double l, double u)
{
    const double c = (u < t) ? u : t;
    return (l > c) ? l : c;
}

/* Left to right and nothing else: the exact rounding of this sum steers the
 * root finder, so any reassociation would change the answer. */
static inline double strict_sum(const double *y, ptrdiff_t n, double x, double l, double u)
{
    double s = 0.0;
    for (ptrdiff_t j = 0; j < n; ++j) {
        s += clip(y[j] - x, l, u);
    }
    return s;
}

static double residual(double x, void *args)
{
    const row_problem *p = (const row_problem *)args;
    return strict_sum(p->y, p->n, x, p->l, p->u) - p->h;
}

static double recording_residual(double x, void *args)
{
    row_problem *p = (row_problem *)args;
    if (p->recorded < p->capacity) {
        p->trial_x[p->recorded] = x;
    }
    ++p->recorded;
    return strict_sum(p->y, p->n, x, p->l, p->u) - p->h;
}

/* The interpreter's rules for min and max over floats: the first element
 * stays unless a later one compares strictly smaller (larger), so a NaN never
 * displaces anything and ties keep the earlier signed zero. */
static inline void bracket(const double *y, ptrdiff_t n, double *lo, double *hi)
{
    double a = y[0];
    double b = y[0];
    for (ptrdiff_t j = 1; j < n; ++j) {
        const double v = y[j];
        if (v < a) {
            a = v;
        }
        if (v > b) {
            b = v;
        }
    }
    *lo = a;
    *hi = b;
}

static inline void write_back(double *y, ptrdiff_t n, double x, double l, double u)
{
    for (ptrdiff_t j = 0; j < n; ++j) {
        y[j] = clip(y[j] - x, l, u);
    }
}

/* The projection of every row in place.  `row_stride` counts doubles. */
int bare_project(double *y, ptrdiff_t m, ptrdiff_t n, ptrdiff_t row_stride, double h, double l,
                 double u, double xtol, double rtol, int mitr, void *brentq_ptr)
{
    root_finder brentq = (root_finder)brentq_ptr;
    if (n <= 0) {
        return -1;
    }
    row_problem p = {n, h, l, u, NULL, NULL, 0, 0};
    for (ptrdiff_t i = 0; i < m; ++i) {
        double *row = y + i * row_stride;
        double lo, hi;
        bracket(row, n, &lo, &hi);
        p.y = row;
        const double x = brentq(residual, lo - u, hi - l, &p, xtol, rtol, mitr, NULL);
        write_back(row, n, x, l, u);
    }
    return 0;
}

/* The same projection, also recording for each row the trial shifts brentq
 * asked for (in `trial_x`, rows back to back, `per_row_capacity` apart), how
 * many it asked for, its status record and the shift it returned.  Returns
 * the number of rows whose trials did not fit. */
ptrdiff_t recording_project(double *y, ptrdiff_t m, ptrdiff_t n, ptrdiff_t row_stride, double h,
                            double l, double u, double xtol, double rtol, int mitr,
                            void *brentq_ptr, double *trial_x, ptrdiff_t per_row_capacity,
                            int64_t *evaluations, int32_t *iterations, int32_t *error_num,
                            double *shift)
{
    root_finder brentq = (root_finder)brentq_ptr;
    ptrdiff_t overflowed = 0;
    if (n <= 0) {
        return -1;
    }
    row_problem p = {n, h, l, u, NULL, NULL, 0, per_row_capacity};
    for (ptrdiff_t i = 0; i < m; ++i) {
        double *row = y + i * row_stride;
        double lo, hi;
        bracket(row, n, &lo, &hi);
        p.y = row;
        p.trial_x = trial_x + i * per_row_capacity;
        p.recorded = 0;
        zeros_full_output status = {0, 0, 0, 0.0};
        const double x = brentq(recording_residual, lo - u, hi - l, &p, xtol, rtol, mitr, &status);
        evaluations[i] = p.recorded;
        iterations[i] = status.iterations;
        error_num[i] = status.error_num;
        shift[i] = x;
        if (p.recorded > per_row_capacity) {
            ++overflowed;
        }
        write_back(row, n, x, l, u);
    }
    return overflowed;
}

/* The floor: per row, exactly the residual sums brentq needed (replayed at
 * the recorded trial shifts) and the write-back with the recorded shift.  No
 * bracket, no root-finder logic, no calls.  The residuals go to `sink` so
 * that none of the sums can be dropped as dead code. */
void floor_replay(double *y, ptrdiff_t m, ptrdiff_t n, ptrdiff_t row_stride, double h, double l,
                  double u, const double *trial_x, ptrdiff_t per_row_capacity,
                  const int64_t *evaluations, const double *shift, double *sink)
{
    for (ptrdiff_t i = 0; i < m; ++i) {
        double *row = y + i * row_stride;
        const double *xs = trial_x + i * per_row_capacity;
        double *out = sink + i * per_row_capacity;
        const ptrdiff_t k_end = evaluations[i];
        for (ptrdiff_t k = 0; k < k_end; ++k) {
            out[k] = strict_sum(row, n, xs[k], l, u) - h;
        }
        write_back(row, n, shift[i], l, u);
    }
}
