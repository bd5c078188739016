"""The installed stubs let a type checker accept correct calls and report wrong ones."""

import os
import re
import subprocess
import sys

import pytest

try:
    from numpy.typing import NDArray
except ImportError:  # NumPy before 1.21
    NDArray = None

PRELUDE = """\
import numpy as np
from numpy.typing import NDArray

import tavorin
from tavorin.operators import proj_csimplex

y = np.zeros((3, 4))
"""

# name -> (calls after the prelude, the lines that must be reported).  Only the
# lines are compared: the texts and even the error codes differ between mypy releases.
USES = {
    "correct": (
        """\
proj_csimplex(y, 1.0, 0.0, 1, xtol=1e-9, mitr=30)
proj_csimplex(memoryview(bytearray(8)).cast("d", (1, 1)), 1, 0, np.float32(1))
proj_csimplex(None, 1, 0, 1)
x: NDArray[np.float64] = tavorin.project_capped_simplex(y, np.ones(3), 0, 1.0, axis=1)
x = tavorin.project_capped_simplex([1, 2], 1, 0, 1, out=x[0, :2], method="brentq", workers=-1)
y32 = y.astype(np.float32)
f: NDArray[np.float32] = tavorin.project_capped_simplex(y32, 1, 0, np.inf, weights=y)
version: str = tavorin.__version__
gy, gh, gl, gu = tavorin.project_capped_simplex_vjp(x, y, 1.0, np.zeros(3), 1, workers=2)
dx = tavorin.project_capped_simplex_jvp(x, gy, None, gl, 0.0, 0, 1.0, weights=y)
s32: NDArray[np.float32] = tavorin.project_l1_ball(y32, np.ones(3), workers=2)
b = tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, sense="<=")
gy, gr = tavorin.project_l1_ball_vjp(b, y, 1.0)
""",
        [],
    ),
    "wrong": (
        """\
proj_csimplex(y, "1", 0.0, 1.0)
proj_csimplex([[1.0]], 1.0, 0.0, 1.0)
z = proj_csimplex(y, 1.0, 0.0, 1.0)
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, -1)
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, maxiter=2.5)
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, out=[0.0])
proj_csimplex(y, 1.0, 0.0, 1.0, tol=1e-3)
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, exact=True)
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, method="newton")
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, xtol="1e-3")
z32: NDArray[np.float32] = tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0)
tavorin.project_capped_simplex(y, 1.0, 0.0, 1.0, sense="<")
""",
        [8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19],
    ),
}


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


# Runs once: the sanitizer run's package directory carries no stubs.
@pytest.mark.unsanitized
@pytest.mark.skipif(NDArray is None, reason="the stubs name numpy.typing.NDArray (NumPy 1.21+)")
@pytest.mark.parametrize("use", USES)
def test_mypy_on_a_usage_file(use, tmp_path, mypy_cache):
    calls, expected = USES[use]
    (tmp_path / "use.py").write_text(PRELUDE + calls)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache), "use.py"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    # A line may be reported more than once (mypy explains an overload miss twice).
    found = sorted({int(n) for n in re.findall(r"^use\.py:(\d+): error: ", result.stdout, re.M)})
    assert found == expected, result.stdout
    assert result.returncode == (1 if expected else 0), result.stdout + result.stderr
