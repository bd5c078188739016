"""The format checker on the hardest strings known, against a plain "d".

    python bench/format_check.py [--reps N]

Each string goes through the test hook into the checker (tests/helpers/viewhooks.cpp,
as ./dev builds it into build/meson-X.Y), which raises the checker's ValueError for a
refusal; a time is the median over repetitions of the mean over a batch of calls,
and every column's repetitions are interleaved so that a noisy neighbour slows them
alike.  Most of the time of a plain "d" is the call itself.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from support import helper  # noqa: E402

STRINGS = [
    ("a plain double", "d"),
    ("an open repeat after the element", "d2000000000T{"),
    ("open repeats after the element", "d2000000000T{2000000000T{"),
    ("64 open repeats after the element", "d" + "2147483647T{" * 64),
    ("closed repeats beyond the budget", "2000000000T{2000000000T{}}d"),
    ("64 closed repeats", "2147483647T{" * 64 + "}" * 64),
    ("2**20 pads through 20 repeats", "2T{" * 20 + "x" + "}" * 20 + "d"),
    ("repeats whose runs differ", "=2" + "T{T{x3}" * 10 + "3}" * 10 + "d"),
    ("64 nested structures", "T{" * 64 + "d" + "}" * 64),
]


def verdict(hooks, text):
    try:
        hooks.check_format(text)
    except ValueError as error:
        return str(error)
    return "accepted"


def batch_time(hooks, text, calls):
    check = hooks.check_format
    start = time.perf_counter()
    for _ in range(calls):
        try:
            check(text)
        except ValueError:
            pass
    return (time.perf_counter() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=15, help="timed repetitions per string")
    parser.add_argument("--calls", type=int, default=2000, help="calls per repetition")
    opts = parser.parse_args()
    hooks = helper("_viewhooks")
    samples = {text: [] for _, text in STRINGS}
    for rep in range(opts.reps):
        order = STRINGS[rep % len(STRINGS) :] + STRINGS[: rep % len(STRINGS)]
        for _, text in order:
            samples[text].append(batch_time(hooks, text, opts.calls))
    base = statistics.median(samples["d"])
    print("| string | length | verdict | time per check | / plain d |")
    print("|---|---|---|---|---|")
    for name, text in STRINGS:
        median = statistics.median(samples[text])
        print(
            f"| {name} | {len(text)} | {verdict(hooks, text)} | {median * 1e9:.0f} ns "
            f"| {median / base:.2f}x |"
        )


if __name__ == "__main__":
    main()
