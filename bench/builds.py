"""Two builds of the exact method timed alternately on bench/exact.py's workloads.

    python bench/builds.py OLD_SITE [NEW_SITE] [--quick] [--reps N] [--only NAME]

Each build runs in a process of its own, OLD_SITE (and NEW_SITE, default: the
installed package) first on its path.  Both make the same data; for each
workload and worker count the two are timed one call at a time, in turn (the
order alternating), and the figure is the median of the paired ratios
new / old: below 1 the new build is faster.
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def worker():
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    sys.path.insert(0, HERE)
    import exact
    import numpy as np

    from tavorin import _simplex

    quick = sys.argv[-1] == "quick"
    current = None
    loads = exact.workloads(quick)
    for line in sys.stdin:
        command = line.split()
        if command[0] == "next":
            try:
                name, y, h, lo, hi = next(loads)
            except StopIteration:
                print("", flush=True)  # the end of the workloads
                continue
            current = (y, np.empty_like(y), h, lo, hi)
            print(name, flush=True)
        else:
            y, out, h, lo, hi = current
            t0 = time.perf_counter()
            _simplex.solve(y, out, h, lo, hi, None, True, int(command[1]))
            print(time.perf_counter() - t0, flush=True)


def start(site, quick):
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [site, env.get("PYTHONPATH")]))
    return subprocess.Popen(
        [sys.executable, __file__, "--worker", "quick" if quick else "full"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )


def ask(process, command):
    process.stdin.write(command + "\n")
    process.stdin.flush()
    return process.stdout.readline().strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("old")
    parser.add_argument("new", nargs="?", default="")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--reps", type=int, default=9)
    parser.add_argument("--only", default=None)
    args = parser.parse_args()
    old, new = start(args.old, args.quick), start(args.new, args.quick)
    print(f"{'workload':<34} {'new/old w1':>10} {'new/old w2':>10}")
    ratios = []
    while True:
        try:
            name = ask(old, "next")
        except BrokenPipeError:
            break
        if not name or ask(new, "next") != name:
            break
        if args.only and args.only not in name:
            continue
        line = f"{name:<34}"
        for workers in (1, 2):
            pairs = []
            reps = args.reps if "10000000" not in name else max(3, args.reps // 2)
            for r in range(reps):
                order = (old, new) if r % 2 == 0 else (new, old)
                t = {p: float(ask(p, f"time {workers}")) for p in order}
                pairs.append(t[new] / t[old])
            ratio = statistics.median(pairs)
            ratios.append(ratio)
            line += f" {ratio:>10.3f}"
        print(line, flush=True)
    print(f"median over workloads: {statistics.median(ratios):.3f}, worst: {max(ratios):.3f}")
    for p in (old, new):
        p.stdin.close()
        p.wait()


if __name__ == "__main__":
    if "--worker" in sys.argv:
        worker()
    else:
        main()
