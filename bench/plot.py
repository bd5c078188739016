"""Draws the benchmark figure of the guide's performance page from the benchmarks' JSON output.

    python bench/run.py --json bench/results/run.json
    python bench/api.py --json bench/results/api.json
    python bench/dask_scaling.py --json bench/results/dask_scaling.json
    python bench/plot.py bench/results/run.json \
        --scaling bench/results/api.json bench/results/dask_scaling.json -o bench/benchmark.png

Left: median time per element against row length, log-log, for the module, the
bare C kernel, the NumPy bisection, the sort-based exact method and the SciPy
loop (solid: the *random* data, dotted: *box*).  Right: the speed-up of two
workers over one for every entry of the ``scaling`` lists in the other files.
Needs matplotlib (a development dependency only).
"""

import argparse
import json
import statistics

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# column in run.py's samples -> legend text
METHODS = {
    "module": "tavorin.operators",
    "bare C": "bare C kernel",
    "bisection": "NumPy bisection",
    "sort": "sort-based exact",
    "scipy": "SciPy brentq loop",
}
STYLES = {"random": "-", "box": ":"}


def per_element(run):
    """{(method, dataset): [(n, seconds per element)]} sorted by n."""
    lines = {}
    for case in run["cases"]:
        m, n = case["shape"]
        dataset = case["key"].rsplit("-", 1)[1]
        for method in METHODS:
            if method in case["samples"]:
                t = statistics.median(case["samples"][method]) / (m * n)
                lines.setdefault((method, dataset), []).append((n, t))
    return {k: sorted(v) for k, v in lines.items()}


def scaling(paths):
    bars = []
    for path in paths:
        with open(path) as f:
            for entry in json.load(f)["scaling"]:
                w = entry["workers"]
                bars.append((entry["label"], w["1"] / w["2"]))
    return bars


def draw(run, bars, output):
    fig, (left, right) = plt.subplots(
        1, 2, figsize=(13, 5.2), gridspec_kw={"width_ratios": [1.15, 1]}
    )
    colours = dict(zip(METHODS, plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    for (method, dataset), points in per_element(run).items():
        ns, ts = zip(*points)
        left.loglog(
            ns,
            [t * 1e9 for t in ts],
            STYLES[dataset],
            marker="o",
            markersize=3,
            color=colours[method],
            label=METHODS[method] if dataset == "random" else None,
        )
    left.set_xlabel("row length n (elements)")
    left.set_ylabel("median time per element (ns)")
    left.set_title("One core: time per element (solid random, dotted box)")
    left.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=8)

    if bars:
        labels, speedups = zip(*bars)
        y = range(len(bars))
        right.barh(y, speedups, color="tab:blue")
        right.set_yticks(list(y))
        right.set_yticklabels(labels, fontsize=7)
        right.set_ylim(len(bars) - 0.5, -1.2)
        for x, text in ((1.0, "no gain"), (2.0, "ideal on 2 cores")):
            right.axvline(x, color="grey", linestyle="--", linewidth=1)
            right.text(x, -0.8, text, fontsize=7, ha="center", va="center")
        right.set_xlim(0, 2.3)
    right.set_xlabel("speed-up of 2 workers over 1")
    right.set_title("Two cores")

    info = run["machine"]
    fig.suptitle(
        f"{info['cpu']}, {info['cores']} cores; Python {info['python']}, NumPy {info['numpy']}, "
        f"SciPy {info['scipy']}",
        fontsize=9,
    )
    fig.tight_layout()
    fig.savefig(output, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("run", help="JSON written by bench/run.py --json")
    parser.add_argument("--scaling", nargs="*", default=[], help="JSON with a 'scaling' list")
    parser.add_argument("-o", "--output", default="bench/benchmark.png")
    opts = parser.parse_args()
    with open(opts.run) as f:
        run = json.load(f)
    draw(run, scaling(opts.scaling), opts.output)


if __name__ == "__main__":
    main()
