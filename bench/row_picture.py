"""Draws one row before and after the projection, for the guide's first page.

    python bench/row_picture.py [-o bench/row.png]

The row is shifted down by the root tau and clipped to [l, u]; the picture
shows the row, the shifted row and the result.  Needs matplotlib.
"""

import argparse

import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from tavorin import project_capped_simplex  # noqa: E402

Y = np.array([0.9, -0.3, 0.55, 1.6, 0.1, 0.7, -0.8, 0.35, 1.1, 0.2])
H, L, U = 2.5, 0.0, 0.6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-o", "--output", default="bench/row.png")
    opts = parser.parse_args()
    x = project_capped_simplex(Y, H, L, U)
    free = (x > L) & (x < U)
    tau = float(np.mean(Y[free] - x[free]))
    j = np.arange(Y.size)

    fig, ax = plt.subplots(figsize=(8, 3.6))
    ax.bar(j - 0.2, Y, width=0.4, color="lightgrey", label=f"row y (sum {Y.sum():.2f})")
    ax.bar(j + 0.2, x, width=0.4, color="tab:blue", label=f"projection x (sum {x.sum():.2f})")
    ax.plot(j - 0.2, Y - tau, "_", color="tab:red", markersize=14, label=f"y − τ, τ = {tau:.3f}")
    for level, name in ((L, "l"), (U, "u")):
        ax.axhline(level, color="black", linewidth=0.8, linestyle="--")
        ax.text(Y.size - 0.45, level, f"{name} = {level:g}", va="bottom", fontsize=8)
    ax.axhline(0, color="black", linewidth=0.5)
    ax.set_xticks(j)
    ax.set_xlabel("element j")
    ax.set_title(f"x = clip(y − τ, l, u) with τ such that Σ x = h = {H:g}", fontsize=10)
    ax.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(opts.output, dpi=110)


if __name__ == "__main__":
    main()
