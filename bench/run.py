"""Benchmarks for tavorin.operators.proj_csimplex.

    python bench/run.py [--quick] [--reps N] [--json FILE]

Every column of a workload is timed on fresh copies of one seeded array, and the
repetitions of all columns are interleaved (the order rotates each round), so a
noisy neighbour slows every column alike; each time is the median.  Ratios come
from the same run.  Before any timing, every column's output is checked against
the exact sort-based projection, so no column can win by being wrong, and the
module's bytes are compared with the bare C kernel's and the literal path's.

Columns:
  module     tavorin.operators.proj_csimplex as installed
  literal    the module on its literal bracket path (builtins min/max replaced by
             Python wrappers before import, in a helper process; literal_worker.py)
  bare C     kernels.c: bracket, the same brentq capsule, a C residual, write-back
  floor      kernels.c: only the residual sums brentq asked for, plus the write-back
  scipy      a per-row scipy.optimize.brentq loop with a NumPy residual
  bisection  vectorised NumPy bisection over all rows to ~1e-10 in the shift
  sort       the exact O(n log n) breakpoint method, vectorised over rows
  np.add     one numpy.add(a, 0.0, out=a) on the same array: a single pass
"""

import argparse
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import ckernels
import numpy as np
import numpy_methods as nm
import scipy

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    from tavorin.operators import proj_csimplex
except ImportError as exc:
    proj_csimplex = None
    MODULE_MISSING = repr(exc)
else:
    MODULE_MISSING = None

SHAPES_FULL = [(1, 3), (100000, 10), (10000, 100), (1000, 1000), (10, 100000)]
SHAPES_QUICK = [(1, 3), (10000, 10), (2000, 100), (200, 1000), (2, 100000)]

# name -> (h as a function of n, l, u, data scale as a function of n)
DATASETS = {
    "random": (lambda n: 1.0, 0.0, 1.0, lambda n: 1.0 / math.sqrt(n)),
    "box": (lambda n: 0.3 * n, 0.0, 0.5, lambda n: 1.0),
}
XTOL, RTOL, MITR = 1e-5, 1e-5, 20

COLUMNS = ["module", "literal", "bare C", "floor", "scipy", "bisection", "sort", "np.add"]


class Case:
    def __init__(self, index, shape, dataset):
        self.shape = shape
        self.dataset = dataset
        self.key = f"{shape[0]}x{shape[1]}-{dataset}"
        h_of, self.l, self.u, scale_of = DATASETS[dataset]
        m, n = shape
        self.h = h_of(n)
        rng = np.random.default_rng(20240600 + index)
        self.y = rng.standard_normal(shape) * scale_of(n)
        self.args = (self.h, self.l, self.u, XTOL, RTOL, MITR)

    def copies(self, batch):
        return [self.y.copy() for _ in range(batch)]


def fmt_time(s):
    if s is None or not math.isfinite(s):
        return "n/a"
    if s < 1e-3:
        return f"{s * 1e6:.2f} µs"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def fmt_ratio(r):
    return "n/a" if r is None or not math.isfinite(r) else f"{r:.2f}×"


def same_bytes(a, b):
    return a is not None and b is not None and a.tobytes() == b.tobytes()


class LiteralWorker:
    """The helper process that runs the module on its literal bracket path."""

    def __init__(self, tmpdir):
        self.tmpdir = tmpdir
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "literal_worker.py")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        hello = self.ask(cmd="hello")
        self.ok = hello["ok"]
        self.error = hello["error"]

    def ask(self, **req):
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        reply = json.loads(self.proc.stdout.readline())
        if not reply.get("ok") and req["cmd"] != "hello":
            raise RuntimeError(f"literal worker: {reply}")
        return reply

    def load(self, case):
        path = os.path.join(self.tmpdir, case.key + ".npy")
        np.save(path, case.y)
        self.ask(cmd="load", key=case.key, path=path, args=list(case.args))

    def output(self, case):
        path = os.path.join(self.tmpdir, case.key + "-literal.npy")
        self.ask(cmd="output", key=case.key, path=path)
        return np.load(path)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


class Bench:
    def __init__(self, opts):
        self.opts = opts
        self.tmpdir = tempfile.mkdtemp(prefix="tavorin-bench-")
        self.kernels = ckernels.Kernels(os.path.join(self.tmpdir, "build"))
        self.worker = LiteralWorker(self.tmpdir) if proj_csimplex is not None else None
        self.warnings = []
        if self.worker is not None and not self.worker.ok:
            self.warnings.append(f"literal worker could not import the module: {self.worker.error}")
            self.worker.close()
            self.worker = None

    # ---- one repetition of each column, seconds per call ----

    def time_module(self, case, batch):
        f = proj_csimplex
        h, lo, hi = case.h, case.l, case.u
        copies = case.copies(batch)
        t0 = time.perf_counter()
        for c in copies:
            f(c, h, lo, hi)
        return (time.perf_counter() - t0) / batch

    def time_numpy_add(self, case, batch):
        add = np.add
        copies = case.copies(batch)
        t0 = time.perf_counter()
        for c in copies:
            add(c, 0.0, out=c)
        return (time.perf_counter() - t0) / batch

    def time_literal(self, case, batch):
        return self.worker.ask(cmd="time", key=case.key, batch=batch)["seconds"]

    @staticmethod
    def time_foreign(calls):
        # The arguments are converted before the clock starts; what remains is the
        # ctypes call itself (about a microsecond, visible only at 1 x 3).
        fn = calls[0][0]
        arglists = [args for _, args in calls]
        t0 = time.perf_counter()
        for args in arglists:
            fn(*args)
        return (time.perf_counter() - t0) / len(arglists)

    def time_bare(self, case, batch):
        copies = case.copies(batch)
        return self.time_foreign([self.kernels.bare_call(c, *case.args) for c in copies])

    def time_floor(self, case, batch):
        copies = case.copies(batch)
        h, lo, hi = case.h, case.l, case.u
        return self.time_foreign([self.kernels.floor_call(c, h, lo, hi, case.rec) for c in copies])

    def time_scipy(self, case, batch):
        # Only the first scipy_rows rows; scaled to the whole array.
        rows = case.scipy_rows
        c = case.y.copy()
        t0 = time.perf_counter()
        nm.scipy_brentq_rows(c, case.h, case.l, case.u, XTOL, RTOL, MITR, rows=rows)
        return (time.perf_counter() - t0) * case.shape[0] / rows

    def time_bisection(self, case, batch):
        c = case.y.copy()
        t0 = time.perf_counter()
        nm.bisection(c, case.h, case.l, case.u, case.bisection_steps)
        return time.perf_counter() - t0

    def time_sort(self, case, batch):
        c = case.y.copy()
        t0 = time.perf_counter()
        nm.sort_based(c, case.h, case.l, case.u)
        return time.perf_counter() - t0

    def timers(self):
        t = {
            "bare C": self.time_bare,
            "floor": self.time_floor,
            "scipy": self.time_scipy,
            "bisection": self.time_bisection,
            "sort": self.time_sort,
            "np.add": self.time_numpy_add,
        }
        if proj_csimplex is not None:
            t["module"] = self.time_module
        if self.worker is not None:
            t["literal"] = self.time_literal
        return t

    # ---- untimed: outputs, accuracy, bit checks ----

    def prepare(self, case):
        h, lo, hi = case.h, case.l, case.u
        m, n = case.shape
        exact = case.y.copy()
        nm.sort_based(exact, h, lo, hi)

        recorded = case.y.copy()
        case.rec = self.kernels.record(recorded, h, lo, hi, XTOL, RTOL, MITR)
        ev = case.rec["evaluations"]
        case.evaluations = (float(ev.mean()), int(ev.max()))
        case.unconverged = int(np.count_nonzero(case.rec["error_num"] == -2))
        if np.any(case.rec["error_num"] == -1):
            self.warnings.append(f"{case.key}: brentq reported a bracket without a sign change")
        case.bisection_steps = nm.bisection_steps(case.y, lo, hi)

        # Calibrate: samples of the fast columns should last a few milliseconds.
        probe = case.y.copy()
        t0 = time.perf_counter()
        self.kernels.bare(probe, h, lo, hi, XTOL, RTOL, MITR)
        single = time.perf_counter() - t0
        case.batch = min(20000, max(1, math.ceil(self.opts.sample / max(single, 1e-7))))
        if case.batch > 1:
            per_call = self.time_bare(case, min(case.batch, 2000))
            case.batch = min(20000, max(1, math.ceil(self.opts.sample / per_call)))

        # The scipy loop gets a fixed budget per repetition; the rest is extrapolated.
        one = case.y[:1].copy()
        t0 = time.perf_counter()
        nm.scipy_brentq_rows(one, h, lo, hi, XTOL, RTOL, MITR)
        per_row = time.perf_counter() - t0
        case.scipy_rows = int(min(m, max(1, self.opts.scipy_budget // per_row)))

        outputs = {}
        out = case.y.copy()
        self.kernels.bare(out, h, lo, hi, XTOL, RTOL, MITR)
        outputs["bare C"] = out
        out = case.y.copy()
        self.kernels.floor(out, h, lo, hi, case.rec)
        outputs["floor"] = out
        if proj_csimplex is not None:
            out = case.y.copy()
            proj_csimplex(out, *case.args)
            outputs["module"] = out
        if self.worker is not None:
            self.worker.load(case)
            outputs["literal"] = self.worker.output(case)
            seen = self.worker.ask(cmd="check", key=case.key)["wrappers"]
            if seen != ["max", "min"]:
                self.warnings.append(
                    f"{case.key}: the literal column did not go through the Python min/max "
                    f"wrappers (saw {seen}); it is not measuring the literal path"
                )
        out = case.y.copy()
        nm.scipy_brentq_rows(out, h, lo, hi, XTOL, RTOL, MITR, rows=case.scipy_rows)
        outputs["scipy"] = out[: case.scipy_rows]
        out = case.y.copy()
        nm.bisection(out, h, lo, hi, case.bisection_steps)
        outputs["bisection"] = out
        outputs["sort"] = exact

        case.accuracy = {}
        for name, x in outputs.items():
            case.accuracy[name] = nm.accuracy(x, h, lo, hi, exact[: x.shape[0]])

        def require_same(a, b, why):
            if a in outputs and b in outputs and not same_bytes(outputs[a], outputs[b]):
                bits_a, bits_b = outputs[a].view(np.uint64), outputs[b].view(np.uint64)
                diff = int(np.count_nonzero(bits_a != bits_b))
                self.warnings.append(f"{case.key}: {a} and {b} differ in {diff} elements ({why})")

        require_same("module", "bare C", "the module must match the bare C method bit for bit")
        require_same("module", "literal", "both bracket paths must give the same bytes")
        require_same("floor", "bare C", "the floor replays bare C's shifts")
        if not same_bytes(recorded, outputs["bare C"]):
            self.warnings.append(f"{case.key}: the recording run differs from the bare C run")
        case.bit_identical = {
            "module = bare C": same_bytes(outputs.get("module"), outputs["bare C"]),
            "module = literal": same_bytes(outputs.get("module"), outputs.get("literal")),
        }

    def measure(self, case, reps):
        timers = self.timers()
        names = [c for c in COLUMNS if c in timers]
        samples = {c: [] for c in names}
        for r in range(reps):
            k = r % len(names)
            for name in names[k:] + names[:k]:
                samples[name].append(timers[name](case, case.batch))
        case.samples = samples
        case.times = {c: statistics.median(s) for c, s in samples.items()}

        def paired(a, b):
            if a not in samples or b not in samples:
                return None
            return statistics.median(x / y for x, y in zip(samples[a], samples[b]))

        case.paired = {
            "module/bare C": paired("module", "bare C"),
            "literal/module": paired("literal", "module"),
            "module/np.add": paired("module", "np.add"),
        }

    def forget(self, case):
        if self.worker is not None:
            self.worker.ask(cmd="drop", key=case.key)

    def close(self):
        if self.worker is not None:
            self.worker.close()


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    gcc = subprocess.run(["gcc", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return {
        "cpu": model,
        "cores": f"{os.cpu_count()} logical, {usable} usable",
        "python": platform.python_version(),
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "gcc": gcc,
        "os": platform.platform(),
    }


def ratio(case, a, b):
    ta, tb = case.times.get(a), case.times.get(b)
    return None if ta is None or tb is None else ta / tb


def report(cases, bench, info, opts, elapsed):
    out = []
    p = out.append
    mode = "quick" if opts.quick else "full"
    p(f"## proj_csimplex benchmark ({mode} run, {opts.reps} interleaved repetitions, medians)")
    p("")
    p(
        f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}, "
        f"NumPy {info['numpy']}, SciPy {info['scipy']}; reference kernels: {info['gcc']}, "
        f"{bench.kernels.compiler}."
    )
    blas = {k: v for k, v in os.environ.items() if k.startswith(("OPENBLAS", "MKL_NUM", "OMP_NUM"))}
    if blas:
        p("Environment: " + ", ".join(f"{k}={v}" for k, v in sorted(blas.items())) + ".")
    p(
        f"xtol = {XTOL:g}, rtol = {RTOL:g}, mitr = {MITR}. Data: *random* is h = 1, l = 0, u = 1, "
        "standard normal / √n; *box* is l = 0, u = 0.5, h = 0.3·n, standard normal."
    )
    p("")
    header = [
        "workload",
        "data",
        "module",
        "literal path",
        "bare C",
        "floor",
        "scipy brentq loop",
        "NumPy bisection",
        "sort-based",
        "np.add",
        "module / bare C",
        "literal / module",
        "module / floor",
    ]
    p("| " + " | ".join(header) + " |")
    p("|" + "---|" * len(header))
    for c in cases:
        t = c.times
        scipy_cell = fmt_time(t.get("scipy"))
        if c.scipy_rows < c.shape[0]:
            scipy_cell += f" ({c.scipy_rows} rows, scaled)"
        row = [
            f"{c.shape[0]} × {c.shape[1]}",
            c.dataset,
            fmt_time(t.get("module")),
            fmt_time(t.get("literal")),
            fmt_time(t.get("bare C")),
            fmt_time(t.get("floor")),
            scipy_cell,
            fmt_time(t.get("bisection")) + f" ({c.bisection_steps} steps)",
            fmt_time(t.get("sort")),
            fmt_time(t.get("np.add")),
            fmt_ratio(ratio(c, "module", "bare C")),
            fmt_ratio(ratio(c, "literal", "module")),
            fmt_ratio(ratio(c, "module", "floor")),
        ]
        p("| " + " | ".join(row) + " |")
    p("")
    p(
        "Times are per call. bare C and floor are called through ctypes (≈0.5–1 µs per call, which "
        "only matters at 1 × 3). The floor excludes the bracket and the root finder's own work."
    )
    p("")

    p("### Accuracy (worst over all workloads) and root-finder statistics")
    p("")
    p("| column | max \\|row sum − h\\| | max bound violation | max \\|x − exact\\| |")
    p("|---|---|---|---|")
    for name in COLUMNS:
        acc = [(c.accuracy[name], c) for c in cases if name in c.accuracy]
        if not acc:
            continue
        cells = []
        for measure in ("sum", "bounds", "exact"):
            worst, where = max(acc, key=lambda ac: ac[0][measure])
            value = worst[measure]
            cells.append(
                f"{value:.1e}"
                + (
                    f" ({where.shape[0]} × {where.shape[1]} " f"{where.dataset})"
                    if value > 0
                    else ""
                )
            )
        p(f"| {name} | " + " | ".join(cells) + " |")
    p("")
    p(
        "| workload | data | brentq evaluations / row (mean, max) | rows unconverged at mitr | "
        "max \\|row sum − h\\| (bare C) | module = bare C | module = literal | calls / sample |"
    )
    p("|---|---|---|---|---|---|---|---|")
    for c in cases:
        bits = [
            "yes" if v else ("n/a" if proj_csimplex is None else "**NO**")
            for v in c.bit_identical.values()
        ]
        p(
            f"| {c.shape[0]} × {c.shape[1]} | {c.dataset} | {c.evaluations[0]:.2f}, "
            f"{c.evaluations[1]} | {c.unconverged} | {c.accuracy['bare C']['sum']:.1e} | "
            f"{bits[0]} | {bits[1]} | {c.batch} |"
        )
    p("")

    p("### Targets")
    p("")
    lines = []

    def target(ok, text):
        lines.append(("PASS" if ok else "FAIL") + ": " + text)

    if proj_csimplex is None:
        lines.append(f"SKIP: the module is not importable ({MODULE_MISSING})")
    else:
        for c in cases:
            m, n = c.shape
            if m == 1:
                continue
            r = ratio(c, "module", "bare C")
            limit = 1.1 if n >= 100 else 1.5
            target(
                r <= limit,
                f"{c.key}: module / bare C = {r:.3f} (≤ {limit}; paired median "
                f"{c.paired['module/bare C']:.3f})",
            )
        for c in cases:
            if c.shape[1] == 1000 and "literal" in c.times:
                r = ratio(c, "literal", "module")
                target(
                    r >= 4.0,
                    f"{c.key}: literal / module = {r:.2f} (≥ 4; paired median "
                    f"{c.paired['literal/module']:.2f})",
                )
        for c in cases:
            if c.shape == (1, 3):
                r = ratio(c, "module", "np.add")
                target(
                    r <= 1.0,
                    f"{c.key}: one call {fmt_time(c.times['module'])} vs "
                    f"numpy.add {fmt_time(c.times['np.add'])} (ratio {r:.2f} ≤ 1; "
                    f"paired median {c.paired['module/np.add']:.2f})",
                )
    for line in lines:
        p(line)
    for w in bench.warnings:
        p("WARNING: " + w)
    p("")
    p(f"(whole run: {elapsed:.0f} s)")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--quick",
        action="store_true",
        help="fewer repetitions and smaller big workloads (< 1 minute)",
    )
    parser.add_argument("--reps", type=int, help="timed repetitions per column")
    parser.add_argument("--json", help="also write the raw samples here")
    opts = parser.parse_args()
    if opts.reps is None:
        opts.reps = 9 if opts.quick else 21
    opts.sample = 0.002 if opts.quick else 0.005  # seconds per sample of the fast columns
    opts.scipy_budget = 0.03 if opts.quick else 0.2  # seconds per sample of the scipy loop
    shapes = SHAPES_QUICK if opts.quick else SHAPES_FULL

    start = time.perf_counter()
    info = machine()
    bench = Bench(opts)
    cases = []
    try:
        index = 0
        for shape in shapes:
            for dataset in DATASETS:
                case = Case(index, shape, dataset)
                index += 1
                print(f"# {case.key}: checking ...", file=sys.stderr, flush=True)
                bench.prepare(case)
                print(f"# {case.key}: timing (batch {case.batch}) ...", file=sys.stderr, flush=True)
                gc.collect()
                gc.disable()
                try:
                    bench.measure(case, opts.reps)
                finally:
                    gc.enable()
                bench.forget(case)
                cases.append(case)
    finally:
        bench.close()
    elapsed = time.perf_counter() - start
    print(report(cases, bench, info, opts, elapsed))
    if opts.json:
        raw = {
            "machine": info,
            "quick": opts.quick,
            "reps": opts.reps,
            "cases": [
                {
                    "key": c.key,
                    "shape": c.shape,
                    "h": c.h,
                    "l": c.l,
                    "u": c.u,
                    "batch": c.batch,
                    "scipy_rows": c.scipy_rows,
                    "samples": c.samples,
                    "accuracy": c.accuracy,
                    "unconverged": c.unconverged,
                    "evaluations": c.evaluations,
                    "bit_identical": c.bit_identical,
                }
                for c in cases
            ],
            "warnings": bench.warnings,
        }
        with open(opts.json, "w") as f:
            json.dump(raw, f, indent=1)


if __name__ == "__main__":
    main()
