"""tavorin.dask on a local cluster of one worker process against two.

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

    info = machine()
    print(f"## tavorin.dask on a LocalCluster, one worker process against two ({reps} reps)")
    print()
    print(f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}.")
    print()
    print("| array | 1 worker | 2 workers | speed-up |")
    print("|---|---|---|---|")
    scaling = []
    for name in cases:
        t1 = statistics.median(samples[name][1])
        t2 = statistics.median(samples[name][2])
        print(f"| {name} | {t1 * 1e3:.0f} ms | {t2 * 1e3:.0f} ms | {t1 / t2:.2f}× |")
        scaling.append({"label": f"dask: {name}", "workers": {"1": t1, "2": t2}})
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({"machine": info, "samples": samples, "scaling": scaling}, f, indent=1)


if __name__ == "__main__":
    main()
