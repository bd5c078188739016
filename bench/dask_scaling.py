"""tavorin.dask on a local cluster of one worker process against two, and on Dask's
threaded scheduler with one thread against two.

    python bench/dask_scaling.py [--quick] [--reps N] [--json FILE]

The input is generated on the workers and kept there (persisted), so the times
are those of the projection itself: rechunking where the rows are split, the
chunks' calls of tavorin.project_capped_simplex, and Dask's scheduling; only
each chunk's sum travels back.  Each figure is the median of
the repetitions; the clusters are started once and used in turn.
"""

import argparse
import json
import statistics
import sys
import time

import dask.array as da
import distributed
from dask.graph_manipulation import clone
from run import machine

from tavorin.dask import project_capped_simplex

# name -> (shape, chunks of the input)
CASES_FULL = {
    "8000 × 2000, whole rows in 16 chunks": ((8000, 2000), (500, 2000)),
    "8000 × 2000, rows split in 4 (rechunked)": ((8000, 2000), (2000, 500)),
    "200000 × 50, whole rows in 16 chunks": ((200000, 50), (12500, 50)),
}
CASES_QUICK = {
    "2000 × 2000, whole rows in 8 chunks": ((2000, 2000), (250, 2000)),
    "2000 × 2000, rows split in 4 (rechunked)": ((2000, 2000), (500, 500)),
}


def start(workers):
    cluster = distributed.LocalCluster(
        n_workers=workers,
        processes=True,
        threads_per_worker=1,
        host="127.0.0.1",
        dashboard_address=None,
    )
    return cluster, distributed.Client(cluster)


def time_case(client, shape, chunks, reps):
    rng = da.random.default_rng(20261208)
    y = client.persist(rng.standard_normal(shape, chunks=chunks) / shape[1] ** 0.5)
    distributed.wait(y)
    samples = []
    for rep in range(reps + 1):
        # Fresh keys for everything after y: a result with the same keys could
        # still be on the workers from the last repetition.
        total = clone(project_capped_simplex(y, 1.0, 0.0, 1.0).sum(), omit=y, seed=rep)
        t0 = time.perf_counter()
        client.compute(total).result()
        samples.append(time.perf_counter() - t0)
    return samples[1:]  # the first call warms the workers' imports


def time_case_threads(workers, shape, chunks, reps):
    """The same on Dask's threaded scheduler here (the chunks' calls release the lock)."""
    rng = da.random.default_rng(20261208)
    y = (rng.standard_normal(shape, chunks=chunks) / shape[1] ** 0.5).persist(scheduler="threads")
    samples = []
    for _ in range(reps + 1):
        t0 = time.perf_counter()
        project_capped_simplex(y, 1.0, 0.0, 1.0).sum().compute(
            scheduler="threads", num_workers=workers
        )
        samples.append(time.perf_counter() - t0)
    return samples[1:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller arrays (< 1 minute)")
    parser.add_argument("--reps", type=int, default=None)
    parser.add_argument("--json", help="also write the samples here")
    opts = parser.parse_args()
    cases = CASES_QUICK if opts.quick else CASES_FULL
    reps = opts.reps or (5 if opts.quick else 9)

    samples = {name: {} for name in cases}
    for workers in (1, 2):
        cluster, client = start(workers)
        try:
            for name, (shape, chunks) in cases.items():
                print(f"# {name}: {workers} worker(s) ...", file=sys.stderr, flush=True)
                samples[name][workers] = time_case(client, shape, chunks, reps)
        finally:
            client.close()
            cluster.close()

    threaded = {name: {} for name in cases}
    for workers in (1, 2):
        for name, (shape, chunks) in cases.items():
            print(f"# {name}: {workers} thread(s) ...", file=sys.stderr, flush=True)
            threaded[name][workers] = time_case_threads(workers, shape, chunks, reps)

    info = machine()
    print(f"## tavorin.dask, one worker against two ({reps} repetitions, medians)")
    print()
    print(f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}.")
    print()
    print("| array | scheduler | 1 worker | 2 workers | speed-up |")
    print("|---|---|---|---|---|")
    scaling = []
    for kind, runs in (("LocalCluster processes", samples), ("threads", threaded)):
        for name in cases:
            t1 = statistics.median(runs[name][1])
            t2 = statistics.median(runs[name][2])
            print(f"| {name} | {kind} | {t1 * 1e3:.0f} ms | {t2 * 1e3:.0f} ms | {t1 / t2:.2f}× |")
            label = f"tavorin.dask, {kind}: {name}"
            scaling.append({"label": label, "workers": {"1": t1, "2": t2}})
    if opts.json:
        raw = {"machine": info, "samples": samples, "threaded": threaded, "scaling": scaling}
        with open(opts.json, "w") as f:
            json.dump(raw, f, indent=1)


if __name__ == "__main__":
    main()
