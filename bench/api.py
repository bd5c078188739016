"""Benchmarks for tavorin.project_capped_simplex against tavorin.operators.proj_csimplex.

    python bench/api.py [--quick] [--reps N] [--json FILE]

On the workloads of run.py, with method="brentq" (the operator's path, no
finiteness check): workers=1 with out=y against the operator, workers=2 against
workers=1, per-row h/l/u arrays (the same values) against scalars; and the
default method="exact" against method="brentq", with its accuracy against the
sort-based method.
The columns of one workload are timed on fresh copies, their repetitions
interleaved (the order rotates each round), and each figure is the median of
the paired ratios.  Last, how far a Python thread doing unrelated work gets
during one long call, against the same time with the lock held by the operator.
"""

import argparse
import itertools
import json
import statistics
import sys
import threading
import time

import numpy as np
import numpy_methods as nm
from run import DATASETS, SHAPES_FULL, SHAPES_QUICK, Case

import tavorin
from tavorin.operators import proj_csimplex

project = tavorin.project_capped_simplex
BRENTQ = {"method": "brentq", "check_finite": False}


def columns(case):
    h, lo, hi = case.h, case.l, case.u
    m = case.shape[0]
    hs, ls, us = (np.full(m, v) for v in (h, lo, hi))
    return {
        "operator": lambda c: proj_csimplex(c, h, lo, hi),
        "w1": lambda c: project(c, h, lo, hi, out=c, workers=1, **BRENTQ),
        "w2": lambda c: project(c, h, lo, hi, out=c, workers=2, **BRENTQ),
        "w1 rows": lambda c: project(c, hs, ls, us, out=c, workers=1, **BRENTQ),
        "w1 exact": lambda c: project(c, h, lo, hi, out=c, workers=1),
    }


def batch_size(case, fn, sample):
    c = case.y.copy()
    t0 = time.perf_counter()
    fn(c)
    single = time.perf_counter() - t0
    return max(1, min(5000, int(sample / max(single, 1e-7))))


def measure(case, reps, sample):
    cols = columns(case)
    batch = batch_size(case, cols["operator"], sample)
    names = list(cols)
    samples = {n: [] for n in names}
    for r in range(reps):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            copies = case.copies(batch)
            fn = cols[name]
            t0 = time.perf_counter()
            for c in copies:
                fn(c)
            samples[name].append((time.perf_counter() - t0) / batch)
    return samples


def paired(samples, a, b):
    return statistics.median(x / y for x, y in zip(samples[a], samples[b]))


def accuracy(case):
    exact = case.y.copy()
    nm.sort_based(exact, case.h, case.l, case.u)
    got = project(case.y, case.h, case.l, case.u)
    plain = project(case.y, case.h, case.l, case.u, **BRENTQ)
    operator = case.y.copy()
    proj_csimplex(operator, case.h, case.l, case.u)
    same = plain.tobytes() == operator.tobytes()
    return (
        float(np.max(np.abs(got - exact))),
        float(np.max(np.abs(got.sum(axis=1) - case.h))),
        float(np.max(np.abs(plain - exact))),
        same,
    )


def other_thread(shape=(4000, 1000)):
    """How long a pure-Python loop on another thread ran inside one long call.

    The loop stamps the clock on every round; only stamps strictly between the
    call's start and end count.  With the lock held (the operator) the loop can
    still run at the very edges, until the interpreter hands the lock over
    (one switch interval, 5 ms by default, at each end).
    """
    y = np.random.default_rng(0).standard_normal(shape)
    results = {}
    for name, call in [
        ("proj_csimplex (holds the lock)", lambda c: proj_csimplex(c, 1.0, 0.0, 1.0)),
        ("workers=1", lambda c: project(c, 1.0, 0.0, 1.0, out=c, workers=1)),
        ("workers=2", lambda c: project(c, 1.0, 0.0, 1.0, out=c, workers=2)),
    ]:
        stamps = []
        stop = threading.Event()

        def loop(stamps=stamps, stop=stop):
            clock = time.perf_counter
            while not stop.is_set():
                stamps.append(clock())

        t = threading.Thread(target=loop)
        t.start()
        time.sleep(0.05)
        c = y.copy()
        t0 = time.perf_counter()
        call(c)
        t1 = time.perf_counter()
        stop.set()
        t.join()
        inside = [s for s in stamps if t0 < s < t1]
        ran = (inside[-1] - inside[0]) if len(inside) > 1 else 0.0
        results[name] = (t1 - t0, len(inside), ran)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--reps", type=int)
    parser.add_argument("--json", help="also write the samples and the scaling (for plot.py) here")
    opts = parser.parse_args()
    reps = opts.reps or (7 if opts.quick else 15)
    sample = 0.002 if opts.quick else 0.005
    shapes = SHAPES_QUICK if opts.quick else SHAPES_FULL
    out = []
    p = out.append
    p(f"## project_capped_simplex benchmark ({reps} interleaved repetitions, paired medians)")
    p("")
    p(
        "| workload | data | operator | workers=1, out=y | w1 / operator | w1 / w2 | "
        "per-row / scalar | exact / plain | exact − sort | exact row sum − h | "
        "plain = operator |"
    )
    p("|" + "---|" * 11)
    checks = []
    raw = {"cases": {}, "scaling": []}
    # The same seeds as run.py: the index counts shapes times datasets.
    for index, (shape, dataset) in enumerate(itertools.product(shapes, DATASETS)):
        case = Case(index, shape, dataset)
        print(f"# {case.key} ...", file=sys.stderr, flush=True)
        err, rowsum, _, same = accuracy(case)
        s = measure(case, reps, sample)
        r1 = paired(s, "w1", "operator")
        r2 = paired(s, "w1", "w2")
        rr = paired(s, "w1 rows", "w1")
        re = paired(s, "w1 exact", "w1")
        p(
            f"| {shape[0]} × {shape[1]} | {dataset} | "
            f"{statistics.median(s['operator']) * 1e3:.3f} ms | "
            f"{statistics.median(s['w1']) * 1e3:.3f} ms | {r1:.3f}× | {r2:.2f}× | "
            f"{rr:.3f}× | {re:.3f}× | {err:.1e} | {rowsum:.1e} | {'yes' if same else 'NO'} |"
        )
        checks.append((case, r1, r2, rr, re, err))
        raw["cases"][case.key] = s
        raw["scaling"].append(
            {
                "label": f"project_capped_simplex: {shape[0]} × {shape[1]} {dataset}",
                "workers": {"1": statistics.median(s["w1"]), "2": statistics.median(s["w2"])},
            }
        )
    p("")
    p("### Targets")
    p("")
    for case, r1, r2, rr, re, err in checks:
        m, n = case.shape
        verdict = "PASS" if r1 <= 1.05 else "FAIL"
        p(f"{verdict}: {case.key}: workers=1, out=y / operator = {r1:.3f} (≤ 1.05)")
        if (m, n) in [(1000, 1000), (10000, 100), (100000, 10), (10, 100000)]:
            verdict = "PASS" if r2 >= 1.8 else "FAIL"
            p(f"{verdict}: {case.key}: workers=1 / workers=2 = {r2:.2f} (≥ 1.8)")
        elif m * n < 100000:
            verdict = "PASS" if r2 >= 0.95 else "FAIL"
            p(f"{verdict}: {case.key}: workers=1 / workers=2 = {r2:.2f} (small: not slower)")
        verdict = "PASS" if rr <= 1.05 else "FAIL"
        p(f"{verdict}: {case.key}: per-row arrays / scalars = {rr:.3f} (≤ 1.05)")
        verdict = "PASS" if re <= 1.3 else "FAIL"
        p(f"{verdict}: {case.key}: exact / plain = {re:.3f} (≤ 1.3)")
        verdict = "PASS" if err <= 1e-12 else "FAIL"
        p(f"{verdict}: {case.key}: max |exact − sort-based| = {err:.1e} (≤ 1e-12)")
    p("")
    p("### Another Python thread during one long call (4000 × 1000, random)")
    p("")
    p("| call | call time | loop rounds inside the call | span of those rounds |")
    p("|---|---|---|---|")
    for name, (elapsed, rounds, ran) in other_thread().items():
        p(f"| {name} | {elapsed * 1e3:.1f} ms | {rounds} | {ran * 1e3:.1f} ms |")
    print("\n".join(out))
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(raw, f, indent=1)


if __name__ == "__main__":
    main()
