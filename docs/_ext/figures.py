"""The guide's figures, drawn by the build from the benchmarks' committed results.

bench/plot.py draws the benchmark figure from bench/results/*.json and
bench/row_picture.py the picture of one projected row, as they do for the
repository; here they write into docs/generated/ (not committed), so a new
run's JSON shows in the next build.  matplotlib is a development requirement.
"""

import importlib.util
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "bench" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def draw(app):
    out = Path(app.srcdir) / "generated"
    out.mkdir(exist_ok=True)
    results = ROOT / "bench" / "results"
    plot = _load("plot")
    with open(results / "run.json") as f:
        run = json.load(f)
    plot.draw(
        run,
        plot.scaling([results / "api.json", results / "dask_scaling.json"]),
        out / "benchmark.png",
    )
    row = _load("row_picture")
    argv, sys.argv = sys.argv, ["row_picture.py", "-o", str(out / "row.png")]
    try:
        row.main()
    finally:
        sys.argv = argv


def setup(app):
    app.connect("builder-inited", draw)
    return {"parallel_read_safe": True}
