"""Row-wise projection onto the capped simplex.

``tavorin.project_capped_simplex`` projects any real array along any axis
(the sum equal to ``h``, or bounded from one side with ``sense=``), and
``tavorin.project_l1_ball`` onto the weighted l1 ball;
``tavorin.operators.proj_csimplex`` is the in-place operator on 2-D float64
arrays.
"""

from ._version import __version__ as __version__

__all__ = [
    "project_capped_simplex",
    "project_capped_simplex_jvp",
    "project_capped_simplex_vjp",
    "project_l1_ball",
    "project_l1_ball_jvp",
    "project_l1_ball_vjp",
]


# Loaded on first use: importing tavorin.operators alone must not import the
# NumPy layer or bind SciPy's root finder a second time.
# Each is kept as a global once loaded, so later calls do not come back here.
def __getattr__(name):
    if name == "project_capped_simplex":
        from ._api import project_capped_simplex as value
    elif name == "project_l1_ball":
        from ._l1 import project_l1_ball as value
    elif name in (
        "project_capped_simplex_jvp",
        "project_capped_simplex_vjp",
        "project_l1_ball_jvp",
        "project_l1_ball_vjp",
    ):
        from . import _derivatives

        value = getattr(_derivatives, name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(list(globals()) + __all__)
